// The formula renderer: a stored formula (token bytes and extra bytes) to
// formula text in A1 or R1C1 notation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "records.h"
#include "sheet.h"
#include "workbook.h"

namespace mdn {

// Renders one stored formula at the base cell (base_row, base_col).
Result<std::string> render(Bytes rgce, Bytes rgcb, const Workbook& workbook, std::uint32_t base_row,
                           std::uint32_t base_col, Notation notation);

// Working memory that a caller rendering many formulas lends to `render`, so
// that each render reuses the buffers of the one before instead of
// allocating its own. Nothing but capacity is kept from one render to the
// next, so results never depend on it.
class RenderScratch {
 public:
  struct Buffers;
  RenderScratch();
  ~RenderScratch();
  RenderScratch(const RenderScratch&) = delete;
  RenderScratch& operator=(const RenderScratch&) = delete;
  Buffers& buffers() noexcept { return *buffers_; }

 private:
  std::unique_ptr<Buffers> buffers_;
};

Result<std::string> render(Bytes rgce, Bytes rgcb, const Workbook& workbook, std::uint32_t base_row,
                           std::uint32_t base_col, Notation notation, RenderScratch& scratch);

// Cell and area references. Rows are as stored (unsigned 32-bit); columns
// are 0..16383.
std::string render_ref(std::uint32_t row, std::uint32_t col, bool row_rel, bool col_rel, std::uint32_t base_row,
                       std::uint32_t base_col, Notation notation);
std::string render_area(std::uint32_t first_row, std::uint32_t last_row, std::uint32_t first_col,
                        std::uint32_t last_col, bool first_row_rel, bool last_row_rel, bool first_col_rel,
                        bool last_col_rel, std::uint32_t base_row, std::uint32_t base_col, Notation notation);
std::string r1c1_row_part(std::uint32_t row, bool rel, std::uint32_t base_row);
std::string r1c1_col_part(std::uint32_t col, bool rel, std::uint32_t base_col);

struct RelLocation {
  std::uint32_t row;
  std::uint32_t col;
  bool row_rel;
  bool col_rel;
};

// Resolves the row field and column word at `pos` of a PtgRefN-style location
// against the base cell.
Result<RelLocation> loc_rel(Bytes bytes, std::size_t pos, std::uint32_t base_row, std::uint32_t base_col);

// A number literal as formula text (shortest round-trip digits).
std::string fmt_num(double value);

}  // namespace mdn
