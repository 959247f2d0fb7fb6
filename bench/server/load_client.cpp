#include "load_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "net/post_server_request.h"
#include "pack/compression.h"
#include "pack/my_streams.h"
#include "pack/stream.h"

namespace {

std::string FieldLine(const std::string& name, const std::string& value) {
  return "_" + EncodeHeaderField(name) + ":_" + EncodeHeaderField(value) + "_\r\n";
}

}  // namespace

std::string BuildCommandRequest(const std::string& command, const std::vector<std::string>& items) {
  std::string header = FieldLine("KV_OTHER_HEAD_KV", "T");
  std::vector<std::string> lines;
  for (const std::string& item : items) {
    const size_t colon = item.find(':');
    const std::string name = item.substr(0, colon);
    const std::string value = item.substr(colon + 1);
    if (name == "LOGINKEY") {
      header += FieldLine(name, value);
    } else {
      lines.push_back(name + "=" + value);
    }
  }
  TMemoryStream list;
  WriteStringList(lines, list);
  TMemoryStream packed;
  PackStream(list, packed, CompressionLevel::Default);
  TMyStreams container;
  container.AddStream(u"OTHERHEAD", &packed);
  TMemoryStream body;
  container.WriteTo(body);
  header += "Content-Length:" + std::to_string(body.Size()) + "\r\n";
  header += FieldLine("CORVANELINKPOSTTYPE", "KVPOST");
  header += FieldLine("CORVNAECOMMAND", command);
  header += FieldLine("_IF_RETURN_SEND_HEAD", "T");
  return "POST /A001 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + header + "\r\n" +
         body.Bytes();
}

std::string BuildPlainPost(const std::string& target, const std::string& body) {
  return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool Exchange(int port, const std::string& request, std::string* body) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return false;
  }
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      close(fd);
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  std::string raw;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    raw.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  const size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos || raw.compare(0, 12, "HTTP/1.1 200") != 0) return false;
  body->assign(raw, head_end + 4, std::string::npos);
  return true;
}

bool UnpackFramed(const std::string& body, std::string* payload, std::string* error) {
  if (body.size() < 11 || body.compare(4, 7, "KVSTART") != 0) {
    *error = body.size() >= 9 && body.compare(4, 5, "KVERR") == 0 ? body.substr(9) : "framing";
    return false;
  }
  size_t start = 11;
  if (body.compare(start, 11, "_LaRgEsIzE_") == 0) start += 11;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data() + start));
  z.avail_in = static_cast<uInt>(body.size() - start);
  payload->clear();
  char buffer[1 << 16];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof(buffer);
    rc = inflate(&z, Z_NO_FLUSH);
    payload->append(buffer, sizeof(buffer) - z.avail_out);
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) {
    *error = "inflate";
    return false;
  }
  return true;
}

double RunFor(int clients, double seconds, const std::function<bool()>& job, int64_t* failures) {
  std::atomic<int64_t> done{0}, failed{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        if (job()) {
          ++done;
        } else {
          ++failed;
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (std::thread& t : threads) t.join();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  *failures += failed.load();
  return static_cast<double>(done.load()) / elapsed;
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  const int port = ntohs(addr.sin_port);
  close(fd);
  return port;
}
