// Checks shared by the fuzz targets. Beyond what the sanitizers catch, a
// target asserts the promises its entry point makes about every input; a
// broken promise aborts, which libFuzzer records as a crash.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "records.h"

namespace mdn::fuzz {

[[noreturn]] inline void broken(const char* promise) {
  std::fprintf(stderr, "broken promise: %s\n", promise);
  std::abort();
}

inline void expect(bool holds, const char* promise) {
  if (!holds) broken(promise);
}

// Every failure is reported with one of the fixed texts, and no input can
// produce one of the internal-defect codes.
inline void expect_input_error(DecodeError e) {
  expect(!is_internal_defect(e), "no input reaches an internal defect");
}

// A tallied message: a fixed text, or "follower:" and a fixed text.
inline bool is_tally_message(std::string_view text) {
  constexpr std::string_view follower = "follower:";
  if (text.starts_with(follower)) text.remove_prefix(follower.size());
#define MDN_FUZZ_MATCH(id, msg) \
  if (text == message(DecodeError::id)) return !is_internal_defect(DecodeError::id);
  MDN_DECODE_ERRORS(MDN_FUZZ_MATCH)
#undef MDN_FUZZ_MATCH
  return false;
}

// Strict UTF-8, as the module's str conversion demands.
inline bool is_utf8(std::string_view text) { return is_valid_utf8(text); }

}  // namespace mdn::fuzz
