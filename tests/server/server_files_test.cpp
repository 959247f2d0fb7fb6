// Server file names below the served folder, file time texts, the piece
// cache's budget, and the command line.

#include "server_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "piece_cache.h"
#include "server_options.h"
#include "support/test_support.h"

namespace {

class ServerFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    mkdir((dir_.path() + "/root").c_str(), 0755);
    mkdir((dir_.path() + "/root/_WEBPATH").c_str(), 0755);
    mkdir((dir_.path() + "/root/_WEBPATH/CorvanePage").c_str(), 0755);
    WriteFileBytes(dir_.path() + "/root/_WEBPATH/CorvanePage/Nimbara.exe", "exe bytes");
    WriteFileBytes(dir_.path() + "/secret.txt", "outside");
    ASSERT_TRUE(ResolveServedRoot(dir_.path() + "/root", &root_, &error)) << error;
  }
  TTempDir dir_;
  std::string root_;
};

TEST_F(ServerFilesTest, NamesMapBelowTheRootWithEitherSeparator) {
  for (const std::string name :
       {"_WEBPATH\\CorvanePage\\Nimbara.exe", "_WEBPATH/CorvanePage/Nimbara.exe",
        "_WEBPATH\\CorvanePage/Nimbara.exe"}) {
    TServerFile file;
    std::string error, bytes;
    ASSERT_TRUE(OpenServerFile(root_, name, &file, &error)) << name << ": " << error;
    EXPECT_EQ(file.size, 9);
    ASSERT_TRUE(file.ReadPiece(4, 5, &bytes, &error)) << error;
    EXPECT_EQ(bytes, "bytes");
  }
}

TEST_F(ServerFilesTest, RefusesNamesThatLeaveTheRootOrAreNoFile) {
  ASSERT_EQ(symlink((dir_.path() + "/secret.txt").c_str(), (root_ + "/out.lnk").c_str()), 0);
  ASSERT_EQ(symlink("../secret.txt", (root_ + "/rel.lnk").c_str()), 0);
  ASSERT_EQ(symlink(dir_.path().c_str(), (root_ + "/dirlink").c_str()), 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "empty server file name"},
      {std::string("_WEBPATH\\a\0b", 12), "server file name holds a NUL byte"},
      {"\\_WEBPATH\\x", "absolute server file name refused: \\_WEBPATH\\x"},
      {"/etc/passwd", "absolute server file name refused: /etc/passwd"},
      {"\\\\host\\share\\x", "absolute server file name refused: \\\\host\\share\\x"},
      {"C:\\Windows\\x", "server file name with a drive letter refused: C:\\Windows\\x"},
      {"c:x", "server file name with a drive letter refused: c:x"},
      {"..\\secret.txt",
       "server file name with an empty, \".\" or \"..\" component refused: "
       "..\\secret.txt"},
      {"_WEBPATH\\..\\..\\secret.txt",
       "server file name with an empty, \".\" or \"..\" "
       "component refused: _WEBPATH\\..\\..\\secret.txt"},
      {"_WEBPATH\\\\x",
       "server file name with an empty, \".\" or \"..\" component refused: "
       "_WEBPATH\\\\x"},
      {"_WEBPATH\\",
       "server file name with an empty, \".\" or \"..\" component refused: "
       "_WEBPATH\\"},
      {".\\_WEBPATH",
       "server file name with an empty, \".\" or \"..\" component refused: "
       ".\\_WEBPATH"},
      {"out.lnk", "server file name leads outside the served folder: out.lnk"},
      {"rel.lnk", "server file name leads outside the served folder: rel.lnk"},
      {"dirlink\\secret.txt",
       "server file name leads outside the served folder: "
       "dirlink\\secret.txt"},
      {"_WEBPATH\\CorvanePage\\Missing.exe", "file not found: _WEBPATH\\CorvanePage\\Missing.exe"},
      {"_WEBPATH\\CorvanePage\\Nimbara.exe\\x",
       "file not found: "
       "_WEBPATH\\CorvanePage\\Nimbara.exe\\x"},
      {"_WEBPATH\\CorvanePage", "not a regular file: _WEBPATH\\CorvanePage"},
  };
  for (const auto& [name, expected] : cases) {
    TServerFile file;
    std::string error;
    EXPECT_FALSE(OpenServerFile(root_, name, &file, &error)) << name;
    EXPECT_EQ(error, expected);
    EXPECT_FALSE(file.is_open());
  }
}

TEST_F(ServerFilesTest, SymbolicLinksInsideTheRootAreFollowed) {
  ASSERT_EQ(symlink("CorvanePage/Nimbara.exe", (root_ + "/_WEBPATH/current.exe").c_str()), 0);
  ASSERT_EQ(symlink((root_ + "/_WEBPATH").c_str(), (root_ + "/web").c_str()), 0);
  for (const std::string name : {"_WEBPATH\\current.exe", "web\\CorvanePage\\Nimbara.exe"}) {
    TServerFile file;
    std::string error;
    EXPECT_TRUE(OpenServerFile(root_, name, &file, &error)) << name << ": " << error;
    EXPECT_EQ(file.size, 9);
  }
}

TEST_F(ServerFilesTest, TimesComeFromTheFileAndChangesAreNoticed) {
  const std::string path = root_ + "/_WEBPATH/CorvanePage/Nimbara.exe";
  const struct timespec times[2] = {{1700000000, 0}, {1577934245, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  TServerFile file;
  std::string error;
  ASSERT_TRUE(OpenServerFile(root_, "_WEBPATH\\CorvanePage\\Nimbara.exe", &file, &error));
  EXPECT_EQ(FileTimeText(file.write_ns), "1255593735|30785817");
  EXPECT_EQ(FileTimeText(file.access_ns), "3329032192|31070023");
  // Created moments ago (birth time, or the status-change time where the
  // file system keeps no birth time).
  const int64_t now_ns = static_cast<int64_t>(time(nullptr)) * 1000000000LL;
  EXPECT_LT(std::llabs(file.creation_ns - now_ns), 120LL * 1000000000LL);
  EXPECT_TRUE(file.Unchanged());

  // Same size, write time put back: the status-change time still tells.
  usleep(20000);
  WriteFileBytes(path, "EXE BYTES");
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_FALSE(file.Unchanged());
}

TEST(FileTimeTextTest, WindowsFileTimeAsLowAndHighHalves) {
  const std::vector<std::pair<int64_t, std::string>> cases = {
      {0, "3577643008|27111902"},                                      // 1970-01-01
      {1577934245LL * 1000000000 + 123456789, "1255593735|30785817"},  // 100 ns units, truncated
      {1700000000LL * 1000000000, "3329032192|31070023"},
      {-1, "3577643007|27111902"},                     // before 1970: rounded down
      {-86400LL * 1000000000, "2866069504|27111701"},  // 1969-12-31
  };
  for (const auto& [ns, text] : cases) EXPECT_EQ(FileTimeText(ns), text) << ns;
}

TEST(PieceCacheTest, KeepsWithinItsBudgetEvictingTheLeastRecentlyUsed) {
  TPieceCache cache(3 * (1000 + 1 + 160));
  auto value = [](char c) {
    auto v = std::make_shared<TCachedPiece>();
    v->bytes.assign(1000, c);
    return v;
  };
  cache.Put("a", value('a'));
  cache.Put("b", value('b'));
  cache.Put("c", value('c'));
  ASSERT_TRUE(cache.Find("a"));  // a is now the most recent
  cache.Put("d", value('d'));    // evicts b
  EXPECT_TRUE(cache.Find("a"));
  EXPECT_FALSE(cache.Find("b"));
  EXPECT_TRUE(cache.Find("c"));
  EXPECT_EQ(cache.Find("d")->bytes, std::string(1000, 'd'));
  EXPECT_LE(cache.UsedBytes(), 3 * (1000 + 1 + 160));
  EXPECT_EQ(cache.EntryCount(), 3);

  cache.Put("c", value('C'));  // replacing keeps one entry
  EXPECT_EQ(cache.EntryCount(), 3);
  EXPECT_EQ(cache.Find("c")->bytes[0], 'C');

  auto huge = std::make_shared<TCachedPiece>();
  huge->bytes.assign(10000, 'h');
  cache.Put("h", huge);  // larger than the whole budget: not kept, nothing evicted
  EXPECT_FALSE(cache.Find("h"));
  EXPECT_EQ(cache.EntryCount(), 3);

  TPieceCache off(0);
  off.Put("a", value('a'));
  EXPECT_FALSE(off.Find("a"));
}

TEST(ServerOptionsTest, ParsesEveryOption) {
  TServerOptions o;
  bool help = true;
  std::string error;
  ASSERT_TRUE(ParseServerOptions({"--root",
                                  "/srv",
                                  "--listen",
                                  "127.0.0.1:9000",
                                  "--login-key=k1",
                                  "--threads",
                                  "8",
                                  "--max-connections",
                                  "50",
                                  "--upload-dir",
                                  "/tmp/u",
                                  "--upload-limit",
                                  "64M",
                                  "--cache",
                                  "1G",
                                  "--max-body",
                                  "512K",
                                  "--max-unpacked",
                                  "1048576",
                                  "--max-piece",
                                  "2M",
                                  "--timeout",
                                  "5",
                                  "--max-upload-streams",
                                  "9",
                                  "--no-prefetch",
                                  "--quiet"},
                                 &o, &help, &error))
      << error;
  EXPECT_FALSE(help);
  EXPECT_EQ(o.root, "/srv");
  EXPECT_EQ(o.listen_address, "127.0.0.1");
  EXPECT_EQ(o.port, 9000);
  EXPECT_EQ(o.login_key, "k1");
  EXPECT_EQ(o.threads, 8);
  EXPECT_EQ(o.max_connections, 50);
  EXPECT_EQ(o.upload_dir, "/tmp/u");
  EXPECT_EQ(o.upload_limit, 64LL << 20);
  EXPECT_EQ(o.cache_bytes, 1LL << 30);
  EXPECT_EQ(o.max_body_bytes, 512LL << 10);
  EXPECT_EQ(o.max_unpacked_bytes, 1048576);
  EXPECT_EQ(o.max_piece_bytes, 2LL << 20);
  EXPECT_EQ(o.connection_timeout_seconds, 5);
  EXPECT_EQ(o.max_upload_streams, 9);
  EXPECT_FALSE(o.prefetch);
  EXPECT_FALSE(o.log_requests);

  TServerOptions defaults;
  ASSERT_TRUE(
      ParseServerOptions({"--root", "/srv", "--listen", "[::1]:0"}, &defaults, &help, &error));
  EXPECT_EQ(defaults.listen_address, "::1");
  EXPECT_EQ(defaults.port, 0);
  EXPECT_EQ(defaults.login_key, "pelkwarn");
  EXPECT_EQ(defaults.cache_bytes, 256LL << 20);

  ASSERT_TRUE(ParseServerOptions({"--help"}, &defaults, &help, &error));
  EXPECT_TRUE(help);
}

TEST(ServerOptionsTest, RefusesBadOptionsWithAMessageNamingThem) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "missing --root DIR (the folder to serve)"},
      {{"--root"}, "option --root needs a value"},
      {{"--root", "/r", "--bogus"}, "unknown option: --bogus"},
      {{"--root", "/r", "--listen", "127.0.0.1"},
       "bad value for --listen (ADDRESS:PORT): 127.0.0.1"},
      {{"--root", "/r", "--listen", "127.0.0.1:70000"},
       "bad value for --listen (ADDRESS:PORT): 127.0.0.1:70000"},
      {{"--root", "/r", "--threads", "0"}, "bad value for --threads (1 to 256): 0"},
      {{"--root", "/r", "--threads", "-2"}, "bad value for --threads (1 to 256): -2"},
      {{"--root", "/r", "--cache", "12X"}, "bad value for --cache (bytes): 12X"},
      {{"--root", "/r", "--cache", ""}, "bad value for --cache (bytes): "},
      {{"--root", "/r", "--quiet=1"}, "option --quiet takes no value"},
  };
  for (const auto& [args, expected] : cases) {
    TServerOptions o;
    bool help = false;
    std::string error;
    EXPECT_FALSE(ParseServerOptions(args, &o, &help, &error)) << expected;
    EXPECT_EQ(error, expected);
  }
}

}  // namespace
