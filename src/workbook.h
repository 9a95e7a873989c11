// The workbook part (xl/workbook.bin), the workbook relationships part and the
// sheet prefixes of 3-D references.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "records.h"

namespace mdn {

// What a supporting book points at. ThisBook and Same both mean this
// workbook's own sheets; External and Other are written in the external form
// with a bracketed book number (only External entries count towards it).
enum class SupbookKind : std::uint8_t { ThisBook = 0, Same = 1, External = 2, Other = 3 };

struct Xti {
  std::int32_t iSupBook;
  std::int32_t itabFirst;  // -2: workbook-level; other negatives: deleted sheet
  std::int32_t itabLast;

  friend bool operator==(const Xti&, const Xti&) = default;
};

struct DefinedName {
  std::string name;
  std::vector<std::uint8_t> rgce;  // formula tokens
  std::vector<std::uint8_t> rgcb;  // formula extra data
  std::uint32_t itab;              // scope sheet, 0xFFFFFFFF for the workbook
};

struct Workbook {
  std::vector<std::string> sheets;
  std::vector<Xti> xti;
  std::vector<SupbookKind> supbooks;
  std::unordered_map<std::int32_t, std::vector<std::string>> supbook_sheets;
  std::vector<DefinedName> names;
  std::vector<std::optional<std::string>> sheet_rel_ids;  // parallel to `sheets`

  // The number in brackets for supporting book `book` (a valid index): how
  // many External books there are among supbooks[0..book]. Counted once per
  // workbook on first use, so a formula pays nothing per reference.
  std::uint32_t external_book_number(std::int32_t book) const;

  // The text written in front of a 3-D reference through `xti[index]`:
  // a (quoted) sheet or sheet range and "!", an external-book form, "#REF!!"
  // or nothing; fails with "xti index out of range".
  Result<std::string> sheet_prefix(std::uint32_t index) const;

  // external_counts_[i] = External books among supbooks[0..i]; filled on
  // first use (a Workbook is used by one report call on one thread).
  mutable std::vector<std::uint32_t> external_counts_;
};

// Record ids of the workbook part.
namespace wb_id {
inline constexpr std::uint16_t name = record_id(39);         // BrtName
inline constexpr std::uint16_t bundle_sh = record_id(156);   // BrtBundleSh
inline constexpr std::uint16_t sup_book_src = record_id(355);
inline constexpr std::uint16_t sup_self = record_id(357);
inline constexpr std::uint16_t sup_same = record_id(358);
inline constexpr std::uint16_t sup_tabs = record_id(359);
inline constexpr std::uint16_t sup_other = record_id(361);
inline constexpr std::uint16_t extern_sheet = record_id(362);
}  // namespace wb_id

Result<Workbook> parse_workbook(Bytes part);

// Relationship id -> target, both exactly as written between the quotes.
using RelationshipMap = std::unordered_map<std::string, std::string>;

Result<RelationshipMap> parse_workbook_rels(Bytes document);

struct WorksheetEntry {
  std::uint32_t position;  // index into Workbook::sheets
  std::string name;
  std::string part_name;   // ZIP entry name
};

std::vector<WorksheetEntry> worksheet_entries(const Workbook& workbook, const RelationshipMap& rels);

// Quotes a sheet text for a reference prefix when it is not a plain name or
// could be mistaken for a cell reference or a logical value.
std::string quote_sheet(std::string_view text);

// The two sheet-name tests, hand-written equivalents of anchored whole-text
// patterns (so nothing needs compiling at run time):
//   PLAIN_SHEET:     ^[A-Za-z_\\][A-Za-z0-9_.]*$
//   LOOKS_LIKE_REF:  (?i)^([A-Za-z]{1,3}[0-9]+|R[0-9]*C[0-9]*|[Rr]|[Cc])$
struct SheetNamePattern {
  bool (*test)(std::string_view) noexcept;
  bool matches(std::string_view text) const noexcept { return test(text); }
};
extern const SheetNamePattern PLAIN_SHEET;
extern const SheetNamePattern LOOKS_LIKE_REF;

}  // namespace mdn
