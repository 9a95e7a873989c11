// The formula surface report over arbitrary workbook bytes. The report's
// shape is promised for every input: the four cell lists line up, every
// definition id indexes the R1C1 table, ids are numbered in order of first
// use and every table entry is used.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "surface.h"

namespace {

void check_sheet(const mdn::SheetSurface& sheet) {
  using mdn::fuzz::expect;
  using mdn::fuzz::is_utf8;
  const std::size_t n = sheet.cell_rows.size();
  expect(sheet.cell_cols.size() == n && sheet.cell_a1_text.size() == n && sheet.cell_definition_id.size() == n,
         "the cell lists line up");
  expect(is_utf8(sheet.name), "sheet names are UTF-8");
  std::vector<bool> used(sheet.definition_r1c1_table.size(), false);
  std::size_t next_new_id = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t id = sheet.cell_definition_id[i];
    expect(id < used.size(), "definition ids index the table");
    expect(id <= next_new_id, "definition ids are numbered by first use");
    if (id == next_new_id) ++next_new_id;
    used[id] = true;
    expect(sheet.cell_cols[i] <= 0x3FFF, "formula columns are masked to 14 bits");
    expect(is_utf8(sheet.cell_a1_text[i]), "A1 texts are UTF-8");
  }
  for (std::size_t k = 0; k < used.size(); ++k) {
    expect(used[k], "every definition is used");
    expect(is_utf8(sheet.definition_r1c1_table[k]), "R1C1 texts are UTF-8");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto surface = mdn::decode_workbook_surface(mdn::Bytes(data, size));
  if (!surface) {
    mdn::fuzz::expect_input_error(surface.error());
    return 0;
  }
  for (const mdn::SheetSurface& sheet : surface->sheets) check_sheet(sheet);
  for (const mdn::DefinedNameSurface& name : surface->names) {
    mdn::fuzz::expect(mdn::fuzz::is_utf8(name.name), "defined names are UTF-8");
    if (name.target_a1_or_none) {
      mdn::fuzz::expect(mdn::fuzz::is_utf8(*name.target_a1_or_none), "name formulas are UTF-8");
    }
  }
  return 0;
}
