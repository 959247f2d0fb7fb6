#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/ini_file.h"
#include "platform/native_path.h"

namespace {

// Closes its descriptor on every path.
class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  ~TFd() { Reset(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
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
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

std::u16string Message(const char* what, const std::string& path, int err) {
  return WidePath(std::string(what) + " " + path + ": " + strerror(err));
}

// Reads the existing file; a missing file gives empty text and mode 0644.
bool ReadExisting(const std::string& path, std::string& text, mode_t& mode, int& err) {
  text.clear();
  mode = 0644;
  TFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    err = errno;
    return err == ENOENT;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    err = errno;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  mode = st.st_mode & 07777;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

bool WriteAll(int fd, const std::string& bytes, int& err) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteIniString(const std::u16string& path, const std::u16string& section,
                    const std::u16string& key, const std::u16string& value,
                    std::u16string& ErrorText) {
  const std::string native = NativePath(path);
  std::string text;
  mode_t mode = 0644;
  int err = 0;
  if (!ReadExisting(native, text, mode, err)) {
    ErrorText = Message("Cannot read settings file", native, err);
    return false;
  }
  const std::string updated =
      SetIniValue(text, NativePath(section), NativePath(key), NativePath(value));

  std::vector<char> temp_name(native.begin(), native.end());
  const std::string suffix = ".XXXXXX";
  temp_name.insert(temp_name.end(), suffix.begin(), suffix.end());
  temp_name.push_back('\0');
  TFd fd(mkostemp(temp_name.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    ErrorText = Message("Cannot write settings file", native, errno);
    return false;
  }
  TTempFileGuard guard(temp_name.data());
  if (!WriteAll(fd.get(), updated, err) || fchmod(fd.get(), mode) != 0 || fsync(fd.get()) != 0) {
    if (err == 0) err = errno;
    ErrorText = Message("Cannot write settings file", native, err);
    return false;
  }
  if (close(fd.Release()) != 0) {
    ErrorText = Message("Cannot write settings file", native, errno);
    return false;
  }
  if (rename(temp_name.data(), native.c_str()) != 0) {
    ErrorText = Message("Cannot replace settings file", native, errno);
    return false;
  }
  guard.Keep();
  return true;
}
