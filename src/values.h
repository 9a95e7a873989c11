// The raw values report: every non-blank cell's stored value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records.h"

namespace mdn {

enum class ValueKind : std::uint8_t { Number, Boolean, Text };

// One reported cell. A text is an index into RawValues::texts, so a shared
// string used by many cells is held (and later converted) once.
struct RawCell {
  std::uint32_t row;
  std::uint32_t col;  // as stored, unmasked
  ValueKind kind;
  union {
    double num;
    bool boolean;
    std::uint32_t text;
  };
};

struct SheetValues {
  std::string name;
  std::vector<RawCell> cells;  // in record order
};

struct RawValues {
  // The shared strings first (entry i of the table is texts[i]), then the
  // texts of formula-string cells and error codes, each appended once.
  std::vector<std::string> texts;
  std::vector<SheetValues> sheets;
};

Result<RawValues> decode_workbook_values(Bytes data);

}  // namespace mdn
