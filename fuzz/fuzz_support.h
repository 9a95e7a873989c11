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

// Strict UTF-8, as the module's str conversion demands: no overlong forms,
// no surrogates, nothing above U+10FFFF.
inline bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, cp = lead & 0x1Fu, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, cp = lead & 0x0Fu, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, cp = lead & 0x07u, min = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cont = static_cast<unsigned char>(text[i + k]);
      if ((cont & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cont & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace mdn::fuzz
