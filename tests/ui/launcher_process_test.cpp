// The real programs as processes against a reference server on 127.0.0.1,
// with a test browser that records its argument: the window (offscreen),
// the terminal front end and its exit statuses, a stamped copy without an
// argument, and the demo browser.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "ui/ui_test_server.h"
#include "ui/ui_test_support.h"

namespace {

class LauncherProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { server_.Start(); }

  // "127.0.0.1$port$*DIR*home$module$C001$user$pw$"
  std::string Params(int port, int module = 2) const {
    return "127.0.0.1$" + std::to_string(port) + "$*DIR*" + home_.path() + "$" +
           std::to_string(module) + "$C001$使用者$pw$";
  }
  std::vector<std::string> Env() const {
    return {"QT_QPA_PLATFORM=offscreen", "DISPLAY", "WAYLAND_DISPLAY", "HOME=" + home_.path()};
  }
  std::string BrowserPath() const {
    return home_.File("CorvaneBoot/127.0.0.1/CorvaneWeb/Nimbara.exe");
  }
  std::string Recorded(int timeout_ms = 10000) const {
    return WaitForFile(BrowserPath() + ".arg", timeout_ms);
  }

  TTestServer server_;
  TTempDir home_;
};

TEST_F(LauncherProcessTest, WindowStartsTheBrowserAndClosesByItself) {
  server_.PublishBrowser(RecordingBrowserScript());
  const TProcessResult run =
      RunProgram(BinPath("corvaneboot"), {Params(server_.port(), 18)}, Env(), 30000);
  ASSERT_FALSE(run.timed_out) << "the window stayed open\n" << run.err;
  EXPECT_EQ(run.exit_code, 0) << run.err;

  const std::string recorded = Recorded();
  ASSERT_FALSE(recorded.empty()) << "the browser did not run";
  std::map<std::string, std::string> values = DecodeLaunchString(recorded);
  const std::map<std::string, std::string> expected = {
      {"CORVANEBOOT", "TRUE"},
      {"BASE", "127.0.0.1"},
      {"PORT", std::to_string(server_.port())},
      {"LOGINTYPE", "18"},
      {"CM_NO", "C001"},
      {"LOGINID", "使用者"},
      {"LOGINPASW", "pw"},
      {"CORVANEWEBDIR", home_.File("CorvaneBoot/127.0.0.1/CorvaneWeb")},
      {"PARENT_EXENAME", RealPath(BinPath("corvaneboot"))},
      {"PARENT_PARENT_EXENAME", RealPath("/proc/self/exe")},
      {"PROXY_TYPE", "0"},
  };
  EXPECT_EQ(values, expected);
}

TEST_F(LauncherProcessTest, WindowStaysOpenWhenTheServerIsNotAlive) {
  server_.PublishBrowser(RecordingBrowserScript());
  server_.AnswerAlive("NOTOK");
  const TProcessResult run =
      RunProgram(BinPath("corvaneboot"), {Params(server_.port())}, Env(), 4000);
  EXPECT_TRUE(run.timed_out) << "the window closed: " << run.exit_code;
  const TServerCounters counters = server_.server().Counters();
  EXPECT_EQ(counters.requests, 1u) << "the alive check, by itself";
  EXPECT_EQ(counters.file_info_requests, 0u);
  EXPECT_FALSE(PathExists(BrowserPath()));
}

TEST_F(LauncherProcessTest, WindowWithoutDisplayPointsToTheTerminalFrontEnd) {
  server_.PublishBrowser(RecordingBrowserScript());
  const TProcessResult run =
      RunProgram(BinPath("corvaneboot"), {Params(server_.port())},
                 {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "HOME=" + home_.path()}, 10000);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("corvaneboot-cli"), std::string::npos) << run.err;
  EXPECT_EQ(server_.server().Counters().requests, 0u);
}

TEST_F(LauncherProcessTest, TerminalStartsTheBrowserAndPrintsTheValues) {
  server_.PublishBrowser(RecordingBrowserScript());
  const TProcessResult run =
      RunProgram(BinPath("corvaneboot-cli"), {Params(server_.port(), 1)}, Env(), 30000);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "網站：127.0.0.1\nPort：" + std::to_string(server_.port()) +
                         "\n模組：進銷存管理系統\n公司代號：C001\n");
  EXPECT_NE(run.err.find("Nimbara.exe  資料下載完畢！\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find('\r'), std::string::npos) << "no progress bar when not a terminal";
  std::map<std::string, std::string> values = DecodeLaunchString(Recorded());
  EXPECT_EQ(values["LOGINTYPE"], "1");
  EXPECT_EQ(values["PARENT_EXENAME"], RealPath(BinPath("corvaneboot-cli")));
  EXPECT_EQ(values["CORVANEWEBDIR"], home_.File("CorvaneBoot/127.0.0.1/CorvaneWeb"));

  // Again: nothing is transferred, the browser starts at once.
  std::filesystem::remove(BrowserPath() + ".arg");
  server_.server().ResetCounters();
  const TProcessResult again =
      RunProgram(BinPath("corvaneboot-cli"), {Params(server_.port(), 1)}, Env(), 30000);
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(server_.server().Counters().data_pieces, 0u);
  EXPECT_EQ(again.err, "") << "no status text on the unchanged path";
  EXPECT_FALSE(Recorded().empty());
}

TEST_F(LauncherProcessTest, TerminalFailuresEndWithTheirExitStatus) {
  struct TCase {
    const char* what;
    std::string published;  // empty: nothing published
    const char* alive;      // nullptr: the server's own answer
    std::string parameters;
    int exit_code;
    std::string err_start;
    const char* err_contains;  // nullptr: err is err_start alone
  };
  const int nobody = FreeLoopbackPort();
  const TCase cases[] = {
      {"no usable parameters", RecordingBrowserScript(), nullptr, "none", 2, "網站不存在\n",
       nullptr},
      {"port with letters", RecordingBrowserScript(), nullptr, "127.0.0.1$80a$1$", 2,
       "網站不存在\n", nullptr},
      // The second line is the command call's message.
      {"server unreachable", RecordingBrowserScript(), nullptr, Params(nobody), 2, "網站不存在\n",
       "\n"},
      {"answer other than RESULTOK", RecordingBrowserScript(), "RESULTNO", Params(0), 2,
       "網站不存在\n", nullptr},
      {"download fails", "", nullptr, Params(0), 3, "", "錯誤訊息："},
      {"browser cannot start",
       std::string("\x7f"
                   "ELF broken",
                   11),
       nullptr, Params(0), 4, "", "無法啟動： "},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TTestServer server;
    if (!c.published.empty()) server.PublishBrowser(c.published);
    if (c.alive) server.AnswerAlive(c.alive);
    server.Start();
    std::string parameters = c.parameters;
    const std::string zero_port = "$0$";
    if (const size_t at = parameters.find(zero_port); at != std::string::npos)
      parameters.replace(at, zero_port.size(), "$" + std::to_string(server.port()) + "$");

    const TProcessResult run = RunProgram(BinPath("corvaneboot-cli"), {parameters}, Env(), 30000);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
    EXPECT_EQ(run.err.substr(0, c.err_start.size()), c.err_start) << run.err;
    if (c.err_contains) {
      EXPECT_NE(run.err.find(c.err_contains, c.err_start.size()), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.err, c.err_start);
    }
    EXPECT_EQ(run.out.substr(0, 9), "網站：") << "the values are printed first";
  }
}

TEST_F(LauncherProcessTest, StampedCopiesReachTheStampedServerWithoutArgument) {
  server_.PublishBrowser(RecordingBrowserScript());
  TTempDir copies;
  for (const std::string program : {"corvaneboot-cli", "corvaneboot"}) {
    SCOPED_TRACE(program);
    const std::string copy = copies.File(program + "-stamped");
    const TProcessResult stamp =
        RunProgram(BinPath("corvaneboot-stamp"),
                   {BinPath(program), copy, Params(server_.port(), 0)}, {}, 30000);
    ASSERT_EQ(stamp.exit_code, 0) << stamp.err;
    std::filesystem::remove(BrowserPath() + ".arg");

    const TProcessResult run = RunProgram(copy, {}, Env(), 30000);
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    std::map<std::string, std::string> values = DecodeLaunchString(Recorded());
    EXPECT_EQ(values["PORT"], std::to_string(server_.port()));
    EXPECT_EQ(values["LOGINTYPE"], "0");
    EXPECT_EQ(values["PARENT_EXENAME"], RealPath(copy));
  }
}

TEST_F(LauncherProcessTest, TerminalWithEmptyBlocksShowsTheShortStringThreeTimes) {
  TTempDir copies;
  const std::string copy = copies.File("corvaneboot-cli-empty");
  ASSERT_EQ(
      RunProgram(BinPath("corvaneboot-stamp"), {BinPath("corvaneboot-cli"), copy, ""}, {}, 30000)
          .exit_code,
      0);
  const TProcessResult run = RunProgram(copy, {}, Env(), 30000);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err, "mPARA_STR:\nmPARA_STR:\nmPARA_STR:\n網站不存在\n");
  EXPECT_EQ(run.out, "網站：\nPort：0\n模組：會計總帳系統\n公司代號：\n");
  EXPECT_EQ(server_.server().Counters().requests, 0u);
}

TEST_F(LauncherProcessTest, DemoBrowserPrintsTheDecodedValues) {
  // BASE=127.0.0.1, PORT=80, LOGINTYPE=-1, LOGINID=使用者, the rest empty.
  const std::string launch =
      "CORVANEBOOT=TRUE,BASE=MTI3LjAuMC4x,PORT=ODA=,LOGINTYPE=LTE=,CM_NO=,"
      "LOGINID=5L2/55So6ICF,LOGINPASW=,CORVANEWEBDIR=,PARENT_EXENAME=,"
      "PARENT_PARENT_EXENAME=,PROXY_TYPE=MA==";
  const TProcessResult run = RunProgram(BinPath("nimbara-demo"), {launch},
                                        {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}, 10000);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out,
            "CORVANEBOOT=TRUE\nBASE=127.0.0.1\nPORT=80\nLOGINTYPE=-1\nCM_NO=\nLOGINID=使用者\n"
            "LOGINPASW=\nCORVANEWEBDIR=\nPARENT_EXENAME=\nPARENT_PARENT_EXENAME=\nPROXY_TYPE=0\n");

  const TProcessResult bad = RunProgram(BinPath("nimbara-demo"), {"CORVANEBOOT=TRUE"},
                                        {"DISPLAY", "WAYLAND_DISPLAY"}, 10000);
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_EQ(bad.out, "");
}

}  // namespace
