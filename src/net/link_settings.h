// Process-wide settings of the server link. The proxy mode is ProxyType of
// the launch parameters (app/launch_params.h); the time-outs are changed only
// by tests, before any call is made.
#pragma once

#include <cstdint>
#include <string>

#include "platform/http_transport.h"

extern const std::string UserAgent;    // user agent of every session
extern const std::string AcceptTypes;  // the one entry of every request's accept types

// Milliseconds. Connect limits establishing the connection; the other four
// limit inactivity while the request goes out or the answer comes in.
extern int32_t ConnectTimeout;      // 60000
extern int32_t SendTimeout;         // 180000
extern int32_t ReceiveTimeout;      // 180000
extern int32_t DataSendTimeout;     // 180000
extern int32_t DataReceiveTimeout;  // 180000

// Sets the five time-outs on the session (connect first, then send, receive,
// data send, data receive); results are ignored.
void SetLinkOptions(TTransportSession& session);
