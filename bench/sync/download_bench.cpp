// download_bench: DownloadServerFile against the reference server on
// 127.0.0.1, beside the tools a user would pick instead (nginx + curl, an
// rsync daemon), on the same executable-like file and the same loopback.
//
//   download_bench [--size-mib N] [--big-mib N] [--repeat N] [--no-peers]
//
// Every timed run is a separate process (the download runs in a child of
// this program, re-executed with --child), timed from start to exit; the
// best of --repeat runs is shown. "requests" are the server's request count,
// "wire" the TCP payload bytes of both directions, counted by a forwarding
// proxy in a separate, untimed run of the same scenario. "cpu s" is the user
// and system time of the client process of the fastest run (servers not
// counted). "peak" is the download process's peak resident set size (VmHWM).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "corvane_server.h"
#include "net/command_calls.h"
#include "platform/md5.h"
#include "counting_proxy.h"
#include "pack/text_encodings.h"
#include "sync/download_server_file.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

constexpr int32_t kPieceSize = 524288;  // what the start sequence passes
constexpr char kServerName[] = "_WEBPATH\\CorvanePage\\Nimbara.exe";

// ---------------------------------------------------------------- the child

int ChildMain(int argc, char** argv) {
  // --child HOST PORT SERVER_NAME TARGET PIECE
  if (argc != 7) return 2;
  std::u16string error;
  const bool ok = DownloadServerFile(u"pelkwarn", Utf8ToWide(argv[2]), std::atoi(argv[3]),
                                     Utf8ToWide(argv[4]), Utf8ToWide(argv[5]), error, nullptr,
                                     nullptr, nullptr, std::atoi(argv[6]), true, true, true, true,
                                     u"download", u"downloadtemp");
  if (!ok) std::fprintf(stderr, "download failed: %s\n", WideToUtf8(error).c_str());
  // The peak resident size of this program image (VmHWM starts afresh at
  // exec, unlike the rusage figure, which keeps the parent's peak).
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) std::printf("%ld\n", std::atol(line.c_str() + 6));
  return ok ? 0 : 1;
}

std::string ReadFile(const std::string& path);

int LinkOnlyMain(int argc, char** argv) {
  // --link-only HOST PORT SERVER_NAME LOCAL PIECE: the piece requests that a
  // download of LOCAL's content would make, each with LOCAL's digest, and
  // nothing else: the link's share of a download's time.
  if (argc != 7) return 2;
  const std::u16string host = Utf8ToWide(argv[2]);
  const int port = std::atoi(argv[3]);
  const std::u16string name = Utf8ToWide(argv[4]);
  const int64_t piece = std::atoll(argv[6]);
  const std::string local = ReadFile(argv[5]);
  std::vector<std::u16string> digests;
  for (int64_t offset = 0; offset < static_cast<int64_t>(local.size()); offset += piece)
    digests.push_back(AsciiToWide(Md5Hex(local.data() + offset,
                                         std::min<int64_t>(piece, local.size() - offset))));
  const auto start = std::chrono::steady_clock::now();
  TMemoryStream answer;
  for (size_t i = 0; i < digests.size(); ++i) {
    const int64_t offset = static_cast<int64_t>(i) * piece;
    const int64_t length = std::min<int64_t>(piece, local.size() - offset);
    std::u16string error;
    if (!CallCommandStream(u"A001", u"GET_SERVER_FILE_STREAM", host, port,
                           {u"LOGINKEY:pelkwarn", u"_FILENAME:" + name,
                            AsciiToWide("_BE:" + std::to_string(offset)),
                            AsciiToWide("_LEN:" + std::to_string(length)), u"_AUsesMD5Check:T",
                            u"_MD5Str:" + digests[i]},
                           answer, error, 0, 3))
      return 1;
  }
  std::printf("%.6f\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                             .count());
  return 0;
}

// ------------------------------------------------------------ processes

struct TProcessRun {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system time of the process itself
  long peak_kib = 0;
  int status = -1;
  bool ok() const { return status == 0; }
};

pid_t Spawn(const std::vector<std::string>& args, bool quiet, int stdout_fd = -1) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  if (quiet) {
    if (stdout_fd < 0) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
  return pid;
}

// Runs a program to its end. With report_peak the program prints its own
// peak resident size in KiB as the last line of its standard output.
TProcessRun RunProcess(const std::vector<std::string>& args, bool report_peak = false) {
  int pipe_fds[2] = {-1, -1};
  if (report_peak && pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = Spawn(args, true, pipe_fds[1]);
  std::string output;
  if (report_peak) {
    close(pipe_fds[1]);
    char buffer[256];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof(buffer))) > 0;) output.append(buffer, n);
    close(pipe_fds[0]);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  TProcessRun run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                    usage.ru_stime.tv_usec / 1e6;
  run.peak_kib = report_peak ? std::atol(output.c_str()) : -1;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// A server program started for the whole benchmark, stopped at the end.
class TDaemon {
 public:
  TDaemon(std::vector<std::string> args, int port) : pid_(Spawn(args, true)) {
    for (int i = 0; i < 500; ++i) {
      if (Accepts(port)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    throw std::runtime_error("did not start listening: " + args[0]);
  }
  ~TDaemon() { Stop(); }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

int FreePort() {
  TCountingProxy probe(1);  // binds port 0 on 127.0.0.1
  return probe.Port();
}

// ---------------------------------------------------------------- files

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The machine's own programs and libraries, concatenated (sorted by path,
// repeated when they run out) up to size bytes.
std::string ExecutableLike(int64_t size) {
  std::vector<std::string> files;
  for (const char* dir : {"/usr/bin", "/usr/lib/x86_64-linux-gnu"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      std::error_code ec2;
      if (e.is_regular_file(ec2) && !e.is_symlink(ec2) && e.file_size(ec2) >= 65536)
        files.push_back(e.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  std::string out;
  out.reserve(static_cast<size_t>(size));
  while (static_cast<int64_t>(out.size()) < size && !files.empty()) {
    for (const std::string& f : files) {
      const std::string bytes = ReadFile(f);
      out.append(bytes, 0, std::min<size_t>(bytes.size(), static_cast<size_t>(size) - out.size()));
      if (static_cast<int64_t>(out.size()) >= size) break;
    }
  }
  return out;
}

void SetWriteTime(const std::string& path, time_t seconds) {
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void Remove(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

// ---------------------------------------------------------------- results

struct TRow {
  std::string name;
  double seconds = 0;
  double cpu_seconds = -1;
  int64_t size = 0;
  int64_t requests = -1;
  int64_t wire = -1;
  long peak_kib = -1;
  bool ok = true;
};

void PrintRow(const TRow& r) {
  const double mbps = r.seconds > 0 ? r.size / 1e6 / r.seconds : 0;
  std::printf("%-44s %9.3f %9s %9.1f %9s %13s %9s %s\n", r.name.c_str(), r.seconds,
              r.cpu_seconds >= 0 ? std::to_string(r.cpu_seconds).substr(0, 5).c_str() : "-", mbps,
              r.requests >= 0 ? std::to_string(r.requests).c_str() : "-",
              r.wire >= 0 ? std::to_string(r.wire).c_str() : "-",
              r.peak_kib >= 0 ? (std::to_string(r.peak_kib / 1024) + "." +
                                 std::to_string((r.peak_kib % 1024) * 10 / 1024) + "M")
                                    .c_str()
                              : "-",
              r.ok ? "" : "FAILED");
  std::fflush(stdout);
}

// ------------------------------------------------------------- the bench

class TBench {
 public:
  TBench(std::string self, std::string work, int64_t size, int repeat)
      : self_(std::move(self)), work_(std::move(work)), size_(size), repeat_(repeat) {
    root_ = work_ + "/root";
    local_ = work_ + "/local";
    fs::create_directories(root_ + "/_WEBPATH/CorvanePage");
    fs::create_directories(local_);
    served_ = root_ + "/_WEBPATH/CorvanePage/Nimbara.exe";
    target_ = local_ + "/Nimbara.exe";
  }

  void Serve(const std::string& content) {
    content_ = content;
    WriteFile(served_, content_);
    SetWriteTime(served_, 1700000000);
    // 5 % of the pieces changed, spread over the file.
    changed_ = content_;
    const int64_t pieces = (size_ + kPieceSize - 1) / kPieceSize;
    for (int64_t p = 0; p < pieces; p += 20) changed_[p * kPieceSize + 100] ^= 0x5A;
  }

  void NewServer() {
    server_.reset();
    TServerOptions options;
    options.port = 0;
    options.root = root_;
    options.log_requests = false;
    server_ = std::make_unique<TCorvaneServer>(options);
    std::string error;
    if (!server_->Start(&error)) throw std::runtime_error("server: " + error);
  }
  int ServerPort() const { return server_->Port(); }

  void ClearLocal() {
    Remove(target_);
    Remove(local_ + "/Nimbara.download");
    Remove(local_ + "/Nimbara.downloadtemp");
  }

  TProcessRun Download(int port) {
    return RunProcess({self_, "--child", "127.0.0.1", std::to_string(port), kServerName, target_,
                       std::to_string(kPieceSize)},
                      true);
  }

  // Best of repeat timed runs, then one counted run through the proxy.
  TRow Measure(const std::string& name, const std::function<void()>& prepare, bool cold) {
    TRow row;
    row.name = name;
    row.size = size_;
    row.seconds = 1e9;
    for (int i = 0; i < repeat_; ++i) {
      if (cold) NewServer();
      prepare();
      const TServerCounters before = server_->Counters();
      const TProcessRun run = Download(ServerPort());
      const TServerCounters after = server_->Counters();
      row.ok = row.ok && run.ok() && ReadFile(target_) == content_;
      if (run.seconds < row.seconds) row.cpu_seconds = run.cpu_seconds;
      row.seconds = std::min(row.seconds, run.seconds);
      row.peak_kib = std::max(row.peak_kib, run.peak_kib);
      row.requests = static_cast<int64_t>(after.requests - before.requests);
    }
    if (cold) NewServer();
    prepare();
    {
      TCountingProxy proxy(ServerPort());
      Download(proxy.Port());
      row.wire = proxy.Bytes();
    }
    PrintRow(row);
    return row;
  }

  const std::string& content() const { return content_; }
  const std::string& changed() const { return changed_; }
  const std::string& target() const { return target_; }
  const std::string& local() const { return local_; }
  const std::string& root() const { return root_; }
  const std::string& served() const { return served_; }
  int64_t size() const { return size_; }
  int repeat() const { return repeat_; }

 private:
  std::string self_, work_, root_, local_, served_, target_;
  int64_t size_;
  int repeat_;
  std::string content_, changed_;
  std::unique_ptr<TCorvaneServer> server_;
};

// A peer's command, timed best of repeat, then once through the proxy.
TRow MeasurePeer(const std::string& name, int64_t size, int repeat, int port,
                 const std::function<void()>& prepare,
                 const std::function<std::vector<std::string>(int)>& command,
                 const std::function<bool()>& check) {
  TRow row;
  row.name = name;
  row.size = size;
  row.seconds = 1e9;
  for (int i = 0; i < repeat; ++i) {
    prepare();
    const TProcessRun run = RunProcess(command(port));
    row.ok = row.ok && run.ok() && check();
    if (run.seconds < row.seconds) row.cpu_seconds = run.cpu_seconds;
    row.seconds = std::min(row.seconds, run.seconds);
    row.peak_kib = std::max(row.peak_kib, run.peak_kib);
  }
  prepare();
  {
    TCountingProxy proxy(port);
    RunProcess(command(proxy.Port()));
    row.wire = proxy.Bytes();
  }
  PrintRow(row);
  return row;
}

std::string MakeTempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/download-bench-XXXXXX";
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  return templ;
}

void Verdict(const char* what, double value, const char* relation, double limit) {
  const bool met = std::strcmp(relation, "<=") == 0 ? value <= limit : value >= limit;
  std::printf("  %-62s %8.3f %s %-6.3g %s\n", what, value, relation, limit, met ? "met" : "MISSED");
}

int BenchMain(int argc, char** argv) {
  int64_t size_mib = 64, big_mib = 256;
  int repeat = 3;
  bool peers = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--size-mib" && i + 1 < argc) size_mib = std::atoll(argv[++i]);
    else if (a == "--big-mib" && i + 1 < argc) big_mib = std::atoll(argv[++i]);
    else if (a == "--repeat" && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
    else if (a == "--no-peers") peers = false;
    else {
      std::fprintf(stderr, "usage: %s [--size-mib N] [--big-mib N] [--repeat N] [--no-peers]\n",
                   argv[0]);
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  const std::string self = fs::canonical("/proc/self/exe").string();
  const std::string work = MakeTempFolder();
  struct TCleanup {
    std::string path;
    ~TCleanup() {
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  } cleanup{work};

  TBench bench(self, work + "/main", size_mib << 20, repeat);
  bench.Serve(ExecutableLike(size_mib << 20));
  std::printf("file: %lld bytes of the machine's programs; piece size %d; best of %d runs\n\n",
              static_cast<long long>(bench.size()), kPieceSize, repeat);
  std::printf("%-44s %9s %9s %9s %9s %13s %9s\n", "scenario", "seconds", "cpu s", "MB/s",
              "requests", "wire bytes", "peak");

  const std::string target = bench.target();
  const std::string new_file = bench.local() + "/Nimbara.download";
  auto fresh = [&] { bench.ClearLocal(); };
  const TRow cold = bench.Measure("corvane: fresh download, cold server cache", fresh, true);
  const TRow warm = bench.Measure("corvane: fresh download, warm server cache", fresh, false);
  const TRow unchanged = bench.Measure("corvane: unchanged", [&] {
    if (!fs::exists(target)) {
      bench.ClearLocal();
      bench.Download(bench.ServerPort());
    }
  }, false);
  const TRow new_time = bench.Measure("corvane: same content, new write time", [&] {
    bench.ClearLocal();
    WriteFile(target, bench.content());
    SetWriteTime(target, 1600000000);
  }, false);
  {
    // The same scenario's piece requests alone, timed inside the process.
    WriteFile(target, bench.content());
    TRow link;
    link.name = "  of which the link alone (piece requests)";
    link.size = bench.size();
    link.seconds = 1e9;
    for (int i = 0; i < repeat; ++i) {
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0) break;
      const pid_t pid = Spawn({self, "--link-only", "127.0.0.1",
                               std::to_string(bench.ServerPort()), kServerName, target,
                               std::to_string(kPieceSize)},
                              true, fds[1]);
      close(fds[1]);
      std::string out;
      char buf[64];
      for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) out.append(buf, n);
      close(fds[0]);
      int status = 0;
      waitpid(pid, &status, 0);
      link.ok = link.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
      if (!out.empty()) link.seconds = std::min(link.seconds, std::atof(out.c_str()));
    }
    PrintRow(link);
  }
  bench.Measure("corvane: resume from half", [&] {
    bench.ClearLocal();
    WriteFile(new_file, bench.content().substr(0, (bench.size() / 2 / kPieceSize) * kPieceSize));
  }, false);
  const TRow changed = bench.Measure("corvane: 5 % of the pieces changed", [&] {
    bench.ClearLocal();
    WriteFile(target, bench.changed());
    SetWriteTime(target, 1600000000);
  }, false);

  // Memory against file size.
  std::optional<TRow> big;
  if (big_mib > 0) {
    TBench large(self, work + "/big", big_mib << 20, 1);
    large.Serve(ExecutableLike(big_mib << 20));
    big = large.Measure("corvane: fresh download, " + std::to_string(big_mib) + " MiB", [&] {
      large.ClearLocal();
    }, true);
  }

  std::optional<TRow> curl_plain, curl_gzip, rsync_same, rsync_changed;
  if (peers) {
    const std::string prefix = work + "/peers";
    const std::string data = prefix + "/data";
    fs::create_directories(data);
    fs::create_directories(prefix + "/logs");
    fs::copy_file(bench.served(), data + "/Nimbara.exe");
    SetWriteTime(data + "/Nimbara.exe", 1700000000);
    const std::string out = prefix + "/out.bin";
    const bool root = geteuid() == 0;

    const int nginx_port = FreePort();
    {
      std::ofstream conf(prefix + "/nginx.conf");
      conf << "daemon off;\nworker_processes 1;\n" << (root ? "user root;\n" : "")
           << "pid " << prefix << "/nginx.pid;\nerror_log " << prefix << "/logs/error.log;\n"
           << "events { worker_connections 64; }\n"
           << "http {\n  access_log off;\n  default_type application/octet-stream;\n"
           << "  sendfile on;\n  client_body_temp_path " << prefix << "/body;\n"
           << "  proxy_temp_path " << prefix << "/proxy;\n  fastcgi_temp_path " << prefix
           << "/fastcgi;\n  uwsgi_temp_path " << prefix << "/uwsgi;\n  scgi_temp_path " << prefix
           << "/scgi;\n  server {\n    listen 127.0.0.1:" << nginx_port << ";\n    root " << data
           << ";\n    location /gz/ {\n      alias " << data << "/;\n      gzip on;\n"
           << "      gzip_comp_level 6;\n      gzip_min_length 0;\n"
           << "      gzip_types application/octet-stream;\n    }\n  }\n}\n";
    }
    TDaemon nginx({"/usr/sbin/nginx", "-p", prefix, "-c", prefix + "/nginx.conf", "-e",
                   prefix + "/logs/error.log"},
                  nginx_port);
    auto same_as_served = [&] { return ReadFile(out) == bench.content(); };
    curl_plain = MeasurePeer("nginx + curl -o", bench.size(), repeat, nginx_port,
                             [&] { Remove(out); },
                             [&](int port) {
                               return std::vector<std::string>{
                                   "/usr/bin/curl", "-s", "-o", out,
                                   "http://127.0.0.1:" + std::to_string(port) + "/Nimbara.exe"};
                             },
                             same_as_served);
    curl_gzip = MeasurePeer("nginx gzip 6 + curl --compressed", bench.size(), repeat, nginx_port,
                            [&] { Remove(out); },
                            [&](int port) {
                              return std::vector<std::string>{
                                  "/usr/bin/curl", "-s", "--compressed", "-o", out,
                                  "http://127.0.0.1:" + std::to_string(port) + "/gz/Nimbara.exe"};
                            },
                            same_as_served);
    nginx.Stop();

    const int rsync_port = FreePort();
    {
      std::ofstream conf(prefix + "/rsyncd.conf");
      conf << "use chroot = no\npid file = " << prefix << "/rsyncd.pid\nlog file = " << prefix
           << "/logs/rsyncd.log\n[data]\n  path = " << data << "\n  read only = yes\n"
           << (root ? "  uid = root\n  gid = root\n" : "");
    }
    TDaemon rsyncd({"/usr/bin/rsync", "--daemon", "--no-detach", "--config=" + prefix +
                    "/rsyncd.conf", "--address=127.0.0.1", "--port=" + std::to_string(rsync_port)},
                   rsync_port);
    auto rsync_command = [&](bool ignore_times) {
      return [&, ignore_times](int port) {
        std::vector<std::string> args{"/usr/bin/rsync"};
        if (ignore_times) args.push_back("-I");
        args.push_back("rsync://127.0.0.1:" + std::to_string(port) + "/data/Nimbara.exe");
        args.push_back(out);
        return args;
      };
    };
    rsync_same = MeasurePeer("rsync -I, same content", bench.size(), repeat, rsync_port,
                             [&] {
                               WriteFile(out, bench.content());
                               SetWriteTime(out, 1600000000);
                             },
                             rsync_command(true), same_as_served);
    rsync_changed = MeasurePeer("rsync, 5 % of the pieces changed", bench.size(), repeat,
                                rsync_port,
                                [&] {
                                  WriteFile(out, bench.changed());
                                  SetWriteTime(out, 1600000000);
                                },
                                rsync_command(false), same_as_served);
    rsyncd.Stop();
  }

  // A whole terminal launcher run on an unchanged browser against one curl
  // POST to the same server. The served browser is a tiny script, so that
  // starting it costs next to nothing.
  std::optional<TRow> cli_run, curl_post;
  const std::string cli = (fs::path(self).parent_path() / "corvaneboot-cli").string();
  if (fs::exists(cli)) {
    TBench small(self, work + "/cli", 0, repeat);
    small.Serve("#!/bin/sh\nexit 0\n");
    small.NewServer();
    const std::string home = work + "/cli/home";
    fs::create_directories(home);
    const char* old_home = std::getenv("HOME");
    const std::string saved_home = old_home ? old_home : "";
    setenv("HOME", home.c_str(), 1);
    const std::string parameters = "127.0.0.1$" + std::to_string(small.ServerPort()) + "$*DIR*" +
                                   home + "$1$";
    const TProcessRun first = RunProcess({cli, parameters});  // downloads the browser
    TRow row;
    row.name = "corvaneboot-cli, unchanged browser";
    row.seconds = 1e9;
    row.ok = first.ok();
    for (int i = 0; i < repeat; ++i) {
      const TProcessRun run = RunProcess({cli, parameters});
      row.ok = row.ok && run.ok();
      if (run.seconds < row.seconds) row.cpu_seconds = run.cpu_seconds;
      row.seconds = std::min(row.seconds, run.seconds);
    }
    PrintRow(row);
    cli_run = row;
    TRow post;
    post.name = "one curl POST to the same server";
    post.seconds = 1e9;
    for (int i = 0; i < repeat; ++i) {
      const TProcessRun run = RunProcess(
          {"/usr/bin/curl", "-s", "-o", "/dev/null", "-X", "POST", "--data", "x",
           "http://127.0.0.1:" + std::to_string(small.ServerPort()) + "/A001"});
      post.ok = post.ok && run.ok();
      if (run.seconds < post.seconds) post.cpu_seconds = run.cpu_seconds;
      post.seconds = std::min(post.seconds, run.seconds);
    }
    PrintRow(post);
    curl_post = post;
    if (old_home) setenv("HOME", saved_home.c_str(), 1);
  } else {
    std::printf("%-44s not measured: %s is not built\n", "corvaneboot-cli, unchanged browser",
                cli.c_str());
  }

  std::printf("\ntargets (ratios from this run):\n");
  if (curl_gzip)
    Verdict("cold fresh speed / nginx gzip-6 + curl speed", curl_gzip->seconds / cold.seconds,
            ">=", 2.5);
  if (curl_plain)
    Verdict("warm fresh speed / plain curl speed", curl_plain->seconds / warm.seconds, ">=", 0.35);
  if (rsync_same)
    Verdict("same content, new time: time / rsync -I time", new_time.seconds / rsync_same->seconds,
            "<=", 0.7);
  if (rsync_changed)
    Verdict("5 % changed: time / rsync time", changed.seconds / rsync_changed->seconds, "<=", 1.0);
  if (cli_run && curl_post)
    Verdict("corvaneboot-cli run, unchanged / one curl POST", cli_run->seconds / curl_post->seconds,
            "<=", 1.5);
  if (big)
    Verdict("peak memory, big file - 64 MiB file (MiB)",
            (big->peak_kib - cold.peak_kib) / 1024.0, "<=", 1.0);
  Verdict("peak memory of every run (MiB)",
          std::max({cold.peak_kib, warm.peak_kib, unchanged.peak_kib, new_time.peak_kib,
                    changed.peak_kib, big ? big->peak_kib : 0L}) /
              1024.0,
          "<=", 16.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return ChildMain(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--link-only") == 0) return LinkOnlyMain(argc, argv);
    return BenchMain(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "download_bench: %s\n", e.what());
    return 1;
  }
}
