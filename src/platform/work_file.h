// The file-system and clock queries behind the compression layer's work
// files. Paths are wide texts; they reach the file system as UTF-8.
// All functions are safe to call from any thread and never throw.
#pragma once

#include <cstdint>
#include <string>

// True when something other than a real folder exists at path: a file, a
// link (dangling or not, it is not followed), a device, a pipe.
bool WorkPathTaken(const std::u16string& path);

// True when path names a folder (links followed).
bool WorkFolderPresent(const std::u16string& path);

// Creates the folder with every missing parent; true when it exists
// afterwards.
bool CreateWorkFolder(const std::u16string& path);

// Removes the file; a failure is ignored.
void RemoveWorkFile(const std::u16string& path);

// The local time of day as a fraction of a day, from 0 up to (not
// including) 1.
double LocalTimeOfDay();

// The calling thread's identifier as the operating system numbers it.
uint64_t CurrentThreadNumber();
