// The formula renderer.
//
//  * One pass over the tokens with an operand stack, as the tokens are stored
//    in reverse Polish order. Every field is bounds-checked before it is read;
//    every failure is one fixed DecodeError.
//  * Operand texts are chains of pieces, so nesting and joining never copy
//    text, and the whole output is bounded by a 1 MiB cap checked as it grows.
//  * The extra bytes are read only by array constants, but the extra position
//    also passes the structures that other tokens own there.
#include "ptg.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ftab.h"

namespace mdn {

namespace {

// Sheet bounds: 2^20 rows and 2^14 columns.
constexpr std::uint32_t kRowCount = 1u << 20;
constexpr std::uint32_t kColCount = 1u << 14;
constexpr std::uint32_t kLastRow = kRowCount - 1;
constexpr std::uint32_t kLastCol = kColCount - 1;

// Column word (ColRelShort): bits 0-13 column, bit 14 column relative,
// bit 15 the row of the same corner relative.
constexpr std::uint16_t kColumnBits = 0x3FFF;
constexpr std::uint16_t kColRelBit = 0x4000;
constexpr std::uint16_t kRowRelBit = 0x8000;

// ---------------------------------------------------------------------------
// Number literals.

std::string shortest(double value, std::chars_format format) {
  char buf[64];  // the shortest form of any double needs far less
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, format);
  return ec == std::errc{} ? std::string(buf, end) : std::string();
}

// The plain form: shortest digits without an exponent. Not-a-number is
// spelled "NaN" whatever its sign bit.
std::string plain_form(double value) {
  if (std::isnan(value)) return "NaN";
  return shortest(value, std::chars_format::fixed);
}

// Reads an optionally signed decimal integer that fills the whole text.
std::optional<std::int32_t> whole_int32(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int32_t n = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return n;
}

// Shortest scientific digits with the exponent written as E, an explicit
// sign and at least two digits (1.5E-05, 1E+100).
std::string exponent_form(double value) {
  if (std::isnan(value) || std::isinf(value)) return plain_form(value);
  std::string sci = shortest(value, std::chars_format::scientific);
  auto e = sci.find('e');
  if (e == std::string::npos) return plain_form(value);
  auto exponent = whole_int32(std::string_view(sci).substr(e + 1));
  if (!exponent) return plain_form(value);
  std::int64_t magnitude = *exponent < 0 ? -static_cast<std::int64_t>(*exponent) : *exponent;
  std::string digits = std::to_string(magnitude);
  if (digits.size() < 2) digits.insert(0, 1, '0');
  sci.resize(e);
  sci += *exponent < 0 ? "E-" : "E+";
  sci += digits;
  return sci;
}

// ---------------------------------------------------------------------------
// References.

std::string column_letters(std::uint32_t col) {
  char letters[8];
  std::size_t start = sizeof letters;
  std::uint32_t n = col + 1;
  while (true) {
    n -= 1;
    letters[--start] = static_cast<char>('A' + n % 26);
    bool last = n < 26;
    n /= 26;
    if (last || start == 0) break;
  }
  return std::string(letters + start, sizeof letters - start);
}

std::string row_number(std::uint32_t row) {
  return std::to_string(static_cast<std::uint32_t>(row + 1));  // wraps 4294967295 to 0
}

const char* dollar_unless(bool relative) { return relative ? "" : "$"; }

std::string a1_col(std::uint32_t col, bool rel) { return dollar_unless(rel) + column_letters(col); }
std::string a1_row(std::uint32_t row, bool rel) { return dollar_unless(rel) + row_number(row); }

// A location of a shared formula: a relative field is a two's-complement
// offset from the base cell that wraps at the sheet edge; an absolute column
// keeps its low 14 bits and an absolute row is taken as stored.
RelLocation resolve_relative(std::uint32_t row, std::uint16_t word, std::uint32_t base_row, std::uint32_t base_col) {
  RelLocation loc{row, static_cast<std::uint32_t>(word & kColumnBits), (word & kRowRelBit) != 0,
                  (word & kColRelBit) != 0};
  if (loc.row_rel) loc.row = (row + base_row) % kRowCount;
  if (loc.col_rel) loc.col = (word + base_col) % kColCount;
  return loc;
}

// One R1C1 axis: "R" alone at the base, R[offset] when relative, R<n> when absolute.
std::string r1c1_part(char axis, std::uint32_t pos, bool rel, std::uint32_t base) {
  std::string out(1, axis);
  if (!rel) return out + row_number(pos);
  if (pos == base) return out;
  std::int64_t offset = static_cast<std::int64_t>(pos) - static_cast<std::int64_t>(base);
  return out + "[" + std::to_string(offset) + "]";
}

}  // namespace

std::string fmt_num(double value) {
  double magnitude = std::fabs(value);
  if (magnitude < 1e15 && value - std::trunc(value) == 0.0)
    return std::to_string(static_cast<std::int64_t>(value));  // also turns -0 into 0
  if (magnitude >= 1e-4 && magnitude < 1e16) return plain_form(value);
  return exponent_form(value);
}

std::string r1c1_row_part(std::uint32_t row, bool rel, std::uint32_t base_row) {
  return r1c1_part('R', row, rel, base_row);
}

std::string r1c1_col_part(std::uint32_t col, bool rel, std::uint32_t base_col) {
  return r1c1_part('C', col, rel, base_col);
}

std::string render_ref(std::uint32_t row, std::uint32_t col, bool row_rel, bool col_rel, std::uint32_t base_row,
                       std::uint32_t base_col, Notation notation) {
  if (notation == Notation::R1C1) return r1c1_row_part(row, row_rel, base_row) + r1c1_col_part(col, col_rel, base_col);
  return a1_col(col, col_rel) + a1_row(row, row_rel);
}

std::string render_area(std::uint32_t first_row, std::uint32_t last_row, std::uint32_t first_col,
                        std::uint32_t last_col, bool first_row_rel, bool last_row_rel, bool first_col_rel,
                        bool last_col_rel, std::uint32_t base_row, std::uint32_t base_col, Notation notation) {
  const bool r1c1 = notation == Notation::R1C1;
  // Whole columns (this also catches the whole sheet), then whole rows. R1C1
  // collapses a single column or row to its first part, flags notwithstanding.
  if (first_row == 0 && last_row == kLastRow) {
    if (!r1c1) return a1_col(first_col, first_col_rel) + ":" + a1_col(last_col, last_col_rel);
    std::string first = r1c1_col_part(first_col, first_col_rel, base_col);
    if (first_col == last_col) return first;
    return first + ":" + r1c1_col_part(last_col, last_col_rel, base_col);
  }
  if (first_col == 0 && last_col == kLastCol) {
    if (!r1c1) return a1_row(first_row, first_row_rel) + ":" + a1_row(last_row, last_row_rel);
    std::string first = r1c1_row_part(first_row, first_row_rel, base_row);
    if (first_row == last_row) return first;
    return first + ":" + r1c1_row_part(last_row, last_row_rel, base_row);
  }
  return render_ref(first_row, first_col, first_row_rel, first_col_rel, base_row, base_col, notation) + ":" +
         render_ref(last_row, last_col, last_row_rel, last_col_rel, base_row, base_col, notation);
}

Result<RelLocation> loc_rel(Bytes bytes, std::size_t pos, std::uint32_t base_row, std::uint32_t base_col) {
  TRY(std::uint32_t row, read_u32(bytes, pos));
  TRY(std::uint16_t word, read_u16(bytes, pos + 4));
  return resolve_relative(row, word, base_row, base_col);
}

// ---------------------------------------------------------------------------
// The renderer.

namespace {

// Rendered formulas longer than this fail instead of growing without bound.
constexpr std::uint64_t kMaxFormulaText = 1u << 20;
// Array constants hold at most this many elements (rows times columns, a
// column count of 0 counting as 1 so that empty rows are bounded too).
constexpr std::uint64_t kMaxArrayCells = 1u << 20;

// Operand texts.
//
// Formula text is assembled bottom-up, and a wrapper such as "(" x ")" must
// not copy x: a million nested parentheses would then copy quadratically. An
// operand is instead a chain of text pieces linked through `next`; joining
// operands links chains in constant time, and the text is written once, when
// the render ends, by walking the chain. Pieces are never empty, so the first
// bytes of an operand lie within its first few pieces.
constexpr std::uint32_t kNoPiece = 0xFFFFFFFF;

struct Piece {
  std::size_t offset;  // into TextStack::pool
  std::uint32_t size;
  std::uint32_t next;
};

struct Operand {
  std::uint32_t first = kNoPiece;
  std::uint32_t last = kNoPiece;
  std::uint32_t size = 0;
};

// The operand stack and the text behind it. In a render that succeeds every
// operand pushed ends up in the result (a user-defined call drops at most 12
// bytes of its name), so `live`, the total size of the operands on the stack,
// is held under the length cap together with the operand being built. That
// bounds the pool and the result by the cap plus the input whatever the tokens
// do; long operands that never combine fail with the cap as well.
struct TextStack {
  std::string pool;
  std::vector<Piece> pieces;
  std::vector<Operand> operands;
  std::uint64_t live = 0;
  std::uint64_t pending_breaks = 0;
  std::uint64_t pending_spaces = 0;
};

using Done = Result<void>;

Done check_room(const TextStack& s, const Operand& into, std::uint64_t more) {
  if (s.live + into.size + more > kMaxFormulaText) return fail(DecodeError::formula_text_too_long);
  return {};
}

// Links `x` to the end of `into`.
void attach(TextStack& s, Operand& into, const Operand& x) {
  if (x.first == kNoPiece) return;
  if (into.first == kNoPiece) {
    into.first = x.first;
  } else {
    s.pieces[into.last].next = x.first;
  }
  into.last = x.last;
  into.size += x.size;
}

Done append_operand(TextStack& s, Operand& into, const Operand& x) {
  TRY_VOID(check_room(s, into, x.size));
  attach(s, into, x);
  return {};
}

// Adds a piece holding the bytes appended to the pool since `start`.
void attach_pool_tail(TextStack& s, Operand& into, std::size_t start) {
  auto size = static_cast<std::uint32_t>(s.pool.size() - start);
  if (size == 0) return;
  auto index = static_cast<std::uint32_t>(s.pieces.size());
  s.pieces.push_back({start, size, kNoPiece});
  attach(s, into, Operand{index, index, size});
}

Done append_text(TextStack& s, Operand& into, std::string_view text) {
  if (text.empty()) return {};
  TRY_VOID(check_room(s, into, text.size()));
  std::size_t start = s.pool.size();
  s.pool.append(text);
  attach_pool_tail(s, into, start);
  return {};
}

Done append_run(TextStack& s, Operand& into, char c, std::uint64_t count) {
  TRY_VOID(check_room(s, into, count));
  std::size_t start = s.pool.size();
  s.pool.append(static_cast<std::size_t>(count), c);
  attach_pool_tail(s, into, start);
  return {};
}

// The pending whitespace, line breaks first, moved to the end of `into`.
Done take_space(TextStack& s, Operand& into) {
  if (s.pending_breaks == 0 && s.pending_spaces == 0) return {};
  std::uint64_t breaks = std::exchange(s.pending_breaks, 0);
  std::uint64_t spaces = std::exchange(s.pending_spaces, 0);
  TRY_VOID(append_run(s, into, '\n', breaks));
  return append_run(s, into, ' ', spaces);
}

void push_operand(TextStack& s, const Operand& op) {
  s.live += op.size;
  s.operands.push_back(op);
}

// Pushes `text` with the pending whitespace in front of it.
Done push(TextStack& s, std::string_view text) {
  Operand op;
  TRY_VOID(take_space(s, op));
  TRY_VOID(append_text(s, op, text));
  push_operand(s, op);
  return {};
}

Result<Operand> pop(TextStack& s) {
  if (s.operands.empty()) return fail(DecodeError::stack_underflow);
  Operand top = s.operands.back();
  s.operands.pop_back();
  s.live -= top.size;
  return top;
}

// The top `count` operands, deepest first. The caller has checked the depth.
std::vector<Operand> pop_many(TextStack& s, std::size_t count) {
  std::vector<Operand> taken(s.operands.end() - static_cast<std::ptrdiff_t>(count), s.operands.end());
  s.operands.resize(s.operands.size() - count);
  for (const auto& op : taken) s.live -= op.size;
  return taken;
}

bool starts_with(const TextStack& s, const Operand& op, std::string_view prefix) {
  if (op.size < prefix.size()) return false;
  std::size_t matched = 0;
  for (std::uint32_t i = op.first; matched < prefix.size(); i = s.pieces[i].next) {
    const Piece& piece = s.pieces[i];
    std::size_t n = std::min<std::size_t>(piece.size, prefix.size() - matched);
    if (std::string_view(s.pool).substr(piece.offset, n) != prefix.substr(matched, n)) return false;
    matched += n;
  }
  return true;
}

// Drops the first `count` bytes of `op` (at most its size).
void drop_front(TextStack& s, Operand& op, std::uint32_t count) {
  op.size -= count;
  while (count > 0) {
    Piece& piece = s.pieces[op.first];
    if (piece.size > count) {
      piece.offset += count;
      piece.size -= count;
      return;
    }
    count -= piece.size;
    op.first = piece.next;
  }
  if (op.first == kNoPiece) op.last = kNoPiece;
}

std::string text_of(const TextStack& s, const Operand& op) {
  std::string out;
  out.reserve(op.size);
  for (std::uint32_t i = op.first; i != kNoPiece; i = s.pieces[i].next) {
    out.append(s.pool, s.pieces[i].offset, s.pieces[i].size);
    if (i == op.last) break;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Token handlers. Each gets the bytes from its opcode to the end of the token
// bytes and returns the token's size, which may reach past those bytes.

struct Render {
  Bytes extra;
  const Workbook& workbook;
  std::uint32_t base_row;
  std::uint32_t base_col;
  Notation notation;
  std::size_t extra_pos = 0;  // never beyond extra.size()
  TextStack& stack;
  // Sheet prefixes already built, by Xti index: formulas repeat them.
  std::unordered_map<std::uint16_t, std::string> prefixes = {};
};

using Size = Result<std::size_t>;

std::string_view error_text(std::uint8_t code) {
  switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2B: return "#GETTING_DATA";
    default: return "#N/A";
  }
}

// A string literal: double quotes around, inner double quotes doubled.
void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

bool is_external_book(const Workbook& wb, std::int32_t book) {
  if (book < 0 || static_cast<std::size_t>(book) >= wb.supbooks.size()) return false;
  auto kind = wb.supbooks[static_cast<std::size_t>(book)];
  return kind == SupbookKind::External || kind == SupbookKind::Other;
}

// Moves the extra position on by up to `count` bytes, stopping at the end.
void skip_extra(Render& r, std::uint64_t count) {
  r.extra_pos += static_cast<std::size_t>(std::min<std::uint64_t>(count, r.extra.size() - r.extra_pos));
}

Size push_fixed(Render& r, std::string_view text, std::size_t size) {
  TRY_VOID(push(r.stack, text));
  return size;
}

constexpr std::string_view kBinaryOperators[] = {"+", "-", "*", "/", "^", "&", "<", "<=",
                                                 "=", ">=", ">", "<>", " ", ",", ":"};
constexpr std::uint8_t kFirstBinary = 0x03;  // PtgAdd
constexpr std::uint8_t kLastBinary = 0x11;   // PtgRange

// The pending whitespace goes between the left operand and the operator.
Size on_binary(Render& r, std::uint8_t base) {
  TextStack& s = r.stack;
  TRY(Operand right, pop(s));
  TRY(Operand left, pop(s));
  Operand out;
  TRY_VOID(append_operand(s, out, left));
  TRY_VOID(take_space(s, out));
  TRY_VOID(append_text(s, out, kBinaryOperators[base - kFirstBinary]));
  TRY_VOID(append_operand(s, out, right));
  push_operand(s, out);
  return 1;
}

// PtgUplus, PtgUminus, PtgParen, PtgAttrSum: `before` x `after`, pending
// whitespace in front.
Size on_wrap(Render& r, std::string_view before, std::string_view after, std::size_t size) {
  TextStack& s = r.stack;
  TRY(Operand x, pop(s));
  Operand out;
  TRY_VOID(take_space(s, out));
  TRY_VOID(append_text(s, out, before));
  TRY_VOID(append_operand(s, out, x));
  TRY_VOID(append_text(s, out, after));
  push_operand(s, out);
  return size;
}

// PtgPercent is pushed directly: pending whitespace stays pending.
Size on_percent(Render& r) {
  TRY(Operand x, pop(r.stack));
  TRY_VOID(append_text(r.stack, x, "%"));
  push_operand(r.stack, x);
  return 1;
}

Size on_str(Render& r, Bytes token) {
  if (token.size() < 3) return fail(DecodeError::read_past_end_u16);
  std::size_t count = load_u16(token.data() + 1);
  if (token.size() - 3 < 2 * count) return fail(DecodeError::str_text_past_end);
  std::string text;
  if (!utf16le_to_utf8_strict(token.data() + 3, count, text)) return fail(DecodeError::str_bad_utf16);
  std::string literal;
  append_quoted(literal, text);
  return push_fixed(r, literal, 3 + 2 * count);
}

// ---------------------------------------------------------------------------
// Whitespace (PtgAttrSpace).

namespace space_kind {
constexpr std::uint8_t space_before_close = 4;
constexpr std::uint8_t break_before_close = 5;
}  // namespace space_kind

// Whitespace before a closing parenthesis belongs to the operand just pushed.
Done append_to_top(TextStack& s, char c, std::uint64_t count) {
  if (s.operands.empty()) return {};
  TRY(Operand top, pop(s));
  TRY_VOID(append_run(s, top, c, count));
  push_operand(s, top);
  return {};
}

Size on_attr_space(Render& r, Bytes token) {
  if (token.size() < 3) return fail(DecodeError::attr_space_type_past_end);
  if (token.size() < 4) return fail(DecodeError::attr_space_count_past_end);
  const std::uint8_t kind = token[2];
  const std::uint8_t count = token[3];
  switch (kind) {
    case 0:  // before a base expression
    case 2:  // before an opening parenthesis
    case 6:  // before an expression
      r.stack.pending_spaces += count;
      break;
    case space_kind::space_before_close:
      TRY_VOID(append_to_top(r.stack, ' ', count));
      break;
    case space_kind::break_before_close:
      TRY_VOID(append_to_top(r.stack, '\n', count));
      break;
    default:  // 1 and 3 (line breaks before an expression or a parenthesis), 7 and above
      r.stack.pending_breaks += count;
      break;
  }
  return 4;
}

Size on_attr(Render& r, Bytes token) {
  if (token.size() < 2) return fail(DecodeError::attr_past_end);
  switch (token[1]) {
    case 0x01:  // PtgAttrSemi
    case 0x02:  // PtgAttrIf
    case 0x08:  // PtgAttrGoto
    case 0x20:  // PtgAttrBaxcel
    case 0x21:  // PtgAttrBaxcel, volatile
    case 0x80:
      return 4;
    case 0x04: {  // PtgAttrChoose: its jump table is skipped
      if (token.size() < 4) return fail(DecodeError::read_past_end_u16);
      return 6 + 2 * static_cast<std::size_t>(load_u16(token.data() + 2));
    }
    case 0x10:  // PtgAttrSum
      return on_wrap(r, "SUM(", ")", 4);
    case 0x40:  // PtgAttrSpace
    case 0x41:  // PtgAttrSpaceSemi
      return on_attr_space(r, token);
    default:
      return fail(DecodeError::unknown_attr);
  }
}

// ---------------------------------------------------------------------------
// Extra bytes: array constants, and the structures of other tokens that the
// extra position has to pass over.

// One array element at `pos` appended to `out`; returns the position after it.
Size append_array_element(Bytes extra, std::size_t pos, std::string& out) {
  if (pos >= extra.size()) return fail(DecodeError::serar_type_past_end);
  const Bytes e = extra.subspan(pos);
  switch (e[0]) {
    case 0x00:  // number
      if (e.size() < 9) return fail(DecodeError::read_past_end_f64);
      out += fmt_num(load_f64(e.data() + 1));
      return pos + 9;
    case 0x01: {  // string: u16 count of UTF-16 code units
      if (e.size() < 3) return fail(DecodeError::read_past_end_u16);
      std::size_t count = load_u16(e.data() + 1);
      if (e.size() - 3 < 2 * count) return fail(DecodeError::slice_past_end);
      std::string text;
      if (!utf16le_to_utf8_strict(e.data() + 3, count, text)) return fail(DecodeError::wide_string_bad_utf16);
      append_quoted(out, text);
      return pos + 3 + 2 * count;
    }
    case 0x02:  // boolean
      if (e.size() < 2) return fail(DecodeError::serar_bool_past_end);
      out += e[1] != 0 ? "TRUE" : "FALSE";
      return pos + 2;
    case 0x04:  // error code and three reserved bytes
      if (e.size() < 5) return fail(DecodeError::serar_error_past_end);
      out += error_text(e[1]);
      return pos + 5;
    default:
      return fail(DecodeError::unknown_serar_type);
  }
}

// An array constant: u32 rows, u32 columns, then the elements row by row.
Size on_array(Render& r) {
  const Bytes extra = r.extra;
  std::size_t pos = r.extra_pos;
  if (extra.size() - pos < 8) return fail(DecodeError::read_past_end_u32);
  const std::uint64_t rows = load_u32(extra.data() + pos);
  const std::uint64_t cols = load_u32(extra.data() + pos + 4);
  if (rows * std::max<std::uint64_t>(cols, 1) > kMaxArrayCells) return fail(DecodeError::array_too_many_cells);
  pos += 8;
  // The text is bounded by the room left under the length cap as it grows.
  const std::uint64_t room = kMaxFormulaText - r.stack.live;
  std::string text = "{";
  for (std::uint64_t row = 0; row < rows; ++row) {
    if (row > 0) text += ';';
    for (std::uint64_t col = 0; col < cols; ++col) {
      if (col > 0) text += ',';
      TRY(pos, append_array_element(extra, pos, text));
    }
    if (text.size() > room) return fail(DecodeError::formula_text_too_long);
  }
  text += '}';
  r.extra_pos = pos;
  return push_fixed(r, text, 15);
}

// PtgMemArea owns a u32 count of 16-byte rectangles in the extra bytes.
Size on_mem_area(Render& r) {
  if (r.extra.size() - r.extra_pos < 4) {
    r.extra_pos = r.extra.size();
  } else {
    skip_extra(r, 4 + 16 * static_cast<std::uint64_t>(load_u32(r.extra.data() + r.extra_pos)));
  }
  return 7;
}

// PtgExp owns 4 extra bytes; the token itself only names a group formula.
Size on_exp(Render& r) {
  skip_extra(r, 4);
  return push_fixed(r, "#EXP#", 5);
}

// A PtgList into another workbook owns a structure in the extra bytes whose
// length cannot be known, so nothing after it can be found there.
void skip_external_list(Render& r, Bytes token) {
  if (token.size() < 6) return;
  const std::uint16_t ixti = load_u16(token.data() + 2);
  const std::uint16_t flags = load_u16(token.data() + 4);
  constexpr std::uint16_t kNoExternalData = 0x1000;
  if ((flags & kNoExternalData) != 0 || ixti >= r.workbook.xti.size()) return;
  if (is_external_book(r.workbook, r.workbook.xti[ixti].iSupBook)) r.extra_pos = r.extra.size();
}

Size on_extended(Render& r, Bytes token) {
  if (token.size() < 2) return fail(DecodeError::eptg18_past_end);
  switch (token[1]) {
    case 0x19:  // PtgList
      skip_external_list(r, token);
      return push_fixed(r, "#TABLE_REF#", 14);
    case 0x1D:  // PtgSxName
      return push_fixed(r, "#SXNAME#", 6);
    default:
      return fail(DecodeError::unknown_eptg18);
  }
}

// ---------------------------------------------------------------------------
// References.

std::string cell_text(const Render& r, std::uint32_t row, std::uint16_t word) {
  return render_ref(row, word & kColumnBits, (word & kRowRelBit) != 0, (word & kColRelBit) != 0, r.base_row,
                    r.base_col, r.notation);
}

std::string cell_text(const Render& r, const RelLocation& loc) {
  return render_ref(loc.row, loc.col, loc.row_rel, loc.col_rel, r.base_row, r.base_col, r.notation);
}

std::string area_text(const Render& r, const RelLocation& first, const RelLocation& last) {
  return render_area(first.row, last.row, first.col, last.col, first.row_rel, last.row_rel, first.col_rel,
                     last.col_rel, r.base_row, r.base_col, r.notation);
}

RelLocation stored_location(std::uint32_t row, std::uint16_t word) {
  return {row, static_cast<std::uint32_t>(word & kColumnBits), (word & kRowRelBit) != 0, (word & kColRelBit) != 0};
}

// The area fields at `at`: first row, last row, first column word, last
// column word. Shared formulas (PtgAreaN) resolve each corner against the base.
Result<std::string> area_at(const Render& r, Bytes token, std::size_t at, bool resolve) {
  if (token.size() < at + 8) return fail(DecodeError::read_past_end_u32);
  if (token.size() < at + 12) return fail(DecodeError::read_past_end_u16);
  const std::uint8_t* p = token.data() + at;
  const std::uint32_t rows[2] = {load_u32(p), load_u32(p + 4)};
  const std::uint16_t words[2] = {load_u16(p + 8), load_u16(p + 10)};
  RelLocation corners[2];
  for (int i = 0; i < 2; ++i)
    corners[i] = resolve ? resolve_relative(rows[i], words[i], r.base_row, r.base_col)
                         : stored_location(rows[i], words[i]);
  return area_text(r, corners[0], corners[1]);
}

Size on_ref(Render& r, Bytes token) {
  TRY(std::uint32_t row, read_u32(token, 1));
  TRY(std::uint16_t word, read_u16(token, 5));
  return push_fixed(r, cell_text(r, row, word), 7);
}

Size on_ref_n(Render& r, Bytes token) {
  TRY(RelLocation loc, loc_rel(token, 1, r.base_row, r.base_col));
  return push_fixed(r, cell_text(r, loc), 7);
}

Size on_area(Render& r, Bytes token, bool resolve) {
  TRY(std::string text, area_at(r, token, 1, resolve));
  return push_fixed(r, text, 13);
}

// The sheet prefix of a 3-D token, built once per Xti index and render.
Result<std::string_view> prefix_at(Render& r, std::uint16_t index) {
  auto found = r.prefixes.find(index);
  if (found == r.prefixes.end()) {
    TRY(std::string prefix, r.workbook.sheet_prefix(index));
    found = r.prefixes.emplace(index, std::move(prefix)).first;
  }
  return std::string_view(found->second);
}

Size on_ref_3d(Render& r, Bytes token) {
  TRY(std::uint16_t index, read_u16(token, 1));
  TRY(std::uint32_t row, read_u32(token, 3));
  TRY(std::uint16_t word, read_u16(token, 7));
  TRY(std::string_view prefix, prefix_at(r, index));
  return push_fixed(r, std::string(prefix) + cell_text(r, row, word), 9);
}

Size on_area_3d(Render& r, Bytes token) {
  TRY(std::uint16_t index, read_u16(token, 1));
  TRY(std::string area, area_at(r, token, 3, false));
  TRY(std::string_view prefix, prefix_at(r, index));
  return push_fixed(r, std::string(prefix) + area, 15);
}

// PtgRefErr3d, PtgAreaErr3d: the sheet survives, the cells do not.
Size on_err_3d(Render& r, Bytes token, std::size_t size) {
  TRY(std::uint16_t index, read_u16(token, 1));
  TRY(std::string_view prefix, prefix_at(r, index));
  return push_fixed(r, std::string(prefix) + "#REF!", size);
}

// ---------------------------------------------------------------------------
// Function calls and names.

constexpr std::uint16_t kUserDefined = 255;  // the function named by its first operand

// Pushes name "(" args joined by "," ")" with the pending whitespace in front.
Done push_call(TextStack& s, const Operand& name, const Operand* args, std::size_t count) {
  Operand out;
  TRY_VOID(take_space(s, out));
  TRY_VOID(append_operand(s, out, name));
  TRY_VOID(append_text(s, out, "("));
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) TRY_VOID(append_text(s, out, ","));
    TRY_VOID(append_operand(s, out, args[i]));
  }
  TRY_VOID(append_text(s, out, ")"));
  push_operand(s, out);
  return {};
}

Done call_builtin(Render& r, const RawFtab& functions, std::uint16_t number, std::size_t count) {
  TextStack& s = r.stack;
  if (s.operands.size() < count) return fail(DecodeError::func_argc_exceeds_stack);
  std::vector<Operand> args = pop_many(s, count);
  Operand name;
  if (number < functions.ftab.size()) {
    TRY_VOID(append_text(s, name, functions.ftab[number]));
  } else {
    TRY_VOID(append_text(s, name, "#FUNC" + std::to_string(number) + "#"));
  }
  return push_call(s, name, args.data(), args.size());
}

// The deepest operand is the function's name, written without the prefix
// that marks newer functions in storage.
Done call_user_defined(Render& r, std::size_t count) {
  TextStack& s = r.stack;
  if (count == 0 || s.operands.size() < count) return fail(DecodeError::udf_argc_exceeds_stack);
  std::vector<Operand> taken = pop_many(s, count);
  Operand& name = taken.front();
  if (starts_with(s, name, "_xlfn._xlws.")) {
    drop_front(s, name, 12);
  } else if (starts_with(s, name, "_xlfn.") || starts_with(s, name, "_xlws.")) {
    drop_front(s, name, 6);
  }
  return push_call(s, name, taken.data() + 1, taken.size() - 1);
}

std::uint16_t function_number(const std::uint8_t* field) { return load_u16(field) & 0x7FFF; }

Size on_func(Render& r, Bytes token) {
  if (token.size() < 3) return fail(DecodeError::read_past_end_u16);
  const std::uint16_t number = function_number(token.data() + 1);
  TRY(const RawFtab* functions, table());
  const std::size_t count = number < functions->argc.size() ? functions->argc[number] : 0;
  if (number == kUserDefined) {
    TRY_VOID(call_user_defined(r, count));
  } else {
    TRY_VOID(call_builtin(r, *functions, number, count));
  }
  return 3;
}

Size on_func_var(Render& r, Bytes token) {
  if (token.size() < 2) return fail(DecodeError::funcvar_argc_past_end);
  if (token.size() < 4) return fail(DecodeError::read_past_end_u16);
  const std::size_t count = token[1];
  const std::uint16_t number = function_number(token.data() + 2);
  if (number == kUserDefined) {
    TRY_VOID(call_user_defined(r, count));
  } else {
    TRY(const RawFtab* functions, table());
    TRY_VOID(call_builtin(r, *functions, number, count));
  }
  return 4;
}

// Defined name k (1-based), or "#NAME?" when k points nowhere.
std::string_view defined_name(const Workbook& wb, std::uint32_t k) {
  if (k == 0 || k > wb.names.size()) return "#NAME?";
  return wb.names[k - 1].name;
}

Size on_name(Render& r, Bytes token) {
  TRY(std::uint32_t k, read_u32(token, 1));
  std::string_view name = defined_name(r.workbook, k);
  // Parameters of LAMBDA-style formulas are stored with this prefix.
  if (name.starts_with("_xlpm.")) name.remove_prefix(6);
  return push_fixed(r, name, 5);
}

// A name reached through the Xti table: in another book only its number is known.
Size on_name_x(Render& r, Bytes token) {
  TRY(std::uint16_t ixti, read_u16(token, 1));
  TRY(std::uint32_t k, read_u32(token, 3));
  const auto& xti = r.workbook.xti;
  const std::int32_t book = ixti < xti.size() ? xti[ixti].iSupBook : 0;
  if (!is_external_book(r.workbook, book)) return push_fixed(r, defined_name(r.workbook, k), 7);
  std::string text = "[" + std::to_string(r.workbook.external_book_number(book)) + "]!#EXTNAME" +
                     std::to_string(static_cast<std::int64_t>(k) - 1) + "#";
  return push_fixed(r, text, 7);
}

// ---------------------------------------------------------------------------
// Dispatch.

// Operand tokens carry their class (reference, value, array) in bits 5 and 6;
// bit 7 is ignored as well.
std::uint8_t base_opcode(std::uint8_t opcode) {
  return opcode < 0x20 ? opcode : static_cast<std::uint8_t>(0x20 + opcode % 32);
}

Size render_token(Render& r, Bytes token) {
  const std::uint8_t base = base_opcode(token[0]);
  if (base >= kFirstBinary && base <= kLastBinary) return on_binary(r, base);
  switch (base) {
    case 0x01: return on_exp(r);
    case 0x02: return push_fixed(r, "#TBL#", 5);
    case 0x12: return on_wrap(r, "+", "", 1);
    case 0x13: return on_wrap(r, "-", "", 1);
    case 0x14: return on_percent(r);
    case 0x15: return on_wrap(r, "(", ")", 1);
    case 0x16: return push_fixed(r, "", 1);  // PtgMissArg
    case 0x17: return on_str(r, token);
    case 0x18: return on_extended(r, token);
    case 0x19: return on_attr(r, token);
    case 0x1C:
      if (token.size() < 2) return fail(DecodeError::err_code_past_end);
      return push_fixed(r, error_text(token[1]), 2);
    case 0x1D:
      if (token.size() < 2) return fail(DecodeError::bool_value_past_end);
      return push_fixed(r, token[1] != 0 ? "TRUE" : "FALSE", 2);
    case 0x1E: {
      TRY(std::uint16_t value, read_u16(token, 1));
      return push_fixed(r, std::to_string(value), 3);
    }
    case 0x1F: {
      TRY(double value, read_f64(token, 1));
      return push_fixed(r, fmt_num(value), 9);
    }
    case 0x20: return on_array(r);
    case 0x21: return on_func(r, token);
    case 0x22: return on_func_var(r, token);
    case 0x23: return on_name(r, token);
    case 0x24: return on_ref(r, token);
    case 0x25: return on_area(r, token, false);
    case 0x26: return on_mem_area(r);
    case 0x27: return 7;  // PtgMemErr
    case 0x28: return 7;  // PtgMemNoMem
    case 0x29: return 3;  // PtgMemFunc
    case 0x2A: return push_fixed(r, "#REF!", 7);
    case 0x2B: return push_fixed(r, "#REF!", 13);
    case 0x2C: return on_ref_n(r, token);
    case 0x2D: return on_area(r, token, true);
    case 0x39: return on_name_x(r, token);
    case 0x3A: return on_ref_3d(r, token);
    case 0x3B: return on_area_3d(r, token);
    case 0x3C: return on_err_3d(r, token, 9);
    case 0x3D: return on_err_3d(r, token, 15);
    default: return fail(DecodeError::unknown_ptg);
  }
}

}  // namespace

struct RenderScratch::Buffers {
  TextStack stack;
};

RenderScratch::RenderScratch() : buffers_(std::make_unique<Buffers>()) {}
RenderScratch::~RenderScratch() = default;

Result<std::string> render(Bytes rgce, Bytes rgcb, const Workbook& workbook, std::uint32_t base_row,
                           std::uint32_t base_col, Notation notation, RenderScratch& scratch) {
  if (rgce.empty()) return fail(DecodeError::stack_imbalance);
  TextStack& stack = scratch.buffers().stack;
  stack.pool.clear();
  stack.pieces.clear();
  stack.operands.clear();
  stack.live = stack.pending_breaks = stack.pending_spaces = 0;
  Render r{rgcb, workbook, base_row, base_col, notation, 0, stack};
  // A token's size may carry the position past the end; the loop then ends.
  for (std::size_t pos = 0; pos < rgce.size();) {
    TRY(std::size_t size, render_token(r, rgce.subspan(pos)));
    pos += size;
  }
  if (r.stack.operands.size() != 1) return fail(DecodeError::stack_imbalance);
  return text_of(r.stack, r.stack.operands.front());
}

Result<std::string> render(Bytes rgce, Bytes rgcb, const Workbook& workbook, std::uint32_t base_row,
                           std::uint32_t base_col, Notation notation) {
  RenderScratch scratch;
  return render(rgce, rgcb, workbook, base_row, base_col, notation, scratch);
}

}  // namespace mdn
