#include "ptg.h"

#include <charconv>
#include <cmath>
#include <limits>

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
  RelLocation loc{row, static_cast<std::uint32_t>(word & kColumnBits), (word & kRowRelBit) != 0,
                  (word & kColRelBit) != 0};
  // A relative field is a two's-complement offset that wraps at the sheet edge.
  if (loc.row_rel) loc.row = (row + base_row) % kRowCount;
  if (loc.col_rel) loc.col = (word + base_col) % kColCount;
  return loc;
}

}  // namespace mdn
