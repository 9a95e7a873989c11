// The raw values report.
//
// Text cells refer to an entry of a per-call text table instead of holding a
// copy: a shared string used by a million cells is stored (and turned into
// a Python object) once, so the cost follows the file, not its amplification.
#include "values.h"

#include <array>
#include <charconv>
#include <optional>

#include "sheet.h"

namespace mdn {

namespace {

inline constexpr std::uint16_t kSstItem = record_id(19);  // BrtSSTItem

// The shared-string table becomes the first entries of `texts`. An absent
// or unreadable part leaves it empty; damage inside the part fails the call.
Result<std::uint32_t> read_shared_strings(const Container& container, std::vector<std::string>& texts) {
  auto part = read_zip_entry(container, "xl/sharedStrings.bin");
  if (!part) return 0u;
  Records records{part->view()};
  for (;;) {
    TRY(std::optional<Record> next, next_record(records));
    if (!next) break;
    if (next->id != kSstItem) continue;
    TRY(LenientString item, read_string_lenient(next->payload, 1));
    texts.push_back(std::move(item.text));
  }
  return static_cast<std::uint32_t>(texts.size());
}

// Per-call state of the cell decoder.
struct ValueDecoder {
  RawValues& out;
  std::uint32_t shared_count;
  std::array<std::uint32_t, 256> error_text{};  // error code -> text index + 1

  std::uint32_t add_text(std::string text) {
    out.texts.push_back(std::move(text));
    return static_cast<std::uint32_t>(out.texts.size() - 1);
  }

  // Error codes print as "0x" and lowercase hex, each text stored once.
  std::uint32_t error_code_text(std::uint8_t code) {
    if (error_text[code] == 0) {
      char buf[8] = {'0', 'x'};
      auto end = std::to_chars(buf + 2, buf + sizeof buf, code, 16).ptr;
      error_text[code] = add_text(std::string(buf, end)) + 1;
    }
    return error_text[code] - 1;
  }

  // The cell a value record gives, if any. `payload` holds at least 4 bytes.
  std::optional<RawCell> decode(std::uint16_t id, Bytes p, std::uint32_t row) {
    RawCell cell{};
    cell.row = row;
    cell.col = load_u32(p.data());
    const std::uint8_t* v = p.data() + 8;
    switch (id) {
      case cell_id::rk:
        if (p.size() < 12) return std::nullopt;
        cell.kind = ValueKind::Number;
        cell.num = decode_rk(load_u32(v));
        return cell;
      case cell_id::error:
      case cell_id::fmla_error:
        if (p.size() < 9) return std::nullopt;
        cell.kind = ValueKind::Text;
        cell.text = error_code_text(*v);
        return cell;
      case cell_id::boolean:
      case cell_id::fmla_bool:
        if (p.size() < 9) return std::nullopt;
        cell.kind = ValueKind::Boolean;
        cell.boolean = *v != 0;
        return cell;
      case cell_id::real:
      case cell_id::fmla_num:
        if (p.size() < 16) return std::nullopt;
        cell.kind = ValueKind::Number;
        cell.num = load_f64(v);
        return cell;
      case cell_id::isst: {
        if (p.size() < 12) return std::nullopt;
        std::uint32_t index = load_u32(v);
        if (index >= shared_count) return std::nullopt;
        cell.kind = ValueKind::Text;
        cell.text = index;
        return cell;
      }
      case cell_id::fmla_string: {
        if (p.size() < 12) return std::nullopt;
        auto text = read_string_lenient(p, 8);
        if (!text) return std::nullopt;
        cell.kind = ValueKind::Text;
        cell.text = add_text(std::move(text->text));
        return cell;
      }
      default:  // inline strings and blanks are not reported
        return std::nullopt;
    }
  }

  // A stream error ends the sheet silently, keeping the cells before it.
  std::vector<RawCell> decode_sheet(Bytes part) {
    // No reported cell takes fewer than 11 bytes of records (a boolean or
    // error cell), so this bound spares the copying of a growing vector;
    // reserved pages that stay untouched cost nothing.
    constexpr std::size_t kSmallestCellRecord = 11;
    std::vector<RawCell> cells;
    cells.reserve(part.size() / kSmallestCellRecord);
    Records records{part};
    std::uint32_t row = 0;
    for (auto next = next_record(records); next && *next; next = next_record(records)) {
      const Record& r = **next;
      if (r.payload.size() < 4) continue;
      if (r.id == cell_id::row_hdr) {
        row = load_u32(r.payload.data());
      } else if (r.id >= cell_id::rk && r.id <= cell_id::fmla_error) {
        if (auto cell = decode(r.id, r.payload, row)) cells.push_back(*cell);
      }
    }
    return cells;
  }
};

}  // namespace

Result<RawValues> decode_workbook_values(Bytes data) {
  TRY(OpenedWorkbook opened, open_workbook(data));
  RawValues result;
  TRY(std::uint32_t shared_count, read_shared_strings(opened.container, result.texts));
  ValueDecoder decoder{result, shared_count};
  for (WorksheetEntry& entry : opened.worksheets) {
    auto part = read_zip_entry(opened.container, entry.part_name);
    if (!part) continue;  // an unreadable worksheet is left out
    result.sheets.push_back({std::move(entry.name), decoder.decode_sheet(part->view())});
  }
  return result;
}

}  // namespace mdn
