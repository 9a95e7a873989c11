// The workbook part, the workbook relationships and the sheet prefixes of
// 3-D references.
#include "workbook.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace mdn {

// ---------------------------------------------------------------------------
// The workbook part. Only a fixed set of records is read, wherever it sits in
// the stream; nesting (begin/end records) plays no part.

namespace {

// A BrtSupTabs count is untrusted: reserve no more than this many names.
constexpr std::uint32_t kMaxReservedSupbookSheets = 1u << 20;

std::string text_or_empty(std::optional<std::string>&& text) { return text ? std::move(*text) : std::string(); }

// BrtBundleSh: hsState and iTabID (8 bytes), strRelID, strName.
Result<void> read_bundle_sheet(Bytes payload, Workbook& wb) {
  TRY(WideString rel_id, read_wide(payload, 8));
  TRY(WideString name, read_wide(payload, rel_id.next));
  wb.sheets.push_back(text_or_empty(std::move(name.text)));
  wb.sheet_rel_ids.push_back(std::move(rel_id.text));
  return {};
}

// A u32 byte count at `off`, then that many bytes.
struct CountedBytes {
  Bytes bytes;
  std::size_t next;
};

Result<CountedBytes> read_counted_bytes(Bytes payload, std::size_t off, DecodeError overrun) {
  TRY(std::uint32_t count, read_u32(payload, off));
  const std::size_t start = off + 4;
  if (payload.size() - start < count) return fail(overrun);
  return CountedBytes{payload.subspan(start, count), start + count};
}

// BrtName: flags (4 bytes), chKey (1), itab (4), name, then the formula as
// cce + rgce and cb + rgcb. The comment and help strings after it are unused.
Result<void> read_defined_name(Bytes payload, Workbook& wb) {
  constexpr std::size_t kItabOffset = 5;
  constexpr std::size_t kNameOffset = 9;
  if (payload.size() < kNameOffset) return fail(DecodeError::read_past_end_u32);
  TRY(std::uint32_t itab, read_u32(payload, kItabOffset));
  TRY(WideString name, read_wide(payload, kNameOffset));
  TRY(CountedBytes rgce, read_counted_bytes(payload, name.next, DecodeError::name_rgce_overrun));
  TRY(CountedBytes rgcb, read_counted_bytes(payload, rgce.next, DecodeError::name_rgcb_overrun));
  wb.names.push_back(DefinedName{
      .name = text_or_empty(std::move(name.text)),
      .rgce = {rgce.bytes.begin(), rgce.bytes.end()},
      .rgcb = {rgcb.bytes.begin(), rgcb.bytes.end()},
      .itab = itab,
  });
  return {};
}

// BrtSupTabs: cTab, then cTab sheet names of the current supporting book.
Result<void> read_supbook_sheets(Bytes payload, std::int32_t supbook, Workbook& wb) {
  TRY(std::uint32_t count, read_u32(payload, 0));
  std::vector<std::string> names;
  names.reserve(std::min(count, kMaxReservedSupbookSheets));
  std::size_t off = 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    TRY(WideString name, read_wide(payload, off));
    names.push_back(text_or_empty(std::move(name.text)));
    off = name.next;
  }
  wb.supbook_sheets.insert_or_assign(supbook, std::move(names));
  return {};
}

// BrtExternSheet: cXti, then cXti entries of three i32 each.
Result<void> read_extern_sheet(Bytes payload, Workbook& wb) {
  constexpr std::size_t kXtiSize = 12;
  TRY(std::uint32_t count, read_u32(payload, 0));
  for (std::size_t i = 0, off = 4; i < count; ++i, off += kXtiSize) {
    if (!has(payload, off, kXtiSize)) return fail(DecodeError::read_past_end_u32);
    wb.xti.push_back(Xti{
        .iSupBook = static_cast<std::int32_t>(load_u32(payload.data() + off)),
        .itabFirst = static_cast<std::int32_t>(load_u32(payload.data() + off + 4)),
        .itabLast = static_cast<std::int32_t>(load_u32(payload.data() + off + 8)),
    });
  }
  return {};
}

// The supporting-book records carry no payload that is read: each one only
// adds a book of its kind.
std::optional<SupbookKind> supbook_kind(std::uint16_t id) noexcept {
  switch (id) {
    case wb_id::sup_book_src: return SupbookKind::External;
    case wb_id::sup_self: return SupbookKind::ThisBook;
    case wb_id::sup_same: return SupbookKind::Same;
    case wb_id::sup_other: return SupbookKind::Other;
    default: return std::nullopt;
  }
}

}  // namespace

Result<Workbook> parse_workbook(Bytes part) {
  Workbook wb;
  // Supporting-book index that BrtSupTabs lists belong to; -1 before any book.
  std::int32_t current_supbook = -1;
  Records cursor{part};
  for (;;) {
    TRY(std::optional<Record> record, next_record(cursor));
    if (!record) return wb;
    const Bytes payload = record->payload;
    if (auto kind = supbook_kind(record->id)) {
      current_supbook = static_cast<std::int32_t>(wb.supbooks.size());
      wb.supbooks.push_back(*kind);
      continue;
    }
    switch (record->id) {
      case wb_id::bundle_sh: TRY_VOID(read_bundle_sheet(payload, wb)); break;
      case wb_id::name: TRY_VOID(read_defined_name(payload, wb)); break;
      case wb_id::sup_tabs: TRY_VOID(read_supbook_sheets(payload, current_supbook, wb)); break;
      case wb_id::extern_sheet: TRY_VOID(read_extern_sheet(payload, wb)); break;
      default: break;
    }
  }
}

// ---------------------------------------------------------------------------
// Sheet-name tests. Both are anchored whole-text tests over ASCII classes, so
// they are written out by hand: no pattern is compiled, nothing is shared
// mutable, and bytes outside ASCII simply never match a class.

namespace {

constexpr bool is_ascii_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr char ascii_upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

constexpr std::size_t count_leading(std::string_view text, bool (*in_class)(char) noexcept) noexcept {
  std::size_t n = 0;
  while (n < text.size() && in_class(text[n])) ++n;
  return n;
}

constexpr bool all_digits(std::string_view text) noexcept {
  return count_leading(text, is_ascii_digit) == text.size();
}

// A letter, "_" or "\" first, then letters, digits, "_" and ".".
bool is_plain_sheet(std::string_view text) noexcept {
  if (text.empty()) return false;
  const char first = text.front();
  if (!is_ascii_letter(first) && first != '_' && first != '\\') return false;
  return std::ranges::all_of(text.substr(1), [](char c) {
    return is_ascii_letter(c) || is_ascii_digit(c) || c == '_' || c == '.';
  });
}

// Case-insensitively: one to three letters and one or more digits (A1
// style), R digits* C digits* (R1C1 style), or a lone R or C.
bool looks_like_ref(std::string_view text) noexcept {
  const std::size_t letters = count_leading(text, is_ascii_letter);
  if (letters >= 1 && letters <= 3 && letters < text.size() && all_digits(text.substr(letters))) return true;
  if (text.empty() || ascii_upper(text.front()) != 'R') {
    return text.size() == 1 && ascii_upper(text.front()) == 'C';
  }
  const std::size_t c_at = 1 + count_leading(text.substr(1), is_ascii_digit);
  if (c_at == text.size()) return true;  // only a lone R gets here: "R12" matched above
  return ascii_upper(text[c_at]) == 'C' && all_digits(text.substr(c_at + 1));
}

bool starts_with_logical(std::string_view text) noexcept {
  auto upper_starts_with = [text](std::string_view word) {
    return text.size() >= word.size() &&
           std::ranges::equal(text.substr(0, word.size()), word, {}, ascii_upper);
  };
  return upper_starts_with("TRUE") || upper_starts_with("FALSE");
}

}  // namespace

const SheetNamePattern PLAIN_SHEET{&is_plain_sheet};
const SheetNamePattern LOOKS_LIKE_REF{&looks_like_ref};

std::string quote_sheet(std::string_view text) {
  if (PLAIN_SHEET.matches(text) && !LOOKS_LIKE_REF.matches(text) && !starts_with_logical(text)) {
    return std::string(text);
  }
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back('\'');
  for (char c : text) {
    if (c == '\'') quoted.push_back('\'');
    quoted.push_back(c);
  }
  quoted.push_back('\'');
  return quoted;
}

// ---------------------------------------------------------------------------
// Sheet prefixes.

namespace {

// The sheet (or "first:last" range) named by an Xti entry inside `sheets`,
// quoted and followed by "!". A range needs a valid last index that differs
// from the first; otherwise only `first` is written.
std::string sheet_or_range_prefix(std::string_view first, const std::vector<std::string>& sheets,
                                  std::int32_t itab_first, std::int32_t itab_last) {
  std::string text(first);
  if (itab_last != itab_first && itab_last >= 0 && static_cast<std::size_t>(itab_last) < sheets.size()) {
    text += ':';
    text += sheets[static_cast<std::size_t>(itab_last)];
  }
  return quote_sheet(text) + '!';
}

bool is_external(SupbookKind kind) noexcept { return kind == SupbookKind::External || kind == SupbookKind::Other; }

}  // namespace

Result<std::string> Workbook::sheet_prefix(std::uint32_t index) const {
  if (index >= xti.size()) return fail(DecodeError::xti_out_of_range);
  const auto [book, first, last] = xti[index];

  const bool external_form = book >= 0 && static_cast<std::size_t>(book) < supbooks.size() &&
                             is_external(supbooks[static_cast<std::size_t>(book)]);
  if (!external_form) {
    if (first == -2) return std::string();
    if (first < 0 || static_cast<std::size_t>(first) >= sheets.size()) return std::string("#REF!!");
    return sheet_or_range_prefix(sheets[static_cast<std::size_t>(first)], sheets, first, last);
  }

  // The bracketed number counts the External books up to and including this
  // one; an Other book shares the number of the External books before it.
  const auto book_end = supbooks.begin() + book + 1;
  const auto number = std::count(supbooks.begin(), book_end, SupbookKind::External);
  const std::string bracket = '[' + std::to_string(number) + ']';

  static const std::vector<std::string> no_sheets;
  const auto found = supbook_sheets.find(book);
  const std::vector<std::string>& book_sheets = found == supbook_sheets.end() ? no_sheets : found->second;
  const bool first_known = first >= 0 && static_cast<std::size_t>(first) < book_sheets.size();
  const std::string_view first_name = first_known ? std::string_view(book_sheets[static_cast<std::size_t>(first)]) : "";

  const bool is_range = last != first && last >= 0 && static_cast<std::size_t>(last) < book_sheets.size();
  if (!is_range && first_name.empty()) return bracket + '!';
  return sheet_or_range_prefix(bracket + std::string(first_name), book_sheets, first, last);
}

}  // namespace mdn
