#include "sync/download_texts.h"

#include <gtest/gtest.h>

#include <vector>

#include "pack/text_encodings.h"

namespace {

std::string Narrow(const std::u16string& text) { return WideToUtf8(text); }

TEST(ZeroPadTest, PadsToWidthAndKeepsLongerTexts) {
  struct Case {
    int32_t number;
    int width;
    const char* expected;
  } cases[] = {
      {0, 16, "0000000000000000"},     {524288, 16, "0000000000524288"},
      {2147483647, 4, "2147483647"},   {42, 0, "42"},
      {-5, 4, "00-5"},                 {-2147483647 - 1, 1, "-2147483648"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Narrow(ZeroPad(c.number, c.width)), c.expected) << c.number << " " << c.width;
}

TEST(PieceKeyTest, OffsetAndLengthAsSixteenDigits) {
  EXPECT_EQ(Narrow(PieceKey(0, 524288)), "0000000000000000-0000000000524288");
  EXPECT_EQ(Narrow(PieceKey(524288, 475712)), "0000000000524288-0000000000475712");
}

TEST(FileTimeTextTest, WritesLowBarHighWithoutLeadingZeros) {
  EXPECT_EQ(Narrow(FileTimeToText(132000000000000000ULL)), "4133093376|30733644");
  EXPECT_EQ(Narrow(FileTimeToText(0)), "0|0");
  EXPECT_EQ(Narrow(FileTimeToText(~0ULL)), "4294967295|4294967295");
  EXPECT_EQ(Narrow(FileTimeToText(1ULL << 32)), "0|1");
}

TEST(FileTimeTextTest, ReadsWhatItWrites) {
  for (uint64_t t : {0ULL, 1ULL, 132000000000000000ULL, 116444736000000001ULL, ~0ULL}) {
    uint64_t back = 7;
    ASSERT_TRUE(TextToFileTime(FileTimeToText(t), back)) << t;
    EXPECT_EQ(back, t);
  }
}

TEST(FileTimeTextTest, ReadsEachSideAsA64BitNumberKeepingItsLow32Bits) {
  struct Case {
    const char16_t* text;
    uint64_t expected;
  } cases[] = {
      {u"0004133093376|030733644", 132000000000000000ULL},  // leading zeros are still numbers
      {u"4294967296|1", 1ULL << 32},                       // low side overflows into nothing
      {u"-1|0", 0xFFFFFFFFULL},                            // sign allowed, two's complement bits
      {u"+5|+6", (6ULL << 32) | 5},
      {u"1|2|3", 0},  // split at the first bar: the right side "2|3" is no number
  };
  for (const Case& c : cases) {
    uint64_t t = 0;
    const bool ok = TextToFileTime(c.text, t);
    if (c.expected == 0) {
      EXPECT_FALSE(ok) << Narrow(c.text);
    } else {
      ASSERT_TRUE(ok) << Narrow(c.text);
      EXPECT_EQ(t, c.expected) << Narrow(c.text);
    }
  }
}

TEST(FileTimeTextTest, RejectsTextsThatAreNotTwoNumbers) {
  for (const char16_t* text : {u"", u"|", u"123", u"12|", u"|34", u"1 |2", u"1| 2", u"a|1",
                               u"1|0x10", u"99999999999999999999|1", u"-|1"}) {
    uint64_t t = 77;
    EXPECT_FALSE(TextToFileTime(text, t)) << Narrow(text);
    EXPECT_EQ(t, 77u) << "left untouched on failure: " << Narrow(text);
  }
}

TEST(TextToInt32Test, AcceptsDecimalWithinSigned32Bits) {
  int32_t n = 0;
  ASSERT_TRUE(TextToInt32(u"2147483647", n));
  EXPECT_EQ(n, 2147483647);
  ASSERT_TRUE(TextToInt32(u"-2147483648", n));
  EXPECT_EQ(n, -2147483647 - 1);
  ASSERT_TRUE(TextToInt32(u"0001000000", n));
  EXPECT_EQ(n, 1000000);
  for (const char16_t* bad : {u"", u"-", u"2147483648", u"-2147483649", u"12a", u" 1", u"1.0"})
    EXPECT_FALSE(TextToInt32(bad, n)) << Narrow(bad);
}

TEST(ChangeFileExtensionTest, ReplacesTheLastExtensionOfTheFileName) {
  struct Case {
    const char16_t* path;
    const char16_t* ext;
    const char* expected;
  } cases[] = {
      {u"/a/b/Nimbara.exe", u"download", "/a/b/Nimbara.download"},
      {u"/a/b/Nimbara.exe", u".downloadtemp", "/a/b/Nimbara.downloadtemp"},
      {u"/a/b/Nimbara", u"download", "/a/b/Nimbara.download"},
      {u"/a.dir/Nimbara", u"download", "/a.dir/Nimbara.download"},  // a dot in a folder
      {u"/a/b/x.tar.gz", u"download", "/a/b/x.tar.download"},
      {u"/a/b/Nimbara.exe", u"", "/a/b/Nimbara"},
      {u"/a/b/.hidden", u"x", "/a/b/.x"},
      {u"name.", u"x", "name.x"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Narrow(ChangeFileExtension(c.path, c.ext)), c.expected) << Narrow(c.path);
}

TEST(FileNameOfTest, DropsTheFolder) {
  EXPECT_EQ(Narrow(FileNameOf(u"/a/b/Nimbara.exe")), "Nimbara.exe");
  EXPECT_EQ(Narrow(FileNameOf(u"Nimbara.exe")), "Nimbara.exe");
  EXPECT_EQ(Narrow(FileNameOf(u"/a/b/")), "");
}

TEST(SplitCommaTextTest, SplitsAtCommasAndAtBlanksOutsideQuotes) {
  struct Case {
    const char16_t* text;
    std::vector<std::string> items;
  } cases[] = {
      {u"1000000,1|2,3|4,5|6", {"1000000", "1|2", "3|4", "5|6"}},
      {u"  12 , 1|2,3|4 ,5|6  ", {"12", "1|2", "3|4", "5|6"}},
      {u"12,1| 2,3|4,5|6", {"12", "1|", "2", "3|4", "5|6"}},  // a blank also ends an item
      {u"\"a, b\",\"say \"\"hi\"\"\",c", {"a, b", "say \"hi\"", "c"}},
      {u"a,,b", {"a", "", "b"}},
      {u"a,b,", {"a", "b", ""}},
      {u"a\tb\r\nc", {"a", "b", "c"}},
      {u"", {}},
      {u"   ", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (const std::u16string& item : SplitCommaText(c.text)) got.push_back(Narrow(item));
    EXPECT_EQ(got, c.items) << Narrow(c.text);
  }
}

}  // namespace
