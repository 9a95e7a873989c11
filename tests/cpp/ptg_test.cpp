#include "ptg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace mdn
