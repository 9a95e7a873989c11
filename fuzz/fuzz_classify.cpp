// The tokenizer and the batch classifier over formula texts.
//
// The input is split at NUL bytes into texts, taken four at a time as
// (baseline A1, current A1, baseline R1C1, current R1C1); missing texts are
// empty. Several pairs per input exercise the batch's wrapper cache, which
// must never change a result: the batch is compared with each pair
// classified on its own.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "formula_delta.h"
#include "fuzz_support.h"

namespace {

// The pairs view `texts`, which the caller keeps for as long as it uses them.
std::vector<mdn::FormulaPair> split_pairs(std::string_view input, std::vector<std::string>& texts) {
  for (std::size_t start = 0;;) {
    const std::size_t end = input.find('\0', start);
    texts.emplace_back(input.substr(start, end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  texts.resize((texts.size() + 3) / 4 * 4);
  std::vector<mdn::FormulaPair> pairs;
  for (std::size_t i = 0; i < texts.size(); i += 4) {
    pairs.push_back({texts[i], texts[i + 1], texts[i + 2], texts[i + 3]});
  }
  return pairs;
}

// Each token is one of the kind, subtype and text combinations the tokenizer
// promises, and the brackets it reports balance.
void check_tokens(const std::vector<mdn::Token>& tokens) {
  using K = mdn::TokenType;
  using S = mdn::TokenSubtype;
  int depth = 0;
  for (const mdn::Token& t : tokens) {
    const std::string_view v = t.value;
    bool valid = false;
    switch (t.kind) {
      case K::Operand:
        valid = !v.empty() && t.subtype != S::Plain && t.subtype != S::Open && t.subtype != S::Close &&
                t.subtype != S::Argument && t.subtype != S::Row;
        break;
      case K::Function:
        valid = (t.subtype == S::Open && v.size() > 1 && v.ends_with('(')) || (t.subtype == S::Close && v == ")");
        break;
      case K::Paren:
        valid = (t.subtype == S::Open && v == "(") || (t.subtype == S::Close && v == ")");
        break;
      case K::Array:
        valid = (t.subtype == S::Open && v == "{") || (t.subtype == S::Close && v == "}");
        break;
      case K::Separator:
        valid = (t.subtype == S::Argument && v == ",") || (t.subtype == S::Row && v == ";");
        break;
      case K::PrefixOp:
        valid = t.subtype == S::Plain && (v == "+" || v == "-");
        break;
      case K::PostfixOp:
        valid = t.subtype == S::Plain && v == "%";
        break;
      case K::InfixOp:
        valid = t.subtype == S::Plain && (v.size() == 1 || v == ">=" || v == "<=" || v == "<>");
        break;
      case K::Whitespace:
        valid = t.subtype == S::Plain && (v == " " || v == "\n");
        break;
    }
    mdn::fuzz::expect(valid, "tokens are valid kind, subtype and text combinations");
    if (t.subtype == S::Open && t.kind != K::Operand) ++depth;
    if (t.subtype == S::Close && t.kind != K::Operand) --depth;
    mdn::fuzz::expect(depth >= 0, "no closer without its opener");
  }
  mdn::fuzz::expect(depth == 0, "every opener is closed");
}

void check_result(const mdn::DeltaResult& r) {
  using mdn::fuzz::expect;
  const bool wrapped = r.wrapper_kind != mdn::WrapperKind::None;
  if (!r.supported) {
    expect(r == mdn::DeltaResult{}, "an unsupported pair carries only empty values");
  }
  expect(!(r.expected_extension && wrapped), "an extension is never a wrapper");
  expect(wrapped || (!r.wrapper_exact && r.event_key.empty()), "no wrapper, no exactness or event key");
  if (wrapped) {
    const std::string prefix = "formula-wrapper:" + std::string(mdn::wrapper_kind_name(r.wrapper_kind)) + ":";
    expect(r.event_key.starts_with(prefix) && r.event_key.size() == prefix.size() + 12,
           "event keys are the prefix and twelve hex digits");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> texts;
  const std::vector<mdn::FormulaPair> pairs =
      split_pairs(std::string_view(reinterpret_cast<const char*>(data), size), texts);

  for (const mdn::FormulaPair& pair : pairs) {
    for (std::string_view text : {pair.baseline_raw, pair.current_raw, pair.baseline_r1c1, pair.current_r1c1}) {
      if (auto tokens = mdn::tokenize(text)) check_tokens(*tokens);
    }
  }
  const std::vector<mdn::DeltaResult> batch = mdn::classify_batch_inner(pairs);
  mdn::fuzz::expect(batch.size() == pairs.size(), "one result per pair");
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    check_result(batch[i]);
    if (pairs.size() > 1) {
      const std::vector<mdn::DeltaResult> alone = mdn::classify_batch_inner({pairs[i]});
      mdn::fuzz::expect(alone.size() == 1 && alone[0] == batch[i], "the batch cache never changes a result");
    }
  }
  return 0;
}
