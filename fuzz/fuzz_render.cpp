// The formula renderer over arbitrary token and extra bytes.
//
// Input layout (little-endian):
//   byte 0      bit 0 set: R1C1 notation, else A1
//   bytes 1-4   base row
//   bytes 5-6   base column (low 14 bits, as the formula records store it)
//   bytes 7-8   token byte count; what is left after the tokens is the extra bytes
// The workbook is fixed: a few sheets whose names need quoting, defined
// names, supporting books of every kind and Xti entries that reach each of
// them, a deleted sheet, a workbook-level entry and books outside the table.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz_support.h"
#include "ptg.h"

namespace {

mdn::Workbook make_workbook() {
  using mdn::SupbookKind;
  mdn::Workbook wb;
  wb.sheets = {"Sheet1", "My Data", "2024", "R1C1", "It's"};
  wb.sheet_rel_ids.assign(wb.sheets.size(), std::nullopt);
  wb.supbooks = {SupbookKind::ThisBook, SupbookKind::External, SupbookKind::Same, SupbookKind::Other,
                 SupbookKind::External};
  wb.supbook_sheets = {{1, {"Ext", "Ext Two"}}, {4, {"A1"}}};
  wb.xti = {
      {0, 0, 0},    // one sheet
      {0, 1, 3},    // a sheet range
      {0, -2, -2},  // workbook level
      {0, -1, -1},  // deleted sheet
      {0, 7, 7},    // beyond the sheets
      {1, 0, 1},    // external sheet range
      {1, 5, 5},    // external sheet the book does not list
      {2, 0, 0},    // the same book
      {3, 0, 0},    // other book
      {4, 0, 0},    // second external book
      {-1, 0, 0},   // negative book
      {9, 0, 0},    // book beyond the table
  };
  wb.names = {
      {"Total", {0x1E, 0x01, 0x00}, {}, 0xFFFFFFFF},
      {"_xlpm.x", {}, {}, 0xFFFFFFFF},
      {"Local", {}, {}, 0},
      {"_xlfn.MYFUNC", {}, {}, 0xFFFFFFFF},
      {"_xlfn._xlws.SORT", {}, {}, 0xFFFFFFFF},
  };
  return wb;
}

std::uint32_t load(const std::uint8_t* p, std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

constexpr std::size_t kHeaderSize = 9;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const mdn::Workbook workbook = make_workbook();
  if (size < kHeaderSize) return 0;
  const auto notation = (data[0] & 1) != 0 ? mdn::Notation::R1C1 : mdn::Notation::A1;
  const std::uint32_t base_row = load(data + 1, 4);
  const std::uint32_t base_col = load(data + 5, 2) & 0x3FFF;
  const mdn::Bytes rest(data + kHeaderSize, size - kHeaderSize);
  const std::size_t token_count = std::min<std::size_t>(load(data + 7, 2), rest.size());

  auto text = mdn::render(rest.first(token_count), rest.subspan(token_count), workbook, base_row, base_col, notation);
  if (!text) {
    mdn::fuzz::expect_input_error(text.error());
    return 0;
  }
  mdn::fuzz::expect(mdn::fuzz::is_utf8(*text), "formula texts are UTF-8");
  return 0;
}
