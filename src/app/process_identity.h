// Which program started the launcher.
#pragma once

#include <cstdint>
#include <string>

// The parent of process pid, or 0 when it is gone or unreadable.
int64_t ParentProcessId(int64_t pid);
// The executable path of process pid, or empty.
std::u16string ProcessExeName(int64_t pid);
// The identifier of the calling process.
int64_t CurrentProcessId();
