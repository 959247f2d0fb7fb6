// Helpers for the launcher's tests: the Qt application on the offscreen
// platform, running a program as a child process, a test browser that
// records its argument, and decoding a launch string.
#pragma once

#include <map>
#include <string>
#include <vector>

class QApplication;

// The one application object of the test program, on the offscreen platform.
QApplication& TestApplication();

struct TProcessResult {
  int exit_code = -1;      // exit status, or -1 when killed or not exited
  bool timed_out = false;  // killed after the time limit
  std::string out;
  std::string err;
};

// Runs path with args (argv[1]...) and waits at most timeout_ms; the child's
// standard input is /dev/null. env: variables to set ("NAME=VALUE") or, as
// "NAME", to remove, over this process's environment. A child still running
// at the limit is killed.
TProcessResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                          const std::vector<std::string>& env, int timeout_ms);

// A program of this build (CORVANE_BIN_DIR/name).
std::string BinPath(const std::string& name);

// A shell script that writes its first argument to "<its own path>.arg".
std::string RecordingBrowserScript();

// Waits up to timeout_ms for path to exist; its content, or empty.
std::string WaitForFile(const std::string& path, int timeout_ms);

// Splits "KEY=b64,KEY=b64,..." into key -> decoded value (the first value,
// "TRUE", is not encoded). Order of keys in *keys when given.
std::map<std::string, std::string> DecodeLaunchString(const std::string& text,
                                                      std::vector<std::string>* keys = nullptr);

// The real path of a file (symbolic links resolved).
std::string RealPath(const std::string& path);
