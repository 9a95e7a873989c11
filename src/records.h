// BIFF12 record framing and the primitive readers every record decoder uses.
//
// Design choices, shared by every reader in the library:
//  * Failures are values. A reader returns `Result<T>`: the value, or one
//    `DecodeError` whose fixed message text callers may show to users.
//  * Bounds are written on the trusted side: `size - off < need`, never
//    `off + need > size` with an untrusted `need` that could overflow.
//  * Nothing allocates before its bounds checks pass; payloads are borrowed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace mdn {

using Bytes = std::span<const std::uint8_t>;

// Every failure the readers, parsers and renderer can report. The message
// texts are part of the Python interface, so they live in one table.
#define MDN_DECODE_ERRORS(X)                                                   \
  /* container */                                                              \
  X(not_a_container, "not a valid zip/xlsb container")                         \
  X(zip_entry_not_found, "zip entry not found")                                \
  X(zip_entry_read_failed, "zip entry read failed")                            \
  /* record framing */                                                         \
  X(truncated_record_id, "truncated record id")                                \
  X(record_id_too_long, "record id continues past 2 bytes")                    \
  X(truncated_record_length, "truncated record length")                        \
  X(record_length_too_long, "record length continues past 4 bytes")           \
  X(record_payload_overrun, "record payload overruns buffer")                  \
  /* primitive readers */                                                      \
  X(read_past_end_u16, "read past end (u16)")                                  \
  X(read_past_end_u32, "read past end (u32)")                                  \
  X(read_past_end_f64, "read past end (f64)")                                  \
  X(slice_past_end, "slice past end")                                          \
  X(wide_string_too_long, "wide string length exceeds cap")                    \
  X(wide_string_bad_utf16, "invalid utf-16 in wide string")                    \
  X(string_too_long, "string length exceeds cap")                              \
  X(string_bytes_past_end, "string bytes past end")                            \
  /* workbook part and relationships */                                        \
  X(name_rgce_overrun, "BrtName rgce overruns payload")                        \
  X(name_rgcb_overrun, "BrtName rgcb overruns payload")                        \
  X(malformed_rels, "malformed workbook rels xml")                             \
  X(xti_out_of_range, "xti index out of range")                                \
  /* worksheet walk */                                                         \
  X(row_header_malformed, "row header malformed")                              \
  X(exp_anchor_malformed, "PtgExp anchor malformed")                           \
  /* formula renderer */                                                       \
  X(stack_imbalance, "stack imbalance at end of render")                       \
  X(stack_underflow, "stack underflow")                                        \
  X(unknown_ptg, "unknown ptg opcode")                                         \
  X(str_text_past_end, "PtgStr text past end")                                 \
  X(str_bad_utf16, "PtgStr invalid utf-16")                                    \
  X(eptg18_past_end, "eptg18 past end")                                        \
  X(unknown_eptg18, "unknown eptg18 subtype")                                  \
  X(attr_past_end, "PtgAttr eptg past end")                                    \
  X(unknown_attr, "unknown PtgAttr subtype")                                   \
  X(attr_space_type_past_end, "AttrSpace type past end")                       \
  X(attr_space_count_past_end, "AttrSpace count past end")                     \
  X(err_code_past_end, "PtgErr code past end")                                 \
  X(bool_value_past_end, "PtgBool value past end")                             \
  X(array_too_many_cells, "array constant cell count exceeds cap")             \
  X(serar_type_past_end, "SerAr type byte past end")                           \
  X(unknown_serar_type, "unknown SerAr element type")                          \
  X(serar_bool_past_end, "SerAr bool byte past end")                           \
  X(serar_error_past_end, "SerAr error byte past end")                         \
  X(funcvar_argc_past_end, "PtgFuncVar argc past end")                         \
  X(func_argc_exceeds_stack, "function call argc exceeds stack")               \
  X(udf_argc_exceeds_stack, "user-defined call argc exceeds stack")            \
  X(formula_text_too_long, "rendered formula text exceeds length cap")         \
  /* internal defects: never caused by input; the boundary raises them as  */  \
  /* the module's private BaseException subclass instead of RuntimeError   */  \
  X(defect_ftab_unparsable,                                                    \
    "ftab.json must parse: embedded at build time, not hostile input")

enum class DecodeError : std::uint8_t {
#define MDN_ENUM_ENTRY(id, text) id,
  MDN_DECODE_ERRORS(MDN_ENUM_ENTRY)
#undef MDN_ENUM_ENTRY
};

std::string_view message(DecodeError e) noexcept;

// True for the codes that report a broken invariant of this library rather
// than a problem with the input.
bool is_internal_defect(DecodeError e) noexcept;

template <class T>
using Result = std::expected<T, DecodeError>;

inline std::unexpected<DecodeError> fail(DecodeError e) noexcept { return std::unexpected(e); }

#define MDN_CAT2(a, b) a##b
#define MDN_CAT(a, b) MDN_CAT2(a, b)

// `TRY(decl, expr)`: evaluates a Result-returning expression; on failure returns
// its error from the enclosing function, otherwise binds the value to `decl`.
// GCC 12's <expected> has no and_then/transform, so this keeps call sites flat.
#define TRY(decl, expr)                                                        \
  auto MDN_CAT(mdn_try_, __LINE__) = (expr);                                   \
  if (!MDN_CAT(mdn_try_, __LINE__))                                            \
    return ::std::unexpected(MDN_CAT(mdn_try_, __LINE__).error());             \
  decl = std::move(*MDN_CAT(mdn_try_, __LINE__))

// `TRY_VOID(expr)`: as TRY for a Result whose value is not needed.
#define TRY_VOID(expr)                                                         \
  do {                                                                         \
    auto mdn_try_void = (expr);                                                \
    if (!mdn_try_void) return ::std::unexpected(mdn_try_void.error());         \
  } while (0)

// ---------------------------------------------------------------------------
// Little-endian reads at an offset inside a payload.

inline bool has(Bytes p, std::size_t off, std::size_t need) noexcept {
  return off <= p.size() && p.size() - off >= need;
}

inline std::uint16_t load_u16(const std::uint8_t* q) noexcept {
  return static_cast<std::uint16_t>(q[0] | (q[1] << 8));
}
inline std::uint32_t load_u32(const std::uint8_t* q) noexcept {
  return static_cast<std::uint32_t>(q[0]) | (static_cast<std::uint32_t>(q[1]) << 8) |
         (static_cast<std::uint32_t>(q[2]) << 16) | (static_cast<std::uint32_t>(q[3]) << 24);
}
inline std::uint64_t load_u64(const std::uint8_t* q) noexcept {
  return static_cast<std::uint64_t>(load_u32(q)) | (static_cast<std::uint64_t>(load_u32(q + 4)) << 32);
}
double load_f64(const std::uint8_t* q) noexcept;

Result<std::uint16_t> read_u16(Bytes p, std::size_t off) noexcept;
Result<std::uint32_t> read_u32(Bytes p, std::size_t off) noexcept;
Result<std::int32_t> read_i32(Bytes p, std::size_t off) noexcept;
Result<double> read_f64(Bytes p, std::size_t off) noexcept;
// The `len` bytes at `off`; "slice past end" when they do not fit.
Result<Bytes> read_bytes(Bytes p, std::size_t off, std::uint64_t len) noexcept;

// ---------------------------------------------------------------------------
// Strings.

inline constexpr std::uint32_t kMaxWideChars = 0x800000;
inline constexpr std::uint32_t kNullWideString = 0xFFFFFFFF;

struct WideString {
  std::optional<std::string> text;  // UTF-8; absent for the null string
  std::size_t next;                 // offset just after the string
};

struct LenientString {
  std::string text;  // UTF-8
  std::size_t next;
};

// XLWideString: u32 count of UTF-16 code units, then the units. Strict UTF-16.
Result<WideString> read_wide(Bytes p, std::size_t off);
// The same layout without a null string; unpaired surrogates become U+FFFD.
Result<LenientString> read_string_lenient(Bytes p, std::size_t off);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) noexcept;

// Appends the UTF-8 form of `units` little-endian UTF-16 code units at `src`.
// Returns false on an unpaired surrogate (nothing useful is left in `out`).
bool utf16le_to_utf8_strict(const std::uint8_t* src, std::size_t units, std::string& out);
// As above, replacing every unpaired surrogate with U+FFFD.
void utf16le_to_utf8_lenient(const std::uint8_t* src, std::size_t units, std::string& out);

// ---------------------------------------------------------------------------
// The record cursor.

struct Record {
  std::uint16_t id;  // the stored type bytes, read little-endian (see below)
  Bytes payload;
};

// Record ids are compared as the one or two stored type bytes read as a
// little-endian number, continuation bit kept: a type T >= 128 has the id
// 0x80 | (T & 0x7F) | (T >> 7) << 8.
constexpr std::uint16_t record_id(unsigned type) noexcept {
  return type < 0x80 ? static_cast<std::uint16_t>(type)
                     : static_cast<std::uint16_t>(0x80 | (type & 0x7F) | ((type >> 7) << 8));
}

inline constexpr std::uint32_t kMaxRecordLength = 0x0FFFFFFF;

struct Records {
  Bytes bytes;
  std::size_t pos = 0;
};

// The next record, std::nullopt at the end of the part, or a framing error.
// After an error the cursor must not be used again.
Result<std::optional<Record>> next_record(Records& cursor) noexcept;

}  // namespace mdn
