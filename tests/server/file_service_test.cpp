// The file service directly: what the cache holds after a piece was served,
// and the packing ahead of the next pieces.

#include "file_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "server_files.h"
#include "support/test_support.h"

namespace {

TServerRequest PieceRequest(const std::string& name, int64_t offset, int64_t length) {
  TServerRequest request;
  request.command = "GET_SERVER_FILE_STREAM";
  request.items = {
      {"_FILENAME", name}, {"_BE", std::to_string(offset)}, {"_LEN", std::to_string(length)}};
  return request;
}

class FileServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    content_ = ExecutableLikeBytes(10 * 65536 + 100);
    WriteFileBytes(dir_.File("app.exe"), content_);
    std::string error;
    ASSERT_TRUE(ResolveServedRoot(dir_.path(), &settings_.real_root, &error));
  }
  TTempDir dir_;
  std::string content_;
  TFileService::TSettings settings_;
  TAtomicCounters counters_;
};

TEST_F(FileServiceTest, ServingAPiecePacksTheNextPiecesAhead) {
  settings_.prefetch_depth = 4;
  TFileService service(settings_, &counters_);
  TServerAnswer answer = service.Stream(PieceRequest("app.exe", 0, 65536));
  ASSERT_TRUE(answer.ok) << answer.error_text;
  ASSERT_TRUE(answer.framed);
  service.WaitPrefetchIdle();
  EXPECT_EQ(service.cache().EntryCount(), 1 + 4);

  // The next piece comes from the cache: the same prepared frame object.
  answer = service.Stream(PieceRequest("app.exe", 65536, 65536));
  ASSERT_TRUE(answer.ok);
  EXPECT_EQ(answer.payload, content_.substr(65536, 65536));
  service.WaitPrefetchIdle();
  EXPECT_EQ(service.cache().EntryCount(), 1 + 5);

  // Near the end the last, shorter piece is packed with its own length.
  answer = service.Stream(PieceRequest("app.exe", 9 * 65536, 65536));
  ASSERT_TRUE(answer.ok);
  service.WaitPrefetchIdle();
  const TServerAnswer last = service.Stream(PieceRequest("app.exe", 10 * 65536, 100));
  ASSERT_TRUE(last.ok);
  EXPECT_EQ(last.payload, content_.substr(10 * 65536));
  EXPECT_EQ(counters_.data_pieces.load(), 4u);
}

TEST_F(FileServiceTest, NoPrefetchAndNoCacheWhenTurnedOff) {
  settings_.prefetch = false;
  {
    TFileService service(settings_, &counters_);
    ASSERT_TRUE(service.Stream(PieceRequest("app.exe", 0, 65536)).ok);
    service.WaitPrefetchIdle();
    EXPECT_EQ(service.cache().EntryCount(), 1);
  }
  settings_.prefetch = true;
  settings_.cache_bytes = 0;
  TFileService service(settings_, &counters_);
  const TServerAnswer answer = service.Stream(PieceRequest("app.exe", 0, 65536));
  ASSERT_TRUE(answer.ok);
  EXPECT_FALSE(answer.framed);  // framed afresh for each request
  EXPECT_EQ(answer.payload, content_.substr(0, 65536));
  EXPECT_EQ(service.cache().EntryCount(), 0);
}

}  // namespace
