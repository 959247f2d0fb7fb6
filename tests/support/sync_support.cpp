#include "support/sync_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/test_support.h"

void TRunningProgram::Start(int seconds) {
  WriteFileBytes(path_, ReadFileBytes(std::filesystem::canonical("/bin/sleep").string()));
  chmod(path_.c_str(), 0755);
  const std::string arg = std::to_string(seconds);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    execl(path_.c_str(), path_.c_str(), arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait until the child has replaced itself with the program.
  const std::string exe_link = "/proc/" + std::to_string(pid_) + "/exe";
  for (int i = 0; i < 500; ++i) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(exe_link, ec);
    if (!ec && target == std::filesystem::path(path_)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Stop();
  throw std::runtime_error("the program did not start: " + path_);
}

void TRunningProgram::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}
