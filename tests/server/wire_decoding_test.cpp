// The server's reading side of the envelope: Base64 with an alphabet, header
// unscrambling, container and string-list parsing.

#include "wire_decoding.h"

#include <gtest/gtest.h>

#include "net/post_server_request.h"
#include "pack/compression.h"
#include "pack/my_streams.h"
#include "pack/text_encodings.h"
#include "support/test_support.h"

namespace {

std::string Le32(int32_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF);
  return out;
}

TEST(Base64DecodeTest, StandardAlphabetVectors) {
  // RFC 4648 section 10, plus zero bytes.
  const std::vector<std::pair<std::string, std::string>> cases = {{"", ""},
                                                                  {"Zg==", "f"},
                                                                  {"Zm8=", "fo"},
                                                                  {"Zm9v", "foo"},
                                                                  {"Zm9vYg==", "foob"},
                                                                  {"Zm9vYmE=", "fooba"},
                                                                  {"Zm9vYmFy", "foobar"},
                                                                  {"AAAA", std::string(3, '\0')},
                                                                  {"AA==", std::string(1, '\0')}};
  for (const auto& [text, bytes] : cases) {
    std::string out, error;
    ASSERT_TRUE(Base64Decode(StandardBase64Alphabet, text, &out, &error)) << text << ": " << error;
    EXPECT_EQ(out, bytes) << text;
  }
}

TEST(Base64DecodeTest, ReversesTheProjectEncoderWithTheWireAlphabet) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (size_t n : {1u, 2u, 3u, 4u, 5u, 63u, 256u}) {
    const std::string data = all.substr(0, n);
    std::string out, error;
    ASSERT_TRUE(Base64Decode(WireAlphabet, Base64Encode(WireAlphabet, data), &out, &error)) << n;
    EXPECT_EQ(out, data) << n;
  }
}

TEST(Base64DecodeTest, RefusesMalformedText) {
  const std::vector<std::string> bad = {
      "Zg=",       // length not a multiple of 4
      "Zg",        // idem
      "Z!==",      // character outside the alphabet
      "Zm9v_g==",  // underscore inside
      "Zh==",      // stray bits in a padded group
      "Zm9=",      // idem, one pad
      "Z===",      // three pads
      "=Zg=",      // pad in front
      "Zg==Zg==",  // pad before the end
      "Zm 9",      // blank
  };
  for (const std::string& text : bad) {
    std::string out, error;
    EXPECT_FALSE(Base64Decode(StandardBase64Alphabet, text, &out, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(HeaderFieldTest, KnownWireTextsDecode) {
  // Encoded forms of the envelope's own names and values.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"_xZKN9x2Tz6Y=_", "LOGINKEY"},   {"_c7l4lI1RtsL=_", "pelkwarn"}, {"_ZQ==_", "T"},
      {"_J7qo_", std::string(3, '\0')}, {"xZKN9x2Tz6Y=", "LOGINKEY"},  // a header name carries only
                                                                       // the leading "_"
      {"_xZKN9x2Tz6Y=", "LOGINKEY"},
  };
  for (const auto& [wire, plain] : cases) {
    std::string out, error;
    ASSERT_TRUE(DecodeHeaderField(wire, &out, &error)) << wire << ": " << error;
    EXPECT_EQ(out, plain) << wire;
  }
}

TEST(HeaderFieldTest, UnscrambleReversesScrambleForAllBytes) {
  std::string text;
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 256; ++i) text.push_back(static_cast<char>((i * 7 + round) & 0xFF));
  }
  std::string wire = text;
  ScrambleHeaderText(wire);
  ASSERT_NE(wire, text);
  UnscrambleHeaderText(wire);
  EXPECT_EQ(wire, text);
  // And through the whole field encoding, Chinese text included.
  const std::string chinese = "\xE8\xB3\x87\xE6\x96\x99";
  std::string out, error;
  ASSERT_TRUE(DecodeHeaderField("_" + EncodeHeaderField(chinese) + "_", &out, &error));
  EXPECT_EQ(out, chinese);
}

TEST(ContainerParseTest, ReadsWhatTMyStreamsWrites) {
  TMyStreams streams;
  TMemoryStream a(std::string("xyz"));
  TMemoryStream empty;
  streams.AddStream(u"A", &a);
  streams.AddText(u"\u8CC7\u6599", u"");
  streams.AddStream(u"A", &empty);
  TMemoryStream written;
  streams.WriteTo(written);

  TContainerEntries entries;
  std::string error;
  ASSERT_TRUE(ParseContainer(written.Bytes(), &entries, &error)) << error;
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], std::make_pair(std::string("A"), std::string("xyz")));
  EXPECT_EQ(entries[1], std::make_pair(std::string("\xE8\xB3\x87\xE6\x96\x99"), std::string()));
  EXPECT_EQ(entries[2], std::make_pair(std::string("A"), std::string()));

  ASSERT_TRUE(ParseContainer(std::string(4, '\0'), &entries, &error));
  EXPECT_TRUE(entries.empty());
}

TEST(ContainerParseTest, RefusesDamagedContainers) {
  const std::string one_entry = Le32(1) + Le32(1) + "A" + Le32(3) + "xyz";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "empty"},
      {std::string("\x01\x00\x00", 3), "count cut short"},
      {Le32(-1), "negative count"},
      {Le32(2) + Le32(0) + Le32(0), "count beyond the entries"},
      {Le32(0x7FFFFFFF), "huge count"},
      {Le32(1) + Le32(5) + "A" + Le32(0), "name runs past the end"},
      {Le32(1) + Le32(-3) + "A" + Le32(0), "negative name length"},
      {Le32(1) + Le32(1) + "A" + Le32(4) + "xyz", "data runs past the end"},
      {Le32(1) + Le32(1) + "A" + Le32(-1) + "xyz", "negative data length"},
      {one_entry + "!", "bytes after the last entry"},
  };
  for (const auto& [bytes, why] : cases) {
    TContainerEntries entries;
    std::string error;
    EXPECT_FALSE(ParseContainer(bytes, &entries, &error)) << why;
    EXPECT_EQ(error.rfind("damaged container", 0), 0u) << why << ": " << error;
  }
  TContainerEntries entries;
  std::string error;
  EXPECT_TRUE(ParseContainer(one_entry, &entries, &error)) << error;
}

TEST(StringListParseTest, ReadsWhatWriteStringListWrites) {
  const std::vector<std::string> lines = {"A", "BC", "", std::string("x\0y", 3), "_FILENAME=a\\b"};
  TMemoryStream written;
  WriteStringList(lines, written);
  std::vector<std::string> parsed;
  std::string error;
  ASSERT_TRUE(ParseStringList(written.Bytes(), &parsed, &error)) << error;
  EXPECT_EQ(parsed, lines);

  TMemoryStream none;
  WriteStringList({}, none);
  ASSERT_TRUE(ParseStringList(none.Bytes(), &parsed, &error)) << error;
  EXPECT_TRUE(parsed.empty());
}

TEST(StringListParseTest, RefusesDamagedLists) {
  const std::string header = "*VextTStringsToTStream 1.0*";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "empty"},
      {"*VextTStringsToTStream 2.0*" + Le32(0), "wrong header"},
      {header, "no count"},
      {header + Le32(-1), "negative count"},
      {header + Le32(1), "count beyond the strings"},
      {header + Le32(1) + Le32(3) + "ab", "string runs past the end"},
      {header + Le32(1) + Le32(-2) + "ab", "negative length"},
      {header + Le32(1) + Le32(2) + "ab" + "z", "bytes after the last string"},
  };
  for (const auto& [bytes, why] : cases) {
    std::vector<std::string> parsed;
    std::string error;
    EXPECT_FALSE(ParseStringList(bytes, &parsed, &error)) << why;
    EXPECT_EQ(error.rfind("damaged string list", 0), 0u) << why << ": " << error;
  }
}

}  // namespace
