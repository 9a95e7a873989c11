// Formula change classification.
//
// Design choices:
//  * The tokenizer is one forward pass over ASCII text with a pending-operand
//    buffer and a stack of open brackets. It never looks names up, so any
//    text of the right shape tokenizes, and every refusal is the same absent
//    result: the caller only needs to know that the text is out of reach.
//  * Numbers are recognised by a hand-written test of one small decimal
//    grammar. Library parsers accept more (hex floats, "infinity" prefixes,
//    locale forms), which would change which operands count as numbers.
//  * Wrapper search runs a prefix-function (KMP) scan over interned labels,
//    so a hostile pair of long, nearly equal formulas costs linear time.
//  * A batch keeps a wrapper cache and one SHA-256 context for the length of
//    one call and nothing after it; every other value lives for one pair.
//    No input makes a pair fail beyond being reported unsupported.
#include "formula_delta.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <functional>
#include <new>
#include <unordered_map>
#include <utility>

namespace mdn {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
char lower_ascii(char c) { return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

bool all_digits(std::string_view s) { return std::all_of(s.begin(), s.end(), is_digit); }

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(),
                    [](char a, char b) { return lower_ascii(a) == b; });
}

// ---- numbers --------------------------------------------------------------

// Digits with at most one decimal point and at least one digit ("1.", ".5",
// "007"); returns how many characters it took, 0 when there is no digit.
std::size_t mantissa_length(std::string_view s) {
  std::size_t i = 0;
  std::size_t digits = 0;
  bool point = false;
  for (; i < s.size(); ++i) {
    if (is_digit(s[i])) {
      ++digits;
    } else if (s[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  return digits == 0 ? 0 : i;
}

// "e" or "E", an optional sign, one or more digits, and nothing after.
bool is_exponent(std::string_view s) {
  if (s.empty() || (s[0] != 'e' && s[0] != 'E')) return false;
  s.remove_prefix(1);
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  return !s.empty() && all_digits(s);
}

bool is_decimal_number(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity") ||
      equals_ignoring_case(s, "nan")) {
    return true;
  }
  const std::size_t mantissa = mantissa_length(s);
  if (mantissa == 0) return false;
  s.remove_prefix(mantissa);
  return s.empty() || is_exponent(s);
}

// A pending operand such as "1E" or "2.50e": one digit 1 to 9, an optional
// fraction, and the exponent letter. A sign right after it belongs to the
// number ("1E+5"). Longer mantissas do not qualify ("12E+3" is 12E + 3).
bool awaits_exponent_sign(std::string_view pending) {
  if (pending.size() < 2 || pending[0] < '1' || pending[0] > '9') return false;
  if (pending.back() != 'e' && pending.back() != 'E') return false;
  const std::string_view fraction = pending.substr(1, pending.size() - 2);
  if (fraction.empty()) return true;
  return fraction.size() >= 2 && fraction[0] == '.' && all_digits(fraction.substr(1));
}

// ---- tokenizer ------------------------------------------------------------

constexpr std::array<std::string_view, 8> ERROR_LITERALS = {
    "#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A", "#GETTING_DATA"};

// Characters that end the operand being read before they are dispatched.
bool ends_operand(char c) {
  switch (c) {
    case ' ': case '%': case '&': case ')': case '*': case '+': case ',': case '-':
    case '/': case ';': case '<': case '=': case '>': case '^': case '}':
      return true;
    default:
      return false;
  }
}

bool is_operator_char(char c) {
  switch (c) {
    case '+': case '-': case '*': case '/': case '^': case '&': case '=': case '<': case '>':
    case '%':
      return true;
    default:
      return false;
  }
}

// One past the closing quote of the literal opening at `open`; a doubled
// quote stands for itself. npos when the text ends first.
std::size_t quoted_end(std::string_view text, std::size_t open) {
  const char quote = text[open];
  for (std::size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] != quote) continue;
    if (i + 1 < text.size() && text[i + 1] == quote) {
      ++i;
      continue;
    }
    return i + 1;
  }
  return std::string_view::npos;
}

// One past the "]" that closes the "[" at `open`, counting nesting.
std::size_t bracket_end(std::string_view text, std::size_t open) {
  std::size_t depth = 0;
  for (std::size_t i = open; i < text.size(); ++i) {
    if (text[i] == '[') {
      ++depth;
    } else if (text[i] == ']' && --depth == 0) {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

struct Tokenizer {
  std::string_view text;
  std::size_t pos = 1;  // the leading "=" makes no token
  std::string pending;
  std::vector<TokenType> openers;
  std::vector<Token> tokens;

  void push(std::string value, TokenType kind, TokenSubtype subtype) {
    tokens.push_back(Token{std::move(value), kind, subtype});
  }

  void flush() {
    if (pending.empty()) return;
    tokens.push_back(Token::operand(std::move(pending)));
    pending.clear();
  }

  bool pending_ends_with(char c) const { return pending.empty() || pending.back() == c; }

  void skip_blank_run() {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\n')) ++pos;
  }

  // A space or line feed starts a whitespace run. A line feed does not end
  // the pending operand ("A1" line feed "B1" reads as one operand "A1B1").
  bool whitespace(char c) {
    push(std::string(1, c), TokenType::Whitespace, TokenSubtype::Plain);
    ++pos;
    skip_blank_run();
    return true;
  }

  // A string literal is a token of its own; a quoted sheet name becomes part
  // of the pending operand. Either may follow pending text only after ":".
  bool quoted(char quote) {
    if (!pending_ends_with(':')) return false;
    const std::size_t end = quoted_end(text, pos);
    if (end == std::string_view::npos) return false;
    const std::string_view literal = text.substr(pos, end - pos);
    if (quote == '"') {
      tokens.push_back(Token::operand(std::string(literal)));
    } else {
      pending += literal;
    }
    pos = end;
    return true;
  }

  bool error_literal() {
    if (!pending_ends_with('!')) return false;
    const std::string_view rest = text.substr(pos);
    for (const std::string_view literal : ERROR_LITERALS) {
      if (!rest.starts_with(literal)) continue;
      pending += literal;
      flush();
      pos += literal.size();
      return true;
    }
    return false;
  }

  // Structured-reference and external-book brackets are taken whole,
  // uninterpreted, into the pending operand.
  bool bracketed() {
    const std::size_t end = bracket_end(text, pos);
    if (end == std::string_view::npos) return false;
    pending += text.substr(pos, end - pos);
    pos = end;
    return true;
  }

  bool open_paren() {
    if (openers.size() >= MAX_OPENER_DEPTH) return false;
    if (pending.empty()) {
      push("(", TokenType::Paren, TokenSubtype::Open);
    } else {
      pending += '(';
      push(std::move(pending), TokenType::Function, TokenSubtype::Open);
      pending.clear();
    }
    openers.push_back(tokens.back().kind);
    ++pos;
    return true;
  }

  bool open_brace() {
    if (!pending.empty() || openers.size() >= MAX_OPENER_DEPTH) return false;
    push("{", TokenType::Array, TokenSubtype::Open);
    openers.push_back(TokenType::Array);
    ++pos;
    return true;
  }

  bool close(char closer) {
    if (openers.empty()) return false;
    const TokenType kind = openers.back();
    openers.pop_back();
    if (closer != (kind == TokenType::Array ? '}' : ')')) return false;
    push(std::string(1, closer), kind, TokenSubtype::Close);
    ++pos;
    return true;
  }

  // Inside a function call or array constant "," separates items; at the
  // top level or directly inside a grouping parenthesis it is the union.
  bool comma() {
    if (!openers.empty() && openers.back() != TokenType::Paren) {
      push(",", TokenType::Separator, TokenSubtype::Argument);
    } else {
      push(",", TokenType::InfixOp, TokenSubtype::Plain);
    }
    ++pos;
    return true;
  }

  // "+" and "-" are binary after an operand, a closer or a postfix "%".
  bool sign_is_infix() const {
    for (auto it = tokens.rbegin(); it != tokens.rend(); ++it) {
      if (it->kind == TokenType::Whitespace) continue;
      return it->subtype == TokenSubtype::Close || it->kind == TokenType::Operand ||
             it->kind == TokenType::PostfixOp;
    }
    return false;
  }

  bool operator_token(char c) {
    const std::string_view two = text.substr(pos, 2);
    if (two == ">=" || two == "<=" || two == "<>") {
      push(std::string(two), TokenType::InfixOp, TokenSubtype::Plain);
      pos += 2;
      return true;
    }
    TokenType kind = TokenType::InfixOp;
    if (c == '%') {
      kind = TokenType::PostfixOp;
    } else if ((c == '+' || c == '-') && !sign_is_infix()) {
      kind = TokenType::PrefixOp;
    }
    push(std::string(1, c), kind, TokenSubtype::Plain);
    ++pos;
    return true;
  }

  bool dispatch(char c) {
    switch (c) {
      case ' ': case '\n': return whitespace(c);
      case '"': case '\'': return quoted(c);
      case '#': return error_literal();
      case '[': return bracketed();
      case '(': return open_paren();
      case '{': return open_brace();
      case ')': case '}': return close(c);
      case ',': return comma();
      case ';':
        push(";", TokenType::Separator, TokenSubtype::Row);
        ++pos;
        return true;
      case '@': return false;  // implicit intersection is not accepted
      default: break;
    }
    if (is_operator_char(c)) return operator_token(c);
    pending += c;
    ++pos;
    return true;
  }

  bool step() {
    const char c = text[pos];
    if ((c == '+' || c == '-') && awaits_exponent_sign(pending)) {
      pending += c;
      ++pos;
      return true;
    }
    if (ends_operand(c)) flush();
    return dispatch(c);
  }
};

bool acceptable_text(std::string_view text) {
  return !text.empty() && text.size() <= MAX_FORMULA_BYTES && text[0] == '=' &&
         std::none_of(text.begin(), text.end(),
                      [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// ---- labels and keys ------------------------------------------------------

// The shape label of a token, without allocating for the fixed labels;
// `scratch` holds a lower-cased text when one is needed.
std::string_view shape_label_view(const Token& token, std::string& scratch) {
  if (token.kind == TokenType::Operand) {
    switch (token.subtype) {
      case TokenSubtype::Range: return "REF";
      case TokenSubtype::Number: return "NUM";
      case TokenSubtype::Text: return "TEXT";
      default: break;
    }
  }
  scratch.assign(token.value);
  std::transform(scratch.begin(), scratch.end(), scratch.begin(), lower_ascii);
  return scratch;
}

constexpr std::string_view CORE_MARKER = "<CORE>";
constexpr std::size_t SKELETON_KEY_DIGITS = 12;

// SHA-256 for the keys of one call. The algorithm is fetched from OpenSSL
// once, on first use, and one context is reused: the one-shot helpers fetch
// it again for every digest through OpenSSL's process-wide algorithm store,
// which costs several times the digest itself and takes a lock that threads
// classifying at the same time would contend for.
class Sha256 {
 public:
  Sha256() = default;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256() {
    EVP_MD_CTX_free(context_);
    EVP_MD_free(algorithm_);
  }

  // The first `digits` lower-case hex digits of the digest of `bytes`.
  // OpenSSL fails here only when it cannot allocate, so that failure is
  // reported like any other allocation failure.
  std::string hex_prefix(std::string_view bytes, std::size_t digits) {
    if (!algorithm_) algorithm_ = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (!context_) context_ = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (!algorithm_ || !context_ || EVP_DigestInit_ex2(context_, algorithm_, nullptr) != 1 ||
        EVP_DigestUpdate(context_, bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(context_, digest, &digest_size) != 1 || digest_size * 2 < digits) {
      throw std::bad_alloc();
    }
    constexpr std::string_view HEX = "0123456789abcdef";
    std::string hex(digits, '0');
    for (std::size_t i = 0; i < digits; ++i) {
      const unsigned byte = digest[i / 2];
      hex[i] = HEX[(i % 2 == 0 ? byte >> 4 : byte) & 0x0F];
    }
    return hex;
  }

 private:
  EVP_MD* algorithm_ = nullptr;
  EVP_MD_CTX* context_ = nullptr;
};

// The run always comes from find_occurrence, which reports only runs that
// lie inside the list, so no input reaches a run outside it.
std::string skeleton_key_using(Sha256& sha, std::span<const Token> tokens, std::size_t start,
                               std::size_t length) {
  assert(start <= tokens.size() && length <= tokens.size() - start);
  std::string joined;
  std::string scratch;
  const auto append_labels = [&](std::span<const Token> part) {
    for (const Token& token : part) {
      joined += shape_label_view(token, scratch);
      joined += '|';
    }
  };
  append_labels(tokens.first(start));
  joined += CORE_MARKER;
  joined += '|';
  append_labels(tokens.subspan(start + length));
  joined.pop_back();  // the separator after the last label
  return sha.hex_prefix(joined, SKELETON_KEY_DIGITS);
}

// ---- wrapper detection ----------------------------------------------------

bool is_open(const Token& t) {
  return (t.kind == TokenType::Function || t.kind == TokenType::Paren) &&
         t.subtype == TokenSubtype::Open;
}

bool is_close(const Token& t) {
  return (t.kind == TokenType::Function || t.kind == TokenType::Paren) &&
         t.subtype == TokenSubtype::Close;
}

bool is_argument_separator(const Token& t) {
  return t.kind == TokenType::Separator && t.subtype == TokenSubtype::Argument;
}

bool is_function_open(const Token& t) {
  return t.kind == TokenType::Function && t.subtype == TokenSubtype::Open;
}

bool is_reference(const Token& t) {
  return t.kind == TokenType::Operand && t.subtype == TokenSubtype::Range;
}

// The run haystack[start, start + length) is a whole argument or a whole
// parenthesised group: an opener or argument separator before it, a closer
// or argument separator after it, or the formula's own edge.
bool is_bounded_run(std::span<const Token> haystack, std::size_t start, std::size_t length) {
  const std::size_t end = start + length;
  const bool left = start == 0 || is_open(haystack[start - 1]) ||
                    is_argument_separator(haystack[start - 1]);
  const bool right = end == haystack.size() || is_close(haystack[end]) ||
                     is_argument_separator(haystack[end]);
  return left && right;
}

// Labels interned as small integers for one search, so the scan compares
// integers. A haystack label the needle lacks gets an id no needle has.
struct InternedLabels {
  std::vector<std::uint32_t> needle;
  std::vector<std::uint32_t> haystack;
};

InternedLabels intern_labels(std::span<const Token> haystack,
                             std::span<const std::string_view> needle, bool by_shape) {
  InternedLabels ids;
  std::unordered_map<std::string_view, std::uint32_t> id_of;
  id_of.reserve(needle.size());
  ids.needle.reserve(needle.size());
  for (const std::string_view label : needle) {
    const auto next = static_cast<std::uint32_t>(id_of.size());
    ids.needle.push_back(id_of.try_emplace(label, next).first->second);
  }
  const auto absent = static_cast<std::uint32_t>(id_of.size());
  ids.haystack.reserve(haystack.size());
  std::string scratch;
  for (const Token& token : haystack) {
    const std::string_view label = by_shape ? shape_label_view(token, scratch) : token.value;
    const auto found = id_of.find(label);
    ids.haystack.push_back(found == id_of.end() ? absent : found->second);
  }
  return ids;
}

// prefix[q] is the length of the longest proper border of pattern[0, q].
std::vector<std::size_t> prefix_function(std::span<const std::uint32_t> pattern) {
  std::vector<std::size_t> prefix(pattern.size(), 0);
  std::size_t border = 0;
  for (std::size_t q = 1; q < pattern.size(); ++q) {
    while (border > 0 && pattern[q] != pattern[border]) border = prefix[border - 1];
    if (pattern[q] == pattern[border]) ++border;
    prefix[q] = border;
  }
  return prefix;
}

// Whether the list holds a reference or a function call: only such a
// formula is ever searched for inside another one.
bool is_significant(std::span<const Token> tokens) {
  return std::any_of(tokens.begin(), tokens.end(),
                     [](const Token& t) { return is_reference(t) || is_function_open(t); });
}

// Whether the list holds a function call or at least two operands: a shape
// search for a lone operand would match any reference anywhere.
bool is_compound(std::span<const Token> tokens) {
  if (std::any_of(tokens.begin(), tokens.end(), is_function_open)) return true;
  return std::count_if(tokens.begin(), tokens.end(), [](const Token& t) {
           return t.kind == TokenType::Operand;
         }) >= 2;
}

// Searches for the whole `inner` formula inside `outer`, by token text or
// by shape label; on a hit the key names `outer` with the hit as its run.
std::optional<WrapperMatch> search_wrapper(Sha256& sha, std::span<const Token> inner,
                                           std::span<const Token> outer, bool by_shape,
                                           WrapperKind kind) {
  if (inner.size() >= outer.size()) return std::nullopt;
  std::vector<std::string> shape_labels;
  std::vector<std::string_view> needle;
  needle.reserve(inner.size());
  if (by_shape) {
    shape_labels.reserve(inner.size());
    for (const Token& token : inner) shape_labels.push_back(shape_label(token));
    needle.assign(shape_labels.begin(), shape_labels.end());
  } else {
    for (const Token& token : inner) needle.push_back(token.value);
  }
  const std::optional<std::size_t> start = find_occurrence(outer, needle, by_shape);
  if (!start) return std::nullopt;
  // find_occurrence only returns starts whose whole run lies inside `outer`.
  return WrapperMatch{skeleton_key_using(sha, outer, *start, inner.size()), kind, !by_shape};
}

std::optional<WrapperMatch> detect_wrapper_using(Sha256& sha, std::span<const Token> old_tokens,
                                                 std::span<const Token> new_tokens) {
  const bool old_significant = is_significant(old_tokens);
  const bool new_significant = is_significant(new_tokens);
  using enum WrapperKind;
  if (old_significant) {
    if (auto hit = search_wrapper(sha, old_tokens, new_tokens, false, Wrapped)) return hit;
  }
  if (new_significant) {
    if (auto hit = search_wrapper(sha, new_tokens, old_tokens, false, Unwrapped)) return hit;
  }
  if (old_significant && is_compound(old_tokens)) {
    if (auto hit = search_wrapper(sha, old_tokens, new_tokens, true, Wrapped)) return hit;
  }
  if (new_significant && is_compound(new_tokens)) {
    if (auto hit = search_wrapper(sha, new_tokens, old_tokens, true, Unwrapped)) return hit;
  }
  return std::nullopt;
}

// ---- references -----------------------------------------------------------

// A function opener's name as compared here: no "(", no prefix up to the
// last "." ("_xlfn._xlws.FILTER(" is FILTER), compared without letter case.
bool function_named(const Token& opener, std::string_view lower_name) {
  std::string_view name = opener.value;
  if (name.ends_with('(')) name.remove_suffix(1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) name.remove_prefix(dot + 1);
  return equals_ignoring_case(name, lower_name);
}

RefContext context_of_call(const Token& opener) {
  if (function_named(opener, "single")) return RefContext::Implicit;
  if (function_named(opener, "anchorarray")) return RefContext::Spill;
  return RefContext::None;
}

std::string reference_text(std::string_view value, RefContext context) {
  std::string text;
  text.reserve(value.size() + 1);
  if (context == RefContext::Implicit) text += '@';
  text += value;
  if (context == RefContext::Spill) text += '#';
  std::transform(text.begin(), text.end(), text.begin(), lower_ascii);
  return text;
}

// Pairs every function opener with its closer. Nothing for LAMBDA and LET,
// whose parameter names would read as references, and for unbalanced calls.
std::optional<CloseOf> pair_calls(std::span<const Token> tokens) {
  CloseOf close_of(tokens.size(), NO_CLOSER);
  std::vector<std::size_t> open_calls;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    if (token.kind != TokenType::Function) continue;
    if (token.subtype == TokenSubtype::Open) {
      if (function_named(token, "lambda") || function_named(token, "let")) return std::nullopt;
      open_calls.push_back(i);
    } else if (token.subtype == TokenSubtype::Close) {
      if (open_calls.empty()) return std::nullopt;
      close_of[open_calls.back()] = i;
      open_calls.pop_back();
    }
  }
  if (!open_calls.empty()) return std::nullopt;
  return close_of;
}

// Splits "Sheet1!A1:B2" into the sheet part before the last "!" (empty
// without one) and the address after it.
std::pair<std::string_view, std::string_view> split_sheet(std::string_view reference) {
  const std::size_t bang = reference.rfind('!');
  if (bang == std::string_view::npos) return {{}, reference};
  return {reference.substr(0, bang), reference.substr(bang + 1)};
}

// An end cell that moved down in its column or right in its row, or stayed
// on the same cell (only "$" markers changed).
bool end_moved_down_or_right(const EndPoint& old_end, const EndPoint& new_end) {
  if (old_end.letters.size() == new_end.letters.size()) {
    if (old_end.letters == new_end.letters && new_end.row >= old_end.row) return true;
    return new_end.row == old_end.row && new_end.letters >= old_end.letters;
  }
  return new_end.letters.size() > old_end.letters.size() && new_end.row == old_end.row;
}

// Two differing range operands: same sheet, same start, end extended.
bool is_extended_range(std::string_view old_value, std::string_view new_value) {
  const auto [old_sheet, old_address] = split_sheet(old_value);
  const auto [new_sheet, new_address] = split_sheet(new_value);
  const std::size_t old_colon = old_address.find(':');
  const std::size_t new_colon = new_address.find(':');
  if (old_colon == std::string_view::npos || new_colon == std::string_view::npos) return false;
  if (old_sheet != new_sheet || old_address.substr(0, old_colon) != new_address.substr(0, new_colon)) {
    return false;
  }
  const std::optional<EndPoint> old_end = endpoint(old_address.substr(old_colon + 1));
  const std::optional<EndPoint> new_end = endpoint(new_address.substr(new_colon + 1));
  return old_end && new_end && end_moved_down_or_right(*old_end, *new_end);
}

// ---- batch classification -------------------------------------------------

// The wrapper cache key: a pair's two R1C1 texts, viewed in the batch that
// the classifier owns for the whole call.
struct R1C1Texts {
  std::string_view baseline;
  std::string_view current;
  bool operator==(const R1C1Texts&) const = default;
};

struct R1C1TextsHash {
  std::size_t operator()(const R1C1Texts& texts) const noexcept {
    const std::size_t first = std::hash<std::string_view>{}(texts.baseline);
    const std::size_t second = std::hash<std::string_view>{}(texts.current);
    return first ^ (second + 0x9e3779b97f4a7c15ULL + (first << 6) + (first >> 2));
  }
};

// detect_wrapper depends only on the two R1C1 texts, so its result, found
// or not, is kept per call for pairs that repeat them.
using WrapperCache = std::unordered_map<R1C1Texts, std::optional<WrapperMatch>, R1C1TextsHash>;

// What one call keeps while it classifies its batch.
struct BatchState {
  WrapperCache wrapper_cache;
  Sha256 sha;
};

// The wrapper result for the pair's R1C1 texts, from the cache or found now;
// nullptr when either text is refused. Only texts that tokenized are ever
// cached, so a repeated pair (a formula copied down a column) skips both
// the search and the tokenizing of its R1C1 texts.
const std::optional<WrapperMatch>* wrapper_for(BatchState& state, const FormulaPair& pair) {
  const R1C1Texts key{pair.baseline_r1c1, pair.current_r1c1};
  auto& cache = state.wrapper_cache;
  if (const auto found = cache.find(key); found != cache.end()) return &found->second;
  const auto old_r1c1 = tokenize(key.baseline);
  const auto new_r1c1 = tokenize(key.current);
  if (!old_r1c1 || !new_r1c1) return nullptr;
  return &cache.emplace(key, detect_wrapper_using(state.sha, *old_r1c1, *new_r1c1)).first->second;
}

bool adds_reference(const ReferenceSet& baseline, const ReferenceSet& current) {
  return std::any_of(current.begin(), current.end(),
                     [&](const std::string& reference) { return !baseline.contains(reference); });
}

std::string event_key(const WrapperMatch& match) {
  std::string key = "formula-wrapper:";
  key += wrapper_kind_name(match.kind);
  key += ':';
  key += match.skeleton;
  return key;
}

// A pair is supported when all four texts tokenize and both A1 formulas'
// references can be collected; a default DeltaResult is the unsupported
// result. Every step is a pure function of its texts, so the R1C1 texts are
// tokenized only where the wrapper search (or, for an extension, the support
// check) needs them, without changing any result.
DeltaResult classify_pair(const FormulaPair& pair, BatchState& state) {
  const auto old_raw = tokenize(pair.baseline_raw);
  if (!old_raw) return {};
  const auto new_raw = tokenize(pair.current_raw);
  if (!new_raw) return {};
  const auto old_references = collect_references(*old_raw);
  if (!old_references) return {};
  const auto new_references = collect_references(*new_raw);
  if (!new_references) return {};

  DeltaResult result;
  result.supported = true;
  result.expected_extension = differs_only_by_extension(*old_raw, *new_raw);
  if (result.expected_extension) {
    // An extension has no wrapper; its R1C1 texts only have to tokenize.
    if (!tokenize(pair.baseline_r1c1) || !tokenize(pair.current_r1c1)) return {};
  } else {
    const std::optional<WrapperMatch>* match = wrapper_for(state, pair);
    if (!match) return {};
    if (*match) {
      result.wrapper_kind = (*match)->kind;
      result.wrapper_exact = (*match)->exact;
      result.event_key = event_key(**match);
    }
  }
  result.added_reference = adds_reference(*old_references, *new_references);
  return result;
}

}  // namespace

std::string shape_label(const Token& token) {
  std::string scratch;
  return std::string(shape_label_view(token, scratch));
}

std::string skeleton_key(std::span<const Token> tokens, std::size_t start, std::size_t length) {
  Sha256 sha;
  return skeleton_key_using(sha, tokens, start, length);
}

std::string_view wrapper_kind_name(WrapperKind kind) {
  switch (kind) {
    case WrapperKind::Wrapped: return "wrapped";
    case WrapperKind::Unwrapped: return "unwrapped";
    case WrapperKind::None: break;
  }
  return {};
}

std::optional<std::size_t> find_occurrence(std::span<const Token> haystack,
                                           std::span<const std::string_view> needle,
                                           bool by_shape) {
  const std::size_t length = needle.size();
  if (length == 0 || length >= haystack.size()) return std::nullopt;
  const InternedLabels ids = intern_labels(haystack, needle, by_shape);
  const std::vector<std::size_t> prefix = prefix_function(ids.needle);
  // Knuth-Morris-Pratt: every occurrence is seen once, left to right, and
  // the first one that is a bounded run wins.
  std::size_t matched = 0;
  for (std::size_t j = 0; j < ids.haystack.size(); ++j) {
    while (matched > 0 && ids.haystack[j] != ids.needle[matched]) matched = prefix[matched - 1];
    if (ids.haystack[j] == ids.needle[matched]) ++matched;
    if (matched < length) continue;
    const std::size_t start = j + 1 - length;
    if (is_bounded_run(haystack, start, length)) return start;
    matched = prefix[length - 1];
  }
  return std::nullopt;
}

std::optional<WrapperMatch> detect_wrapper(std::span<const Token> old_tokens,
                                           std::span<const Token> new_tokens) {
  Sha256 sha;
  return detect_wrapper_using(sha, old_tokens, new_tokens);
}

std::optional<ReferenceSet> collect_references(std::span<const Token> tokens) {
  const std::optional<CloseOf> close_of = pair_calls(tokens);
  if (!close_of) return std::nullopt;
  ReferenceSet set;
  if (walk(tokens, *close_of, 0, tokens.size(), RefContext::None, set)) return std::nullopt;
  return set;
}

// Recursion depth is the nesting depth of function calls, which the
// tokenizer caps at 256 open brackets, so the stack stays small.
bool walk(std::span<const Token> tokens, const CloseOf& close_of, std::size_t from, std::size_t to,
          RefContext context, ReferenceSet& set) {
  if (to > tokens.size()) return true;
  for (std::size_t i = from; i < to;) {
    const Token& token = tokens[i];
    if (is_reference(token)) {
      set.insert(reference_text(token.value, context));
      ++i;
    } else if (is_function_open(token)) {
      // Cannot fail after pair_calls; checked so that a bad map ends cleanly.
      if (i >= close_of.size() || close_of[i] == NO_CLOSER || close_of[i] <= i || close_of[i] >= to) {
        return true;
      }
      const std::size_t closer = close_of[i];
      if (walk(tokens, close_of, i + 1, closer, context_of_call(token), set)) return true;
      i = closer + 1;
    } else {
      ++i;
    }
  }
  return false;
}

std::optional<EndPoint> endpoint(std::string_view text) {
  if (text.starts_with('$')) text.remove_prefix(1);
  const std::size_t mark = text.find_first_of("$0123456789");
  if (mark == std::string_view::npos || mark == 0 || mark > 3) return std::nullopt;
  const std::string_view letters = text.substr(0, mark);
  if (!std::all_of(letters.begin(), letters.end(), is_upper)) return std::nullopt;
  std::string_view digits = text.substr(mark);
  if (digits.starts_with('$')) digits.remove_prefix(1);
  if (digits.empty() || !all_digits(digits)) return std::nullopt;
  std::uint64_t row = 0;
  for (const char c : digits) {
    row = row * 10 + static_cast<std::uint64_t>(c - '0');
    if (row > UINT32_MAX) return std::nullopt;
  }
  return EndPoint{letters, static_cast<std::uint32_t>(row)};
}

bool differs_only_by_extension(std::span<const Token> old_tokens, std::span<const Token> new_tokens) {
  if (old_tokens.size() != new_tokens.size()) return false;
  bool extended = false;
  for (std::size_t i = 0; i < old_tokens.size(); ++i) {
    const Token& old_token = old_tokens[i];
    const Token& new_token = new_tokens[i];
    if (old_token.kind != new_token.kind || old_token.subtype != new_token.subtype) return false;
    if (old_token.value == new_token.value) continue;
    if (!is_reference(old_token) || !is_extended_range(old_token.value, new_token.value)) return false;
    extended = true;
  }
  return extended;
}

Token Token::operand(std::string text) {
  TokenSubtype subtype = TokenSubtype::Range;
  if (text.starts_with('"')) {
    subtype = TokenSubtype::Text;
  } else if (text.starts_with('#')) {
    subtype = TokenSubtype::Error;
  } else if (text == "TRUE" || text == "FALSE") {
    subtype = TokenSubtype::Logical;
  } else if (is_decimal_number(text)) {
    subtype = TokenSubtype::Number;
  }
  return Token{std::move(text), TokenType::Operand, subtype};
}

std::optional<std::vector<Token>> tokenize(std::string_view text) {
  if (!acceptable_text(text)) return std::nullopt;
  Tokenizer state;
  state.text = text;
  while (state.pos < text.size()) {
    if (!state.step()) return std::nullopt;
  }
  if (!state.openers.empty()) return std::nullopt;
  state.flush();
  return std::move(state.tokens);
}

std::vector<DeltaResult> classify_batch_inner(std::vector<FormulaPair> pairs) {
  // The cache keys view texts in `pairs`, which stays unchanged until return.
  BatchState state;
  std::vector<DeltaResult> results;
  results.reserve(pairs.size());
  for (const FormulaPair& pair : pairs) results.push_back(classify_pair(pair, state));
  return results;
}

}  // namespace mdn
