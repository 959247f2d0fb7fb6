// DownloadServerFile: brings one local file up to date with a server file.
//
// Size and last-write-time test first; otherwise the file is fetched in
// pieces into "<target>.<NewFileExt>", pieces the reference file
// "<target>.<ReferenceFileExt>" (the old copy, or an unfinished earlier
// download) already holds being confirmed by MD5 digest instead of
// transferred; at the end the new file gets the server's times and replaces
// the target. Runs on the calling (main) thread, which alone touches the
// progress displays and calls Run.ProcessMessages; during the digest pass a
// helper thread digests the next piece alongside. Not re-entrant.
//
// Result: true when the file was found unchanged or the download completed
// (with ReplaceTarget, including the replacement). ErrorText is written only
// on reported failures; unexpected ones (an unusable file information
// answer, a work file that cannot be opened, an unreadable time text) give
// false and leave it as it was. Work files of an interrupted run stay and
// let the next run resume.
//
// Beyond the plain steps:
//   - a piece answer that is neither the confirmed digest nor exactly the
//     asked length is a failed attempt; after the last attempt the run fails
//     with "下載的資料長度不符： " + the server file name and the numbers;
//   - a negative server size counts as an unusable answer;
//   - the target is replaced by one rename of the new file (never a
//     moment without a target), keeping the target's permission bits (0644
//     for a new file); a failure there reports "無法改變檔名： " + new file +
//     " => " + target.
#pragma once

#include <cstdint>
#include <functional>
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
