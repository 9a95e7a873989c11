// Formula change classification: how a formula's text changed between a
// baseline and a current version.
//
// Everything here works on formula text, never on a workbook: a formula is
// split into typed tokens, reduced to shape labels and skeleton keys, searched
// for inside another formula (wrapping and unwrapping), and its references are
// collected and compared. Texts the tokenizer does not accept are refused
// without a message; the batch classifier reports such a pair as unsupported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace mdn {

// ---- tokens ----------------------------------------------------------------

enum class TokenType : std::uint8_t {
  Operand,     // a literal, reference or name
  Function,    // "NAME(" opening a call, or the ")" closing it
  Array,       // "{" or "}" of an array constant
  Paren,       // a grouping "(" or ")"
  Separator,   // "," between arguments or array columns, ";" between rows
  PrefixOp,    // unary "+" or "-"
  InfixOp,     // binary operator, including the union ","
  PostfixOp,   // "%"
  Whitespace,  // a run of spaces and line feeds, kept as its first character
};

enum class TokenSubtype : std::uint8_t {
  Plain,
  Text,
  Number,
  Logical,
  Error,
  Range,
  Open,
  Close,
  Argument,
  Row,
};

struct Token {
  std::string value;  // the characters as they stand in the formula
  TokenType kind = TokenType::Operand;
  TokenSubtype subtype = TokenSubtype::Plain;

  // An operand token whose subtype is chosen from its complete text: string
  // literal, error literal, logical, number, or (for anything else) Range.
  static Token operand(std::string text);

  friend bool operator==(const Token&, const Token&) = default;
};

// Longest formula text the tokenizer accepts, in bytes.
inline constexpr std::size_t MAX_FORMULA_BYTES = 32768;
// Deepest nesting of "(" and "{" the tokenizer accepts.
inline constexpr std::size_t MAX_OPENER_DEPTH = 256;

// Splits a formula text ("=" first) into tokens; nothing when it is refused.
std::optional<std::vector<Token>> tokenize(std::string_view text);

// ---- shape labels and skeleton keys ----------------------------------------

// References become "REF", numbers "NUM", string literals "TEXT"; every other
// token keeps its text, lower-cased.
std::string shape_label(const Token& token);

// Twelve hex digits naming the formula around the run tokens[start,
// start + length): the labels outside the run with the run as one "<CORE>"
// marker, joined by "|" and hashed with SHA-256. The run must lie inside the
// list; every caller passes a run found by `find_occurrence`.
std::string skeleton_key(std::span<const Token> tokens, std::size_t start, std::size_t length);

// ---- wrapper detection -----------------------------------------------------

enum class WrapperKind : unsigned char { None, Wrapped, Unwrapped };

// "wrapped" or "unwrapped"; empty for WrapperKind::None.
std::string_view wrapper_kind_name(WrapperKind kind);

struct WrapperMatch {
  std::string skeleton;  // skeleton key of the longer formula, run marked
  WrapperKind kind = WrapperKind::None;
  bool exact = false;  // the run matched token text, not only shape labels

  friend bool operator==(const WrapperMatch&, const WrapperMatch&) = default;
};

// Index of the leftmost place where `needle` occurs in the labels of
// `haystack` (shape labels when `by_shape`, token texts otherwise) as a whole
// function argument or parenthesised group. Nothing when the needle is empty,
// not strictly shorter than the haystack, or found nowhere so bounded.
// Linear in the two lengths.
std::optional<std::size_t> find_occurrence(std::span<const Token> haystack,
                                           std::span<const std::string_view> needle,
                                           bool by_shape);

// Whether `new_tokens` wraps `old_tokens` in a function, or the reverse.
std::optional<WrapperMatch> detect_wrapper(std::span<const Token> old_tokens,
                                           std::span<const Token> new_tokens);

// ---- references ------------------------------------------------------------

using ReferenceSet = std::unordered_set<std::string>;

// For each Function opener index, the index of the closer ending its call.
using CloseOf = std::vector<std::size_t>;
inline constexpr std::size_t NO_CLOSER = static_cast<std::size_t>(-1);

// How the references directly inside a call are marked: under SINGLE they
// are implicit intersections ("@a1"), under ANCHORARRAY spill ranges ("a1#").
enum class RefContext : std::uint8_t { None, Implicit, Spill };

// The lower-cased reference texts of a formula; nothing when it calls LAMBDA
// or LET (whose parameter names cannot be told apart from references).
std::optional<ReferenceSet> collect_references(std::span<const Token> tokens);

// Adds the references of tokens[from, to) to `set`; true on failure.
bool walk(std::span<const Token> tokens, const CloseOf& close_of, std::size_t from, std::size_t to,
          RefContext context, ReferenceSet& set);

struct EndPoint {
  std::string_view letters;  // one to three upper-case column letters
  std::uint32_t row = 0;
  friend bool operator==(const EndPoint&, const EndPoint&) = default;
};

// The column letters and row of a range's end cell ("$B$10" -> B, 10).
std::optional<EndPoint> endpoint(std::string_view text);

// True when the two formulas are token for token the same except that at
// least one range ends further down or further right.
bool differs_only_by_extension(std::span<const Token> old_tokens, std::span<const Token> new_tokens);

// ---- batch classification --------------------------------------------------

// One old/new pair. The texts are borrowed: whoever builds the pairs keeps
// their bytes alive until the classification returns (the module boundary
// copies a whole batch into one buffer before it lets go of the interpreter).
struct FormulaPair {
  std::string_view baseline_raw;
  std::string_view current_raw;
  std::string_view baseline_r1c1;
  std::string_view current_r1c1;
};

struct DeltaResult {
  bool supported = false;
  bool expected_extension = false;
  WrapperKind wrapper_kind = WrapperKind::None;
  bool wrapper_exact = false;  // meaningful only with a wrapper
  std::string event_key;       // empty without a wrapper
  bool added_reference = false;

  friend bool operator==(const DeltaResult&, const DeltaResult&) = default;
};

// Classifies every pair, in order. Runs without the interpreter lock and
// never fails: a pair that cannot be handled is reported as unsupported.
std::vector<DeltaResult> classify_batch_inner(std::vector<FormulaPair> pairs);

}  // namespace mdn
