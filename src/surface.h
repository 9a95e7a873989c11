// The formula surface report: per sheet the A1 text and definition id of every
// formula cell with an R1C1 table of definitions; plus the defined names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records.h"
#include "workbook.h"

namespace mdn {

struct SheetSurface {
  std::string name;
  std::vector<std::uint32_t> cell_rows;
  std::vector<std::uint32_t> cell_cols;
  std::vector<std::string> cell_a1_text;
  std::vector<std::uint32_t> cell_definition_id;
  std::vector<std::string> definition_r1c1_table;
};

struct DefinedNameSurface {
  std::string name;
  std::optional<std::string> target_a1_or_none;
};

struct WorkbookSurface {
  std::vector<SheetSurface> sheets;
  std::vector<DefinedNameSurface> names;
};

Result<WorkbookSurface> decode_workbook_surface(Bytes data);

std::vector<DefinedNameSurface> decode_defined_names(const Workbook& workbook);

}  // namespace mdn
