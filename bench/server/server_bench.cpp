// server_bench: corvane-server under load on 127.0.0.1, next to nginx.
//
//   server_bench [--seconds S] [--file-mib N] [--only alive|file|digest|memory]
//                [--server-args "ARGS..."]
//
// Starts build/bin/corvane-server and /usr/sbin/nginx (own configuration and
// prefix in a temporary folder, bound to 127.0.0.1 on free ports), measures,
// prints one table, and stops both. The load generator makes one request per
// connection, as the launcher does.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "load_client.h"
#include "pack/text_encodings.h"
#include "platform/md5.h"

namespace {

constexpr int64_t kPiece = 524288;
const char kExeName[] = "_WEBPATH\\CorvanePage\\Nimbara.exe";

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Real programs and libraries of the machine, concatenated in name order.
std::string MachineBinaries(int64_t size) {
  std::vector<std::string> paths;
  for (const char* folder : {"/usr/bin", "/usr/lib/x86_64-linux-gnu"}) {
    if (DIR* dir = opendir(folder)) {
      while (dirent* entry = readdir(dir)) {
        const std::string path = std::string(folder) + "/" + entry->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 4096) {
          paths.push_back(path);
        }
      }
      closedir(dir);
    }
  }
  std::sort(paths.begin(), paths.end());
  std::string out;
  out.reserve(static_cast<size_t>(size));
  for (const std::string& path : paths) {
    if (static_cast<int64_t>(out.size()) >= size) break;
    const std::string bytes = ReadFile(path);
    if (bytes.compare(0, 4,
                      "\x7F"
                      "ELF") != 0)
      continue;
    out += bytes.substr(0, static_cast<size_t>(size) - out.size());
  }
  return out;
}

struct TChild {
  pid_t pid = -1;
};

TChild SpawnQuiet(const std::vector<std::string>& args, const std::string& stderr_path) {
  TChild child;
  child.pid = fork();
  if (child.pid == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    const int err_fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(null_fd, 1);
    dup2(err_fd >= 0 ? err_fd : null_fd, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

void WaitListening(int port) {
  for (int i = 0; i < 1000; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    if (ok) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("nothing listens on port " + std::to_string(port));
}

int64_t PeakMemoryKiB(pid_t pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + 6);
}

void StopChild(TChild& child, int signal_number) {
  if (child.pid <= 0) return;
  kill(child.pid, signal_number);
  waitpid(child.pid, nullptr, 0);
  child.pid = -1;
}

class TCorvane {
 public:
  static void SetCommonArgs(std::vector<std::string> args) { server_args_ = std::move(args); }
  TCorvane(const std::string& bin, const std::string& root, const std::string& log,
           std::vector<std::string> extra = {})
      : port_(FreePort()) {
    std::vector<std::string> args = {bin, "--root", root, "--listen",
                                     "127.0.0.1:" + std::to_string(port_)};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), server_args_.begin(), server_args_.end());
    child_ = SpawnQuiet(args, log);
    WaitListening(port_);
  }
  ~TCorvane() { StopChild(child_, SIGTERM); }
  int port() const { return port_; }
  int64_t PeakKiB() const { return PeakMemoryKiB(child_.pid); }

 private:
  static inline std::vector<std::string> server_args_;
  int port_;
  TChild child_;
};

class TNginx {
 public:
  TNginx(const std::string& prefix, const std::string& www) : port_(FreePort()) {
    mkdir(prefix.c_str(), 0700);
    const std::string conf = prefix + "/nginx.conf";
    WriteFile(conf,
              "daemon off;\nmaster_process on;\nworker_processes auto;\n"
              "pid " +
                  prefix + "/nginx.pid;\nerror_log " + prefix +
                  "/error.log;\n"
                  "events { worker_connections 4096; }\n"
                  "http {\n  access_log off;\n"
                  "  client_body_temp_path " +
                  prefix +
                  "/body;\n"
                  "  proxy_temp_path " +
                  prefix + "/proxy;\n  fastcgi_temp_path " + prefix +
                  "/fcgi;\n"
                  "  uwsgi_temp_path " +
                  prefix + "/uwsgi;\n  scgi_temp_path " + prefix +
                  "/scgi;\n"
                  "  default_type application/octet-stream;\n  sendfile on;\n"
                  "  server {\n    listen 127.0.0.1:" +
                  std::to_string(port_) +
                  ";\n"
                  "    location = /A001 { return 200 \"RESULTOK\"; }\n"
                  "    location / { root " +
                  www +
                  "; gzip on; gzip_comp_level 6; gzip_types *;\n"
                  "                 gzip_min_length 0; gzip_http_version 1.0; }\n"
                  "  }\n}\n");
    child_ = SpawnQuiet({"/usr/sbin/nginx", "-p", prefix, "-c", conf, "-e", prefix + "/error.log"},
                        prefix + "/stderr.log");
    WaitListening(port_);
  }
  ~TNginx() { StopChild(child_, SIGQUIT); }
  int port() const { return port_; }

 private:
  int port_;
  TChild child_;
};

// One client fetching the whole file piece by piece; false on any fault.
bool FetchFile(int port, const std::string& content, const std::string& name = kExeName) {
  std::string body, payload, error;
  for (int64_t offset = 0; offset < static_cast<int64_t>(content.size()); offset += kPiece) {
    const int64_t length = std::min<int64_t>(kPiece, static_cast<int64_t>(content.size()) - offset);
    const std::string request =
        BuildCommandRequest("GET_SERVER_FILE_STREAM",
                            {"LOGINKEY:pelkwarn", std::string("_FILENAME:") + kExeName,
                             "_BE:" + std::to_string(offset), "_LEN:" + std::to_string(length)});
    if (!Exchange(port, request, &body) || !UnpackFramed(body, &payload, &error)) return false;
    if (payload.size() != static_cast<size_t>(length) ||
        std::memcmp(payload.data(), content.data() + offset, static_cast<size_t>(length)) != 0) {
      return false;
    }
  }
  return true;
}

// `clients` clients fetching the file at once; aggregate MB/s (10^6 bytes).
// With separate_files, client i fetches its own copy "copy<i>.exe".
double FileRate(int port, const std::string& content, int clients, int64_t* failures,
                bool separate_files = false) {
  std::atomic<int64_t> failed{0};
  std::vector<std::thread> threads;
  const double start = Now();
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      const std::string name = separate_files ? "copy" + std::to_string(i) + ".exe" : kExeName;
      if (!FetchFile(port, content, name)) ++failed;
    });
  }
  for (std::thread& t : threads) t.join();
  const double elapsed = Now() - start;
  *failures += failed.load();
  return static_cast<double>(content.size()) * clients / elapsed / 1e6;
}

// `clients` curl processes fetching the file with gzip; aggregate MB/s of
// uncompressed bytes.
double CurlRate(int port, int64_t size, int clients, int64_t* failures) {
  std::vector<pid_t> pids;
  const double start = Now();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/Nimbara.exe";
  for (int i = 0; i < clients; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      const int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      execl("/usr/bin/curl", "curl", "--compressed", "-s", "-f", "-o", "/dev/null", url.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++*failures;
  }
  const double elapsed = Now() - start;
  return static_cast<double>(size) * clients / elapsed / 1e6;
}

std::string MakeTempFolder() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/corvane-bench-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
  // nginx started by root serves through unprivileged workers: let them in.
  chmod(pattern.c_str(), 0755);
  return pattern;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3.0;
  int64_t file_mib = 64;
  std::string only;
  std::vector<std::string> server_args;  // passed to every corvane-server started
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--file-mib") == 0) file_mib = std::atoll(argv[i + 1]);
    if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
    if (std::strcmp(argv[i], "--server-args") == 0) {
      std::string all = argv[i + 1];
      size_t start = 0;
      while (start < all.size()) {
        const size_t blank = all.find(' ', start);
        const std::string word = all.substr(start, blank - start);
        if (!word.empty()) server_args.push_back(word);
        if (blank == std::string::npos) break;
        start = blank + 1;
      }
    }
  }
  auto wanted = [&only](const char* part) { return only.empty() || only == part; };
  signal(SIGPIPE, SIG_IGN);
  const std::string bin = std::string(CORVANE_BIN_DIR) + "/corvane-server";
  const std::string dir = MakeTempFolder();
  int64_t failures = 0;
  try {
    const std::string content = MachineBinaries(file_mib << 20);
    mkdir((dir + "/root").c_str(), 0755);
    mkdir((dir + "/root/_WEBPATH").c_str(), 0755);
    mkdir((dir + "/root/_WEBPATH/CorvanePage").c_str(), 0755);
    mkdir((dir + "/www").c_str(), 0755);
    WriteFile(dir + "/root/_WEBPATH/CorvanePage/Nimbara.exe", content);
    WriteFile(dir + "/www/Nimbara.exe", content);
    std::printf(
        "file: %.1f MiB of the machine's programs and libraries; %u cores; %.1f s per "
        "timed run; load average at start: %s\n",
        content.size() / 1048576.0, std::thread::hardware_concurrency(), seconds,
        ReadFile("/proc/loadavg").substr(0, 14).c_str());
    std::printf("%-58s %14s %14s %8s\n", "measure", "corvane", "nginx", "ratio");
    auto row = [](const std::string& name, double ours, double theirs, const char* unit) {
      if (theirs > 0) {
        std::printf("%-58s %10.1f %-3s %10.1f %-3s %8.2f\n", name.c_str(), ours, unit, theirs, unit,
                    ours / theirs);
      } else {
        std::printf("%-58s %10.1f %-3s %14s %8s\n", name.c_str(), ours, unit, "-", "-");
      }
      std::fflush(stdout);
    };

    TCorvane::SetCommonArgs(server_args);
    TNginx nginx(dir + "/nginx", dir + "/www");
    if (wanted("alive")) {
      TCorvane server(bin, dir + "/root", dir + "/server-alive.log");
      const std::string alive = BuildCommandRequest("TEST_SERVER_ALIVE", {"LOGINKEY:pelkwarn"});
      const std::string plain = BuildPlainPost("/A001", "RESULTOK");
      auto ours = [&] {
        std::string body, payload, error;
        return Exchange(server.port(), alive, &body) && UnpackFramed(body, &payload, &error) &&
               payload == "RESULTOK";
      };
      auto theirs = [&] {
        std::string body;
        return Exchange(nginx.port(), plain, &body) && body == "RESULTOK";
      };
      for (int clients : {1, 32}) {
        const double a = RunFor(clients, seconds, ours, &failures);
        const double b = RunFor(clients, seconds, theirs, &failures);
        row("TEST_SERVER_ALIVE requests/s, " + std::to_string(clients) + " client(s)", a, b, "r/s");
      }
    }

    const int64_t size = static_cast<int64_t>(content.size());
    for (int clients : {1, 8}) {
      if (!wanted("file")) break;
      TCorvane server(bin, dir + "/root", dir + "/server-file.log");
      const double cold = FileRate(server.port(), content, clients, &failures);
      const double warm = FileRate(server.port(), content, clients, &failures);
      const double gzip = CurlRate(nginx.port(), size, clients, &failures);
      row("file MB/s cold cache, " + std::to_string(clients) + " client(s)", cold, gzip, "MB");
      row("file MB/s warm cache, " + std::to_string(clients) + " client(s)", warm, gzip, "MB");
    }
    if (wanted("file")) {
      // Eight clients that share nothing: each fetches a copy of its own.
      for (int i = 0; i < 8; ++i) {
        WriteFile(dir + "/root/copy" + std::to_string(i) + ".exe", content);
      }
      TCorvane server(bin, dir + "/root", dir + "/server-copies.log");
      row("file MB/s cold cache, 8 clients, a copy each",
          FileRate(server.port(), content, 8, &failures, true), 0, "MB");
      for (int i = 0; i < 8; ++i) unlink((dir + "/root/copy" + std::to_string(i) + ".exe").c_str());
    }
    if (wanted("file")) {
      TCorvane server(bin, dir + "/root", dir + "/server-noprefetch.log", {"--no-prefetch"});
      row("file MB/s cold cache, 1 client, --no-prefetch",
          FileRate(server.port(), content, 1, &failures), 0, "MB");
    }

    if (wanted("digest")) {
      TCorvane server(bin, dir + "/root", dir + "/server-digest.log");
      FileRate(server.port(), content, 1, &failures);  // warm the cache
      std::vector<std::string> requests;
      for (int64_t offset = 0; offset < size; offset += kPiece) {
        const int64_t length = std::min<int64_t>(kPiece, size - offset);
        requests.push_back(BuildCommandRequest(
            "GET_SERVER_FILE_STREAM",
            {"LOGINKEY:pelkwarn", std::string("_FILENAME:") + kExeName,
             "_BE:" + std::to_string(offset), "_LEN:" + std::to_string(length), "_AUsesMD5Check:T",
             "_MD5Str:" + Md5Hex(content.substr(static_cast<size_t>(offset),
                                                static_cast<size_t>(length)))}));
      }
      std::atomic<size_t> next{0};
      auto confirm = [&] {
        const size_t i = next++ % requests.size();
        std::string body, payload, error;
        return Exchange(server.port(), requests[i], &body) &&
               UnpackFramed(body, &payload, &error) && payload.size() == 32;
      };
      row("digest-confirmed pieces/s, 8 clients, warm cache",
          RunFor(8, seconds, confirm, &failures), 0, "p/s");
    }

    if (wanted("memory")) {
      TCorvane server(bin, dir + "/root", dir + "/server-memory.log");
      const std::string alive = BuildCommandRequest("TEST_SERVER_ALIVE", {"LOGINKEY:pelkwarn"});
      FileRate(server.port(), content, 32, &failures);  // cold, then warm
      FileRate(server.port(), content, 32, &failures);
      RunFor(
          32, 1.0,
          [&] {
            std::string body;
            return Exchange(server.port(), alive, &body);
          },
          &failures);
      row("server peak memory (VmHWM), 32 clients, MiB", server.PeakKiB() / 1024.0, 0, "MiB");
      std::printf("  (limit: cache 256 MiB + 64 MiB = 320 MiB)\n");
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "server_bench: %s\n", e.what());
    failures = -1;
  }
  const std::string cleanup = "rm -rf '" + dir + "'";
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
  std::printf("\nfailed requests: %lld\n", static_cast<long long>(failures));
  return failures == 0 ? 0 : 1;
}
