#include "server_options.h"

#include <cstdint>
#include <limits>

namespace {

bool ParseCount(const std::string& text, int64_t max, int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > max) return false;
  *value = v;
  return true;
}

bool ParseListen(const std::string& text, std::string* address, int* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  int64_t p = 0;
  if (host.empty() || !ParseCount(text.substr(colon + 1), 65535, &p)) return false;
  *address = host;
  *port = static_cast<int>(p);
  return true;
}

}  // namespace

std::string ServerUsageText() {
  return "Usage: corvane-server --root DIR [options]\n"
         "\n"
         "Serves the files below DIR to the launcher, over HTTP on 127.0.0.1:8080 by default.\n"
         "\n"
         "Options:\n"
         "  --root DIR               folder the server file names map below (required)\n"
         "  --listen ADDRESS:PORT    address and port to listen on (default 127.0.0.1:8080;\n"
         "                           port 0 picks a free port; IPv6 as [::1]:PORT)\n"
         "  --login-key KEY          login key every request must carry (default pelkwarn)\n"
         "  --threads N              worker threads (default 16)\n"
         "  --max-connections N      connections open at once (default 256)\n"
         "  --timeout SECONDS        idle connections are closed after this (default 60)\n"
         "  --upload-dir DIR         folder for upload streams (default: a private folder\n"
         "                           below $TMPDIR, removed at exit)\n"
         "  --upload-limit BYTES     largest upload stream (default 256M)\n"
         "  --max-upload-streams N   upload streams open at once (default 64)\n"
         "  --cache BYTES            memory for packed pieces and digests (default 256M;\n"
         "                           0 disables the cache)\n"
         "  --max-body BYTES         largest HTTP request body (default 32M)\n"
         "  --max-unpacked BYTES     largest unpacked request part (default 64M)\n"
         "  --max-piece BYTES        largest piece one request may ask for (default 16M)\n"
         "  --no-prefetch            do not pack the next pieces ahead\n"
         "  --quiet                  no log line per request\n"
         "  --help                   this text\n"
         "\n"
         "BYTES accepts a plain number or a K, M or G suffix (binary multiples).\n"
         "SIGINT and SIGTERM stop the server after the requests in flight.\n";
}

bool ParseByteCount(const std::string& text, int64_t* bytes) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  std::string suffix = text.substr(digits);
  int shift = 0;
  if (suffix.empty() || suffix == "B") {
    shift = 0;
  } else if (suffix == "K" || suffix == "KiB" || suffix == "k") {
    shift = 10;
  } else if (suffix == "M" || suffix == "MiB") {
    shift = 20;
  } else if (suffix == "G" || suffix == "GiB") {
    shift = 30;
  } else {
    return false;
  }
  int64_t value = 0;
  if (!ParseCount(text.substr(0, digits), std::numeric_limits<int64_t>::max() >> 31, &value)) {
    return false;
  }
  *bytes = value << shift;
  return true;
}

bool ParseServerOptions(const std::vector<std::string>& args, TServerOptions* options, bool* help,
                        std::string* error) {
  *help = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool has_value = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      has_value = true;
    }
    if (name == "--help" || name == "-h") {
      *help = true;
      return true;
    }
    if (name == "--no-prefetch" || name == "--quiet") {
      if (has_value) {
        *error = "option " + name + " takes no value";
        return false;
      }
      if (name == "--no-prefetch") options->prefetch = false;
      if (name == "--quiet") options->log_requests = false;
      continue;
    }
    static const char* const kWithValue[] = {
        "--root",       "--listen",          "--login-key",
        "--threads",    "--max-connections", "--timeout",
        "--upload-dir", "--upload-limit",    "--max-upload-streams",
        "--cache",      "--max-body",        "--max-unpacked",
        "--max-piece"};
    bool known = false;
    for (const char* option : kWithValue) known = known || name == option;
    if (!known) {
      *error = "unknown option: " + args[i];
      return false;
    }
    if (!has_value) {
      if (i + 1 >= args.size()) {
        *error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    int64_t number = 0;
    auto bad = [&](const std::string& what) {
      *error = "bad value for " + name + " (" + what + "): " + value;
      return false;
    };
    if (name == "--root") {
      if (value.empty()) return bad("a folder");
      options->root = value;
    } else if (name == "--listen") {
      if (!ParseListen(value, &options->listen_address, &options->port)) {
        return bad("ADDRESS:PORT");
      }
    } else if (name == "--login-key") {
      if (value.empty()) return bad("a non-empty key");
      options->login_key = value;
    } else if (name == "--threads") {
      if (!ParseCount(value, 256, &number) || number < 1) return bad("1 to 256");
      options->threads = static_cast<int>(number);
    } else if (name == "--max-connections") {
      if (!ParseCount(value, 100000, &number) || number < 1) return bad("1 to 100000");
      options->max_connections = static_cast<int>(number);
    } else if (name == "--timeout") {
      if (!ParseCount(value, 86400, &number) || number < 1) return bad("1 to 86400 seconds");
      options->connection_timeout_seconds = static_cast<int>(number);
    } else if (name == "--upload-dir") {
      if (value.empty()) return bad("a folder");
      options->upload_dir = value;
    } else if (name == "--max-upload-streams") {
      if (!ParseCount(value, 100000, &number) || number < 1) return bad("1 to 100000");
      options->max_upload_streams = static_cast<int>(number);
    } else {
      if (!ParseByteCount(value, &number)) return bad("bytes");
      if (name == "--upload-limit") options->upload_limit = number;
      if (name == "--cache") options->cache_bytes = number;
      if (name == "--max-body") options->max_body_bytes = number;
      if (name == "--max-unpacked") options->max_unpacked_bytes = number;
      if (name == "--max-piece") {
        if (number < 1) return bad("at least 1");
        options->max_piece_bytes = number;
      }
    }
  }
  if (options->root.empty()) {
    *error = "missing --root DIR (the folder to serve)";
    return false;
  }
  return true;
}
