#include "support/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "pack/text_encodings.h"

namespace fs = std::filesystem;

TTempDir::TTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/corvane-test-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TTempDir::~TTempDir() {
  std::error_code ec;
  // Give back write permission first, so read-only fixtures do not stay.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::u16string TTempDir::wpath() const { return Utf8ToWide(path_); }
std::string TTempDir::File(const std::string& name) const { return path_ + "/" + name; }
std::u16string TTempDir::WFile(const std::string& name) const { return Utf8ToWide(File(name)); }

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool PathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(path, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("no free port");
  }
  const int port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

std::string ExecutableLikeBytes(int64_t size) {
  static const char* const kSources[] = {"/usr/bin/cmake", "/usr/bin/gdb", "/usr/bin/bash",
                                         "/usr/bin/ls", "/bin/sh"};
  std::string pool;
  for (const char* p : kSources) {
    std::error_code ec;
    if (!fs::exists(p, ec)) continue;
    pool += ReadFileBytes(fs::canonical(p).string());
    if (static_cast<int64_t>(pool.size()) >= size) break;
  }
  if (pool.empty()) pool = "no executables found on this machine";
  std::string out;
  out.reserve(static_cast<size_t>(size));
  while (static_cast<int64_t>(out.size()) < size)
    out.append(pool, 0, std::min<size_t>(pool.size(), static_cast<size_t>(size) - out.size()));
  return out;
}

std::string HexBytes(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof(buf), "%02X", static_cast<unsigned char>(bytes[i]));
    if (i) out += ' ';
    out += buf;
  }
  return out;
}
