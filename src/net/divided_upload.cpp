#include "net/divided_upload.h"

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "net/command_calls.h"
#include "net/post_server_request.h"
#include "net/request_envelope.h"
#include "pack/text_encodings.h"
#include "platform/code_page.h"

namespace {

const std::u16string kLoginItem = u"LOGINKEY:pelkwarn";
constexpr int kPieceTries = 6;

// A decimal integer as the whole text (optional sign, digits, 32-bit range),
// or std::invalid_argument naming the text.
int64_t DecimalValue(const std::u16string& text) {
  const std::string bytes = WideToUtf8(text);
  size_t i = 0;
  bool negative = false;
  if (i < bytes.size() && (bytes[i] == '-' || bytes[i] == '+')) negative = bytes[i++] == '-';
  int64_t value = 0;
  const size_t first_digit = i;
  for (; i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9'; ++i) {
    value = value * 10 + (bytes[i] - '0');
    if (value > 2147483648LL) break;
  }
  if (i == first_digit || i != bytes.size() || value > 2147483647LL + (negative ? 1 : 0)) {
    throw std::invalid_argument("'" + bytes + "' is not a valid integer value");
  }
  return negative ? -value : value;
}

}  // namespace

bool UploadStreamToServer(const std::u16string& Command, const std::u16string& Host, int32_t Port,
                          TMemoryStream& Body, std::string& HeaderBlock, std::u16string& ErrorText,
                          int32_t PieceSize) {
  const int64_t size = Body.Size();
  if (Command == u"SRC30F" || size < kDivideThreshold) {
    HeaderBlock += "Content-Length:" + std::to_string(size) + "\r\n";
    Body.SetPosition(0);
    return true;
  }
  if (PieceSize <= 0) PieceSize = kUploadPieceSize;

  struct TRewind {
    TMemoryStream& body;
    ~TRewind() { body.SetPosition(0); }
  } rewind{Body};

  std::u16string stream_id;
  if (!CallCommandText(u"A001", u"GET_SERVER_STREAM_ID", Host, Port, {kLoginItem}, stream_id,
                       ErrorText, 0, 3)) {
    return false;
  }
  const std::vector<std::u16string> piece_params = {kLoginItem, u"_STREAM_ID:" + stream_id};

  int64_t offset = 0;
  while (offset < size) {
    const int64_t length = std::min<int64_t>(PieceSize, size - offset);
    TMemoryStream piece;
    piece.Write(Body.Memory() + offset, length);
    bool acknowledged = false;
    for (int attempt = 1; attempt <= kPieceTries; ++attempt) {
      piece.SetPosition(0);
      std::u16string answer;
      if (CallCommandBodyText(u"A001", u"UPLOAD_STREAM_TO_SERVER", Host, Port, piece_params, piece,
                              answer, ErrorText, 0, 3)) {
        if (DecimalValue(answer) != length) return false;
        acknowledged = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!acknowledged) return false;
    offset += length;
  }

  Body.Clear();
  HeaderBlock += "Content-Length:0\r\n";
  HeaderBlock += HeaderFieldLine("_SEND_DIV_POST_STREAMID", WideToAnsi(stream_id));
  return true;
}
