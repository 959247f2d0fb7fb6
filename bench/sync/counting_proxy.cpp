#include "counting_proxy.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

}  // namespace

TCountingProxy::TCountingProxy(int target_port) : target_port_(target_port) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof(addr);
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(listen_fd_, 128) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (listen_fd_ >= 0) close(listen_fd_);
    throw std::runtime_error("proxy: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

TCountingProxy::~TCountingProxy() {
  stopping_ = true;
  acceptor_.join();
  close(listen_fd_);
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::thread& t : pumps_) t.join();
}

void TCountingProxy::AcceptLoop() {
  while (!stopping_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    pumps_.emplace_back([this, client] { Pump(client); });
  }
}

void TCountingProxy::Pump(int client) {
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(target_port_);
  if (server < 0 || connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (server >= 0) close(server);
    close(client);
    return;
  }
  const int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  int fds[2] = {client, server};
  bool open_in[2] = {true, true};
  static thread_local char buffer[1 << 16];
  while (!stopping_ && (open_in[0] || open_in[1])) {
    pollfd p[2] = {{fds[0], static_cast<short>(open_in[0] ? POLLIN : 0), 0},
                   {fds[1], static_cast<short>(open_in[1] ? POLLIN : 0), 0}};
    if (poll(p, 2, 100) <= 0) continue;
    for (int side = 0; side < 2; ++side) {
      if (!(p[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = read(fds[side], buffer, sizeof(buffer));
      if (n <= 0) {
        open_in[side] = false;
        shutdown(fds[1 - side], SHUT_WR);
        continue;
      }
      bytes_ += n;
      for (ssize_t done = 0; done < n;) {
        const ssize_t w = write(fds[1 - side], buffer + done, static_cast<size_t>(n - done));
        if (w < 0) {
          if (errno == EINTR) continue;
          open_in[0] = open_in[1] = false;
          break;
        }
        done += w;
      }
    }
  }
  close(client);
  close(server);
}
