// Test helpers of the download tests: a program that runs from a given file,
// so that the file is "in use" the way a running browser holds its
// executable.
#pragma once

#include <sys/types.h>

#include <string>

// Copies /bin/sleep to path (executable) and runs it from there until
// Stop() or destruction. Start() returns once the process runs that file.
class TRunningProgram {
 public:
  explicit TRunningProgram(std::string path) : path_(std::move(path)) {}
  ~TRunningProgram() { Stop(); }
  TRunningProgram(const TRunningProgram&) = delete;
  TRunningProgram& operator=(const TRunningProgram&) = delete;

  // Throws std::runtime_error when the program cannot be started.
  void Start(int seconds = 60);
  // Kills the program (SIGKILL) and reaps it.
  void Stop();
  pid_t pid() const { return pid_; }

 private:
  std::string path_;
  pid_t pid_ = -1;
};
