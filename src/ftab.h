// The built-in function table: function number -> name and fixed operand
// count, from the JSON document carried inside the module.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "records.h"

namespace mdn {

struct RawFtab {
  std::vector<std::string> ftab;   // names, indexed by function number
  std::vector<std::uint32_t> argc; // fixed operand counts (PtgFunc only)
};

// The shared table, parsed on first use under a once-only guard and never
// changed afterwards. Fails only through a build defect (the embedded document
// does not parse), reported as DecodeError::defect_ftab_unparsable.
Result<const RawFtab*> table();

// Parses a function table document: one object whose "ftab" member is an
// array of names and whose "argc" member is an array of counts of the same
// length. Any other shape fails with DecodeError::defect_ftab_unparsable.
Result<RawFtab> parse_ftab(std::string_view document);

// The embedded document text (generated at build time from ftab.json).
extern const unsigned char kFtabJson[];
extern const std::size_t kFtabJsonSize;

}  // namespace mdn
