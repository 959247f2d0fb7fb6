#include "ui/launch_string.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <thread>

#include "app/launch_params.h"
#include "pack/text_encodings.h"
#include "support/test_support.h"

namespace {

// A plain RFC 4648 decoder, kept apart from the encoder under test.
std::string DecodeBase64(const std::string& text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const size_t v = alphabet.find(c);
    if (v == std::string::npos) return "<bad base64>";
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::string OwnExe() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  return n > 0 ? std::string(buffer, n) : std::string();
}

// Sets the process-wide launch parameters for one test and clears them after.
class LaunchStringTest : public ::testing::Test {
 protected:
  void TearDown() override {
    LaunchParams = TLaunchParams();
    ProxyType = 0;
  }
  // The launch string with the PARENT_EXENAME value checked and cut out.
  std::string BuildWithoutOwnPath(const std::u16string& folder, const std::u16string& parent) {
    std::string text = WideToUtf8(BuildLaunchString(folder, parent));
    const std::string key = ",PARENT_EXENAME=";
    const size_t begin = text.find(key);
    const size_t end = text.find(',', begin + 1);
    if (begin == std::string::npos || end == std::string::npos) return "<no PARENT_EXENAME>";
    EXPECT_EQ(DecodeBase64(text.substr(begin + key.size(), end - begin - key.size())), OwnExe());
    return text.erase(begin + key.size(), end - begin - key.size());
  }
};

TEST_F(LaunchStringTest, EncodesEveryEntryInOrder) {
  LaunchParams.ServerHost = u"corvane";
  LaunchParams.ServerPort = 8080;
  LaunchParams.ModuleIndex = -1;
  ProxyType = 0;
  EXPECT_EQ(BuildWithoutOwnPath(u"/srv/corvane/CorvaneBoot/corvane/CorvaneWeb", u"/usr/bin/bash"),
            "CORVANEBOOT=TRUE,BASE=Y29ydmFuZQ==,PORT=ODA4MA==,LOGINTYPE=LTE=,CM_NO=,LOGINID=,"
            "LOGINPASW=,CORVANEWEBDIR=L3Nydi9jb3J2YW5lL0NvcnZhbmVCb290L2NvcnZhbmUvQ29ydmFuZVdlYg==,"
            "PARENT_EXENAME=,PARENT_PARENT_EXENAME=L3Vzci9iaW4vYmFzaA==,PROXY_TYPE=MA==");
}

TEST_F(LaunchStringTest, ChineseTextsGoThroughUtf8) {
  LaunchParams.ServerHost = u"\u4f3a\u670d\u5668";  // 伺服器
  LaunchParams.ServerPort = 80;
  LaunchParams.ModuleIndex = 2;
  LaunchParams.CmNo = u"\u516c\u53f8";     // 公司
  LaunchParams.LoginId = u"\u7528\u6236";  // 用戶
  LaunchParams.LoginPasw = u"p@ss w0rd";
  ProxyType = 1;
  EXPECT_EQ(BuildWithoutOwnPath(u"", u""),
            "CORVANEBOOT=TRUE,BASE=5Ly65pyN5Zmo,PORT=ODA=,LOGINTYPE=Mg==,CM_NO=5YWs5Y+4,"
            "LOGINID=55So5oi2,LOGINPASW=cEBzcyB3MHJk,CORVANEWEBDIR=,PARENT_EXENAME=,"
            "PARENT_PARENT_EXENAME=,PROXY_TYPE=MQ==");
}

TEST_F(LaunchStringTest, OwnExecutablePathIsThisProgram) {
  EXPECT_EQ(WideToUtf8(OwnExecutablePath()), OwnExe());
}

// Waits for the child and returns its exit status, or -1.
int WaitForExit(int64_t pid) {
  int status = 0;
  if (waitpid(static_cast<pid_t>(pid), &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(LaunchStringTest, StartProgramPassesTheLaunchStringAsTheOneArgument) {
  TTempDir temp;
  const std::string script = temp.File("browser \xe8\xb3\x87.sh");
  const std::string record = temp.File("argv");
  // Downloaded programs arrive without execute permission.
  WriteFileBytes(script, "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > '" + record + "'\n");
  ASSERT_EQ(chmod(script.c_str(), 0644), 0);

  LaunchParams.ServerHost = u"corvane";
  LaunchParams.ServerPort = 8080;
  const std::u16string launch = BuildLaunchString(u"/some folder/with blanks", u"");
  const int64_t pid = StartProgram(Utf8ToWide(script), launch, 1);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitForExit(pid), 0);
  EXPECT_EQ(ReadFileBytes(record), "1\n" + WideToUtf8(launch) + "\n");
  struct stat st;
  ASSERT_EQ(stat(script.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0744u);
}

TEST_F(LaunchStringTest, StartProgramDoesNotWait) {
  TTempDir temp;
  const std::string script = temp.File("slow.sh");
  const std::string fifo = temp.File("gate");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The script blocks until the test opens the gate.
  WriteFileBytes(script, "#!/bin/sh\nread line < '" + fifo + "'\nexit 7\n");
  const int64_t pid = StartProgram(Utf8ToWide(script), u"x", 1);
  ASSERT_GT(pid, 0);
  // StartProgram has returned while the program still runs.
  EXPECT_EQ(waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG), 0);
  // Open the gate once the script waits at it (giving up if it never does).
  int gate = -1;
  for (int tries = 0; gate < 0 && tries < 1000; ++tries) {
    gate = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (gate < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(gate, 0) << "the program never reached its gate";
  EXPECT_EQ(write(gate, "go\n", 3), 3);
  close(gate);
  EXPECT_EQ(WaitForExit(pid), 7);
}

TEST_F(LaunchStringTest, StartProgramReportsZeroWhenNothingRuns) {
  TTempDir temp;
  const std::string garbage = temp.File("garbage");
  WriteFileBytes(garbage, std::string("\x01\x02\x03\x04 not a program"));
  const std::string bad_interpreter = temp.File("bad-interpreter");
  WriteFileBytes(bad_interpreter, "#!" + temp.File("no-such-shell") + "\n");
  ASSERT_EQ(mkdir(temp.File("folder").c_str(), 0755), 0);
  for (const std::string& file :
       {garbage, bad_interpreter, temp.File("missing"), temp.File("folder"), std::string()}) {
    EXPECT_EQ(StartProgram(Utf8ToWide(file), u"x", 1), 0) << file;
  }
  // No child was left behind by a failed start.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

}  // namespace
