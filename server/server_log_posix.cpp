#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "server_log.h"

namespace {

std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  const time_t seconds = static_cast<time_t>(ms.count() / 1000);
  struct tm tm;
  gmtime_r(&seconds, &tm);
  char buffer[64];
  snprintf(buffer, sizeof(buffer), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
           static_cast<int>(ms.count() % 1000));
  return buffer;
}

void WriteLine(std::string line) {
  line.push_back('\n');
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = write(STDERR_FILENO, p, left);
    if (n <= 0) return;  // a closed standard error only loses the log
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

std::string EscapeLogText(const std::string& text, bool blank_too) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || (blank_too && c == ' ')) {
      char buffer[8];
      snprintf(buffer, sizeof(buffer), "\\x%02X", c);
      out += buffer;
    } else if (!blank_too && (c == '"' || c == '\\')) {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (blank_too && c == '\\') {
      out += "\\\\";
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

void LogRequest(const std::string& peer, const std::string& command, bool ok,
                const std::string& error_text, size_t payload_bytes, double ms) {
  std::string line = UtcNow() + " " + (peer.empty() ? "-" : peer) + " " +
                     (command.empty() ? "-" : EscapeLogText(command.substr(0, 200), true)) + " ";
  line += ok ? "ok" : "error=\"" + EscapeLogText(error_text.substr(0, 2000), false) + "\"";
  char tail[64];
  snprintf(tail, sizeof(tail), " %zu %.3fms", payload_bytes, ms);
  line += tail;
  WriteLine(std::move(line));
}

void LogLine(const std::string& text) { WriteLine(UtcNow() + " " + EscapeLogText(text, false)); }
