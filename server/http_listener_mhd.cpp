// THttpListener over libmicrohttpd: internal thread pool with epoll, a
// listening socket of our own (so that a port in use gives a clear message),
// connection limit and idle time-out.

#include <arpa/inet.h>
#include <errno.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "http_listener.h"
#include "server_log.h"

namespace {

// One request in progress on a connection.
struct TRequestState {
  std::string body;
  bool too_large = false;
  bool not_post = false;
};

// Keeps an answer alive until libmicrohttpd has sent it.
struct TAnswerHolder {
  std::shared_ptr<const std::string> bytes;
};

void FreeAnswer(void* cls) { delete static_cast<TAnswerHolder*>(cls); }

std::string PeerText(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!info || !info->client_addr) return "-";
  const sockaddr* addr = info->client_addr;
  char host[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (addr->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
    port = ntohs(in->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  if (addr->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
    port = ntohs(in6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
  }
  return "-";
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, size_t key_size,
                         const char* value, size_t value_size) {
  auto* headers = static_cast<std::vector<std::pair<std::string, std::string>>*>(cls);
  headers->emplace_back(std::string(key, key_size),
                        value ? std::string(value, value_size) : std::string());
  return MHD_YES;
}

}  // namespace

struct THttpListener::TImpl {
  TSettings settings;
  THttpHandler* handler = nullptr;
  MHD_Daemon* daemon = nullptr;
  int listen_fd = -1;

  std::mutex flight_mutex;
  std::condition_variable flight_cv;
  int in_flight = 0;

  bool QueueAnswer(MHD_Connection* connection, std::shared_ptr<const std::string> bytes) {
    auto* holder = new TAnswerHolder{std::move(bytes)};
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        holder->bytes->size(), const_cast<char*>(holder->bytes->data()), &FreeAnswer, holder);
    if (!response) {
      delete holder;
      return false;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/octet-stream");
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
  }

  THttpRequest Describe(MHD_Connection* connection, bool with_headers) {
    THttpRequest request;
    request.peer = PeerText(connection);
    if (with_headers) {
      MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &CollectHeader, &request.headers);
    }
    return request;
  }

  static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* upload_data,
                           size_t* upload_data_size, void** con_cls) {
    auto* self = static_cast<TImpl*>(cls);
    auto* state = static_cast<TRequestState*>(*con_cls);
    if (!state) {
      state = new TRequestState;
      *con_cls = state;
      {
        std::lock_guard<std::mutex> lock(self->flight_mutex);
        ++self->in_flight;
      }
      if (std::strcmp(method, MHD_HTTP_METHOD_POST) != 0) {
        state->not_post = true;
      } else if (const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                                  MHD_HTTP_HEADER_CONTENT_LENGTH)) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long declared = std::strtoull(length, &end, 10);
        if (errno != 0 ||
            declared > static_cast<unsigned long long>(self->settings.max_body_bytes)) {
          state->too_large = true;
        } else {
          state->body.reserve(static_cast<size_t>(declared));
        }
      }
      if (state->too_large) {
        // Answer at once; libmicrohttpd closes the connection afterwards
        // instead of reading the body.
        THttpRequest request = self->Describe(connection, false);
        return self->QueueAnswer(connection, self->handler->Refusal(request, self->TooLargeText()))
                   ? MHD_YES
                   : MHD_NO;
      }
      return MHD_YES;
    }
    if (*upload_data_size > 0) {
      if (!state->too_large && !state->not_post) {
        if (state->body.size() + *upload_data_size >
            static_cast<uint64_t>(self->settings.max_body_bytes)) {
          state->too_large = true;
          std::string().swap(state->body);
        } else {
          state->body.append(upload_data, *upload_data_size);
        }
      }
      *upload_data_size = 0;
      return MHD_YES;
    }
    // The whole request is in.
    THttpRequest request = self->Describe(connection, !state->not_post && !state->too_large);
    std::shared_ptr<const std::string> answer;
    if (state->not_post) {
      answer = self->handler->Refusal(request,
                                      std::string("only POST requests are served, not ") + method);
    } else if (state->too_large) {
      answer = self->handler->Refusal(request, self->TooLargeText());
    } else {
      request.body = std::move(state->body);
      answer = self->handler->Handle(request);
    }
    return self->QueueAnswer(connection, std::move(answer)) ? MHD_YES : MHD_NO;
  }

  static void Completed(void* cls, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
    auto* self = static_cast<TImpl*>(cls);
    auto* state = static_cast<TRequestState*>(*con_cls);
    if (!state) return;
    delete state;
    *con_cls = nullptr;
    std::lock_guard<std::mutex> lock(self->flight_mutex);
    --self->in_flight;
    self->flight_cv.notify_all();
  }

  static void Logger(void* cls, const char* format, va_list args) {
    auto* self = static_cast<TImpl*>(cls);
    if (!self->settings.log_errors) return;
    char buffer[512];
    vsnprintf(buffer, sizeof(buffer), format, args);
    std::string text = buffer;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    LogLine("http: " + text);
  }

  std::string TooLargeText() const {
    return "request body above the limit of " + std::to_string(settings.max_body_bytes) + " bytes";
  }
};

THttpListener::THttpListener(TSettings settings, THttpHandler* handler)
    : impl_(std::make_unique<TImpl>()) {
  impl_->settings = std::move(settings);
  impl_->handler = handler;
}

THttpListener::~THttpListener() { Stop(); }

bool THttpListener::Start(std::string* error) {
  TImpl& s = *impl_;
  const std::string where = s.settings.address + ":" + std::to_string(s.settings.port);
  if (s.settings.port < 0 || s.settings.port > 65535) {
    *error = "bad port: " + std::to_string(s.settings.port);
    return false;
  }
  sockaddr_storage storage;
  std::memset(&storage, 0, sizeof(storage));
  socklen_t length = 0;
  int family = AF_INET;
  auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, s.settings.address.c_str(), &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(s.settings.port));
    length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, s.settings.address.c_str(), &in6->sin6_addr) == 1) {
    family = AF_INET6;
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(s.settings.port));
    length = sizeof(sockaddr_in6);
  } else {
    *error = "bad listen address (an IPv4 or IPv6 literal is expected): " + s.settings.address;
    return false;
  }
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("cannot create a socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || listen(fd, 1024) != 0) {
    *error = "cannot listen on " + where + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  sockaddr_storage bound;
  socklen_t bound_length = sizeof(bound);
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_length);
  port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                  : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);

  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC |
                       MHD_USE_TURBO | MHD_USE_ERROR_LOG;
  if (family == AF_INET6) flags |= MHD_USE_IPv6;
  // Each worker takes its share of the connection limit: no more workers
  // than connections.
  const unsigned int threads = static_cast<unsigned int>(
      std::clamp(s.settings.threads, 1, std::max(1, s.settings.max_connections)));
  s.daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &TImpl::Access, &s, MHD_OPTION_EXTERNAL_LOGGER, &TImpl::Logger,
      &s, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_THREAD_POOL_SIZE, threads > 1 ? threads : 0u,
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned int>(s.settings.max_connections),
      MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned int>(s.settings.connection_timeout_seconds), MHD_OPTION_NOTIFY_COMPLETED,
      &TImpl::Completed, &s, MHD_OPTION_END);
  if (!s.daemon) {
    *error = "cannot start the HTTP layer on " + where;
    close(fd);
    return false;
  }
  s.listen_fd = fd;
  return true;
}

void THttpListener::Stop() {
  TImpl& s = *impl_;
  if (!s.daemon) return;
  const int fd = MHD_quiesce_daemon(s.daemon);
  if (fd >= 0) close(fd);
  s.listen_fd = -1;
  {
    std::unique_lock<std::mutex> lock(s.flight_mutex);
    s.flight_cv.wait_for(lock, std::chrono::seconds(30), [&s] { return s.in_flight == 0; });
  }
  MHD_stop_daemon(s.daemon);
  s.daemon = nullptr;
}
