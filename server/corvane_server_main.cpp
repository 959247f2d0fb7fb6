// corvane-server: the reference server as a program. Options: --help.

#include <malloc.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "corvane_server.h"
#include "server_log.h"
#include "server_options.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  TServerOptions options;
  bool help = false;
  std::string error;
  if (!ParseServerOptions(args, &options, &help, &error)) {
    std::fprintf(stderr, "corvane-server: %s\n(see corvane-server --help)\n", error.c_str());
    return 2;
  }
  if (help) {
    std::fputs(ServerUsageText().c_str(), stdout);
    return 0;
  }

  // Each request allocates and frees buffers on its worker's heap arena (a
  // piece and its packed form are about 0.5 MiB each). By default glibc
  // serves such sizes with mmap and gives freed memory at the top of an
  // arena back to the system, so every request paid system calls and fresh
  // page faults. Keep them on the heap and keep up to 8 MiB free per arena.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 8 << 20);

  // SIGINT and SIGTERM are taken by sigwait below; every thread started from
  // here on inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  TCorvaneServer server(options);
  if (!server.Start(&error)) {
    std::fprintf(stderr, "corvane-server: %s\n", error.c_str());
    return 1;
  }
  LogLine("corvane-server serving " + options.root + " on " + options.listen_address + ":" +
          std::to_string(server.Port()));

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  LogLine(std::string("stopping on ") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM"));
  server.Stop();
  LogLine("stopped");
  return 0;
}
