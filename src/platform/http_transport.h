// The HTTP transport under the server link: a session with its time-outs and
// proxy mode, a connection to one host and port, and POST requests whose
// send blocks until the answer's status line and header have arrived and
// whose body is then read on the caller's thread.
//
// The header block handed to Send is sent as it stands: each CR LF-ended line
// becomes one header line, byte for byte ("Name:value", no space added). The
// transport adds only the request line, Host, User-Agent and Accept; it sends
// no "Expect:" and no "Content-Type:" of its own. The body's length is the
// number on the block's "Content-Length:" line (never more than the bytes
// given); without such a line it is the count given.
//
// Status reports: the callback of the session receives, with the context
// given to Connect/OpenRequest, on the thread that runs the transport call:
//   40 kHttpStatusReceivingResponse  answer bytes are coming in
//   41 kHttpStatusResponseReceived   answer bytes have been received
//   51 kHttpStatusConnectionClosed   nothing more will arrive for this request
//                                    (answer complete, connection lost, or the
//                                    transfer given up after an error)
//
// Errors: every call of a session, connection or request first clears the
// calling thread's last error; a failing call returns false (or nullptr) and
// leaves its texts for HttpLastErrorText / HttpLastSystemErrorText there.
//
// Threads: a session, its connections and requests are used by one thread at
// a time, handed over with proper synchronisation (the link's worker sends,
// the caller reads afterwards). TTransportRequest::Close may be called from any
// thread at any time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

inline constexpr int32_t kHttpStatusReceivingResponse = 40;
inline constexpr int32_t kHttpStatusResponseReceived = 41;
inline constexpr int32_t kHttpStatusConnectionClosed = 51;

// The status callback: context as given to Connect/OpenRequest (may be null).
// It must not throw.
using THttpStatusCallback = void (*)(void* context, int32_t status);

enum class THttpAccess {
  Preconfigured = 0,  // the system's proxy settings: http_proxy, HTTP_PROXY, no_proxy
  Direct = 1,         // no proxy, whatever the environment says
};

// Time-out options, values in milliseconds. Connect limits establishing the
// connection; the others limit inactivity (no byte moving) while the request
// goes out (Send, DataSend) or the answer comes in (Receive, DataReceive).
enum class THttpOption {
  ConnectTimeout = 2,
  SendTimeout = 5,
  ReceiveTimeout = 6,
  DataSendTimeout = 7,
  DataReceiveTimeout = 8,
};

class TTransportRequest {
 public:
  virtual ~TTransportRequest() = default;

  // Sends the request with the raw header block and body (the body memory
  // must stay valid until Send returns). Blocks until the answer's status line
  // and header have arrived; false when the exchange failed or Close was
  // called. Runs on the thread that calls it (status reports included).
  virtual bool Send(const std::string& header_block, const char* body, int64_t body_size) = 0;

  // Makes a running Send or read return soon with failure; later calls fail.
  // Any thread.
  virtual void Close() = 0;

  // Answer bytes that Read delivers without waiting now. May wait briefly for
  // bytes to arrive before answering 0. False when the transfer failed and
  // nothing is left to read.
  virtual bool QueryDataAvailable(uint32_t& count) = 0;

  // Reads up to count bytes of the answer body; count_read 0 means nothing
  // right now or the end. Waits briefly when nothing is there.
  virtual bool Read(void* buffer, uint32_t count, uint32_t& count_read) = 0;
};

class TTransportConnection {
 public:
  virtual ~TTransportConnection() = default;
  // A POST (or other verb) request for object_name; nullptr when the verb or
  // object name cannot be sent.
  virtual std::unique_ptr<TTransportRequest> OpenRequest(
      const std::string& verb, const std::string& object_name,
      const std::vector<std::string>& accept_types, void* context) = 0;
};

class TTransportSession {
 public:
  virtual ~TTransportSession() = default;
  // Sets a time-out; false for an unknown option or a negative value.
  virtual bool SetOption(THttpOption option, int32_t milliseconds) = 0;
  // Registers (or, with nullptr, removes) the status callback.
  virtual void SetStatusCallback(THttpStatusCallback callback) = 0;
  // A connection to host:port (port 0: 80); nullptr when the host name cannot
  // be used. Nothing goes on the wire before a request is sent.
  virtual std::unique_ptr<TTransportConnection> Connect(const std::string& host, uint16_t port,
                                                        void* context) = 0;
};

// A session; nullptr when the transport cannot be set up.
std::unique_ptr<TTransportSession> OpenHttpSession(const std::string& user_agent,
                                                   THttpAccess access);

// The transport's message for the last failing call on this thread, empty
// when the thread's last transport call succeeded.
std::string HttpLastErrorText();

// The operating system's message behind that failure (for example
// "Connection refused"), empty when the failure was not an OS error.
std::string HttpLastSystemErrorText();
