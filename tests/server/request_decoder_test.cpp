// DecodeRequest on its own: a valid request decodes, and damaged variants of
// it (random byte changes, cuts and insertions in every part) are either
// decoded or refused with a text — never a crash or an unbounded allocation.
// Run under the address sanitizer build to catch out-of-bounds reads.

#include "request_decoder.h"

#include <random>

#include <gtest/gtest.h>

#include "server_test_client.h"
#include "support/test_support.h"
#include "upload_store.h"

namespace {

THttpRequest ToHttp(const TWireRequest& wire) {
  THttpRequest http;
  for (const std::string& line : wire.header_lines) {
    const size_t colon = line.find(':');
    http.headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
  }
  http.body = wire.body;
  http.peer = "127.0.0.1:1";
  return http;
}

TEST(RequestDecoderTest, DecodesTheEnvelope) {
  TDecodeSettings settings;
  settings.login_key = "pelkwarn";
  const THttpRequest http = ToHttp(BuildEnvelope(
      "GET_SERVER_FILE_STREAM", {"LOGINKEY:pelkwarn", "_FILENAME:a\\b.exe", "_BE:0"}, "body!"));
  TServerRequest request;
  std::string error;
  ASSERT_TRUE(DecodeRequest(http, settings, &request, &error)) << error;
  EXPECT_EQ(request.command, "GET_SERVER_FILE_STREAM");
  EXPECT_EQ(request.Item("_FILENAME"), "a\\b.exe");
  EXPECT_EQ(request.Item("_BE"), "0");
  EXPECT_EQ(request.body, "body!");
  EXPECT_EQ(request.peer, "127.0.0.1:1");
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"KV_OTHER_HEAD_KV", "T"},
      {"LOGINKEY", "pelkwarn"},
      {"CORVANELINKPOSTTYPE", "KVPOST"},
      {"CORVNAECOMMAND", "GET_SERVER_FILE_STREAM"},
      {"_IF_RETURN_SEND_HEAD", "T"}};
  EXPECT_EQ(request.fields, fields);
}

TEST(RequestDecoderTest, DamagedVariantsAreDecodedOrRefusedWithAText) {
  TTempDir uploads;
  TUploadStore store(uploads.path(), TUploadStore::TLimits());
  TDecodeSettings settings;
  settings.login_key = "pelkwarn";
  settings.max_unpacked_bytes = 1 << 20;
  settings.uploads = &store;
  const THttpRequest original = ToHttp(BuildEnvelope(
      "ECHO", {"LOGINKEY:pelkwarn", "_FILENAME:x", "A:b"}, ExecutableLikeBytes(3000)));

  std::mt19937 random(2024);
  int refused = 0, decoded = 0;
  for (int round = 0; round < 3000; ++round) {
    THttpRequest http = original;
    // Pick the part to damage: the body, or one header name or value.
    std::string* target = &http.body;
    const size_t which = random() % (1 + 2 * http.headers.size());
    if (which > 0) {
      auto& header = http.headers[(which - 1) / 2];
      target = (which % 2) ? &header.first : &header.second;
    }
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !target->empty(); ++e) {
      const size_t at = random() % target->size();
      switch (random() % 4) {
        case 0:
          (*target)[at] = static_cast<char>(random() & 0xFF);
          break;
        case 1:
          (*target)[at] ^= static_cast<char>(1u << (random() % 8));
          break;
        case 2:
          target->resize(at);
          break;
        default:
          target->insert(at, 1 + random() % 8, static_cast<char>(random() & 0xFF));
      }
    }
    TServerRequest request;
    std::string error;
    if (DecodeRequest(http, settings, &request, &error)) {
      ++decoded;
    } else {
      ++refused;
      EXPECT_FALSE(error.empty()) << "round " << round;
    }
  }
  EXPECT_GT(refused, 1000);  // most damage is noticed
  EXPECT_EQ(decoded + refused, 3000);
}

}  // namespace
