// The divided upload end to end through the reference server's "ECHO".
#include "net/divided_upload.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "app/launch_params.h"
#include "net/post_server_request.h"
#include "net/request_envelope.h"
#include "pack/text_encodings.h"
#include "real_server.h"

namespace {

const std::u16string kLogin = u"LOGINKEY:pelkwarn";

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

int64_t PreparedSize(const std::string& caller_body) {
  TMemoryStream body(caller_body);
  TMemoryStream prepared;
  std::string header;
  BuildRequestBody({WideToUtf8(kLogin)}, body, prepared, header);
  return prepared.Size();
}

// A caller body whose prepared request body (container with the packed
// body) is exactly target bytes.
std::string BodyWithPreparedSize(int64_t target) {
  int64_t size = target;
  for (int round = 0; round < 20; ++round) {
    const std::string body = RandomBytes(static_cast<size_t>(size), 7);
    const int64_t prepared = PreparedSize(body);
    if (prepared == target) return body;
    size += target - prepared;
  }
  ADD_FAILURE() << "no body found for a prepared size of " << target;
  return std::string();
}

class DividedUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ProxyType = 1;
    server_ = std::make_unique<TRealServer>();
    TCorvaneServer& s = server_->server();
    const TCommandHandler upload = s.Handler("UPLOAD_STREAM_TO_SERVER");
    s.RegisterCommand("UPLOAD_STREAM_TO_SERVER", [this, upload](const TServerRequest& request) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pieces_.push_back(static_cast<int64_t>(request.body.size()));
      }
      if (failing_uploads_.fetch_sub(1) > 0) {
        TServerAnswer refusal;
        refusal.ok = false;
        refusal.error_text = "piece refused";
        return refusal;
      }
      TServerAnswer answer = upload(request);
      if (answer.ok && short_acknowledgement_) {
        answer.payload = std::to_string(request.body.size() - 1);
      }
      if (answer.ok && bad_acknowledgement_) answer.payload = "12x";
      return answer;
    });
    const TCommandHandler stream_id = s.Handler("GET_SERVER_STREAM_ID");
    s.RegisterCommand("GET_SERVER_STREAM_ID", [this, stream_id](const TServerRequest& request) {
      ++stream_ids_;
      if (refuse_stream_id_) {
        TServerAnswer refusal;
        refusal.ok = false;
        refusal.error_text = "no stream for you";
        return refusal;
      }
      return stream_id(request);
    });
    const TCommandHandler echo = s.Handler("ECHO");
    auto counted_echo = [this, echo](const TServerRequest& request) {
      ++echoes_;
      return echo(request);
    };
    s.RegisterCommand("ECHO", counted_echo);
    s.RegisterCommand("SRC30F", counted_echo);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  void TearDown() override {
    server_.reset();
    ProxyType = 0;
  }

  bool Echo(const std::u16string& command, const std::string& body, int32_t attempts = 1) {
    TMemoryStream body_stream(body);
    response_.Clear();
    return PostServerRequest(u"A001", command, u"127.0.0.1", server_->Port(), {kLogin}, body_stream,
                             response_, error_, 0, attempts);
  }
  std::vector<int64_t> Pieces() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pieces_;
  }

  std::unique_ptr<TRealServer> server_;
  std::mutex mutex_;
  std::vector<int64_t> pieces_;
  std::atomic<int> failing_uploads_{0};
  std::atomic<bool> short_acknowledgement_{false};
  std::atomic<bool> bad_acknowledgement_{false};
  std::atomic<int> stream_ids_{0};
  std::atomic<bool> refuse_stream_id_{false};
  std::atomic<int> echoes_{0};
  TMemoryStream response_;
  std::u16string error_;
};

TEST_F(DividedUploadTest, PreparedSizesAroundTheThreshold) {
  struct TCase {
    int64_t prepared;
    std::vector<int64_t> pieces;
  };
  const TCase cases[] = {
      {2097151, {}},
      {2097152, {524288, 524288, 524288, 524288}},
      {2100000, {524288, 524288, 524288, 524288, 2848}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.prepared);
    const std::string body = BodyWithPreparedSize(c.prepared);
    ASSERT_EQ(PreparedSize(body), c.prepared);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pieces_.clear();
    }
    stream_ids_ = 0;
    ASSERT_TRUE(Echo(u"ECHO", body)) << WideToUtf8(error_);
    EXPECT_TRUE(response_.Bytes() == body);
    EXPECT_EQ(Pieces(), c.pieces);
    EXPECT_EQ(stream_ids_.load(), c.pieces.empty() ? 0 : 1);
  }
}

TEST_F(DividedUploadTest, Src30fIsNeverDivided) {
  const std::string body = RandomBytes(3000000, 11);
  ASSERT_TRUE(Echo(u"SRC30F", body)) << WideToUtf8(error_);
  EXPECT_TRUE(response_.Bytes() == body);
  EXPECT_TRUE(Pieces().empty());
  EXPECT_EQ(stream_ids_.load(), 0);
}

TEST_F(DividedUploadTest, NoStreamIdentifierEndsTheCall) {
  refuse_stream_id_ = true;
  EXPECT_FALSE(Echo(u"ECHO", RandomBytes(2200000, 9), 3));
  EXPECT_EQ(error_, u"no stream for you");
  EXPECT_EQ(stream_ids_.load(), 1);  // neither repeated inside nor outside
  EXPECT_TRUE(Pieces().empty());
  EXPECT_EQ(echoes_.load(), 0);
}

TEST_F(DividedUploadTest, ShortAcknowledgementStopsTheCall) {
  short_acknowledgement_ = true;
  EXPECT_FALSE(Echo(u"ECHO", RandomBytes(2500000, 3), 3));
  EXPECT_EQ(Pieces().size(), 1u);    // nothing sent after the short piece
  EXPECT_EQ(stream_ids_.load(), 1);  // and the whole request is not repeated
  EXPECT_EQ(echoes_.load(), 0);
  EXPECT_EQ(error_, u"");  // the last (successful) piece call left no text
}

TEST_F(DividedUploadTest, PieceRefusedFiveTimesThenTaken) {
  failing_uploads_ = 5;
  const std::string body = RandomBytes(2200000, 5);
  ASSERT_TRUE(Echo(u"ECHO", body)) << WideToUtf8(error_);
  EXPECT_TRUE(response_.Bytes() == body);
  const std::vector<int64_t> pieces = Pieces();
  ASSERT_EQ(pieces.size(), 5u + 5u);  // five refusals, then five pieces taken
  EXPECT_EQ(echoes_.load(), 1);
}

TEST_F(DividedUploadTest, PieceRefusedSixTimesFailsWithTheServerText) {
  failing_uploads_ = 6;
  EXPECT_FALSE(Echo(u"ECHO", RandomBytes(2200000, 5), 3));
  EXPECT_EQ(error_, u"piece refused");
  EXPECT_EQ(Pieces().size(), 6u);
  EXPECT_EQ(echoes_.load(), 0);
}

TEST_F(DividedUploadTest, AcknowledgementThatIsNoNumberRepeatsTheRequest) {
  bad_acknowledgement_ = true;
  EXPECT_FALSE(Echo(u"ECHO", RandomBytes(2200000, 5), 2));
  EXPECT_EQ(error_, u"Exception:'12x' is not a valid integer value");
  EXPECT_EQ(stream_ids_.load(), 2);  // each attempt asks for a new identifier
  EXPECT_EQ(echoes_.load(), 0);
}

TEST(UploadStreamToServerTest, SmallBodyOnlyGetsItsLengthLine) {
  TMemoryStream body(std::string(1000, 'x'));
  body.SetPosition(400);
  std::string header = "existing\r\n";
  std::u16string error;
  ASSERT_TRUE(UploadStreamToServer(u"ECHO", u"127.0.0.1", 1, body, header, error, 524288));
  EXPECT_EQ(header, "existing\r\nContent-Length:1000\r\n");
  EXPECT_EQ(body.Position(), 0);
  EXPECT_EQ(body.Size(), 1000);
}

}  // namespace
