// The corvane-server program as a process: options, a port in use, and a
// clean stop on SIGTERM and SIGINT.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "server_test_client.h"
#include "support/test_support.h"

namespace {

const std::string kServer = std::string(CORVANE_BIN_DIR) + "/corvane-server";

struct TProcess {
  pid_t pid = -1;
  std::string out_path, err_path;
};

TProcess Spawn(const std::vector<std::string>& args, const TTempDir& dir,
               const std::string& tmpdir = std::string()) {
  TProcess p;
  p.out_path = dir.File("stdout.txt");
  p.err_path = dir.File("stderr.txt");
  p.pid = fork();
  if (p.pid == 0) {
    const int out = open(p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    if (!tmpdir.empty()) setenv("TMPDIR", tmpdir.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(kServer.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(kServer.c_str(), argv.data());
    _exit(127);
  }
  return p;
}

// Waits for the process to end (up to 20 s, then kills it); its exit code,
// or -1 when it did not end by itself or ended by a signal.
int WaitExit(pid_t pid) {
  for (int i = 0; i < 2000; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

bool WaitListening(int port) {
  for (int i = 0; i < 500; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(ServerProcessTest, HelpAndBadOptions) {
  TTempDir dir;
  TProcess help = Spawn({"--help"}, dir);
  EXPECT_EQ(WaitExit(help.pid), 0);
  EXPECT_EQ(ReadFileBytes(help.out_path).rfind("Usage: corvane-server --root DIR", 0), 0u);

  TProcess bad = Spawn({"--root", dir.path(), "--bogus"}, dir);
  EXPECT_EQ(WaitExit(bad.pid), 2);
  EXPECT_EQ(ReadFileBytes(bad.err_path),
            "corvane-server: unknown option: --bogus\n(see corvane-server --help)\n");

  TProcess no_root = Spawn({"--root", dir.File("none"), "--listen", "127.0.0.1:0"}, dir);
  EXPECT_EQ(WaitExit(no_root.pid), 1);
  EXPECT_EQ(ReadFileBytes(no_root.err_path),
            "corvane-server: served folder is not a folder: " + dir.File("none") + "\n");
}

TEST(ServerProcessTest, PortInUseGivesAClearMessageAndNonZeroExit) {
  TTempDir dir;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  socklen_t length = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  const int port = ntohs(addr.sin_port);

  TProcess p = Spawn({"--root", dir.path(), "--listen", "127.0.0.1:" + std::to_string(port)}, dir);
  EXPECT_EQ(WaitExit(p.pid), 1);
  EXPECT_EQ(ReadFileBytes(p.err_path), "corvane-server: cannot listen on 127.0.0.1:" +
                                           std::to_string(port) + ": Address already in use\n");
  close(fd);
}

TEST(ServerProcessTest, StopSignalsEndItCleanlyAndRemoveItsUploadFolder) {
  for (const int signal_number : {SIGTERM, SIGINT}) {
    TTempDir dir;
    TTempDir tmp;
    const int port = FreeLoopbackPort();
    TProcess p = Spawn({"--root", dir.path(), "--listen", "127.0.0.1:" + std::to_string(port)}, dir,
                       tmp.path());
    ASSERT_TRUE(WaitListening(port));
    const TFramedAnswer alive = Call(port, "TEST_SERVER_ALIVE", {"LOGINKEY:pelkwarn"});
    EXPECT_EQ(alive.payload, "RESULTOK");
    const TFramedAnswer id = Call(port, "GET_SERVER_STREAM_ID", {"LOGINKEY:pelkwarn"});
    EXPECT_TRUE(id.ok);
    EXPECT_EQ(ListFolder(tmp.path()).size(), 1u);  // the private upload folder

    ASSERT_EQ(kill(p.pid, signal_number), 0);
    EXPECT_EQ(WaitExit(p.pid), 0) << signal_number;
    const std::string log = ReadFileBytes(p.err_path);
    EXPECT_NE(log.find(" TEST_SERVER_ALIVE ok 8 "), std::string::npos) << log;
    EXPECT_NE(log.find(" GET_SERVER_STREAM_ID ok 32 "), std::string::npos) << log;
    EXPECT_NE(log.find(signal_number == SIGTERM ? "stopping on SIGTERM" : "stopping on SIGINT"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("stopped"), std::string::npos) << log;
    EXPECT_TRUE(ListFolder(tmp.path()).empty());
  }
}

}  // namespace
