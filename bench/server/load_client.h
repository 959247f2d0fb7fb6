// The benchmark's load generator: requests built with the project's own
// encoders, sent one per connection to 127.0.0.1 as the launcher sends them,
// answers read to the end of the connection and checked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The complete HTTP request (request line, headers, body) of a command call.
std::string BuildCommandRequest(const std::string& command, const std::vector<std::string>& items);

// A plain POST with a small body (for the comparison server).
std::string BuildPlainPost(const std::string& target, const std::string& body);

// Sends request on a fresh connection to 127.0.0.1:port and reads the reply
// until the server closes. Returns the reply body, or false on a connection
// fault or a status other than 200.
bool Exchange(int port, const std::string& request, std::string* body);

// Takes a framed answer apart and unpacks its payload (zlib inflate, as the
// launcher does). False for an error answer or a framing fault.
bool UnpackFramed(const std::string& body, std::string* payload, std::string* error);

// Runs job on each of `clients` threads until `seconds` have passed; returns
// the number of jobs that returned true per second, and counts failures.
double RunFor(int clients, double seconds, const std::function<bool()>& job, int64_t* failures);

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();
