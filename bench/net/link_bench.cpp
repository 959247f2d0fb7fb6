// link_bench [calls per round] [echo MiB] [rounds]
//
// Runs corvane-server (from the same bin folder) as a process on a free
// loopback port, as the launcher meets it, then measures:
// 1. "TEST_SERVER_ALIVE" through CallCommandText, sequential, calls/s.
// 2. The same number of equivalent POSTs (same header fields, same body) made
//    by one curl process (one invocation, a config file with --next between
//    the requests), against the same server in the same run.
// 3. MB/s of an "ECHO" round trip of a large body (divided upload going out,
//    the packed answer coming back).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/launch_params.h"
#include "net/command_calls.h"
#include "net/link_settings.h"
#include "net/post_server_request.h"
#include "net/request_envelope.h"
#include "pack/text_encodings.h"
#include "support/test_support.h"

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point start) {
  return std::chrono::duration<double>(TClock::now() - start).count();
}

// One header line of the envelope without its CR LF, as curl's --header wants.
std::string Bare(const std::string& line) { return line.substr(0, line.size() - 2); }

std::string ConfigQuoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// corvane-server as a child process, stopped with SIGTERM at the end.
class TServerProcess {
 public:
  bool Start(const std::string& program, const std::string& root, int echo_mib) {
    port_ = FreeLoopbackPort();
    const std::string limit = std::to_string(echo_mib + 16) + "M";
    const std::string upload = std::to_string(2 * (echo_mib + 16)) + "M";
    std::vector<std::string> args = {program,
                                     "--root",
                                     root,
                                     "--listen",
                                     "127.0.0.1:" + std::to_string(port_),
                                     "--quiet",
                                     "--max-body",
                                     limit,
                                     "--max-unpacked",
                                     limit,
                                     "--upload-limit",
                                     upload};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
      return false;
    }
    // Ready once it answers.
    std::u16string text, error;
    for (int i = 0; i < 200; ++i) {
      if (CallCommandText(u"A001", u"TEST_SERVER_ALIVE", u"127.0.0.1", port_,
                          {u"LOGINKEY:pelkwarn"}, text, error, 3, 0)) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }
  ~TServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// The server's request and error counts ("SERVER_STATS").
bool ServerStats(int port, uint64_t* requests, uint64_t* errors) {
  std::u16string text, error;
  if (!CallCommandText(u"A001", u"SERVER_STATS", u"127.0.0.1", port, {u"LOGINKEY:pelkwarn"}, text,
                       error, 3, 0)) {
    return false;
  }
  const std::string stats = WideToUtf8(text);
  const size_t r = stats.find("requests=");
  const size_t e = stats.find("errors=");
  if (r == std::string::npos || e == std::string::npos) return false;
  *requests = std::strtoull(stats.c_str() + r + 9, nullptr, 10);
  *errors = std::strtoull(stats.c_str() + e + 7, nullptr, 10);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
  const int echo_mib = argc > 2 ? std::atoi(argv[2]) : 64;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  ProxyType = 1;

  TTempDir root;
  TServerProcess server;
  const std::string program = std::string(CORVANE_BIN_DIR) + "/corvane-server";
  if (!server.Start(program, root.path(), echo_mib)) {
    std::fprintf(stderr, "cannot start %s\n", program.c_str());
    return 1;
  }
  const int port = server.port();
  const std::u16string host = u"127.0.0.1";
  const std::vector<std::u16string> params = {u"LOGINKEY:pelkwarn"};

  // Warm-up, and a check that the call works at all.
  std::u16string text, err;
  for (int i = 0; i < 20; ++i) {
    if (!CallCommandText(u"A001", u"TEST_SERVER_ALIVE", host, port, params, text, err, 3, 0) ||
        text != u"RESULTOK") {
      std::fprintf(stderr, "TEST_SERVER_ALIVE failed: %s\n", WideToUtf8(err).c_str());
      return 1;
    }
  }

  // The curl side: one config file carrying all requests of a round.
  TMemoryStream empty;
  TMemoryStream prepared;
  std::string header_block;
  BuildRequestBody({WideToUtf8(params[0])}, empty, prepared, header_block);
  WriteFileBytes(root.File("body.bin"), prepared.Bytes());
  std::vector<std::string> headers = {"Accept: " + AcceptTypes};
  for (size_t at = 0; at < header_block.size();) {
    const size_t end = header_block.find("\r\n", at) + 2;
    headers.push_back(Bare(header_block.substr(at, end - at)));
    at = end;
  }
  headers.push_back(Bare(HeaderFieldLine("CORVANELINKPOSTTYPE", "KVPOST")));
  headers.push_back(Bare(HeaderFieldLine("CORVNAECOMMAND", "TEST_SERVER_ALIVE")));
  headers.push_back(Bare(HeaderFieldLine("_IF_RETURN_SEND_HEAD", "T")));
  headers.push_back("Expect:");
  headers.push_back("Content-Type:");
  std::string config;
  for (int i = 0; i < calls; ++i) {
    if (i > 0) config += "next\n";
    config += "url = " + ConfigQuoted("http://127.0.0.1:" + std::to_string(port) + "/A001") + "\n";
    config += "noproxy = \"*\"\n";
    config += "user-agent = " + ConfigQuoted(UserAgent) + "\n";
    for (const std::string& h : headers) config += "header = " + ConfigQuoted(h) + "\n";
    config += "data-binary = " + ConfigQuoted("@" + root.File("body.bin")) + "\n";
    config += "output = \"/dev/null\"\n";
  }
  WriteFileBytes(root.File("curl.conf"), config);
  const std::string command = "curl -s --config " + root.File("curl.conf");

  // Rounds alternate between the link and curl, so that both meet the same
  // machine load; the best and the median round of each are reported.
  std::vector<double> link_rates, curl_rates;
  for (int round = 0; round < rounds; ++round) {
    uint64_t link_before = 0, link_errors_before = 0, link_after = 0, link_errors_after = 0;
    if (!ServerStats(port, &link_before, &link_errors_before)) return 1;
    auto start = TClock::now();
    for (int i = 0; i < calls; ++i) {
      if (!CallCommandText(u"A001", u"TEST_SERVER_ALIVE", host, port, params, text, err, 3, 0) ||
          text != u"RESULTOK") {
        std::fprintf(stderr, "call %d failed: %s\n", i, WideToUtf8(err).c_str());
        return 1;
      }
    }
    link_rates.push_back(calls / Seconds(start));
    if (!ServerStats(port, &link_after, &link_errors_after)) return 1;
    if (link_after - link_before - 1 != static_cast<uint64_t>(calls) ||
        link_errors_after != link_errors_before) {
      std::fprintf(stderr, "link round: the server saw %llu requests\n",
                   static_cast<unsigned long long>(link_after - link_before - 1));
      return 1;
    }

    uint64_t requests_before = 0, errors_before = 0, requests_after = 0, errors_after = 0;
    if (!ServerStats(port, &requests_before, &errors_before)) return 1;
    start = TClock::now();
    const int rc = std::system(command.c_str());
    curl_rates.push_back(calls / Seconds(start));
    if (!ServerStats(port, &requests_after, &errors_after)) return 1;
    // The first stats call is counted by the second.
    const uint64_t curl_requests = requests_after - requests_before - 1;
    if (rc != 0 || curl_requests != static_cast<uint64_t>(calls) || errors_after != errors_before) {
      std::fprintf(stderr, "curl run: exit %d, %llu requests, %llu errors\n", rc,
                   static_cast<unsigned long long>(curl_requests),
                   static_cast<unsigned long long>(errors_after - errors_before));
      return 1;
    }
  }

  // 3. A large ECHO round trip.
  // Executable-like bytes: what the launcher moves in practice.
  const std::string payload = ExecutableLikeBytes(static_cast<int64_t>(echo_mib) << 20);
  TMemoryStream body(payload);
  TMemoryStream response;
  const auto start = TClock::now();
  const bool echoed =
      PostServerRequest(u"A001", u"ECHO", host, port, params, body, response, err, 0, 1);
  const double echo_seconds = Seconds(start);
  if (!echoed || response.Bytes() != payload) {
    std::fprintf(stderr, "ECHO failed: %s\n", WideToUtf8(err).c_str());
    return 1;
  }

  auto best = [](std::vector<double> v) { return *std::max_element(v.begin(), v.end()); };
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("%-46s %10s %10s %12s\n", "measure", "best", "median", "unit");
  std::printf("%-46s %10.0f %10.0f %12s\n", "TEST_SERVER_ALIVE via CallCommandText",
              best(link_rates), median(link_rates), "calls/s");
  std::printf("%-46s %10.0f %10.0f %12s\n", "same POSTs, one curl process per round",
              best(curl_rates), median(curl_rates), "requests/s");
  std::printf("%-46s %10.2f %10.2f %12s\n", "link / curl", best(link_rates) / best(curl_rates),
              median(link_rates) / median(curl_rates), "ratio");
  std::printf("%-46s %10.1f %10s %12s\n",
              ("ECHO round trip of " + std::to_string(echo_mib) + " MiB").c_str(),
              echo_mib * 1.048576 / echo_seconds, "", "MB/s");
  std::printf("(%d rounds of %d calls each; ECHO took %.2f s)\n", rounds, calls, echo_seconds);
  return 0;
}
