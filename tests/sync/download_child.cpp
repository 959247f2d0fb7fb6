// sync_download_child HOST PORT SERVER_FILE_NAME TARGET PIECE_SIZE
// Runs one DownloadServerFile as the start sequence would (status texts on
// standard error) so that tests can stop a download by killing a process.
// Exit status 0 on success, 1 on failure, 2 on bad arguments.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pack/text_encodings.h"
#include "sync/download_server_file.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s HOST PORT SERVER_FILE_NAME TARGET PIECE_SIZE\n", argv[0]);
    return 2;
  }
  std::u16string error;
  const bool ok = DownloadServerFile(u"pelkwarn", Utf8ToWide(argv[1]), std::atoi(argv[2]),
                                     Utf8ToWide(argv[3]), Utf8ToWide(argv[4]), error, nullptr,
                                     nullptr, nullptr, std::atoi(argv[5]), true, true, true, true,
                                     u"download", u"downloadtemp");
  if (!ok) std::fprintf(stderr, "download failed: %s\n", WideToUtf8(error).c_str());
  return ok ? 0 : 1;
}
