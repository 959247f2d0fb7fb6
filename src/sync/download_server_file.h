// DownloadServerFile: brings one local file up to date with a server file.
//
// Size and last-write-time test first; otherwise the file is fetched in
// pieces into "<target>.<NewFileExt>", pieces the reference file
// "<target>.<ReferenceFileExt>" (the old copy, or an unfinished earlier
// download) already holds being confirmed by MD5 digest instead of
// transferred; at the end the new file gets the server's times and replaces
// the target. Runs on the calling (main) thread; not re-entrant.
#pragma once

#include <cstdint>
#include <string>

#include "pack/progress.h"

// How a run talks to its front end besides the progress displays: the
// message pump (processing pending window messages) and the application's
// terminating flag, which the run looks at before each digest pass and each
// piece.
struct TRunControl {
  std::function<void()> ProcessMessages;
  const TCancelToken* Terminated = nullptr;
};

bool DownloadServerFile(const std::u16string& LoginKey, const std::u16string& Host, int32_t Port,
                        const std::u16string& ServerFileName, const std::u16string& TargetFile,
                        std::u16string& ErrorText, TProgressBar* ProgressBar,
                        TStatusText* StatusBar, TStatusText* StatusLabel, int32_t PieceSize,
                        bool SkipIfUnchanged, bool ReuseByDigest, bool KeepResponsive,
                        bool ReplaceTarget, const std::u16string& NewFileExt,
                        const std::u16string& ReferenceFileExt, const TRunControl& Run = {});
