// Container access (the ZIP archive over the caller's bytes), the worksheet
// cell and formula record layouts, and the formula text report.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "records.h"
#include "workbook.h"

namespace mdn {

// ---------------------------------------------------------------------------
// Container.

struct ZipEntry {
  std::string_view name;           // borrowed from the caller's bytes
  std::uint64_t local_offset;      // of the local file header
  std::uint64_t compressed_size;
  std::uint64_t uncompressed_size;
  std::uint32_t crc32;
  std::uint16_t method;
  std::uint16_t flags;
};

// An open archive: the central directory of the caller's bytes, which it
// borrows and never copies. Lives for one report call.
struct Container {
  Bytes data;
  std::vector<ZipEntry> entries;
  // Entry name -> index of the first directory entry carrying that name.
  std::unordered_map<std::string_view, std::size_t> by_name;
};

// Fails with "not a valid zip/xlsb container" whatever the reason.
Result<Container> open_container(Bytes data);

// The complete, decompressed content of one part, owned by the caller.
struct PartBytes {
  std::unique_ptr<std::uint8_t[]> storage;
  std::size_t size = 0;
  Bytes view() const noexcept { return {storage.get(), size}; }
};

// "zip entry not found" (absent, encrypted, unknown method, bad local header)
// or "zip entry read failed" (bad data, wrong size, CRC-32 mismatch).
Result<PartBytes> read_zip_entry(const Container& container, std::string_view part_name);

// Turns a workbook relationship target into a part name: strips leading "/",
// then one leading "xl/", and puts "xl/" in front. Nothing else is normalised.
std::string part_path(std::string_view target);

// ---------------------------------------------------------------------------
// Worksheet cell records.

namespace cell_id {
inline constexpr std::uint16_t row_hdr = record_id(0);
inline constexpr std::uint16_t blank = record_id(1);
inline constexpr std::uint16_t rk = record_id(2);
inline constexpr std::uint16_t error = record_id(3);
inline constexpr std::uint16_t boolean = record_id(4);
inline constexpr std::uint16_t real = record_id(5);
inline constexpr std::uint16_t st = record_id(6);
inline constexpr std::uint16_t isst = record_id(7);
inline constexpr std::uint16_t fmla_string = record_id(8);
inline constexpr std::uint16_t fmla_num = record_id(9);
inline constexpr std::uint16_t fmla_bool = record_id(10);
inline constexpr std::uint16_t fmla_error = record_id(11);
inline constexpr std::uint16_t arr_fmla = record_id(426);
inline constexpr std::uint16_t shr_fmla = record_id(427);
}  // namespace cell_id

inline bool is_formula_cell(std::uint16_t id) noexcept {
  return id >= cell_id::fmla_string && id <= cell_id::fmla_error;
}
inline bool is_group_formula(std::uint16_t id) noexcept {
  return id == cell_id::arr_fmla || id == cell_id::shr_fmla;
}

// Formula records keep only the low 14 bits of the stored column.
inline constexpr std::uint32_t kColumnMask = 0x3FFF;

struct FormulaCell {
  std::uint32_t col;  // masked
  Bytes rgce;
  Bytes rgcb;
};

// One of the four cell formula records (ids 8 to 11).
Result<FormulaCell> read_formula_cell(std::uint16_t id, Bytes payload);

struct GroupFormula {
  std::uint32_t rw_first, rw_last, col_first, col_last;  // as stored
  Bytes rgce;
  Bytes rgcb;
};

// BrtArrFmla or BrtShrFmla.
Result<GroupFormula> read_group_formula(std::uint16_t id, Bytes payload);

// A formula whose tokens start with PtgExp holds no formula of its own: it
// follows the group formula anchored at the row in token bytes 1 to 4.
inline bool is_follower(Bytes rgce) noexcept { return !rgce.empty() && rgce[0] == 0x01; }

// [MS-XLSB] RkNumber.
double decode_rk(std::uint32_t rk) noexcept;

// ---------------------------------------------------------------------------
// Opening a workbook: the container, the workbook part and the worksheets
// selected through the relationships. Every report starts here; any failure
// ends the report call.

struct OpenedWorkbook {
  Container container;
  Workbook workbook;
  std::vector<WorksheetEntry> worksheets;
};

Result<OpenedWorkbook> open_workbook(Bytes data);

// ---------------------------------------------------------------------------
// The formula records of one worksheet, collected in one walk. Token and
// extra bytes are views into the worksheet part, which must outlive this.

struct DirectFormula {
  std::uint32_t row;
  std::uint32_t col;
  Bytes rgce;
  Bytes rgcb;
};

struct Follower {
  std::uint32_t row;
  std::uint32_t col;
  Bytes rgce;  // starts with PtgExp
};

struct SheetFormulas {
  std::vector<DirectFormula> direct;    // record order
  std::vector<Follower> followers;      // record order
  std::vector<GroupFormula> groups;     // record order
  std::vector<DecodeError> walk_errors; // damaged records; a stream error ends the walk
};

SheetFormulas collect_sheet_formulas(Bytes part);

// What a follower resolves to: the first group formula (in record order) of
// the narrow index under (anchor row, column) whose rows cover the follower;
// failing that, the first wide group (more than 65 columns) anchored on that
// row whose rows and columns cover it.
struct FollowerMatch {
  enum class Kind : std::uint8_t { Malformed, Unresolved, Found } kind;
  std::uint32_t group;  // index into SheetFormulas::groups when Found
};

// One match per follower, in follower order. Runs in O((G + F) log) time for
// G groups and F followers, whatever their shapes.
std::vector<FollowerMatch> resolve_followers(const SheetFormulas& formulas);

// ---------------------------------------------------------------------------
// The formula text one report call may produce in all.
//
// A formula renders to at most 1 MiB, but a few token bytes can name a very
// long sheet or defined name, so a small hostile file could otherwise ask
// for terabytes of text. The ceiling grows with the input and sits far above
// what real workbooks produce (formula text runs to a few times the size of
// its tokens); a formula past it fails like one over the per-formula cap.
struct TextBudget {
  static constexpr std::uint64_t kBase = std::uint64_t{256} << 20;
  static constexpr std::uint64_t kPerInputByte = 64;
  std::uint64_t remaining;

  explicit TextBudget(std::size_t input_size) : remaining(kBase + kPerInputByte * input_size) {}
  // Takes `n` bytes, or nothing (returning false) when they do not fit.
  bool take(std::size_t n) {
    if (n > remaining) return false;
    remaining -= n;
    return true;
  }
};

// ---------------------------------------------------------------------------
// Formula text report.

enum class Notation : bool { A1 = false, R1C1 = true };

struct CellPos {
  std::uint32_t row;
  std::uint32_t col;
  bool operator==(const CellPos&) const = default;
};

// The rendered formula of each cell: one text per position, a later text
// replacing an earlier one. positions[i] holds texts[i], in the order the
// positions were first stored. `slots` indexes the positions (open
// addressing, entry i + 1, 0 when free); a flat table keeps this a few
// nanoseconds per cell, where a node-based map allocated one node each.
struct CellTexts {
  std::vector<CellPos> positions;
  std::vector<std::string> texts;
  std::vector<std::uint32_t> slots;
};

void store_cell_text(CellTexts& cells, CellPos pos, std::string text);

using ErrorTally = std::unordered_map<std::string, std::uint32_t>;

struct SheetReport {
  std::string name;
  CellTexts cells;
  ErrorTally errors;
  std::uint32_t unresolved_follower_count = 0;
};

// Adds one to the count of `message`.
void record_error(ErrorTally& errors, std::string_view message);

// The formula text report: every formula cell of every worksheet rendered in
// `notation`, shared and array formulas resolved per cell.
//
// `data` is the whole workbook file as bytes, never a path: the caller reads
// the file (or receives it) and this library only reads the bytes it is
// given, in place, for the length of the call. It opens no files itself.
Result<std::vector<SheetReport>> decode_workbook(Bytes data, Notation notation);

}  // namespace mdn
