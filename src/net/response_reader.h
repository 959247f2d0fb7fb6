// ReadServerResponse: reads the answer body of a sent request on the calling
// thread and takes the server's framing apart.
//
// Answer framing (the HTTP answer body; the HTTP status is not looked at):
//   offset 0   L, 32-bit unsigned little-endian: bytes that follow (0: not
//              announced)
//   offset 4   "KVSTART" then the payload (L - 7 bytes), a packed stream
//              (pack/compression.h), or "KVERR" then an error text
// Bytes in front of "KVSTART" are the prefix text; an answer without
// "KVSTART" is all prefix text. A prefix text that begins with "KVERR" makes
// the answer an error answer; any other prefix text is ignored.
//
// Reading stops when the announced length has arrived (the 7 marker bytes
// counted, the prefix text not), or the prefix text alone reaches L, after
// four empty passes following a prefix text, after more than three failed
// reads, or when no byte has come for longer than the time limit.
#pragma once

#include <cstdint>
#include <string>

#include "net/check_connect_thread.h"
#include "pack/stream.h"
#include "platform/http_transport.h"

// Largest answer the link accepts: an announced length, the collected bytes
// and the unpacked payload each stay at or below this.
inline constexpr int64_t kMaxAnswerBytes = 256LL << 20;

// Reads the answer of Request into Response (unpacked, position 0; untouched
// when the answer carries no payload). TimeLimit is the worker's; 60 or less
// counts as 180 seconds. Worker (may be null) tells through FLastStatus
// whether the transport reported the connection closed. ErrorText is not
// cleared at entry; on false it holds the message. Never throws.
bool ReadServerResponse(TTransportRequest* Request, TStream& Response, int32_t TimeLimit,
                        TCheckConnectThread* Worker, std::u16string& ErrorText);

// When failed is true and the transport has a message for the calling
// thread's last failure, puts it into text and returns false; otherwise
// returns true and leaves text alone.
bool WinInetErrorText(bool failed, std::u16string& text);
