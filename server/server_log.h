// The server's log: one line per request on standard error.
//
//   <UTC time> <peer> <command> ok <payload bytes> <ms>ms
//   <UTC time> <peer> <command> error="<text>" 0 <ms>ms
// for example
//   2026-12-11T13:45:12.345Z 127.0.0.1:40312 TEST_SERVER_ALIVE ok 8 0.210ms
// The command is "-" when it could not be decoded. Control characters,
// blanks in the command, and quotes or backslashes in the error text are
// escaped (\xNN, \", \\), so one request is always one line.
// Lines are written with one write() each, so lines of several threads do
// not mix.
#pragma once

#include <cstddef>
#include <string>

void LogRequest(const std::string& peer, const std::string& command, bool ok,
                const std::string& error_text, size_t payload_bytes, double ms);
// A free-form line (start-up, shutdown, HTTP layer messages).
void LogLine(const std::string& text);
// The escaping used for commands (blank_too) and error texts.
std::string EscapeLogText(const std::string& text, bool blank_too);
