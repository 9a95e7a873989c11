// The workbook part, the workbook relationships and the sheet prefixes of
// 3-D references.
#include "workbook.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>

#include "sheet.h"

namespace mdn {

namespace {

constexpr bool is_ascii_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr char ascii_upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

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
// The workbook relationships part, read with a small XML pull reader.
//
// The reader keeps everything as views into the document: names are the
// qualified names as written and attribute values the raw text between the
// quotes (entity references are not decoded). It checks what a rels document
// needs to be trusted: tags, comments, processing instructions and the
// document type must parse, end tags must close the innermost open element,
// and markup must be valid UTF-8. Text and CDATA content are skipped
// unread, but only up to the next markup, so they can never hide it. Elements
// still open at the end of the document are accepted. Work is linear in the
// document and the open elements live on an explicit stack, not recursion.

namespace {

enum class XmlEvent : std::uint8_t {
  start_tag,
  empty_tag,
  end_tag,
  text,
  cdata,
  comment,
  processing_instruction,  // the XML declaration included
  doctype,
  end_of_document,
};

struct XmlAttribute {
  std::string_view name;   // qualified, as written
  std::string_view value;  // raw text between the quotes
  bool malformed;          // a name not followed by "=" and a quoted value
};

// The cursor over one document. After an event, `name` and `attributes`
// describe the tag it read (start, empty or end tag).
struct XmlReader {
  std::string_view doc;
  std::size_t pos = 0;
  std::vector<std::string_view> open_elements{};
  std::string_view name{};
  std::vector<XmlAttribute> attributes{};
};

constexpr bool is_xml_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Names: ASCII letters, "_", ":" or any non-ASCII byte first, then also
// digits, "-" and ".". Non-ASCII bytes are checked as UTF-8 with the markup.
constexpr bool is_name_start(char c) noexcept {
  return is_ascii_letter(c) || c == '_' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
}
constexpr bool is_name_char(char c) noexcept { return is_name_start(c) || is_ascii_digit(c) || c == '-' || c == '.'; }

std::string_view local_name(std::string_view qualified) noexcept {
  const std::size_t colon = qualified.find(':');
  return colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
}

void skip_space(XmlReader& r) noexcept {
  while (r.pos < r.doc.size() && is_xml_space(r.doc[r.pos])) ++r.pos;
}

bool at(const XmlReader& r, std::string_view token) noexcept { return r.doc.substr(r.pos).starts_with(token); }

// The name at the cursor (empty when none starts there); moves past it.
std::string_view take_name(XmlReader& r) noexcept {
  const std::size_t start = r.pos;
  if (r.pos < r.doc.size() && is_name_start(r.doc[r.pos])) {
    while (r.pos < r.doc.size() && is_name_char(r.doc[r.pos])) ++r.pos;
  }
  return r.doc.substr(start, r.pos - start);
}

// Moves past the next `terminator` at or after the cursor; false when the
// document ends first.
bool skip_past(XmlReader& r, std::string_view terminator) noexcept {
  const std::size_t found = r.doc.find(terminator, r.pos);
  if (found == std::string_view::npos) return false;
  r.pos = found + terminator.size();
  return true;
}

Result<XmlEvent> malformed_xml() { return fail(DecodeError::malformed_rels); }

// One attribute at the cursor: name="value", name='value', or a malformed
// one (a bare name, or a value without quotes that runs to the next space or
// the end of the tag), which is kept but marked.
Result<void> take_attribute(XmlReader& r) {
  const std::string_view name = take_name(r);
  if (name.empty()) return fail(DecodeError::malformed_rels);
  skip_space(r);
  if (r.pos == r.doc.size() || r.doc[r.pos] != '=') {
    r.attributes.push_back({name, {}, true});
    return {};
  }
  ++r.pos;
  skip_space(r);
  if (r.pos == r.doc.size()) return fail(DecodeError::malformed_rels);
  const char quote = r.doc[r.pos];
  if (quote != '"' && quote != '\'') {
    while (r.pos < r.doc.size() && !is_xml_space(r.doc[r.pos]) && r.doc[r.pos] != '>' && !at(r, "/>")) {
      if (r.doc[r.pos] == '<') return fail(DecodeError::malformed_rels);
      ++r.pos;
    }
    r.attributes.push_back({name, {}, true});
    return {};
  }
  const std::size_t value_start = r.pos + 1;
  const std::size_t value_end = r.doc.find(quote, value_start);
  if (value_end == std::string_view::npos) return fail(DecodeError::malformed_rels);
  const std::string_view value = r.doc.substr(value_start, value_end - value_start);
  if (value.find('<') != std::string_view::npos) return fail(DecodeError::malformed_rels);
  r.attributes.push_back({name, value, false});
  r.pos = value_end + 1;
  return {};
}

// A start or empty-element tag; the cursor is just past "<".
Result<XmlEvent> take_start_tag(XmlReader& r) {
  r.name = take_name(r);
  if (r.name.empty()) return malformed_xml();
  r.attributes.clear();
  for (;;) {
    skip_space(r);
    if (r.pos == r.doc.size()) return malformed_xml();
    if (r.doc[r.pos] == '>') {
      ++r.pos;
      r.open_elements.push_back(r.name);
      return XmlEvent::start_tag;
    }
    if (at(r, "/>")) {
      r.pos += 2;
      return XmlEvent::empty_tag;
    }
    TRY_VOID(take_attribute(r));
  }
}

// An end tag; the cursor is just past "</".
Result<XmlEvent> take_end_tag(XmlReader& r) {
  r.name = take_name(r);
  r.attributes.clear();
  skip_space(r);
  if (r.name.empty() || r.pos == r.doc.size() || r.doc[r.pos] != '>') return malformed_xml();
  ++r.pos;
  if (r.open_elements.empty() || r.open_elements.back() != r.name) return malformed_xml();
  r.open_elements.pop_back();
  return XmlEvent::end_tag;
}

// A document type declaration; the cursor is just past "<!DOCTYPE". Quoted
// literals and comments may hold any character, and the internal subset in
// brackets may hold ">", so all three are stepped over whole.
Result<XmlEvent> take_doctype(XmlReader& r) {
  std::size_t subset_depth = 0;
  while (r.pos < r.doc.size()) {
    const char c = r.doc[r.pos];
    if (c == '"' || c == '\'') {
      ++r.pos;
      if (!skip_past(r, std::string_view(&c, 1))) return malformed_xml();
    } else if (at(r, "<!--")) {
      r.pos += 4;
      if (!skip_past(r, "-->")) return malformed_xml();
    } else {
      ++r.pos;
      if (c == '[') ++subset_depth;
      if (c == ']') {
        if (subset_depth == 0) return malformed_xml();
        --subset_depth;
      }
      if (c == '>' && subset_depth == 0) return XmlEvent::doctype;
    }
  }
  return malformed_xml();
}

// Everything that starts with "<"; the cursor is on it.
Result<XmlEvent> take_markup(XmlReader& r) {
  if (at(r, "<![CDATA[")) {
    r.pos += 9;
    return skip_past(r, "]]>") ? Result<XmlEvent>(XmlEvent::cdata) : malformed_xml();
  }
  if (at(r, "<!--")) {
    r.pos += 4;
    return skip_past(r, "-->") ? Result<XmlEvent>(XmlEvent::comment) : malformed_xml();
  }
  if (at(r, "<!DOCTYPE")) {
    r.pos += 9;
    return take_doctype(r);
  }
  if (at(r, "<?")) {
    r.pos += 2;
    if (take_name(r).empty() || !skip_past(r, "?>")) return malformed_xml();
    return XmlEvent::processing_instruction;
  }
  if (at(r, "</")) {
    r.pos += 2;
    return take_end_tag(r);
  }
  ++r.pos;
  return take_start_tag(r);
}

// The next event, or "malformed workbook rels xml".
Result<XmlEvent> next_xml_event(XmlReader& r) {
  if (r.pos == r.doc.size()) return XmlEvent::end_of_document;
  if (r.doc[r.pos] != '<') {
    const std::size_t markup = r.doc.find('<', r.pos);
    r.pos = markup == std::string_view::npos ? r.doc.size() : markup;
    return XmlEvent::text;
  }
  const std::size_t start = r.pos;
  TRY(XmlEvent event, take_markup(r));
  // CDATA content is character data, not markup; its delimiters are ASCII.
  if (event != XmlEvent::cdata && !is_valid_utf8(r.doc.substr(start, r.pos - start))) return malformed_xml();
  return event;
}

// A Relationship element's id and target; the last of each wins, and an
// element without both adds nothing.
void add_relationship(std::span<const XmlAttribute> attributes, RelationshipMap& rels) {
  std::optional<std::string_view> id, target;
  for (const XmlAttribute& attribute : attributes) {
    if (attribute.malformed) continue;
    const std::string_view local = local_name(attribute.name);
    if (local == "Id") id = attribute.value;
    if (local == "Target") target = attribute.value;
  }
  if (id && target) rels.insert_or_assign(std::string(*id), std::string(*target));
}

}  // namespace

Result<RelationshipMap> parse_workbook_rels(Bytes document) {
  XmlReader reader{.doc = {reinterpret_cast<const char*>(document.data()), document.size()}};
  RelationshipMap rels;
  for (;;) {
    TRY(XmlEvent event, next_xml_event(reader));
    if (event == XmlEvent::end_of_document) return rels;
    const bool is_element = event == XmlEvent::start_tag || event == XmlEvent::empty_tag;
    if (is_element && local_name(reader.name) == "Relationship") add_relationship(reader.attributes, rels);
  }
}

// Worksheets only: a sheet is left out when it has no relationship id, the
// id is not in the map, or its target is not under a worksheets folder
// (chart sheets, dialog and macro sheets).
std::vector<WorksheetEntry> worksheet_entries(const Workbook& workbook, const RelationshipMap& rels) {
  std::vector<WorksheetEntry> entries;
  const std::size_t count = std::min(workbook.sheets.size(), workbook.sheet_rel_ids.size());
  for (std::size_t i = 0; i < count; ++i) {
    const std::optional<std::string>& rel_id = workbook.sheet_rel_ids[i];
    if (!rel_id) continue;
    const auto found = rels.find(*rel_id);
    if (found == rels.end() || found->second.find("worksheets") == std::string::npos) continue;
    entries.push_back({static_cast<std::uint32_t>(i), workbook.sheets[i], part_path(found->second)});
  }
  return entries;
}

// ---------------------------------------------------------------------------
// Sheet-name tests. Both are anchored whole-text tests over ASCII classes, so
// they are written out by hand: no pattern is compiled, nothing is shared
// mutable, and bytes outside ASCII simply never match a class.

namespace {

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

std::uint32_t Workbook::external_book_number(std::int32_t book) const {
  if (external_counts_.size() != supbooks.size()) {
    external_counts_.clear();
    std::uint32_t seen = 0;
    for (SupbookKind kind : supbooks) external_counts_.push_back(seen += kind == SupbookKind::External ? 1 : 0);
  }
  return external_counts_[static_cast<std::size_t>(book)];
}

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
  const std::string bracket = '[' + std::to_string(external_book_number(book)) + ']';

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
