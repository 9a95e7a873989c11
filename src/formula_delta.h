// Formula change classification: how a formula's text changed between a
// baseline and a current version.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace mdn {

struct FormulaPair {
  std::string baseline_raw;
  std::string current_raw;
  std::string baseline_r1c1;
  std::string current_r1c1;
};

enum class WrapperKind : unsigned char { None, Wrapped, Unwrapped };

struct DeltaResult {
  bool supported = false;
  bool expected_extension = false;
  WrapperKind wrapper_kind = WrapperKind::None;
  bool wrapper_exact = false;  // meaningful only with a wrapper
  std::string event_key;       // empty without a wrapper
  bool added_reference = false;
};

// Classifies every pair, in order. Runs without the interpreter lock.
std::vector<DeltaResult> classify_batch_inner(std::vector<FormulaPair> pairs);

}  // namespace mdn
