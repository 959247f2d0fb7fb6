#include "net/command_calls.h"

#include <exception>

#include "net/post_server_request.h"
#include "pack/text_encodings.h"

namespace {

void CatchInto(std::u16string& ErrorText) {
  try {
    throw;
  } catch (const std::exception& e) {
    ErrorText = ByteTextToWide(e.what());
  } catch (...) {
    ErrorText = u"Unknown exception";
  }
}

}  // namespace

bool CallCommandText(const std::u16string& ObjectName, const std::u16string& Command,
                     const std::u16string& Host, int32_t Port,
                     const std::vector<std::u16string>& Params, std::u16string& ResultText,
                     std::u16string& ErrorText, int32_t TimeLimit, int32_t MaxAttempts) {
  TMemoryStream body;
  return CallCommandBodyText(ObjectName, Command, Host, Port, Params, body, ResultText, ErrorText,
                             TimeLimit, MaxAttempts);
}

bool CallCommandBodyText(const std::u16string& ObjectName, const std::u16string& Command,
                         const std::u16string& Host, int32_t Port,
                         const std::vector<std::u16string>& Params, TStream& Body,
                         std::u16string& ResultText, std::u16string& ErrorText, int32_t TimeLimit,
                         int32_t MaxAttempts) {
  try {
    TMemoryStream response;
    const bool result = PostServerRequest(ObjectName, Command, Host, Port, Params, Body, response,
                                          ErrorText, TimeLimit, MaxAttempts);
    response.SetPosition(0);
    ResultText = StreamToText(response);
    return result;
  } catch (...) {
    CatchInto(ErrorText);
    return false;
  }
}

bool CallCommandStream(const std::u16string& ObjectName, const std::u16string& Command,
                       const std::u16string& Host, int32_t Port,
                       const std::vector<std::u16string>& Params, TMemoryStream& Response,
                       std::u16string& ErrorText, int32_t TimeLimit, int32_t MaxAttempts) {
  try {
    Response.Clear();
    TMemoryStream body;
    const bool result = PostServerRequest(ObjectName, Command, Host, Port, Params, body, Response,
                                          ErrorText, TimeLimit, MaxAttempts);
    Response.SetPosition(0);
    return result;
  } catch (...) {
    CatchInto(ErrorText);
    return false;
  }
}

std::u16string StreamToText(TStream& stream) {
  const int64_t size = stream.Size();
  if (size == 0) return std::u16string();
  std::string bytes(static_cast<size_t>(size), '\0');
  const int64_t got = stream.Read(bytes.data(), size);
  bytes.resize(static_cast<size_t>(got));
  return ByteTextToWide(bytes);
}
