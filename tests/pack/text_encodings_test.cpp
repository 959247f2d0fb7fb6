#include "pack/text_encodings.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "support/test_support.h"

namespace {

// Bytes whose Base64 groups are exactly the given 6-bit values (a multiple
// of four of them): encoding them spells the effective alphabet.
std::string BytesForSixBitValues(const std::vector<int>& values) {
  std::string out;
  for (size_t i = 0; i + 3 < values.size(); i += 4) {
    const unsigned v =
        (values[i] << 18) | (values[i + 1] << 12) | (values[i + 2] << 6) | values[i + 3];
    out += static_cast<char>(v >> 16);
    out += static_cast<char>((v >> 8) & 0xFF);
    out += static_cast<char>(v & 0xFF);
  }
  return out;
}

std::string AllSixBitValues() {
  std::vector<int> values;
  for (int v = 0; v < 64; ++v) values.push_back(v);
  return BytesForSixBitValues(values);
}

std::string RandomBytes(std::mt19937& rng, size_t size) {
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(rng() & 0xFF);
  return out;
}

// Converts with the C library's iconv; the independent reference for the
// UTF-8 and UTF-16 conversions.
std::string Iconv(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string out(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  const size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  EXPECT_NE(rc, static_cast<size_t>(-1)) << "iconv refused " << HexBytes(in);
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

std::string Utf16LeBytes(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

std::u16string FromUtf16LeBytes(const std::string& bytes) {
  std::u16string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  return out;
}

}  // namespace

TEST(Base64Encode, Rfc4648Vectors) {
  const struct {
    std::string data, expected;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      // Zero bytes are data like any other.
      {std::string("\0", 1), "AA=="},
      {std::string("\0\0", 2), "AAA="},
      {std::string("\0\0\0", 3), "AAAA"},
      {std::string("a\0b\0", 4), "YQBiAA=="},
      {"\xFF\xFF\xFF", "////"},
      {"\xFB\xEF\xBE", "++++"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Base64Encode(StandardBase64Alphabet, c.data), c.expected) << HexBytes(c.data);
}

TEST(Base64Encode, MatchesAnIndependentEncoderOnRandomData) {
  std::mt19937 rng(20261211);
  for (size_t size = 0; size <= 300; ++size) {
    const std::string data = RandomBytes(rng, size);
    std::string reference(4 * ((size + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()),
                                  reinterpret_cast<const unsigned char*>(data.data()),
                                  static_cast<int>(size));
    reference.resize(static_cast<size_t>(n));
    ASSERT_EQ(Base64Encode(StandardBase64Alphabet, data), reference) << HexBytes(data);
  }
}

TEST(Base64Encode, OutputLengthAndPadding) {
  const struct {
    size_t size;
    size_t length;
    const char* ending;
  } cases[] = {{1, 4, "=="}, {2, 4, "="}, {3, 4, ""}, {4, 8, "=="}, {5, 8, "="}, {6, 8, ""}};
  for (const auto& c : cases) {
    const std::string out = Base64Encode(WireAlphabet, std::string(c.size, '\x5A'));
    ASSERT_EQ(out.size(), c.length) << c.size;
    // The pad characters are exactly the ending: nothing else is "=".
    const std::string ending(c.ending);
    EXPECT_EQ(out.find('='), ending.empty() ? std::string::npos : out.size() - ending.size())
        << c.size << ": " << out;
    EXPECT_EQ(out.compare(out.size() - ending.size(), ending.size(), ending), 0) << out;
  }
}

TEST(Base64Encode, EmptyDataGivesEmptyTextForAnyAlphabet) {
  for (const std::string& alphabet : {std::string(), std::string("0123456789"), WireAlphabet})
    EXPECT_EQ(Base64Encode(alphabet, ""), "");
}

TEST(Base64Encode, EffectiveAlphabetIsExtendedByTheFillerAndCutTo64) {
  const std::string all_values = AllSixBitValues();
  const struct {
    const char* what;
    std::string alphabet, effective;
  } cases[] = {
      {"standard", StandardBase64Alphabet, StandardBase64Alphabet},
      {"wire", WireAlphabet, WireAlphabet},
      {"70 characters", StandardBase64Alphabet + "!#$%&*", StandardBase64Alphabet},
      {"10 characters", "0123456789",
       "0123456789" + AlphabetFiller + AlphabetFiller + AlphabetFiller + "mqwvpt"},
      {"empty", "", AlphabetFiller + AlphabetFiller + AlphabetFiller + AlphabetFiller},
      {"63 characters", StandardBase64Alphabet.substr(0, 63),
       StandardBase64Alphabet.substr(0, 63) + "m"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.effective.size(), 64u) << c.what;
    EXPECT_EQ(Base64Encode(c.alphabet, all_values), c.effective) << c.what;
  }
  // With ten characters the values 10, 26, 42 and 58 all land on the
  // filler's first character.
  EXPECT_EQ(Base64Encode("0123456789", BytesForSixBitValues({10, 26, 42, 58})), "mmmm");
}

TEST(Base64Encode, WireAlphabetIsThePositionalSubstituteOfStandard) {
  std::mt19937 rng(7);
  for (size_t size : {1u, 2u, 3u, 31u, 32u, 33u, 100u}) {
    const std::string data = RandomBytes(rng, size);
    std::string expected = Base64Encode(StandardBase64Alphabet, data);
    for (char& c : expected)
      if (c != '=') c = WireAlphabet[StandardBase64Alphabet.find(c)];
    EXPECT_EQ(Base64Encode(WireAlphabet, data), expected);
  }
}

TEST(WideBase64Encode, EncodesTheUtf8OfTheData) {
  const std::u16string standard = AsciiToWide(StandardBase64Alphabet);
  EXPECT_EQ(WideBase64Encode(standard, u"資料"), u"6LOH5paZ");
  EXPECT_EQ(WideBase64Encode(standard, u"foobar"), u"Zm9vYmFy");
  EXPECT_EQ(WideBase64Encode(standard, u"A"), u"QQ==");
  EXPECT_EQ(WideBase64Encode(standard, u""), u"");
  EXPECT_EQ(WideBase64Encode(u"", u"\u00e9"), AsciiToWide(Base64Encode("", "\xC3\xA9")));
  EXPECT_EQ(WideBase64Encode(AsciiToWide(WireAlphabet), u"pelkwarn"),
            AsciiToWide(Base64Encode(WireAlphabet, "pelkwarn")));
}

TEST(WideToUtf8, Cases) {
  const struct {
    std::u16string text;
    std::string expected;
  } cases[] = {
      {u"", ""},
      {u"A", "A"},
      {u"\u00e9", "\xC3\xA9"},
      {u"\u07ff\u0800", "\xDF\xBF\xE0\xA0\x80"},
      {u"資料", "\xE8\xB3\x87\xE6\x96\x99"},
      {u"\uffff", "\xEF\xBF\xBF"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
      {std::u16string(1, u'\0'), std::string(1, '\0')},
      // Unpaired surrogates become U+FFFD.
      {std::u16string{0xD800}, "\xEF\xBF\xBD"},
      {std::u16string{0xDC00, u'A'},
       "\xEF\xBF\xBD"
       "A"},
      {std::u16string{0xD83D, u'A', 0xDE00},
       "\xEF\xBF\xBD"
       "A"
       "\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) EXPECT_EQ(HexBytes(WideToUtf8(c.text)), HexBytes(c.expected));
}

TEST(WideToUtf8, MatchesIconvOnRandomWellFormedText) {
  std::mt19937 rng(42);
  for (int round = 0; round < 200; ++round) {
    std::u16string text;
    const int length = static_cast<int>(rng() % 40);
    for (int i = 0; i < length; ++i) {
      uint32_t cp;
      switch (rng() % 4) {
        case 0:
          cp = rng() % 0x80;
          break;
        case 1:
          cp = 0x80 + rng() % (0x800 - 0x80);
          break;
        case 2:
          cp = 0x800 + rng() % (0x10000 - 0x800);
          break;
        default:
          cp = 0x10000 + rng() % 0x100000;
          break;
      }
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0x4E00;
      if (cp >= 0x10000) {
        text += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        text += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        text += static_cast<char16_t>(cp);
      }
    }
    const std::string utf8 = WideToUtf8(text);
    ASSERT_EQ(utf8, Iconv("UTF-8", "UTF-16LE", Utf16LeBytes(text)));
    // Back again: well-formed UTF-8 with a byte of 0x80 or above decodes as
    // UTF-8; pure ASCII is the same either way.
    ASSERT_EQ(ByteTextToWide(utf8), text);
    ASSERT_EQ(FromUtf16LeBytes(Iconv("UTF-16LE", "UTF-8", utf8)), text);
  }
}

// The classification of ByteTextToWide, row by row of the lead-byte table,
// with each row's boundaries.
TEST(ByteTextToWide, ClassifiesUtf8ByTheLeadByteTable) {
  const struct {
    std::string bytes;
    bool utf8;
  } cases[] = {
      {"", false},
      {"plain ASCII \x7F", false},
      {"\xC2\x80", true},
      {"\xDF\xBF", true},
      {"\xC1\xBF", false},  // overlong lead
      {"\xC0\x80", false},
      {"\xC2\x7F", false},
      {"\xC2\xC0", false},
      {"\xE0\xA0\x80", true},
      {"\xE0\xBF\xBF", true},
      {"\xE0\x9F\xBF", false},  // overlong
      {"\xE0\xC0\x80", false},
      {"\xE1\x80\x80", true},
      {"\xEF\xBF\xBF", true},
      {"\xED\xA0\x80", true},  // an encoded surrogate passes
      {"\xED\xBF\xBF", true},
      {"\xE1\x7F\x80", false},
      {"\xE1\x80\xC0", false},
      {"\xF0\x90\x80\x80", true},
      {"\xF0\xBF\xBF\xBF", true},
      {"\xF0\x8F\xBF\xBF", false},  // overlong
      {"\xF1\x80\x80\x80", true},
      {"\xF3\xBF\xBF\xBF", true},
      {"\xF3\xBF\xBF\x7F", false},
      {"\xF4\x80\x80\x80", true},
      {"\xF4\x8F\xBF\xBF", true},
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xFF", false},
      {"\x80", false},  // a following byte as lead
      {"\xBF", false},
      {"ab\xC3\xA9"
       "cd",
       true},  // ASCII around a sequence
      {"\xE8\xB3\x87\xE6\x96\x99", true},
      {"\xB8\xEA\xAE\xC6", false},  // code page 950
      {"\xE8\xB3", false},          // cut off
      {"abc\xC3", false},           // cut off by the end
      {"\xF0\x90\x80", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsUtf8Text(c.bytes), c.utf8) << HexBytes(c.bytes);
}

TEST(ByteTextToWide, DecodesUtf8OrTheAnsiCodePage) {
  const struct {
    std::string bytes;
    std::u16string expected;
  } cases[] = {
      {"", u""},
      {"ABC", u"ABC"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"\xE8\xB3\x87\xE6\x96\x99", u"資料"},  // UTF-8
      {"\xB8\xEA\xAE\xC6", u"資料"},          // code page 950
      {"x\xB8\xEA"
       "y",
       u"x資y"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xED\xA0\x80", std::u16string{0xD800}},
      // The last byte opens a two-byte character that never comes: the code
      // page decoder replaces it.
      {"abc\xC3", u"abc\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(ByteTextToWide(c.bytes), c.expected) << HexBytes(c.bytes);
}

TEST(CodePage, Cp950BothWays) {
  EXPECT_EQ(AnsiToWide("\xB8\xEA\xAE\xC6"), u"資料");
  EXPECT_EQ(WideToAnsi(u"資料"), "\xB8\xEA\xAE\xC6");
  EXPECT_EQ(WideToAnsi(u"A資料B"),
            "A\xB8\xEA\xAE\xC6"
            "B");
  EXPECT_EQ(AnsiToWide("plain"), u"plain");
  EXPECT_EQ(WideToAnsi(u""), "");
  EXPECT_EQ(AnsiToWide(""), u"");
  // Characters the code page does not hold become "?"; a surrogate pair is
  // one character.
  EXPECT_EQ(WideToAnsi(u"a\U0001F600b"), "a?b");
  EXPECT_EQ(WideToAnsi(u"\u0e01"), "?");
  // An unpaired surrogate is one character of its own.
  EXPECT_EQ(WideToAnsi(std::u16string{0xD800, u'A', 0xDC00, u'B'}), "?A?B");
  EXPECT_EQ(WideToAnsi(std::u16string{u'x', 0xD800}), "x?");
  // Bytes the code page does not map become U+FFFD and decoding goes on.
  EXPECT_EQ(AnsiToWide("\xFF"
                       "A\xB8\xEA"),
            u"\uFFFDA資");
  // The system's own messages survive the round trip.
  const std::u16string message = u"資料壓縮中...";
  EXPECT_EQ(AnsiToWide(WideToAnsi(message)), message);
}

TEST(AsciiToWide, WidensEachByte) {
  EXPECT_EQ(AsciiToWide("LOGINKEY:"), u"LOGINKEY:");
  EXPECT_EQ(AsciiToWide(""), u"");
}

TEST(Utf8ToWide, MalformedBytesBecomeReplacementCharacters) {
  const struct {
    std::string bytes;
    std::u16string expected;
  } cases[] = {
      {"", u""},
      {"plain", u"plain"},
      {"\xC3\xA9t\xC3\xA9", u"été"},
      {"a\xFF"
       "b",
       u"a\uFFFDb"},
      {"\xE8\xB3", u"\uFFFD\uFFFD"},  // cut off: each byte replaced
      {"\xC0\xAF", u"\uFFFD\uFFFD"},  // overlong "/"
      {"/home/\xE8\xB3\x87\xE6\x96\x99", u"/home/資料"},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToWide(c.bytes), c.expected) << HexBytes(c.bytes);
}
