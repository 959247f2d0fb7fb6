#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/folders.h"
#include "platform/native_path.h"

namespace {

// Closes its descriptor on every path.
class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool FolderExists(const std::u16string& path) {
  struct stat st;
  return stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int CreateOneFolder(const std::u16string& path) {
  const std::string native = NativePath(path);
  if (mkdir(native.c_str(), 0777) == 0) return 0;
  const int err = errno;
  // Someone else may have made it in the meantime; a folder is a folder.
  if (err == EEXIST && FolderExists(path)) return 0;
  return err;
}

bool ReadSmallFile(const std::u16string& path, std::string& bytes) {
  TFd fd(open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  bytes.swap(content);
  return true;
}
