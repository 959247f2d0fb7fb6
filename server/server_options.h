// The command line of corvane-server.
#pragma once

#include <string>
#include <vector>

#include "corvane_server.h"

// The text printed by --help.
std::string ServerUsageText();

// Parses the arguments after the program name into *options (which keeps its
// defaults for options not given). *help is set by --help. False with a
// message naming the offending option on any bad option or value; --root is
// required unless --help is given.
bool ParseServerOptions(const std::vector<std::string>& args, TServerOptions* options, bool* help,
                        std::string* error);

// "1048576", "512K", "256M", "2G" (binary multiples; also KiB/MiB/GiB).
bool ParseByteCount(const std::string& text, int64_t* bytes);
