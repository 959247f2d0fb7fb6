#include "platform/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Md5HexTest, Rfc1321VectorsInUppercase) {
  struct Case {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  for (const Case& c : cases) EXPECT_EQ(Md5Hex(c.input), c.digest) << c.input;
}

TEST(Md5HexTest, BinaryAndLargeInputs) {
  EXPECT_EQ(Md5Hex(std::string("\x00\xFF\x00", 3)), "B2B237A1BBD9C57B93B952C24E7936A8");
  EXPECT_EQ(Md5Hex(std::string(1000000, 'a')), "7707D6AE4E027C70EEA2A935C2296F21");
}

TEST(Md5Test, PartsGiveTheDigestOfTheWhole) {
  const std::string text =
      "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
  for (size_t cut : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, text.size()}) {
    TMd5 md5;
    md5.Update(text.data(), cut);
    md5.Update(text.data() + cut, text.size() - cut);
    EXPECT_EQ(md5.FinishHex(), "57EDF4A22BE3C955AC49DA2E2107B67A") << cut;
  }
}

}  // namespace
