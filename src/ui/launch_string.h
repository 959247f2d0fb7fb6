// The launch string handed to the browser, and starting a program with it.
#pragma once

#include <cstdint>
#include <string>

// "CORVANEBOOT=TRUE,BASE=<b64>,PORT=<b64>,...,PROXY_TYPE=<b64>" from
// LaunchParams, ProxyType, the browser folder and the parent's path.
std::u16string BuildLaunchString(const std::u16string& browser_folder,
                                 const std::u16string& parent_exe_name);

// Starts file with parameters as its one argument, without waiting; the
// process identifier, or 0 when it could not be started.
int64_t StartProgram(const std::u16string& file, const std::u16string& parameters,
                     int32_t show_command);

// The full path of the running program (/proc/self/exe).
std::u16string OwnExecutablePath();
