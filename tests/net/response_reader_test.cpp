#include "net/response_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fake_request.h"
#include "fault_server.h"
#include "pack/compression.h"
#include "pack/stream.h"
#include "platform/http_transport.h"
#include "support/test_support.h"

namespace {

std::string Le32(uint32_t n) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((n >> (8 * i)) & 0xFF);
  return bytes;
}

// A stream of zero bytes that holds nothing in memory.
class TZeroStream : public TStream {
 public:
  explicit TZeroStream(int64_t size) : size_(size) {}
  int64_t Size() const override { return size_; }
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override { position_ = position; }
  void SetSize(int64_t size) override { size_ = size; }
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::max<int64_t>(0, std::min(count, size_ - position_));
    std::memset(buffer, 0, static_cast<size_t>(n));
    position_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { throw EStreamError("read-only stream"); }

 private:
  int64_t size_;
  int64_t position_ = 0;
};

const std::u16string kClosedInBody =
    u"接收主機回傳資料時，通訊失敗(03)INTERNET_STATUS_CONNECTION_CLOSED BufSize<=0";
const std::u16string kClosedBeforeLength =
    u"接收主機回傳資料時，通訊失敗(02)INTERNET_STATUS_CONNECTION_CLOSED "
    u"lpdwNumberOfBytesRead=0";

class ResponseReaderTest : public ::testing::Test {
 protected:
  ResponseReaderTest() : worker_(nullptr) { request_.worker = &worker_; }

  bool ReadAnswer() { return ReadServerResponse(&request_, response_, 0, &worker_, error_); }

  TCheckConnectThread worker_;
  TFakeRequest request_;
  TMemoryStream response_{std::string("untouched")};
  std::u16string error_;
};

TEST_F(ResponseReaderTest, StopsRightAfterTheAnnouncedLength) {
  const std::string packed = TFaultServer::Packed("hello, server");
  const std::string rest = "KVSTART" + packed;
  request_.Add(Le32(static_cast<uint32_t>(rest.size())));
  request_.Add(rest.substr(0, 10));
  request_.Add(rest.substr(10));
  request_.Add("bytes after the answer");
  ASSERT_TRUE(ReadAnswer()) << std::string(error_.begin(), error_.end());
  EXPECT_EQ(response_.Bytes(), "hello, server");
  EXPECT_EQ(response_.Position(), 0);
  // The piece after the announced length was never asked for.
  ASSERT_EQ(request_.pieces.size(), 1u);
  EXPECT_EQ(request_.pieces.front().bytes, "bytes after the answer");
}

// Answers read one after another on one thread share kept memory: a long
// answer, a damaged one and short ones leave nothing behind for the next.
TEST(ResponseReaderSequenceTest, EachAnswerHoldsOnlyItsOwnBytes) {
  const std::string big = ExecutableLikeBytes(700000);
  struct TCase {
    std::string payload;
    bool damaged;
  };
  const TCase cases[] = {{big, false}, {"short", false}, {big.substr(0, 300000), true},
                         {"RESULTOK", false}, {big.substr(1000, 400000), false}, {"x", false}};
  for (const TCase& c : cases) {
    TCheckConnectThread worker(nullptr);
    TFakeRequest request;
    request.worker = &worker;
    std::string packed = TFaultServer::Packed(c.payload);
    if (c.damaged) packed.replace(packed.size() / 2, 64, std::string(64, '\xff'));
    const std::string rest = "KVSTART" + packed;
    request.Add(Le32(static_cast<uint32_t>(rest.size())));
    for (size_t at = 0; at < rest.size(); at += 100000) request.Add(rest.substr(at, 100000));
    TMemoryStream response;
    std::u16string error;
    const bool ok = ReadServerResponse(&request, response, 0, &worker, error);
    if (c.damaged) {
      EXPECT_FALSE(ok);
      continue;
    }
    ASSERT_TRUE(ok) << c.payload.size();
    EXPECT_TRUE(response.Bytes() == c.payload) << c.payload.size();
  }
}

TEST_F(ResponseReaderTest, LengthArrivingInSingleBytesIsCompletedBeforeUse) {
  const std::string answer = TFaultServer::OkAnswerBody("RESULTOK");
  for (size_t i = 0; i < 4; ++i) request_.Add(answer.substr(i, 1));
  request_.Add(answer.substr(4));
  ASSERT_TRUE(ReadAnswer());
  EXPECT_EQ(response_.Bytes(), "RESULTOK");
}

TEST_F(ResponseReaderTest, MarkerSplitAcrossReadsIsRecognised) {
  const std::string answer = TFaultServer::OkAnswerBody("RESULTOK");
  request_.Add(answer.substr(0, 4));
  request_.Add(answer.substr(4, 3));  // "KVS"
  request_.Add(answer.substr(7, 4));  // "TART"
  request_.Add(answer.substr(11));
  ASSERT_TRUE(ReadAnswer());
  EXPECT_EQ(response_.Bytes(), "RESULTOK");
}

TEST_F(ResponseReaderTest, OneByteReadsDeliverThePayload) {
  const std::string answer = TFaultServer::OkAnswerBody("RESULTOK");
  for (char c : answer) request_.Add(std::string(1, c));
  ASSERT_TRUE(ReadAnswer());
  EXPECT_EQ(response_.Bytes(), "RESULTOK");
}

TEST_F(ResponseReaderTest, ErrorAnswersCarryTheServerText) {
  struct TCase {
    std::string text;
    std::u16string expected;
  };
  const TCase cases[] = {
      {"\xE6\x9F\xA5\xE7\x84\xA1\xE6\xAD\xA4\xE7\xA8\x8B\xE5\xBC\x8FNOFUNCTION",
       u"查無此程式NOFUNCTION"},
      {"\xB8\xEA\xAE\xC6", u"\u8CC7\u6599"},  // code page 950 bytes
      {"", u""},
  };
  for (const TCase& c : cases) {
    TCheckConnectThread worker(nullptr);
    TFakeRequest request;
    request.worker = &worker;
    request.Add(TFaultServer::ErrorAnswerBody(c.text));
    TMemoryStream response(std::string("untouched"));
    std::u16string error = u"old text";
    EXPECT_FALSE(ReadServerResponse(&request, response, 0, &worker, error));
    EXPECT_EQ(error, c.expected);
    EXPECT_EQ(response.Bytes(), "untouched");
  }
}

TEST_F(ResponseReaderTest, ConnectionClosedFailures) {
  struct TCase {
    const char* name;
    std::vector<std::string> pieces;  // then the connection is reported closed
    std::u16string expected;
  };
  const std::string payload = "KVSTART" + TFaultServer::Packed("complete");
  const TCase cases[] = {
      {"nothing at all", {}, kClosedBeforeLength},
      {"two of the four length bytes", {"\x05\x00"}, kClosedBeforeLength},
      {"length 0 and nothing else", {Le32(0)}, kClosedInBody},
      {"length 0 and a complete payload", {Le32(0), payload}, kClosedInBody},
      {"announced length not reached", {Le32(500), payload}, kClosedInBody},
      {"prefix text not counted by the length test",
       {Le32(static_cast<uint32_t>(4 + payload.size())), "junk", payload},
       kClosedInBody},
  };
  for (const TCase& c : cases) {
    TCheckConnectThread worker(nullptr);
    TFakeRequest request;
    request.worker = &worker;
    for (const std::string& piece : c.pieces) request.Add(piece);
    request.AddClosed();
    TMemoryStream response;
    std::u16string error;
    EXPECT_FALSE(ReadServerResponse(&request, response, 0, &worker, error)) << c.name;
    EXPECT_EQ(error, c.expected) << c.name;
  }
}

TEST_F(ResponseReaderTest, PrefixTextIsIgnoredAfterFourEmptyPasses) {
  const std::string payload = "KVSTART" + TFaultServer::Packed("after the junk");
  request_.Add(Le32(static_cast<uint32_t>(4 + payload.size())));
  request_.Add("junk");
  request_.Add(payload);
  ASSERT_TRUE(ReadAnswer());
  EXPECT_EQ(response_.Bytes(), "after the junk");
}

TEST_F(ResponseReaderTest, RepeatedReadFailuresEndReadingWithWhatArrived) {
  const std::string payload = "KVSTART" + TFaultServer::Packed("partial but whole");
  request_.Add(Le32(100000));  // announces more than will come
  request_.Add(payload);
  for (int i = 0; i < 4; ++i) request_.AddFailure();
  request_.Add("never read");
  ASSERT_TRUE(ReadAnswer());
  EXPECT_EQ(response_.Bytes(), "partial but whole");
  ASSERT_EQ(request_.pieces.size(), 1u);
}

TEST_F(ResponseReaderTest, DamagedPayloadFailsWithTheUnpackingMessage) {
  request_.Add(TFaultServer::Framed("KVSTART" + std::string("not a zlib stream")));
  EXPECT_FALSE(ReadAnswer());
  EXPECT_EQ(error_.rfind(u"Decompression error: ", 0), 0u);
}

TEST(WinInetErrorTextTest, TakesTheTransportTextOfTheLastFailure) {
  std::unique_ptr<TTransportSession> session = OpenHttpSession("agent", THttpAccess::Direct);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->Connect("bad host", 80, nullptr), nullptr);  // fails on this thread
  std::u16string text = u"unchanged";
  EXPECT_TRUE(WinInetErrorText(false, text));
  EXPECT_EQ(text, u"unchanged");
  EXPECT_FALSE(WinInetErrorText(true, text));
  EXPECT_EQ(text, u"The host name cannot be used: \"bad host\"");

  // After a call that succeeded there is no text to take.
  ASSERT_NE(session->Connect("127.0.0.1", 80, nullptr), nullptr);
  text = u"unchanged";
  EXPECT_TRUE(WinInetErrorText(true, text));
  EXPECT_EQ(text, u"unchanged");
}

TEST_F(ResponseReaderTest, NoRequestFailsAtOnce) {
  EXPECT_FALSE(ReadServerResponse(nullptr, response_, 0, &worker_, error_));
  EXPECT_EQ(error_, u"資料讀取失敗");
}

TEST_F(ResponseReaderTest, AnnouncedLengthAboveTheCapIsRefused) {
  request_.Add(Le32(static_cast<uint32_t>(kMaxAnswerBytes + 1)));
  request_.Add("KVSTART");
  EXPECT_FALSE(ReadAnswer());
  EXPECT_EQ(error_, u"接收主機回傳資料時，資料超過上限：268435457 > 268435456");
  EXPECT_EQ(response_.Bytes(), "untouched");
}

TEST_F(ResponseReaderTest, DecompressionBombIsRefused) {
  // 300 MiB of zeros pack into well under a megabyte.
  TZeroStream source(300LL << 20);
  TMemoryStream packed;
  CompressStream(source, packed, 1);
  const std::string bytes = "KVSTART" + packed.Bytes();
  request_.Add(TFaultServer::Framed(bytes));
  EXPECT_FALSE(ReadAnswer());
  EXPECT_EQ(error_, u"Decompression error: output exceeds 268435456 bytes");
}

}  // namespace
