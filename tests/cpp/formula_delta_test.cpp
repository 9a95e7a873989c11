#include "formula_delta.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace mdn {
namespace {

// One row of a table: an input text and what the function under test gives.
template <typename Expected>
struct TextCase {
  std::string_view text;
  Expected expected;
};

template <typename Expected, std::size_t N, typename Function>
void expect_each(const TextCase<Expected> (&cases)[N], Function function) {
  for (const TextCase<Expected>& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(function(c.text), c.expected);
  }
}

// ---------------------------------------------------------------------------
// Tokenizer

std::string_view kind_name(TokenType kind) {
  switch (kind) {
    case TokenType::Operand: return "Operand";
    case TokenType::Function: return "Function";
    case TokenType::Array: return "Array";
    case TokenType::Paren: return "Paren";
    case TokenType::Separator: return "Separator";
    case TokenType::PrefixOp: return "PrefixOp";
    case TokenType::InfixOp: return "InfixOp";
    case TokenType::PostfixOp: return "PostfixOp";
    case TokenType::Whitespace: return "Whitespace";
  }
  return "?";
}

std::string_view subtype_name(TokenSubtype subtype) {
  switch (subtype) {
    case TokenSubtype::Plain: return "Plain";
    case TokenSubtype::Text: return "Text";
    case TokenSubtype::Number: return "Number";
    case TokenSubtype::Logical: return "Logical";
    case TokenSubtype::Error: return "Error";
    case TokenSubtype::Range: return "Range";
    case TokenSubtype::Open: return "Open";
    case TokenSubtype::Close: return "Close";
    case TokenSubtype::Argument: return "Argument";
    case TokenSubtype::Row: return "Row";
  }
  return "?";
}

// Tokens as one line, e.g. `Function.Open[SUM(] Operand.Range[A1] Function.Close[)]`,
// or "refused".
std::string describe(const std::optional<std::vector<Token>>& tokens) {
  if (!tokens) return "refused";
  std::string out;
  for (const Token& t : *tokens) {
    if (!out.empty()) out += ' ';
    out += kind_name(t.kind);
    out += '.';
    out += subtype_name(t.subtype);
    out += '[' + t.value + ']';
  }
  return out;
}

TEST(FormulaDeltaTokenize, TokenLists) {
  const TextCase<std::string_view> cases[] = {
      {"=", ""},
      {"=SUM(A1:B2)", "Function.Open[SUM(] Operand.Range[A1:B2] Function.Close[)]"},
      {"=-A1", "PrefixOp.Plain[-] Operand.Range[A1]"},
      {"=A1 -B1", "Operand.Range[A1] Whitespace.Plain[ ] InfixOp.Plain[-] Operand.Range[B1]"},
      {"=(1)-2",
       "Paren.Open[(] Operand.Number[1] Paren.Close[)] InfixOp.Plain[-] Operand.Number[2]"},
      {"=50%", "Operand.Number[50] PostfixOp.Plain[%]"},
      {"=5%-1", "Operand.Number[5] PostfixOp.Plain[%] InfixOp.Plain[-] Operand.Number[1]"},
      {"=2*-1", "Operand.Number[2] InfixOp.Plain[*] PrefixOp.Plain[-] Operand.Number[1]"},
      {"=1E+5", "Operand.Number[1E+5]"},
      {"=1.25e-3", "Operand.Number[1.25e-3]"},
      {"=12E+3", "Operand.Range[12E] InfixOp.Plain[+] Operand.Number[3]"},
      {"=0.5E-2", "Operand.Range[0.5E] InfixOp.Plain[-] Operand.Number[2]"},
      {"={1,2;3,4}",
       "Array.Open[{] Operand.Number[1] Separator.Argument[,] Operand.Number[2] Separator.Row[;] "
       "Operand.Number[3] Separator.Argument[,] Operand.Number[4] Array.Close[}]"},
      {"=(A1,B1)", "Paren.Open[(] Operand.Range[A1] InfixOp.Plain[,] Operand.Range[B1] Paren.Close[)]"},
      {"=SUM(A1,B1)",
       "Function.Open[SUM(] Operand.Range[A1] Separator.Argument[,] Operand.Range[B1] "
       "Function.Close[)]"},
      {"=A1,B1", "Operand.Range[A1] InfixOp.Plain[,] Operand.Range[B1]"},
      {"=A1<>B1", "Operand.Range[A1] InfixOp.Plain[<>] Operand.Range[B1]"},
      {"=A1>=B1", "Operand.Range[A1] InfixOp.Plain[>=] Operand.Range[B1]"},
      {"=A1=B1", "Operand.Range[A1] InfixOp.Plain[=] Operand.Range[B1]"},
      {"=\"a\"\"b\"", "Operand.Text[\"a\"\"b\"]"},
      {"=\"@\"", "Operand.Text[\"@\"]"},
      {"=Sheet1!#REF!", "Operand.Range[Sheet1!#REF!]"},
      {"=#N/A", "Operand.Error[#N/A]"},
      {"=TRUE", "Operand.Logical[TRUE]"},
      {"=true", "Operand.Range[true]"},
      {"=NaN", "Operand.Number[NaN]"},
      {"=inf", "Operand.Number[inf]"},
      {"=A1\nB1", "Whitespace.Plain[\n] Operand.Range[A1B1]"},
      {"=A1 B1", "Operand.Range[A1] Whitespace.Plain[ ] Operand.Range[B1]"},
      {"=A1 \n  B1", "Operand.Range[A1] Whitespace.Plain[ ] Operand.Range[B1]"},
      {"='My Sheet'!A1+[1]Sheet1!A1",
       "Operand.Range['My Sheet'!A1] InfixOp.Plain[+] Operand.Range[[1]Sheet1!A1]"},
      {"=Table1[[#This Row],[Amount]]", "Operand.Range[Table1[[#This Row],[Amount]]]"},
      {"=R[-1]C+RC[2]:R[3]C[2]",
       "Operand.Range[R[-1]C] InfixOp.Plain[+] Operand.Range[RC[2]:R[3]C[2]]"},
      {"=_xlfn.XLOOKUP(A1,B:B,C:C)",
       "Function.Open[_xlfn.XLOOKUP(] Operand.Range[A1] Separator.Argument[,] Operand.Range[B:B] "
       "Separator.Argument[,] Operand.Range[C:C] Function.Close[)]"},
      // A string literal after "Sheet1!A1:" leaves the pending text in place.
      {"=A1:\"x\"B", "Operand.Text[\"x\"] Operand.Range[A1:B]"},
  };
  expect_each(cases, [](std::string_view text) { return describe(tokenize(text)); });
}

TEST(FormulaDeltaTokenize, Refusals) {
  const std::string_view refused[] = {
      "", "SUM(A1)", "=\"abc", "='Sheet1!A1", "=Table1[[#All]", "=#BAD!", "=A1#REF!",
      "=SUM(A1", "=A1)", "=(1}", "={1)", "=@A1", "=A1\"x\"", "=A1'x'!B1", "=A{1}",
      "=\"caf\xC3\xA9\"",
  };
  for (std::string_view text : refused) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(tokenize(text));
  }
}

TEST(FormulaDeltaTokenize, NestingAndLengthLimits) {
  const auto nested = [](std::size_t depth) {
    return "=" + std::string(depth, '(') + "1" + std::string(depth, ')');
  };
  EXPECT_TRUE(tokenize(nested(MAX_OPENER_DEPTH)));
  EXPECT_FALSE(tokenize(nested(MAX_OPENER_DEPTH + 1)));
  const std::string braces = "=" + std::string(MAX_OPENER_DEPTH, '{') + std::string(MAX_OPENER_DEPTH, '}');
  EXPECT_TRUE(tokenize(braces));

  const auto of_length = [](std::size_t bytes) { return "=" + std::string(bytes - 1, 'A'); };
  EXPECT_TRUE(tokenize(of_length(MAX_FORMULA_BYTES)));
  EXPECT_FALSE(tokenize(of_length(MAX_FORMULA_BYTES + 1)));
}

TEST(FormulaDeltaTokenize, OperandSubtypes) {
  struct Case {
    std::string_view text;
    TokenSubtype subtype;
  };
  const Case cases[] = {
      {"\"x\"", TokenSubtype::Text},      {"#DIV/0!", TokenSubtype::Error},
      {"FALSE", TokenSubtype::Logical},   {"False", TokenSubtype::Range},
      {"1.", TokenSubtype::Number},       {".5", TokenSubtype::Number},
      {"007", TokenSubtype::Number},      {"-2.5E+10", TokenSubtype::Number},
      {"+INFINITY", TokenSubtype::Number}, {"-nAn", TokenSubtype::Number},
      {".", TokenSubtype::Range},         {"1.2.3", TokenSubtype::Range},
      {"1e", TokenSubtype::Range},        {"1e+", TokenSubtype::Range},
      {"0x1p3", TokenSubtype::Range},     {"infinit", TokenSubtype::Range},
      {"infinityx", TokenSubtype::Range}, {"1,000", TokenSubtype::Range},
      {" 1", TokenSubtype::Range},        {"A1", TokenSubtype::Range},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Token token = Token::operand(std::string(c.text));
    EXPECT_EQ(token.kind, TokenType::Operand);
    EXPECT_EQ(token.value, c.text);
    EXPECT_EQ(subtype_name(token.subtype), subtype_name(c.subtype));
  }
}

// ---------------------------------------------------------------------------
// Shape labels and skeleton keys

std::vector<Token> tokens_of(std::string_view text) {
  auto tokens = tokenize(text);
  EXPECT_TRUE(tokens) << text;
  return tokens ? std::move(*tokens) : std::vector<Token>{};
}

// Labels of every token of a formula, joined by "|".
std::string labels_of(std::string_view text) {
  std::string out;
  for (const Token& token : tokens_of(text)) out += (out.empty() ? "" : "|") + shape_label(token);
  return out;
}

TEST(FormulaDeltaKeys, ShapeLabels) {
  const TextCase<std::string_view> cases[] = {
      {"=SUM(A1:B2,Sheet1!C3,Name)", "sum(|REF|,|REF|,|REF|)"},
      {"=_xlfn.XLOOKUP(1.5,\"a\",{TRUE;#N/A})", "_xlfn.xlookup(|NUM|,|TEXT|,|{|true|;|#n/a|}|)"},
      {"=-(A1)% <> 2", "-|(|REF|)|%| |<>| |NUM"},
      {"=A1+\n B1", "REF|+|\n|REF"},
  };
  expect_each(cases, labels_of);
}

TEST(FormulaDeltaKeys, KeysOfKnownJoinedTexts) {
  // Expected keys: the first 12 hex digits of SHA-256 of the joined labels.
  struct Case {
    std::string_view text;
    std::size_t start, length;
    std::string_view joined;  // for the reader
    std::string_view key;
  };
  const Case cases[] = {
      {"=IFERROR(A1+B1,0)", 1, 3, "iferror(|<CORE>|,|NUM|)", "7153e1f07d05"},
      {"=MAX(SUM(A2:A6),0)", 1, 3, "max(|<CORE>|,|NUM|)", "ab0e5581a5c2"},
      {"=IF(A1>0,A1,0)", 5, 1, "if(|REF|>|NUM|,|<CORE>|,|NUM|)", "17530b2f407a"},
      {"=A1+1", 0, 1, "<CORE>|+|NUM", "4def6589d4ec"},
      {"=A1+B1", 2, 1, "REF|+|<CORE>", "44c5d1478ae9"},
      {"=A1+B1", 0, 3, "<CORE>", "72b453b3bf18"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.joined);
    EXPECT_EQ(skeleton_key(tokens_of(c.text), c.start, c.length), c.key);
  }
}

TEST(FormulaDeltaKeys, WhatKeysIgnoreAndKeep) {
  // Each formula with its first argument (token 1) as the run.
  const auto key = [](std::string_view text, std::size_t length = 1) {
    return skeleton_key(tokens_of(text), 1, length);
  };
  EXPECT_EQ(key("=IFERROR(A1,0)"), key("=IFERROR(SUM(B1:B9),0)", 3));
  EXPECT_EQ(key("=IFERROR(A1,0)"), key("=IFERROR(A1,1)"));
  EXPECT_EQ(key("=IFERROR(A1,\"n/a\")"), key("=IFERROR(A1,\"-\")"));
  EXPECT_EQ(key("=iferror(A1,0)"), key("=IFERROR(A1,0)"));
  EXPECT_NE(key("=IFERROR(A1,0)"), key("=IFNA(A1,0)"));
  EXPECT_NE(key("=IFERROR(A1,0)"), key("=IFERROR(A1, 0)"));
  EXPECT_NE(key("=IFERROR(A1,TRUE)"), key("=IFERROR(A1,FALSE)"));
  EXPECT_NE(key("=IFERROR(A1,#N/A)"), key("=IFERROR(A1,#REF!)"));
}

// ---------------------------------------------------------------------------
// Wrapper detection

TEST(FormulaDeltaWrapper, FindOccurrenceNeighbours) {
  struct Case {
    std::string_view haystack;
    std::vector<std::string_view> needle;
    bool by_shape;
    std::optional<std::size_t> start;
  };
  const std::optional<std::size_t> none;
  const Case cases[] = {
      {"=A1+B1", {}, false, none},
      {"=A1", {"A1"}, false, none},  // not strictly shorter
      {"=A1+B1", {"A1"}, false, none},
      {"=A1+B1", {"B1"}, false, none},
      {"=(A1)+1", {"A1"}, false, 1},
      {"=(A1)+1", {"(", "A1", ")"}, false, none},
      {"=1+SUM(A1)", {"SUM(", "A1", ")"}, false, none},
      {"=(A1)", {"(", "A1"}, false, 0},   // head of the formula, closer after
      {"=(A1)", {"A1", ")"}, false, 1},   // tail of the formula, opener before
      {"=SUM(B2)+MAX(C3)", {"C3"}, false, 5},
      {"=SUM(B2)+MAX(C3)", {"REF"}, true, 1},
      {"=MAX(SUM(A1))", {"sum(", "A1", ")"}, false, none},
      {"=MAX(SUM(A1))", {"sum(", "REF", ")"}, true, 1},
      {"=SUM( A1)", {"A1"}, false, none},
      {"=SUM((A1,B1))", {"A1"}, false, none},  // union comma
      {"=SUM((A1,B1))", {"(", "A1", ",", "B1", ")"}, false, 1},
      {"={1,A1,2}", {"A1"}, false, 3},  // argument commas inside braces qualify
      {"={A1,2}", {"A1"}, false, none},
      {"={1;A1;2}", {"A1"}, false, none},
      {"=MAX(A1,A1)", {"A1"}, false, 1},  // leftmost
      // The occurrence at 3 fails its left check; the overlapping one at 5 holds.
      {"=F(1+A1,A1,A1)", {"A1", ",", "A1"}, false, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.haystack);
    EXPECT_EQ(find_occurrence(tokens_of(c.haystack), c.needle, c.by_shape), c.start);
  }
}

TEST(FormulaDeltaWrapper, DetectWrapper) {
  struct Case {
    std::string_view old_text, new_text;
    WrapperKind kind;
    bool exact;
    std::size_t run_start;  // where the shorter formula sits in the longer
  };
  const Case cases[] = {
      {"=A1+B1", "=IFERROR(A1+B1,0)", WrapperKind::Wrapped, true, 1},
      {"=IFERROR(A1+B1,0)", "=A1+B1", WrapperKind::Unwrapped, true, 1},
      {"=SUM(A1:A5)", "=MAX(SUM(A2:A6),0)", WrapperKind::Wrapped, false, 1},
      {"=A1", "=IF(A1>0,A1,0)", WrapperKind::Wrapped, true, 5},
      {"=A1+B1", "=MAX(A2+B2,0)", WrapperKind::Wrapped, false, 1},
      {"=MAX(A2+B2,0)", "=A1+B1", WrapperKind::Unwrapped, false, 1},
      {"=SUM(A1)", "=IFERROR(sum(A1),0)", WrapperKind::Wrapped, false, 1},
      {"=A1", "={1,A1,2}", WrapperKind::Wrapped, true, 3},
      {"=A1", "=A1*2", WrapperKind::None, false, 0},
      {"=A1+B1", "=A1+B1", WrapperKind::None, false, 0},
      {"=1+2", "=MAX(1+2,0)", WrapperKind::None, false, 0},
      {"=MAX(1+2,0)", "=1+2", WrapperKind::None, false, 0},
      {"=A1+B1", "=IFERROR( A1+B1,0)", WrapperKind::None, false, 0},
      {"=A1", "=MAX(B2,0)", WrapperKind::None, false, 0},
      {"=A1", "=SUM((A1,B1))", WrapperKind::None, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.old_text) + " -> " + std::string(c.new_text));
    const std::vector<Token> old_tokens = tokens_of(c.old_text);
    const std::vector<Token> new_tokens = tokens_of(c.new_text);
    const std::optional<WrapperMatch> match = detect_wrapper(old_tokens, new_tokens);
    if (c.kind == WrapperKind::None) {
      EXPECT_FALSE(match);
      continue;
    }
    ASSERT_TRUE(match);
    const bool wrapped = c.kind == WrapperKind::Wrapped;
    const std::vector<Token>& outer = wrapped ? new_tokens : old_tokens;
    const std::size_t run_length = (wrapped ? old_tokens : new_tokens).size();
    EXPECT_EQ(*match, (WrapperMatch{skeleton_key(outer, c.run_start, run_length), c.kind, c.exact}));
  }
  // Wrapping and unwrapping by the same wrapper share the key.
  EXPECT_EQ(detect_wrapper(tokens_of("=A1+B1"), tokens_of("=IFERROR(A1+B1,0)"))->skeleton,
            "7153e1f07d05");
  EXPECT_EQ(detect_wrapper(tokens_of("=IFERROR(A1+B1,0)"), tokens_of("=A1+B1"))->skeleton,
            "7153e1f07d05");
}

// The search as plainly stated: every start in turn, whole comparison, then
// the neighbour checks. Short random lists over a three-label alphabet give
// plenty of overlapping occurrences for the fast search to get wrong.
TEST(FormulaDeltaWrapper, FindOccurrenceAgreesWithAPlainSearch) {
  const Token alphabet[] = {
      Token::operand("A1"),
      Token{",", TokenType::Separator, TokenSubtype::Argument},
      Token{"(", TokenType::Paren, TokenSubtype::Open},
      Token{")", TokenType::Paren, TokenSubtype::Close},
      Token{",", TokenType::InfixOp, TokenSubtype::Plain},
  };
  const auto opens = [](const Token& t) {
    return t.subtype == TokenSubtype::Open || t.subtype == TokenSubtype::Argument;
  };
  const auto closes = [](const Token& t) {
    return t.subtype == TokenSubtype::Close || t.subtype == TokenSubtype::Argument;
  };
  const auto bounded = [&](const std::vector<Token>& tokens, std::size_t start, std::size_t end) {
    return (start == 0 || opens(tokens[start - 1])) && (end == tokens.size() || closes(tokens[end]));
  };
  std::mt19937 random(7);
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  for (int round = 0; round < 3000; ++round) {
    std::vector<Token> haystack;
    for (std::size_t i = 0, n = 1 + pick(12); i < n; ++i) {
      haystack.push_back(alphabet[pick(std::size(alphabet))]);
    }
    std::vector<std::string_view> needle;
    for (std::size_t i = 0, n = pick(5); i < n; ++i) needle.push_back(alphabet[pick(3)].value);
    std::optional<std::size_t> expected;
    for (std::size_t i = 0; !needle.empty() && needle.size() < haystack.size() && !expected &&
                            i + needle.size() <= haystack.size(); ++i) {
      bool equal = true;
      for (std::size_t k = 0; k < needle.size(); ++k) equal = equal && haystack[i + k].value == needle[k];
      if (equal && bounded(haystack, i, i + needle.size())) expected = i;
    }
    EXPECT_EQ(find_occurrence(haystack, needle, false), expected) << "round " << round;
  }
}

// Seconds that `work` takes on the steady clock.
template <typename Work>
double seconds_for(Work work) {
  const auto start_time = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_time).count();
}

// A needle that occurs at every other position of a long haystack, each
// occurrence failing its neighbour checks: a search that compares the whole
// needle at each start would take billions of steps here. The same search
// with an operator the haystack lacks sets the pace for the build at hand.
TEST(FormulaDeltaWrapper, FindOccurrenceIsLinear) {
  const auto alternating = [](std::size_t operands, std::string_view op, std::string_view last) {
    std::vector<Token> tokens;
    for (std::size_t i = 0; i < operands; ++i) {
      if (i > 0) tokens.push_back(Token{std::string(op), TokenType::InfixOp, TokenSubtype::Plain});
      tokens.push_back(Token::operand(std::string(i + 1 == operands ? last : "A1")));
    }
    return tokens;
  };
  const std::vector<Token> haystack = alternating(60'000, "+", "A1");
  const auto search_all = [&](std::string_view op) {
    for (std::string_view last : {"A1", "B1"}) {
      const std::vector<Token> needle_tokens = alternating(30'000, op, last);
      std::vector<std::string_view> values;
      std::vector<std::string> shapes;
      for (const Token& token : needle_tokens) {
        values.push_back(token.value);
        shapes.push_back(shape_label(token));
      }
      const std::vector<std::string_view> shape_views(shapes.begin(), shapes.end());
      EXPECT_FALSE(find_occurrence(haystack, values, false));
      EXPECT_FALSE(find_occurrence(haystack, shape_views, true));
    }
  };
  const double benign_seconds = seconds_for([&] { search_all("*"); });
  const double hostile_seconds = seconds_for([&] { search_all("+"); });
  EXPECT_LT(hostile_seconds, 4 * benign_seconds + 0.1) << "benign: " << benign_seconds << " s";
}

// ---------------------------------------------------------------------------
// References

// The collected set, sorted and joined by spaces, or "absent".
std::string references_of(std::string_view text) {
  const std::optional<ReferenceSet> set = collect_references(tokens_of(text));
  if (!set) return "absent";
  std::vector<std::string> sorted(set->begin(), set->end());
  std::sort(sorted.begin(), sorted.end());
  std::string out;
  for (const std::string& reference : sorted) out += (out.empty() ? "" : " ") + reference;
  return out;
}

TEST(FormulaDeltaReferences, CollectReferences) {
  const TextCase<std::string_view> cases[] = {
      {"=A1+Sheet2!$B$1", "a1 sheet2!$b$1"},
      {"=1+2", ""},
      {"=Total*2", "total"},
      {"=A1+a1+\"A1\"", "a1"},
      {"=_xlfn.SINGLE(A1:A5)", "@a1:a5"},
      {"=_xlfn.ANCHORARRAY(B2)", "b2#"},
      {"=_xlfn.SINGLE(INDEX(A1:A9,2))", "a1:a9"},
      {"=_xlfn.SINGLE((A1))", "@a1"},
      {"=SUM(A1,single(B1),C1)", "@b1 a1 c1"},
      {"='My Sheet'!A1+Table1[[#This Row],[Amount]]", "'my sheet'!a1 table1[[#this row],[amount]]"},
      {"=LAMBDA(x,x+1)(A1)", "absent"},
      {"=_xlfn.LET(x,1,x)", "absent"},
      {"=SUM(_xlfn.lambda(x,x)(1))", "absent"},
      {"=_xlfn._xlpm.Let(x,1,x)", "absent"},
      {"=LETTER(A1)", "a1"},
  };
  expect_each(cases, references_of);
}

TEST(FormulaDeltaReferences, WalkFailsOnABrokenPairing) {
  const std::vector<Token> tokens = tokens_of("=SUM(A1)");
  ReferenceSet set;
  EXPECT_TRUE(walk(tokens, CloseOf{}, 0, tokens.size(), RefContext::None, set));
  EXPECT_TRUE(walk(tokens, CloseOf{NO_CLOSER, NO_CLOSER, NO_CLOSER}, 0, 3, RefContext::None, set));
  EXPECT_TRUE(walk(tokens, CloseOf{2, NO_CLOSER, NO_CLOSER}, 0, 2, RefContext::None, set));
  EXPECT_TRUE(walk(tokens, CloseOf{2, NO_CLOSER, NO_CLOSER}, 0, 4, RefContext::None, set));
  // A closer recorded before its opener would send the walk backwards.
  const std::vector<Token> nested = tokens_of("=F(G(A1))");
  EXPECT_TRUE(walk(nested, CloseOf{4, 0, NO_CLOSER, NO_CLOSER, NO_CLOSER}, 0, 5, RefContext::None, set));
  EXPECT_FALSE(walk(tokens, CloseOf{2, NO_CLOSER, NO_CLOSER}, 0, 3, RefContext::Spill, set));
  EXPECT_EQ(set, ReferenceSet{"a1"});
}

TEST(FormulaDeltaReferences, Endpoint) {
  const TextCase<std::optional<EndPoint>> cases[] = {
      {"B10", EndPoint{"B", 10}},        {"$B$10", EndPoint{"B", 10}},
      {"$B10", EndPoint{"B", 10}},       {"XFD1048576", EndPoint{"XFD", 1048576}},
      {"A4294967295", EndPoint{"A", 4294967295}},
      {"A4294967296", std::nullopt},     {"b10", std::nullopt},
      {"ABCD1", std::nullopt},           {"B", std::nullopt},
      {"10", std::nullopt},              {"B$$10", std::nullopt},
      {"B10C", std::nullopt},            {"B$", std::nullopt},
      {"$$B1", std::nullopt},            {"", std::nullopt},
  };
  expect_each(cases, endpoint);
}

TEST(FormulaDeltaReferences, DiffersOnlyByExtension) {
  struct Case {
    std::string_view old_text, new_text;
    bool extension;
  };
  const Case cases[] = {
      {"=SUM(A1:A10)", "=SUM(A1:A11)", true},
      {"=SUM(A1:C1)", "=SUM(A1:D1)", true},
      {"=SUM(A1:Z1)", "=SUM(A1:AA1)", true},
      {"=Sheet1!A1:A10", "=Sheet1!A1:A12", true},
      {"=SUM(A1:A5,B1:B5)", "=SUM(A1:A6,B1:B6)", true},
      {"=SUM(A1:A5,B1:B5)", "=SUM(A1:A6,B1:B5)", true},
      {"=SUM(A1:A10)", "=SUM(A1:$A$10)", true},
      {"='My Sheet'!$A$1:$A$10", "='My Sheet'!$A$1:$A$20", true},
      {"=SUM(A1:A10)", "=SUM(A1:A10)", false},
      {"=SUM(A1:A10)", "=SUM(A1:A9)", false},
      {"=SUM(A1:C1)", "=SUM(A1:B1)", false},
      {"=SUM(A1:AA1)", "=SUM(A1:Z1)", false},
      {"=SUM(A1:Z1)", "=SUM(A1:AA2)", false},
      {"=SUM(A1:A10)", "=SUM(A2:A11)", false},
      {"=SUM(A1:A10)", "=SUM(A1:B11)", false},
      {"=SUM(A1:A10)", "=SUM(Sheet2!A1:A11)", false},
      {"=SUM(Sheet1!A1:A10)", "=SUM(Sheet2!A1:A11)", false},
      {"=SUM(A1:A10)+B1", "=SUM(A1:A11)+B2", false},
      {"=SUM(a1:a10)", "=SUM(a1:a11)", false},
      {"=SUM(A1:A10)", "=SUM( A1:A11)", false},
      {"=SUM(A1:A10)", "=MAX(A1:A11)", false},
      {"=SUM(A:A)", "=SUM(A:B)", false},
      {"=SUM(A1:A10,1)", "=SUM(A1:A11,2)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.old_text) + " -> " + std::string(c.new_text));
    EXPECT_EQ(differs_only_by_extension(tokens_of(c.old_text), tokens_of(c.new_text)), c.extension);
  }
}

// ---------------------------------------------------------------------------
// Batch classification

DeltaResult wrapped_result(bool exact, std::string_view key, bool added_reference) {
  return DeltaResult{true, false, WrapperKind::Wrapped, exact,
                     "formula-wrapper:wrapped:" + std::string(key), added_reference};
}

TEST(FormulaDeltaBatch, ClassifiesEachPair) {
  struct Case {
    FormulaPair pair;
    DeltaResult result;
  };
  const DeltaResult unsupported;
  const Case cases[] = {
      {{"=A1+B1", "=IFERROR(A1+B1,0)", "=RC[-2]+RC[-1]", "=IFERROR(RC[-2]+RC[-1],0)"},
       wrapped_result(true, "7153e1f07d05", false)},
      {{"=IFERROR(A1+B1,0)", "=A1+B1", "=IFERROR(RC[-2]+RC[-1],0)", "=RC[-2]+RC[-1]"},
       {true, false, WrapperKind::Unwrapped, true, "formula-wrapper:unwrapped:7153e1f07d05", false}},
      // The added end cell A11 is a reference text the baseline lacks.
      {{"=SUM(A1:A10)", "=SUM(A1:A11)", "=1", "=IFERROR(1,0)"}, {true, true, {}, false, "", true}},
      {{"=A1", "=A1+B1", "=RC[-2]", "=RC[-2]+RC[-1]"}, {true, false, {}, false, "", true}},
      {{"=SUM(A1:A5)", "=MAX(SUM(A2:A6),0)", "=SUM(R1C1:R5C1)", "=MAX(SUM(R2C1:R6C1),0)"},
       wrapped_result(false, "ab0e5581a5c2", true)},
      {{"=A1", "=a1", "=RC[-2]", "=rc[-2]"}, {true, false, {}, false, "", false}},
      {{"=A1+B1", "=A1", "=RC[-2]+RC[-1]", "=RC[-2]"}, {true, false, {}, false, "", false}},
      {{"=LET(x,1,x)", "=1", "=1", "=1"}, unsupported},
      {{"=1", "=_xlfn.LAMBDA(x,x)(1)", "=1", "=1"}, unsupported},
      {{"=@A1", "=A1", "=RC[-2]", "=RC[-2]"}, unsupported},
      {{"A1", "=A1", "=RC[-2]", "=RC[-2]"}, unsupported},
      {{"=A1", "=A1", "=RC[-2]", "RC[-2]"}, unsupported},
      {{"=A1", "=\"\xC3\xA9\"", "=RC[-2]", "=RC[-2]"}, unsupported},
      {{"=A1", "=A1", "=\"\xC3\xA9\"", "=RC[-2]"}, unsupported},
      {{"=A1", "=A1", "=RC[-2]", "=SUM(RC[-2]"}, unsupported},
      {{"=A1", "=A1", "=RC[-2]", "=SUM(RC[-2]"}, unsupported},  // refusals are not cached
      {{"=SUM(A1:A10)", "=SUM(A1:A11)", "=R1C1", "=@R1C1"}, unsupported},
      {{"=SUM(A1:A10)", "=SUM(A1:A11)", "=@R1C1", "=R1C1"}, unsupported},
  };
  std::vector<FormulaPair> batch;
  for (const Case& c : cases) batch.push_back(c.pair);
  const std::vector<DeltaResult> results = classify_batch_inner(batch);
  ASSERT_EQ(results.size(), std::size(cases));
  for (std::size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(std::string(cases[i].pair.baseline_raw) + " -> " + std::string(cases[i].pair.current_raw));
    EXPECT_EQ(results[i], cases[i].result);
  }
  EXPECT_TRUE(classify_batch_inner({}).empty());
}

// Pairs that share their R1C1 texts share the wrapper result, while the
// extension and reference results follow each pair's own A1 texts.
TEST(FormulaDeltaBatch, SharedR1C1TextsKeepTheirOwnA1Results) {
  const std::string old_r1c1 = "=RC[-2]+RC[-1]";
  const std::string new_r1c1 = "=IFERROR(RC[-2]+RC[-1],0)";
  const std::vector<FormulaPair> batch = {
      {"=A1+B1", "=IFERROR(A1+B1,0)", old_r1c1, new_r1c1},
      {"=SUM(A1:A10)", "=SUM(A1:A11)", old_r1c1, new_r1c1},
      {"=A1", "=A1+C1", old_r1c1, new_r1c1},
      {"=A1+B1", "=IFERROR(A1+B1,0)", old_r1c1, new_r1c1},
  };
  const std::vector<DeltaResult> results = classify_batch_inner(batch);
  ASSERT_EQ(results.size(), batch.size());
  EXPECT_EQ(results[0], wrapped_result(true, "7153e1f07d05", false));
  EXPECT_EQ(results[1], (DeltaResult{true, true, {}, false, "", true}));
  EXPECT_EQ(results[2], wrapped_result(true, "7153e1f07d05", true));
  EXPECT_EQ(results[3], results[0]);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    EXPECT_EQ(classify_batch_inner({batch[i]}), std::vector<DeltaResult>{results[i]}) << i;
  }
}

// Formulas at the length limit whose shorter one occurs everywhere in the
// longer one but never as a whole argument: a search that compares the
// whole run at each start costs hundreds of millions of steps per pair. The
// same formulas with an operator the longer one lacks (found nowhere at once)
// set the pace, so the bound holds in debug and sanitizer builds alike.
TEST(FormulaDeltaBatch, HostileFormulasCostNoMoreThanBenignOnes) {
  const auto chain = [](std::size_t operands, std::string_view op, std::string_view last) {
    std::string text = "=";
    for (std::size_t i = 1; i < operands; ++i) (text += "A") += op;
    return text + std::string(last);
  };
  // Pairs borrow their texts, so every text lives in `texts` for the test.
  std::deque<std::string> texts;
  const std::string& longer = texts.emplace_back(chain(MAX_FORMULA_BYTES / 2, "+", "A"));
  const auto batch_of = [&](std::string_view op) {
    std::vector<FormulaPair> batch;
    for (std::size_t shorter : {8'000, 9'000, 10'000, 11'000}) {
      for (std::string_view last : {"A", "B"}) {
        const std::string& old_text = texts.emplace_back(chain(shorter, op, last));
        batch.push_back({old_text, longer, old_text, longer});
      }
    }
    return batch;
  };
  const auto seconds_to_classify = [](std::vector<FormulaPair> batch) {
    std::vector<DeltaResult> results;
    const double seconds = seconds_for([&] { results = classify_batch_inner(std::move(batch)); });
    for (const DeltaResult& result : results) {
      EXPECT_TRUE(result.supported);
      EXPECT_EQ(result.wrapper_kind, WrapperKind::None);
    }
    return seconds;
  };
  const std::vector<FormulaPair> hostile = batch_of("+");
  ASSERT_EQ(hostile.front().current_raw.size(), MAX_FORMULA_BYTES);
  const double benign_seconds = seconds_to_classify(batch_of("*"));
  const double hostile_seconds = seconds_to_classify(hostile);
  EXPECT_LT(hostile_seconds, 4 * benign_seconds + 0.1) << "benign: " << benign_seconds << " s";
}

}  // namespace
}  // namespace mdn
