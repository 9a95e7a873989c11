#include "ftab.h"

#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

namespace mdn {

namespace {

// Fills `out` from a JSON array of strings; false on any other shape.
bool read_names(const nlohmann::json& array, std::vector<std::string>& out) {
  if (!array.is_array()) return false;
  out.reserve(array.size());
  for (const auto& item : array) {
    if (!item.is_string()) return false;
    out.push_back(item.get_ref<const std::string&>());
  }
  return true;
}

// Fills `out` from a JSON array of integers in 0..2^32-1.
bool read_counts(const nlohmann::json& array, std::vector<std::uint32_t>& out) {
  if (!array.is_array()) return false;
  out.reserve(array.size());
  for (const auto& item : array) {
    if (!item.is_number_unsigned()) return false;
    auto count = item.get<std::uint64_t>();
    if (count > std::numeric_limits<std::uint32_t>::max()) return false;
    out.push_back(static_cast<std::uint32_t>(count));
  }
  return true;
}

}  // namespace

Result<RawFtab> parse_ftab(std::string_view document) {
  // Parsed without exceptions: a malformed document is a discarded value.
  auto json = nlohmann::json::parse(document.begin(), document.end(), nullptr, false);
  if (json.is_discarded() || !json.is_object() || json.size() != 2 || !json.contains("ftab") ||
      !json.contains("argc"))
    return fail(DecodeError::defect_ftab_unparsable);
  RawFtab parsed;
  if (!read_names(json["ftab"], parsed.ftab) || !read_counts(json["argc"], parsed.argc) ||
      parsed.ftab.size() != parsed.argc.size())
    return fail(DecodeError::defect_ftab_unparsable);
  return parsed;
}

Result<const RawFtab*> table() {
  // A function-local static is initialised exactly once, and concurrent first
  // callers wait for it; a failed parse stays failed and the table stays empty.
  static const std::optional<RawFtab> shared = []() -> std::optional<RawFtab> {
    auto parsed = parse_ftab({reinterpret_cast<const char*>(kFtabJson), kFtabJsonSize});
    if (!parsed) return std::nullopt;
    return std::move(*parsed);
  }();
  if (!shared) return fail(DecodeError::defect_ftab_unparsable);
  return &*shared;
}

}  // namespace mdn
