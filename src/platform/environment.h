// The process environment, read at the platform edge.
#pragma once

#include <string>

// The value of the environment variable name (UTF-8 decoded), or empty when
// it is not set.
std::u16string EnvironmentVariable(const char* name);

// The user's home folder: $HOME when it is an absolute path, otherwise the
// home folder of the user database entry of the real user; empty when
// neither is known.
std::u16string HomeFolder();
