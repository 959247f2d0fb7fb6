#include "platform/zlib_codec.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pack/compression.h"
#include "pack/stream.h"
#include "support/test_support.h"

namespace {

std::string Deflate(TDeflater& deflater, const std::string& input, int level) {
  EXPECT_EQ(deflater.Start(level), kZlibOk);
  std::string out(input.size() + input.size() / 10 + 1024, '\0');
  deflater.SetInput(input.data(), input.size());
  deflater.SetOutput(out.data(), out.size());
  EXPECT_EQ(deflater.Deflate(true), kZlibStreamEnd);
  out.resize(out.size() - deflater.OutputLeft());
  deflater.End();
  return out;
}

std::string Inflate(TInflater& inflater, const std::string& packed, size_t size) {
  EXPECT_EQ(inflater.Start(), kZlibOk);
  std::string out(size + 16, '\0');
  inflater.SetInput(packed.data(), packed.size());
  inflater.SetOutput(out.data(), out.size());
  EXPECT_EQ(inflater.Inflate(), kZlibStreamEnd);
  out.resize(out.size() - inflater.OutputLeft());
  inflater.End();
  return out;
}

// The bytes a never-used codec gives: computed on a thread of its own, whose
// kept codec state starts fresh.
std::string FreshDeflate(const std::string& input, int level) {
  std::string out;
  std::thread([&] {
    TDeflater deflater;
    out = Deflate(deflater, input, level);
  }).join();
  return out;
}

// A codec state kept from earlier uses (other levels, an abandoned stream)
// gives exactly the bytes of a fresh one, on every level.
TEST(ZlibCodecReuse, KeptStateGivesTheBytesOfAFreshOne) {
  const std::string input = ExecutableLikeBytes(300000);
  const std::vector<int> levels = {9, 1, -1, 0, 6, 9, 9, 1};
  std::vector<std::string> expected;
  for (int level : levels) expected.push_back(FreshDeflate(input, level));

  {
    // Leave a stream half done: the next Start must not continue it.
    TDeflater abandoned;
    ASSERT_EQ(abandoned.Start(1), kZlibOk);
    std::string out(4096, '\0');
    abandoned.SetInput(input.data(), 100000);
    abandoned.SetOutput(out.data(), out.size());
    abandoned.Deflate(false);
  }
  TInflater inflater;
  for (size_t i = 0; i < levels.size(); ++i) {
    TDeflater deflater;  // a new object each time, sharing the thread's state
    const std::string packed = Deflate(deflater, input, levels[i]);
    EXPECT_EQ(HexBytes(packed), HexBytes(expected[i])) << "level " << levels[i];
    EXPECT_TRUE(Inflate(inflater, packed, input.size()) == input) << "level " << levels[i];
  }
}

// Two codecs of one direction active at once on one thread do not share a
// state: interleaved streams both come out whole.
TEST(ZlibCodecReuse, TwoActiveCodecsOnOneThreadStaySeparate) {
  const std::string a = ExecutableLikeBytes(200000);
  const std::string b(150000, 'x');
  TDeflater first, second;
  ASSERT_EQ(first.Start(6), kZlibOk);
  ASSERT_EQ(second.Start(1), kZlibOk);
  std::string out_a(300000, '\0'), out_b(300000, '\0');
  first.SetOutput(out_a.data(), out_a.size());
  second.SetOutput(out_b.data(), out_b.size());
  for (size_t at = 0; at < 200000; at += 50000) {
    first.SetInput(a.data() + at, 50000);
    ASSERT_GE(first.Deflate(false), 0);
    if (at < 150000) {
      second.SetInput(b.data() + at, 50000);
      ASSERT_GE(second.Deflate(false), 0);
    }
  }
  ASSERT_EQ(first.Deflate(true), kZlibStreamEnd);
  ASSERT_EQ(second.Deflate(true), kZlibStreamEnd);
  out_a.resize(out_a.size() - first.OutputLeft());
  out_b.resize(out_b.size() - second.OutputLeft());
  EXPECT_EQ(HexBytes(out_a), HexBytes(FreshDeflate(a, 6)));
  EXPECT_EQ(HexBytes(out_b), HexBytes(FreshDeflate(b, 1)));

  TInflater in_a, in_b;
  ASSERT_EQ(in_a.Start(), kZlibOk);
  ASSERT_EQ(in_b.Start(), kZlibOk);
  std::string back_a(a.size(), '\0'), back_b(b.size(), '\0');
  in_a.SetOutput(back_a.data(), back_a.size());
  in_b.SetOutput(back_b.data(), back_b.size());
  const size_t half_a = out_a.size() / 2, half_b = out_b.size() / 2;
  in_a.SetInput(out_a.data(), half_a);
  in_b.SetInput(out_b.data(), half_b);
  ASSERT_EQ(in_a.Inflate(), kZlibOk);
  ASSERT_EQ(in_b.Inflate(), kZlibOk);
  in_a.SetInput(out_a.data() + half_a, out_a.size() - half_a);
  in_b.SetInput(out_b.data() + half_b, out_b.size() - half_b);
  EXPECT_EQ(in_a.Inflate(), kZlibStreamEnd);
  EXPECT_EQ(in_b.Inflate(), kZlibStreamEnd);
  EXPECT_TRUE(back_a == a);
  EXPECT_TRUE(back_b == b);
}

// A kept inflate state that last saw broken data decodes the next stream.
TEST(ZlibCodecReuse, InflateAfterADataError) {
  const std::string input = ExecutableLikeBytes(100000);
  TDeflater deflater;
  const std::string packed = Deflate(deflater, input, -1);
  std::string broken = packed;
  for (size_t i = 10; i < 60; ++i) broken[i] = static_cast<char>(0xff);
  TMemoryStream source(broken), dest;
  EXPECT_THROW(DecompressStream(source, dest, nullptr, -1), ECompressionError);
  TInflater inflater;
  EXPECT_TRUE(Inflate(inflater, packed, input.size()) == input);
}

}  // namespace
