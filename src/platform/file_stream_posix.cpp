#include "platform/file_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/native_path.h"

namespace {

constexpr int kOpenTries = 3;
constexpr auto kOpenPause = std::chrono::milliseconds(10);

[[noreturn]] void Fail(const char* what, const std::u16string& path, int err) {
  throw EStreamError(std::string(what) + " " + NativePath(path) + ": " + strerror(err));
}

template <typename Open>
int OpenWithTries(Open open, int& err) {
  for (int attempt = 1; attempt <= kOpenTries; ++attempt) {
    const int fd = open();
    if (fd >= 0) return fd;
    err = errno;
    if (attempt < kOpenTries) std::this_thread::sleep_for(kOpenPause);
  }
  return -1;
}

}  // namespace

TFileStream TFileStream::Create(const std::u16string& path) {
  const std::string native = NativePath(path);
  int err = 0;
  const int fd = OpenWithTries(
      [&] {
        // Only a plain file is made writable and replaced; a link at the
        // name is not followed, so it cannot make us empty another file.
        struct stat st;
        if (lstat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
          chmod(native.c_str(), (st.st_mode & 07777) | S_IWUSR);
        return open(native.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
      },
      err);
  if (fd < 0) Fail("Cannot create file", path, err);
  return TFileStream(fd, path);
}

TFileStream TFileStream::CreateExclusive(const std::u16string& path) {
  const std::string native = NativePath(path);
  int err = 0;
  const int fd = OpenWithTries(
      [&] {
        return open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      },
      err);
  if (fd < 0) Fail("Cannot create file", path, err);
  return TFileStream(fd, path);
}

TFileStream TFileStream::OpenReadWriteShareRead(const std::u16string& path) {
  const std::string native = NativePath(path);
  int err = 0;
  const int fd = OpenWithTries(
      [&] {
        const int f = open(native.c_str(), O_RDWR | O_CLOEXEC);
        if (f < 0) return f;
        // A shared lock lets readers in but keeps out anyone who asks for
        // the file exclusively.
        if (flock(f, LOCK_SH | LOCK_NB) != 0) {
          const int e = errno;
          close(f);
          errno = e;
          return -1;
        }
        return f;
      },
      err);
  if (fd < 0) Fail("Cannot open file", path, err);
  return TFileStream(fd, path);
}

TFileStream TFileStream::OpenRead(const std::u16string& path) {
  const int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("Cannot open file", path, errno);
  return TFileStream(fd, path);
}

TFileStream::TFileStream(TFileStream&& other) noexcept
    : fd_(other.fd_), position_(other.position_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

TFileStream& TFileStream::operator=(TFileStream&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    position_ = other.position_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

TFileStream::~TFileStream() { Close(); }

void TFileStream::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

int64_t TFileStream::Size() const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return 0;
  return st.st_size;
}

void TFileStream::SetPosition(int64_t position) {
  if (position < 0) throw EStreamError("Stream position out of range");
  position_ = position;
}

void TFileStream::SetSize(int64_t size) {
  if (fd_ < 0 || ftruncate(fd_, size) != 0) Fail("Cannot resize file", path_, errno);
  if (position_ > size) position_ = size;
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (fd_ < 0 || count <= 0) return 0;
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = pread(fd_, static_cast<char*>(buffer) + done,
                            static_cast<size_t>(count - done), position_ + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Cannot read file", path_, errno);
    }
    if (n == 0) break;
    done += n;
  }
  position_ += done;
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (fd_ < 0) throw EStreamError("Stream write error");
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = pwrite(fd_, static_cast<const char*>(buffer) + done,
                             static_cast<size_t>(count - done), position_ + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Cannot write file", path_, errno);
    }
    done += n;
  }
  position_ += done;
  return done;
}

bool TFileStream::SetFileTimes(uint64_t access_time, uint64_t write_time) {
  // 100 ns units since 1601-01-01 to seconds and nanoseconds since 1970.
  constexpr uint64_t kEpochDelta = 116444736000000000ULL;
  auto to_timespec = [](uint64_t t) {
    struct timespec ts;
    const int64_t since_1970 = static_cast<int64_t>(t) - static_cast<int64_t>(kEpochDelta);
    int64_t sec = since_1970 / 10000000;
    int64_t rem = since_1970 % 10000000;
    if (rem < 0) {
      rem += 10000000;
      --sec;
    }
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(rem * 100);
    return ts;
  };
  struct timespec times[2] = {to_timespec(access_time), to_timespec(write_time)};
  return fd_ >= 0 && futimens(fd_, times) == 0;
}
