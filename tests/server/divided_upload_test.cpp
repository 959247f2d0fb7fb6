// The divided upload seen from the server: a large body sent ahead in pieces
// and then used by one request, which gets it once only.

#include <gtest/gtest.h>

#include <random>

#include "server_test_client.h"
#include "support/test_support.h"

namespace {

const std::string kLogin = "LOGINKEY:pelkwarn";
constexpr size_t kPiece = 524288;

std::string NoisyBytes(size_t size) {
  std::mt19937 random(12345);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

// The request that names an uploaded stream instead of carrying its body.
TWireRequest StreamRequest(const std::string& command, const std::string& stream_id) {
  TWireRequest request;
  request.header_lines = {FieldLine("KV_OTHER_HEAD_KV", "T"),
                          FieldLine("LOGINKEY", "pelkwarn"),
                          "Content-Length:0",
                          FieldLine("_SEND_DIV_POST_STREAMID", stream_id),
                          FieldLine("CORVANELINKPOSTTYPE", "KVPOST"),
                          FieldLine("CORVNAECOMMAND", command),
                          FieldLine("_IF_RETURN_SEND_HEAD", "T")};
  return request;
}

// Uploads prepared in pieces; returns the stream id.
std::string UploadInPieces(int port, const std::string& prepared) {
  const TFramedAnswer id = Call(port, "GET_SERVER_STREAM_ID", {kLogin});
  EXPECT_TRUE(id.ok) << id.error;
  EXPECT_EQ(id.payload.size(), 32u);
  for (size_t offset = 0; offset < prepared.size(); offset += kPiece) {
    const std::string piece = prepared.substr(offset, kPiece);
    const TFramedAnswer taken =
        Call(port, "UPLOAD_STREAM_TO_SERVER", {kLogin, "_STREAM_ID:" + id.payload}, piece);
    EXPECT_TRUE(taken.ok) << taken.error;
    EXPECT_EQ(taken.payload, std::to_string(piece.size()));
  }
  return id.payload;
}

TEST(DividedUploadTest, ThreeMebibytesThroughEchoThenTheStreamIsUsedUp) {
  TServerFixture fixture;
  const std::string body = NoisyBytes(3 << 20);
  const std::string prepared = BuildEnvelope("ECHO", {kLogin}, body).body;
  ASSERT_GE(prepared.size(), 2097152u);  // a body the launcher divides
  const std::string id = UploadInPieces(fixture.port(), prepared);

  const THttpReply reply = Send(fixture.port(), StreamRequest("ECHO", id));
  ASSERT_EQ(reply.status, 200);
  const TFramedAnswer answer = ParseFramed(reply.body);
  ASSERT_TRUE(answer.ok) << answer.error;
  EXPECT_EQ(answer.payload.size(), body.size());
  EXPECT_TRUE(answer.payload == body);

  const TFramedAnswer reused = ParseFramed(Send(fixture.port(), StreamRequest("ECHO", id)).body);
  EXPECT_FALSE(reused.ok);
  EXPECT_EQ(reused.error, "unknown upload stream id");
  const TFramedAnswer more =
      Call(fixture.port(), "UPLOAD_STREAM_TO_SERVER", {kLogin, "_STREAM_ID:" + id}, "x");
  EXPECT_EQ(more.error, "unknown upload stream id");
}

TEST(DividedUploadTest, StreamFaultsAreRefused) {
  TServerOptions options;
  options.upload_limit = 1 << 20;
  TServerFixture fixture(options);
  const int port = fixture.port();

  EXPECT_EQ(Call(port, "UPLOAD_STREAM_TO_SERVER", {kLogin}, "x").error, "missing item _STREAM_ID");
  EXPECT_EQ(Call(port, "UPLOAD_STREAM_TO_SERVER",
                 {kLogin, "_STREAM_ID:0123456789ABCDEF0123456789ABCDEF"}, "x")
                .error,
            "unknown upload stream id");
  EXPECT_EQ(ParseFramed(Send(port, StreamRequest("ECHO", "not-an-id")).body).error,
            "unknown upload stream id");

  // A stream that grows past --upload-limit is dropped.
  const std::string id = Call(port, "GET_SERVER_STREAM_ID", {kLogin}).payload;
  const std::vector<std::string> items = {kLogin, "_STREAM_ID:" + id};
  EXPECT_EQ(Call(port, "UPLOAD_STREAM_TO_SERVER", items, std::string(kPiece, 'a')).payload,
            "524288");
  EXPECT_EQ(Call(port, "UPLOAD_STREAM_TO_SERVER", items, std::string(kPiece, 'b')).payload,
            "524288");
  EXPECT_EQ(Call(port, "UPLOAD_STREAM_TO_SERVER", items, "c").error,
            "upload stream dropped: it would grow past 1048576 bytes");
  EXPECT_EQ(ParseFramed(Send(port, StreamRequest("ECHO", id)).body).error,
            "unknown upload stream id");

  // A request naming a stream must not carry a body of its own; the stream
  // is then left alone.
  const std::string id2 = UploadInPieces(port, BuildEnvelope("ECHO", {kLogin}, "small").body);
  TWireRequest with_body = StreamRequest("ECHO", id2);
  with_body.header_lines[2] = "Content-Length:3";
  with_body.body = "abc";
  EXPECT_EQ(ParseFramed(Send(port, with_body).body).error,
            "a request naming an upload stream must have an empty body");
  const TFramedAnswer answer = ParseFramed(Send(port, StreamRequest("ECHO", id2)).body);
  EXPECT_EQ(answer.payload, "small");

  // A damaged uploaded body is refused like a damaged direct one.
  const std::string id3 = UploadInPieces(port, "garbage that is no container");
  EXPECT_EQ(ParseFramed(Send(port, StreamRequest("ECHO", id3)).body).error,
            "damaged container: entry count exceeds its size");
}

TEST(DividedUploadTest, WrongLoginKeyLeavesTheStreamUnused) {
  TServerFixture fixture;
  const std::string id =
      UploadInPieces(fixture.port(), BuildEnvelope("ECHO", {kLogin}, "kept").body);
  TWireRequest wrong = StreamRequest("ECHO", id);
  wrong.header_lines[1] = FieldLine("LOGINKEY", "guess");
  EXPECT_EQ(ParseFramed(Send(fixture.port(), wrong).body).error, "login key refused");
  EXPECT_EQ(ParseFramed(Send(fixture.port(), StreamRequest("ECHO", id)).body).payload, "kept");
}

}  // namespace
