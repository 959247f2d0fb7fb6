// The launcher's own server link against the server: the command calls, the
// file commands and a divided upload, end to end over 127.0.0.1.

#include <gtest/gtest.h>

#include <mutex>
#include <random>

#include "digests.h"
#include "net/command_calls.h"
#include "pack/text_encodings.h"
#include "server_test_client.h"
#include "support/test_support.h"

namespace {

const std::u16string kLogin = u"LOGINKEY:pelkwarn";

class LinkEndToEndTest : public ::testing::Test {
 protected:
  std::u16string host() const { return u"127.0.0.1"; }
  TServerFixture fixture_;
};

TEST_F(LinkEndToEndTest, AliveAndFileInformation) {
  std::u16string result, error;
  ASSERT_TRUE(CallCommandText(u"A001", u"TEST_SERVER_ALIVE", host(), fixture_.port(), {kLogin},
                              result, error, 3, 0))
      << WideToUtf8(error);
  EXPECT_EQ(result, u"RESULTOK");

  fixture_.PutFile("_WEBPATH/CorvanePage/Nimbara.exe", std::string(1000, 'n'));
  ASSERT_TRUE(CallCommandText(u"A001", u"GET_SERVER_FILE_SIZE_TIME", host(), fixture_.port(),
                              {kLogin, u"_FILENAME:_WEBPATH\\CorvanePage\\Nimbara.exe"}, result,
                              error, 0, 3))
      << WideToUtf8(error);
  EXPECT_EQ(result.substr(0, 5), u"1000,");
  EXPECT_EQ(std::count(result.begin(), result.end(), u','), 3);
  EXPECT_EQ(std::count(result.begin(), result.end(), u'|'), 3);

  // A refusal reaches the caller as the server's text.
  EXPECT_FALSE(CallCommandText(u"A001", u"GET_SERVER_FILE_SIZE_TIME", host(), fixture_.port(),
                               {kLogin, u"_FILENAME:_WEBPATH\\\u8CC7\u6599.exe"}, result, error, 0,
                               1));
  EXPECT_EQ(error, u"file not found: _WEBPATH\\\u8CC7\u6599.exe");
  EXPECT_FALSE(
      CallCommandText(u"A001", u"NO_SUCH", host(), fixture_.port(), {kLogin}, result, error, 0, 1));
  EXPECT_EQ(error, u"\u67E5\u7121\u6B64\u7A0B\u5F0FNOFUNCTIONNO_SUCH");
}

TEST_F(LinkEndToEndTest, PiecesAndDigestConfirmation) {
  const std::string content = ExecutableLikeBytes(1000000);
  fixture_.PutFile("_WEBPATH/CorvanePage/Nimbara.exe", content);
  const std::u16string name = u"_FILENAME:_WEBPATH\\CorvanePage\\Nimbara.exe";
  TMemoryStream response;
  std::u16string error;
  ASSERT_TRUE(CallCommandStream(u"A001", u"GET_SERVER_FILE_STREAM", host(), fixture_.port(),
                                {kLogin, name, u"_BE:524288", u"_LEN:475712"}, response, error, 0,
                                3))
      << WideToUtf8(error);
  EXPECT_TRUE(response.Bytes() == content.substr(524288));

  const std::string md5 = Md5HexUpper(content.substr(0, 524288));
  ASSERT_TRUE(CallCommandStream(
      u"A001", u"GET_SERVER_FILE_STREAM", host(), fixture_.port(),
      {kLogin, name, u"_BE:0", u"_LEN:524288", u"_AUsesMD5Check:T", u"_MD5Str:" + AsciiToWide(md5)},
      response, error, 0, 3))
      << WideToUtf8(error);
  EXPECT_EQ(response.Bytes(), md5);
  EXPECT_EQ(fixture_.server().Counters().digest_confirmed_pieces, 1u);
  EXPECT_EQ(fixture_.server().Counters().data_pieces, 1u);
}

TEST_F(LinkEndToEndTest, DividedUploadOfThreeMebibytes) {
  // Record the stream identifiers the server hands out.
  std::mutex mutex;
  std::vector<std::string> ids;
  TCommandHandler inner = fixture_.server().Handler("GET_SERVER_STREAM_ID");
  fixture_.server().RegisterCommand("GET_SERVER_STREAM_ID", [&, inner](const TServerRequest& r) {
    TServerAnswer answer = inner(r);
    std::lock_guard<std::mutex> lock(mutex);
    ids.push_back(answer.payload);
    return answer;
  });

  // Answers the digest of the body it got, so the text answer is exact.
  fixture_.server().RegisterCommand("BODY_MD5", [](const TServerRequest& r) {
    TServerAnswer answer;
    answer.payload = Md5HexUpper(r.body);
    return answer;
  });

  std::mt19937 random(7);
  std::string body(3 << 20, '\0');
  for (char& c : body) c = static_cast<char>(random() & 0xFF);  // packs to more than 2 MiB
  TMemoryStream request_body(body);
  std::u16string result, error;
  ASSERT_TRUE(CallCommandBodyText(u"A001", u"BODY_MD5", host(), fixture_.port(), {kLogin},
                                  request_body, result, error, 0, 1))
      << WideToUtf8(error);
  ASSERT_EQ(ids.size(), 1u) << "the body was not divided";
  EXPECT_EQ(fixture_.server().Counters().requests, 1u + 7u + 1u);  // id, 7 pieces, the call

  EXPECT_EQ(result, AsciiToWide(Md5HexUpper(body)));

  // The identifier was used up by the call.
  const TFramedAnswer reused =
      ParseFramed(Send(fixture_.port(),
                       [&] {
                         TWireRequest request;
                         request.header_lines = {FieldLine("KV_OTHER_HEAD_KV", "T"),
                                                 FieldLine("LOGINKEY", "pelkwarn"),
                                                 "Content-Length:0",
                                                 FieldLine("_SEND_DIV_POST_STREAMID", ids[0]),
                                                 FieldLine("CORVANELINKPOSTTYPE", "KVPOST"),
                                                 FieldLine("CORVNAECOMMAND", "ECHO")};
                         return request;
                       }())
                      .body);
  EXPECT_EQ(reused.error, "unknown upload stream id");
}

}  // namespace
