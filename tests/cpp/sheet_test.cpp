// Worksheet formula records, RK numbers, part names and follower resolution.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "sheet.h"

namespace mdn {
namespace {

using ByteVec = std::vector<std::uint8_t>;

void put_u32(ByteVec& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A cell formula record payload: col, 4 style bytes, `cached` value bytes,
// 2 flag bytes, then cce/rgce/cb/rgcb.
ByteVec formula_payload(std::uint32_t col, const ByteVec& cached, const ByteVec& rgce, const ByteVec& rgcb) {
  ByteVec b;
  put_u32(b, col);
  put_u32(b, 0);
  b.insert(b.end(), cached.begin(), cached.end());
  b.push_back(0);
  b.push_back(0);
  put_u32(b, static_cast<std::uint32_t>(rgce.size()));
  b.insert(b.end(), rgce.begin(), rgce.end());
  put_u32(b, static_cast<std::uint32_t>(rgcb.size()));
  b.insert(b.end(), rgcb.begin(), rgcb.end());
  return b;
}

std::string error_of(const Result<FormulaCell>& r) { return r ? "" : std::string(message(r.error())); }

TEST(FormulaRecords, CellLayouts) {
  const ByteVec rgce = {0x1E, 0x07, 0x00}, rgcb = {0xAB};
  ByteVec string_cached = {3, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0};
  struct Case {
    std::uint16_t id;
    ByteVec cached;
  };
  const Case cases[] = {
      {cell_id::fmla_num, ByteVec(8, 0)},
      {cell_id::fmla_bool, ByteVec(1, 1)},
      {cell_id::fmla_error, ByteVec(1, 0x2A)},
      {cell_id::fmla_string, string_cached},  // cce at 14 + 2 * 3 = 20
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ByteVec p = formula_payload(0x00014002, c.cached, rgce, rgcb);
    auto cell = read_formula_cell(c.id, Bytes(p));
    ASSERT_TRUE(cell) << message(cell.error());
    EXPECT_EQ(cell->col, 2u);  // low 14 bits only
    EXPECT_EQ(ByteVec(cell->rgce.begin(), cell->rgce.end()), rgce);
    EXPECT_EQ(ByteVec(cell->rgcb.begin(), cell->rgcb.end()), rgcb);
  }
}

TEST(FormulaRecords, CellBoundsInOrder) {
  ByteVec num = formula_payload(0, ByteVec(8, 0), {0x01}, {});
  struct Case {
    std::uint16_t id;
    ByteVec payload;
    std::string error;
  };
  const Case cases[] = {
      {cell_id::fmla_num, {1, 2, 3}, "read past end (u32)"},
      {cell_id::fmla_num, ByteVec(num.begin(), num.begin() + 21), "read past end (u32)"},  // cce at 18
      {cell_id::fmla_num, ByteVec(num.begin(), num.begin() + 22), "slice past end"},       // cce = 1, no token
      {cell_id::fmla_num, ByteVec(num.begin(), num.begin() + 23), "read past end (u32)"},  // no cb
      {cell_id::fmla_string, ByteVec(11, 0), "read past end (u32)"},                       // no cch
      {cell_id::fmla_string, {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, "read past end (u32)"},
      {cell_id::fmla_bool, {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0},
       "slice past end"},  // cb = 5 with no bytes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.payload));
    EXPECT_EQ(error_of(read_formula_cell(c.id, Bytes(c.payload))), c.error);
  }
}

ByteVec group_payload(std::uint16_t id, std::uint32_t rf, std::uint32_t rl, std::uint32_t cf, std::uint32_t cl,
                      const ByteVec& rgce) {
  ByteVec b;
  for (std::uint32_t v : {rf, rl, cf, cl}) put_u32(b, v);
  if (id == cell_id::arr_fmla) b.push_back(0);
  put_u32(b, static_cast<std::uint32_t>(rgce.size()));
  b.insert(b.end(), rgce.begin(), rgce.end());
  put_u32(b, 0);
  return b;
}

TEST(FormulaRecords, GroupLayouts) {
  for (std::uint16_t id : {cell_id::arr_fmla, cell_id::shr_fmla}) {
    SCOPED_TRACE(id);
    ByteVec p = group_payload(id, 1, 3, 70000, 2, {0x1E, 1, 0});
    auto g = read_group_formula(id, Bytes(p));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->rw_first, 1u);
    EXPECT_EQ(g->rw_last, 3u);
    EXPECT_EQ(g->col_first, 70000u);  // stored as is: no mask, no order check
    EXPECT_EQ(g->col_last, 2u);
    EXPECT_EQ(g->rgce.size(), 3u);
  }
  ByteVec shr = group_payload(cell_id::shr_fmla, 0, 0, 0, 0, {0x1E, 1, 0});
  EXPECT_EQ(message(read_group_formula(cell_id::shr_fmla, Bytes(shr.data(), 15)).error()), "read past end (u32)");
  EXPECT_EQ(message(read_group_formula(cell_id::shr_fmla, Bytes(shr.data(), 19)).error()), "read past end (u32)");
  EXPECT_EQ(message(read_group_formula(cell_id::shr_fmla, Bytes(shr.data(), 22)).error()), "slice past end");
  // The same bytes read as an array formula take cce one byte later.
  EXPECT_FALSE(read_group_formula(cell_id::arr_fmla, Bytes(shr)));
}

TEST(FormulaRecords, RkNumbers) {
  struct Case {
    std::uint32_t rk;
    double value;
  };
  const Case cases[] = {
      {2, 0.0}, {6, 1.0}, {0xFFFFFFFE, -1.0}, {15, 0.03}, {0x3FF00000, 1.0}, {0x3FF00001, 0.01},
      {0x80000002, -536870912.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rk);
    EXPECT_EQ(decode_rk(c.rk), c.value);
  }
}

TEST(Container, PartPath) {
  const std::pair<std::string, std::string> cases[] = {
      {"worksheets/sheet1.bin", "xl/worksheets/sheet1.bin"},
      {"/xl/worksheets/sheet1.bin", "xl/worksheets/sheet1.bin"},
      {"//xl/worksheets/sheet1.bin", "xl/worksheets/sheet1.bin"},
      {"xl/xl/a.bin", "xl/xl/a.bin"},
      {"XL/worksheets/s.bin", "xl/XL/worksheets/s.bin"},
      {"../worksheets/s.bin", "xl/../worksheets/s.bin"},
      {"xl/", "xl/"},
      {"", "xl/"},
      {"xl", "xl/xl"},
  };
  for (const auto& [target, part] : cases) EXPECT_EQ(part_path(target), part) << target;
}

TEST(Container, NotAZip) {
  const ByteVec cases[] = {{}, {'P', 'K'}, ByteVec(100, 0)};
  for (const ByteVec& bytes : cases)
    EXPECT_EQ(message(open_container(Bytes(bytes)).error()), "not a valid zip/xlsb container");
}

// ---------------------------------------------------------------------------
// Follower resolution, checked against the plain first-match scans.

struct Sheet {
  std::vector<ByteVec> tokens;  // keeps follower token bytes alive
  SheetFormulas formulas;

  void group(std::uint32_t rf, std::uint32_t rl, std::uint32_t cf, std::uint32_t cl) {
    formulas.groups.push_back({rf, rl, cf, cl, {}, {}});
  }
  void follower(std::uint32_t anchor) {
    ByteVec t = {0x01};
    put_u32(t, anchor);
    tokens.push_back(std::move(t));
  }
  // Call after the last follower(): token vectors must no longer move.
  void bind(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i)
      formulas.followers.push_back({cells[i].first, cells[i].second, Bytes(tokens[i])});
  }
};

std::vector<FollowerMatch> naive(const SheetFormulas& s) {
  std::vector<FollowerMatch> out;
  auto covers = [](const GroupFormula& g, std::uint32_t anchor, std::uint32_t row, std::uint32_t col) {
    return g.rw_first == anchor && g.rw_first <= row && row <= g.rw_last && g.col_first <= col && col <= g.col_last;
  };
  for (const Follower& f : s.followers) {
    if (f.rgce.size() < 5) {
      out.push_back({FollowerMatch::Kind::Malformed, 0});
      continue;
    }
    std::uint32_t anchor = load_u32(f.rgce.data() + 1);
    FollowerMatch m{FollowerMatch::Kind::Unresolved, 0};
    for (int pass = 0; pass < 2 && m.kind != FollowerMatch::Kind::Found; ++pass)
      for (std::uint32_t g = 0; g < s.groups.size(); ++g) {
        const GroupFormula& gr = s.groups[g];
        std::uint32_t span = gr.col_last >= gr.col_first ? gr.col_last - gr.col_first : 0;
        if ((pass == 0) != (span <= 64)) continue;
        if (covers(gr, anchor, f.row, f.col)) {
          m = {FollowerMatch::Kind::Found, g};
          break;
        }
      }
    out.push_back(m);
  }
  return out;
}

void expect_same(const std::vector<FollowerMatch>& a, const std::vector<FollowerMatch>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].kind, b[i].kind) << "follower " << i;
    if (a[i].kind == FollowerMatch::Kind::Found && b[i].kind == FollowerMatch::Kind::Found) {
      EXPECT_EQ(a[i].group, b[i].group) << "follower " << i;
    }
  }
}

TEST(Followers, NarrowWideAndUnresolved) {
  Sheet s;
  s.group(1, 3, 1, 1);      // 0: B2:B4
  s.group(1, 9, 0, 100);    // 1: wide
  s.group(5, 6, 2, 1);      // 2: colLast < colFirst, never used
  s.group(1, 3, 1, 1);      // 3: same shape as 0, never first
  s.group(20, 20, 0, 64);   // 4: 65 columns: narrow
  s.group(30, 30, 0, 65);   // 5: 66 columns: wide
  std::vector<std::pair<std::uint32_t, std::uint32_t>> cells = {
      {2, 1},    // narrow group 0
      {4, 1},    // past group 0's rows: wide group 1
      {2, 50},   // wide group 1
      {5, 1},    // anchor 5: group 2 registers nowhere
      {20, 64},  // group 4
      {30, 65},  // group 5
      {0, 1},    // row above its anchor
  };
  for (std::uint32_t anchor : {1u, 1u, 1u, 5u, 20u, 30u, 1u}) s.follower(anchor);
  s.bind(cells);
  s.tokens.push_back({0x01});
  s.formulas.followers.push_back({0, 0, Bytes(s.tokens.back())});  // no anchor row
  auto got = resolve_followers(s.formulas);
  using K = FollowerMatch::Kind;
  const std::pair<K, std::uint32_t> want[] = {{K::Found, 0},      {K::Found, 1}, {K::Found, 1},
                                              {K::Unresolved, 0}, {K::Found, 4}, {K::Found, 5},
                                              {K::Unresolved, 0}, {K::Malformed, 0}};
  ASSERT_EQ(got.size(), std::size(want));
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].kind, want[i].first) << i;
    if (want[i].first == K::Found) {
      EXPECT_EQ(got[i].group, want[i].second) << i;
    }
  }
}

TEST(Followers, AgreesWithFirstMatchScanOnRandomSheets) {
  std::mt19937 rng(7);
  auto pick = [&](std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n)(rng); };
  for (int round = 0; round < 40; ++round) {
    Sheet s;
    std::uint32_t groups = 1 + pick(round % 2 ? 300 : 20);
    for (std::uint32_t g = 0; g < groups; ++g) {
      std::uint32_t rf = pick(4), cf = pick(120);
      s.group(rf, rf + pick(12), cf, pick(5) == 0 ? cf - std::min(cf, pick(3)) : cf + pick(90));
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> cells;
    for (std::uint32_t f = 0; f < 400; ++f) {
      cells.push_back({pick(18), pick(220)});
      s.follower(pick(5));
    }
    s.bind(cells);
    SCOPED_TRACE(round);
    expect_same(resolve_followers(s.formulas), naive(s.formulas));
  }
}

TEST(Followers, MillionGroupsOnOneAnchorRowStayFast) {
  // Every group covers rows 0..k for growing k; follower rows near the end
  // would make a first-match scan quadratic.
  Sheet s;
  const std::uint32_t n = 200000;
  for (std::uint32_t g = 0; g < n; ++g) s.group(0, g, 0, g % 2 ? 2 : 100);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> cells;
  for (std::uint32_t f = 0; f < n; ++f) {
    cells.push_back({n - 1 - f % 7, f % 3});
    s.follower(0);
  }
  s.bind(cells);
  auto got = resolve_followers(s.formulas);
  ASSERT_EQ(got.size(), n);
  // Row n-1-j, column c: the first narrow group (odd g, columns 0..2) with g >= row.
  for (std::uint32_t f = 0; f < 50; ++f) {
    std::uint32_t row = n - 1 - f % 7;
    std::uint32_t first_odd = row % 2 ? row : row + 1;
    if (first_odd < n) {
      EXPECT_EQ(got[f].group, first_odd) << f;
    } else {
      EXPECT_EQ(got[f].group, row) << f;  // only the wide group `row` is left
    }
  }
}

}  // namespace
}  // namespace mdn
