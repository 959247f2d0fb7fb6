#include "server_test_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "net/post_server_request.h"
#include "pack/compression.h"
#include "pack/my_streams.h"
#include "pack/stream.h"
#include "pack/text_encodings.h"

std::string FieldLine(const std::string& name, const std::string& value) {
  return "_" + EncodeHeaderField(name) + ":_" + EncodeHeaderField(value) + "_";
}

std::string Packed(const std::string& bytes) {
  TMemoryStream source(bytes);
  TMemoryStream dest;
  PackStream(source, dest, CompressionLevel::Default);
  return dest.Bytes();
}

std::string PackedStringList(const std::vector<std::string>& lines) {
  TMemoryStream list;
  WriteStringList(lines, list);
  return Packed(list.Bytes());
}

TWireRequest BuildEnvelope(const std::string& command, const std::vector<std::string>& items,
                           const std::string& body) {
  TWireRequest request;
  std::vector<std::string> other_head;
  std::vector<std::string> login_lines;
  for (const std::string& item : items) {
    const size_t colon = item.find(':');
    if (item.empty() || (colon != std::string::npos && colon + 1 == item.size())) continue;
    const std::string name = colon == std::string::npos ? std::string() : item.substr(0, colon);
    const std::string value = colon == std::string::npos ? item : item.substr(colon + 1);
    if (name == "LOGINKEY") {
      login_lines.push_back(FieldLine(name, value));
    } else {
      other_head.push_back(name + "=" + value);
    }
  }
  if (!items.empty()) {
    request.header_lines.push_back(FieldLine("KV_OTHER_HEAD_KV", "T"));
    for (const std::string& line : login_lines) request.header_lines.push_back(line);
    TMyStreams container;
    TMemoryStream other(PackedStringList(other_head));
    container.AddStream(u"OTHERHEAD", &other);
    if (!body.empty()) {
      TMemoryStream org(Packed(body));
      container.AddStream(u"ORGSTREAM", &org);
    }
    TMemoryStream written;
    container.WriteTo(written);
    request.body = written.Bytes();
  } else if (!body.empty()) {
    request.body = Packed(body);
  }
  request.header_lines.push_back("Content-Length:" + std::to_string(request.body.size()));
  request.header_lines.push_back(FieldLine("CORVANELINKPOSTTYPE", "KVPOST"));
  request.header_lines.push_back(FieldLine("CORVNAECOMMAND", command));
  request.header_lines.push_back(FieldLine("_IF_RETURN_SEND_HEAD", "T"));
  return request;
}

THttpReply SendHttp(int port, const std::string& method, const std::vector<std::string>& lines,
                    const std::string& body) {
  THttpReply reply;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) + " failed");
  }
  std::string text = method + " /A001 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  for (const std::string& line : lines) text += line + "\r\n";
  text += "\r\n";
  text += body;
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may answer and close early
    sent += static_cast<size_t>(n);
  }
  std::string raw;
  char buffer[65536];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    raw.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  const size_t head_end = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || head_end == std::string::npos) {
    reply.closed_without_reply = true;
    return reply;
  }
  reply.status = std::stoi(raw.substr(9, 3));
  reply.body = raw.substr(head_end + 4);
  return reply;
}

THttpReply Send(int port, const TWireRequest& request) {
  return SendHttp(port, "POST", request.header_lines, request.body);
}

TFramedAnswer ParseFramed(const std::string& body) {
  TFramedAnswer answer;
  if (body.size() < 4) {
    ADD_FAILURE() << "answer shorter than its length field: " << HexBytes(body);
    return answer;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(body.data());
  const uint32_t length = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
  EXPECT_EQ(length, body.size() - 4) << "length field does not count what follows";
  if (body.compare(4, 7, "KVSTART") == 0) {
    answer.ok = true;
    answer.packed = body.substr(11);
    TMemoryStream packed(answer.packed);
    TMemoryStream unpacked;
    try {
      UnpackStream(packed, unpacked);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "payload does not unpack: " << e.what();
    }
    answer.payload = unpacked.Bytes();
  } else if (body.compare(4, 5, "KVERR") == 0) {
    answer.error = body.substr(9);
  } else {
    ADD_FAILURE() << "answer has neither KVSTART nor KVERR: " << HexBytes(body.substr(0, 32));
  }
  return answer;
}

TFramedAnswer Call(int port, const std::string& command, const std::vector<std::string>& items,
                   const std::string& body) {
  const THttpReply reply = Send(port, BuildEnvelope(command, items, body));
  EXPECT_EQ(reply.status, 200);
  return ParseFramed(reply.body);
}

TServerFixture::TServerFixture(TServerOptions options) {
  options.root = root_.path();
  options.upload_dir = uploads_.path();
  options.port = 0;
  options.log_requests = false;
  server_ = std::make_unique<TCorvaneServer>(options);
  std::string error;
  if (!server_->Start(&error)) throw std::runtime_error("server did not start: " + error);
  port_ = server_->Port();
}

TServerFixture::~TServerFixture() { server_->Stop(); }

void TServerFixture::PutFile(const std::string& relative, const std::string& bytes) {
  std::string path = root_.path();
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    if (slash == std::string::npos) break;
    path = root_.path() + "/" + relative.substr(0, slash);
    mkdir(path.c_str(), 0755);
    start = slash + 1;
  }
  WriteFileBytes(root_.path() + "/" + relative, bytes);
}
