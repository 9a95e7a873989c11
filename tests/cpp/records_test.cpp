// Record framing and the primitive readers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records.h"

namespace mdn {
namespace {

using ByteVec = std::vector<std::uint8_t>;

// Walks a whole part; returns the ids read and the error that ended it, if any.
struct Walk {
  std::vector<std::uint16_t> ids;
  std::vector<std::size_t> lengths;
  std::string error;
};

Walk walk(const ByteVec& bytes) {
  Walk w;
  Records r{Bytes(bytes)};
  for (;;) {
    auto next = next_record(r);
    if (!next) {
      w.error = message(next.error());
      return w;
    }
    if (!*next) return w;
    w.ids.push_back((*next)->id);
    w.lengths.push_back((*next)->payload.size());
  }
}

TEST(Records, Framing) {
  struct Case {
    ByteVec bytes;
    std::vector<std::uint16_t> ids;
    std::string error;
  };
  const Case cases[] = {
      {{}, {}, ""},
      {{0x00, 0x00}, {0}, ""},
      {{0x91, 0x01, 0x00}, {401}, ""},
      {{0x91}, {}, "truncated record id"},
      {{0x91, 0x81}, {}, "record id continues past 2 bytes"},
      {{0x05}, {}, "truncated record length"},
      {{0x05, 0x80}, {}, "truncated record length"},
      {{0x05, 0xFF, 0xFF, 0xFF, 0xFF}, {}, "record length continues past 4 bytes"},
      {{0x05, 0xFF, 0xFF, 0xFF, 0x7F}, {}, "record payload overruns buffer"},
      // The first record is delivered before the second one overruns.
      {{0x09, 0x01, 0xAA, 0x0A, 0x02, 0xBB}, {9}, "record payload overruns buffer"},
      {{0xAB, 0x03, 0x00, 0x9C, 0x01, 0x00}, {939, 412}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    Walk w = walk(c.bytes);
    EXPECT_EQ(w.ids, c.ids);
    EXPECT_EQ(w.error, c.error);
  }
}

TEST(Records, LongestLengthIsDecoded) {
  // 0xFF 0xFF 0xFF 0x7F is 268,435,455: the payload check sees that length.
  ByteVec bytes = {0x05, 0xFF, 0xFF, 0xFF, 0x7F};
  bytes.resize(bytes.size() + kMaxRecordLength, 0);
  Walk w = walk(bytes);
  ASSERT_EQ(w.error, "");
  EXPECT_EQ(w.lengths, std::vector<std::size_t>{kMaxRecordLength});
}

TEST(Records, RecordIdMatchesTwoByteEncoding) {
  EXPECT_EQ(record_id(0), 0);
  EXPECT_EQ(record_id(19), 19);
  EXPECT_EQ(record_id(145), 401);
  EXPECT_EQ(record_id(156), 412);
  EXPECT_EQ(record_id(426), 938);
  EXPECT_EQ(record_id(427), 939);
}

TEST(Records, FixedSizeReads) {
  ByteVec p = {1, 2, 3, 4, 5, 6, 7, 8};
  Bytes b(p);
  EXPECT_EQ(*read_u16(b, 6), 0x0807);
  EXPECT_EQ(message(read_u16(b, 7).error()), "read past end (u16)");
  EXPECT_EQ(*read_u32(b, 4), 0x08070605u);
  EXPECT_EQ(message(read_u32(b, 5).error()), "read past end (u32)");
  EXPECT_EQ(message(read_i32(b, SIZE_MAX).error()), "read past end (u32)");
  EXPECT_EQ(message(read_f64(b, 1).error()), "read past end (f64)");
  EXPECT_EQ(read_bytes(b, 8, 0)->size(), 0u);
  EXPECT_EQ(message(read_bytes(b, 4, 5).error()), "slice past end");
  EXPECT_EQ(message(read_bytes(b, 4, UINT64_MAX).error()), "slice past end");
}

struct StringCase {
  ByteVec bytes;
  std::string text;   // expected text ("<null>" for the null string)
  std::size_t next;   // expected offset after the string
  std::string error;
};

TEST(Records, ReadWide) {
  const StringCase cases[] = {
      {{0xFF, 0xFF, 0xFF, 0xFF}, "<null>", 4, ""},
      {{0, 0, 0, 0}, "", 4, ""},
      {{2, 0, 0, 0, 'h', 0, 'i', 0}, "hi", 8, ""},
      {{1, 0, 0, 0, 0xAC, 0x20}, "\xE2\x82\xAC", 6, ""},                   // U+20AC
      {{2, 0, 0, 0, 0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80", 8, ""},   // surrogate pair
      {{1, 0, 0, 0, 0x00, 0xD8}, "", 0, "invalid utf-16 in wide string"},
      {{1, 0, 0, 0, 0x00, 0xDC}, "", 0, "invalid utf-16 in wide string"},
      {{0x01, 0x00, 0x80, 0x00}, "", 0, "wide string length exceeds cap"},
      {{2, 0, 0, 0, 'h', 0}, "", 0, "slice past end"},
      {{2, 0, 0}, "", 0, "read past end (u32)"},
  };
  for (const StringCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    auto r = read_wide(Bytes(c.bytes), 0);
    if (!c.error.empty()) {
      ASSERT_FALSE(r);
      EXPECT_EQ(message(r.error()), c.error);
      continue;
    }
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text.value_or("<null>"), c.text);
    EXPECT_EQ(r->next, c.next);
  }
}

TEST(Records, ReadStringLenient) {
  const StringCase cases[] = {
      {{1, 0, 0, 0, 0x00, 0xD8}, "\xEF\xBF\xBD", 6, ""},
      // A high surrogate before a non-low unit: U+FFFD, then that unit itself.
      {{2, 0, 0, 0, 0x00, 0xD8, 'a', 0}, "\xEF\xBF\xBD" "a", 8, ""},
      {{2, 0, 0, 0, 0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80", 8, ""},
      {{0xFF, 0xFF, 0xFF, 0xFF}, "", 0, "string length exceeds cap"},
      {{3, 0, 0, 0, 'a', 0}, "", 0, "string bytes past end"},
      {{3, 0}, "", 0, "read past end (u32)"},
  };
  for (const StringCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    auto r = read_string_lenient(Bytes(c.bytes), 0);
    if (!c.error.empty()) {
      ASSERT_FALSE(r);
      EXPECT_EQ(message(r.error()), c.error);
      continue;
    }
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text, c.text);
    EXPECT_EQ(r->next, c.next);
  }
}

TEST(Records, StrictUtf8) {
  const std::pair<std::string_view, bool> cases[] = {
      {"", true},
      {"plain", true},
      {"\xC3\xA9", true},                  // U+00E9
      {"\xE2\x82\xAC", true},              // U+20AC
      {"\xF4\x8F\xBF\xBF", true},          // U+10FFFF, the last code point
      {"\xC0\xAF", false},                  // overlong "/"
      {"\xE0\x80\xAF", false},              // overlong, three bytes
      {"\xED\xA0\x80", false},              // a surrogate
      {"\xF4\x90\x80\x80", false},          // above U+10FFFF
      {"\xC3", false},                      // cut short
      {"\xE2\x82", false},
      {"\x80", false},                      // a lone continuation byte
      {"\xF8\x88\x80\x80\x80", false},      // five-byte form
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(is_valid_utf8(text), valid) << ::testing::PrintToString(text);
}

TEST(Records, EveryErrorHasItsOwnMessage) {
  std::vector<std::string_view> seen;
  for (int i = 0; i <= static_cast<int>(DecodeError::defect_ftab_unparsable); ++i) {
    std::string_view m = message(static_cast<DecodeError>(i));
    EXPECT_NE(m, "unknown decode error");
    for (std::string_view s : seen) EXPECT_NE(s, m);
    seen.push_back(m);
  }
}

}  // namespace
}  // namespace mdn
