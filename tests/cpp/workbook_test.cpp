#include "workbook.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace mdn {
namespace {

// ---------------------------------------------------------------------------
// A small BIFF12 writer, so that test parts read like their record layouts.

using ByteVec = std::vector<std::uint8_t>;

// Payload fields, appended in layout order.
struct Payload {
  ByteVec bytes;

  Payload& u8(std::uint8_t v) {
    bytes.push_back(v);
    return *this;
  }
  Payload& u32(std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(v >> shift));
    return *this;
  }
  Payload& i32(std::int32_t v) { return u32(static_cast<std::uint32_t>(v)); }
  Payload& raw(const ByteVec& b) {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
  }
  // XLWideString: a count of UTF-16 code units, then the units; std::nullopt
  // writes the null string.
  Payload& wide(std::optional<std::u16string_view> text) {
    if (!text) return u32(0xFFFFFFFF);
    u32(static_cast<std::uint32_t>(text->size()));
    for (char16_t unit : *text) {
      bytes.push_back(static_cast<std::uint8_t>(unit));
      bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return *this;
  }
  Payload& counted(const ByteVec& b) { return u32(static_cast<std::uint32_t>(b.size())).raw(b); }
};

// One record: the type in one or two bytes (continuation bit on the first),
// the length in 7-bit groups, least significant first, then the payload.
ByteVec record(unsigned type, const Payload& payload = {}) {
  ByteVec out;
  if (type < 0x80) {
    out.push_back(static_cast<std::uint8_t>(type));
  } else {
    out.push_back(static_cast<std::uint8_t>(0x80 | (type & 0x7F)));
    out.push_back(static_cast<std::uint8_t>(type >> 7));
  }
  std::size_t length = payload.bytes.size();
  do {
    const auto group = static_cast<std::uint8_t>(length & 0x7F);
    length >>= 7;
    out.push_back(length ? static_cast<std::uint8_t>(group | 0x80) : group);
  } while (length);
  out.insert(out.end(), payload.bytes.begin(), payload.bytes.end());
  return out;
}

ByteVec concat(std::initializer_list<ByteVec> parts) {
  ByteVec out;
  for (const ByteVec& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Record types of the workbook part.
enum : unsigned {
  kBrtName = 39,
  kBrtBeginBook = 131,
  kBrtBundleSh = 156,
  kBrtSupBookSrc = 355,
  kUnhandled356 = 356,
  kBrtSupSelf = 357,
  kBrtSupSame = 358,
  kBrtSupTabs = 359,
  kUnhandled360 = 360,
  kSupOther = 361,
  kBrtExternSheet = 362,
};

ByteVec bundle_sh(std::optional<std::u16string_view> rel_id, std::optional<std::u16string_view> name) {
  return record(kBrtBundleSh, Payload().u32(0).u32(1).wide(rel_id).wide(name));
}

ByteVec brt_name(std::optional<std::u16string_view> name, const ByteVec& rgce, const ByteVec& rgcb,
                 std::uint32_t itab = 0xFFFFFFFF) {
  return record(kBrtName, Payload().u32(0).u8(0).u32(itab).wide(name).counted(rgce).counted(rgcb));
}

ByteVec sup_tabs(std::initializer_list<std::u16string_view> names) {
  Payload p;
  p.u32(static_cast<std::uint32_t>(names.size()));
  for (auto name : names) p.wide(name);
  return record(kBrtSupTabs, p);
}

ByteVec extern_sheet(std::initializer_list<Xti> entries) {
  Payload p;
  p.u32(static_cast<std::uint32_t>(entries.size()));
  for (const Xti& x : entries) p.i32(x.iSupBook).i32(x.itabFirst).i32(x.itabLast);
  return record(kBrtExternSheet, p);
}

Result<Workbook> parse(const ByteVec& part) { return parse_workbook(Bytes(part)); }

// ---------------------------------------------------------------------------
// The workbook part.

TEST(WorkbookParse, ReadsSheetsInRecordOrder) {
  auto wb = parse(concat({
      record(kBrtBeginBook),
      bundle_sh(u"rId1", u"Sheet1"),
      bundle_sh(std::nullopt, u"Caf\u00e9"),  // no relationship: still a sheet
      bundle_sh(u"rId3", std::nullopt),        // null name: empty text
  }));
  ASSERT_TRUE(wb.has_value()) << message(wb.error());
  EXPECT_EQ(wb->sheets, (std::vector<std::string>{"Sheet1", "Caf\xC3\xA9", ""}));
  EXPECT_EQ(wb->sheet_rel_ids, (std::vector<std::optional<std::string>>{"rId1", std::nullopt, "rId3"}));
}

TEST(WorkbookParse, ReadsDefinedNames) {
  const ByteVec rgce = {0x1E, 0x07, 0x00};
  const ByteVec rgcb = {0xAA};
  auto wb = parse(concat({
      brt_name(u"Rate", rgce, rgcb, 2),
      brt_name(std::nullopt, {}, {}),
      // Comment and help strings after rgcb are not read.
      record(kBrtName, Payload().u32(0).u8(0).u32(0).wide(u"N").counted(rgce).counted({}).wide(u"note")),
  }));
  ASSERT_TRUE(wb.has_value()) << message(wb.error());
  ASSERT_EQ(wb->names.size(), 3u);
  EXPECT_EQ(wb->names[0].name, "Rate");
  EXPECT_EQ(wb->names[0].rgce, rgce);
  EXPECT_EQ(wb->names[0].rgcb, rgcb);
  EXPECT_EQ(wb->names[0].itab, 2u);
  EXPECT_EQ(wb->names[1].name, "");
  EXPECT_TRUE(wb->names[1].rgce.empty());
  EXPECT_TRUE(wb->names[1].rgcb.empty());
  EXPECT_EQ(wb->names[1].itab, 0xFFFFFFFFu);
  EXPECT_EQ(wb->names[2].name, "N");
  EXPECT_EQ(wb->names[2].rgce, rgce);
  EXPECT_TRUE(wb->names[2].rgcb.empty());
}

TEST(WorkbookParse, ReadsSupportingBooksAndXti) {
  using enum SupbookKind;
  auto wb = parse(concat({
      sup_tabs({u"Orphan"}),  // before any book: key -1
      record(kBrtSupSelf),
      record(kBrtSupBookSrc),
      sup_tabs({u"Old"}),
      sup_tabs({u"Data", u"Summary"}),  // replaces the list of the same book
      record(kUnhandled356),
      record(kBrtSupSame),
      record(kUnhandled360),  // neither adds a book nor moves the current one
      sup_tabs({}),
      record(kSupOther),
      record(kBrtSupBookSrc),
      extern_sheet({{0, 0, 0}, {1, 0, 1}}),
      extern_sheet({}),
      extern_sheet({{4, -2, -2}}),  // appended; nothing is checked
  }));
  ASSERT_TRUE(wb.has_value()) << message(wb.error());
  EXPECT_EQ(wb->supbooks, (std::vector<SupbookKind>{ThisBook, External, Same, Other, External}));
  const std::unordered_map<std::int32_t, std::vector<std::string>> expected_sheets = {
      {-1, {"Orphan"}}, {1, {"Data", "Summary"}}, {2, {}}};
  EXPECT_EQ(wb->supbook_sheets, expected_sheets);
  EXPECT_EQ(wb->xti, (std::vector<Xti>{{0, 0, 0}, {1, 0, 1}, {4, -2, -2}}));
}

TEST(WorkbookParse, PartWithoutHandledRecordsGivesAnEmptyWorkbook) {
  for (const ByteVec& part : {ByteVec{}, concat({record(kBrtBeginBook), record(kUnhandled356, Payload().u32(7))})}) {
    auto wb = parse(part);
    ASSERT_TRUE(wb.has_value()) << message(wb.error());
    EXPECT_TRUE(wb->sheets.empty() && wb->sheet_rel_ids.empty() && wb->names.empty() && wb->xti.empty() &&
                wb->supbooks.empty() && wb->supbook_sheets.empty());
  }
}

TEST(WorkbookParse, FailsOnTheFirstBadRecord) {
  const ByteVec name_head = Payload().u32(0).u8(0).u32(0).wide(u"N").bytes;
  const ByteVec bad_utf16 = {0x01, 0x00, 0x00, 0x00, 0x00, 0xD8};
  const struct {
    const char* label;
    ByteVec part;
    std::string_view message;
  } cases[] = {
      {"BrtName of 8 bytes", record(kBrtName, Payload().u32(0).u32(0)), "read past end (u32)"},
      {"BrtName of 9 bytes", record(kBrtName, Payload().u32(0).u8(0).u32(0)), "read past end (u32)"},
      {"BrtName without cce", record(kBrtName, Payload().raw(name_head).u8(0)), "read past end (u32)"},
      {"BrtName cce past payload", record(kBrtName, Payload().raw(name_head).u32(2).u8(0)),
       "BrtName rgce overruns payload"},
      {"BrtName cce at u32 max", record(kBrtName, Payload().raw(name_head).u32(0xFFFFFFFF).u32(0)),
       "BrtName rgce overruns payload"},
      {"BrtName without cb", record(kBrtName, Payload().raw(name_head).counted({1}).u8(0)), "read past end (u32)"},
      {"BrtName cb past payload", record(kBrtName, Payload().raw(name_head).counted({}).u32(1)),
       "BrtName rgcb overruns payload"},
      {"BrtName cb at u32 max", record(kBrtName, Payload().raw(name_head).counted({}).u32(0xFFFFFFFF)),
       "BrtName rgcb overruns payload"},
      {"BrtName name past payload", record(kBrtName, Payload().u32(0).u8(0).u32(0).u32(3).u8(0)),
       "slice past end"},
      {"BrtName name over the cap", record(kBrtName, Payload().u32(0).u8(0).u32(0).u32(0x800001)),
       "wide string length exceeds cap"},
      {"BrtName unpaired surrogate", record(kBrtName, Payload().u32(0).u8(0).u32(0).raw(bad_utf16).u32(0).u32(0)),
       "invalid utf-16 in wide string"},
      {"BrtBundleSh of 8 bytes", record(kBrtBundleSh, Payload().u32(0).u32(0)), "read past end (u32)"},
      {"BrtBundleSh without name", record(kBrtBundleSh, Payload().u32(0).u32(0).wide(u"rId1")),
       "read past end (u32)"},
      {"BrtBundleSh bad rel id", record(kBrtBundleSh, Payload().u32(0).u32(0).raw(bad_utf16).wide(u"S")),
       "invalid utf-16 in wide string"},
      {"BrtSupTabs of 3 bytes", record(kBrtSupTabs, Payload().u8(1).u8(0).u8(0)), "read past end (u32)"},
      {"BrtSupTabs short of names", record(kBrtSupTabs, Payload().u32(2).wide(u"A")), "read past end (u32)"},
      // The untrusted count must not size an allocation.
      {"BrtSupTabs count at u32 max", record(kBrtSupTabs, Payload().u32(0xFFFFFFFF).wide(u"A")),
       "read past end (u32)"},
      {"BrtExternSheet of 3 bytes", record(kBrtExternSheet, Payload().u8(1).u8(0).u8(0)), "read past end (u32)"},
      {"BrtExternSheet 2 entries in 16 bytes", record(kBrtExternSheet, Payload().u32(2).i32(0).i32(0).i32(0)),
       "read past end (u32)"},
      {"BrtExternSheet 2 entries in 27 bytes",
       record(kBrtExternSheet, Payload().u32(2).i32(0).i32(0).i32(0).i32(0).i32(0).u8(0).u8(0).u8(0)),
       "read past end (u32)"},
      {"BrtExternSheet count at u32 max", record(kBrtExternSheet, Payload().u32(0xFFFFFFFF)),
       "read past end (u32)"},
      {"truncated record id", concat({bundle_sh(u"rId1", u"S"), {0x9C}}), "truncated record id"},
      {"three-byte record id", {0x9C, 0x81, 0x00}, "record id continues past 2 bytes"},
      {"truncated record length", {0x27, 0x80}, "truncated record length"},
      {"five-byte record length", {0x27, 0x80, 0x80, 0x80, 0x80, 0x00}, "record length continues past 4 bytes"},
      {"payload past the part", {0x27, 0x02, 0x00}, "record payload overruns buffer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto wb = parse(c.part);
    ASSERT_FALSE(wb.has_value());
    EXPECT_EQ(message(wb.error()), c.message);
  }
}

// ---------------------------------------------------------------------------
// The relationships part.

Result<RelationshipMap> parse_rels(std::string_view document) {
  return parse_workbook_rels(Bytes(reinterpret_cast<const std::uint8_t*>(document.data()), document.size()));
}

TEST(WorkbookRels, ReadsRelationshipElements) {
  const struct {
    const char* label;
    std::string_view document;
    RelationshipMap expected;
  } cases[] = {
      {"empty document", "", {}},
      {"no Relationship elements", R"(<?xml version="1.0"?><Relationships/>)", {}},
      {"empty-element tag", R"(<Relationships><Relationship Id="rId1" Target="worksheets/sheet1.bin"/></Relationships>)",
       {{"rId1", "worksheets/sheet1.bin"}}},
      {"start and end tag",
       R"(<Relationships><Relationship Id="rId1" Target="worksheets/sheet1.bin"></Relationship></Relationships>)",
       {{"rId1", "worksheets/sheet1.bin"}}},
      {"prefixes ignored", R"(<p:Relationship q:Id="rId1" r:Target="t" />)", {{"rId1", "t"}}},
      {"local name after the first colon only", R"(<a:b:Relationship Id="x" Target="t"/><Relationship a:b:Id="y" Id="z" Target="t"/>)",
       {{"z", "t"}}},
      {"names are case-sensitive", R"(<relationship Id="a" Target="t"/><Relationship id="b" target="t"/>)", {}},
      {"Id without Target", R"(<Relationship Id="rId1" Type="x"/>)", {}},
      {"later element with the same id wins", R"(<Relationship Id="r" Target="old"/><Relationship Id="r" Target="new"/>)",
       {{"r", "new"}}},
      {"repeated attribute: last wins", R"(<Relationship Id="a" Target="t1" Id="b" Target="t2"/>)", {{"b", "t2"}}},
      {"references kept raw", R"(<Relationship Id="r&#49;" Target="a&amp;b.bin"/>)", {{"r&#49;", "a&amp;b.bin"}}},
      {"quotes, spaces and > in values", "<Relationship Id = 'r\"1'\n\tTarget=\"a>b\"/>", {{"r\"1", "a>b"}}},
      {"non-ASCII kept as UTF-8", "<Relationship Id=\"r\" Target=\"d\xC3\xA9j\xC3\xA0/\xF0\x9F\x8D\xA3\"/>",
       {{"r", "d\xC3\xA9j\xC3\xA0/\xF0\x9F\x8D\xA3"}}},
      {"malformed attributes skipped", R"(<Relationship bare Id="r" Target=unquoted Target="t" x=y/>)", {{"r", "t"}}},
      // Had the tag not ended at "/>", the end tag would close the wrong element.
      {"unquoted value before />", R"(<Rs><Relationship Id="r" Target=t/></Rs>)", {}},
      {"nested anywhere", R"(<a><b><Relationship Id="r" Target="t"/></b></a>)", {{"r", "t"}}},
      {"elements left open", R"(<Relationships><Relationship Id="r" Target="t">)", {{"r", "t"}}},
      {"prolog, comments, CDATA, PIs and text",
       "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
       "<!DOCTYPE Relationships [ <!ENTITY e \"]>\"> <!-- ' --> ]>\n"
       "<Relationships> a > b & c \xFF"
       "<!-- <Relationship Id=\"c\" Target=\"comment\"/> -->"
       "<![CDATA[ <Relationship Id=\"d\" Target=\"cdata\"/> \xFF ]]>"
       "<?pi <Relationship Id=\"e\" Target=\"pi\"/> ?>"
       R"(<Relationship Id="r" Target="t"/></Relationships>)",
       {{"r", "t"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto rels = parse_rels(c.document);
    ASSERT_TRUE(rels.has_value()) << message(rels.error());
    EXPECT_EQ(*rels, c.expected);
  }
}

TEST(WorkbookRels, RejectsMalformedMarkup) {
  const struct {
    const char* label;
    std::string_view document;
  } cases[] = {
      {"end tag of another name", R"(<Relationships><Relationship Id="r" Target="t"></Relationships>)"},
      {"end tag with another prefix", "<r:Relationship></Relationship>"},
      {"end tag with nothing open", "</Relationships>"},
      {"end tag after the root closed", "<a></a></a>"},
      {"end tag with an attribute", R"(<a></a x="1">)"},
      {"unterminated start tag", R"(<Relationship Id="r" Target="t")"},
      {"unterminated end tag", "<a></a"},
      {"unterminated attribute value", R"(<Relationship Id="r/>)"},
      {"< in an attribute value", R"(<Relationship Id="r" Target="a<b"/>)"},
      {"< in an unquoted value", "<Relationship Id=a<b/>"},
      {"attribute without a name", R"(<a ="x"/>)"},
      {"= at the end", "<a b="},
      {"stray slash", "<a / >"},
      {"< without a name", "< a/>"},
      {"< before a digit", "<1/>"},
      {"< at the end", "text<"},
      {"unknown declaration", "<!ELEMENT a ANY><a/>"},
      {"unterminated comment", "<a/><!-- x -- >"},
      {"unterminated CDATA", "<a><![CDATA[ x ]]</a>"},
      {"unterminated processing instruction", "<?xml version=\"1.0\"><a/>"},
      {"processing instruction without a target", "<? x ?><a/>"},
      {"unterminated DOCTYPE", "<!DOCTYPE a [ <!ENTITY e \"x\"> <a/>"},
      {"DOCTYPE quote left open", "<!DOCTYPE a SYSTEM \"x><a/>"},
      {"DOCTYPE closing ] too many", "<!DOCTYPE a ]><a/>"},
      {"text does not hide markup", R"(<Relationships>text <Relationship Id="r" Target="t"></Wrong> text)"},
      {"error after a good element", R"(<Relationship Id="r" Target="t"/></x>)"},
      {"invalid byte in a value", "<Relationship Id=\"r\" Target=\"\xFF\"/>"},
      {"invalid byte in a name", "<Relationship\xC3 Id=\"r\" Target=\"t\"/>"},
      {"overlong encoding", "<a b=\"\xC0\xAF\"/>"},
      {"encoded surrogate", "<a b=\"\xED\xA0\x80\"/>"},
      {"above U+10FFFF", "<a b=\"\xF4\x90\x80\x80\"/>"},
      {"sequence cut short", "<a b=\"\xE2\x82\"/>"},
      {"invalid byte in a comment", "<!-- \x80 --><a/>"},
      {"invalid byte in a processing instruction", "<?pi \xFE?><a/>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto rels = parse_rels(c.document);
    ASSERT_FALSE(rels.has_value());
    EXPECT_EQ(message(rels.error()), "malformed workbook rels xml");
  }
}

TEST(WorkbookRels, DeepNestingNeedsNoRecursion) {
  constexpr int kDepth = 200000;
  std::string document;
  for (int i = 0; i < kDepth; ++i) document += "<a>";
  document += R"(<Relationship Id="r" Target="t"/>)";
  for (int i = 0; i < kDepth; ++i) document += "</a>";
  auto rels = parse_rels(document);
  ASSERT_TRUE(rels.has_value()) << message(rels.error());
  EXPECT_EQ(*rels, (RelationshipMap{{"r", "t"}}));
}

// ---------------------------------------------------------------------------
// Worksheet selection.

TEST(WorkbookWorksheetEntries, KeepsResolvableWorksheetsInWorkbookOrder) {
  Workbook wb;
  wb.sheets = {"Sheet1", "Chart1", "NoRel", "Missing", "Sheet5", "Twin", "Upper", "Macro"};
  wb.sheet_rel_ids = {"rId1", "rId2", std::nullopt, "rId9", "rId5", "rId1", "RID1", "rId8"};
  const RelationshipMap rels = {
      {"rId1", "worksheets/sheet1.bin"},
      {"rId2", "chartsheets/sheet1.bin"},
      {"rId5", "/xl/worksheets/sheet5.bin"},
      {"rId8", "macrosheets/Worksheets.bin"},  // the test is case-sensitive
  };
  const auto entries = worksheet_entries(wb, rels);
  const struct {
    std::uint32_t position;
    std::string_view name;
    std::string_view part_name;
  } expected[] = {
      {0, "Sheet1", "xl/worksheets/sheet1.bin"},
      {4, "Sheet5", "xl/worksheets/sheet5.bin"},
      {5, "Twin", "xl/worksheets/sheet1.bin"},
  };
  ASSERT_EQ(entries.size(), std::size(expected));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(entries[i].position, expected[i].position);
    EXPECT_EQ(entries[i].name, expected[i].name);
    EXPECT_EQ(entries[i].part_name, expected[i].part_name);
  }
  EXPECT_TRUE(worksheet_entries(wb, {}).empty());
}

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
