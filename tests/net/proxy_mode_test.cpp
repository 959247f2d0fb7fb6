// The proxy modes against a real HTTP proxy (tinyproxy) started here:
// mode 0 follows http_proxy, mode 1 connects directly whatever it says.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "app/launch_params.h"
#include "net/command_calls.h"
#include "pack/text_encodings.h"
#include "real_server.h"
#include "support/test_support.h"

extern char** environ;

namespace {

const char kTinyproxy[] = "/usr/bin/tinyproxy";

// Sets an environment variable for the life of the object, then restores it.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = std::string(old);
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~TScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class TTinyproxy {
 public:
  bool Start(std::string* error) {
    port_ = FreeLoopbackPort();
    log_ = dir_.File("tinyproxy.log");
    WriteFileBytes(dir_.File("tinyproxy.conf"),
                   "Port " + std::to_string(port_) +
                       "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n"
                       "LogLevel Info\nLogFile \"" +
                       log_ + "\"\n");
    const std::string config = dir_.File("tinyproxy.conf");
    const std::string output = dir_.File("tinyproxy.out");
    char* argv[] = {const_cast<char*>(kTinyproxy), const_cast<char*>("-d"), const_cast<char*>("-c"),
                    const_cast<char*>(config.c_str()), nullptr};
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      // The proxy goes when this test process goes, even when it crashes.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
      execve(kTinyproxy, argv, environ);
      _exit(127);
    }
    if (pid_ < 0) {
      *error = "cannot start tinyproxy";
      return false;
    }
    // Ready once its log says it accepts connections.
    for (int i = 0; i < 250; ++i) {
      if (Log().find("Accepting connections") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *error = "tinyproxy did not come up: " + ReadFileBytes(output);
    return false;
  }
  ~TTinyproxy() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  std::string Log() const { return PathExists(log_) ? ReadFileBytes(log_) : std::string(); }
  int port() const { return port_; }

 private:
  TTempDir dir_;
  std::string log_;
  int port_ = 0;
  pid_t pid_ = -1;
};

class ProxyModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kTinyproxy, X_OK) != 0) GTEST_SKIP() << "tinyproxy is not installed";
    std::string error;
    ASSERT_TRUE(server_.Start(&error)) << error;
    ASSERT_TRUE(proxy_.Start(&error)) << error;
    proxy_url_ = "http://127.0.0.1:" + std::to_string(proxy_.port());
  }
  void TearDown() override { ProxyType = 0; }

  // ECHO through the link; true when the answer came back unchanged.
  bool EchoThroughLink() {
    TMemoryStream body(std::string("through the link, ") + std::string(5000, 'x'));
    std::u16string text;
    std::u16string error;
    const bool ok = CallCommandBodyText(u"A001", u"ECHO", u"127.0.0.1", server_.Port(),
                                        {u"LOGINKEY:pelkwarn"}, body, text, error, 0, 1);
    EXPECT_TRUE(ok) << WideToUtf8(error);
    return ok && WideToUtf8(text) == body.Bytes();
  }
  std::string RequestLine() const {
    return "POST http://127.0.0.1:" + std::to_string(server_.Port()) + "/A001 HTTP/1.1";
  }

  TRealServer server_;
  TTinyproxy proxy_;
  std::string proxy_url_;
};

TEST_F(ProxyModeTest, ModeZeroGoesThroughTheConfiguredProxy) {
  TScopedEnv proxy("http_proxy", proxy_url_.c_str());
  TScopedEnv no_proxy("no_proxy", nullptr);
  TScopedEnv no_proxy_upper("NO_PROXY", nullptr);
  ProxyType = 0;
  EXPECT_TRUE(EchoThroughLink());
  EXPECT_NE(proxy_.Log().find(RequestLine()), std::string::npos) << proxy_.Log();
}

TEST_F(ProxyModeTest, ModeOneConnectsDirectly) {
  TScopedEnv proxy("http_proxy", proxy_url_.c_str());
  TScopedEnv no_proxy("no_proxy", nullptr);
  TScopedEnv no_proxy_upper("NO_PROXY", nullptr);
  ProxyType = 1;
  EXPECT_TRUE(EchoThroughLink());
  EXPECT_EQ(proxy_.Log().find("Request (file descriptor"), std::string::npos) << proxy_.Log();
  EXPECT_EQ(server_.server().Counters().requests, 1u);
}

TEST_F(ProxyModeTest, ModeZeroWithoutProxySettingsConnectsDirectly) {
  TScopedEnv proxy("http_proxy", nullptr);
  TScopedEnv all_proxy("ALL_PROXY", nullptr);
  TScopedEnv all_proxy_lower("all_proxy", nullptr);
  ProxyType = 0;
  EXPECT_TRUE(EchoThroughLink());
  EXPECT_EQ(proxy_.Log().find("Request (file descriptor"), std::string::npos);
}

}  // namespace
