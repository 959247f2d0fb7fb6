#include <errno.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/native_path.h"
#include "platform/work_file.h"

bool WorkPathTaken(const std::u16string& path) {
  struct stat st;
  if (lstat(NativePath(path).c_str(), &st) != 0) return false;
  return !S_ISDIR(st.st_mode);
}

bool WorkFolderPresent(const std::u16string& path) {
  struct stat st;
  return stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateWorkFolder(const std::u16string& path) {
  const std::string native = NativePath(path);
  if (native.empty()) return false;
  // Create each missing level from the top down.
  for (size_t slash = native.find('/', 1);; slash = native.find('/', slash + 1)) {
    const std::string part = native.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return WorkFolderPresent(path);
}

void RemoveWorkFile(const std::u16string& path) { unlink(NativePath(path).c_str()); }

double LocalTimeOfDay() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  const double seconds =
      local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + now.tv_nsec / 1e9;
  const double fraction = seconds / 86400.0;
  return fraction < 1.0 ? fraction : 0.999999999;
}

uint64_t CurrentThreadNumber() { return static_cast<uint64_t>(syscall(SYS_gettid)); }
