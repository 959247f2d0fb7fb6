#include "platform/file_ops.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/native_path.h"

namespace {

// Closes a descriptor when it goes out of scope.
class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ULL;  // 1970-01-01 in 100 ns

uint64_t ToFileTime(const struct timespec& ts) {
  // tv_nsec is always 0..999999999, so this is exact for times before 1970
  // as well.
  return static_cast<uint64_t>(static_cast<int64_t>(kUnixEpochInFileTime) +
                               static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100);
}

bool PathIsPresent(const std::string& native) {
  struct stat st;
  return lstat(native.c_str(), &st) == 0;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // The file system cannot rename without replacing: a hard link fails when
  // the name exists, just as the rename should.
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return true;
  }
  if (errno != EPERM && errno != ENOSYS) return false;
  if (PathIsPresent(to)) return false;
  return rename(from.c_str(), to.c_str()) == 0;
}

bool CopyDescriptor(int in, int out) {
  bool plain = false;
  for (;;) {
    ssize_t n;
    if (!plain) {
      n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        plain = true;
        continue;
      }
    } else {
      char buffer[1 << 16];
      n = read(in, buffer, sizeof(buffer));
      for (ssize_t done = 0; n > 0 && done < n;) {
        const ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
        if (w < 0) {
          if (errno == EINTR) continue;
          return false;
        }
        done += w;
      }
    }
    if (n == 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

}  // namespace

bool FileIsPresent(const std::u16string& path) {
  struct stat st;
  return stat(NativePath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void ClearFileAttributes(const std::u16string& path) {
  const std::string native = NativePath(path);
  struct stat st;
  if (stat(native.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR))
    chmod(native.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

bool CanOpenExclusively(const std::u16string& path) {
  TFd fd(open(NativePath(path).c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.ok()) return false;  // ETXTBSY: a running program
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  // The lock goes away with the descriptor.
  return flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

bool RenameFileAndWait(const std::u16string& old_path, const std::u16string& new_path) {
  const std::string to = NativePath(new_path);
  if (!RenameNoReplace(NativePath(old_path), to)) return false;
  if (!PathIsPresent(to)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int check = 0; check < 10 && !PathIsPresent(to); ++check)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

bool CopyFileOver(const std::u16string& source, const std::u16string& destination) {
  const std::string from = NativePath(source);
  const std::string to = NativePath(destination);
  if (FileIsPresent(destination)) ClearFileAttributes(destination);
  TFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.ok()) return false;
  // Replace the name rather than write through it: a link planted under the
  // destination's name is removed, never followed.
  if (unlink(to.c_str()) != 0 && errno != ENOENT) return false;
  TFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!out.ok()) return false;
  if (!CopyDescriptor(in.get(), out.get())) {
    unlink(to.c_str());
    return false;
  }
  return true;
}

bool LinkOrCopyFile(const std::u16string& source, const std::u16string& destination, bool& linked) {
  linked = false;
  const std::string from = NativePath(source);
  const std::string to = NativePath(destination);
  struct stat st;
  if (stat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // Removing a name needs no permission on the file itself: a read-only
  // leftover goes without touching the mode bits it may share with source.
  if (unlink(to.c_str()) != 0 && errno != ENOENT) {
    ClearFileAttributes(destination);
    if (unlink(to.c_str()) != 0 && errno != ENOENT) return false;
  }
  if (link(from.c_str(), to.c_str()) == 0) {
    linked = true;
    return true;
  }
  // Another file system, links not supported or too many of them: a copy.
  return CopyFileOver(source, destination);
}

bool CopyFileBytes(const std::u16string& source, int64_t source_offset,
                   const std::u16string& destination, int64_t destination_offset, int64_t length) {
  if (source_offset < 0 || destination_offset < 0 || length < 0) return false;
  TFd in(open(NativePath(source).c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.ok()) return false;
  TFd out(open(NativePath(destination).c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!out.ok()) return false;
  off_t in_at = source_offset, out_at = destination_offset;
  int64_t left = length;
  bool plain = false;
  std::unique_ptr<char[]> buffer;
  constexpr size_t kPlainChunk = 1 << 16;
  while (left > 0) {
    if (!plain) {
      const ssize_t n =
          copy_file_range(in.get(), &in_at, out.get(), &out_at, static_cast<size_t>(left), 0);
      if (n > 0) {
        left -= n;
        continue;
      }
      if (n == 0) return false;  // source ended early
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
          errno != EPERM)
        return false;
      plain = true;
      buffer.reset(new char[kPlainChunk]);
    }
    const ssize_t n = pread(in.get(), buffer.get(),
                            static_cast<size_t>(std::min<int64_t>(left, kPlainChunk)), in_at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = pwrite(out.get(), buffer.get() + done, static_cast<size_t>(n - done),
                               out_at + done);
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
    in_at += n;
    out_at += n;
    left -= n;
  }
  return true;
}

bool RemoveFile(const std::u16string& path) {
  const std::string native = NativePath(path);
  struct stat st;
  if (lstat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
  return unlink(native.c_str()) == 0 || errno == ENOENT;
}

bool ReadLocalFileInfo(const std::u16string& path, TLocalFileInfo& info) {
  TFd fd(open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0) return false;
  info.WriteTime = ToFileTime(st.st_mtim);
  info.Size = st.st_size;
  return true;
}

bool ReadFileTimes(const std::u16string& path, uint64_t& access_time, uint64_t& write_time) {
  struct stat st;
  if (stat(NativePath(path).c_str(), &st) != 0) return false;
  access_time = ToFileTime(st.st_atim);
  write_time = ToFileTime(st.st_mtim);
  return true;
}

bool MoveFileOver(const std::u16string& source, const std::u16string& target) {
  const std::string from = NativePath(source);
  const std::string to = NativePath(target);
  struct stat st;
  mode_t mode = 0644;
  if (stat(to.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;
  if (chmod(from.c_str(), mode) != 0) return false;
  return rename(from.c_str(), to.c_str()) == 0;
}
