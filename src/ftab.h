// The built-in function table: function number -> name and fixed operand
// count, from the JSON document carried inside the module.
#pragma once

#include <cstdint>
#include <string>
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

// The embedded document text (generated at build time from ftab.json).
extern const unsigned char kFtabJson[];
extern const std::size_t kFtabJsonSize;

}  // namespace mdn
