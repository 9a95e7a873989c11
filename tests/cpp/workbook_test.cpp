#include "workbook.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace mdn {
namespace {

// ---------------------------------------------------------------------------
// Sheet-name tests against the patterns they stand for.

// Every text of up to `max_len` characters over `alphabet`.
std::vector<std::string> all_texts(std::string_view alphabet, std::size_t max_len) {
  std::vector<std::string> texts{""};
  for (std::size_t begin = 0, len = 1; len <= max_len; ++len) {
    const std::size_t end = texts.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (char c : alphabet) texts.push_back(texts[i] + c);
    }
    begin = end;
  }
  return texts;
}

// The texts the hand-written tests are held against: a small alphabet that
// reaches every branch (r/c in both cases, a plain letter, a digit, the extra
// plain-name characters, a space, a line break, a non-ASCII byte) up to four
// characters, and every one- and two-byte text so that each character class
// is checked at both of its edges.
std::vector<std::string> pattern_probe_texts() {
  std::vector<std::string> texts = all_texts("aAcCrRx1_.\\ \n\xC3", 4);
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  for (std::string& text : all_texts(every_byte, 2)) texts.push_back(std::move(text));
  for (const char* example : {"Sheet1", "XFD1048576", "ABCD1", "R12C3", "R1C", "a.b", "O'Brien", "TRUEX", "2019"}) {
    texts.emplace_back(example);
  }
  return texts;
}

bool regex_finds(const std::regex& pattern, const std::string& text) {
  return std::regex_search(text, pattern);
}

TEST(WorkbookSheetNamePattern, AgreesWithTheAnchoredPatterns) {
  const std::regex plain(R"(^[A-Za-z_\\][A-Za-z0-9_.]*$)", std::regex::ECMAScript);
  const std::regex ref(R"(^([A-Za-z]{1,3}[0-9]+|R[0-9]*C[0-9]*|[Rr]|[Cc])$)",
                       std::regex::ECMAScript | std::regex::icase);
  // The anchors must mean the whole text: "$" may not match before a final
  // line break, or the comparison below would be against the wrong patterns.
  ASSERT_FALSE(regex_finds(plain, "a\n"));
  ASSERT_FALSE(regex_finds(ref, "R\n"));

  for (const std::string& text : pattern_probe_texts()) {
    ASSERT_EQ(PLAIN_SHEET.matches(text), regex_finds(plain, text)) << "PLAIN_SHEET on \"" << text << '"';
    ASSERT_EQ(LOOKS_LIKE_REF.matches(text), regex_finds(ref, text)) << "LOOKS_LIKE_REF on \"" << text << '"';
  }
}

TEST(WorkbookQuoteSheet, QuotesOnlyWhatCouldBeMisread) {
  const struct {
    std::string_view text;
    std::string_view quoted;
  } cases[] = {
      {"Sheet1", "Sheet1"},
      {"ABCD1", "ABCD1"},  // four letters: not a cell name
      {"_x", "_x"},
      {"a.b", "a.b"},
      {"\\Data", "\\Data"},
      {"_tmp", "_tmp"},
      {"Rates", "Rates"},
      {"A1", "'A1'"},
      {"r", "'r'"},
      {"C", "'C'"},
      {"RC", "'RC'"},
      {"R2", "'R2'"},
      {"rc12", "'rc12'"},
      {"XFD1048576", "'XFD1048576'"},
      {"2019", "'2019'"},
      {"TRUE", "'TRUE'"},
      {"true", "'true'"},
      {"TRUEX", "'TRUEX'"},
      {"Falsehood", "'Falsehood'"},
      {"TRU", "TRU"},
      {"O'Brien", "'O''Brien'"},
      {"''", "''''''"},
      {"My Data", "'My Data'"},
      {"a-b", "'a-b'"},
      {"Caf\xC3\xA9", "'Caf\xC3\xA9'"},
      {"", "''"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(quote_sheet(c.text), c.quoted);
  }
}

// ---------------------------------------------------------------------------
// Sheet prefixes.

Workbook prefix_workbook(std::vector<SupbookKind> supbooks,
                         std::unordered_map<std::int32_t, std::vector<std::string>> supbook_sheets) {
  Workbook wb;
  wb.sheets = {"Sheet1", "My Data", "Q1", "Sheet4"};
  wb.supbooks = std::move(supbooks);
  wb.supbook_sheets = std::move(supbook_sheets);
  return wb;
}

struct PrefixCase {
  Xti xti;
  std::string_view prefix;
};

void expect_prefixes(Workbook wb, const std::vector<PrefixCase>& cases) {
  for (const PrefixCase& c : cases) wb.xti.push_back(c.xti);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Xti& x = cases[i].xti;
    SCOPED_TRACE(testing::Message() << '(' << x.iSupBook << ", " << x.itabFirst << ", " << x.itabLast << ')');
    auto prefix = wb.sheet_prefix(static_cast<std::uint32_t>(i));
    ASSERT_TRUE(prefix.has_value()) << message(prefix.error());
    EXPECT_EQ(*prefix, cases[i].prefix);
  }
}

TEST(WorkbookSheetPrefix, WorkedExamples) {
  using enum SupbookKind;
  expect_prefixes(prefix_workbook({ThisBook, External, External}, {{1, {"Prices", "2019"}}, {2, {"Rates"}}}),
                  {
                      {{0, 0, 0}, "Sheet1!"},
                      {{0, 1, 1}, "'My Data'!"},
                      {{0, 2, 2}, "'Q1'!"},
                      {{0, 0, 3}, "'Sheet1:Sheet4'!"},
                      {{0, -1, -1}, "#REF!!"},
                      {{0, -2, -2}, ""},
                      {{0, 7, 7}, "#REF!!"},
                      {{5, 0, 0}, "Sheet1!"},
                      {{-1, 0, 0}, "Sheet1!"},
                      {{1, 0, 0}, "'[1]Prices'!"},
                      {{1, 0, 1}, "'[1]Prices:2019'!"},
                      {{2, 0, 0}, "'[2]Rates'!"},
                      {{1, -2, -2}, "[1]!"},
                      {{1, 9, 0}, "'[1]:Prices'!"},
                  });
}

TEST(WorkbookSheetPrefix, LocalForms) {
  using enum SupbookKind;
  expect_prefixes(prefix_workbook({Same}, {}),
                  {
                      {{0, 1, 1}, "'My Data'!"},      // Same reads this workbook's sheets
                      {{0, 3, 0}, "'Sheet4:Sheet1'!"},  // stored order, not swapped
                      {{0, 0, -1}, "Sheet1!"},        // last out of range: one sheet
                      {{0, 0, 4}, "Sheet1!"},
                      {{0, -3, 0}, "#REF!!"},
                      {{0, 4, 4}, "#REF!!"},
                      {{0, -2, 1}, ""},
                  });
}

TEST(WorkbookSheetPrefix, OtherBooksShareTheExternalCount) {
  using enum SupbookKind;
  expect_prefixes(prefix_workbook({ThisBook, Other, External}, {{2, {"Rates"}}}),
                  {
                      {{1, 0, 0}, "[0]!"},
                      {{2, 0, 0}, "'[1]Rates'!"},
                      {{2, 1, 1}, "[1]!"},
                      {{2, 0, 0x7FFFFFFF}, "'[1]Rates'!"},
                  });
}

TEST(WorkbookSheetPrefix, QuotesAnEmptyOrApostrophedSheetName) {
  Workbook wb;
  wb.sheets = {"", "O'Brien"};
  wb.xti = {{0, 0, 0}, {0, 1, 1}};
  EXPECT_EQ(wb.sheet_prefix(0).value(), "''!");
  EXPECT_EQ(wb.sheet_prefix(1).value(), "'O''Brien'!");
}

TEST(WorkbookSheetPrefix, IndexPastTheTableFails) {
  Workbook wb;
  EXPECT_EQ(wb.sheet_prefix(0).error(), DecodeError::xti_out_of_range);
  wb.xti = {{0, -2, -2}};
  EXPECT_EQ(wb.sheet_prefix(1).error(), DecodeError::xti_out_of_range);
  EXPECT_EQ(wb.sheet_prefix(0xFFFFFFFF).error(), DecodeError::xti_out_of_range);
  EXPECT_EQ(message(DecodeError::xti_out_of_range), "xti index out of range");
}

}  // namespace
}  // namespace mdn
