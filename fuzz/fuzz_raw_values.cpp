// The raw values report over arbitrary workbook bytes. Beyond staying inside
// its memory, every reported text index must name a text, and every text
// must convert to a Python str.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "values.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto values = mdn::decode_workbook_values(mdn::Bytes(data, size));
  if (!values) {
    mdn::fuzz::expect_input_error(values.error());
    return 0;
  }
  for (const std::string& text : values->texts) {
    mdn::fuzz::expect(mdn::fuzz::is_utf8(text), "texts are UTF-8");
  }
  for (const mdn::SheetValues& sheet : values->sheets) {
    mdn::fuzz::expect(mdn::fuzz::is_utf8(sheet.name), "sheet names are UTF-8");
    for (const mdn::RawCell& cell : sheet.cells) {
      if (cell.kind == mdn::ValueKind::Text) {
        mdn::fuzz::expect(cell.text < values->texts.size(), "text cells index the text table");
      }
    }
  }
  return 0;
}
