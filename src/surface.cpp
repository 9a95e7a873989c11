// The formula surface report.
//
// A definition is one stored token stream, identified by where it lies in
// the worksheet part: every follower of a group shares the group's
// definition, and each ordinary formula cell has its own. Nothing inside a
// worksheet fails the call; what cannot be read or rendered is left out.
#include "surface.h"

#include <unordered_map>

#include "ptg.h"
#include "sheet.h"

namespace mdn {

namespace {

struct LocationHash {
  std::size_t operator()(const std::pair<std::size_t, std::size_t>& k) const noexcept {
    return std::hash<std::size_t>{}(k.first * 0x9E3779B97F4A7C15ull ^ k.second);
  }
};

struct SurfaceBuilder {
  Bytes part;
  const Workbook& workbook;
  SheetSurface& out;
  TextBudget& budget;
  RenderScratch scratch;
  std::unordered_map<std::pair<std::size_t, std::size_t>, std::uint32_t, LocationHash> definitions;

  // The id of the definition stored at rgce's location, created (with its
  // R1C1 text rendered at this cell, or empty text) on first use.
  std::uint32_t definition_id_for(Bytes rgce, Bytes rgcb, std::uint32_t row, std::uint32_t col) {
    std::pair<std::size_t, std::size_t> location{static_cast<std::size_t>(rgce.data() - part.data()), rgce.size()};
    auto found = definitions.find(location);
    if (found != definitions.end()) return found->second;
    auto text = render(rgce, rgcb, workbook, row, col, Notation::R1C1, scratch);
    auto id = static_cast<std::uint32_t>(out.definition_r1c1_table.size());
    bool kept = text && budget.take(text->size());
    out.definition_r1c1_table.push_back(kept ? std::move(*text) : std::string());
    definitions.emplace(location, id);
    return id;
  }

  // Adds one formula cell unless its A1 rendering fails. Internal defects
  // end the whole call.
  Result<void> add_cell(Bytes rgce, Bytes rgcb, std::uint32_t row, std::uint32_t col) {
    auto text = render(rgce, rgcb, workbook, row, col, Notation::A1, scratch);
    if (!text) return is_internal_defect(text.error()) ? Result<void>(fail(text.error())) : Result<void>();
    if (!budget.take(text->size())) return {};
    std::uint32_t id = definition_id_for(rgce, rgcb, row, col);
    out.cell_rows.push_back(row);
    out.cell_cols.push_back(col);
    out.cell_a1_text.push_back(std::move(*text));
    out.cell_definition_id.push_back(id);
    return {};
  }
};

Result<SheetSurface> decode_sheet_surface(Bytes part, const Workbook& workbook, TextBudget& budget,
                                          std::string name) {
  SheetSurface surface;
  surface.name = std::move(name);
  SurfaceBuilder builder{part, workbook, surface, budget, {}, {}};
  SheetFormulas formulas = collect_sheet_formulas(part);
  for (const DirectFormula& f : formulas.direct) TRY_VOID(builder.add_cell(f.rgce, f.rgcb, f.row, f.col));
  std::vector<FollowerMatch> matches = resolve_followers(formulas);
  for (std::size_t i = 0; i < matches.size(); ++i) {
    if (matches[i].kind != FollowerMatch::Kind::Found) continue;
    const GroupFormula& g = formulas.groups[matches[i].group];
    const Follower& f = formulas.followers[i];
    TRY_VOID(builder.add_cell(g.rgce, g.rgcb, f.row, f.col));
  }
  return surface;
}

}  // namespace

namespace {

std::vector<DefinedNameSurface> decode_defined_names(const Workbook& workbook, TextBudget& budget) {
  std::vector<DefinedNameSurface> out;
  out.reserve(workbook.names.size());
  RenderScratch scratch;
  for (const DefinedName& n : workbook.names) {
    auto text = render(n.rgce, n.rgcb, workbook, 0, 0, Notation::A1, scratch);
    bool kept = text && budget.take(text->size());
    out.push_back({n.name, kept ? std::optional<std::string>(std::move(*text)) : std::nullopt});
  }
  return out;
}

}  // namespace

std::vector<DefinedNameSurface> decode_defined_names(const Workbook& workbook) {
  TextBudget budget(0);
  return decode_defined_names(workbook, budget);
}

Result<WorkbookSurface> decode_workbook_surface(Bytes data) {
  TRY(OpenedWorkbook opened, open_workbook(data));
  TextBudget budget(data.size());
  WorkbookSurface result;
  for (WorksheetEntry& entry : opened.worksheets) {
    auto part = read_zip_entry(opened.container, entry.part_name);
    if (!part) continue;  // an unreadable worksheet is left out
    TRY(SheetSurface sheet, decode_sheet_surface(part->view(), opened.workbook, budget, std::move(entry.name)));
    result.sheets.push_back(std::move(sheet));
  }
  result.names = decode_defined_names(opened.workbook, budget);
  return result;
}

}  // namespace mdn
