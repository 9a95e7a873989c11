#include "records.h"

#include <array>
#include <cstring>

namespace mdn {

namespace {

constexpr std::array<std::string_view, 64> kMessages = {
#define MDN_TEXT_ENTRY(id, text) std::string_view(text),
    MDN_DECODE_ERRORS(MDN_TEXT_ENTRY)
#undef MDN_TEXT_ENTRY
};

constexpr std::size_t kErrorCount = 0
#define MDN_COUNT_ENTRY(id, text) +1
    MDN_DECODE_ERRORS(MDN_COUNT_ENTRY)
#undef MDN_COUNT_ENTRY
    ;
static_assert(kErrorCount <= kMessages.size());

constexpr bool is_high_surrogate(std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool is_low_surrogate(std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes UTF-16LE; with `strict` an unpaired surrogate stops the decode,
// otherwise it becomes U+FFFD and a following non-low unit is decoded anew.
bool decode_utf16le(const std::uint8_t* src, std::size_t units, std::string& out, bool strict) {
  out.reserve(out.size() + units);
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t u = load_u16(src + 2 * i);
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
      continue;
    }
    if (is_high_surrogate(u) && i + 1 < units) {
      std::uint32_t lo = load_u16(src + 2 * (i + 1));
      if (is_low_surrogate(lo)) {
        append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    if (is_high_surrogate(u) || is_low_surrogate(u)) {
      if (strict) return false;
      u = 0xFFFD;
    }
    append_utf8(out, u);
  }
  return true;
}

}  // namespace

std::string_view message(DecodeError e) noexcept {
  auto i = static_cast<std::size_t>(e);
  return i < kErrorCount ? kMessages[i] : std::string_view("unknown decode error");
}

bool is_internal_defect(DecodeError e) noexcept { return e == DecodeError::defect_ftab_unparsable; }

double load_f64(const std::uint8_t* q) noexcept {
  std::uint64_t bits = load_u64(q);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

Result<std::uint16_t> read_u16(Bytes p, std::size_t off) noexcept {
  if (!has(p, off, 2)) return fail(DecodeError::read_past_end_u16);
  return load_u16(p.data() + off);
}

Result<std::uint32_t> read_u32(Bytes p, std::size_t off) noexcept {
  if (!has(p, off, 4)) return fail(DecodeError::read_past_end_u32);
  return load_u32(p.data() + off);
}

Result<std::int32_t> read_i32(Bytes p, std::size_t off) noexcept {
  if (!has(p, off, 4)) return fail(DecodeError::read_past_end_u32);
  return static_cast<std::int32_t>(load_u32(p.data() + off));
}

Result<double> read_f64(Bytes p, std::size_t off) noexcept {
  if (!has(p, off, 8)) return fail(DecodeError::read_past_end_f64);
  return load_f64(p.data() + off);
}

Result<Bytes> read_bytes(Bytes p, std::size_t off, std::uint64_t len) noexcept {
  if (off > p.size() || p.size() - off < len) return fail(DecodeError::slice_past_end);
  return p.subspan(off, static_cast<std::size_t>(len));
}

bool utf16le_to_utf8_strict(const std::uint8_t* src, std::size_t units, std::string& out) {
  return decode_utf16le(src, units, out, true);
}

void utf16le_to_utf8_lenient(const std::uint8_t* src, std::size_t units, std::string& out) {
  decode_utf16le(src, units, out, false);
}

bool is_valid_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t code_point, smallest;
    if ((lead & 0xE0) == 0xC0) {
      length = 2, code_point = lead & 0x1Fu, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code_point = lead & 0x0Fu, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code_point = lead & 0x07u, smallest = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code_point = (code_point << 6) | (next & 0x3Fu);
    }
    if (code_point < smallest || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

Result<WideString> read_wide(Bytes p, std::size_t off) {
  TRY(std::uint32_t count, read_u32(p, off));
  std::size_t start = off + 4;
  if (count == kNullWideString) return WideString{std::nullopt, start};
  if (count > kMaxWideChars) return fail(DecodeError::wide_string_too_long);
  std::size_t nbytes = 2 * static_cast<std::size_t>(count);
  if (p.size() - start < nbytes) return fail(DecodeError::slice_past_end);
  std::string text;
  if (!utf16le_to_utf8_strict(p.data() + start, count, text)) return fail(DecodeError::wide_string_bad_utf16);
  return WideString{std::move(text), start + nbytes};
}

Result<LenientString> read_string_lenient(Bytes p, std::size_t off) {
  TRY(std::uint32_t count, read_u32(p, off));
  if (count > kMaxWideChars) return fail(DecodeError::string_too_long);
  std::size_t start = off + 4;
  std::size_t nbytes = 2 * static_cast<std::size_t>(count);
  if (p.size() - start < nbytes) return fail(DecodeError::string_bytes_past_end);
  std::string text;
  utf16le_to_utf8_lenient(p.data() + start, count, text);
  return LenientString{std::move(text), start + nbytes};
}

Result<std::optional<Record>> next_record(Records& c) noexcept {
  const std::size_t n = c.bytes.size();
  const std::uint8_t* b = c.bytes.data();
  std::size_t p = c.pos;
  if (p >= n) return std::optional<Record>{};
  std::uint16_t id = b[p++];
  if (id >= 0x80) {
    if (p >= n) return fail(DecodeError::truncated_record_id);
    std::uint8_t b1 = b[p++];
    if (b1 >= 0x80) return fail(DecodeError::record_id_too_long);
    id = static_cast<std::uint16_t>(id | (b1 << 8));
  }
  std::uint32_t length = 0;
  for (int i = 0;; ++i) {
    if (i == 4) return fail(DecodeError::record_length_too_long);
    if (p >= n) return fail(DecodeError::truncated_record_length);
    std::uint8_t c7 = b[p++];
    length |= static_cast<std::uint32_t>(c7 & 0x7F) << (7 * i);
    if (c7 < 0x80) break;
  }
  if (n - p < length) return fail(DecodeError::record_payload_overrun);
  c.pos = p + length;
  return Record{id, c.bytes.subspan(p, length)};
}

}  // namespace mdn
