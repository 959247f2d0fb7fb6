#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

#include "platform/environment.h"
#include "platform/native_path.h"

std::u16string EnvironmentVariable(const char* name) {
  const char* value = getenv(name);
  return value ? WidePath(value) : std::u16string();
}

std::u16string HomeFolder() {
  const char* home = getenv("HOME");
  if (home && home[0] == '/') return WidePath(home);
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 16384;
  std::vector<char> buffer(static_cast<size_t>(size));
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir || found->pw_dir[0] != '/')
    return std::u16string();
  return WidePath(found->pw_dir);
}
