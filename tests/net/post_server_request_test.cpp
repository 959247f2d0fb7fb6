// PostServerRequest against the fault server: the request on the wire, every
// failure path with its exact text and number of attempts.
#include "net/post_server_request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/launch_params.h"
#include "fault_server.h"
#include "net/command_calls.h"
#include "net/link_settings.h"
#include "pack/compression.h"
#include "pack/my_streams.h"
#include "pack/stream.h"
#include "pack/text_encodings.h"
#include "support/test_support.h"

namespace {

const std::u16string kSendFailedNoBody = u"連線主機失敗E021：HttpSendRequest Connection fail:";
const std::u16string kSendFailedWithBody = u"連線主機失敗E020：HttpSendRequest Connection fail:";

std::string Narrow(const std::u16string& text) { return WideToUtf8(text); }

std::string FieldLine(const std::string& name, const std::string& value) {
  return "_" + EncodeHeaderField(name) + ":_" + EncodeHeaderField(value) + "_";
}

std::string Unpacked(const std::string& packed) {
  TMemoryStream source(packed);
  TMemoryStream dest;
  UnpackStream(source, dest);
  return dest.Bytes();
}

int32_t Le32At(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes.at(at + i));
  return static_cast<int32_t>(value);
}

// The entries of a written-out container, in order.
std::vector<std::pair<std::string, std::string>> ContainerEntries(const std::string& bytes) {
  std::vector<std::pair<std::string, std::string>> entries;
  size_t at = 0;
  const int32_t count = Le32At(bytes, at);
  at += 4;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t name_length = Le32At(bytes, at);
    std::string name = bytes.substr(at + 4, name_length);
    at += 4 + name_length;
    const int32_t data_length = Le32At(bytes, at);
    entries.emplace_back(name, bytes.substr(at + 4, data_length));
    at += 4 + data_length;
  }
  EXPECT_EQ(at, bytes.size()) << "bytes after the last entry";
  return entries;
}

std::vector<std::string> StringList(const std::string& bytes) {
  std::vector<std::string> list;
  EXPECT_EQ(bytes.substr(0, 27), "*VextTStringsToTStream 1.0*");
  const int32_t count = Le32At(bytes, 27);
  size_t at = 31;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t length = Le32At(bytes, at);
    list.push_back(bytes.substr(at + 4, length));
    at += 4 + length;
  }
  EXPECT_EQ(at, bytes.size());
  return list;
}

// The header lines of a request that the link itself chose (the ones that
// start with "_" or are the Content-Length line), in order.
std::vector<std::string> EnvelopeLines(const TRecordedRequest& request) {
  std::vector<std::string> lines;
  for (const std::string& line : request.HeaderLines()) {
    if (!line.empty() && (line[0] == '_' || line.rfind("Content-Length", 0) == 0)) {
      lines.push_back(line);
    }
  }
  return lines;
}

class PostServerRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ProxyType = 1;
    ASSERT_TRUE(server_.Start());
  }
  void TearDown() override {
    server_.Stop();
    ProxyType = 0;
    ReceiveTimeout = DataReceiveTimeout = SendTimeout = DataSendTimeout = 180000;
  }

  bool Post(const std::u16string& command, const std::vector<std::u16string>& params,
            const std::string& body, int32_t time_limit, int32_t attempts) {
    return PostTo(server_.Port(), command, params, body, time_limit, attempts);
  }
  bool PostTo(int port, const std::u16string& command, const std::vector<std::u16string>& params,
              const std::string& body, int32_t time_limit, int32_t attempts) {
    TMemoryStream body_stream(body);
    response_.Clear();
    error_.clear();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = PostServerRequest(u"A001", command, u"127.0.0.1", port, params, body_stream,
                                      response_, error_, time_limit, attempts);
    elapsed_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
    return ok;
  }

  TFaultServer server_;
  TMemoryStream response_;
  std::u16string error_;
  int64_t elapsed_ms_ = 0;
};

TEST_F(PostServerRequestTest, RequestOnTheWire) {
  server_.AddScript(
      {TFaultServer::Send(TFaultServer::HttpAnswer(TFaultServer::OkAnswerBody("RESULTOK")))});
  const std::vector<std::u16string> params = {u"LOGINKEY:pelkwarn",
                                              u"_FILENAME:dir\\Nimbara.exe",
                                              u"_BE:0",
                                              u"",
                                              u"DROPPED:",
                                              u"NOCOLON",
                                              u"loginkey:lower",
                                              u"_TWO:a:b",
                                              u"LOGINKEY:second",
                                              u"_NAME:資料"};
  ASSERT_TRUE(Post(u"TEST_CMD", params, "caller body", 0, 1)) << Narrow(error_);
  EXPECT_EQ(response_.Bytes(), "RESULTOK");

  const std::vector<TRecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const TRecordedRequest& request = requests[0];
  EXPECT_EQ(request.head.substr(0, request.head.find("\r\n")), "POST /A001 HTTP/1.1");

  const std::vector<std::string> envelope = EnvelopeLines(request);
  const std::vector<std::string> expected = {
      FieldLine("KV_OTHER_HEAD_KV", "T"),
      FieldLine("LOGINKEY", "pelkwarn"),
      FieldLine("LOGINKEY", "second"),
      "Content-Length:" + std::to_string(request.body.size()),
      FieldLine("CORVANELINKPOSTTYPE", "KVPOST"),
      FieldLine("CORVNAECOMMAND", "TEST_CMD"),
      FieldLine("_IF_RETURN_SEND_HEAD", "T"),
  };
  EXPECT_EQ(envelope, expected);
  // The envelope lines are the last header lines, in one block.
  const std::vector<std::string> all = request.HeaderLines();
  ASSERT_GE(all.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(all.end() - expected.size(), all.end()), expected);
  bool user_agent = false;
  bool accept = false;
  for (const std::string& line : all) {
    EXPECT_NE(line.rfind("Expect", 0), 0u) << line;
    EXPECT_NE(line.rfind("Content-Type", 0), 0u) << line;
    user_agent |= line == "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows 98)";
    accept |= line == "Accept: " + AcceptTypes;
  }
  EXPECT_TRUE(user_agent);
  EXPECT_TRUE(accept);

  const auto entries = ContainerEntries(request.body);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].first, "OTHERHEAD");
  EXPECT_EQ(entries[0].second.substr(0, 2), "\x78\x9C");  // default compression level
  const std::vector<std::string> lines = {
      "_FILENAME=dir\\Nimbara.exe",    "_BE=0", "=NOCOLON", "loginkey=lower", "_TWO=a:b",
      "_NAME=\xE8\xB3\x87\xE6\x96\x99"};
  EXPECT_EQ(StringList(Unpacked(entries[0].second)), lines);
  EXPECT_EQ(entries[1].first, "ORGSTREAM");
  EXPECT_EQ(Unpacked(entries[1].second), "caller body");
}

TEST_F(PostServerRequestTest, EnvelopeWithoutParameters) {
  server_.AddScript(
      {TFaultServer::Send(TFaultServer::HttpAnswer(TFaultServer::OkAnswerBody("ok")))});
  ASSERT_TRUE(Post(u"NOPARAMS", {}, "", 0, 1)) << Narrow(error_);
  ASSERT_TRUE(Post(u"NOPARAMS", {}, "only a body", 0, 1)) << Narrow(error_);
  ASSERT_TRUE(Post(u"LOGINONLY", {u"LOGINKEY:pelkwarn"}, "", 0, 1)) << Narrow(error_);

  const std::vector<TRecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  const std::vector<std::string> empty_expected = {
      "Content-Length:0", FieldLine("CORVANELINKPOSTTYPE", "KVPOST"),
      FieldLine("CORVNAECOMMAND", "NOPARAMS"), FieldLine("_IF_RETURN_SEND_HEAD", "T")};
  EXPECT_EQ(EnvelopeLines(requests[0]), empty_expected);
  EXPECT_EQ(requests[0].body, "");

  // Without parameters the packed body goes alone, no container.
  EXPECT_EQ(Unpacked(requests[1].body), "only a body");
  EXPECT_EQ(EnvelopeLines(requests[1])[0],
            "Content-Length:" + std::to_string(requests[1].body.size()));

  const auto entries = ContainerEntries(requests[2].body);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].first, "OTHERHEAD");
  EXPECT_TRUE(StringList(Unpacked(entries[0].second)).empty());
  EXPECT_EQ(EnvelopeLines(requests[2])[0], FieldLine("KV_OTHER_HEAD_KV", "T"));
  EXPECT_EQ(EnvelopeLines(requests[2])[1], FieldLine("LOGINKEY", "pelkwarn"));
}

struct TFaultCase {
  const char* name;
  std::vector<TFaultScript> scripts;
  std::string body;
  int32_t attempts;
  bool expected_result;
  std::u16string expected_error;  // compared whole
  int expected_connections;
  std::string expected_payload;
};

TEST_F(PostServerRequestTest, AnswersAndFailures) {
  const std::string ok_body = TFaultServer::OkAnswerBody("RESULTOK");
  const std::string ok = TFaultServer::HttpAnswer(ok_body);
  const std::string head_of_ok = ok.substr(0, ok.size() - ok_body.size());
  const std::string cut_in_middle = ok.substr(0, ok.size() - 5);
  const std::vector<TFaultCase> cases = {
      {"plain answer", {{TFaultServer::Send(ok)}}, "", 3, true, u"", 1, "RESULTOK"},
      {"HTTP status 500 with a valid answer",
       {{TFaultServer::Send(TFaultServer::HttpAnswer(ok_body, 500))}},
       "",
       3,
       true,
       u"",
       1,
       "RESULTOK"},
      {"chunked transfer encoding",
       {{TFaultServer::Send(TFaultServer::HttpAnswer(ok_body, 200, true))}},
       "",
       3,
       true,
       u"",
       1,
       "RESULTOK"},
      {"answer trickling one byte at a time",
       {{TFaultServer::Trickle(ok, 2)}},
       "",
       1,
       true,
       u"",
       1,
       "RESULTOK"},
      {"KVERR answer",
       {{TFaultServer::Send(TFaultServer::HttpAnswer(
           TFaultServer::ErrorAnswerBody("\xE6\x9F\xA5\xE7\x84\xA1NOFUNCTION")))}},
       "",
       3,
       false,
       u"查無NOFUNCTION",
       1,
       ""},
      {"damaged payload",
       {{TFaultServer::Send(
           TFaultServer::HttpAnswer(TFaultServer::Framed("KVSTART\x01\x02\x03garbage")))}},
       "",
       3,
       false,
       u"Decompression error: ",
       1,
       ""},
      {"length 0 followed by a close",
       {{TFaultServer::Send(TFaultServer::HttpAnswer(std::string(4, '\0')))}},
       "",
       3,
       false,
       u"接收主機回傳資料時，通訊失敗(03)INTERNET_STATUS_CONNECTION_CLOSED BufSize<=0",
       1,
       ""},
      {"connection dropped in the middle of the answer",
       {{TFaultServer::Send(cut_in_middle)}},
       "",
       3,
       false,
       u"接收主機回傳資料時，通訊失敗(03)INTERNET_STATUS_CONNECTION_CLOSED BufSize<=0",
       1,
       ""},
      {"connection dropped after the header",
       {{TFaultServer::Send(head_of_ok)}},
       "",
       3,
       false,
       u"接收主機回傳資料時，通訊失敗(02)INTERNET_STATUS_CONNECTION_CLOSED "
       u"lpdwNumberOfBytesRead=0",
       1,
       ""},
      {"connection dropped before the answer, no body",
       {{}},
       "",
       3,
       false,
       kSendFailedNoBody,
       3,
       ""},
      {"connection dropped before the answer, with a body",
       {{}},
       "some body",
       2,
       false,
       kSendFailedWithBody,
       2,
       ""},
      {"connection reset before the answer",
       {{TFaultServer::Reset()}},
       "",
       2,
       false,
       kSendFailedNoBody + u"Connection reset by peer",
       2,
       ""},
      {"first attempt dropped, second answered",
       {{}, {TFaultServer::Send(ok)}},
       "",
       3,
       true,
       kSendFailedNoBody,
       2,
       "RESULTOK"},
  };
  for (const TFaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFaultServer server;
    ASSERT_TRUE(server.Start());
    for (const TFaultScript& script : c.scripts) server.AddScript(script);
    // Without parameters an empty caller body makes an empty request body.
    EXPECT_EQ(PostTo(server.Port(), u"TEST_SERVER_ALIVE", {}, c.body, 0, c.attempts),
              c.expected_result);
    if (c.expected_error.back() == u' ') {  // a prefix: the rest is the library's text
      EXPECT_EQ(error_.substr(0, c.expected_error.size()), c.expected_error);
    } else {
      EXPECT_EQ(error_, c.expected_error) << Narrow(error_);
    }
    EXPECT_EQ(server.Connections(), c.expected_connections);
    EXPECT_EQ(response_.Bytes(), c.expected_payload);
  }
}

TEST_F(PostServerRequestTest, ConnectionRefusedIsRepeated) {
  const int port = FreeLoopbackPort();
  TMemoryStream body;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(PostServerRequest(u"A001", u"TEST_SERVER_ALIVE", u"127.0.0.1", port, {}, body,
                                 response_, error_, 0, 3));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(error_, kSendFailedNoBody + u"Connection refused");
  // Three attempts: two pauses of 200 ms between them and one after the last.
  EXPECT_GE(elapsed, std::chrono::milliseconds(500));
}

TEST_F(PostServerRequestTest, StallAfterTheAnswerBeganHitsTheCallerTimeLimit) {
  server_.AddScript({TFaultServer::Send("HTTP/1.1 200 OK\r\n"), TFaultServer::Pause(20000)});
  EXPECT_FALSE(Post(u"TEST_SERVER_ALIVE", {u"LOGINKEY:pelkwarn"}, "", 1, 3));
  EXPECT_EQ(error_, u"等待主機傳回資料時，通訊失敗(03)：(2/1)");
  EXPECT_EQ(server_.Connections(), 1);  // no repeat after the time limit
}

TEST_F(PostServerRequestTest, SilentServerEndsWithTheReceiveTimeout) {
  ReceiveTimeout = DataReceiveTimeout = 300;
  server_.AddScript({TFaultServer::Pause(20000)});
  EXPECT_FALSE(Post(u"TEST_SERVER_ALIVE", {u"LOGINKEY:pelkwarn"}, "", 0, 2));
  EXPECT_EQ(error_, kSendFailedWithBody);  // the parameters make a container body
  EXPECT_EQ(server_.Connections(), 2);
}

TEST_F(PostServerRequestTest, BodyNobodyReadsEndsWithTheSendTimeout) {
  SendTimeout = DataSendTimeout = 300;
  server_.SetReadRequests(false);
  // "SRC30F" is never divided: the whole body must go out in this request.
  std::mt19937 generator(3);
  std::string body(16 << 20, '\0');
  for (char& c : body) c = static_cast<char>(generator());
  EXPECT_FALSE(Post(u"SRC30F", {}, body, 0, 2));
  EXPECT_EQ(error_, kSendFailedWithBody);
  EXPECT_EQ(server_.Connections(), 2);
}

TEST_F(PostServerRequestTest, AnswerStallingAfterItsHeaderEndsWithTheReceiveTimeout) {
  ReceiveTimeout = DataReceiveTimeout = 300;
  const std::string ok = TFaultServer::HttpAnswer(TFaultServer::OkAnswerBody("RESULTOK"));
  server_.AddScript({TFaultServer::Send(ok.substr(0, ok.size() - 6)), TFaultServer::Pause(20000)});
  EXPECT_FALSE(Post(u"TEST_SERVER_ALIVE", {u"LOGINKEY:pelkwarn"}, "", 0, 3));
  EXPECT_EQ(error_,
            u"接收主機回傳資料時，通訊失敗(03)INTERNET_STATUS_CONNECTION_CLOSED BufSize<=0");
  EXPECT_EQ(server_.Connections(), 1);
}

TEST_F(PostServerRequestTest, CallsOnTwoThreadsDoNotWaitForEachOther) {
  // The first call's answer is held back until the second call has its own.
  const std::string ok = TFaultServer::HttpAnswer(TFaultServer::OkAnswerBody("RESULTOK"));
  TFaultServer slow;
  ASSERT_TRUE(slow.Start());
  slow.AddScript({TFaultServer::Pause(1500), TFaultServer::Send(ok)});
  server_.AddScript({TFaultServer::Send(ok)});

  std::atomic<bool> slow_done{false};
  bool slow_ok = false;
  std::thread first([&] {
    TMemoryStream body, response;
    std::u16string error;
    slow_ok = PostServerRequest(u"A001", u"SLOW", u"127.0.0.1", slow.Port(), {}, body, response,
                                error, 0, 1);
    slow_done = true;
  });
  while (slow.Connections() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(Post(u"FAST", {}, "", 0, 1)) << Narrow(error_);
  EXPECT_FALSE(slow_done.load());  // the fast call did not queue behind the slow one
  first.join();
  EXPECT_TRUE(slow_ok);
}

TEST_F(PostServerRequestTest, CommandCallsTurnAnswersIntoText) {
  server_.AddScript({TFaultServer::Send(
      TFaultServer::HttpAnswer(TFaultServer::OkAnswerBody("\xE8\xB3\x87\xE6\x96\x99 UTF-8")))});
  server_.AddScript({TFaultServer::Send(
      TFaultServer::HttpAnswer(TFaultServer::OkAnswerBody("\xB8\xEA\xAE\xC6")))});
  server_.AddScript(
      {TFaultServer::Send(TFaultServer::HttpAnswer(TFaultServer::Framed("KVSTART")))});
  std::u16string text;
  std::u16string error;
  ASSERT_TRUE(CallCommandText(u"A001", u"X", u"127.0.0.1", server_.Port(), {}, text, error, 0, 1));
  EXPECT_EQ(text, u"資料 UTF-8");
  ASSERT_TRUE(CallCommandText(u"A001", u"X", u"127.0.0.1", server_.Port(), {}, text, error, 0, 1));
  EXPECT_EQ(text, u"資料");
  // An answer without payload: true and an empty text.
  text = u"stale";
  ASSERT_TRUE(CallCommandText(u"A001", u"X", u"127.0.0.1", server_.Port(), {}, text, error, 0, 1));
  EXPECT_EQ(text, u"");
}

TEST_F(PostServerRequestTest, CallCommandStreamEmptiesTheResponseEvenOnFailure) {
  TMemoryStream response(std::string("old bytes"));
  std::u16string error;
  EXPECT_FALSE(CallCommandStream(u"A001", u"X", u"127.0.0.1", FreeLoopbackPort(), {}, response,
                                 error, 0, 1));
  EXPECT_EQ(response.Size(), 0);
  EXPECT_EQ(error, kSendFailedNoBody + u"Connection refused");
}

TEST_F(PostServerRequestTest, HostThatCannotBeUsedFailsAtConnect) {
  TMemoryStream body;
  EXPECT_FALSE(PostServerRequest(u"A001", u"X", u"evil.example/path?", server_.Port(), {}, body,
                                 response_, error_, 0, 1));
  EXPECT_EQ(error_, u"連線主機失敗E008：InternetConnect Connection fail");
  EXPECT_EQ(server_.Connections(), 0);
}

}  // namespace
