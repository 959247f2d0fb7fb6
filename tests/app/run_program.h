// Runs a program of the build and collects what it printed.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_support.h"

struct TRunResult {
  int exit_status = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
};

// argv[0] is the program's path; no shell is involved.
inline TRunResult RunProgram(const std::vector<std::string>& argv) {
  TTempDir temp;
  const std::string out_path = temp.File("out");
  const std::string err_path = temp.File("err");
  TRunResult result;
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) return result;
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    result.exit_status = WEXITSTATUS(status);
  result.out = ReadFileBytes(out_path);
  result.err = ReadFileBytes(err_path);
  return result;
}
