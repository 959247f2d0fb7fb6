// PackStream and UnpackStream against raw zlib, on executable-like bytes.
//
//   pack_bench [--mib N] [--repeat R]
//
// The driver writes the input (N MiB, default 64, of the machine's own
// programs concatenated), its packed form and its raw zlib form to a
// temporary folder. Each measured operation then runs in a fresh process
// (this program started again with --run), which loads only its own input
// from disk and runs the operation once. The four operations take turns,
// R rounds (default 3), so that a change in the machine's load hits raw zlib
// and our operations alike; each figure is the best of its R runs. Times are
// wall-clock and, less sensitive to other programs on the machine, the
// process's CPU time during the operation. Peak memory is the process's
// maximum resident set (ru_maxrss of the finished child); "base" is its
// resident set right after loading the input, so peak - base is what the
// operation itself added.
//
// Raw zlib: deflate at level 6 (window bits 15, memory level 8) and inflate,
// each through 64 KiB input and output buffers, into a string reserved at
// the final size. Throughput is uncompressed bytes per second (MB = 10^6).

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pack/compression.h"
#include "support/test_support.h"

namespace {

constexpr size_t kRawBuffer = 64 * 1024;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    fprintf(stderr, "cannot read %s\n", path.c_str());
    exit(2);
  }
  std::string bytes(static_cast<size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(2);
  }
}

long ResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

void RawDeflate(const std::string& in, std::string& out) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) exit(3);
  out.clear();
  out.reserve(deflateBound(&z, in.size()));
  std::vector<char> buffer(kRawBuffer);
  size_t at = 0;
  int flush = Z_NO_FLUSH;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    const size_t n = std::min(kRawBuffer, in.size() - at);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + at));
    z.avail_in = static_cast<uInt>(n);
    at += n;
    flush = at == in.size() ? Z_FINISH : Z_NO_FLUSH;
    do {
      z.next_out = reinterpret_cast<Bytef*>(buffer.data());
      z.avail_out = static_cast<uInt>(kRawBuffer);
      rc = deflate(&z, flush);
      if (rc < 0 && rc != Z_BUF_ERROR) exit(3);
      out.append(buffer.data(), kRawBuffer - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
}

void RawInflate(const std::string& in, std::string& out, size_t expected) {
  z_stream z{};
  if (inflateInit2(&z, 15) != Z_OK) exit(3);
  out.clear();
  out.reserve(expected);
  std::vector<char> buffer(kRawBuffer);
  size_t at = 0;
  int rc = Z_OK;
  while (rc != Z_STREAM_END && at < in.size()) {
    const size_t n = std::min(kRawBuffer, in.size() - at);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + at));
    z.avail_in = static_cast<uInt>(n);
    at += n;
    do {
      z.next_out = reinterpret_cast<Bytef*>(buffer.data());
      z.avail_out = static_cast<uInt>(kRawBuffer);
      rc = inflate(&z, Z_NO_FLUSH);
      if (rc < 0 && rc != Z_BUF_ERROR) exit(3);
      out.append(buffer.data(), kRawBuffer - z.avail_out);
    } while (z.avail_out == 0 && rc != Z_STREAM_END);
  }
  inflateEnd(&z);
}

double CpuSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// One measured operation, in its own process. Prints "<best wall seconds>
// <best cpu seconds> <output bytes> <crc32 of output> <base KiB>".
int RunOne(const std::string& op, const std::string& dir, int repeat, size_t original_size) {
  // Work files go below the temporary folder.
  const std::string home = dir + "/home";
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  setenv("XDG_DOCUMENTS_DIR", (home + "/Documents").c_str(), 1);

  const bool packs = op == "pack" || op == "raw-deflate";
  std::string input = ReadAll(dir + (packs            ? "/input.bin"
                                     : op == "unpack" ? "/packed.bin"
                                                      : "/raw.bin"));
  const long base_kib = ResidentKib();
  double best = 1e9;
  double best_cpu = 1e9;
  size_t out_size = 0;
  unsigned long crc = 0;
  for (int i = 0; i < repeat; ++i) {
    const double cpu_start = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    if (op == "pack" || op == "unpack") {
      TMemoryStream source(std::move(input));
      TMemoryStream dest;
      if (op == "pack") {
        PackStream(source, dest, CompressionLevel::Default);
      } else {
        UnpackStream(source, dest);
      }
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      best = std::min(best, seconds);
      best_cpu = std::min(best_cpu, CpuSeconds() - cpu_start);
      out_size = static_cast<size_t>(dest.Size());
      crc = crc32(0, reinterpret_cast<const Bytef*>(dest.Memory()), static_cast<uInt>(out_size));
      input = source.TakeBytes();
    } else {
      std::string out;
      if (op == "raw-deflate") {
        RawDeflate(input, out);
      } else {
        RawInflate(input, out, original_size);
      }
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      best = std::min(best, seconds);
      best_cpu = std::min(best_cpu, CpuSeconds() - cpu_start);
      out_size = out.size();
      crc = crc32(0, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out_size));
    }
  }
  printf("%.6f %.6f %zu %lu %ld\n", best, best_cpu, out_size, crc, base_kib);
  return 0;
}

struct TResult {
  double seconds = 1e9;
  double cpu_seconds = 1e9;
  size_t out_size = 0;
  unsigned long crc = 0;
  long base_kib = 0;
  long peak_kib = 0;
};

TResult Measure(const std::string& self, const std::string& op, const std::string& dir, int repeat,
                size_t original_size) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) exit(4);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], 1);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    const std::string repeat_text = std::to_string(repeat);
    const std::string size_text = std::to_string(original_size);
    execl(self.c_str(), self.c_str(), "--run", op.c_str(), dir.c_str(), repeat_text.c_str(),
          size_text.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipe_fds[1]);
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof(buffer))) > 0) text.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s failed (status %d)\n", op.c_str(), status);
    exit(5);
  }
  TResult r;
  std::istringstream in(text);
  in >> r.seconds >> r.cpu_seconds >> r.out_size >> r.crc >> r.base_kib;
  r.peak_kib = usage.ru_maxrss;
  return r;
}

// Folds one more run into the best so far.
void Keep(TResult& best, const TResult& run) {
  best.seconds = std::min(best.seconds, run.seconds);
  best.cpu_seconds = std::min(best.cpu_seconds, run.cpu_seconds);
  best.out_size = run.out_size;
  best.crc = run.crc;
  best.base_kib = std::max(best.base_kib, run.base_kib);
  best.peak_kib = std::max(best.peak_kib, run.peak_kib);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && strcmp(argv[1], "--run") == 0)
    return RunOne(argv[2], argv[3], atoi(argv[4]), strtoull(argv[5], nullptr, 10));

  int mib = 64;
  int repeat = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--mib") == 0) mib = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--repeat") == 0) repeat = atoi(argv[i + 1]);
  }
  char self[4096];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (len <= 0) return 4;
  self[len] = '\0';

  TTempDir dir;
  size_t original_size = 0;
  unsigned long original_crc = 0;
  size_t packed_size = 0;
  {
    std::string input = ExecutableLikeBytes(int64_t{mib} << 20);
    original_size = input.size();
    original_crc =
        crc32(0, reinterpret_cast<const Bytef*>(input.data()), static_cast<uInt>(input.size()));
    WriteAll(dir.File("input.bin"), input);
    std::string raw;
    RawDeflate(input, raw);
    WriteAll(dir.File("raw.bin"), raw);
    setenv("HOME", dir.File("home").c_str(), 1);
    TMemoryStream source(std::move(input)), packed;
    PackStream(source, packed, CompressionLevel::Default);
    packed_size = static_cast<size_t>(packed.Size());
    WriteAll(dir.File("packed.bin"), packed.Bytes());
  }

  TResult raw_deflate, pack, raw_inflate, unpack;
  for (int round = 0; round < repeat; ++round) {
    Keep(raw_deflate, Measure(self, "raw-deflate", dir.path(), 1, original_size));
    Keep(pack, Measure(self, "pack", dir.path(), 1, original_size));
    Keep(raw_inflate, Measure(self, "raw-inflate", dir.path(), 1, original_size));
    Keep(unpack, Measure(self, "unpack", dir.path(), 1, original_size));
  }

  bool ok = true;
  for (const TResult* r : {&raw_inflate, &unpack}) {
    if (r->out_size != original_size || r->crc != original_crc) ok = false;
  }
  if (pack.out_size != packed_size) ok = false;

  const double mb = static_cast<double>(original_size) / 1e6;
  printf(
      "input: %d MiB executable-like bytes; packed %zu bytes (marker + zlib); best of %d rounds\n",
      mib, packed_size, repeat);
  printf("%-12s %8s %7s %9s %7s %9s %9s %10s\n", "operation", "MB/s", "ratio", "cpu MB/s", "ratio",
         "peak MiB", "base MiB", "added MiB");
  auto row = [&](const char* name, const TResult& r, const TResult* raw) {
    const double speed = mb / r.seconds;
    const double cpu_speed = mb / r.cpu_seconds;
    char ratio[16] = "-";
    char cpu_ratio[16] = "-";
    if (raw) {
      snprintf(ratio, sizeof(ratio), "%.3f", raw->seconds / r.seconds);
      snprintf(cpu_ratio, sizeof(cpu_ratio), "%.3f", raw->cpu_seconds / r.cpu_seconds);
    }
    printf("%-12s %8.1f %7s %9.1f %7s %9.1f %9.1f %10.1f\n", name, speed, ratio, cpu_speed,
           cpu_ratio, r.peak_kib / 1024.0, r.base_kib / 1024.0, (r.peak_kib - r.base_kib) / 1024.0);
  };
  row("raw-deflate", raw_deflate, nullptr);
  row("PackStream", pack, &raw_deflate);
  row("raw-inflate", raw_inflate, nullptr);
  row("UnpackStream", unpack, &raw_inflate);
  printf("destination sizes: packed %.1f MiB, unpacked %.1f MiB\n", packed_size / 1048576.0,
         original_size / 1048576.0);
  printf("round trip: %s\n", ok ? "output matches input" : "MISMATCH");
  return ok ? 0 : 1;
}
