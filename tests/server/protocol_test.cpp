// The server over HTTP: requests built byte for byte with the project's own
// encoders, exact answers for every command and every refusal.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "answer_packing.h"
#include "digests.h"
#include "net/post_server_request.h"
#include "server_files.h"
#include "server_test_client.h"
#include "support/test_support.h"

namespace {

const std::string kLogin = "LOGINKEY:pelkwarn";
const std::string kExe = "_WEBPATH\\CorvanePage\\Nimbara.exe";

std::string Le32(uint32_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

std::string ErrorBody(const std::string& text) {
  return Le32(static_cast<uint32_t>(5 + text.size())) + "KVERR" + text;
}

std::vector<std::string> PieceItems(const std::string& name, int64_t offset, int64_t length) {
  return {kLogin, "_FILENAME:" + name, "_BE:" + std::to_string(offset),
          "_LEN:" + std::to_string(length)};
}

class ProtocolTest : public ::testing::Test {
 protected:
  ProtocolTest() : fixture_(Options()) {}
  static TServerOptions Options() {
    TServerOptions options;
    options.max_unpacked_bytes = 1 << 20;
    options.max_body_bytes = 4 << 20;
    return options;
  }
  int port() const { return fixture_.port(); }

  // The refusal text for a request, checking the exact answer bytes.
  std::string RefusalOf(const TWireRequest& request) {
    const THttpReply reply = Send(port(), request);
    EXPECT_EQ(reply.status, 200);
    const TFramedAnswer answer = ParseFramed(reply.body);
    EXPECT_FALSE(answer.ok);
    EXPECT_EQ(reply.body, ErrorBody(answer.error));
    return answer.error;
  }

  TServerFixture fixture_;
};

TEST_F(ProtocolTest, AliveAnswersResultOkInExactFraming) {
  const THttpReply reply = Send(port(), BuildEnvelope("TEST_SERVER_ALIVE", {kLogin}));
  ASSERT_EQ(reply.status, 200);
  // 4-byte length, KVSTART, then the zlib stream of "RESULTOK".
  ASSERT_GE(reply.body.size(), 11u);
  EXPECT_EQ(reply.body.substr(0, 4), Le32(static_cast<uint32_t>(reply.body.size() - 4)));
  EXPECT_EQ(reply.body.substr(4, 9), std::string("KVSTART\x78\x9C", 9));
  EXPECT_EQ(ParseFramed(reply.body).payload, "RESULTOK");
  EXPECT_EQ(reply.body, FrameAnswer("RESULTOK"));
}

TEST_F(ProtocolTest, EchoAnswersTheBodyWithAndWithoutContainer) {
  const std::string body = ExecutableLikeBytes(100000);
  TFramedAnswer answer = Call(port(), "ECHO", {kLogin, "X:1"}, body);
  ASSERT_TRUE(answer.ok) << answer.error;
  EXPECT_EQ(answer.payload, body);

  // No container: the packed body alone, the login key as a header field.
  TWireRequest bare;
  bare.body = Packed("bare body");
  bare.header_lines = {FieldLine("LOGINKEY", "pelkwarn"),
                       "Content-Length:" + std::to_string(bare.body.size()),
                       FieldLine("CORVANELINKPOSTTYPE", "KVPOST"),
                       FieldLine("CORVNAECOMMAND", "ECHO"), FieldLine("_IF_RETURN_SEND_HEAD", "T")};
  answer = ParseFramed(Send(port(), bare).body);
  ASSERT_TRUE(answer.ok) << answer.error;
  EXPECT_EQ(answer.payload, "bare body");

  // No body at all.
  answer = Call(port(), "ECHO", {kLogin});
  ASSERT_TRUE(answer.ok) << answer.error;
  EXPECT_EQ(answer.payload, "");
}

TEST_F(ProtocolTest, ItemsReachHandlersAsSplitAtTheFirstEquals) {
  TServerRequest seen;
  fixture_.server().RegisterCommand("SHOW", [&seen](const TServerRequest& request) {
    seen = request;
    return TServerAnswer();
  });
  const TFramedAnswer answer = Call(port(), "SHOW",
                                    {kLogin, "A:1", "B:x:y=z", "noColon", "Empty:", "",
                                     "loginkey:lower", "_FILENAME:\xE8\xB3\x87\xE6\x96\x99.exe"});
  ASSERT_TRUE(answer.ok) << answer.error;
  EXPECT_EQ(seen.command, "SHOW");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"A", "1"},
      {"B", "x:y=z"},
      {"", "noColon"},
      {"loginkey", "lower"},
      {"_FILENAME", "\xE8\xB3\x87\xE6\x96\x99.exe"}};
  EXPECT_EQ(seen.items, expected);
  EXPECT_EQ(seen.Item("B"), "x:y=z");
  EXPECT_EQ(seen.Item("missing"), "");
  EXPECT_EQ(seen.peer.rfind("127.0.0.1:", 0), 0u) << seen.peer;
}

TEST_F(ProtocolTest, HeaderNamesWithPlusSlashAndEqualsArriveIntact) {
  // Find field names whose wire form holds each of "+", "/" and "=".
  std::vector<std::string> names;
  for (const char wanted : {'+', '/', '='}) {
    for (int i = 0; i < 10000; ++i) {
      const std::string name = "F" + std::to_string(i);
      if (EncodeHeaderField(name).find(wanted) != std::string::npos) {
        names.push_back(name);
        break;
      }
    }
  }
  ASSERT_EQ(names.size(), 3u);
  TServerRequest seen;
  fixture_.server().RegisterCommand("SHOW", [&seen](const TServerRequest& request) {
    seen = request;
    return TServerAnswer();
  });
  TWireRequest request = BuildEnvelope("SHOW", {kLogin});
  for (const std::string& name : names) {
    request.header_lines.push_back(FieldLine(name, "value of " + name));
  }
  const TFramedAnswer answer = ParseFramed(Send(port(), request).body);
  ASSERT_TRUE(answer.ok) << answer.error;
  for (const std::string& name : names) {
    bool found = false;
    for (const auto& [key, value] : seen.fields)
      found |= key == name && value == "value of " + name;
    EXPECT_TRUE(found) << name << " (wire " << EncodeHeaderField(name) << ")";
  }
}

TEST_F(ProtocolTest, UnknownCommandNamesItself) {
  const THttpReply reply = Send(port(), BuildEnvelope("NO_SUCH_THING", {kLogin}));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, ErrorBody("\xE6\x9F\xA5\xE7\x84\xA1\xE6\xAD\xA4\xE7\xA8\x8B\xE5\xBC\x8F"
                                  "NOFUNCTIONNO_SUCH_THING"));
}

TEST_F(ProtocolTest, EnvelopeFaultsAreRefused) {
  auto replace = [](TWireRequest request, const std::string& plain_name, const std::string& line) {
    const std::string prefix = "_" + EncodeHeaderField(plain_name) + ":";
    for (std::string& existing : request.header_lines) {
      if (existing.rfind(prefix, 0) == 0) existing = line;
    }
    return request;
  };
  const TWireRequest good = BuildEnvelope("TEST_SERVER_ALIVE", {kLogin});
  auto with_body = [](TWireRequest request, const std::string& body) {
    request.body = body;
    for (std::string& line : request.header_lines) {
      if (line.rfind("Content-Length:", 0) == 0)
        line = "Content-Length:" + std::to_string(body.size());
    }
    return request;
  };
  std::string container_without_other_head = Le32(1) + Le32(9) + "ORGSTREAM" + Le32(0);
  std::string damaged_list = Le32(1) + Le32(9) + "OTHERHEAD";
  const std::string bad_list = Packed("not a string list");
  damaged_list += Le32(static_cast<uint32_t>(bad_list.size())) + bad_list;
  std::string damaged_org = Le32(2) + Le32(9) + "OTHERHEAD";
  const std::string list = PackedStringList({});
  damaged_org +=
      Le32(static_cast<uint32_t>(list.size())) + list + Le32(9) + "ORGSTREAM" + Le32(4) + "ABCD";
  std::string bomb = Le32(2) + Le32(9) + "OTHERHEAD";
  const std::string zeros = Packed(std::string(2 << 20, '\0'));
  bomb += Le32(static_cast<uint32_t>(list.size())) + list + Le32(9) + "ORGSTREAM" +
          Le32(static_cast<uint32_t>(zeros.size())) + zeros;

  const std::vector<std::pair<TWireRequest, std::string>> cases = {
      {BuildEnvelope("TEST_SERVER_ALIVE", {"LOGINKEY:wrong"}), "login key refused"},
      {BuildEnvelope("TEST_SERVER_ALIVE", {"loginkey:pelkwarn"}), "missing field LOGINKEY"},
      {BuildEnvelope("TEST_SERVER_ALIVE", {kLogin, "LOGINKEY:other"}), "login key refused"},
      {replace(good, "CORVANELINKPOSTTYPE", FieldLine("CORVANELINKPOSTTYPE", "KVGET")),
       "missing or wrong field CORVANELINKPOSTTYPE"},
      {replace(good, "CORVANELINKPOSTTYPE", "X-Other: 1"),
       "missing or wrong field CORVANELINKPOSTTYPE"},
      {replace(good, "CORVNAECOMMAND", "X-Other: 1"), "missing field CORVNAECOMMAND"},
      {replace(good, "CORVNAECOMMAND", FieldLine("CORVNAECOMMAND", "")),
       "missing field CORVNAECOMMAND"},
      {replace(good, "CORVNAECOMMAND", "_" + EncodeHeaderField("CORVNAECOMMAND") + ":_abc_"),
       "malformed header field: malformed Base64: length is not a multiple of 4"},
      {replace(good, "CORVNAECOMMAND", "_" + EncodeHeaderField("CORVNAECOMMAND") + ":_ab!d_"),
       "malformed header field: malformed Base64: unexpected character"},
      {replace(good, "LOGINKEY", "_Q=Q=:_" + EncodeHeaderField("pelkwarn") + "_"),
       "malformed header field: malformed Base64: unexpected character"},
      {with_body(good, Le32(5) + "xx"), "damaged container: entry count exceeds its size"},
      {with_body(good, container_without_other_head), "damaged container: no OTHERHEAD entry"},
      {with_body(good, damaged_list), "damaged string list: wrong header"},
      {with_body(good, damaged_org),
       "damaged ORGSTREAM entry: Decompression error: data error (incorrect header check)"},
      {with_body(good, bomb),
       "damaged ORGSTREAM entry: Decompression error: output exceeds 1048576 bytes"},
  };
  for (const auto& [request, expected] : cases) EXPECT_EQ(RefusalOf(request), expected);
  // The server is still there and counted every refusal.
  EXPECT_TRUE(Call(port(), "TEST_SERVER_ALIVE", {kLogin}).ok);
  EXPECT_EQ(fixture_.server().Counters().errors, cases.size());
}

TEST_F(ProtocolTest, HttpLevelFaultsAreRefused) {
  // Not POST.
  THttpReply reply = SendHttp(port(), "GET", {}, "");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, ErrorBody("only POST requests are served, not GET"));

  // A declared body above the limit is refused before it is read.
  TWireRequest big = BuildEnvelope("ECHO", {kLogin});
  for (std::string& line : big.header_lines) {
    if (line.rfind("Content-Length:", 0) == 0) line = "Content-Length:" + std::to_string(5 << 20);
  }
  big.body = std::string(1000, 'x');  // the rest never comes
  reply = Send(port(), big);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, ErrorBody("request body above the limit of 4194304 bytes"));

  // A chunked body that grows past the limit.
  std::string chunked;
  const std::string chunk(1 << 20, 'y');
  for (int i = 0; i < 5; ++i) chunked += "100000\r\n" + chunk + "\r\n";
  chunked += "0\r\n\r\n";
  std::vector<std::string> lines = BuildEnvelope("ECHO", {kLogin}).header_lines;
  std::erase_if(lines, [](const std::string& l) { return l.rfind("Content-Length:", 0) == 0; });
  lines.push_back("Transfer-Encoding: chunked");
  reply = SendHttp(port(), "POST", lines, chunked);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, ErrorBody("request body above the limit of 4194304 bytes"));
}

class FileCommandTest : public ProtocolTest {
 protected:
  void SetUp() override {
    content_ = ExecutableLikeBytes(1000000);
    fixture_.PutFile("_WEBPATH/CorvanePage/Nimbara.exe", content_);
  }
  std::string path() const { return fixture_.root() + "/_WEBPATH/CorvanePage/Nimbara.exe"; }
  std::string content_;
};

TEST_F(FileCommandTest, SizeTimeAnswersSizeAndThreeFileTimes) {
  const struct timespec times[2] = {{1700000000, 0}, {1577934245, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, path().c_str(), times, 0), 0);
  TServerFile file;
  std::string error, real_root;
  ASSERT_TRUE(ResolveServedRoot(fixture_.root(), &real_root, &error));
  ASSERT_TRUE(OpenServerFile(real_root, kExe, &file, &error));

  const TFramedAnswer answer =
      Call(port(), "GET_SERVER_FILE_SIZE_TIME", {kLogin, "_FILENAME:" + kExe});
  ASSERT_TRUE(answer.ok) << answer.error;
  EXPECT_EQ(answer.payload, "1000000," + FileTimeText(file.creation_ns) +
                                ",3329032192|31070023,1255593735|30785817");
  EXPECT_EQ(fixture_.server().Counters().file_info_requests, 1u);

  EXPECT_EQ(Call(port(), "GET_SERVER_FILE_SIZE_TIME", {kLogin}).error, "missing item _FILENAME");
  EXPECT_EQ(
      Call(port(), "GET_SERVER_FILE_SIZE_TIME", {kLogin, "_FILENAME:_WEBPATH\\None.exe"}).error,
      "file not found: _WEBPATH\\None.exe");
}

TEST_F(FileCommandTest, StreamAnswersExactlyTheAskedBytes) {
  const std::vector<std::pair<int64_t, int64_t>> pieces = {
      {0, 524288}, {524288, 475712}, {999999, 1}, {1000000, 0}, {12345, 32}};
  for (const auto& [offset, length] : pieces) {
    const TFramedAnswer answer =
        Call(port(), "GET_SERVER_FILE_STREAM", PieceItems(kExe, offset, length));
    ASSERT_TRUE(answer.ok) << answer.error;
    EXPECT_EQ(answer.payload, content_.substr(offset, length)) << offset << "+" << length;
  }
  // A second time, from the cache, byte for byte the same.
  const TFramedAnswer again = Call(port(), "GET_SERVER_FILE_STREAM", PieceItems(kExe, 0, 524288));
  EXPECT_EQ(again.payload, content_.substr(0, 524288));
  EXPECT_EQ(fixture_.server().Counters().data_pieces, pieces.size() + 1);
}

TEST_F(FileCommandTest, DigestConfirmsOnlyAnExactUppercaseMatch) {
  const std::string piece = content_.substr(524288);
  const std::string md5 = Md5HexUpper(piece);
  ASSERT_EQ(md5.size(), 32u);
  auto items = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> all = PieceItems(kExe, 524288, 475712);
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  };
  std::string lower = md5;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"_AUsesMD5Check:T", "_MD5Str:" + md5}, md5},      // confirmed: the digest text
      {{"_AUsesMD5Check:T", "_MD5Str:" + md5}, md5},      // again, digest from the cache
      {{"_AUsesMD5Check:T", "_MD5Str:" + lower}, piece},  // other case: data
      {{"_AUsesMD5Check:T", "_MD5Str:" + std::string(32, '0')}, piece},
      {{"_AUsesMD5Check:T", "_MD5Str:"}, piece},        // dropped empty digest
      {{"_AUsesMD5Check:F", "_MD5Str:" + md5}, piece},  // check not asked for
      {{"_MD5Str:" + md5}, piece},
  };
  for (const auto& [extra, expected] : cases) {
    const TFramedAnswer answer = Call(port(), "GET_SERVER_FILE_STREAM", items(extra));
    ASSERT_TRUE(answer.ok) << answer.error;
    EXPECT_EQ(answer.payload, expected) << extra.back();
  }
  const TServerCounters counters = fixture_.server().Counters();
  EXPECT_EQ(counters.digest_confirmed_pieces, 2u);
  EXPECT_EQ(counters.data_pieces, 5u);
}

TEST_F(FileCommandTest, StreamRefusals) {
  mkdir((fixture_.root() + "/_WEBPATH/sub").c_str(), 0755);
  TTempDir outside;
  WriteFileBytes(outside.File("secret"), "secret");
  ASSERT_EQ(symlink(outside.File("secret").c_str(), (fixture_.root() + "/_WEBPATH/leak").c_str()),
            0);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{kLogin, "_BE:0", "_LEN:1"}, "missing item _FILENAME"},
      {{kLogin, "_FILENAME:" + kExe, "_LEN:1"}, "item _BE is missing or not a decimal number"},
      {{kLogin, "_FILENAME:" + kExe, "_BE:-1", "_LEN:1"},
       "item _BE is missing or not a decimal number"},
      {{kLogin, "_FILENAME:" + kExe, "_BE:0x10", "_LEN:1"},
       "item _BE is missing or not a decimal number"},
      {{kLogin, "_FILENAME:" + kExe, "_BE:0"}, "item _LEN is missing or not a decimal number"},
      {{kLogin, "_FILENAME:" + kExe, "_BE:0", "_LEN: 1"},
       "item _LEN is missing or not a decimal number"},
      {{kLogin, "_FILENAME:" + kExe, "_BE:0", "_LEN:99999999999999999999"},
       "item _LEN is missing or not a decimal number"},
      {PieceItems(kExe, 0, 17 << 20), "piece length 17825792 above the limit of 16777216 bytes"},
      {PieceItems(kExe, 999999, 2),
       "piece outside the file: offset 999999, length 2, file size 1000000: " + kExe},
      {PieceItems(kExe, 1000001, 0),
       "piece outside the file: offset 1000001, length 0, file size 1000000: " + kExe},
      {PieceItems(kExe, 9223372036854775, 1),
       "piece outside the file: offset 9223372036854775, length 1, file size 1000000: " + kExe},
      {PieceItems("_WEBPATH\\Missing.exe", 0, 1), "file not found: _WEBPATH\\Missing.exe"},
      {PieceItems("..\\..\\etc\\passwd", 0, 1),
       "server file name with an empty, \".\" or \"..\" component refused: ..\\..\\etc\\passwd"},
      {PieceItems("/etc/passwd", 0, 1), "absolute server file name refused: /etc/passwd"},
      {PieceItems("D:\\x.exe", 0, 1), "server file name with a drive letter refused: D:\\x.exe"},
      {PieceItems(std::string("_WEBPATH\\a\0b", 12), 0, 1), "server file name holds a NUL byte"},
      {PieceItems("_WEBPATH\\leak", 0, 1),
       "server file name leads outside the served folder: _WEBPATH\\leak"},
      {PieceItems("_WEBPATH\\sub", 0, 1), "not a regular file: _WEBPATH\\sub"},
  };
  for (const auto& [items, expected] : cases) {
    const TFramedAnswer answer = Call(port(), "GET_SERVER_FILE_STREAM", items);
    EXPECT_FALSE(answer.ok) << expected;
    EXPECT_EQ(answer.error, expected);
  }
  EXPECT_EQ(fixture_.server().Counters().data_pieces, 0u);
}

TEST_F(FileCommandTest, ChangedFileIsNeverServedStale) {
  const std::vector<std::string> items = PieceItems(kExe, 0, 4096);
  const std::vector<std::string> digest_items = [&] {
    std::vector<std::string> v = items;
    v.push_back("_AUsesMD5Check:T");
    v.push_back("_MD5Str:" + Md5HexUpper(content_.substr(0, 4096)));
    return v;
  }();
  ASSERT_EQ(Call(port(), "GET_SERVER_FILE_STREAM", items).payload, content_.substr(0, 4096));
  ASSERT_EQ(Call(port(), "GET_SERVER_FILE_STREAM", digest_items).payload.size(), 32u);

  // Same size, and the write time put back afterwards, as a copy that keeps
  // times would leave it.
  struct stat before;
  ASSERT_EQ(stat(path().c_str(), &before), 0);
  std::string changed = content_;
  changed[100] ^= 0x01;
  usleep(20000);
  WriteFileBytes(path(), changed);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path().c_str(), times, 0), 0);

  EXPECT_EQ(Call(port(), "GET_SERVER_FILE_STREAM", items).payload, changed.substr(0, 4096));
  EXPECT_EQ(Call(port(), "GET_SERVER_FILE_STREAM", digest_items).payload, changed.substr(0, 4096));
}

TEST_F(FileCommandTest, LargePieceIsPackedWithTheLargeDataMarker) {
  const std::string big = ExecutableLikeBytes(6 << 20);
  fixture_.PutFile("big.bin", big);
  const THttpReply reply =
      Send(port(), BuildEnvelope("GET_SERVER_FILE_STREAM", PieceItems("big.bin", 0, 6 << 20)));
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body.substr(4, 18), "KVSTART_LaRgEsIzE_");
  EXPECT_EQ(HexBytes(reply.body.substr(22, 2)), "78 9C");
  std::string unpacked, error;
  ASSERT_TRUE(UnpackRequestPart(reply.body.substr(11), -1, &unpacked, &error)) << error;
  EXPECT_EQ(unpacked, big);
}

TEST_F(FileCommandTest, ConcurrentClientsOfOneColdFileAllGetTheRightBytes) {
  const std::string big = ExecutableLikeBytes(4 << 20);
  fixture_.PutFile("big.bin", big);
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&, c] {
      for (int64_t offset = 0; offset < (4 << 20); offset += 524288) {
        const TFramedAnswer answer =
            Call(port(), "GET_SERVER_FILE_STREAM", PieceItems("big.bin", offset, 524288));
        if (!answer.ok || answer.payload != big.substr(offset, 524288)) ++wrong;
      }
      (void)c;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(fixture_.server().Counters().data_pieces, 64u);
}

TEST_F(FileCommandTest, WrappingHandlerChangesWhatIsSent) {
  // Warm the cache first, so that the built-in answer carries a prepared frame.
  ASSERT_TRUE(Call(port(), "GET_SERVER_FILE_STREAM", PieceItems(kExe, 0, 524288)).ok);
  TCommandHandler inner = fixture_.server().Handler("GET_SERVER_FILE_STREAM");
  ASSERT_TRUE(inner);
  fixture_.server().RegisterCommand("GET_SERVER_FILE_STREAM", [inner](const TServerRequest& r) {
    TServerAnswer answer = inner(r);
    if (!answer.payload.empty()) answer.payload.pop_back();  // one byte short
    return answer;
  });
  TFramedAnswer answer = Call(port(), "GET_SERVER_FILE_STREAM", PieceItems(kExe, 0, 524288));
  EXPECT_EQ(answer.payload, content_.substr(0, 524287));

  fixture_.server().RegisterCommand("GET_SERVER_FILE_STREAM", [inner](const TServerRequest& r) {
    TServerAnswer answer = inner(r);
    answer.payload[10] ^= 0x20;  // same size, one byte changed
    return answer;
  });
  std::string expected = content_.substr(0, 524288);
  expected[10] ^= 0x20;
  answer = Call(port(), "GET_SERVER_FILE_STREAM", PieceItems(kExe, 0, 524288));
  EXPECT_EQ(answer.payload, expected);

  fixture_.server().RegisterCommand("GET_SERVER_FILE_STREAM", inner);
  EXPECT_EQ(Call(port(), "GET_SERVER_FILE_STREAM", PieceItems(kExe, 0, 524288)).payload,
            content_.substr(0, 524288));
  fixture_.server().RegisterCommand("GET_SERVER_FILE_STREAM", nullptr);
  EXPECT_EQ(Call(port(), "GET_SERVER_FILE_STREAM", PieceItems(kExe, 0, 1)).error,
            "\xE6\x9F\xA5\xE7\x84\xA1\xE6\xAD\xA4\xE7\xA8\x8B\xE5\xBC\x8F"
            "NOFUNCTIONGET_SERVER_FILE_STREAM");
}

TEST(ServerLifecycleTest, HandlerExceptionsBecomeRefusalsAndStatsAreReported) {
  TServerFixture fixture;
  fixture.server().RegisterCommand("THROWS", [](const TServerRequest&) -> TServerAnswer {
    throw std::runtime_error("disk on fire");
  });
  EXPECT_EQ(Call(fixture.port(), "THROWS", {kLogin}).error, "server error: disk on fire");
  EXPECT_EQ(Call(fixture.port(), "SERVER_STATS", {kLogin}).payload,
            "requests=2,data_pieces=0,digest_confirmed_pieces=0,file_info_requests=0,errors=1");
  fixture.server().ResetCounters();
  EXPECT_EQ(fixture.server().Counters().requests, 0u);
}

TEST(ServerLifecycleTest, StopFinishesRequestsInFlight) {
  TServerFixture fixture;
  std::atomic<bool> entered{false};
  fixture.server().RegisterCommand("SLOW", [&entered](const TServerRequest&) {
    entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    TServerAnswer answer;
    answer.payload = "finished";
    return answer;
  });
  TFramedAnswer answer;
  std::thread client([&] { answer = Call(fixture.port(), "SLOW", {kLogin}); });
  while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  fixture.server().Stop();
  client.join();
  EXPECT_TRUE(answer.ok);
  EXPECT_EQ(answer.payload, "finished");
  // Nothing listens any more.
  EXPECT_THROW(SendHttp(fixture.port(), "POST", {}, ""), std::runtime_error);
}

TEST(ServerLifecycleTest, IdleConnectionsAreClosedAfterTheTimeout) {
  TServerOptions options;
  options.connection_timeout_seconds = 1;
  TServerFixture fixture(options);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(fixture.port()));
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  const std::string partial = "POST /A001 HTTP/1.1\r\nHost: x\r\n";  // never finished
  ASSERT_EQ(send(fd, partial.data(), partial.size(), 0), static_cast<ssize_t>(partial.size()));
  timeval limit{10, 0};  // a safety net only; the server should close long before
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  char byte;
  EXPECT_EQ(recv(fd, &byte, 1, 0), 0) << "the server kept the idle connection open";
  close(fd);
}

TEST(ServerLifecycleTest, StartRefusesABadRootAndAPortInUse) {
  TTempDir dir;
  TServerOptions options;
  options.root = dir.File("missing");
  options.port = 0;
  TCorvaneServer no_root(options);
  std::string error;
  EXPECT_FALSE(no_root.Start(&error));
  EXPECT_EQ(error, "served folder is not a folder: " + dir.File("missing"));

  TServerFixture first;
  options.root = dir.path();
  options.port = first.port();
  TCorvaneServer second(options);
  EXPECT_FALSE(second.Start(&error));
  EXPECT_EQ(error, "cannot listen on 127.0.0.1:" + std::to_string(first.port()) +
                       ": Address already in use");
}

}  // namespace
