// The file side of corvaneboot-stamp: reading the input, refusing to write
// over it, and writing the copy so that nothing is left when a step fails.

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tools/parameter_stamp.h"

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

// Removes the temporary copy unless it has become the output.
class TTempFile {
 public:
  explicit TTempFile(std::string path) : path_(std::move(path)) {}
  ~TTempFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

std::string SystemError(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + strerror(err);
}

bool ReadProgram(const std::string& path, std::string& bytes, struct stat& st, std::string& error) {
  TFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    error = SystemError("cannot open", path, errno);
    return false;
  }
  if (fstat(fd.get(), &st) != 0) {
    error = SystemError("cannot examine", path, errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = path + " is not a regular file";
    return false;
  }
  std::string content;
  content.reserve(static_cast<size_t>(st.st_size));
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error = SystemError("cannot read", path, errno);
      return false;
    }
    if (n == 0) break;
    content.append(buffer.data(), static_cast<size_t>(n));
  }
  bytes.swap(content);
  return true;
}

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

bool StampFile(const std::string& input, const std::string& output, const std::string& parameter,
               std::string& error) {
  if (output == input) {
    error = "the output path is the input path; the input is never changed";
    return false;
  }
  std::string image;
  struct stat in_st;
  if (!ReadProgram(input, image, in_st, error)) return false;
  struct stat out_st;
  if (stat(output.c_str(), &out_st) == 0 && out_st.st_dev == in_st.st_dev &&
      out_st.st_ino == in_st.st_ino) {
    error = "the output " + output +
            " is the input file under another name; the input is "
            "never changed";
    return false;
  }
  std::string stamped;
  if (!StampImage(image, parameter, stamped, error)) return false;

  std::string temp_name = output + ".XXXXXX";
  TFd fd(mkostemp(temp_name.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    error = SystemError("cannot create a file beside", output, errno);
    return false;
  }
  TTempFile temp(temp_name);
  if (!WriteAll(fd.get(), stamped) || fchmod(fd.get(), in_st.st_mode & 07777) != 0 ||
      fsync(fd.get()) != 0) {
    error = SystemError("cannot write", temp_name, errno);
    return false;
  }
  if (close(fd.Release()) != 0) {
    error = SystemError("cannot write", temp_name, errno);
    return false;
  }
  if (rename(temp_name.c_str(), output.c_str()) != 0) {
    error = SystemError("cannot create", output, errno);
    return false;
  }
  temp.Keep();
  return true;
}

bool ShowFile(const std::string& path, std::string& report, std::string& error) {
  std::string image;
  struct stat st;
  if (!ReadProgram(path, image, st, error)) return false;
  std::string parameter;
  if (!ReadStampedParameter(image, parameter, error)) return false;
  report = DescribeParameterString(parameter);
  return true;
}
