#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/process_identity.h"
#include "platform/folders.h"
#include "platform/native_path.h"
#include "platform/process.h"

extern char** environ;

namespace {

std::string ProcPath(int64_t pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

std::u16string ReadLink(const std::string& path) {
  std::vector<char> buffer(PATH_MAX + 1);
  for (;;) {
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return std::u16string();
    if (static_cast<size_t>(n) < buffer.size()) return WidePath(std::string(buffer.data(), n));
    buffer.resize(buffer.size() * 2);
  }
}

// Frees the spawn attributes on every path.
class TSpawnAttr {
 public:
  TSpawnAttr() : ok_(posix_spawnattr_init(&attr_) == 0) {}
  ~TSpawnAttr() {
    if (ok_) posix_spawnattr_destroy(&attr_);
  }
  TSpawnAttr(const TSpawnAttr&) = delete;
  TSpawnAttr& operator=(const TSpawnAttr&) = delete;
  bool ok() const { return ok_; }
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
  bool ok_;
};

}  // namespace

int64_t ParentProcessId(int64_t pid) {
  if (pid <= 0) return 0;
  std::string stat;
  if (!ReadSmallFile(WidePath(ProcPath(pid, "stat")), stat)) return 0;
  // "pid (comm) state ppid ...": comm may hold blanks and parentheses, so
  // the fields are counted from the last ")".
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  size_t at = stat.find_first_not_of(' ', close + 1);  // state
  if (at == std::string::npos) return 0;
  at = stat.find(' ', at);
  if (at == std::string::npos) return 0;
  int64_t parent = 0;
  bool digits = false;
  for (++at; at < stat.size() && stat[at] >= '0' && stat[at] <= '9'; ++at) {
    parent = parent * 10 + (stat[at] - '0');
    digits = true;
  }
  return digits ? parent : 0;
}

std::u16string ProcessExeName(int64_t pid) {
  if (pid <= 0) return std::u16string();
  return ReadLink(ProcPath(pid, "exe"));
}

int64_t CurrentProcessId() { return static_cast<int64_t>(getpid()); }

std::u16string SelfExecutablePath() { return ReadLink("/proc/self/exe"); }

int64_t SpawnProgram(const std::u16string& file, const std::u16string& argument) {
  if (file.empty()) return 0;
  const std::string path = NativePath(file);
  const std::string arg = NativePath(argument);

  // A downloaded program arrives without execute permission.
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  if (!(st.st_mode & S_IXUSR)) chmod(path.c_str(), (st.st_mode & 07777) | S_IXUSR);

  TSpawnAttr attr;
  if (!attr.ok()) return 0;
  // The child starts with default signal handling and no blocked signals,
  // whatever the launcher (a GUI toolkit, a test runner) has set up.
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(attr.get(), &all);
  posix_spawnattr_setsigmask(attr.get(), &none);
  posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv = {const_cast<char*>(path.c_str()), const_cast<char*>(arg.c_str()),
                             nullptr};
  pid_t pid = 0;
  // glibc reports a failed exec as the result of posix_spawn (and reaps the
  // child), so a non-zero pid is a program that really runs.
  if (posix_spawn(&pid, path.c_str(), nullptr, attr.get(), argv.data(), environ) != 0) return 0;
  return static_cast<int64_t>(pid);
}
