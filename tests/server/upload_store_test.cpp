// Upload streams: identifiers, appending in order, use-once, limits and the
// idle drop.

#include "upload_store.h"

#include <gtest/gtest.h>

#include <set>

#include "support/test_support.h"

namespace {

struct TFakeClock {
  std::chrono::steady_clock::time_point now{};
  TUploadStore::TClock Function() {
    return [this] { return now; };
  }
};

TEST(UploadStoreTest, IdentifiersAreDistinctHexOf128Bits) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string id, error;
    ASSERT_TRUE(RandomStreamId(&id, &error)) << error;
    ASSERT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(UploadStoreTest, PiecesComeBackInOrderOnceOnly) {
  TTempDir dir;
  TUploadStore store(dir.path(), TUploadStore::TLimits());
  std::string id, error;
  ASSERT_TRUE(store.Open(&id, &error)) << error;
  EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{id + ".upload"});
  int64_t total = 0;
  ASSERT_TRUE(store.Append(id, "first-", &total, &error)) << error;
  EXPECT_EQ(total, 6);
  ASSERT_TRUE(store.Append(id, std::string("\0second", 7), &total, &error)) << error;
  EXPECT_EQ(total, 13);

  std::string bytes;
  ASSERT_TRUE(store.Take(id, &bytes, &error)) << error;
  EXPECT_EQ(bytes, std::string("first-\0second", 13));
  EXPECT_TRUE(ListFolder(dir.path()).empty());

  // Used up: neither taking nor appending again works.
  EXPECT_FALSE(store.Take(id, &bytes, &error));
  EXPECT_EQ(error, "unknown upload stream id");
  EXPECT_FALSE(store.Append(id, "x", &total, &error));
  EXPECT_EQ(error, "unknown upload stream id");
}

TEST(UploadStoreTest, UnknownAndMalformedIdentifiersAreRefused) {
  TTempDir dir;
  TUploadStore store(dir.path(), TUploadStore::TLimits());
  std::string id, error, bytes;
  ASSERT_TRUE(store.Open(&id, &error));
  int64_t total = 0;
  for (const std::string& bad :
       {std::string("00000000000000000000000000000000"), id + "0", std::string("../../etc/passwd"),
        std::string(), std::string(id).replace(0, 1, "a")}) {
    EXPECT_FALSE(store.Append(bad, "x", &total, &error)) << bad;
    EXPECT_FALSE(store.Take(bad, &bytes, &error)) << bad;
    EXPECT_EQ(error, "unknown upload stream id");
  }
  EXPECT_EQ(store.OpenCount(), 1);
}

TEST(UploadStoreTest, GrowingPastTheLimitDropsTheStream) {
  TTempDir dir;
  TUploadStore::TLimits limits;
  limits.stream_bytes = 10;
  TUploadStore store(dir.path(), limits);
  std::string id, error;
  ASSERT_TRUE(store.Open(&id, &error));
  int64_t total = 0;
  ASSERT_TRUE(store.Append(id, "1234567890", &total, &error)) << error;  // exactly the limit
  EXPECT_FALSE(store.Append(id, "1", &total, &error));
  EXPECT_EQ(error, "upload stream dropped: it would grow past 10 bytes");
  EXPECT_EQ(store.OpenCount(), 0);
  EXPECT_TRUE(ListFolder(dir.path()).empty());
  std::string bytes;
  EXPECT_FALSE(store.Take(id, &bytes, &error));
}

TEST(UploadStoreTest, NumberOfOpenStreamsIsCapped) {
  TTempDir dir;
  TUploadStore::TLimits limits;
  limits.max_streams = 3;
  TUploadStore store(dir.path(), limits);
  std::string id, error, bytes;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(store.Open(&id, &error)) << error;
  EXPECT_FALSE(store.Open(&id, &error));
  EXPECT_EQ(error, "too many open upload streams (3)");
  ASSERT_TRUE(store.Take(id, &bytes, &error));  // using one up frees a place
  EXPECT_TRUE(store.Open(&id, &error)) << error;
}

TEST(UploadStoreTest, IdleStreamsAreDroppedAfterTheIdleLimit) {
  TTempDir dir;
  TFakeClock clock;
  TUploadStore::TLimits limits;
  limits.idle = std::chrono::seconds(600);
  TUploadStore store(dir.path(), limits, clock.Function());
  std::string idle_id, busy_id, error;
  ASSERT_TRUE(store.Open(&idle_id, &error));
  ASSERT_TRUE(store.Open(&busy_id, &error));
  int64_t total = 0;
  clock.now += std::chrono::seconds(400);
  ASSERT_TRUE(store.Append(busy_id, "x", &total, &error));
  clock.now += std::chrono::seconds(200);  // idle one: exactly 600 s, not yet over
  EXPECT_EQ(store.DropIdle(), 0);
  clock.now += std::chrono::seconds(1);
  EXPECT_EQ(store.DropIdle(), 1);
  EXPECT_FALSE(store.Append(idle_id, "x", &total, &error));
  EXPECT_TRUE(store.Append(busy_id, "y", &total, &error)) << error;
  EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{busy_id + ".upload"});
}

TEST(UploadStoreTest, DestructionDeletesOpenStreamFiles) {
  TTempDir dir;
  {
    TUploadStore store(dir.path(), TUploadStore::TLimits());
    std::string id, error;
    ASSERT_TRUE(store.Open(&id, &error));
    ASSERT_EQ(ListFolder(dir.path()).size(), 1u);
  }
  EXPECT_TRUE(ListFolder(dir.path()).empty());
}

}  // namespace
