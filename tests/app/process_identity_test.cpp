#include "app/process_identity.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>

#include "pack/text_encodings.h"

namespace {

std::string OwnExe() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  return n > 0 ? std::string(buffer, n) : std::string();
}

TEST(ProcessIdentityTest, ThisProcessAndItsParent) {
  EXPECT_EQ(CurrentProcessId(), static_cast<int64_t>(getpid()));
  EXPECT_EQ(ParentProcessId(CurrentProcessId()), static_cast<int64_t>(getppid()));
  EXPECT_EQ(WideToUtf8(ProcessExeName(CurrentProcessId())), OwnExe());
  EXPECT_FALSE(OwnExe().empty());
}

// A child whose command name holds blanks and parentheses, then the same
// identifier once the child is gone.
TEST(ProcessIdentityTest, ChildWithAnAwkwardNameAndAVanishedProcess) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    prctl(PR_SET_NAME, "x) 1 (y 2", 0, 0, 0);
    if (write(ready[1], "r", 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);

  EXPECT_EQ(ParentProcessId(child), static_cast<int64_t>(getpid()));
  EXPECT_EQ(WideToUtf8(ProcessExeName(child)), OwnExe());

  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(ParentProcessId(child), 0);
  EXPECT_EQ(ProcessExeName(child), u"");
}

TEST(ProcessIdentityTest, ImpossibleIdentifiers) {
  for (int64_t pid : {int64_t{0}, int64_t{-1}, int64_t{1} << 40}) {
    EXPECT_EQ(ParentProcessId(pid), 0) << pid;
    EXPECT_EQ(ProcessExeName(pid), u"") << pid;
  }
}

}  // namespace
