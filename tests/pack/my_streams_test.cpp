#include "pack/my_streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "support/test_support.h"

namespace {

std::string Written(const TMyStreams& container) {
  TMemoryStream out;
  container.WriteTo(out);
  EXPECT_EQ(out.Position(), 0);
  return out.Bytes();
}

}  // namespace

TEST(MyStreams, WrittenLayout) {
  const struct {
    const char* what;
    void (*fill)(TMyStreams&);
    std::string expected;
  } cases[] = {
      {"empty", [](TMyStreams&) {}, std::string("\0\0\0\0", 4)},
      {"one entry A holding xyz",
       [](TMyStreams& c) {
         TMemoryStream data(std::string("xyz"));
         c.AddStream(u"A", &data);
       },
       std::string("\x01\0\0\0"
                   "\x01\0\0\0"
                   "A"
                   "\x03\0\0\0"
                   "xyz",
                   16)},
      {"name of two Chinese characters", [](TMyStreams& c) { c.AddText(u"資料", u"v"); },
       std::string("\x01\0\0\0"
                   "\x06\0\0\0"
                   "\xE8\xB3\x87\xE6\x96\x99"
                   "\x01\0\0\0"
                   "v",
                   19)},
      {"empty text", [](TMyStreams& c) { c.AddText(u"E", u""); },
       std::string("\x01\0\0\0"
                   "\x01\0\0\0"
                   "E"
                   "\0\0\0\0",
                   13)},
      {"same name twice, in the order added",
       [](TMyStreams& c) {
         c.AddText(u"K", u"1");
         c.AddText(u"k", u"22");
       },
       std::string("\x02\0\0\0"
                   "\x01\0\0\0"
                   "K"
                   "\x01\0\0\0"
                   "1"
                   "\x01\0\0\0"
                   "k"
                   "\x02\0\0\0"
                   "22",
                   25)},
      {"empty names are ignored",
       [](TMyStreams& c) {
         TMemoryStream data(std::string("x"));
         c.AddStream(u"", &data);
         c.AddStream(u"N", nullptr);
         c.AddText(u"", u"x");
       },
       std::string("\0\0\0\0", 4)},
  };
  for (const auto& c : cases) {
    TMyStreams container;
    c.fill(container);
    EXPECT_EQ(HexBytes(Written(container)), HexBytes(c.expected)) << c.what;
  }
}

TEST(MyStreams, DataLengthOf300BytesIsLittleEndian) {
  TMyStreams container;
  TMemoryStream data(std::string(300, '\x07'));
  container.AddStream(u"OTHERHEAD", &data);
  const std::string out = Written(container);
  ASSERT_EQ(out.size(), 4u + 4 + 9 + 4 + 300);
  EXPECT_EQ(HexBytes(out.substr(17, 4)), "2C 01 00 00");
}

TEST(MyStreams, ReadTextFindsTheFirstMatchWhateverTheCase) {
  TMyStreams container;
  container.AddText(u"OrgStream", u"first");
  container.AddText(u"ORGSTREAM", u"second");
  container.AddText(u"Empty", u"");
  container.AddText(u"Δέλτα", u"greek");
  container.AddText(u"ｆｕｌｌ", u"wide");
  container.AddText(u"été", u"latin");
  container.AddText(u"привет", u"cyrillic");
  TMemoryStream big5(std::string("\xB8\xEA\xAE\xC6"));
  container.AddStream(u"big5", &big5);

  EXPECT_EQ(container.ReadText(u"orgstream"), u"first");
  EXPECT_EQ(container.ReadText(u"ORGSTREAM"), u"first");
  EXPECT_EQ(container.ReadText(u"ΔΈΛΤΑ"), u"greek");
  EXPECT_EQ(container.ReadText(u"δέλτα"), u"greek");
  EXPECT_EQ(container.ReadText(u"ＦＵＬＬ"), u"wide");
  EXPECT_EQ(container.ReadText(u"ÉTÉ"), u"latin");
  EXPECT_EQ(container.ReadText(u"ПРИВЕТ"), u"cyrillic");
  EXPECT_EQ(container.ReadText(u"delta"), u"");
  EXPECT_EQ(container.ReadText(u"EMPTY"), u"");
  EXPECT_EQ(container.ReadText(u"missing"), u"");
  EXPECT_EQ(container.ReadText(u""), u"");
  // Bytes that are not UTF-8 are read through the ANSI code page.
  EXPECT_EQ(container.ReadText(u"BIG5"), u"資料");
}

TEST(MyStreams, AddStreamCopiesTheWholeSourceWhateverItsPosition) {
  TMemoryStream source(std::string("abcdef"));
  source.SetPosition(6);
  TMyStreams container;
  container.AddStream(u"S", &source);
  EXPECT_EQ(source.Position(), 6);
  source.SetPosition(2);
  container.AddStream(u"T", &source);
  EXPECT_EQ(source.Position(), 6);
  ASSERT_EQ(container.Count(), 2u);
  EXPECT_EQ(container.Data(0).Bytes(), "abcdef");
  EXPECT_EQ(container.Data(1).Bytes(), "abcdef");
  // The entry is a copy: changing the source later does not reach it.
  source.SetPosition(0);
  source.WriteBuffer("Z", 1);
  EXPECT_EQ(container.ReadText(u"s"), u"abcdef");

  TMemoryStream empty;
  container.AddStream(u"E", &empty);
  EXPECT_EQ(container.Data(2).Size(), 0);
  container.ClearItems();
  EXPECT_EQ(container.Count(), 0u);
  EXPECT_EQ(HexBytes(Written(container)), "00 00 00 00");
}

TEST(CopyStreamPiece, CountsAndPositions) {
  const struct {
    const char* what;
    int64_t source_position;
    int32_t count;
    std::string dest_before;
    int64_t dest_position;
    std::string dest_after;
  } cases[] = {
      {"count 0 copies the whole source from its start", 4, 0, "", 0, "0123456789"},
      {"count within what is left", 2, 3, "", 0, "234"},
      {"count beyond what is left is lowered", 7, 100, "", 0, "789"},
      {"source position at its end copies nothing", 10, 5, "ab", 2, "ab"},
      {"appends at the destination's position", 0, 2, "xy", 2, "xy01"},
      {"cuts off what followed the position", 5, 2, "abcdef", 1, "a56"},
      {"a negative count changes nothing", 0, -1, "abcdef", 1, "abcdef"},
  };
  for (const auto& c : cases) {
    TMemoryStream source(std::string("0123456789"));
    source.SetPosition(c.source_position);
    TMemoryStream dest(c.dest_before);
    dest.SetPosition(c.dest_position);
    CopyStreamPiece(source, dest, c.count);
    EXPECT_EQ(dest.Bytes(), c.dest_after) << c.what;
    const int64_t expected_position =
        c.count < 0 ? c.dest_position : static_cast<int64_t>(c.dest_after.size());
    EXPECT_EQ(dest.Position(), expected_position) << c.what;
  }
}

TEST(CopyStreamPiece, EmptySourceLeavesTheDestinationAlone) {
  TMemoryStream source;
  TMemoryStream dest(std::string("keep"));
  dest.SetPosition(1);
  CopyStreamPiece(source, dest, 0);
  CopyStreamPiece(source, dest, 10);
  EXPECT_EQ(dest.Bytes(), "keep");
  EXPECT_EQ(dest.Position(), 1);
}

namespace {

// A stream that claims more bytes than it delivers.
class TShortStream final : public TStream {
 public:
  int64_t Size() const override { return 100; }
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override { position_ = position; }
  void SetSize(int64_t) override {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::min<int64_t>(count, 10);
    std::memset(buffer, 'r', static_cast<size_t>(n));
    position_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t count) override { return count; }

 private:
  int64_t position_ = 0;
};

}  // namespace

TEST(CopyStreamPiece, ShortSourceRaisesTheReadError) {
  TShortStream source;
  TMemoryStream dest;
  try {
    CopyStreamPiece(source, dest, 0);
    FAIL() << "no error";
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }
}
