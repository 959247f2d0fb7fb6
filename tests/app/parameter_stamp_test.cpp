#include "tools/parameter_stamp.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/exe_attach.h"
#include "app/run_program.h"
#include "support/test_support.h"

namespace {

const std::string kProbe = CORVANE_BIN_DIR "/app_launch_probe";
const std::string kStamp = CORVANE_BIN_DIR "/corvaneboot-stamp";

// "資" in UTF-8.
const std::string kZi = "\xe8\xb3\x87";

// A made-up program image: bytes around and between five delivered blocks.
std::string FixtureImage() {
  std::string image =
      "\x7f"
      "ELF some code";
  for (int n = 1; n <= kExeAttachBlockCount; ++n) {
    std::string area = "000";
    area.resize(kExeAttachPayloadAreaSize, '@');
    image += ExeAttachBeginMarker(n) + area + ExeAttachEndMarker(n) + std::string(n, '\0') + "x";
  }
  return image + "trailing data";
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(IsWellFormedUtf8Test, Table) {
  const struct {
    std::string bytes;
    bool ok;
  } cases[] = {
      {"", true},
      {"plain $ ascii", true},
      {kZi + "\xe5\x85\xac", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xed\x9f\xbf", true},       // U+D7FF, last before the surrogates
      {"\xf4\x8f\xbf\xbf", true},   // U+10FFFF   // U+1F600
      {"\xc3", false},              // cut short
      {kZi.substr(0, 2), false},    // cut short
      {"\xff", false},              // no lead byte
      {"\xc0\xaf", false},          // overlong "/"
      {"\xe0\x80\xaf", false},      // overlong "/"
      {"\xed\xa0\x80", false},      // surrogate
      {"\xf4\x90\x80\x80", false},  // above U+10FFFF
      {"\x80", false},              // lone continuation byte
      {"\xb8\xea\xae\xc6", false},  // code page 950 bytes
  };
  for (const auto& c : cases) EXPECT_EQ(IsWellFormedUtf8(c.bytes), c.ok) << HexBytes(c.bytes);
}

TEST(SplitParameterStringTest, FillsBlocksInOrderUpTo97Bytes) {
  std::vector<std::string> payloads;
  std::string error;

  ASSERT_TRUE(SplitParameterString("h$80$1$", payloads, error));
  EXPECT_EQ(payloads, (std::vector<std::string>{"h$80$1$", "", "", "", ""}));

  const std::string full(485, 'a');
  ASSERT_TRUE(SplitParameterString(full, payloads, error)) << error;
  for (const std::string& p : payloads) EXPECT_EQ(p, std::string(97, 'a'));

  // A multi-byte character across a block boundary is split as bytes.
  const std::string straddling = std::string(96, 'a') + kZi + "$";
  ASSERT_TRUE(SplitParameterString(straddling, payloads, error));
  EXPECT_EQ(payloads[0], std::string(96, 'a') + kZi.substr(0, 1));
  EXPECT_EQ(payloads[1], kZi.substr(1) + "$");

  // A full block may not end in a blank: the reader would trim it away.
  const std::string blank_at_97 = std::string(96, 'a') + " b$";
  ASSERT_TRUE(SplitParameterString(blank_at_97, payloads, error));
  EXPECT_EQ(payloads[0], std::string(96, 'a'));
  EXPECT_EQ(payloads[1], " b$");
}

TEST(SplitParameterStringTest, Refusals) {
  const struct {
    const char* name;
    std::string parameter;
    const char* message_part;
  } cases[] = {
      {"486 bytes", std::string(486, 'a'), "486 bytes"},
      {"not UTF-8", "h$80$\xff$", "not valid UTF-8"},
      {"no room to move a blank", std::string(96, 'a') + " " + std::string(388, 'b'),
       "does not fit"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> payloads = {"untouched"};
    std::string error;
    EXPECT_FALSE(SplitParameterString(c.parameter, payloads, error)) << c.name;
    EXPECT_NE(error.find(c.message_part), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(payloads, std::vector<std::string>{"untouched"}) << c.name;
  }
}

TEST(StampImageTest, RewritesOnlyThePayloadAreasAndReadsBack) {
  const std::string image = FixtureImage();
  const std::string parameter =
      "srv$8080$*DIR*/d$" + std::string(90, 'c') + kZi + "$" + std::string(200, 'i') + "$p$";
  std::string stamped, error;
  ASSERT_TRUE(StampImage(image, parameter, stamped, error)) << error;
  ASSERT_EQ(stamped.size(), image.size());

  std::vector<size_t> offsets;
  ASSERT_TRUE(FindParameterBlocks(stamped, offsets, error));
  for (size_t i = 0; i < image.size(); ++i) {
    bool in_area = false;
    for (size_t b : offsets)
      in_area |= i >= b + kExeAttachPayloadOffset && i < b + kExeAttachEndOffset;
    if (!in_area) {
      ASSERT_EQ(stamped[i], image[i]) << "byte " << i;
    }
  }
  EXPECT_EQ(stamped.substr(offsets[0] + 25, 3), "097");
  EXPECT_EQ(stamped.substr(offsets[4] + 25, 100), "000" + std::string(97, '@'));

  std::string back;
  ASSERT_TRUE(ReadStampedParameter(stamped, back, error)) << error;
  EXPECT_EQ(back, parameter);
}

TEST(FindParameterBlocksTest, RefusesMissingRepeatedOrMisplacedMarkers) {
  const std::string image = FixtureImage();
  const std::string block2 = image.substr(image.find(ExeAttachBeginMarker(2)), 148);
  const struct {
    const char* name;
    std::string image;
    const char* message_part;
  } cases[] = {
      {"no blocks", "just some bytes", "100$_ExeAttach_$001_Begin of parameter block 1 is missing"},
      {"end marker missing", Replace(image, ExeAttachEndMarker(3), std::string(23, '@')),
       "003_End of parameter block 3 is missing"},
      {"begin marker twice", image + block2, "occurs 2 times"},
      {"end marker twice", image + ExeAttachEndMarker(5), "005_End of parameter block 5 occurs 2"},
      {"block shortened", Replace(image, "000@", "000"), "block 1 is damaged"},
  };
  for (const auto& c : cases) {
    std::vector<size_t> offsets;
    std::string error;
    EXPECT_FALSE(FindParameterBlocks(c.image, offsets, error)) << c.name;
    EXPECT_NE(error.find(c.message_part), std::string::npos) << c.name << ": " << error;
    std::string stamped = "untouched";
    EXPECT_FALSE(StampImage(c.image, "h$1$", stamped, error)) << c.name;
    EXPECT_EQ(stamped, "untouched");
  }
}

// The real tool on a real program: stamp a copy, run it, read it back.
class StampToolTest : public ::testing::Test {
 protected:
  // Stamps a copy of the probe program with parameter; the copy's path.
  std::string StampedProbe(const std::string& parameter) {
    const std::string copy = temp_.File("probe-" + std::to_string(++copies_));
    const TRunResult stamp = RunProgram({kStamp, kProbe, copy, parameter});
    EXPECT_EQ(stamp.exit_status, 0) << stamp.err;
    EXPECT_EQ(stamp.err, "");
    return copy;
  }

  TTempDir temp_;
  int copies_ = 0;
};

std::string ProbeOutput(const std::string& messages, const std::string& from_command_line,
                        const std::string& host, const std::string& port, const std::string& dir,
                        const std::string& proxy, const std::string& module,
                        const std::string& cm_no, const std::string& login_id,
                        const std::string& login_pasw) {
  return messages + "FromCommandLine=" + from_command_line + "\nServerHost=" + host +
         "\nServerPort=" + port + "\nDataDir=" + dir + "\nProxyType=" + proxy +
         "\nModuleIndex=" + module + "\nCmNo=" + cm_no + "\nLoginId=" + login_id +
         "\nLoginPasw=" + login_pasw + "\n";
}

TEST_F(StampToolTest, StampedCopyRunsWithItsOwnParameters) {
  const std::string long_id = std::string(150, 'i');
  const std::string three_times = "message=mPARA_STR:\nmessage=mPARA_STR:\nmessage=mPARA_STR:\n";
  const struct {
    const char* name;
    std::string parameter;
    std::string output;
  } cases[] = {
      {"all blocks empty", "", ProbeOutput(three_times, "0", "", "0", "", "0", "0", "", "", "")},
      {"shorter than five characters", "ab$",
       ProbeOutput("message=mPARA_STR:ab$\nmessage=mPARA_STR:ab$\nmessage=mPARA_STR:ab$\n", "0",
                   "ab", "0", "", "0", "0", "", "", "")},
      {"every field", "srv.example:1$8080$*dir*/Data/Web$*PROXY*x$*$C01$user$pw$",
       ProbeOutput("", "0", "srv.example", "8080", "/Data/Web", "1", "-1", "C01", "user", "pw")},
      {"Chinese across blocks",
       "\xe4\xbc\xba$443$2$" + std::string(86, 'c') + kZi + kZi + "$" + long_id + "$" + kZi + "$",
       ProbeOutput("", "0", "\xe4\xbc\xba", "443", "", "0", "2", std::string(86, 'c') + kZi + kZi,
                   long_id, kZi)},
      {"blank at the end of a full block", "h$1$2$" + std::string(90, 'c') + " x$i$p$",
       ProbeOutput("", "0", "h", "1", "", "0", "2", std::string(90, 'c') + " x", "i", "p")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string copy = StampedProbe(c.parameter);
    const TRunResult run = RunProgram({copy});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, c.output);
  }
}

TEST_F(StampToolTest, CommandLineArgumentWinsOverTheBlocks) {
  const std::string copy = StampedProbe("blocks$1$1$");
  EXPECT_EQ(RunProgram({copy, "cli$2$3$a$b$c$"}).out,
            ProbeOutput("", "1", "cli", "2", "", "0", "3", "a", "b", "c"));
  // One to four characters from the command line: no message.
  EXPECT_EQ(RunProgram({copy, "x$"}).out, ProbeOutput("", "1", "x", "0", "", "0", "0", "", "", ""));
}

TEST_F(StampToolTest, ShowPrintsTheStringAndHowItParses) {
  const TRunResult delivered = RunProgram({kStamp, "--show", kProbe});
  EXPECT_EQ(delivered.exit_status, 0);
  EXPECT_EQ(delivered.out, "parameter string: " CORVANE_DEFAULT_SERVER_ADDRESS
                           "$80$1$\n"
                           "host: " CORVANE_DEFAULT_SERVER_ADDRESS
                           "\n"
                           "port: 80\nfolder: \nproxy: system proxy settings\nmodule: 1\n"
                           "CM_NO: \nLOGINID: \nLOGINPASW: \n");

  const std::string copy = StampedProbe("h:9$8080$*DIR*csidl_appdata$*proxy*$*$" + kZi + "$u$p$");
  const TRunResult shown = RunProgram({kStamp, "--show", copy});
  EXPECT_EQ(shown.exit_status, 0);
  EXPECT_EQ(shown.out, "parameter string: h:9$8080$*DIR*csidl_appdata$*proxy*$*$" + kZi +
                           "$u$p$\nhost: h\nport: 8080\nfolder: csidl_appdata\n"
                           "proxy: direct connection (*PROXY*)\nmodule: -1 (none)\nCM_NO: " +
                           kZi + "\nLOGINID: u\nLOGINPASW: p\n");

  const TRunResult bad_port = RunProgram({kStamp, "--show", StampedProbe("h$8o$1$")});
  EXPECT_EQ(bad_port.out,
            "parameter string: h$8o$1$\nhost: h\n"
            "port: not a decimal number; the launcher reads no further fields\n");
}

TEST_F(StampToolTest, KeepsPermissionBitsAndNeverChangesItsInput) {
  const std::string input = temp_.File("input");
  const std::string original = ReadFileBytes(kProbe);
  WriteFileBytes(input, original);
  ASSERT_EQ(chmod(input.c_str(), 0750), 0);
  const std::string output = temp_.File("output");
  WriteFileBytes(output, "an older output is replaced");
  const TRunResult stamp = RunProgram({kStamp, input, output, "h$1$2$"});
  ASSERT_EQ(stamp.exit_status, 0) << stamp.err;
  EXPECT_EQ(ReadFileBytes(input), original);
  struct stat st;
  ASSERT_EQ(stat(output.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_EQ(RunProgram({output}).out, ProbeOutput("", "0", "h", "1", "", "0", "2", "", "", ""));
  EXPECT_EQ(ListFolder(temp_.path()), (std::vector<std::string>{"input", "output"}));
}

TEST_F(StampToolTest, EveryRefusalFailsWithAMessageAndLeavesNoOutput) {
  const std::string image = ReadFileBytes(kProbe);
  const std::string input = temp_.File("input");
  WriteFileBytes(input, image);
  const std::string no_end = temp_.File("no-end");
  WriteFileBytes(no_end, Replace(image, ExeAttachEndMarker(4), std::string(23, '@')));
  const std::string twice = temp_.File("twice");
  WriteFileBytes(twice, image + ExeAttachBeginMarker(2));
  const std::string plain = temp_.File("plain");
  WriteFileBytes(plain, "#!/bin/sh\necho not a launcher\n");
  ASSERT_EQ(link(input.c_str(), temp_.File("hard-link").c_str()), 0);
  ASSERT_EQ(symlink(input.c_str(), temp_.File("sym-link").c_str()), 0);
  const std::vector<std::string> before = ListFolder(temp_.path());
  const std::string out = temp_.File("out");

  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* message_part;
  } cases[] = {
      {"over 485 bytes", {input, out, std::string(486, 'x')}, "486 bytes"},
      {"not UTF-8", {input, out, "h$1$\xb8\xea$"}, "not valid UTF-8"},
      {"cut UTF-8", {input, out, "h$1$\xe8\xb3"}, "not valid UTF-8"},
      {"no room to move a blank",
       {input, out, std::string(96, 'a') + " " + std::string(388, 'b')},
       "does not fit"},
      {"end marker missing", {no_end, out, "h$1$"}, "004_End of parameter block 4 is missing"},
      {"marker twice", {twice, out, "h$1$"}, "occurs 2 times"},
      {"no markers", {plain, out, "h$1$"}, "is missing"},
      {"input missing", {temp_.File("nothing"), out, "h$1$"}, "cannot open"},
      {"output is input", {input, input, "h$1$"}, "output path is the input"},
      {"output is a hard link", {input, temp_.File("hard-link"), "h$1$"}, "under another name"},
      {"output is a symbolic link", {input, temp_.File("sym-link"), "h$1$"}, "under another name"},
      {"output by another path", {input, temp_.path() + "/./input", "h$1$"}, "under another name"},
      {"output folder missing", {input, temp_.File("none/out"), "h$1$"}, "cannot create"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {kStamp};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const TRunResult run = RunProgram(argv);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err.rfind("corvaneboot-stamp: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.message_part), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(ListFolder(temp_.path()), before);
    EXPECT_EQ(ReadFileBytes(input), image);
  }

  EXPECT_EQ(RunProgram({kStamp}).exit_status, 2);
  EXPECT_EQ(RunProgram({kStamp, "--show"}).exit_status, 2);
  EXPECT_EQ(RunProgram({kStamp, "--show", no_end}).exit_status, 1);
}

// A length prefix that is no number: the program reads no parameters and
// shows no message; --show says why.
TEST_F(StampToolTest, BrokenLengthPrefix) {
  const std::string copy = StampedProbe("");
  std::string image = ReadFileBytes(copy);
  const size_t block2 = image.find(ExeAttachBeginMarker(2));
  ASSERT_NE(block2, std::string::npos);
  image.replace(block2 + 25, 3, "0x0");
  WriteFileBytes(copy, image);
  EXPECT_EQ(RunProgram({copy}).out, ProbeOutput("", "0", "", "0", "", "0", "0", "", "", ""));
  const TRunResult shown = RunProgram({kStamp, "--show", copy});
  EXPECT_EQ(shown.exit_status, 1);
  EXPECT_NE(shown.err.find("length of parameter block 2 is not a decimal number"),
            std::string::npos)
      << shown.err;
}

TEST(ParameterBlocksTest, EachMarkerOccursOnceInTheProgramAndNeverInTheTool) {
  const std::string probe = ReadFileBytes(kProbe);
  const std::string tool = ReadFileBytes(kStamp);
  for (int n = 1; n <= kExeAttachBlockCount; ++n) {
    for (const std::string& marker : {ExeAttachBeginMarker(n), ExeAttachEndMarker(n)}) {
      size_t count = 0;
      for (size_t at = probe.find(marker); at != std::string::npos; at = probe.find(marker, at + 1))
        ++count;
      EXPECT_EQ(count, 1u) << marker;
      EXPECT_EQ(tool.find(marker), std::string::npos) << marker;
    }
  }
}

}  // namespace
