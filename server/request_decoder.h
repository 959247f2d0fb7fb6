// DecodeRequest: from what HTTP delivered (header lines and body) to a
// TServerRequest.
//
// Every header whose name begins with "_" is a custom field: its name and
// value are each "_" + Base64(WireAlphabet, scrambled text) (+ "_"), see
// wire_decoding.h. Other headers (Host, Content-Length, ...) are ignored.
// Checked, in this order:
//   "CORVANELINKPOSTTYPE" must be "KVPOST";
//   "CORVNAECOMMAND" must be present and not empty;
//   every "LOGINKEY" field must equal the configured key, and one must exist;
//   "_SEND_DIV_POST_STREAMID": the body is taken from that upload stream
//       (which is used up); the HTTP body must then be empty;
//   "KV_OTHER_HEAD_KV" = "T": the body is a named-stream container with
//       "OTHERHEAD" (a packed string list of NAME=VALUE lines, split at the
//       first "=") and, optionally, "ORGSTREAM" (the packed caller body);
//   otherwise the body is the packed caller body alone (or empty).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "corvane_server.h"

class TUploadStore;

struct THttpRequest {
  std::vector<std::pair<std::string, std::string>> headers;  // raw names and values
  std::string body;
  std::string peer;
};

struct TDecodeSettings {
  std::string login_key;
  int64_t max_unpacked_bytes = 64LL << 20;
  TUploadStore* uploads = nullptr;  // null: divided uploads are refused
};

// Fills *request (command, fields, items, body, peer). On failure returns
// false with a message in *error; request->command holds the command name
// when it could be decoded (for the log).
bool DecodeRequest(const THttpRequest& http, const TDecodeSettings& settings,
                   TServerRequest* request, std::string* error);
