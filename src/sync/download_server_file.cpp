#include "sync/download_server_file.h"

#include <algorithm>
#include <cstdint>
#include <chrono>
#include <exception>
#include <future>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "net/command_calls.h"
#include "pack/my_streams.h"
#include "pack/stream.h"
#include "pack/text_encodings.h"
#include "platform/file_ops.h"
#include "platform/file_stream.h"
#include "platform/md5.h"
#include "sync/download_texts.h"

namespace {

constexpr char16_t kObjectName[] = u"A001";
constexpr char16_t kFileInfoCommand[] = u"GET_SERVER_FILE_SIZE_TIME";
constexpr char16_t kPieceCommand[] = u"GET_SERVER_FILE_STREAM";
constexpr int32_t kCallTimeLimit = 0;  // derived from the body size
constexpr int32_t kCallAttempts = 3;
constexpr int kPieceAttempts = 11;
constexpr int kTargetWaits = 100;
constexpr auto kTargetWaitPause = std::chrono::milliseconds(200);
// Local reads (digests, copies of confirmed pieces) go in chunks of this
// size, so that memory holds one answer and one chunk, never a second piece.
constexpr int64_t kChunk = 64 * 1024;

constexpr char16_t kStatusAnalysing[] = u"  資料分析中...";
constexpr char16_t kStatusDownloading[] = u"  資料下載中...";
constexpr char16_t kStatusDone[] = u"  資料下載完畢！";
constexpr char16_t kCannotWrite[] = u"檔案無法寫入： ";
constexpr char16_t kCannotDelete[] = u"檔案無法刪除： ";
constexpr char16_t kCannotRename[] = u"無法改變檔名： ";
constexpr char16_t kStopped[] = u"系統停止01";
constexpr char16_t kWrongPieceLength[] = u"下載的資料長度不符： ";

std::u16string Number(int64_t value) { return AsciiToWide(std::to_string(value)); }

// An unexpected failure: the run ends with false and ErrorText untouched.
class EUnexpected : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One run of DownloadServerFile; the arguments by reference, the working
// state as members.
class TDownloadRun {
 public:
  TDownloadRun(const std::u16string& login_key, const std::u16string& host, int32_t port,
               const std::u16string& server_file_name, const std::u16string& target_file,
               std::u16string& error_text, TProgressBar* progress_bar, TStatusText* status_bar,
               TStatusText* status_label, int32_t piece_size, bool skip_if_unchanged,
               bool reuse_by_digest, bool keep_responsive, bool replace_target,
               const std::u16string& new_file_ext, const std::u16string& reference_file_ext,
               const TRunControl& run)
      : login_key_(login_key),
        host_(host),
        port_(port),
        server_file_name_(server_file_name),
        target_file_(target_file),
        error_text_(error_text),
        bar_(progress_bar),
        status_bar_(status_bar),
        status_label_(status_label),
        piece_size_(piece_size),
        skip_if_unchanged_(skip_if_unchanged),
        reuse_by_digest_(reuse_by_digest),
        keep_responsive_(keep_responsive),
        replace_target_(replace_target),
        new_file_(ChangeFileExtension(target_file, new_file_ext)),
        reference_file_(ChangeFileExtension(target_file, reference_file_ext)),
        run_(run) {}

  bool Execute();

 private:
  bool Fail(const std::u16string& message) {
    error_text_ = message;
    return false;
  }
  bool Terminating() const { return run_.Terminated && run_.Terminated->IsCancelled(); }
  void Pump() const {
    if (run_.ProcessMessages) run_.ProcessMessages();
  }
  void ShowStatus(const std::u16string& text) const {
    const std::u16string shown = FileNameOf(target_file_) + text;
    if (status_bar_) status_bar_->SetText(shown);
    if (status_label_) status_label_->SetText(shown);
    if (status_bar_ || status_label_) Pump();
  }
  void ProgressStep(int64_t position) const {
    if (!bar_) return;
    bar_->SetPosition(position);
    if (keep_responsive_) Pump();
  }
  void StartProgress(int64_t maximum) const {
    if (!bar_) return;
    bar_->SetMaximum(maximum);
    bar_->SetPosition(0);
    if (keep_responsive_) Pump();
  }
  std::vector<std::u16string> BaseParams() const {
    return {u"LOGINKEY:" + login_key_, u"_FILENAME:" + server_file_name_};
  }

  // The reference for reading. A second name of the target opens for
  // reading only: a writing handle would keep the browser from starting
  // (and fail while it runs).
  TFileStream OpenReference() const {
    return reference_is_link_ ? TFileStream::OpenRead(reference_file_)
                              : TFileStream::OpenReadWriteShareRead(reference_file_);
  }

  bool WaitForFreeTarget();
  bool AskFileInfo();
  bool PrepareReferenceFile();
  bool DigestReferenceFile();
  bool FetchPieces(TFileStream& new_file, std::optional<TFileStream>& reference);
  bool FetchPiece(int64_t offset, int32_t length, TFileStream& new_file,
                  std::optional<TFileStream>& reference);
  // Appends length bytes of the reference file, from offset on.
  void CopyFromReference(TFileStream& reference, int64_t offset, int32_t length,
                         TFileStream& new_file);
  bool Finish(TFileStream& new_file, std::optional<TFileStream>& reference);

  const std::u16string& login_key_;
  const std::u16string& host_;
  const int32_t port_;
  const std::u16string& server_file_name_;
  const std::u16string& target_file_;
  std::u16string& error_text_;
  TProgressBar* const bar_;
  TStatusText* const status_bar_;
  TStatusText* const status_label_;
  const int32_t piece_size_;
  const bool skip_if_unchanged_, reuse_by_digest_, keep_responsive_, replace_target_;
  const std::u16string new_file_;
  const std::u16string reference_file_;
  const TRunControl& run_;

  bool reference_is_link_ = false;  // the reference is a second name of the target
  int32_t server_size_ = 0;
  std::u16string creation_time_text_, access_time_text_, write_time_text_;
  TMyStreams digests_;   // piece key -> piece digest
  TMemoryStream answer_;  // one piece answer at a time
};

bool TDownloadRun::Execute() {
  if (replace_target_ && FileIsPresent(target_file_) && !WaitForFreeTarget()) return false;
  if (!AskFileInfo()) return false;

  if (skip_if_unchanged_ && FileIsPresent(target_file_)) {
    TLocalFileInfo local;
    if (ReadLocalFileInfo(target_file_, local) &&
        FileTimeToText(local.WriteTime) == write_time_text_ && local.Size == server_size_)
      return true;
  }

  if (!PrepareReferenceFile()) return false;
  digests_.ClearItems();
  if (reuse_by_digest_ && !DigestReferenceFile()) return false;

  TFileStream new_file = TFileStream::Create(new_file_);
  std::optional<TFileStream> reference;
  if (reuse_by_digest_) reference.emplace(OpenReference());
  ShowStatus(kStatusDownloading);
  const int64_t pieces = (static_cast<int64_t>(server_size_) + piece_size_ - 1) / piece_size_;
  StartProgress(pieces);

  if (!FetchPieces(new_file, reference)) return false;
  return Finish(new_file, reference);
}

bool TDownloadRun::WaitForFreeTarget() {
  ClearFileAttributes(target_file_);
  bool free = CanOpenExclusively(target_file_);
  if (bar_) {
    bar_->SetMaximum(kTargetWaits);
    bar_->SetPosition(0);
  }
  for (int wait = 1; !free && wait <= kTargetWaits; ++wait) {
    std::this_thread::sleep_for(kTargetWaitPause);
    if (bar_) bar_->SetPosition(wait);
    free = CanOpenExclusively(target_file_);
  }
  if (!free) return Fail(kCannotWrite + target_file_);
  if (bar_) bar_->SetPosition(0);
  return true;
}

bool TDownloadRun::AskFileInfo() {
  std::u16string answer, call_error;
  if (!CallCommandText(kObjectName, kFileInfoCommand, host_, port_, BaseParams(), answer,
                       call_error, kCallTimeLimit, kCallAttempts))
    return Fail(call_error);
  const std::vector<std::u16string> items = SplitCommaText(answer);
  // A negative size would turn the target into an empty file; the server's
  // answer is broken, not the file.
  if (items.size() < 4 || !TextToInt32(items[0], server_size_) || server_size_ < 0)
    throw EUnexpected("unusable file information answer");
  creation_time_text_ = items[1];
  access_time_text_ = items[2];
  write_time_text_ = items[3];
  return true;
}

bool TDownloadRun::PrepareReferenceFile() {
  if (FileIsPresent(reference_file_) && !RemoveFile(reference_file_)) {
    // A leftover reference may be a second name of the target: its mode bits
    // are only touched when removing it needs that.
    ClearFileAttributes(reference_file_);
    if (!RemoveFile(reference_file_)) return Fail(kCannotDelete + reference_file_);
  }
  if (FileIsPresent(new_file_)) {
    // An earlier run did not finish: its pieces become the reference.
    ClearFileAttributes(new_file_);
    if (!RenameFileAndWait(new_file_, reference_file_)) return Fail(kCannotRename + new_file_);
  } else if (FileIsPresent(target_file_)) {
    // A second name of the old target: the target is only ever replaced by
    // a rename (a new file), never written in place, so the reference keeps
    // exactly the digested bytes until this run removes it. Where the file
    // system has no links it is a private copy. Without the old bytes the
    // run still works.
    reference_is_link_ = false;
    LinkOrCopyFile(target_file_, reference_file_, reference_is_link_);
  }
  return true;
}

// The digest of the piece of up to piece_size bytes at offset, read in
// chunks; length 0 at the end of the file.
struct TPieceDigest {
  int64_t length = 0;
  std::string hex;
};

TPieceDigest DigestPiece(TFileStream& file, int64_t offset, int64_t piece_size) {
  std::string chunk(static_cast<size_t>(std::min(kChunk, piece_size)), '\0');
  file.SetPosition(offset);
  TMd5 md5;
  TPieceDigest digest;
  while (digest.length < piece_size) {
    const int64_t n =
        file.Read(chunk.data(), std::min<int64_t>(kChunk, piece_size - digest.length));
    if (n < 1) break;
    md5.Update(chunk.data(), static_cast<size_t>(n));
    digest.length += n;
  }
  if (digest.length > 0) digest.hex = md5.FinishHex();
  return digest;
}

bool TDownloadRun::DigestReferenceFile() {
  TFileStream reference = !FileIsPresent(reference_file_) ? TFileStream::Create(reference_file_)
                                                           : OpenReference();
  ShowStatus(kStatusAnalysing);
  const int64_t size = reference.Size();
  StartProgress((size + piece_size_ - 1) / piece_size_);
  // Pieces are digested two at a time: while this thread digests one piece,
  // a helper digests the next one through its own reading handle. The passes
  // (termination test, progress step, table entry) stay one per piece, in
  // order, on this thread. Declared before the future, so that a helper
  // still running is awaited before its handle closes.
  std::optional<TFileStream> second;
  if (size > piece_size_) second.emplace(TFileStream::OpenRead(reference_file_));
  std::future<TPieceDigest> ahead;
  int64_t offset = 0;
  for (int64_t pass = 0;;) {
    if (Terminating()) return Fail(kStopped);
    ProgressStep(++pass);
    TPieceDigest digest;
    if (ahead.valid()) {
      digest = ahead.get();
    } else {
      const int64_t next = offset + piece_size_;
      if (second && next < size)
        ahead = std::async(std::launch::async, DigestPiece, std::ref(*second), next, piece_size_);
      digest = DigestPiece(reference, offset, piece_size_);
    }
    if (digest.length < 1) break;
    // Keys carry 32-bit offsets; the server's files are smaller than 2 GiB,
    // so pieces beyond that can never be asked for.
    if (offset > INT32_MAX) break;
    digests_.AddText(PieceKey(static_cast<int32_t>(offset), static_cast<int32_t>(digest.length)),
                     AsciiToWide(digest.hex));
    // A short piece is the last one; the helper's piece then lies past the
    // end and comes back empty, like a read at the end would.
    offset += digest.length;
  }
  return true;
}

bool TDownloadRun::FetchPieces(TFileStream& new_file, std::optional<TFileStream>& reference) {
  int64_t piece = 0;
  for (int64_t offset = 0; offset < server_size_;) {
    if (Terminating()) return Fail(kStopped);
    ++piece;
    const int32_t length =
        static_cast<int32_t>(std::min<int64_t>(piece_size_, server_size_ - offset));
    ProgressStep(piece);
    if (!FetchPiece(offset, length, new_file, reference)) return false;
    offset += length;
  }
  return true;
}

bool TDownloadRun::FetchPiece(int64_t offset, int32_t length, TFileStream& new_file,
                              std::optional<TFileStream>& reference) {
  const std::u16string digest =
      reuse_by_digest_ ? digests_.ReadText(PieceKey(static_cast<int32_t>(offset), length))
                       : std::u16string();
  const std::string digest_bytes = WideToUtf8(digest);
  std::u16string last_error;
  for (int attempt = 1; attempt <= kPieceAttempts; ++attempt) {
    std::vector<std::u16string> params = BaseParams();
    params.push_back(u"_BE:" + Number(offset));
    params.push_back(u"_LEN:" + Number(length));
    if (reuse_by_digest_) {
      params.push_back(u"_AUsesMD5Check:T");
      params.push_back(u"_MD5Str:" + digest);
    }
    answer_.Clear();
    std::u16string call_error;
    if (!CallCommandStream(kObjectName, kPieceCommand, host_, port_, params, answer_, call_error,
                           kCallTimeLimit, kCallAttempts)) {
      last_error = call_error;
      continue;
    }
    const std::string_view got(answer_.Memory(), static_cast<size_t>(answer_.Size()));
    if (!digest_bytes.empty() && got == digest_bytes) {
      // The server's piece has the digest of ours: copy it locally.
      answer_.Clear();
      CopyFromReference(*reference, offset, length, new_file);
      return true;
    }
    if (answer_.Size() == length) {
      new_file.WriteBuffer(answer_.Memory(), length);
      answer_.Clear();
      return true;
    }
    // Neither the digest nor the piece: appending it would corrupt the file.
    last_error = kWrongPieceLength + server_file_name_ + u" (_BE:" + Number(offset) + u" _LEN:" +
                 Number(length) + u", " + Number(answer_.Size()) + u" bytes)";
  }
  answer_.Clear();
  return Fail(last_error);
}

void TDownloadRun::CopyFromReference(TFileStream& reference, int64_t offset, int32_t length,
                                     TFileStream& new_file) {
  // Inside the kernel where it can: the bytes do not pass through this
  // process. The new file is written at its own position, which then moves
  // past the piece as a write would move it.
  const int64_t at = new_file.Position();
  if (!CopyFileBytes(reference.Path(), offset, new_file.Path(), at, length))
    throw EUnexpected("reference file shorter than a confirmed piece");
  new_file.SetPosition(at + length);
}

bool TDownloadRun::Finish(TFileStream& new_file, std::optional<TFileStream>& reference) {
  if (!creation_time_text_.empty() && !access_time_text_.empty() && !write_time_text_.empty()) {
    uint64_t creation_time, access_time, write_time;
    if (!TextToFileTime(creation_time_text_, creation_time) ||
        !TextToFileTime(access_time_text_, access_time) ||
        !TextToFileTime(write_time_text_, write_time))
      throw EUnexpected("unreadable file time text");
    new_file.SetFileTimes(access_time, write_time);  // the creation time has no place here
  }
  ShowStatus(kStatusDone);
  if (bar_) bar_->SetPosition(0);
  if (keep_responsive_) Pump();
  new_file.Close();
  reference.reset();
  RemoveFile(reference_file_);  // a leftover is cleared by the next run
  if (replace_target_ && !MoveFileOver(new_file_, target_file_))
    return Fail(kCannotRename + new_file_ + u" => " + target_file_);
  return true;
}

}  // namespace

bool DownloadServerFile(const std::u16string& LoginKey, const std::u16string& Host, int32_t Port,
                        const std::u16string& ServerFileName, const std::u16string& TargetFile,
                        std::u16string& ErrorText, TProgressBar* ProgressBar,
                        TStatusText* StatusBar, TStatusText* StatusLabel, int32_t PieceSize,
                        bool SkipIfUnchanged, bool ReuseByDigest, bool KeepResponsive,
                        bool ReplaceTarget, const std::u16string& NewFileExt,
                        const std::u16string& ReferenceFileExt, const TRunControl& Run) {
  if (PieceSize <= 0) {
    ErrorText = u"PieceSize must be positive: " + Number(PieceSize);
    return false;
  }
  try {
    TDownloadRun run(LoginKey, Host, Port, ServerFileName, TargetFile, ErrorText, ProgressBar,
                     StatusBar, StatusLabel, PieceSize, SkipIfUnchanged, ReuseByDigest,
                     KeepResponsive, ReplaceTarget, NewFileExt, ReferenceFileExt, Run);
    return run.Execute();
  } catch (const std::exception&) {
    // Unexpected failures (a work file that cannot be opened, an unusable
    // answer, an unreadable time text) end the run with ErrorText as it was;
    // the open files are closed by now and the work files stay for the next
    // run.
    return false;
  }
}
