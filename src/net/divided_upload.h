// UploadStreamToServer: the body-size step of every attempt of
// PostServerRequest.
//
// A prepared body below kDivideThreshold (or any body of the command
// "SRC30F") goes out with the request: the step appends
// "Content-Length:<size>" CR LF. A larger body is uploaded ahead in pieces of
// piece_size bytes, each its own "UPLOAD_STREAM_TO_SERVER" call under a
// stream identifier from "GET_SERVER_STREAM_ID"; the body is then emptied and
// the step appends "Content-Length:0" CR LF and the field
// "_SEND_DIV_POST_STREAMID" = the identifier (code page 950 bytes).
#pragma once

#include <cstdint>
#include <string>

#include "pack/stream.h"

inline constexpr int64_t kDivideThreshold = 2097152;
inline constexpr int32_t kUploadPieceSize = 524288;

// False when the identifier could not be obtained, a piece failed six times
// (ErrorText from the last call), or the server acknowledged a count other
// than the piece's length (ErrorText as that call left it). Throws
// std::invalid_argument when an acknowledgement is no decimal integer. The
// body's position is 0 at the end; after a failure Body and HeaderBlock are
// as they stood.
bool UploadStreamToServer(const std::u16string& Command, const std::u16string& Host, int32_t Port,
                          TMemoryStream& Body, std::string& HeaderBlock, std::u16string& ErrorText,
                          int32_t PieceSize);
