#include "ui/ui_test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/test_support.h"

extern char** environ;

QApplication& TestApplication() {
  static int argc = 1;
  static char name[] = "ui_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

TProcessResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                          const std::vector<std::string>& env, int timeout_ms) {
  // Everything the child needs is prepared before fork: the child only
  // redirects and execs.
  std::map<std::string, std::string> variables;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const size_t equals = entry.find('=');
    if (equals != std::string::npos) variables[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  for (const std::string& entry : env) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos)
      variables.erase(entry);
    else
      variables[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  std::vector<std::string> env_texts;
  for (const auto& [name, value] : variables) env_texts.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& text : env_texts) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_texts = {path};
  arg_texts.insert(arg_texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : arg_texts) argv.push_back(text.data());
  argv.push_back(nullptr);

  TTempDir outputs;
  const std::string out_path = outputs.File("out");
  const std::string err_path = outputs.File("err");
  const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int in_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  TProcessResult result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in_fd);
  close(out_fd);
  close(err_fd);
  if (pid < 0) return result;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  result.out = ReadAll(out_path);
  result.err = ReadAll(err_path);
  return result;
}

std::string BinPath(const std::string& name) { return std::string(CORVANE_BIN_DIR) + "/" + name; }

std::string RecordingBrowserScript() {
  // Written under a name of its own first, so a reader never sees half a
  // text and two runs at once do not meet.
  return "#!/bin/sh\n"
         "printf '%s' \"$1\" > \"$0.arg.$$\" && mv \"$0.arg.$$\" \"$0.arg\"\n";
}

std::string WaitForFile(const std::string& path, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!PathExists(path)) {
    if (std::chrono::steady_clock::now() >= deadline) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ReadAll(path);
}

std::map<std::string, std::string> DecodeLaunchString(const std::string& text,
                                                      std::vector<std::string>* keys) {
  std::map<std::string, std::string> values;
  std::stringstream entries(text);
  std::string entry;
  bool first = true;
  while (std::getline(entries, entry, ',')) {
    const size_t equals = entry.find('=');
    const std::string key = entry.substr(0, equals);
    const std::string raw = equals == std::string::npos ? std::string() : entry.substr(equals + 1);
    if (keys) keys->push_back(key);
    if (first) {
      values[key] = raw;
      first = false;
      continue;
    }
    const QByteArray decoded = QByteArray::fromBase64(QByteArray::fromStdString(raw));
    values[key] = decoded.toStdString();
  }
  return values;
}

std::string RealPath(const std::string& path) {
  std::error_code ec;
  const auto real = std::filesystem::canonical(path, ec);
  return ec ? path : real.string();
}
