// Test-side writer of stored formulas: one call per token, in stored (reverse
// Polish) order, each writing the token's layout into `rgce` and, for array
// constants, its values into `rgcb`.
#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace mdn::test {

using ByteVec = std::vector<std::uint8_t>;

// Opcodes in their base (reference) class; value-class forms add 0x20.
namespace ptg {
inline constexpr std::uint8_t exp = 0x01, tbl = 0x02, add = 0x03, sub = 0x04, mul = 0x05, div = 0x06,
                              power = 0x07, concat = 0x08, lt = 0x09, le = 0x0A, eq = 0x0B, ge = 0x0C,
                              gt = 0x0D, ne = 0x0E, isect = 0x0F, union_ = 0x10, range = 0x11, uplus = 0x12,
                              uminus = 0x13, percent = 0x14, paren = 0x15, miss_arg = 0x16, ref = 0x24,
                              area = 0x25, mem_area = 0x26, mem_err = 0x27, mem_no_mem = 0x28, mem_func = 0x29,
                              ref_err = 0x2A, area_err = 0x2B, ref_n = 0x2C, area_n = 0x2D;
}  // namespace ptg

// PtgAttr subtypes.
namespace attr {
inline constexpr std::uint8_t semi = 0x01, if_ = 0x02, choose = 0x04, go_to = 0x08, sum = 0x10, baxcel = 0x20,
                              space = 0x40, space_semi = 0x41;
}  // namespace attr

// Column word: the column in bits 0-13, bit 14 column relative, bit 15 the row
// of the same corner relative.
constexpr std::uint16_t colword(std::uint16_t col, bool row_rel = false, bool col_rel = false) {
  return static_cast<std::uint16_t>((col & 0x3FFF) | (col_rel ? 0x4000 : 0) | (row_rel ? 0x8000 : 0));
}
// Both parts of the corner relative.
constexpr std::uint16_t rel(std::uint16_t col) { return colword(col, true, true); }

inline void put_u16(ByteVec& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void put_u32(ByteVec& out, std::uint32_t v) {
  put_u16(out, static_cast<std::uint16_t>(v));
  put_u16(out, static_cast<std::uint16_t>(v >> 16));
}
inline void put_f64(ByteVec& out, double v) {
  auto bits = std::bit_cast<std::uint64_t>(v);
  put_u32(out, static_cast<std::uint32_t>(bits));
  put_u32(out, static_cast<std::uint32_t>(bits >> 32));
}
inline void put_units(ByteVec& out, std::u16string_view text) {
  for (char16_t unit : text) put_u16(out, unit);
}

// Elements of an array constant: a type byte, then the value.
inline ByteVec el_num(double v) {
  ByteVec out{0x00};
  put_f64(out, v);
  return out;
}
inline ByteVec el_str(std::u16string_view text) {
  ByteVec out{0x01};
  put_u16(out, static_cast<std::uint16_t>(text.size()));
  put_units(out, text);
  return out;
}
inline ByteVec el_bool(std::uint8_t v) { return {0x02, v}; }
inline ByteVec el_err(std::uint8_t code) { return {0x04, code, 0, 0, 0}; }

struct TokenWriter {
  ByteVec rgce;
  ByteVec rgcb;

  TokenWriter& raw(std::initializer_list<std::uint8_t> bytes) {
    rgce.insert(rgce.end(), bytes);
    return *this;
  }
  TokenWriter& extra(const ByteVec& bytes) {
    rgcb.insert(rgcb.end(), bytes.begin(), bytes.end());
    return *this;
  }
  // A token without payload (operators, PtgParen, PtgMissArg ...), `times` over.
  TokenWriter& op(std::uint8_t opcode, std::size_t times = 1) {
    rgce.insert(rgce.end(), times, opcode);
    return *this;
  }
  // A token of `size` bytes whose payload is not read (PtgTbl, PtgMem*, ...).
  TokenWriter& padded(std::uint8_t opcode, std::size_t size) {
    rgce.push_back(opcode);
    rgce.insert(rgce.end(), size - 1, 0);
    return *this;
  }

  TokenWriter& integer(std::uint16_t v) {
    rgce.push_back(0x1E);
    put_u16(rgce, v);
    return *this;
  }
  TokenWriter& num(double v) {
    rgce.push_back(0x1F);
    put_f64(rgce, v);
    return *this;
  }
  TokenWriter& str(std::u16string_view text) {
    rgce.push_back(0x17);
    put_u16(rgce, static_cast<std::uint16_t>(text.size()));
    put_units(rgce, text);
    return *this;
  }
  TokenWriter& boolean(std::uint8_t v) { return raw({0x1D, v}); }
  TokenWriter& err(std::uint8_t code) { return raw({0x1C, code}); }

  TokenWriter& attr(std::uint8_t subtype, std::uint8_t b2 = 0, std::uint8_t b3 = 0) {
    return raw({0x19, subtype, b2, b3});
  }
  TokenWriter& attr_space(std::uint8_t kind, std::uint8_t count) { return attr(attr::space, kind, count); }
  // PtgAttrChoose with a jump table of `n` offsets.
  TokenWriter& attr_choose(std::uint16_t n) {
    raw({0x19, attr::choose});
    put_u16(rgce, n);
    rgce.insert(rgce.end(), 2 + 2 * std::size_t{n}, 0xEE);
    return *this;
  }

  TokenWriter& ref(std::uint32_t row, std::uint16_t word, std::uint8_t opcode = ptg::ref) {
    rgce.push_back(opcode);
    put_u32(rgce, row);
    put_u16(rgce, word);
    return *this;
  }
  TokenWriter& ref_n(std::uint32_t row, std::uint16_t word) { return ref(row, word, ptg::ref_n); }
  TokenWriter& area(std::uint32_t first_row, std::uint32_t last_row, std::uint16_t first_word,
                    std::uint16_t last_word, std::uint8_t opcode = ptg::area) {
    rgce.push_back(opcode);
    put_u32(rgce, first_row);
    put_u32(rgce, last_row);
    put_u16(rgce, first_word);
    put_u16(rgce, last_word);
    return *this;
  }
  TokenWriter& area_n(std::uint32_t first_row, std::uint32_t last_row, std::uint16_t first_word,
                      std::uint16_t last_word) {
    return area(first_row, last_row, first_word, last_word, ptg::area_n);
  }
  TokenWriter& ref_3d(std::uint16_t ixti, std::uint32_t row, std::uint16_t word) {
    rgce.push_back(0x3A);
    put_u16(rgce, ixti);
    put_u32(rgce, row);
    put_u16(rgce, word);
    return *this;
  }
  TokenWriter& area_3d(std::uint16_t ixti, std::uint32_t first_row, std::uint32_t last_row,
                       std::uint16_t first_word, std::uint16_t last_word) {
    rgce.push_back(0x3B);
    put_u16(rgce, ixti);
    put_u32(rgce, first_row);
    put_u32(rgce, last_row);
    put_u16(rgce, first_word);
    put_u16(rgce, last_word);
    return *this;
  }
  TokenWriter& ref_err_3d(std::uint16_t ixti) {
    rgce.push_back(0x3C);
    put_u16(rgce, ixti);
    rgce.insert(rgce.end(), 6, 0);
    return *this;
  }
  TokenWriter& area_err_3d(std::uint16_t ixti) {
    rgce.push_back(0x3D);
    put_u16(rgce, ixti);
    rgce.insert(rgce.end(), 12, 0);
    return *this;
  }

  TokenWriter& func(std::uint16_t number) {
    rgce.push_back(0x41);
    put_u16(rgce, number);
    return *this;
  }
  TokenWriter& func_var(std::uint8_t argc, std::uint16_t number) {
    raw({0x42, argc});
    put_u16(rgce, number);
    return *this;
  }
  TokenWriter& name(std::uint32_t index) {
    rgce.push_back(0x43);
    put_u32(rgce, index);
    return *this;
  }
  TokenWriter& name_x(std::uint16_t ixti, std::uint32_t index) {
    rgce.push_back(0x59);
    put_u16(rgce, ixti);
    put_u32(rgce, index);
    return *this;
  }

  // PtgExp naming the group formula anchored at `row`, and the 4 extra bytes
  // it owns.
  TokenWriter& exp(std::uint32_t row) {
    rgce.push_back(ptg::exp);
    put_u32(rgce, row);
    rgcb.insert(rgcb.end(), 4, 0xEE);
    return *this;
  }
  // PtgList (a table reference) through Xti entry `ixti`.
  TokenWriter& list(std::uint16_t ixti, std::uint16_t flags) {
    raw({0x18, 0x19});
    put_u16(rgce, ixti);
    put_u16(rgce, flags);
    rgce.insert(rgce.end(), 8, 0);
    return *this;
  }
  // PtgMemArea: the token, and its rectangles in the extra bytes.
  TokenWriter& mem_area(std::uint32_t rect_count) {
    padded(ptg::mem_area, 7);
    put_u32(rgcb, rect_count);
    rgcb.insert(rgcb.end(), 16 * std::size_t{rect_count}, 0xEE);
    return *this;
  }
  // PtgArray: the token, and rows, columns and elements in the extra bytes.
  TokenWriter& array(std::uint32_t rows, std::uint32_t cols, std::initializer_list<ByteVec> elements) {
    padded(0x60, 15);
    put_u32(rgcb, rows);
    put_u32(rgcb, cols);
    for (const auto& e : elements) extra(e);
    return *this;
  }
};

}  // namespace mdn::test
