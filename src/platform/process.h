// Starting programs and asking about the running one, at the platform edge.
// (The process queries of app/process_identity.h are implemented beside
// these, in process_posix.cpp.)
#pragma once

#include <cstdint>
#include <string>

// The full path of the running program's file, or empty.
std::u16string SelfExecutablePath();

// Starts file with argument as its one argument (argv[0] is file), in the
// caller's folder and environment, without waiting for it. A regular file
// without owner execute permission gets it first. Returns the process
// identifier of the started program, or 0 when the program could not be
// started, its exec included (then no child is left behind).
int64_t SpawnProgram(const std::u16string& file, const std::u16string& argument);
