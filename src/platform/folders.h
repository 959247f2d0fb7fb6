// Folder and file queries at the platform edge. Paths are wide texts; they
// reach the file system as UTF-8.
#pragma once

#include <string>

// True when path names a folder (links followed).
bool FolderExists(const std::u16string& path);

// Creates the one folder path (its parent must exist) with mode 0777 less
// the umask. Returns 0 on success or when the folder exists already,
// otherwise the errno of the failure.
int CreateOneFolder(const std::u16string& path);

// Reads the whole of a small text file into bytes; false when it cannot be
// opened or read.
bool ReadSmallFile(const std::u16string& path, std::string& bytes);
