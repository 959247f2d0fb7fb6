// TCorvaneServer: command registry, request handling and logging. The HTTP
// layer is in http_listener_mhd.cpp.

#include "corvane_server.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "answer_packing.h"
#include "digests.h"
#include "file_service.h"
#include "http_listener.h"
#include "request_decoder.h"
#include "server_counters.h"
#include "server_files.h"
#include "server_log.h"
#include "upload_store.h"

std::string TServerRequest::Item(const std::string& name) const {
  for (const auto& [key, value] : items) {
    if (key == name) return value;
  }
  return std::string();
}

namespace {

TServerAnswer Refuse(std::string text) {
  TServerAnswer answer;
  answer.ok = false;
  answer.error_text = std::move(text);
  return answer;
}

TServerAnswer Payload(std::string payload) {
  TServerAnswer answer;
  answer.payload = std::move(payload);
  return answer;
}

}  // namespace

struct TCorvaneServer::TImpl : public THttpHandler {
  explicit TImpl(TServerOptions opts) : options(std::move(opts)) {}

  TServerOptions options;
  TAtomicCounters counters;

  mutable std::shared_mutex registry_mutex;
  std::map<std::string, TCommandHandler> registry;

  std::string real_root;
  std::string upload_dir;
  bool own_upload_dir = false;
  std::unique_ptr<TUploadStore> uploads;
  std::unique_ptr<TFileService> files;
  std::unique_ptr<THttpListener> listener;

  std::mutex maintenance_mutex;
  std::condition_variable maintenance_cv;
  bool maintenance_stop = false;
  std::thread maintenance;

  void RegisterBuiltIns();
  std::shared_ptr<const std::string> Handle(const THttpRequest& http) override;
  std::shared_ptr<const std::string> Refusal(const THttpRequest& http,
                                             const std::string& text) override;
  void Release();
};

void TCorvaneServer::TImpl::RegisterBuiltIns() {
  registry["TEST_SERVER_ALIVE"] = [](const TServerRequest&) { return Payload("RESULTOK"); };
  registry["ECHO"] = [](const TServerRequest& request) { return Payload(request.body); };
  registry["GET_SERVER_STREAM_ID"] = [this](const TServerRequest&) {
    std::string id, error;
    if (!uploads || !uploads->Open(&id, &error)) return Refuse(error);
    return Payload(id);
  };
  registry["UPLOAD_STREAM_TO_SERVER"] = [this](const TServerRequest& request) {
    const std::string id = request.Item("_STREAM_ID");
    if (id.empty()) return Refuse("missing item _STREAM_ID");
    int64_t total = 0;
    std::string error;
    if (!uploads || !uploads->Append(id, request.body, &total, &error)) return Refuse(error);
    return Payload(std::to_string(request.body.size()));
  };
  registry["GET_SERVER_FILE_SIZE_TIME"] = [this](const TServerRequest& request) {
    return files ? files->SizeTime(request) : Refuse("server not started");
  };
  registry["GET_SERVER_FILE_STREAM"] = [this](const TServerRequest& request) {
    return files ? files->Stream(request) : Refuse("server not started");
  };
  registry["SERVER_STATS"] = [this](const TServerRequest&) {
    const TServerCounters c = counters.Snapshot();
    return Payload("requests=" + std::to_string(c.requests) +
                   ",data_pieces=" + std::to_string(c.data_pieces) +
                   ",digest_confirmed_pieces=" + std::to_string(c.digest_confirmed_pieces) +
                   ",file_info_requests=" + std::to_string(c.file_info_requests) +
                   ",errors=" + std::to_string(c.errors));
  };
}

std::shared_ptr<const std::string> TCorvaneServer::TImpl::Handle(const THttpRequest& http) {
  const auto start = std::chrono::steady_clock::now();
  counters.requests++;
  TServerRequest request;
  TServerAnswer answer;
  std::string error;
  TDecodeSettings settings;
  settings.login_key = options.login_key;
  settings.max_unpacked_bytes = options.max_unpacked_bytes;
  settings.uploads = uploads.get();
  if (!DecodeRequest(http, settings, &request, &error)) {
    answer = Refuse(error);
  } else {
    TCommandHandler handler;
    {
      std::shared_lock<std::shared_mutex> lock(registry_mutex);
      auto it = registry.find(request.command);
      if (it != registry.end()) handler = it->second;
    }
    if (!handler) {
      answer = Refuse("查無此程式NOFUNCTION" + request.command);
    } else {
      try {
        answer = handler(request);
      } catch (const std::exception& e) {
        answer = Refuse(std::string("server error: ") + e.what());
      } catch (...) {
        answer = Refuse("server error");
      }
    }
  }

  std::shared_ptr<const std::string> framed;
  if (answer.ok) {
    if (answer.framed && PayloadCheck(answer.payload) == answer.framed_check) {
      framed = answer.framed;
    } else {
      try {
        framed = std::make_shared<const std::string>(FrameAnswer(answer.payload));
      } catch (const std::exception& e) {
        answer = Refuse(std::string("server error: ") + e.what());
      }
    }
  }
  if (!answer.ok) {
    counters.errors++;
    framed = std::make_shared<const std::string>(FrameError(answer.error_text));
  }
  if (options.log_requests) {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    LogRequest(http.peer, request.command, answer.ok, answer.error_text,
               answer.ok ? answer.payload.size() : 0, ms);
  }
  return framed;
}

std::shared_ptr<const std::string> TCorvaneServer::TImpl::Refusal(const THttpRequest& http,
                                                                  const std::string& text) {
  counters.requests++;
  counters.errors++;
  if (options.log_requests) LogRequest(http.peer, "", false, text, 0, 0.0);
  return std::make_shared<const std::string>(FrameError(text));
}

void TCorvaneServer::TImpl::Release() {
  {
    std::lock_guard<std::mutex> lock(maintenance_mutex);
    maintenance_stop = true;
  }
  maintenance_cv.notify_all();
  if (maintenance.joinable()) maintenance.join();
  files.reset();
  uploads.reset();
  if (own_upload_dir) RemoveFolder(upload_dir);
  own_upload_dir = false;
}

TCorvaneServer::TCorvaneServer(TServerOptions options)
    : impl_(std::make_unique<TImpl>(std::move(options))) {
  impl_->RegisterBuiltIns();
}

TCorvaneServer::~TCorvaneServer() { Stop(); }

bool TCorvaneServer::Start(std::string* error) {
  TImpl& s = *impl_;
  if (s.listener) {
    *error = "server already started";
    return false;
  }
  if (!ResolveServedRoot(s.options.root, &s.real_root, error)) return false;

  if (s.options.upload_dir.empty()) {
    if (!MakePrivateFolder("corvane-uploads", &s.upload_dir, error)) return false;
    s.own_upload_dir = true;
  } else {
    s.upload_dir = s.options.upload_dir;
    if (!EnsureFolder(s.upload_dir, error)) return false;
  }
  TUploadStore::TLimits limits;
  limits.stream_bytes = s.options.upload_limit;
  limits.max_streams = s.options.max_upload_streams;
  limits.idle = std::chrono::seconds(s.options.upload_idle_seconds);
  s.uploads = std::make_unique<TUploadStore>(s.upload_dir, limits);

  TFileService::TSettings settings;
  settings.real_root = s.real_root;
  settings.cache_bytes = s.options.cache_bytes;
  settings.max_piece_bytes = s.options.max_piece_bytes;
  settings.prefetch = s.options.prefetch;
  settings.prefetch_threads =
      static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2u, 8u));
  s.files = std::make_unique<TFileService>(settings, &s.counters);

  THttpListener::TSettings http;
  http.address = s.options.listen_address;
  http.port = s.options.port;
  http.threads = s.options.threads;
  http.max_connections = s.options.max_connections;
  http.connection_timeout_seconds = s.options.connection_timeout_seconds;
  http.max_body_bytes = s.options.max_body_bytes;
  http.log_errors = s.options.log_requests;
  auto listener = std::make_unique<THttpListener>(http, &s);
  if (!listener->Start(error)) {
    s.Release();
    return false;
  }
  s.listener = std::move(listener);

  s.maintenance_stop = false;
  s.maintenance = std::thread([&s] {
    std::unique_lock<std::mutex> lock(s.maintenance_mutex);
    while (!s.maintenance_cv.wait_for(lock, std::chrono::seconds(10),
                                      [&s] { return s.maintenance_stop; })) {
      lock.unlock();
      s.uploads->DropIdle();
      lock.lock();
    }
  });
  return true;
}

void TCorvaneServer::Stop() {
  TImpl& s = *impl_;
  if (!s.listener) return;
  s.listener->Stop();
  s.listener.reset();
  s.Release();
}

int TCorvaneServer::Port() const { return impl_->listener ? impl_->listener->Port() : 0; }

TServerCounters TCorvaneServer::Counters() const { return impl_->counters.Snapshot(); }

void TCorvaneServer::ResetCounters() { impl_->counters.Reset(); }

void TCorvaneServer::RegisterCommand(const std::string& name, TCommandHandler handler) {
  std::unique_lock<std::shared_mutex> lock(impl_->registry_mutex);
  if (handler) {
    impl_->registry[name] = std::move(handler);
  } else {
    impl_->registry.erase(name);
  }
}

TCommandHandler TCorvaneServer::Handler(const std::string& name) const {
  std::shared_lock<std::shared_mutex> lock(impl_->registry_mutex);
  auto it = impl_->registry.find(name);
  return it == impl_->registry.end() ? TCommandHandler() : it->second;
}
