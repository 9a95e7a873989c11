#include "ptg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "token_writer.h"

namespace mdn {
namespace {

constexpr auto A1 = Notation::A1;
constexpr auto R1C1 = Notation::R1C1;

// ---------------------------------------------------------------------------
// Number literals.

TEST(PtgFmtNumTest, Forms) {
  struct Case {
    double value;
    const char* text;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      // whole numbers below 1e15 print as integers
      {0.0, "0"},
      {-0.0, "0"},
      {42.0, "42"},
      {-7.0, "-7"},
      {999999999999999.0, "999999999999999"},
      // plain decimal between 1e-4 and 1e16
      {0.5, "0.5"},
      {-0.25, "-0.25"},
      {123.456, "123.456"},
      {0.1 + 0.2, "0.30000000000000004"},
      {0.0001, "0.0001"},
      {1e15, "1000000000000000"},
      {-1e15, "-1000000000000000"},
      {2.5e15, "2500000000000000"},
      {1e15 + 0.5, "1000000000000000.5"},
      // exponent form outside that range
      {1e16, "1E+16"},
      {1.5e16, "1.5E+16"},
      {12345678901234568.0, "1.2345678901234568E+16"},
      {0.00009, "9E-05"},
      {1.5e-5, "1.5E-05"},
      {-2.5e-7, "-2.5E-07"},
      {-2.5e20, "-2.5E+20"},
      {1e100, "1E+100"},
      {1e-300, "1E-300"},
      {std::numeric_limits<double>::max(), "1.7976931348623157E+308"},
      {std::numeric_limits<double>::denorm_min(), "5E-324"},
      // no exponent to rewrite
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {inf, "inf"},
      {-inf, "-inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(fmt_num(c.value), c.text);
  }
}

// ---------------------------------------------------------------------------
// References.

TEST(PtgRefTest, CellReferences) {
  struct Case {
    std::uint32_t row, col;
    bool row_rel, col_rel;
    std::uint32_t base_row, base_col;
    Notation notation;
    const char* text;
  };
  const Case cases[] = {
      {0, 0, false, false, 0, 0, A1, "$A$1"},
      {0, 0, true, true, 0, 0, A1, "A1"},
      {0, 0, false, true, 0, 0, A1, "A$1"},
      {2, 1, true, false, 0, 0, A1, "$B3"},
      {0, 25, true, true, 0, 0, A1, "Z1"},
      {0, 26, true, true, 0, 0, A1, "AA1"},
      {0, 701, true, true, 0, 0, A1, "ZZ1"},
      {0, 702, true, true, 0, 0, A1, "AAA1"},
      {1048575, 16383, true, true, 0, 0, A1, "XFD1048576"},
      {4294967295u, 0, false, false, 0, 0, A1, "$A$0"},  // row + 1 wraps in 32 bits
      {5, 3, true, true, 5, 3, R1C1, "RC"},
      {4, 3, true, true, 5, 3, R1C1, "R[-1]C"},
      {0, 0, false, false, 5, 3, R1C1, "R1C1"},
      {7, 1, true, true, 5, 3, R1C1, "R[2]C[-2]"},
      {1048575, 16383, true, true, 0, 0, R1C1, "R[1048575]C[16383]"},
      {4294967295u, 0, false, false, 0, 0, R1C1, "R0C1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(render_ref(c.row, c.col, c.row_rel, c.col_rel, c.base_row, c.base_col, c.notation), c.text);
  }
}

TEST(PtgRefTest, AreaReferences) {
  struct Case {
    std::uint32_t first_row, last_row, first_col, last_col;
    bool rel;  // all four flags
    std::uint32_t base_row, base_col;
    Notation notation;
    const char* text;
  };
  const Case cases[] = {
      {0, 1048575, 2, 3, true, 0, 0, A1, "C:D"},
      {0, 1048575, 2, 3, false, 0, 0, A1, "$C:$D"},
      {0, 1048575, 2, 2, true, 0, 0, A1, "C:C"},  // A1 never collapses
      {0, 1048575, 2, 2, true, 0, 2, R1C1, "C"},
      {0, 1048575, 2, 2, false, 0, 2, R1C1, "C3"},
      {0, 1048575, 2, 4, true, 0, 3, R1C1, "C[-1]:C[1]"},
      {3, 3, 0, 16383, true, 0, 0, A1, "4:4"},
      {1, 4, 0, 16383, false, 0, 0, A1, "$2:$5"},
      {3, 3, 0, 16383, false, 0, 0, R1C1, "R4"},
      {1, 4, 0, 16383, true, 2, 0, R1C1, "R[-1]:R[2]"},
      // the whole sheet meets the whole-column test first
      {0, 1048575, 0, 16383, true, 0, 0, A1, "A:XFD"},
      {0, 1048575, 0, 16383, false, 0, 0, R1C1, "C1:C16384"},
      {0, 2, 0, 1, true, 0, 0, A1, "A1:B3"},
      {0, 2, 0, 1, false, 1, 1, R1C1, "R1C1:R3C2"},
      {0, 2, 0, 1, true, 1, 1, R1C1, "R[-1]C[-1]:R[1]C"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(render_area(c.first_row, c.last_row, c.first_col, c.last_col, c.rel, c.rel, c.rel, c.rel, c.base_row,
                          c.base_col, c.notation),
              c.text);
  }
}

TEST(PtgRefTest, CollapsedAreaKeepsFirstCornerFlag) {
  EXPECT_EQ(render_area(0, 1048575, 2, 2, false, false, true, false, 0, 0, R1C1), "C[2]");
  EXPECT_EQ(render_area(4, 4, 0, 16383, false, true, false, false, 0, 0, R1C1), "R5");
  EXPECT_EQ(render_area(0, 1048575, 2, 2, false, false, true, false, 0, 0, A1), "C:$C");
}

TEST(PtgRefTest, RelativeLocations) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    std::uint32_t base_row, base_col;
    std::uint32_t row, col;
    bool row_rel, col_rel;
  };
  const Case cases[] = {
      // offsets of -1 wrap past the top-left edge
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, 1048575, 16383, true, true},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 5, 3, 4, 2, true, true},
      // and +1 past the bottom-right edge
      {{0x01, 0x00, 0x00, 0x00, 0x01, 0xC0}, 1048575, 16383, 0, 0, true, true},
      // absolute parts are taken as stored, the row unmasked
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x05, 0x00}, 7, 7, 4294967295u, 5, false, false},
      {{0x02, 0x00, 0x00, 0x00, 0x05, 0x40}, 7, 7, 2, 12, false, true},
  };
  for (const auto& c : cases) {
    auto loc = loc_rel(c.bytes, 0, c.base_row, c.base_col);
    ASSERT_TRUE(loc.has_value());
    EXPECT_EQ(loc->row, c.row);
    EXPECT_EQ(loc->col, c.col);
    EXPECT_EQ(loc->row_rel, c.row_rel);
    EXPECT_EQ(loc->col_rel, c.col_rel);
  }
  const std::vector<std::uint8_t> six(6);
  EXPECT_EQ(loc_rel(six, 3, 0, 0).error(), DecodeError::read_past_end_u32);
  EXPECT_EQ(loc_rel(six, 1, 0, 0).error(), DecodeError::read_past_end_u16);
  EXPECT_EQ(loc_rel(six, 7, 0, 0).error(), DecodeError::read_past_end_u32);
}

// ---------------------------------------------------------------------------
// The renderer.

using test::TokenWriter;
using test::colword;
using test::rel;
namespace ptg = test::ptg;
namespace attr = test::attr;
using test::el_bool;
using test::el_err;
using test::el_num;
using test::el_str;
using test::ByteVec;

TokenWriter w() { return {}; }

// The rendered text, or the failure message behind "error: ".
std::string outcome(const TokenWriter& tokens, const Workbook& wb = {}, std::uint32_t base_row = 0,
                    std::uint32_t base_col = 0, Notation notation = A1) {
  auto text = render(tokens.rgce, tokens.rgcb, wb, base_row, base_col, notation);
  return text ? *text : "error: " + std::string(message(text.error()));
}

std::string fails(DecodeError e) { return "error: " + std::string(message(e)); }

struct Case {
  TokenWriter tokens;
  std::string expected;
};

void expect_all(std::span<const Case> cases, const Workbook& wb = {}) {
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i) + ": " + cases[i].expected);
    EXPECT_EQ(outcome(cases[i].tokens, wb), cases[i].expected);
  }
}

TEST(PtgRenderTest, StackAndOperators) {
  const Case cases[] = {
      {w(), fails(DecodeError::stack_imbalance)},
      {w().integer(1).integer(2), fails(DecodeError::stack_imbalance)},
      {w().integer(1).op(ptg::add), fails(DecodeError::stack_underflow)},
      {w().op(ptg::uminus), fails(DecodeError::stack_underflow)},
      {w().op(ptg::percent), fails(DecodeError::stack_underflow)},
      {w().op(ptg::paren), fails(DecodeError::stack_underflow)},
      {w().attr(attr::sum), fails(DecodeError::stack_underflow)},
      {w().integer(2).integer(3).op(ptg::power).op(ptg::uminus), "-2^3"},
      {w().integer(1).op(ptg::uplus), "+1"},
      {w().integer(5).op(ptg::percent), "5%"},
      {w().integer(1).op(ptg::paren), "(1)"},
      {w().op(ptg::miss_arg), ""},
      {w().integer(3).attr(attr::sum), "SUM(3)"},
      // the first failure ends the render
      {w().op(ptg::add).raw({0x00}), fails(DecodeError::stack_underflow)},
  };
  expect_all(cases);
}

TEST(PtgRenderTest, BinaryOperatorTexts) {
  const std::pair<std::uint8_t, const char*> operators[] = {
      {ptg::add, "1+2"},   {ptg::sub, "1-2"},    {ptg::mul, "1*2"},   {ptg::div, "1/2"},
      {ptg::power, "1^2"}, {ptg::concat, "1&2"}, {ptg::lt, "1<2"},    {ptg::le, "1<=2"},
      {ptg::eq, "1=2"},    {ptg::ge, "1>=2"},    {ptg::gt, "1>2"},    {ptg::ne, "1<>2"},
      {ptg::isect, "1 2"}, {ptg::union_, "1,2"}, {ptg::range, "1:2"},
  };
  for (const auto& [opcode, text] : operators) {
    SCOPED_TRACE(text);
    EXPECT_EQ(outcome(w().integer(1).integer(2).op(opcode)), text);
  }
}

TEST(PtgRenderTest, Opcodes) {
  const Case cases[] = {
      // the class bits and bit 7 are ignored
      {w().ref(2, colword(1), 0x24), "$B$3"},
      {w().ref(2, colword(1), 0x44), "$B$3"},
      {w().ref(2, colword(1), 0x64), "$B$3"},
      {w().ref(2, colword(1), 0xA4), "$B$3"},
      {w().raw({0x00}), fails(DecodeError::unknown_ptg)},
      {w().raw({0x1A}), fails(DecodeError::unknown_ptg)},
      {w().raw({0x1B}), fails(DecodeError::unknown_ptg)},
      {w().raw({0x2E}), fails(DecodeError::unknown_ptg)},
      {w().raw({0x38}), fails(DecodeError::unknown_ptg)},
      {w().raw({0x3E}), fails(DecodeError::unknown_ptg)},
      {w().raw({0x7F}), fails(DecodeError::unknown_ptg)},
      // tokens whose payload is not read, even when it is cut short
      {w().padded(ptg::tbl, 5), "#TBL#"},
      {w().raw({ptg::tbl}), "#TBL#"},
      {w().raw({ptg::exp}), "#EXP#"},
      {w().padded(ptg::ref_err, 7), "#REF!"},
      {w().padded(ptg::area_err, 13), "#REF!"},
      // Mem tokens render nothing; their subexpression follows
      {w().padded(ptg::mem_func, 3).ref(0, rel(0)).ref(1, rel(1)).op(ptg::range), "A1:B2"},
      {w().padded(ptg::mem_err, 7).integer(1), "1"},
      {w().padded(ptg::mem_no_mem, 7).integer(1), "1"},
      {w().padded(ptg::mem_area, 7).integer(1), "1"},
      // extended tokens
      {w().list(0, 0), "#TABLE_REF#"},
      {w().padded(0x18, 6), fails(DecodeError::unknown_eptg18)},
      {w().raw({0x18, 0x1D, 0, 0, 0, 0}), "#SXNAME#"},
      {w().raw({0x18}), fails(DecodeError::eptg18_past_end)},
      {w().raw({0x18, 0x1A}), fails(DecodeError::unknown_eptg18)},
  };
  expect_all(cases);
}

TEST(PtgRenderTest, Literals) {
  const Case cases[] = {
      {w().str(u"a\"b"), "\"a\"\"b\""},
      {w().str(u""), "\"\""},
      {w().str(u"\u00e9\xD83D\xDE00"), "\"\u00e9\U0001F600\""},
      {w().str(u"\xD800"), fails(DecodeError::str_bad_utf16)},
      {w().raw({0x17, 0x02}), fails(DecodeError::read_past_end_u16)},
      {w().raw({0x17, 0x02, 0x00, 'a', 0x00}), fails(DecodeError::str_text_past_end)},
      {w().err(0x00), "#NULL!"},
      {w().err(0x07), "#DIV/0!"},
      {w().err(0x0F), "#VALUE!"},
      {w().err(0x17), "#REF!"},
      {w().err(0x1D), "#NAME?"},
      {w().err(0x24), "#NUM!"},
      {w().err(0x2A), "#N/A"},
      {w().err(0x2B), "#GETTING_DATA"},
      {w().err(0x63), "#N/A"},
      {w().raw({0x1C}), fails(DecodeError::err_code_past_end)},
      {w().boolean(2), "TRUE"},
      {w().boolean(0), "FALSE"},
      {w().raw({0x1D}), fails(DecodeError::bool_value_past_end)},
      {w().integer(65535), "65535"},
      {w().raw({0x1E, 0x01}), fails(DecodeError::read_past_end_u16)},
      {w().num(1.5), "1.5"},
      {w().num(-2.5e-7), "-2.5E-07"},
      {w().raw({0x1F, 0, 0, 0, 0, 0, 0, 0}), fails(DecodeError::read_past_end_f64)},
  };
  expect_all(cases);
}

TEST(PtgRenderTest, Whitespace) {
  const Case cases[] = {
      // pending whitespace goes in front of the next operand pushed ...
      {w().integer(1).attr_space(0, 1).integer(2).op(ptg::add), "1+ 2"},
      // ... or between the left operand and an operator
      {w().integer(1).integer(2).attr_space(0, 1).op(ptg::add), "1 +2"},
      {w().attr_space(1, 1).attr_space(0, 2).integer(7), "\n  7"},
      {w().attr_space(0, 2).attr_space(1, 1).integer(7), "\n  7"},
      {w().attr_space(2, 1).integer(7), " 7"},
      {w().attr_space(6, 1).integer(7), " 7"},
      {w().attr_space(3, 1).integer(7), "\n7"},
      {w().attr_space(7, 1).integer(7), "\n7"},
      {w().attr_space(255, 1).integer(7), "\n7"},
      {w().attr(attr::space_semi, 0, 1).integer(7), " 7"},
      {w().integer(1).attr_space(0, 1).op(ptg::uminus), " -1"},
      {w().integer(1).attr_space(2, 1).op(ptg::paren), " (1)"},
      {w().attr_space(0, 1).func_var(0, 74), " NOW()"},
      // before a closing parenthesis: appended to the operand on top
      {w().integer(1).attr_space(4, 1).op(ptg::paren), "(1 )"},
      {w().integer(1).attr_space(5, 2).op(ptg::paren), "(1\n\n)"},
      {w().integer(1).attr_space(4, 1).func_var(1, 24), "ABS(1 )"},
      {w().attr_space(4, 1).integer(1), "1"},
      // PtgPercent leaves the whitespace pending for the next push
      {w().integer(1).attr_space(0, 1).op(ptg::percent).integer(2).op(ptg::add), "1%+ 2"},
      // trailing whitespace leaves no trace
      {w().integer(1).attr_space(0, 3).attr_space(1, 1), "1"},
      {w().raw({0x19, attr::space}), fails(DecodeError::attr_space_type_past_end)},
      {w().raw({0x19, attr::space, 0}), fails(DecodeError::attr_space_count_past_end)},
  };
  expect_all(cases);
}

TEST(PtgRenderTest, AttrTokens) {
  const Case cases[] = {
      {w().integer(1).attr(attr::semi), "1"},
      {w().integer(1).attr(attr::if_), "1"},
      {w().integer(1).attr(attr::go_to), "1"},
      {w().integer(1).attr(attr::baxcel), "1"},
      {w().integer(1).attr(0x21), "1"},
      {w().integer(1).attr(0x80), "1"},
      // the jump table is skipped unread (its filler bytes are no valid tokens)
      {w().integer(1).attr_choose(2).op(ptg::uminus), "-1"},
      {w().raw({0x19, attr::choose, 0x01}), fails(DecodeError::read_past_end_u16)},
      {w().raw({0x19}), fails(DecodeError::attr_past_end)},
      {w().integer(1).attr(0x03), fails(DecodeError::unknown_attr)},
  };
  expect_all(cases);
}

TEST(PtgRenderTest, References) {
  struct RefCase {
    TokenWriter tokens;
    std::uint32_t base_row, base_col;
    Notation notation;
    std::string expected;
  };
  const RefCase cases[] = {
      {w().ref(2, colword(1)), 0, 0, A1, "$B$3"},
      {w().ref(2, colword(1)), 0, 0, R1C1, "R3C2"},
      {w().ref(2, rel(1)), 5, 3, R1C1, "R[-3]C[-2]"},
      {w().ref(5, colword(3, true, false)), 5, 3, R1C1, "RC4"},
      {w().area(0, 1048575, rel(2), rel(3)), 0, 0, A1, "C:D"},
      {w().area(3, 3, colword(0), colword(16383)), 0, 0, A1, "$4:$4"},
      {w().area(3, 3, colword(0), colword(16383)), 0, 0, R1C1, "R4"},
      {w().area(0, 2, rel(0), rel(1)), 1, 1, R1C1, "R[-1]C[-1]:R[1]C"},
      // shared-formula locations are offsets from the base cell and wrap
      {w().ref_n(0xFFFFFFFF, rel(0x3FFF)), 0, 0, A1, "XFD1048576"},
      {w().ref_n(0xFFFFFFFF, rel(0x3FFF)), 0, 0, R1C1, "R[1048575]C[16383]"},
      {w().ref_n(1, rel(1)), 5, 3, A1, "E7"},
      {w().ref_n(1, rel(1)), 5, 3, R1C1, "R[1]C[1]"},
      {w().ref_n(5, colword(2)), 9, 9, A1, "$C$6"},
      {w().area_n(0xFFFFFFFF, 1, rel(0x3FFF), rel(1)), 5, 3, A1, "C5:E7"},
      {w().area_n(0xFFFFFFFF, 1, rel(0x3FFF), rel(1)), 5, 3, R1C1, "R[-1]C[-1]:R[1]C[1]"},
      {w().area_n(0, 1048575, colword(2), colword(2)), 5, 3, A1, "$C:$C"},
      // cut short
      {w().raw({0x24, 0, 0, 0}), 0, 0, A1, fails(DecodeError::read_past_end_u32)},
      {w().raw({0x24, 0, 0, 0, 0, 0}), 0, 0, A1, fails(DecodeError::read_past_end_u16)},
      {w().raw({0x25, 0, 0, 0, 0, 0, 0, 0}), 0, 0, A1, fails(DecodeError::read_past_end_u32)},
      {w().raw({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0, 0, A1, fails(DecodeError::read_past_end_u16)},
      {w().raw({0x2C, 0, 0, 0}), 0, 0, A1, fails(DecodeError::read_past_end_u32)},
      {w().raw({0x2C, 0, 0, 0, 0, 0}), 0, 0, A1, fails(DecodeError::read_past_end_u16)},
      {w().raw({0x2D, 0, 0, 0, 0, 0, 0, 0}), 0, 0, A1, fails(DecodeError::read_past_end_u32)},
      {w().raw({0x2D, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0, 0, A1, fails(DecodeError::read_past_end_u16)},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.expected);
    EXPECT_EQ(outcome(c.tokens, {}, c.base_row, c.base_col, c.notation), c.expected);
  }
}

// Sheets, supporting books and Xti entries of a workbook with two external
// books; xti[i] is listed with the prefix it gives.
Workbook prefix_workbook() {
  Workbook wb;
  wb.sheets = {"Sheet1", "My Data", "Q1", "Sheet4"};
  wb.supbooks = {SupbookKind::ThisBook, SupbookKind::External, SupbookKind::External};
  wb.supbook_sheets = {{1, {"Prices", "2019"}}, {2, {"Rates"}}};
  wb.xti = {
      {0, 0, 0},    // Sheet1!
      {0, 1, 1},    // 'My Data'!
      {0, 2, 2},    // 'Q1'!
      {0, 0, 3},    // 'Sheet1:Sheet4'!
      {0, -1, -1},  // #REF!!
      {0, -2, -2},  // (nothing)
      {1, 0, 0},    // '[1]Prices'!
      {1, 0, 1},    // '[1]Prices:2019'!
      {2, 0, 0},    // '[2]Rates'!
      {1, -2, -2},  // [1]!
  };
  return wb;
}

TEST(PtgRenderTest, SheetPrefixes) {
  const Case cases[] = {
      {w().ref_3d(0, 0, colword(0)), "Sheet1!$A$1"},
      {w().ref_3d(1, 1, rel(1)), "'My Data'!B2"},
      {w().ref_3d(2, 0, rel(0)), "'Q1'!A1"},
      {w().area_3d(3, 0, 1, colword(0), colword(1)), "'Sheet1:Sheet4'!$A$1:$B$2"},
      {w().ref_3d(4, 0, colword(0)), "#REF!!$A$1"},
      {w().ref_3d(5, 0, colword(0)), "$A$1"},
      {w().ref_3d(6, 0, rel(0)), "'[1]Prices'!A1"},
      {w().area_3d(7, 0, 1048575, rel(0), rel(0)), "'[1]Prices:2019'!A:A"},
      {w().ref_err_3d(8), "'[2]Rates'!#REF!"},
      {w().area_err_3d(9), "[1]!#REF!"},
      {w().ref_3d(1, 0, rel(0)).ref_3d(1, 1, rel(1)).op(ptg::range), "'My Data'!A1:'My Data'!B2"},
      {w().ref_3d(10, 0, rel(0)), fails(DecodeError::xti_out_of_range)},
      {w().area_3d(10, 0, 0, rel(0), rel(0)), fails(DecodeError::xti_out_of_range)},
      {w().ref_err_3d(10), fails(DecodeError::xti_out_of_range)},
      {w().area_err_3d(10), fails(DecodeError::xti_out_of_range)},
      // every field is checked before the prefix is looked up
      {w().raw({0x3A, 10}), fails(DecodeError::read_past_end_u16)},
      {w().raw({0x3A, 10, 0, 0, 0, 0}), fails(DecodeError::read_past_end_u32)},
      {w().raw({0x3A, 10, 0, 0, 0, 0, 0, 0}), fails(DecodeError::read_past_end_u16)},
      {w().raw({0x3B, 10, 0, 0, 0, 0, 0, 0, 0, 0}), fails(DecodeError::read_past_end_u32)},
      {w().raw({0x3B, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), fails(DecodeError::read_past_end_u16)},
      {w().raw({0x3C, 10}), fails(DecodeError::read_past_end_u16)},
      {w().raw({0x3D, 10}), fails(DecodeError::read_past_end_u16)},
  };
  expect_all(cases, prefix_workbook());
  EXPECT_EQ(outcome(w().ref_3d(6, 0, rel(0)), prefix_workbook(), 0, 0, R1C1), "'[1]Prices'!RC");
}

TEST(PtgRenderTest, ArrayConstants) {
  const Case cases[] = {
      // rows first, then columns; elements row by row
      {w().array(1, 3, {el_num(1), el_num(2), el_num(3)}), "{1,2,3}"},
      {w().array(3, 1, {el_num(1), el_num(2), el_num(3)}), "{1;2;3}"},
      {w().array(2, 2, {el_num(1), el_str(u"x"), el_bool(1), el_err(0x2A)}), "{1,\"x\";TRUE,#N/A}"},
      {w().array(1, 4, {el_str(u"a\"b"), el_bool(0), el_err(0x07), el_err(0x99)}), "{\"a\"\"b\",FALSE,#DIV/0!,#N/A}"},
      {w().array(1, 1, {el_num(0.5)}), "{0.5}"},
      {w().array(0, 0, {}), "{}"},
      {w().array(0, 4294967295u, {}), "{}"},
      {w().array(2, 0, {}), "{;}"},
      // consecutive arrays read consecutive stretches of the extra bytes
      {w().array(1, 1, {el_num(1)}).array(1, 2, {el_num(2), el_num(3)}).op(ptg::add), "{1}+{2,3}"},
      // the cell cap is checked before any element is read
      {w().array(1025, 1024, {}), fails(DecodeError::array_too_many_cells)},
      {w().array(1024, 1024, {}), fails(DecodeError::serar_type_past_end)},
      {w().array(4294967295u, 0, {}), fails(DecodeError::array_too_many_cells)},
      {w().array(1048577, 0, {}), fails(DecodeError::array_too_many_cells)},
      // damaged counts and elements
      {w().padded(0x20, 15).extra({1, 0, 0, 0, 1, 0, 0}), fails(DecodeError::read_past_end_u32)},
      {w().array(1, 1, {{0x00, 0, 0, 0, 0, 0, 0, 0}}), fails(DecodeError::read_past_end_f64)},
      {w().array(1, 1, {{0x01, 2}}), fails(DecodeError::read_past_end_u16)},
      {w().array(1, 1, {{0x01, 2, 0, 'a', 0}}), fails(DecodeError::slice_past_end)},
      {w().array(1, 1, {{0x01, 1, 0, 0x00, 0xD8}}), fails(DecodeError::wide_string_bad_utf16)},
      {w().array(1, 1, {{0x02}}), fails(DecodeError::serar_bool_past_end)},
      {w().array(1, 1, {{0x04, 0x2A, 0, 0}}), fails(DecodeError::serar_error_past_end)},
      {w().array(1, 1, {{0x03, 0}}), fails(DecodeError::unknown_serar_type)},
      {w().array(1, 1, {{0x10, 0}}), fails(DecodeError::unknown_serar_type)},
      {w().array(1, 2, {el_num(1)}), fails(DecodeError::serar_type_past_end)},
  };
  expect_all(cases);
}

// Defined names 1..n as the tokens number them, and supporting books
// [ThisBook, Other, External, External] reached through xti[0..4].
Workbook names_workbook() {
  Workbook wb;
  for (const char* name : {"Alpha", "_xlpm.x", "_xlpm.", "_xlfn.XLOOKUP", "_xlfn._xlws.SORT", "_xlws.FILTER",
                           "MYFUNC", "_xlfn.", "_xlfn._xlfn.F", "_xlpm.y"})
    wb.names.push_back(DefinedName{name, {}, {}, 0xFFFFFFFF});
  wb.supbooks = {SupbookKind::ThisBook, SupbookKind::Other, SupbookKind::External, SupbookKind::External};
  wb.xti = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {-1, 0, 0}};
  return wb;
}

TEST(PtgRenderTest, BuiltInCalls) {
  const Case cases[] = {
      {w().ref(0, rel(0)).ref(0, rel(1)).func_var(2, 4), "SUM(A1,B1)"},
      {w().func_var(0, 74), "NOW()"},
      {w().func(10), "NA()"},
      {w().func(34), "TRUE()"},
      {w().integer(3).op(ptg::uminus).func(24), "ABS(-3)"},
      {w().integer(1).op(ptg::miss_arg).integer(3).func(1), "IF(1,,3)"},
      // the top bit of the function field is not part of the number
      {w().integer(1).integer(2).func_var(2, 0x8004), "SUM(1,2)"},
      {w().integer(1).integer(2).func(0x8000 | 165), "MMULT(1,2)"},
      {w().str(u"a").func(211), "LENB(\"a\")"},
      {w().integer(1).integer(2).integer(3).func(468), "CONVERT(1,2,3)"},
      {w().integer(1).integer(2).func_var(2, 333), "(1,2)"},
      {w().integer(1).func_var(1, 484), "AVERAGEIFS(1)"},
      // numbers beyond the table: a placeholder name, and no fixed operands
      {w().integer(1).func_var(1, 600), "#FUNC600#(1)"},
      {w().func(600), "#FUNC600#()"},
      {w().func(485), "#FUNC485#()"},
      {w().integer(1).integer(2).func(4), fails(DecodeError::func_argc_exceeds_stack)},
      {w().integer(1).func_var(2, 4), fails(DecodeError::func_argc_exceeds_stack)},
      {w().raw({0x21, 0x04}), fails(DecodeError::read_past_end_u16)},
      {w().raw({0x22}), fails(DecodeError::funcvar_argc_past_end)},
      {w().raw({0x22, 0x00, 0x04}), fails(DecodeError::read_past_end_u16)},
  };
  expect_all(cases);
}

TEST(PtgRenderTest, UserDefinedCalls) {
  const Case cases[] = {
      {w().name(4).ref(0, rel(0)).area(0, 1048575, rel(1), rel(1)).area(0, 1048575, rel(2), rel(2)).func_var(4, 255),
       "XLOOKUP(A1,B:B,C:C)"},
      {w().name(5).integer(1).func_var(2, 255), "SORT(1)"},
      {w().name(6).integer(1).func_var(2, 255), "FILTER(1)"},
      {w().name(7).func_var(1, 255), "MYFUNC()"},
      {w().name(8).func_var(1, 255), "()"},
      // one prefix per call; the call's own text can lose another one later
      {w().name(9).func_var(1, 255), "_xlfn.F()"},
      {w().name(9).func_var(1, 255).func_var(1, 255), "F()()"},
      // whitespace pushed in front of the name keeps the prefix
      {w().attr_space(0, 1).name(4).func_var(1, 255), " _xlfn.XLOOKUP()"},
      {w().name(4).attr_space(0, 1).func_var(1, 255), " XLOOKUP()"},
      {w().func_var(0, 255), fails(DecodeError::udf_argc_exceeds_stack)},
      {w().name(7).func_var(2, 255), fails(DecodeError::udf_argc_exceeds_stack)},
      // PtgFunc takes the table's 255 operands
      {w().name(7).func(255), fails(DecodeError::udf_argc_exceeds_stack)},
  };
  expect_all(cases, names_workbook());
}

TEST(PtgRenderTest, Names) {
  const Case cases[] = {
      {w().name(1), "Alpha"},
      {w().name(0), "#NAME?"},
      {w().name(11), "#NAME?"},
      {w().name(2), "x"},
      {w().name(3), ""},
      {w().raw({0x23, 1, 0, 0}), fails(DecodeError::read_past_end_u32)},
      // names through the Xti table: this workbook's own names ...
      {w().name_x(0, 1), "Alpha"},
      {w().name_x(0, 10), "_xlpm.y"},
      {w().name_x(4, 1), "Alpha"},
      {w().name_x(99, 1), "Alpha"},
      {w().name_x(0, 0), "#NAME?"},
      // ... or only the number of another book's name
      {w().name_x(1, 1), "[0]!#EXTNAME0#"},
      {w().name_x(2, 0), "[1]!#EXTNAME-1#"},
      {w().name_x(3, 5), "[2]!#EXTNAME4#"},
      {w().name_x(3, 0xFFFFFFFF), "[2]!#EXTNAME4294967294#"},
      {w().raw({0x39, 0}), fails(DecodeError::read_past_end_u16)},
      {w().raw({0x39, 0, 0, 1, 0, 0}), fails(DecodeError::read_past_end_u32)},
  };
  expect_all(cases, names_workbook());
}

// The extra bytes hold one structure per owning token, in token order; the
// array constant after each owner shows where the extra position was left.
TEST(PtgRenderTest, ExtraPositionPassesOtherStructures) {
  Workbook wb;
  wb.supbooks = {SupbookKind::ThisBook, SupbookKind::External, SupbookKind::Other};
  wb.xti = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {7, 0, 0}};
  const auto seven = [](TokenWriter t) { return t.array(1, 1, {el_num(7)}); };
  const ByteVec huge_count = {0xFF, 0xFF, 0xFF, 0xFF};
  const std::string at_end = fails(DecodeError::read_past_end_u32);
  const Case cases[] = {
      {seven(w().mem_area(2)), "{7}"},
      {seven(w().mem_area(0)), "{7}"},
      {seven(w().padded(0x66, 7).extra({1, 0, 0, 0}).extra(ByteVec(16))), "{7}"},
      {seven(w().padded(ptg::mem_area, 7).extra(huge_count)), at_end},  // clamped to the end
      {seven(w().padded(ptg::mem_err, 7)), "{7}"},
      {seven(w().padded(ptg::mem_no_mem, 7)), "{7}"},
      {seven(w().padded(ptg::mem_func, 3)), "{7}"},
      {seven(w().exp(0)).op(ptg::add), "#EXP#+{7}"},
      {seven(w().exp(0).exp(0)).op(ptg::add).op(ptg::add), "#EXP#+#EXP#+{7}"},
      // a table reference into another book owns a structure of unknown length
      {seven(w().list(1, 0)).op(ptg::add), at_end},
      {seven(w().list(2, 0)).op(ptg::add), at_end},
      {seven(w().list(1, 0x1000)).op(ptg::add), "#TABLE_REF#+{7}"},
      {seven(w().list(0, 0)).op(ptg::add), "#TABLE_REF#+{7}"},
      {seven(w().list(3, 0)).op(ptg::add), "#TABLE_REF#+{7}"},
      {seven(w().list(9, 0)).op(ptg::add), "#TABLE_REF#+{7}"},
  };
  expect_all(cases, wb);
}

// Inputs built to make a careless renderer quadratic or unbounded: each must
// finish in time linear in its size, and a text past the 1 MiB cap must fail
// before it is built.
TEST(PtgRenderTest, HostileShapes) {
  const std::u16string long_text(30000, u'x');
  const std::string too_long = fails(DecodeError::formula_text_too_long);

  TokenWriter added = w().str(long_text);
  for (int i = 0; i < 100; ++i) added.str(long_text).op(ptg::add);
  TokenWriter trailing_space = w().integer(1);
  TokenWriter leading_space;
  for (int i = 0; i < 5000; ++i) {
    trailing_space.attr_space(0, 255);
    leading_space.attr_space(0, 255);
  }
  leading_space.integer(1);
  TokenWriter unconsumed;
  for (int i = 0; i < 40; ++i) unconsumed.str(long_text);
  // A long sheet name, referenced over and over.
  Workbook long_sheet;
  long_sheet.sheets = {std::string(100'000, 'S')};
  long_sheet.xti = {{0, 0, 0}};
  TokenWriter sheet_refs;
  for (int i = 0; i < 100'000; ++i) sheet_refs.ref_3d(0, 0, rel(0));

  const auto start = std::chrono::steady_clock::now();
  const Case cases[] = {
      {w().str(long_text).op(ptg::paren, 1'000'000), too_long},
      {added, too_long},
      {leading_space, too_long},
      {trailing_space, "1"},
      {unconsumed, too_long},  // the stack as a whole is held under the cap
      {w().array(1u << 20, 0, {}), too_long},
  };
  expect_all(cases);
  EXPECT_EQ(outcome(sheet_refs, long_sheet), too_long);

  // Each user-defined call looks at the first bytes of a deeply nested name.
  Workbook wb;
  wb.names.push_back(DefinedName{"_xlfn.F", {}, {}, 0});
  auto calls = w().name(1);
  for (int i = 0; i < 50'000; ++i) calls.func_var(1, 255);
  auto called = render(calls.rgce, {}, wb, 0, 0, A1);
  ASSERT_TRUE(called.has_value());
  EXPECT_EQ(called->size(), 1 + 2 * 50'000u);
  EXPECT_EQ(called->substr(0, 5), "F()()");

  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(PtgRenderTest, TextRightAtTheCap) {
  constexpr std::size_t kCap = 1u << 20;
  // 15 quoted strings of 65535 bytes, 15 "&" and a last string of 65536 bytes.
  const auto joined = [](std::size_t last_units) {
    TokenWriter t = w().str(std::u16string(65533, u'a'));
    for (int i = 1; i < 15; ++i) t.str(std::u16string(65533, u'a')).op(ptg::concat);
    return t.str(std::u16string(last_units, u'b')).op(ptg::concat);
  };
  auto at_cap = render(joined(65534).rgce, {}, Workbook{}, 0, 0, A1);
  ASSERT_TRUE(at_cap.has_value());
  EXPECT_EQ(at_cap->size(), kCap);
  EXPECT_EQ(outcome(joined(65535)), fails(DecodeError::formula_text_too_long));

  // "{", 2^20 - 2 row separators, "}"
  auto rows = w().array((1u << 20) - 1, 0, {});
  auto empty_rows = render(rows.rgce, rows.rgcb, Workbook{}, 0, 0, A1);
  ASSERT_TRUE(empty_rows.has_value());
  EXPECT_EQ(empty_rows->size(), kCap);
}

}  // namespace
}  // namespace mdn

namespace mdn {
namespace {

// Reports lend one scratch to every render of a call: whatever the render
// before left behind (a failure mid-way, pending whitespace, a deep stack,
// a long text) must not reach the next one.
TEST(PtgRenderTest, SharedScratchNeverChangesAResult) {
  const TokenWriter formulas[] = {
      w().integer(1).attr_space(0, 3).integer(2).op(ptg::add),
      w().integer(1).attr_space(1, 2).attr_space(0, 4),  // ends with whitespace pending
      w().integer(1).integer(2).integer(3),              // leaves three operands
      w().integer(7).op(ptg::paren, 2000),
      w().str(u"a long literal that grows the pool").op(ptg::add),  // fails mid-way
      w().integer(9).attr_space(4, 2).op(ptg::paren),
      w().ref(4, rel(2)).ref(9, rel(3)).op(ptg::range),
  };
  Workbook wb;
  RenderScratch scratch;
  for (int round = 0; round < 2; ++round) {
    for (std::size_t k = 0; k < std::size(formulas); ++k) {
      std::size_t i = round == 0 ? k : std::size(formulas) - 1 - k;
      SCOPED_TRACE(i);
      auto fresh = render(formulas[i].rgce, formulas[i].rgcb, wb, 3, 3, R1C1);
      auto shared = render(formulas[i].rgce, formulas[i].rgcb, wb, 3, 3, R1C1, scratch);
      EXPECT_EQ(fresh, shared);
    }
  }
}

}  // namespace
}  // namespace mdn
