// The formula text report over arbitrary workbook bytes, in both notations.
// Whatever the bytes, each call returns sheets or one fixed failure text;
// every tallied message is a fixed text and every formula text converts to
// a Python str. Only the notation differs between the two calls, and no
// render fails because of the notation except on the shared text budget, so
// short of that both calls must report the same cells, tallies and counts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fuzz_support.h"
#include "sheet.h"

namespace {

using Report = mdn::Result<std::vector<mdn::SheetReport>>;

void check_report(const Report& report) {
  if (!report) return mdn::fuzz::expect_input_error(report.error());
  for (const mdn::SheetReport& sheet : *report) {
    mdn::fuzz::expect(mdn::fuzz::is_utf8(sheet.name), "sheet names are UTF-8");
    const mdn::CellTexts& cells = sheet.cells;
    mdn::fuzz::expect(cells.positions.size() == cells.texts.size(), "one text per position");
    std::unordered_set<std::uint64_t> seen;
    for (std::size_t i = 0; i < cells.positions.size(); ++i) {
      const mdn::CellPos pos = cells.positions[i];
      mdn::fuzz::expect(seen.insert(std::uint64_t{pos.row} << 32 | pos.col).second, "each position once");
      mdn::fuzz::expect(pos.col <= mdn::kColumnMask, "formula columns are masked to 14 bits");
      mdn::fuzz::expect(mdn::fuzz::is_utf8(cells.texts[i]), "formula texts are UTF-8");
    }
    for (const auto& [text, count] : sheet.errors) {
      mdn::fuzz::expect(mdn::fuzz::is_tally_message(text), "tallied messages are fixed texts");
      mdn::fuzz::expect(count > 0, "tallied messages occurred");
    }
  }
}

bool hit_text_budget(const mdn::SheetReport& sheet) {
  const std::string_view cap = mdn::message(mdn::DecodeError::formula_text_too_long);
  for (const auto& [text, count] : sheet.errors) {
    if (text.ends_with(cap)) return true;
  }
  return false;
}

void check_same_outcome(const Report& a1, const Report& r1c1) {
  using mdn::fuzz::expect;
  expect(a1.has_value() == r1c1.has_value(), "both notations fail or neither does");
  if (!a1) return expect(a1.error() == r1c1.error(), "both notations fail alike");
  expect(a1->size() == r1c1->size(), "both notations report the same sheets");
  for (std::size_t i = 0; i < a1->size(); ++i) {
    const mdn::SheetReport& x = (*a1)[i];
    const mdn::SheetReport& y = (*r1c1)[i];
    expect(x.name == y.name && x.unresolved_follower_count == y.unresolved_follower_count,
           "both notations report the same sheet");
    if (hit_text_budget(x) || hit_text_budget(y)) continue;
    expect(x.errors == y.errors, "both notations tally the same failures");
    expect(x.cells.positions == y.cells.positions, "both notations report the same cells");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const mdn::Bytes bytes(data, size);
  const Report a1 = mdn::decode_workbook(bytes, mdn::Notation::A1);
  const Report r1c1 = mdn::decode_workbook(bytes, mdn::Notation::R1C1);
  check_report(a1);
  check_report(r1c1);
  check_same_outcome(a1, r1c1);
  return 0;
}
