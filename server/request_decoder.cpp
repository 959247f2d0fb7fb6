#include "request_decoder.h"

#include <string_view>

#include "answer_packing.h"
#include "upload_store.h"
#include "wire_decoding.h"

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// Compares without an early exit, so the time taken tells nothing about how
// much of a guessed key was right (its length is no secret worth hiding).
bool SameKey(const std::string& given, const std::string& expected) {
  if (given.size() != expected.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
  }
  return difference == 0;
}

const std::string* FindField(const TServerRequest& request, const std::string& name) {
  for (const auto& [key, value] : request.fields) {
    if (key == name) return &value;
  }
  return nullptr;
}

const std::string* FindEntry(const TContainerEntries& entries, std::string_view name) {
  for (const auto& [key, value] : entries) {
    if (EqualsIgnoringCase(key, name)) return &value;
  }
  return nullptr;
}

bool DecodeBody(const std::string& body, bool with_container, int64_t limit,
                TServerRequest* request, std::string* error) {
  if (!with_container) {
    if (!UnpackRequestPart(body, limit, &request->body, error)) {
      *error = "damaged request body: " + *error;
      return false;
    }
    return true;
  }
  TContainerEntries entries;
  if (!ParseContainer(body, &entries, error)) return false;
  const std::string* other_head = FindEntry(entries, "OTHERHEAD");
  if (!other_head) {
    *error = "damaged container: no OTHERHEAD entry";
    return false;
  }
  std::string list_bytes;
  if (!UnpackRequestPart(*other_head, limit, &list_bytes, error)) {
    *error = "damaged OTHERHEAD entry: " + *error;
    return false;
  }
  std::vector<std::string> lines;
  if (!ParseStringList(list_bytes, &lines, error)) return false;
  for (const std::string& line : lines) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      request->items.emplace_back(std::string(), line);
    } else {
      request->items.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
  }
  if (const std::string* org = FindEntry(entries, "ORGSTREAM")) {
    if (!UnpackRequestPart(*org, limit, &request->body, error)) {
      *error = "damaged ORGSTREAM entry: " + *error;
      return false;
    }
  }
  return true;
}

}  // namespace

bool DecodeRequest(const THttpRequest& http, const TDecodeSettings& settings,
                   TServerRequest* request, std::string* error) {
  *request = TServerRequest();
  request->peer = http.peer;
  for (const auto& [name, value] : http.headers) {
    if (name.empty() || name[0] != '_') continue;
    std::string plain_name, plain_value;
    if (!DecodeHeaderField(name, &plain_name, error) ||
        !DecodeHeaderField(value, &plain_value, error)) {
      *error = "malformed header field: " + *error;
      return false;
    }
    request->fields.emplace_back(std::move(plain_name), std::move(plain_value));
  }

  if (const std::string* command = FindField(*request, "CORVNAECOMMAND")) {
    request->command = *command;
  }
  const std::string* post_type = FindField(*request, "CORVANELINKPOSTTYPE");
  if (!post_type || *post_type != "KVPOST") {
    *error = "missing or wrong field CORVANELINKPOSTTYPE";
    return false;
  }
  if (request->command.empty()) {
    *error = "missing field CORVNAECOMMAND";
    return false;
  }
  bool key_seen = false;
  for (const auto& [name, value] : request->fields) {
    if (name != "LOGINKEY") continue;
    if (!SameKey(value, settings.login_key)) {
      *error = "login key refused";
      return false;
    }
    key_seen = true;
  }
  if (!key_seen) {
    *error = "missing field LOGINKEY";
    return false;
  }

  const std::string* other_head = FindField(*request, "KV_OTHER_HEAD_KV");
  const bool with_container = other_head && *other_head == "T";
  if (const std::string* stream_id = FindField(*request, "_SEND_DIV_POST_STREAMID")) {
    if (!http.body.empty()) {
      *error = "a request naming an upload stream must have an empty body";
      return false;
    }
    if (!settings.uploads) {
      *error = "unknown upload stream id";
      return false;
    }
    std::string uploaded;
    if (!settings.uploads->Take(*stream_id, &uploaded, error)) return false;
    return DecodeBody(uploaded, with_container, settings.max_unpacked_bytes, request, error);
  }
  return DecodeBody(http.body, with_container, settings.max_unpacked_bytes, request, error);
}
