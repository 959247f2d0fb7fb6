// link_bench [calls] [echo MiB]
//
// 1. "TEST_SERVER_ALIVE" through CallCommandText, sequential, calls/s.
// 2. The same number of equivalent POSTs (same header fields, same body) made
//    by one curl process (one invocation, a config file with --next between
//    the requests), against the same server in the same run.
// 3. MB/s of an "ECHO" round trip of a large body (divided upload going out,
//    the packed answer coming back).
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/launch_params.h"
#include "corvane_server.h"
#include "net/command_calls.h"
#include "net/post_server_request.h"
#include "net/request_envelope.h"
#include "pack/text_encodings.h"
#include "support/test_support.h"

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

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int echo_mib = argc > 2 ? std::atoi(argv[2]) : 64;
  ProxyType = 1;

  TTempDir root;
  TServerOptions options;
  options.port = 0;
  options.root = root.path();
  options.log_requests = false;
  options.max_unpacked_bytes = (static_cast<int64_t>(echo_mib) + 16) << 20;
  options.max_body_bytes = options.max_unpacked_bytes;
  options.upload_limit = options.max_unpacked_bytes * 2;
  TCorvaneServer server(options);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "server: %s\n", error.c_str());
    return 1;
  }
  const int port = server.Port();
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

  // 1. The link.
  auto start = TClock::now();
  for (int i = 0; i < calls; ++i) {
    if (!CallCommandText(u"A001", u"TEST_SERVER_ALIVE", host, port, params, text, err, 3, 0)) {
      std::fprintf(stderr, "call %d failed: %s\n", i, WideToUtf8(err).c_str());
      return 1;
    }
  }
  const double link_seconds = Seconds(start);

  // 2. curl, one process for all requests.
  TMemoryStream empty;
  TMemoryStream prepared;
  std::string header_block;
  BuildRequestBody({WideToUtf8(params[0])}, empty, prepared, header_block);
  WriteFileBytes(root.File("body.bin"), prepared.Bytes());
  std::vector<std::string> headers;
  for (size_t at = 0; at < header_block.size();) {
    const size_t end = header_block.find("\r\n", at) + 2;
    headers.push_back(Bare(header_block.substr(at, end - at)));
    at = end;
  }
  headers.push_back(Bare(HeaderFieldLine("CORVANELINKPOSTTYPE", "KVPOST") ));
  headers.push_back(Bare(HeaderFieldLine("CORVNAECOMMAND", "TEST_SERVER_ALIVE")));
  headers.push_back(Bare(HeaderFieldLine("_IF_RETURN_SEND_HEAD", "T")));
  headers.push_back("Expect:");
  headers.push_back("Content-Type:");
  std::string config;
  for (int i = 0; i < calls; ++i) {
    if (i > 0) config += "next\n";
    config += "url = " + ConfigQuoted("http://127.0.0.1:" + std::to_string(port) + "/A001") +
              "\n";
    config += "noproxy = \"*\"\n";
    config += "user-agent = \"Mozilla/4.0 (compatible; MSIE 6.0; Windows 98)\"\n";
    for (const std::string& h : headers) config += "header = " + ConfigQuoted(h) + "\n";
    config += "data-binary = " + ConfigQuoted("@" + root.File("body.bin")) + "\n";
    config += "output = \"/dev/null\"\n";
  }
  WriteFileBytes(root.File("curl.conf"), config);
  const uint64_t requests_before = server.Counters().requests;
  const uint64_t errors_before = server.Counters().errors;
  const std::string command = "curl -s --config " + root.File("curl.conf");
  start = TClock::now();
  const int rc = std::system(command.c_str());
  const double curl_seconds = Seconds(start);
  const uint64_t curl_requests = server.Counters().requests - requests_before;
  const uint64_t curl_errors = server.Counters().errors - errors_before;
  if (rc != 0 || curl_requests != static_cast<uint64_t>(calls) || curl_errors != 0) {
    std::fprintf(stderr, "curl run: exit %d, %llu requests, %llu errors\n", rc,
                 static_cast<unsigned long long>(curl_requests),
                 static_cast<unsigned long long>(curl_errors));
    return 1;
  }

  // 3. A large ECHO round trip.
  std::mt19937 generator(1);
  std::string payload(static_cast<size_t>(echo_mib) << 20, '\0');
  for (size_t i = 0; i < payload.size(); i += 4) {
    const uint32_t value = generator();
    // Half random, half text-like: packs to roughly 60 %.
    payload[i] = static_cast<char>(value);
    if (i + 1 < payload.size()) payload[i + 1] = static_cast<char>('a' + (value >> 8) % 16);
    if (i + 2 < payload.size()) payload[i + 2] = ' ';
    if (i + 3 < payload.size()) payload[i + 3] = static_cast<char>(value >> 24);
  }
  TMemoryStream body(payload);
  TMemoryStream response;
  start = TClock::now();
  const bool echoed = PostServerRequest(u"A001", u"ECHO", host, port, params, body, response,
                                        err, 0, 1);
  const double echo_seconds = Seconds(start);
  if (!echoed || response.Bytes() != payload) {
    std::fprintf(stderr, "ECHO failed: %s\n", WideToUtf8(err).c_str());
    return 1;
  }
  server.Stop();

  const double link_rate = calls / link_seconds;
  const double curl_rate = calls / curl_seconds;
  std::printf("%-44s %10s %12s\n", "measure", "value", "unit");
  std::printf("%-44s %10.0f %12s\n", "TEST_SERVER_ALIVE via CallCommandText", link_rate, "calls/s");
  std::printf("%-44s %10.0f %12s\n", "same POSTs, one curl process", curl_rate, "requests/s");
  std::printf("%-44s %10.2f %12s\n", "link / curl", link_rate / curl_rate, "ratio");
  std::printf("%-44s %10.3f %12s\n", "mean time per link call", 1000.0 * link_seconds / calls,
              "ms");
  std::printf("%-44s %10.1f %12s\n",
              ("ECHO round trip of " + std::to_string(echo_mib) + " MiB").c_str(),
              echo_mib * 1.048576 / echo_seconds, "MB/s");
  std::printf("(%d calls each; ECHO took %.2f s)\n", calls, echo_seconds);
  return 0;
}
