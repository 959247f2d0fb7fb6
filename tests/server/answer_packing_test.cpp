// Answer framing and the unpacking of request parts (limits, damage).

#include "answer_packing.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "support/test_support.h"

namespace {

std::string Le32(uint32_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

// Inflates one zlib stream with zlib itself (independent of the server).
std::string ZlibInflate(const std::string& packed, size_t size) {
  std::string out(size, '\0');
  uLongf out_size = size;
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &out_size,
                       reinterpret_cast<const Bytef*>(packed.data()), packed.size()),
            Z_OK);
  out.resize(out_size);
  return out;
}

std::string ZlibDeflate(const std::string& raw) {
  uLongf size = compressBound(raw.size());
  std::string out(size, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                      reinterpret_cast<const Bytef*>(raw.data()), raw.size(), 6),
            Z_OK);
  out.resize(size);
  return out;
}

TEST(AnswerFramingTest, ErrorAnswerBytes) {
  EXPECT_EQ(FrameError("bad"), Le32(8) + "KVERR" + "bad");
  EXPECT_EQ(FrameError(""), Le32(5) + "KVERR");
  const std::string chinese = "\xE6\x9F\xA5\xE7\x84\xA1\xE6\xAD\xA4\xE7\xA8\x8B\xE5\xBC\x8F";
  EXPECT_EQ(FrameError(chinese), Le32(5 + 15) + "KVERR" + chinese);
}

TEST(AnswerFramingTest, PayloadIsOneZlibStreamReadableByZlib) {
  for (const std::string& raw :
       {std::string(), std::string("RESULTOK"), ExecutableLikeBytes(300000)}) {
    const std::string framed = FrameAnswer(raw);
    ASSERT_GE(framed.size(), 11u + 8u);
    EXPECT_EQ(framed.substr(0, 4), Le32(static_cast<uint32_t>(framed.size() - 4)));
    EXPECT_EQ(framed.substr(4, 7), "KVSTART");
    EXPECT_EQ(HexBytes(framed.substr(11, 2)), "78 9C");
    EXPECT_EQ(ZlibInflate(framed.substr(11), raw.size() + 1), raw);
    EXPECT_EQ(FramePackedAnswer(PackPayload(raw)), framed);
  }
}

TEST(AnswerFramingTest, LargePayloadCarriesTheMarkerAboveFiveMebibytes) {
  const std::string at_limit(5242880, 'a');
  const std::string above(5242881, 'a');
  const std::string packed_at = PackPayload(at_limit);
  EXPECT_EQ(HexBytes(packed_at.substr(0, 2)), "78 9C");
  EXPECT_EQ(ZlibInflate(packed_at, at_limit.size()), at_limit);

  const std::string framed = FrameAnswer(above);
  EXPECT_EQ(framed.substr(4, 7 + 11), "KVSTART_LaRgEsIzE_");
  EXPECT_EQ(HexBytes(framed.substr(22, 2)), "78 9C");
  EXPECT_EQ(ZlibInflate(framed.substr(22), above.size()), above);
}

TEST(UnpackRequestPartTest, ReadsZlibWithAndWithoutMarker) {
  const std::string raw = ExecutableLikeBytes(200000);
  std::string out, error;
  ASSERT_TRUE(UnpackRequestPart(ZlibDeflate(raw), -1, &out, &error)) << error;
  EXPECT_EQ(out, raw);
  ASSERT_TRUE(UnpackRequestPart("_LaRgEsIzE_" + ZlibDeflate(raw), -1, &out, &error)) << error;
  EXPECT_EQ(out, raw);
  ASSERT_TRUE(UnpackRequestPart("", -1, &out, &error));
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(UnpackRequestPart(ZlibDeflate(""), 0, &out, &error)) << error;
  EXPECT_TRUE(out.empty());
}

TEST(UnpackRequestPartTest, RefusesDamageAndExcess) {
  const std::string good = ZlibDeflate(std::string(1000, 'x'));
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x55;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ABCD", "Decompression error: data error"},
      {"_LaRgEsIzE_ABCD", "Decompression error: data error"},
      {good.substr(0, good.size() - 6), "Decompression error: data ends before the end"},
      {good + "tail", "Decompression error: bytes after the end of the stream"},
      {flipped, "Decompression error: data error"},
  };
  for (const auto& [packed, expected] : cases) {
    std::string out = "left over", error;
    EXPECT_FALSE(UnpackRequestPart(packed, -1, &out, &error)) << expected;
    EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
    EXPECT_TRUE(out.empty());
  }
}

TEST(UnpackRequestPartTest, OutputLimitStopsADecompressionBomb) {
  // 64 MiB of zeros pack to about 64 KiB; the limit stops unpacking early.
  const std::string bomb = ZlibDeflate(std::string(64 << 20, '\0'));
  ASSERT_LT(bomb.size(), 100000u);
  std::string out, error;
  EXPECT_FALSE(UnpackRequestPart(bomb, 1 << 20, &out, &error));
  EXPECT_EQ(error, "Decompression error: output exceeds 1048576 bytes");
  EXPECT_TRUE(out.empty());
  // Exactly at the limit passes.
  const std::string exact = ZlibDeflate(std::string(1 << 20, '\0'));
  EXPECT_TRUE(UnpackRequestPart(exact, 1 << 20, &out, &error)) << error;
  EXPECT_EQ(out.size(), 1u << 20);
}

}  // namespace
