// File operations of the download, on Linux.
//
// What the Windows file notions mean here:
//   read-only / hidden / system   clearing them gives the owner write
//                                 permission; hidden and system have no
//                                 meaning of their own
//   "opens exclusively"           the file opens for reading and writing, is
//                                 not a running program (opening one for
//                                 writing fails with ETXTBSY) and no other
//                                 open file holds an exclusive flock on it
//   file times                    100 ns units since 1601-01-01 UTC; the last
//                                 write and access times are read and set
//                                 with nanosecond precision, the creation
//                                 time does not exist and is skipped
//
// Paths are wide texts (UTF-8 at the file system). None of these throws;
// all may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

// True when the path names something other than a directory.
bool FileIsPresent(const std::u16string& path);

// Gives the owner write permission; any failure is ignored.
void ClearFileAttributes(const std::u16string& path);

// True when the existing file could be opened for reading and writing and
// locked exclusively (then closed again at once).
bool CanOpenExclusively(const std::u16string& path);

// Gives old_path the name new_path, failing when new_path exists. After a
// successful rename that is not yet visible, waits 1 ms and then checks up to
// 10 times, 100 ms apart. Answers whether the rename itself succeeded.
bool RenameFileAndWait(const std::u16string& old_path, const std::u16string& new_path);

// Copies source to destination, replacing it (a destination that is present
// first gets owner write permission). A failed copy leaves no destination.
bool CopyFileOver(const std::u16string& source, const std::u16string& destination);

// Gives source a second name, destination, replacing whatever file had that
// name (a link planted there is removed, never followed): a hard link where
// the file system allows one (linked true), otherwise a copy as CopyFileOver
// makes (linked false). Either way destination then holds source's bytes; a
// link shares them with source, so it suits only a reader that knows source
// is never written in place. False (and no destination) when neither works.
bool LinkOrCopyFile(const std::u16string& source, const std::u16string& destination, bool& linked);

// Copies length bytes of source, from source_offset on, into the existing
// file destination at destination_offset, inside the kernel where it can
// (copy_file_range) and by reading and writing where it cannot. False when
// a file cannot be opened, a write fails or source ends before length bytes.
bool CopyFileBytes(const std::u16string& source, int64_t source_offset,
                   const std::u16string& destination, int64_t destination_offset, int64_t length);

// Removes a file (not a directory); false when it is still there.
bool RemoveFile(const std::u16string& path);

struct TLocalFileInfo {
  uint64_t WriteTime = 0;  // 100 ns units since 1601-01-01 UTC
  int64_t Size = 0;
};

// Opens the existing file for reading and takes its last write time and
// size; false when it cannot be opened.
bool ReadLocalFileInfo(const std::u16string& path, TLocalFileInfo& info);

// The last access and write times of a file, 100 ns units since 1601; false
// when the path cannot be examined.
bool ReadFileTimes(const std::u16string& path, uint64_t& access_time, uint64_t& write_time);

// Puts the finished source file in target's place in one step: the source
// takes the target's permission bits (0644 when there is no target) and a
// rename replaces the target, so there is no moment without a target. On
// failure both files stay as they were (apart from the source's permission
// bits) and false is returned.
//
// The content is not forced to disk first: after a power cut the file
// system may show the new name with missing data, which the download's
// size-and-time test takes for a changed file and fetches again.
bool MoveFileOver(const std::u16string& source, const std::u16string& target);
