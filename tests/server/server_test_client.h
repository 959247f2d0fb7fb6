// A small client for the server's tests: builds requests byte for byte with
// the project's own encoders (EncodeHeaderField, TMyStreams, WriteStringList,
// PackStream), sends them over a plain socket to 127.0.0.1, and takes the
// framed answer apart strictly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "corvane_server.h"
#include "support/test_support.h"

// A request as it goes on the wire: the custom header lines (already
// encoded, each "_name:_value_"), any plain header lines, and the body.
struct TWireRequest {
  std::vector<std::string> header_lines;  // without CR LF
  std::string body;
};

// The envelope of a command call: the parameter items are NAME ":" VALUE
// texts (UTF-8); "LOGINKEY" items become header fields, the others OTHERHEAD
// lines; an item with an empty value, and an empty item, are dropped.
TWireRequest BuildEnvelope(const std::string& command, const std::vector<std::string>& items,
                           const std::string& body = std::string());

// One encoded header line "_" + EncodeHeaderField(name) + ":_" + ... + "_".
std::string FieldLine(const std::string& name, const std::string& value);

// A string-list stream packed with PackStream at the default level.
std::string PackedStringList(const std::vector<std::string>& lines);
// PackStream of bytes at the default level.
std::string Packed(const std::string& bytes);

struct THttpReply {
  int status = 0;
  std::string body;
  bool closed_without_reply = false;
};

// Sends one HTTP/1.1 request on a fresh connection (closed afterwards) and
// reads the whole reply. extra_lines go verbatim after the request line.
THttpReply SendHttp(int port, const std::string& method, const std::vector<std::string>& lines,
                    const std::string& body);
THttpReply Send(int port, const TWireRequest& request);

// A framed answer taken apart. Framing faults (length that does not match,
// unknown marker, payload that does not unpack) fail the current test.
struct TFramedAnswer {
  bool ok = false;
  std::string payload;  // unpacked
  std::string error;    // the text after KVERR
  std::string packed;   // the payload as sent
};
TFramedAnswer ParseFramed(const std::string& body);

// BuildEnvelope + Send + ParseFramed; HTTP status must be 200.
TFramedAnswer Call(int port, const std::string& command, const std::vector<std::string>& items,
                   const std::string& body = std::string());

// A server on a free loopback port, serving a fresh temporary folder.
class TServerFixture {
 public:
  explicit TServerFixture(TServerOptions options = TServerOptions());
  ~TServerFixture();

  TCorvaneServer& server() { return *server_; }
  int port() const { return port_; }
  const std::string& root() const { return root_.path(); }
  // Writes a file below the served folder (folders created as needed).
  void PutFile(const std::string& relative, const std::string& bytes);

 private:
  TTempDir root_;
  TTempDir uploads_;
  std::unique_ptr<TCorvaneServer> server_;
  int port_ = 0;
};
