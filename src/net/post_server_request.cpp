// PostServerRequest: one server call in attempts, each with its own session,
// connection, request and send worker.
//
// Header block, lines in this order (a field line is
// "_" + EncodeHeaderField(name) + ":_" + EncodeHeaderField(value) + "_" CR LF):
//   1  KV_OTHER_HEAD_KV = T              when the parameter list is not empty
//   2  LOGINKEY = value                  one per login-key item, in list order
//   3  Content-Length:<size> CR LF       (or, after a divided upload,
//                                         Content-Length:0 CR LF and
//                                         _SEND_DIV_POST_STREAMID = identifier)
//   4  CORVANELINKPOSTTYPE = KVPOST
//   5  CORVNAECOMMAND = command name (UTF-8)
//   6  _IF_RETURN_SEND_HEAD = T
//
// Body: without parameters, the caller's body packed (or nothing when it is
// empty); with parameters, a named-stream container (pack/my_streams.h) of
// "OTHERHEAD" (the NAME=VALUE lines of the other items as a packed
// string-list stream, present even with no lines) and, when the caller's
// body is not empty, "ORGSTREAM" (the caller's body packed).

#include "net/post_server_request.h"

#include <chrono>
#include <exception>
#include <memory>
#include <thread>

#include "app/launch_params.h"
#include "net/check_connect_thread.h"
#include "net/divided_upload.h"
#include "net/link_settings.h"
#include "net/request_envelope.h"
#include "net/response_reader.h"
#include "pack/compression.h"
#include "pack/my_streams.h"
#include "pack/text_encodings.h"
#include "platform/http_transport.h"

namespace {

const std::string kLoginKeyName = "LOGINKEY";

std::u16string Decimal(int64_t value) { return AsciiToWide(std::to_string(value)); }

struct TAttemptOutcome {
  bool ok = false;
  bool no_retry = false;
};

// One attempt. Every handle, the worker and the streams are released here
// on every path, in the order the transport needs: request closed, worker
// ended, connection released, callback removed, session released, worker
// discarded.
TAttemptOutcome RunAttempt(const std::string& object_name, const std::u16string& command,
                           const std::string& command_bytes, const std::u16string& host,
                           const std::string& host_bytes, int32_t port,
                           const std::vector<std::string>& items, TStream& caller_body,
                           TStream& response, std::u16string& ErrorText,
                           int32_t caller_time_limit) {
  TAttemptOutcome outcome;
  std::string header_block;

  std::unique_ptr<TTransportSession> session =
      OpenHttpSession(UserAgent, ProxyType == 1 ? THttpAccess::Direct : THttpAccess::Preconfigured);
  if (session == nullptr) {
    ErrorText = u"連線主機失敗E009：InternetOpen Connection fail";
    return outcome;
  }
  std::unique_ptr<TCheckConnectThread> worker;
  std::unique_ptr<TTransportConnection> connection;
  std::unique_ptr<TTransportRequest> request;
  std::unique_ptr<TMemoryStream> body;
  struct TCleanup {
    std::unique_ptr<TTransportSession>& session;
    std::unique_ptr<TCheckConnectThread>& worker;
    std::unique_ptr<TTransportConnection>& connection;
    std::unique_ptr<TTransportRequest>& request;
    std::unique_ptr<TMemoryStream>& body;
    ~TCleanup() {
      // Closing makes a send that still runs return; a finished one needs
      // no wake-up.
      if (request && worker && worker->FBusy.load()) request->Close();
      if (worker) worker->WaitFor();
      request.reset();
      body.reset();
      connection.reset();
      session->SetStatusCallback(nullptr);
      session.reset();
      worker.reset();
    }
  } cleanup{session, worker, connection, request, body};

  worker = std::make_unique<TCheckConnectThread>(session.get());
  SetLinkOptions(*session);

  body = std::make_unique<TMemoryStream>();
  connection = session->Connect(host_bytes, static_cast<uint16_t>(port), worker.get());
  if (connection == nullptr) {
    ErrorText = u"連線主機失敗E008：InternetConnect Connection fail";
    return outcome;
  }

  BuildRequestBody(items, caller_body, *body, header_block);
  if (!UploadStreamToServer(command, host, port, *body, header_block, ErrorText,
                            kUploadPieceSize)) {
    outcome.no_retry = true;
    return outcome;
  }
  header_block += HeaderFieldLine("CORVANELINKPOSTTYPE", "KVPOST");
  header_block += HeaderFieldLine("CORVNAECOMMAND", command_bytes);
  header_block += HeaderFieldLine("_IF_RETURN_SEND_HEAD", "T");

  request = connection->OpenRequest("POST", object_name, {AcceptTypes}, worker.get());
  if (request == nullptr) {
    ErrorText = u"連線主機失敗E007：HttpOpenRequest Connection fail";
    return outcome;
  }

  body->SetPosition(0);
  worker->SetHeaders(header_block);
  worker->SetBody(body.get());
  worker->SetRequest(request.get());
  worker->FCallerTimeLimit.store(caller_time_limit);
  worker->Start();

  // First wait: the answer has begun, the send failed, or the worker ended.
  constexpr auto kPollInterval = std::chrono::milliseconds(10);
  while (!worker->FResponseStarted.load() && !worker->FFailed.load() && worker->FBusy.load()) {
    worker->WaitForReport(kPollInterval);
  }
  worker->FLastActivity.store(TCheckConnectThread::NowTicks());

  // Second wait: while the send still runs, no more than the time limit may
  // pass between two reports of answer data.
  while (worker->FBusy.load() && !worker->FFailed.load()) {
    const int64_t elapsed = TCheckConnectThread::ElapsedSeconds(worker->FLastActivity.load());
    const int32_t limit = worker->FTimeLimit.load();
    if (elapsed > limit) {
      ErrorText =
          u"等待主機傳回資料時，通訊失敗(03)：(" + Decimal(elapsed) + u"/" + Decimal(limit) + u")";
      outcome.no_retry = true;
      break;
    }
    worker->WaitForReport(kPollInterval);
  }

  if (worker->FBusy.load()) {
    if (worker->FFailed.load()) ErrorText = worker->ErrorText();
    return outcome;
  }
  if (worker->FFailed.load() && !worker->FResponseStarted.load()) {
    ErrorText = worker->ErrorText();
    return outcome;
  }
  if (ReadServerResponse(request.get(), response, worker->FTimeLimit.load(), worker.get(),
                         ErrorText)) {
    outcome.ok = true;
  } else {
    outcome.no_retry = true;
  }
  return outcome;
}

}  // namespace

std::string HeaderFieldLine(const std::string& name, const std::string& value) {
  return "_" + EncodeHeaderField(name) + ":_" + EncodeHeaderField(value) + "_\r\n";
}

void BuildRequestBody(const std::vector<std::string>& items, TStream& caller_body,
                      TMemoryStream& body, std::string& header_block) {
  body.Clear();
  if (items.empty()) {
    if (caller_body.Size() > 0) PackStream(caller_body, body, CompressionLevel::Default);
    body.SetPosition(0);
    return;
  }
  header_block += HeaderFieldLine("KV_OTHER_HEAD_KV", "T");
  std::vector<std::string> other_lines;
  for (const std::string& item : items) {
    if (item.empty()) continue;
    const size_t colon = item.find(':');
    if (colon == item.size() - 1) continue;
    std::string name;
    std::string value;
    if (colon == std::string::npos) {
      value = item;
    } else {
      name = item.substr(0, colon);
      value = item.substr(colon + 1);
    }
    if (name == kLoginKeyName) {
      header_block += HeaderFieldLine(name, value);
    } else {
      other_lines.push_back(name + "=" + value);
    }
  }
  TMyStreams container;
  TMemoryStream scratch;
  TMemoryStream packed;
  WriteStringList(other_lines, scratch);
  PackStream(scratch, packed, CompressionLevel::Default);
  container.AddStream(u"OTHERHEAD", &packed);
  if (caller_body.Size() > 0) {
    PackStream(caller_body, packed, CompressionLevel::Default);
    container.AddStream(u"ORGSTREAM", &packed);
  }
  container.WriteTo(body);
}

bool PostServerRequest(const std::u16string& ObjectName, const std::u16string& Command,
                       const std::u16string& Host, int32_t Port,
                       const std::vector<std::u16string>& Params, TStream& Body, TStream& Response,
                       std::u16string& ErrorText, int32_t CallerTimeLimit, int32_t MaxAttempts) {
  ErrorText.clear();
  bool result = false;
  int32_t attempts = 0;
  for (;;) {
    std::vector<std::string> items;
    items.reserve(Params.size());
    for (const std::u16string& param : Params) items.push_back(WideToUtf8(param));
    const std::string object_name = WideToUtf8(ObjectName);
    const std::string command_bytes = WideToUtf8(Command);
    const std::string host_bytes = WideToUtf8(Host);
    if (attempts > 0) {
      std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    bool no_retry = false;
    ++attempts;
    try {
      const TAttemptOutcome outcome =
          RunAttempt(object_name, Command, command_bytes, Host, host_bytes, Port, items, Body,
                     Response, ErrorText, CallerTimeLimit);
      result = outcome.ok;
      no_retry = outcome.no_retry;
    } catch (const std::exception& e) {
      ErrorText = u"Exception:" + ByteTextToWide(e.what());
      result = false;
    } catch (...) {
      ErrorText = u"Exception:";
      result = false;
    }
    if (!result) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (result || attempts >= MaxAttempts || no_retry) break;
  }
  return result;
}
