// The command calls against the reference server, every command this
// system sends.
#include "net/command_calls.h"

#include <gtest/gtest.h>

#include <string>

#include "app/launch_params.h"
#include "pack/text_encodings.h"
#include "real_server.h"
#include "support/test_support.h"

namespace {

const std::u16string kLogin = u"LOGINKEY:pelkwarn";

class CommandCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ProxyType = 1;
    WriteFileBytes(root_.File("Nimbara.exe"), file_bytes_);
    server_ = std::make_unique<TRealServer>(root_.path());
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  void TearDown() override {
    server_.reset();
    ProxyType = 0;
  }
  int Port() const { return server_->Port(); }

  TTempDir root_;
  const std::string file_bytes_ = ExecutableLikeBytes(300000);
  std::unique_ptr<TRealServer> server_;
  std::u16string text_;
  std::u16string error_;
};

TEST_F(CommandCallsTest, TestServerAlive) {
  // Time limit 3 and attempts 0, as the start sequence calls it.
  ASSERT_TRUE(CallCommandText(u"A001", u"TEST_SERVER_ALIVE", u"127.0.0.1", Port(), {kLogin}, text_,
                              error_, 3, 0))
      << WideToUtf8(error_);
  EXPECT_EQ(text_, u"RESULTOK");
  EXPECT_EQ(server_->server().Counters().requests, 1u);
}

TEST_F(CommandCallsTest, StreamIdAndUploadPiece) {
  std::u16string id;
  ASSERT_TRUE(CallCommandText(u"A001", u"GET_SERVER_STREAM_ID", u"127.0.0.1", Port(), {kLogin}, id,
                              error_, 0, 3))
      << WideToUtf8(error_);
  EXPECT_FALSE(id.empty());
  TMemoryStream piece(std::string(12345, 'p'));
  ASSERT_TRUE(CallCommandBodyText(u"A001", u"UPLOAD_STREAM_TO_SERVER", u"127.0.0.1", Port(),
                                  {kLogin, u"_STREAM_ID:" + id}, piece, text_, error_, 0, 3))
      << WideToUtf8(error_);
  EXPECT_EQ(text_, u"12345");
  EXPECT_EQ(piece.Size(), 12345);  // the caller's body is left alone
}

TEST_F(CommandCallsTest, FileSizeTimeAndFileStream) {
  ASSERT_TRUE(CallCommandText(u"A001", u"GET_SERVER_FILE_SIZE_TIME", u"127.0.0.1", Port(),
                              {kLogin, u"_FILENAME:Nimbara.exe"}, text_, error_, 0, 3))
      << WideToUtf8(error_);
  EXPECT_EQ(text_.substr(0, text_.find(u',')), u"300000");

  TMemoryStream response(std::string("stale bytes"));
  response.SetPosition(5);
  ASSERT_TRUE(CallCommandStream(u"A001", u"GET_SERVER_FILE_STREAM", u"127.0.0.1", Port(),
                                {kLogin, u"_FILENAME:Nimbara.exe", u"_BE:1000", u"_LEN:65536"},
                                response, error_, 0, 3))
      << WideToUtf8(error_);
  EXPECT_EQ(response.Position(), 0);
  EXPECT_TRUE(response.Bytes() == file_bytes_.substr(1000, 65536));
}

TEST_F(CommandCallsTest, EchoKeepsChineseText) {
  TMemoryStream body(WideToUtf8(u"資料 and 文字"));
  ASSERT_TRUE(CallCommandBodyText(u"A001", u"ECHO", u"127.0.0.1", Port(), {kLogin}, body, text_,
                                  error_, 0, 3))
      << WideToUtf8(error_);
  EXPECT_EQ(text_, u"資料 and 文字");
}

TEST_F(CommandCallsTest, ServerRefusalsComeBackAsErrorText) {
  struct TCase {
    std::u16string command;
    std::vector<std::u16string> params;
    std::u16string expected;
  };
  const TCase cases[] = {
      {u"NO_SUCH_COMMAND", {kLogin}, u"查無此程式NOFUNCTIONNO_SUCH_COMMAND"},
      {u"GET_SERVER_FILE_SIZE_TIME", {kLogin}, u"missing item _FILENAME"},
      {u"TEST_SERVER_ALIVE", {u"LOGINKEY:wrong"}, u"login key refused"},
  };
  for (const TCase& c : cases) {
    text_ = u"stale";
    EXPECT_FALSE(
        CallCommandText(u"A001", c.command, u"127.0.0.1", Port(), c.params, text_, error_, 0, 3));
    EXPECT_EQ(error_, c.expected) << WideToUtf8(c.command);
    EXPECT_EQ(text_, u"");
  }
  // A server error ends the call after one exchange, whatever the attempts.
  EXPECT_EQ(server_->server().Counters().requests, 3u);
}

}  // namespace
