// The log keeps one request on one line whatever the request held.

#include "server_log.h"

#include <gtest/gtest.h>

namespace {

TEST(ServerLogTest, EscapingKeepsOneRequestOnOneLine) {
  const std::vector<std::tuple<std::string, bool, std::string>> cases = {
      {"TEST_SERVER_ALIVE", true, "TEST_SERVER_ALIVE"},
      {"A B", true, "A\\x20B"},                       // a blank would split the command field
      {"X\nfake line", true, "X\\x0Afake\\x20line"},  // no forged log lines
      {"a\\b", true, "a\\\\b"},
      {"file not found: a\\b", false, "file not found: a\\\\b"},
      {"say \"hi\"\r\n", false, "say \\\"hi\\\"\\x0D\\x0A"},
      {std::string("nul\0x", 5), false, "nul\\x00x"},
      {"\xE6\x9F\xA5\x7F", false, "\xE6\x9F\xA5\\x7F"},  // UTF-8 stays, DEL is escaped
  };
  for (const auto& [text, is_command, expected] : cases) {
    EXPECT_EQ(EscapeLogText(text, is_command), expected);
  }
}

}  // namespace
