#include <gtest/gtest.h>

#include <string>

#include "net/post_server_request.h"
#include "support/test_support.h"

namespace {

struct THeaderCase {
  std::string plain;
  std::string scrambled_hex;
  std::string encoded;
};

// Vectors worked out by hand from the key schedule (start 0x5C1E, multiplier
// 0x7F4D, increment 0xE17B, fed by the scrambled byte) and the wire alphabet.
const THeaderCase kCases[] = {
    {"A", "1D", "2a=="},
    {"AA", "1D A5", "2U4="},
    {"T", "08", "ZQ=="},
    {"LOGINKEY", "10 22 9D 30 41 C5 F5 FB", "xZKN9x2Tz6Y="},
    {"pelkwarn", "2C 3C 14 C3 E9 27 A1 E2", "c7l4lI1RtsL="},
    {"KV_OTHER_HEAD_KV", "17 BE 86 7B 00 F5 19 B2 68 E8 ED 7E 52 CE 3B 56",
     "TuDbsl7ebfrtDneI4YAuGE=="},
    {"TEST_SERVER_ALIVE", "08 37 31 72 1D 2C EA 80 5A 54 7E 9A 2A 0C 45 A5 3B",
     "Z7+C+kPYDtmUG2DUKECT8yY="},
    {"\xE8\xB3\x87\xE6\x96\x99", "B4 49 EA 9C E1 3D", "hxRMRnxz"},
};

TEST(HeaderFieldTest, ScrambleAndEncodeKnownVectors) {
  for (const THeaderCase& c : kCases) {
    std::string text = c.plain;
    ScrambleHeaderText(text);
    EXPECT_EQ(HexBytes(text), c.scrambled_hex) << c.plain;
    EXPECT_EQ(EncodeHeaderField(c.plain), c.encoded) << c.plain;
  }
}

TEST(HeaderFieldTest, EmptyTextStaysEmpty) {
  std::string text;
  ScrambleHeaderText(text);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(EncodeHeaderField(""), "");
}

TEST(HeaderFieldTest, KeyRestartsForEachText) {
  // Two calls on the same input give the same bytes: no state carries over.
  EXPECT_EQ(EncodeHeaderField("LOGINKEY"), EncodeHeaderField("LOGINKEY"));
  std::string a = "pelkwarn";
  std::string b = "pelkwarn";
  ScrambleHeaderText(a);
  ScrambleHeaderText(b);
  EXPECT_EQ(a, b);
}

TEST(HeaderFieldTest, ZeroBytesAreScrambledLikeAnyOther) {
  std::string text(3, '\0');
  ScrambleHeaderText(text);
  ASSERT_EQ(text.size(), 3u);
  EXPECT_EQ(static_cast<unsigned char>(text[0]), 0x5C);
}

}  // namespace
