#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "server_files.h"

namespace {

int64_t Ns(const struct statx_timestamp& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

bool FillFromStatx(int fd, TServerFile* file, std::string* error) {
  struct statx st;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) {
    *error = std::string("cannot examine file: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.stx_mode)) {
    *error = "not a regular file";
    return false;
  }
  file->device = (static_cast<uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
  file->inode = st.stx_ino;
  file->size = static_cast<int64_t>(st.stx_size);
  file->write_ns = Ns(st.stx_mtime);
  file->change_ns = file->write_ns;
  file->access_ns = Ns(st.stx_atime);
  file->status_change_ns = Ns(st.stx_ctime);
  file->creation_ns = (st.stx_mask & STATX_BTIME) ? Ns(st.stx_btime) : file->status_change_ns;
  return true;
}

// Splits at "\" and "/" after the checks of the header comment.
bool SplitServerName(const std::string& name, std::vector<std::string>* parts, std::string* error) {
  if (name.empty()) {
    *error = "empty server file name";
    return false;
  }
  if (name.find('\0') != std::string::npos) {
    *error = "server file name holds a NUL byte";
    return false;
  }
  if (name[0] == '\\' || name[0] == '/') {
    *error = "absolute server file name refused: " + name;
    return false;
  }
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    *error = "server file name with a drive letter refused: " + name;
    return false;
  }
  std::string part;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '\\' || name[i] == '/') {
      if (part.empty() || part == "." || part == "..") {
        *error = "server file name with an empty, \".\" or \"..\" component refused: " + name;
        return false;
      }
      parts->push_back(part);
      part.clear();
    } else {
      part += name[i];
    }
  }
  return true;
}

// Opens a path that realpath() produced, refusing any symbolic link met on
// the way, so that a link swapped in after the check is not followed.
int OpenResolved(const std::string& path) {
  struct open_how how;
  std::memset(&how, 0, sizeof(how));
  how.flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  int fd = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof(how)));
  if (fd < 0 && errno == ENOSYS) {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
  }
  return fd;
}

struct TFreeDeleter {
  void operator()(char* p) const { free(p); }
};

}  // namespace

TServerFile::~TServerFile() {
  if (fd_ >= 0) close(fd_);
}

TServerFile::TServerFile(TServerFile&& other) noexcept { *this = std::move(other); }

TServerFile& TServerFile::operator=(TServerFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    path = std::move(other.path);
    device = other.device;
    inode = other.inode;
    size = other.size;
    change_ns = other.change_ns;
    status_change_ns = other.status_change_ns;
    creation_ns = other.creation_ns;
    access_ns = other.access_ns;
    write_ns = other.write_ns;
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool TServerFile::ReadPiece(int64_t offset, int64_t length, std::string* out,
                            std::string* error) const {
  out->resize(static_cast<size_t>(length));
  int64_t done = 0;
  while (done < length) {
    const ssize_t n = pread(fd_, out->data() + done, static_cast<size_t>(length - done),
                            static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      out->clear();
      *error = n < 0 ? std::string("cannot read file: ") + std::strerror(errno)
                     : std::string("file ended before the asked piece");
      return false;
    }
    done += n;
  }
  return true;
}

bool TServerFile::Unchanged() const {
  TServerFile now;
  std::string error;
  if (!FillFromStatx(fd_, &now, &error)) return false;
  return now.device == device && now.inode == inode && now.size == size &&
         now.change_ns == change_ns && now.status_change_ns == status_change_ns;
}

bool ResolveServedRoot(const std::string& root, std::string* real_root, std::string* error) {
  if (root.empty()) {
    *error = "no served folder given (--root)";
    return false;
  }
  std::unique_ptr<char, TFreeDeleter> resolved(realpath(root.c_str(), nullptr));
  struct stat st;
  if (!resolved || stat(resolved.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "served folder is not a folder: " + root;
    return false;
  }
  *real_root = resolved.get();
  return true;
}

bool OpenServerFile(const std::string& real_root, const std::string& server_name, TServerFile* file,
                    std::string* error) {
  std::vector<std::string> parts;
  if (!SplitServerName(server_name, &parts, error)) return false;
  std::string joined = real_root;
  for (const std::string& part : parts) joined += "/" + part;

  std::unique_ptr<char, TFreeDeleter> resolved(realpath(joined.c_str(), nullptr));
  if (!resolved) {
    if (errno == ENOENT || errno == ENOTDIR) {
      *error = "file not found: " + server_name;
    } else {
      *error = "cannot open file " + server_name + ": " + std::strerror(errno);
    }
    return false;
  }
  const std::string real = resolved.get();
  const std::string prefix = real_root == "/" ? "/" : real_root + "/";
  if (real.compare(0, prefix.size(), prefix) != 0 || real.size() == prefix.size()) {
    *error = "server file name leads outside the served folder: " + server_name;
    return false;
  }
  const int fd = OpenResolved(real);
  if (fd < 0) {
    if (errno == ENOENT) {
      *error = "file not found: " + server_name;
    } else {
      *error = "cannot open file " + server_name + ": " + std::strerror(errno);
    }
    return false;
  }
  TServerFile opened;
  opened.fd_ = fd;
  opened.path = real;
  std::string why;
  if (!FillFromStatx(fd, &opened, &why)) {
    *error = why + ": " + server_name;
    return false;
  }
  *file = std::move(opened);
  return true;
}

std::string FileTimeText(int64_t unix_ns) {
  constexpr int64_t kEpochDifference = 116444736000000000LL;  // 1601 to 1970 in 100 ns
  int64_t ticks = unix_ns / 100;
  if (unix_ns < 0 && unix_ns % 100 != 0) --ticks;  // floor
  uint64_t file_time = 0;
  if (ticks >= -kEpochDifference) file_time = static_cast<uint64_t>(ticks + kEpochDifference);
  return std::to_string(file_time & 0xFFFFFFFFu) + "|" + std::to_string(file_time >> 32);
}

bool MakePrivateFolder(const std::string& prefix, std::string* path, std::string* error) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) {
    *error = "cannot create a folder like " + pattern + ": " + std::strerror(errno);
    return false;
  }
  *path = buffer.data();
  return true;
}

bool EnsureFolder(const std::string& path, std::string* error) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (!partial.empty()) mkdir(partial.c_str(), 0700);
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(path.c_str(), W_OK) != 0) {
    *error = "upload folder is not a writable folder: " + path;
    return false;
  }
  return true;
}

void RemoveFolder(const std::string& path) {
  if (DIR* dir = opendir(path.c_str())) {
    while (struct dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      unlink((path + "/" + name).c_str());
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}
