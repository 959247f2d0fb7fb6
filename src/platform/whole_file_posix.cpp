#include "platform/whole_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

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
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Removes the temporary file unless the rename has taken it over.
class TTempFileGuard {
 public:
  explicit TTempFileGuard(std::string path) : path_(std::move(path)) {}
  ~TTempFileGuard() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  TTempFileGuard(const TTempFileGuard&) = delete;
  TTempFileGuard& operator=(const TTempFileGuard&) = delete;
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& native_path, std::string& bytes, TWholeFileInfo& info,
                   int& error_number) {
  TFd fd(open(native_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    error_number = errno;
    return false;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    error_number = errno;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error_number = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  info.mode = st.st_mode & 07777;
  info.device = st.st_dev;
  info.inode = st.st_ino;
  std::string content;
  content.reserve(static_cast<size_t>(st.st_size));
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error_number = errno;
      return false;
    }
    if (n == 0) break;
    content.append(buffer.data(), static_cast<size_t>(n));
  }
  bytes.swap(content);
  return true;
}

bool ReplaceWholeFile(const std::string& native_path, const std::string& bytes, uint32_t mode,
                      int& error_number, TReplaceStep& failed_step, std::string& temp_path) {
  temp_path.clear();
  std::string temp_name = native_path + ".XXXXXX";
  TFd fd(mkostemp(temp_name.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    error_number = errno;
    failed_step = TReplaceStep::kCreate;
    return false;
  }
  temp_path = temp_name;
  TTempFileGuard guard(temp_name);
  if (!WriteAll(fd.get(), bytes) || fchmod(fd.get(), static_cast<mode_t>(mode)) != 0 ||
      fsync(fd.get()) != 0 || close(fd.Release()) != 0) {
    error_number = errno;
    failed_step = TReplaceStep::kWrite;
    return false;
  }
  if (rename(temp_name.c_str(), native_path.c_str()) != 0) {
    error_number = errno;
    failed_step = TReplaceStep::kRename;
    return false;
  }
  guard.Keep();
  return true;
}
