// The start sequence against a reference server on 127.0.0.1, through a
// recording front end: the alive check, the browser folder, the download,
// the browser start and each way it can end.
#include "ui/start_sequence.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/launch_params.h"
#include "pack/text_encodings.h"
#include "support/test_support.h"
#include "ui/ui_test_server.h"
#include "ui/ui_test_support.h"

namespace {

class TRecordingFrontEnd : public TStartFrontEnd {
 public:
  void SetMessageLine(const std::u16string& text) override { message_line = text; }
  TStatusText& StatusLine() override { return status; }
  TProgressBar* ProgressBar() override { return &bar; }
  void SetStartEnabled(bool enabled) override { start_enabled = enabled; }
  void ProcessMessages() override { ++pumps; }
  void Close() override { closed = true; }
  std::u16string AddressText() override { return address; }
  std::u16string PortText() override { return port; }
  std::u16string ParentExeName() override { return parent; }
  const TCancelToken& Terminated() override { return terminated; }

  std::u16string message_line;
  TRecordingText status;
  TRecordingProgressBar bar;
  bool start_enabled = true;
  int pumps = 0;
  bool closed = false;
  std::u16string address = u"127.0.0.1";
  std::u16string port;
  std::u16string parent = u"/usr/bin/parent-shell";
  TCancelToken terminated;
};

class StartSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_params_ = LaunchParams;
    saved_proxy_ = ProxyType;
    server_.Start();
    LaunchParams = TLaunchParams();
    LaunchParams.ServerHost = u"127.0.0.1";
    LaunchParams.ServerPort = server_.port();
    LaunchParams.DataDir = home_.wpath();
    LaunchParams.ModuleIndex = 3;
    LaunchParams.CmNo = u"C001";
    LaunchParams.LoginId = u"使用者";
    LaunchParams.LoginPasw = u"pw";
    ProxyType = 0;
    front_.port = AsciiToWide(std::to_string(server_.port()));
  }
  void TearDown() override {
    LaunchParams = saved_params_;
    ProxyType = saved_proxy_;
  }

  std::string BrowserFolder() const { return home_.File("CorvaneBoot/127.0.0.1/CorvaneWeb"); }
  std::string BrowserPath() const { return BrowserFolder() + "/Nimbara.exe"; }

  TTestServer server_;
  TTempDir home_;
  TRecordingFrontEnd front_;

 private:
  TLaunchParams saved_params_;
  int32_t saved_proxy_ = 0;
};

TEST(AddressFolderProblemTest, RefusesTextsThatCannotBeOneFolderName) {
  const std::u16string refused[] = {
      u"", u".", u"..", u"a/b", u"/", u"../x", std::u16string(u"ab\0c", 4)};
  for (const std::u16string& text : refused)
    EXPECT_FALSE(AddressFolderProblem(text).empty()) << WideToUtf8(text);
  const std::u16string accepted[] = {u"127.0.0.1", u"server.example", u"...", u"a\\b", u"伺服器"};
  for (const std::u16string& text : accepted)
    EXPECT_EQ(AddressFolderProblem(text), u"") << WideToUtf8(text);
  // The message names the refused text.
  EXPECT_NE(AddressFolderProblem(u"a/b").find(u"a/b"), std::u16string::npos);
}

TEST_F(StartSequenceTest, AliveCheckNeedsExactlyResultOk) {
  std::u16string message = u"old";
  EXPECT_TRUE(CheckServerAlive(u"127.0.0.1", server_.port(), message));
  EXPECT_EQ(message, u"");

  struct TCase {
    const char* payload;
    bool ok;
    bool message_expected;
  };
  const TCase cases[] = {
      {"resultok", true, false}, {"RESULTOK ", true, false},  {"RESULTOKAY", true, false},
      {"", true, false},         {"伺服器忙碌", false, true},  // an error answer: its text is the
                                                               // message
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.payload);
    server_.AnswerAlive(c.payload, c.ok);
    EXPECT_FALSE(CheckServerAlive(u"127.0.0.1", server_.port(), message));
    EXPECT_EQ(!message.empty(), c.message_expected) << WideToUtf8(message);
  }
}

TEST_F(StartSequenceTest, AliveCheckWithoutHostOrPortSendsNothing) {
  std::u16string message = u"old";
  EXPECT_FALSE(CheckServerAlive(u"", server_.port(), message));
  EXPECT_EQ(message, u"");
  EXPECT_FALSE(CheckServerAlive(u"127.0.0.1", 0, message));
  EXPECT_EQ(server_.server().Counters().requests, 0u);
}

TEST_F(StartSequenceTest, UnreachableServerShowsTheCallsMessage) {
  LaunchParams.ServerPort = FreeLoopbackPort();
  const TStartResult result = TntButton1Click(front_);
  EXPECT_EQ(result.outcome, TStartOutcome::kServerNotAlive);
  EXPECT_EQ(front_.message_line, u"網站不存在");
  EXPECT_FALSE(front_.status.text().empty());
  EXPECT_FALSE(front_.start_enabled);
  EXPECT_FALSE(front_.closed);
  EXPECT_FALSE(PathExists(home_.File("CorvaneBoot")));
}

TEST_F(StartSequenceTest, NoUsableParametersFailAtOnce) {
  LaunchParams.ServerPort = 0;
  const TStartResult result = TntButton1Click(front_);
  EXPECT_EQ(result.outcome, TStartOutcome::kServerNotAlive);
  EXPECT_EQ(front_.message_line, u"網站不存在");
  EXPECT_EQ(front_.status.text(), u"");
  EXPECT_FALSE(front_.start_enabled);
  EXPECT_GE(front_.pumps, 1) << "the disabled button is shown before the check";
  EXPECT_EQ(server_.server().Counters().requests, 0u);
}

TEST_F(StartSequenceTest, DownloadsStartsTheBrowserAndCloses) {
  server_.PublishBrowser(RecordingBrowserScript());
  const TStartResult result = TntButton1Click(front_);
  ASSERT_EQ(result.outcome, TStartOutcome::kBrowserStarted) << WideToUtf8(result.message);
  EXPECT_TRUE(front_.closed);
  EXPECT_FALSE(front_.start_enabled);
  EXPECT_EQ(ReadFileBytes(BrowserPath()), RecordingBrowserScript());
  EXPECT_EQ(front_.status.text(), u"Nimbara.exe  資料下載完畢！");
  EXPECT_FALSE(front_.bar.events.empty());

  const std::string recorded = WaitForFile(BrowserPath() + ".arg", 10000);
  ASSERT_FALSE(recorded.empty()) << "the browser did not run";
  std::vector<std::string> keys;
  std::map<std::string, std::string> values = DecodeLaunchString(recorded, &keys);
  const std::vector<std::string> expected_keys = {
      "CORVANEBOOT", "BASE",      "PORT",          "LOGINTYPE",      "CM_NO",
      "LOGINID",     "LOGINPASW", "CORVANEWEBDIR", "PARENT_EXENAME", "PARENT_PARENT_EXENAME",
      "PROXY_TYPE"};
  EXPECT_EQ(keys, expected_keys);
  EXPECT_EQ(values["CORVANEBOOT"], "TRUE");
  EXPECT_EQ(values["BASE"], "127.0.0.1");
  EXPECT_EQ(values["PORT"], std::to_string(server_.port()));
  EXPECT_EQ(values["LOGINTYPE"], "3");
  EXPECT_EQ(values["CM_NO"], "C001");
  EXPECT_EQ(values["LOGINID"], "使用者");
  EXPECT_EQ(values["LOGINPASW"], "pw");
  EXPECT_EQ(values["CORVANEWEBDIR"], BrowserFolder());
  EXPECT_EQ(values["PARENT_EXENAME"], RealPath("/proc/self/exe"));
  EXPECT_EQ(values["PARENT_PARENT_EXENAME"], "/usr/bin/parent-shell");
  EXPECT_EQ(values["PROXY_TYPE"], "0");
}

TEST_F(StartSequenceTest, RefusesAnAddressThatIsNoFolderName) {
  server_.PublishBrowser(RecordingBrowserScript());
  for (const char16_t* address : {u"..", u"a/../..", u""}) {
    TRecordingFrontEnd front;
    front.port = front_.port;
    front.address = address;
    const TStartResult result = TntButton1Click(front);
    EXPECT_EQ(result.outcome, TStartOutcome::kBadAddress) << WideToUtf8(address);
    EXPECT_EQ(front.message_line, u"網站不存在");
    EXPECT_EQ(front.status.text(), AddressFolderProblem(address));
    EXPECT_FALSE(front.start_enabled);
    EXPECT_FALSE(front.closed);
  }
  EXPECT_FALSE(PathExists(home_.File("CorvaneBoot")));
  EXPECT_EQ(server_.server().Counters().file_info_requests, 0u);
}

TEST_F(StartSequenceTest, PortBoxThatIsNoNumberStopsBeforeTheDownload) {
  server_.PublishBrowser(RecordingBrowserScript());
  front_.port = u"80a";
  const TStartResult result = TntButton1Click(front_);
  EXPECT_EQ(result.outcome, TStartOutcome::kBadPort);
  EXPECT_NE(front_.status.text().find(u"80a"), std::u16string::npos);
  EXPECT_FALSE(front_.start_enabled);
  EXPECT_EQ(server_.server().Counters().file_info_requests, 0u);
}

TEST_F(StartSequenceTest, FailedDownloadLeavesTheFolderAndTheWindow) {
  // Nothing published: the file information call fails.
  const TStartResult result = TntButton1Click(front_);
  EXPECT_EQ(result.outcome, TStartOutcome::kDownloadFailed);
  EXPECT_FALSE(result.message.empty());
  EXPECT_EQ(front_.message_line, u"") << "no \"網站不存在\" for a download";
  EXPECT_TRUE(PathExists(BrowserFolder()));
  EXPECT_FALSE(PathExists(BrowserPath()));
  EXPECT_FALSE(front_.closed);
  EXPECT_FALSE(front_.start_enabled);
}

TEST_F(StartSequenceTest, BrowserThatCannotStartLeavesTheWindowOpen) {
  // Not a program in any format the system can run.
  server_.PublishBrowser(
      std::string("\x7f"
                  "ELF broken",
                  11));
  const TStartResult result = TntButton1Click(front_);
  EXPECT_EQ(result.outcome, TStartOutcome::kBrowserNotStarted);
  EXPECT_TRUE(PathExists(BrowserPath()));
  EXPECT_FALSE(front_.closed);
  EXPECT_FALSE(front_.start_enabled);
}

TEST_F(StartSequenceTest, ClosedFrontEndStartsNothing) {
  server_.PublishBrowser(RecordingBrowserScript());
  ASSERT_EQ(TntButton1Click(front_).outcome, TStartOutcome::kBrowserStarted);
  ASSERT_FALSE(WaitForFile(BrowserPath() + ".arg", 10000).empty());
  std::remove((BrowserPath() + ".arg").c_str());

  // Up to date now: the download has no step that looks at the flag, the
  // sequence itself does.
  TRecordingFrontEnd closed;
  closed.port = front_.port;
  closed.terminated.Cancel();
  EXPECT_EQ(TntButton1Click(closed).outcome, TStartOutcome::kCancelled);
  EXPECT_FALSE(closed.closed);

  // Changed on the server: the download stops at its first step.
  server_.PublishBrowser(RecordingBrowserScript() + "# changed\n");
  const TStartResult result = TntButton1Click(closed);
  EXPECT_EQ(result.outcome, TStartOutcome::kDownloadFailed);
  EXPECT_EQ(result.message, u"系統停止01");
  EXPECT_EQ(server_.server().Counters().data_pieces, 1u) << "only the first run's piece";
  EXPECT_TRUE(WaitForFile(BrowserPath() + ".arg", 300).empty()) << "the browser ran";
}

TEST_F(StartSequenceTest, SecondRunFindsTheBrowserUnchanged) {
  // A runnable script of three pieces: a long comment after the script.
  server_.PublishBrowser(RecordingBrowserScript() + "# " + std::string(1200000, 'x') + "\n");
  ASSERT_EQ(TntButton1Click(front_).outcome, TStartOutcome::kBrowserStarted);
  const TServerCounters first = server_.server().Counters();
  EXPECT_EQ(first.data_pieces, 3u) << "1.2 MB in pieces of 512 KiB";

  server_.server().ResetCounters();
  TRecordingFrontEnd again;
  again.port = front_.port;
  ASSERT_EQ(TntButton1Click(again).outcome, TStartOutcome::kBrowserStarted);
  const TServerCounters second = server_.server().Counters();
  EXPECT_EQ(second.file_info_requests, 1u);
  EXPECT_EQ(second.data_pieces, 0u);
  EXPECT_EQ(second.digest_confirmed_pieces, 0u);
  EXPECT_TRUE(again.status.history.empty()) << "no status text on the unchanged path";
}

}  // namespace
