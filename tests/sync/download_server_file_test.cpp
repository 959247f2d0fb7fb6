// End to end: DownloadServerFile against the reference server on 127.0.0.1,
// checking the files on disk and the server's piece counts.
#include "sync/download_server_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "corvane_server.h"
#include "pack/text_encodings.h"
#include "platform/file_ops.h"
#include "platform/native_path.h"
#include "support/sync_support.h"
#include "support/test_support.h"

namespace {

constexpr int32_t kPiece = 4096;
constexpr char16_t kServerName[] = u"_WEBPATH\\CorvanePage\\Nimbara.exe";
constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ULL;

std::string Narrow(const std::u16string& text) { return WideToUtf8(text); }

// A file time with a 100 ns part, as a timespec for utimensat.
struct timespec ToTimespec(uint64_t file_time) {
  const uint64_t since_1970 = file_time - kUnixEpochInFileTime;
  return {static_cast<time_t>(since_1970 / 10000000),
          static_cast<long>(since_1970 % 10000000) * 100};
}

// Byte comparison that reports sizes and the first difference instead of
// printing whole files.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                       << ", first difference at " << i;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

uint64_t WriteTimeOf(const std::string& path) {
  uint64_t access = 0, write = 0;
  EXPECT_TRUE(ReadFileTimes(WidePath(path), access, write)) << path;
  return write;
}

void SetTimes(const std::string& path, uint64_t access, uint64_t write) {
  const struct timespec times[2] = {ToTimespec(access), ToTimespec(write)};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

struct TPieceRequest {
  int64_t offset;
  int64_t length;
  std::string digest;
};

class DownloadTest : public ::testing::Test {
 protected:
  // Server-side write and access times of the served file (with 100 ns
  // parts, so that any rounding shows).
  static constexpr uint64_t kServerWriteTime = 133445996001234567ULL;
  static constexpr uint64_t kServerAccessTime = 133445996009876543ULL;

  void SetUp() override {
    std::filesystem::create_directories(root_.File("_WEBPATH/CorvanePage"));
    TServerOptions options;
    options.port = 0;
    options.root = root_.path();
    options.log_requests = false;
    server_ = std::make_unique<TCorvaneServer>(options);

    const TCommandHandler info = server_->Handler("GET_SERVER_FILE_SIZE_TIME");
    ASSERT_TRUE(info) << "the server has no file information command";
    server_->RegisterCommand("GET_SERVER_FILE_SIZE_TIME", [this, info](const TServerRequest& r) {
      TServerAnswer answer = info(r);
      std::lock_guard<std::mutex> lock(mutex_);
      if (answer.ok && rewrite_info_) answer.payload = rewrite_info_(answer.payload);
      info_answers_.push_back(answer.payload);
      return answer;
    });
    const TCommandHandler piece = server_->Handler("GET_SERVER_FILE_STREAM");
    ASSERT_TRUE(piece) << "the server has no piece command";
    server_->RegisterCommand("GET_SERVER_FILE_STREAM", [this, piece](const TServerRequest& r) {
      TPieceRequest request{std::stoll(r.Item("_BE")), std::stoll(r.Item("_LEN")),
                            r.Item("_MD5Str")};
      std::function<void(int64_t, std::string&)> rewrite;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        pieces_.push_back(request);
        // Hold pieces from the gate on until the test opens it.
        gate_cv_.wait_for(lock, std::chrono::seconds(20),
                          [&] { return gate_open_ || request.offset < gate_offset_; });
        rewrite = rewrite_piece_;
      }
      TServerAnswer answer = piece(r);
      if (answer.ok && rewrite) rewrite(request.offset, answer.payload);
      return answer;
    });
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    server_path_ = root_.File("_WEBPATH/CorvanePage/Nimbara.exe");
    target_ = local_.File("Nimbara.exe");
  }

  void TearDown() override {
    OpenGate();
    if (server_) server_->Stop();
  }

  void Serve(const std::string& content) {
    WriteFileBytes(server_path_, content);
    SetTimes(server_path_, kServerAccessTime, kServerWriteTime);
  }

  bool Download(std::u16string& error, const TRunControl& run = {}, bool replace = true) {
    return DownloadServerFile(u"pelkwarn", u"127.0.0.1", server_->Port(), kServerName,
                              WidePath(target_), error, &bar_, &status_bar_, &label_, kPiece,
                              true, true, true, replace, u"download", u"downloadtemp", run);
  }

  TServerCounters Counters() const { return server_->Counters(); }
  void ResetCounters() {
    server_->ResetCounters();
    std::lock_guard<std::mutex> lock(mutex_);
    pieces_.clear();
    info_answers_.clear();
  }
  std::vector<TPieceRequest> Pieces() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pieces_;
  }
  void CloseGateFrom(int64_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    gate_open_ = false;
    gate_offset_ = offset;
  }
  void OpenGate() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      gate_open_ = true;
    }
    gate_cv_.notify_all();
  }
  void RewritePieces(std::function<void(int64_t, std::string&)> rewrite) {
    std::lock_guard<std::mutex> lock(mutex_);
    rewrite_piece_ = std::move(rewrite);
  }
  void RewriteInfo(std::function<std::string(const std::string&)> rewrite) {
    std::lock_guard<std::mutex> lock(mutex_);
    rewrite_info_ = std::move(rewrite);
  }
  // The access time the server reported in its last file information answer.
  uint64_t ReportedAccessTime() {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_FALSE(info_answers_.empty());
    if (info_answers_.empty()) return 0;
    const std::string& a = info_answers_.back();
    const size_t c1 = a.find(','), c2 = a.find(',', c1 + 1), c3 = a.find(',', c2 + 1);
    const std::string text = a.substr(c2 + 1, c3 - c2 - 1);
    const size_t bar = text.find('|');
    return (std::stoull(text.substr(bar + 1)) << 32) | std::stoull(text.substr(0, bar));
  }

  std::vector<std::string> LocalFiles() const { return ListFolder(local_.path()); }
  std::string NewFile() const { return local_.File("Nimbara.download"); }
  std::string ReferenceFile() const { return local_.File("Nimbara.downloadtemp"); }

  TTempDir root_, local_;
  std::unique_ptr<TCorvaneServer> server_;
  std::string server_path_, target_;
  TRecordingProgressBar bar_;
  TRecordingText status_bar_, label_;

  std::mutex mutex_;
  std::condition_variable gate_cv_;
  bool gate_open_ = true;
  int64_t gate_offset_ = 0;
  std::vector<TPieceRequest> pieces_;
  std::vector<std::string> info_answers_;
  std::function<void(int64_t, std::string&)> rewrite_piece_;
  std::function<std::string(const std::string&)> rewrite_info_;
};

TEST_F(DownloadTest, FreshDownloadWritesTheServersBytesAndTimes) {
  const std::string content = ExecutableLikeBytes(3 * kPiece + 1000);
  Serve(content);
  std::u16string error = u"untouched";
  ASSERT_TRUE(Download(error)) << Narrow(error);
  EXPECT_EQ(error, u"untouched");

  // Times first: reading the content may move the access time.
  uint64_t access = 0, write = 0;
  ASSERT_TRUE(ReadFileTimes(WidePath(target_), access, write));
  EXPECT_EQ(write, kServerWriteTime);
  EXPECT_EQ(access, ReportedAccessTime());
  EXPECT_TRUE(SameBytes(ReadFileBytes(target_), content));
  EXPECT_EQ(ModeOf(target_), 0644u);
  EXPECT_EQ(LocalFiles(), std::vector<std::string>{"Nimbara.exe"});

  const TServerCounters c = Counters();
  EXPECT_EQ(c.file_info_requests, 1u);
  EXPECT_EQ(c.data_pieces, 4u);
  EXPECT_EQ(c.digest_confirmed_pieces, 0u);
  const std::vector<TPieceRequest> pieces = Pieces();
  ASSERT_EQ(pieces.size(), 4u);
  EXPECT_EQ(pieces[3].offset, 3 * kPiece);
  EXPECT_EQ(pieces[3].length, 1000);
  for (const TPieceRequest& p : pieces) EXPECT_EQ(p.digest, "") << "nothing to confirm";

  // Both displays got the same texts, each led by the file's name.
  const std::vector<std::u16string> texts = {u"Nimbara.exe  資料分析中...",
                                             u"Nimbara.exe  資料下載中...",
                                             u"Nimbara.exe  資料下載完畢！"};
  EXPECT_EQ(label_.history, texts);
  EXPECT_EQ(status_bar_.history, texts);
  // Digest pass over an empty reference, then four pieces, then back to 0.
  const std::vector<std::string> events = {"max=0", "pos=0", "pos=1", "max=4", "pos=0", "pos=1",
                                           "pos=2", "pos=3", "pos=4", "pos=0"};
  EXPECT_EQ(bar_.events, events);
}

TEST_F(DownloadTest, UnchangedFileCostsOneRequestAndNoFileWork) {
  const std::string content = ExecutableLikeBytes(2 * kPiece + 5);
  Serve(content);
  std::u16string error;
  ASSERT_TRUE(Download(error)) << Narrow(error);
  struct stat before;
  ASSERT_EQ(stat(target_.c_str(), &before), 0);
  ResetCounters();
  label_.history.clear();

  ASSERT_TRUE(Download(error)) << Narrow(error);
  const TServerCounters c = Counters();
  EXPECT_EQ(c.requests, 1u);
  EXPECT_EQ(c.file_info_requests, 1u);
  EXPECT_EQ(c.data_pieces + c.digest_confirmed_pieces, 0u);
  EXPECT_EQ(LocalFiles(), std::vector<std::string>{"Nimbara.exe"});
  struct stat after;
  ASSERT_EQ(stat(target_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "the target was replaced";
  EXPECT_TRUE(label_.history.empty()) << "no status text in the unchanged case";
}

TEST_F(DownloadTest, SameMomentWrittenDifferentlyIsNotUnchanged) {
  const std::string content = ExecutableLikeBytes(2 * kPiece);
  Serve(content);
  std::u16string error;
  ASSERT_TRUE(Download(error)) << Narrow(error);
  ResetCounters();
  // "0123|456" names the same moment as "123|456" but is another text.
  RewriteInfo([](const std::string& payload) {
    const size_t last = payload.rfind(',');
    return payload.substr(0, last + 1) + "0" + payload.substr(last + 1);
  });
  ASSERT_TRUE(Download(error)) << Narrow(error);
  EXPECT_EQ(Counters().digest_confirmed_pieces, 2u);
  EXPECT_EQ(Counters().data_pieces, 0u);
  EXPECT_TRUE(SameBytes(ReadFileBytes(target_), content));
}

TEST_F(DownloadTest, SameContentOtherTimeIsConfirmedPieceByPiece) {
  const std::string content = ExecutableLikeBytes(5 * kPiece + 123);
  Serve(content);
  WriteFileBytes(target_, content);
  chmod(target_.c_str(), 0750);
  SetTimes(target_, kServerAccessTime, kServerWriteTime - 10000000);

  std::u16string error;
  ASSERT_TRUE(Download(error)) << Narrow(error);
  const TServerCounters c = Counters();
  EXPECT_EQ(c.digest_confirmed_pieces, 6u);
  EXPECT_EQ(c.data_pieces, 0u);
  for (const TPieceRequest& p : Pieces()) EXPECT_EQ(p.digest.size(), 32u);
  EXPECT_TRUE(SameBytes(ReadFileBytes(target_), content));
  EXPECT_EQ(WriteTimeOf(target_), kServerWriteTime);
  EXPECT_EQ(ModeOf(target_), 0750u) << "the replaced target's permission bits stay";
  EXPECT_EQ(LocalFiles(), std::vector<std::string>{"Nimbara.exe"});
}

TEST_F(DownloadTest, ChangedPiecesAloneAreTransferred) {
  std::string content = ExecutableLikeBytes(8 * kPiece);
  WriteFileBytes(target_, content);
  content[2 * kPiece + 7] ^= 0x55;
  content[6 * kPiece] ^= 0x55;
  Serve(content);
  std::u16string error;
  ASSERT_TRUE(Download(error)) << Narrow(error);
  EXPECT_EQ(Counters().data_pieces, 2u);
  EXPECT_EQ(Counters().digest_confirmed_pieces, 6u);
  EXPECT_TRUE(SameBytes(ReadFileBytes(target_), content));
}

TEST_F(DownloadTest, PieceAsLongAsADigestIsStillData) {
  // 32 bytes on both sides but different: the digest goes along, the server
  // answers with its 32 bytes, which are data, not a confirmation.
  const std::string content = "0123456789ABCDEF0123456789ABCDEF";
  Serve(content);
  WriteFileBytes(target_, "FEDCBA9876543210FEDCBA9876543210");
  std::u16string error;
  ASSERT_TRUE(Download(error)) << Narrow(error);
  ASSERT_EQ(Pieces().size(), 1u);
  EXPECT_EQ(Pieces()[0].digest.size(), 32u);
  EXPECT_EQ(Counters().data_pieces, 1u);
  EXPECT_EQ(ReadFileBytes(target_), content);
}

TEST_F(DownloadTest, CancelledRunIsResumedByTheNextOne) {
  const std::string old_content = "an older browser";
  WriteFileBytes(target_, old_content);
  const std::string content = ExecutableLikeBytes(10 * kPiece + 17);
  Serve(content);

  TCancelToken token;
  TRunControl run;
  run.Terminated = &token;
  // The window is closed once three pieces are on disk; that is noticed at
  // the progress step of piece 4, whose request is still made, and the run
  // stops before piece 5.
  run.ProcessMessages = [&] {
    struct stat st;
    if (stat(NewFile().c_str(), &st) == 0 && st.st_size >= 3 * kPiece) token.Cancel();
  };
  std::u16string error;
  ASSERT_FALSE(Download(error, run));
  EXPECT_EQ(error, u"系統停止01");
  EXPECT_EQ(ReadFileBytes(target_), old_content);
  EXPECT_TRUE(SameBytes(ReadFileBytes(NewFile()), content.substr(0, 4 * kPiece)));
  EXPECT_EQ(Counters().data_pieces, 4u);

  ResetCounters();
  ASSERT_TRUE(Download(error)) << Narrow(error);
  EXPECT_EQ(Counters().digest_confirmed_pieces, 4u);
  EXPECT_EQ(Counters().data_pieces, 7u);
  EXPECT_TRUE(SameBytes(ReadFileBytes(target_), content));
  EXPECT_EQ(LocalFiles(), std::vector<std::string>{"Nimbara.exe"});
}

TEST_F(DownloadTest, CancelledDuringTheDigestPass) {
  const std::string content = ExecutableLikeBytes(4 * kPiece);
  WriteFileBytes(target_, content);
  Serve(content + "x");
  // Closed before the first pass, and closed after the first pass (the
  // second piece is then being digested alongside).
  for (int64_t close_at : {0, 1}) {
    SCOPED_TRACE(close_at);
    TCancelToken token;
    if (close_at == 0) token.Cancel();
    TRunControl run;
    run.Terminated = &token;
    run.ProcessMessages = [&] {
      if (label_.text() == u"Nimbara.exe  資料分析中..." && bar_.position() == close_at)
        token.Cancel();
    };
    std::u16string error;
    ASSERT_FALSE(Download(error, run));
    EXPECT_EQ(error, u"系統停止01");
    EXPECT_EQ(Counters().data_pieces + Counters().digest_confirmed_pieces, 0u);
    EXPECT_TRUE(SameBytes(ReadFileBytes(target_), content));
    EXPECT_EQ(bar_.position(), close_at);
  }
}

TEST_F(DownloadTest, KilledProcessIsResumedByTheNextRun) {
  const std::string content = ExecutableLikeBytes(12 * kPiece + 99);
  Serve(content);
  constexpr int kWritten = 5;
  CloseGateFrom(kWritten * kPiece);

  const std::string child = std::string(CORVANE_BIN_DIR) + "/sync_download_child";
  const std::string port = std::to_string(server_->Port());
  const std::string piece = std::to_string(kPiece);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(child.c_str(), child.c_str(), "127.0.0.1", port.c_str(), Narrow(kServerName).c_str(),
          target_.c_str(), piece.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait until the child has written the pieces before the gate.
  bool reached = false;
  for (int i = 0; i < 2000 && !reached; ++i) {
    struct stat st;
    reached = stat(NewFile().c_str(), &st) == 0 && st.st_size >= kWritten * kPiece;
    if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  OpenGate();
  ASSERT_TRUE(reached) << "the child never wrote " << kWritten << " pieces";
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(PathExists(target_));
  EXPECT_TRUE(SameBytes(ReadFileBytes(NewFile()), content.substr(0, kWritten * kPiece)));

  // Let the held request of the dead child finish before counting afresh.
  for (int i = 0; i < 500 && Counters().data_pieces < kWritten + 1u; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ResetCounters();
  std::u16string error;
  ASSERT_TRUE(Download(error)) << Narrow(error);
  EXPECT_EQ(Counters().digest_confirmed_pieces, static_cast<uint64_t>(kWritten));
  EXPECT_EQ(Counters().data_pieces, 13u - kWritten);
  EXPECT_TRUE(SameBytes(ReadFileBytes(target_), content));
  EXPECT_EQ(LocalFiles(), std::vector<std::string>{"Nimbara.exe"});
}

TEST_F(DownloadTest, ServerSizeZeroEmptiesTheTarget) {
  Serve("");
  WriteFileBytes(target_, "old content");
  std::u16string error;
  ASSERT_TRUE(Download(error)) << Narrow(error);
  EXPECT_EQ(ReadFileBytes(target_), "");
  EXPECT_EQ(WriteTimeOf(target_), kServerWriteTime);
  EXPECT_EQ(Counters().requests, 1u);
  EXPECT_TRUE(Pieces().empty());
  EXPECT_EQ(LocalFiles(), std::vector<std::string>{"Nimbara.exe"});
}

TEST_F(DownloadTest, ExactMultipleOfThePieceSize) {
  const std::string content = ExecutableLikeBytes(3 * kPiece);
  WriteFileBytes(target_, content);
  Serve(content);
  SetTimes(target_, kServerAccessTime, kServerWriteTime + 1);
  std::u16string error;
  ASSERT_TRUE(Download(error)) << Narrow(error);
  const std::vector<TPieceRequest> pieces = Pieces();
  ASSERT_EQ(pieces.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pieces[i].offset, i * kPiece);
    EXPECT_EQ(pieces[i].length, kPiece);
  }
  EXPECT_EQ(Counters().digest_confirmed_pieces, 3u);
  // The digest pass (after the wait for the target): three pieces and the
  // read of 0 bytes that ends it.
  const auto pass = std::find(bar_.events.begin(), bar_.events.end(), "max=3");
  ASSERT_GE(bar_.events.end() - pass, 6);
  const std::vector<std::string> digest_pass(pass, pass + 6);
  EXPECT_EQ(digest_pass,
            (std::vector<std::string>{"max=3", "pos=0", "pos=1", "pos=2", "pos=3", "pos=4"}));
  EXPECT_TRUE(SameBytes(ReadFileBytes(target_), content));
}

TEST_F(DownloadTest, WrongPieceLengthsAreRetriedThenFailTheRun) {
  struct Case {
    const char* name;
    int bad_answers;  // answers of piece 2 that come one byte short
    bool ok;
  } cases[] = {{"one short answer, then right", 1, true}, {"always short", 1000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string old_content = "old browser";
    WriteFileBytes(target_, old_content);
    SetTimes(target_, kServerAccessTime, kServerWriteTime - 1);
    std::remove(NewFile().c_str());
    std::remove(ReferenceFile().c_str());
    const std::string content = ExecutableLikeBytes(4 * kPiece);
    Serve(content);
    ResetCounters();
    int bad = c.bad_answers;
    RewritePieces([&bad](int64_t offset, std::string& payload) {
      if (offset == kPiece && bad > 0) {
        --bad;
        payload.pop_back();
      }
    });
    std::u16string error = u"untouched";
    const bool ok = Download(error);
    RewritePieces(nullptr);
    ASSERT_EQ(ok, c.ok) << Narrow(error);
    int asked = 0;
    for (const TPieceRequest& p : Pieces()) asked += p.offset == kPiece;
    if (c.ok) {
      EXPECT_EQ(asked, 2);
      EXPECT_TRUE(SameBytes(ReadFileBytes(target_), content));
    } else {
      EXPECT_EQ(asked, 11);
      EXPECT_EQ(Narrow(error).rfind("下載的資料長度不符： ", 0), 0u) << Narrow(error);
      EXPECT_NE(Narrow(error).find("_BE:4096 _LEN:4096, 4095 bytes"), std::string::npos)
          << Narrow(error);
      EXPECT_EQ(ReadFileBytes(target_), old_content);
      EXPECT_EQ(WriteTimeOf(target_), kServerWriteTime - 1);
      EXPECT_TRUE(SameBytes(ReadFileBytes(NewFile()), content.substr(0, kPiece)))
          << "only the good piece";
    }
  }
}

TEST_F(DownloadTest, TargetHeldByARunningProgramIsWaitedFor) {
  Serve(ExecutableLikeBytes(kPiece));
  TRunningProgram program(target_);
  program.Start();
  // The program ends after about a second; the run waits for it.
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    program.Stop();
  });
  std::u16string error;
  const bool ok = Download(error);
  stopper.join();
  ASSERT_TRUE(ok) << Narrow(error);
  EXPECT_TRUE(SameBytes(ReadFileBytes(target_), ReadFileBytes(server_path_)));
  EXPECT_EQ(ModeOf(target_), 0755u);
  ASSERT_GE(bar_.events.size(), 6u);
  EXPECT_EQ(bar_.events[0], "max=100");
  EXPECT_EQ(bar_.events[1], "pos=0");
  EXPECT_EQ(bar_.events[2], "pos=1");
}

// Takes the full 100 waits of 200 ms.
TEST_F(DownloadTest, TargetHeldByARunningProgramFailsAfterTwentySeconds) {
  Serve(ExecutableLikeBytes(kPiece));
  TRunningProgram program(target_);
  program.Start(120);
  const std::string before = ReadFileBytes(target_);
  std::u16string error;
  ASSERT_FALSE(Download(error));
  EXPECT_EQ(error, u"檔案無法寫入： " + WidePath(target_));
  EXPECT_EQ(Counters().requests, 0u);
  EXPECT_EQ(bar_.events.back(), "pos=100");
  EXPECT_TRUE(SameBytes(ReadFileBytes(target_), before));
  EXPECT_EQ(LocalFiles(), std::vector<std::string>{"Nimbara.exe"});
}

TEST_F(DownloadTest, TimeTextWithoutBarFailsAfterThePiecesAndTheNextRunReusesThem) {
  const std::string content = ExecutableLikeBytes(3 * kPiece + 1);
  Serve(content);
  WriteFileBytes(target_, "old");
  RewriteInfo([](const std::string& payload) {
    const size_t last = payload.rfind(',');
    std::string time = payload.substr(last + 1);
    time.erase(time.find('|'), 1);
    return payload.substr(0, last + 1) + time;
  });
  std::u16string error = u"untouched";
  ASSERT_FALSE(Download(error));
  EXPECT_EQ(error, u"untouched");
  EXPECT_EQ(ReadFileBytes(target_), "old");
  EXPECT_TRUE(SameBytes(ReadFileBytes(NewFile()), content));
  EXPECT_TRUE(PathExists(ReferenceFile()));
  EXPECT_EQ(Counters().data_pieces, 4u);

  RewriteInfo(nullptr);
  ResetCounters();
  ASSERT_TRUE(Download(error)) << Narrow(error);
  EXPECT_EQ(Counters().digest_confirmed_pieces, 4u);
  EXPECT_EQ(Counters().data_pieces, 0u);
  EXPECT_TRUE(SameBytes(ReadFileBytes(target_), content));
}

TEST_F(DownloadTest, UnusableFileInformationEndsTheRunBeforeAnyFileWork) {
  Serve(ExecutableLikeBytes(kPiece));
  WriteFileBytes(target_, "old");
  for (const char* payload : {"4096,1|2,3|4", "abc,1|2,3|4,5|6", "-1,1|2,3|4,5|6",
                              "4294967296,1|2,3|4,5|6", ""}) {
    SCOPED_TRACE(payload);
    RewriteInfo([payload](const std::string&) { return std::string(payload); });
    std::u16string error = u"untouched";
    EXPECT_FALSE(Download(error));
    EXPECT_EQ(error, u"untouched");
    EXPECT_TRUE(Pieces().empty());
    EXPECT_EQ(ReadFileBytes(target_), "old");
    EXPECT_EQ(LocalFiles(), std::vector<std::string>{"Nimbara.exe"});
  }
}

TEST_F(DownloadTest, MissingServerFileReportsTheServersMessage) {
  std::u16string error;
  ASSERT_FALSE(Download(error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(PathExists(target_));
  EXPECT_TRUE(LocalFiles().empty());
}

TEST_F(DownloadTest, WithoutReplaceTheContentStaysInTheNewFile) {
  const std::string content = ExecutableLikeBytes(2 * kPiece + 3);
  Serve(content);
  WriteFileBytes(target_, "old");
  std::u16string error;
  ASSERT_TRUE(Download(error, {}, /*replace=*/false)) << Narrow(error);
  EXPECT_EQ(ReadFileBytes(target_), "old");
  EXPECT_TRUE(SameBytes(ReadFileBytes(NewFile()), content));
  EXPECT_EQ(WriteTimeOf(NewFile()), kServerWriteTime);
  EXPECT_FALSE(PathExists(ReferenceFile()));
}

TEST_F(DownloadTest, FolderInTheTargetsPlaceFailsTheReplacement) {
  const std::string content = ExecutableLikeBytes(kPiece + 1);
  Serve(content);
  std::filesystem::create_directories(target_ + "/inside");
  std::u16string error;
  ASSERT_FALSE(Download(error));
  EXPECT_EQ(error, u"無法改變檔名： " + WidePath(NewFile()) + u" => " + WidePath(target_));
  EXPECT_TRUE(SameBytes(ReadFileBytes(NewFile()), content)) << "the complete content stays";
  EXPECT_TRUE(PathExists(target_ + "/inside"));
  EXPECT_FALSE(PathExists(ReferenceFile()));
}

TEST_F(DownloadTest, ReadOnlyTargetServesAsReferenceWithoutReplace) {
  std::string content = ExecutableLikeBytes(3 * kPiece);
  WriteFileBytes(target_, content);
  chmod(target_.c_str(), 0444);
  content[kPiece] ^= 1;
  Serve(content);
  std::u16string error;
  ASSERT_TRUE(Download(error, {}, /*replace=*/false)) << Narrow(error);
  EXPECT_EQ(Counters().digest_confirmed_pieces, 2u);
  EXPECT_EQ(Counters().data_pieces, 1u);
  EXPECT_TRUE(SameBytes(ReadFileBytes(NewFile()), content));
  EXPECT_EQ(ModeOf(target_), 0444u);
  EXPECT_FALSE(SameBytes(ReadFileBytes(target_), content));
}


// The old browser serves as the reference under a second name. While it
// runs it cannot be opened for writing, and a leftover second name of a
// read-only browser is removed without making the browser writable.
TEST_F(DownloadTest, RunningReadOnlyTargetServesAsReferenceWithoutReplace) {
  TRunningProgram program(target_);
  program.Start(30);
  std::string content = ReadFileBytes(target_);
  chmod(target_.c_str(), 0555);
  ASSERT_EQ(link(target_.c_str(), ReferenceFile().c_str()), 0);  // left by a killed run
  content[content.size() / 2] ^= 1;
  Serve(content);
  std::u16string error;
  const bool ok = Download(error, {}, /*replace=*/false);
  program.Stop();
  ASSERT_TRUE(ok) << Narrow(error);
  EXPECT_GE(Counters().digest_confirmed_pieces, 1u);
  EXPECT_EQ(Counters().data_pieces, 1u);
  EXPECT_TRUE(SameBytes(ReadFileBytes(NewFile()), content));
  EXPECT_EQ(ModeOf(target_), 0555u);
  EXPECT_FALSE(PathExists(ReferenceFile()));
}

}  // namespace
