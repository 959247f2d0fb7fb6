// TCorvaneServer: the reference server, as a library, so that the
// corvane-server program and the tests run the same code.
//
// Built-in commands: "TEST_SERVER_ALIVE", "GET_SERVER_STREAM_ID",
// "UPLOAD_STREAM_TO_SERVER", "GET_SERVER_FILE_SIZE_TIME",
// "GET_SERVER_FILE_STREAM", "ECHO", "SERVER_STATS" (docs/server.md).
// Every answer is framed as server/answer_packing.h describes.
//
// Threads: Start/Stop from one controlling thread; RegisterCommand, Handler
// and Counters() from any thread. Handlers run on the server's worker threads
// and must be thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct TServerOptions {
  std::string listen_address = "127.0.0.1";
  int port = 8080;   // 0: any free port (see TCorvaneServer::Port)
  std::string root;  // folder the server file names map below
  std::string login_key = "pelkwarn";
  int threads = 16;
  int max_connections = 256;
  std::string upload_dir;  // empty: a private folder below $TMPDIR
  int64_t upload_limit = 256LL << 20;
  int64_t cache_bytes = 256LL << 20;
  bool log_requests = true;  // one line per request on standard error

  // Safety limits.
  int64_t max_body_bytes = 32LL << 20;      // an HTTP request body above this is refused
  int64_t max_unpacked_bytes = 64LL << 20;  // unpacking a request part beyond this is refused
  int64_t max_piece_bytes = 16LL << 20;     // largest "_LEN" served in one answer
  int connection_timeout_seconds = 60;      // idle connections are closed after this
  int max_upload_streams = 64;              // upload streams open at once
  int upload_idle_seconds = 600;            // an idle upload stream is dropped after this
  bool prefetch = true;  // pack the next piece ahead while a client fetches a file
};

// A decoded request, as handlers see it.
struct TServerRequest {
  std::string command;                                      // "CORVNAECOMMAND"
  std::vector<std::pair<std::string, std::string>> fields;  // decoded header fields
  std::vector<std::pair<std::string, std::string>> items;   // OTHERHEAD NAME=VALUE lines
  std::string body;                                         // the unpacked caller body
  std::string peer;
  // The value of the first OTHERHEAD item of that name, or empty.
  std::string Item(const std::string& name) const;
};

// What a handler answers: a payload (framed as KVSTART + packed payload) or
// an error text (framed as KVERR + the UTF-8 text).
struct TServerAnswer {
  bool ok = true;
  std::string payload;
  std::string error_text;
  // Optional, set by handlers that keep prepared answers: the complete framed
  // answer for exactly these payload bytes. It is sent only while payload
  // still has the checksum recorded in framed_check (a wrapping handler may
  // have changed payload; the answer is then framed afresh).
  std::shared_ptr<const std::string> framed;
  uint64_t framed_check = 0;
};

using TCommandHandler = std::function<TServerAnswer(const TServerRequest&)>;

struct TServerCounters {
  uint64_t requests = 0;
  uint64_t errors = 0;
  uint64_t data_pieces = 0;              // GET_SERVER_FILE_STREAM answered with bytes
  uint64_t digest_confirmed_pieces = 0;  // ... answered with the digest text
  uint64_t file_info_requests = 0;       // GET_SERVER_FILE_SIZE_TIME
};

class TCorvaneServer {
 public:
  explicit TCorvaneServer(TServerOptions options);
  ~TCorvaneServer();  // stops the server

  // Starts listening; false with a message in error (port in use, bad root).
  bool Start(std::string* error);
  // Stops accepting, finishes requests in flight, then returns.
  void Stop();
  // The port actually bound (useful with options.port == 0).
  int Port() const;
  TServerCounters Counters() const;
  void ResetCounters();

  // Adds or replaces a command; an empty handler removes it. Safe at any
  // time (requests in flight keep the handler they started with).
  void RegisterCommand(const std::string& name, TCommandHandler handler);
  // The handler registered for a command (to wrap a built-in one), or empty.
  TCommandHandler Handler(const std::string& name) const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};
