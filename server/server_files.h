// Server files: mapping a server file name below the served folder, opening
// it safely, its identity and times, and reading pieces.
//
// A server file name such as "_WEBPATH\CorvanePage\Nimbara.exe" is split at
// "\" and "/" and maps to <root>/_WEBPATH/CorvanePage/Nimbara.exe. Refused:
// an empty name, a NUL byte, a leading separator (absolute or UNC name), a
// drive letter ("C:..."), an empty, "." or ".." component, anything that
// resolves (through symbolic links) outside the root, and anything but a
// regular file.
//
// File time text: a Windows file time (100 ns units since 1601-01-01 UTC) as
// "<low 32 bits>|<high 32 bits>", both unsigned decimal without leading
// zeros. The creation time is the birth time where the file system keeps it,
// else the status-change time.
//
// Everything here may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

// An open server file; closes its descriptor when destroyed. Moved, never
// copied.
class TServerFile {
 public:
  TServerFile() = default;
  ~TServerFile();
  TServerFile(TServerFile&& other) noexcept;
  TServerFile& operator=(TServerFile&& other) noexcept;
  TServerFile(const TServerFile&) = delete;
  TServerFile& operator=(const TServerFile&) = delete;

  bool is_open() const { return fd_ >= 0; }

  // Identity: what the piece cache keys on, so that a changed file is never
  // served from a stale entry.
  std::string path;  // resolved path below the root
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t change_ns = 0;  // last write time, ns since 1970-01-01 UTC
  int64_t status_change_ns = 0;
  // Times, ns since 1970-01-01 UTC.
  int64_t creation_ns = 0;
  int64_t access_ns = 0;
  int64_t write_ns = 0;

  // Reads exactly length bytes at offset into *out; false with a message
  // when the file delivers fewer.
  bool ReadPiece(int64_t offset, int64_t length, std::string* out, std::string* error) const;
  // True when the open file still has the size, last write time and
  // status-change time it had when it was opened: bytes read meanwhile
  // belong to this identity and may be cached under it.
  bool Unchanged() const;

 private:
  friend bool OpenServerFile(const std::string&, const std::string&, TServerFile*, std::string*);
  int fd_ = -1;
};

// The served folder's real path (symbolic links resolved); false with a
// message when it is no folder.
bool ResolveServedRoot(const std::string& root, std::string* real_root, std::string* error);

// Maps a server file name below real_root (from ResolveServedRoot) and opens
// it for reading. Refusals leave a message in *error; a name that does not
// exist gives "file not found: " followed by the name as sent.
bool OpenServerFile(const std::string& real_root, const std::string& server_name, TServerFile* file,
                    std::string* error);

// "<low>|<high>" of the Windows file time for ns since 1970-01-01 UTC; times
// before 1601 give "0|0".
std::string FileTimeText(int64_t unix_ns);

// Folders for the upload streams.
// A new folder below $TMPDIR (or /tmp), readable by the owner only.
bool MakePrivateFolder(const std::string& prefix, std::string* path, std::string* error);
// Creates the folder (and its parents) when missing; false when it is no
// writable folder.
bool EnsureFolder(const std::string& path, std::string* error);
// Removes the folder and the files in it (not recursive below that).
void RemoveFolder(const std::string& path);
