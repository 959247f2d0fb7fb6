#include "app/launch_params.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "app/exe_attach.h"
#include "pack/text_encodings.h"

namespace {

struct TExpected {
  std::u16string host;
  int32_t port;
  std::u16string dir;
  int32_t proxy;
  int32_t module;
  std::u16string cm_no, login_id, login_pasw;
};

TEST(ParseLaunchParamsTest, Grammar) {
  const struct {
    const char* name;
    std::u16string S;
    bool port_error;
    TExpected expected;
  } cases[] = {
      {"delivered block 1",
       u"127.0.0.1$80$1$",
       false,
       {u"127.0.0.1", 80, u"", 0, 1, u"", u"", u""}},
      {"host with :port",
       u"srv.example:8443$8080$2$C01$u1$pw$",
       false,
       {u"srv.example", 8080, u"", 0, 2, u"C01", u"u1", u"pw"}},
      {"lower-case dir keeps folder case",
       u"h$1$*dir*/Data/Mixed Case$3$a$b$c$",
       false,
       {u"h", 1, u"/Data/Mixed Case", 0, 3, u"a", u"b", u"c"}},
      {"dir then proxy with trailing text, module *",
       u"h$1$*DiR*CSIDL_APPDATA$*Proxy*anything here$*$a$b$c$",
       false,
       {u"h", 1, u"CSIDL_APPDATA", 1, -1, u"a", u"b", u"c"}},
      {"proxy alone", u"h$1$*PROXY*$4$a$b$c$", false, {u"h", 1, u"", 1, 4, u"a", u"b", u"c"}},
      {"dir after proxy shifts the fields",
       u"h$1$*PROXY*$*DIR*/x$4$a$b$",
       false,
       {u"h", 1, u"", 1, 0, u"4", u"a", u"b"}},
      {"missing final $", u"h$1$2$a$b$c", false, {u"h", 1, u"", 0, 2, u"a", u"b", u""}},
      {"module not a number", u"h$1$x1$a$b$c$", false, {u"h", 1, u"", 0, 0, u"a", u"b", u"c"}},
      {"empty module", u"h$1$$a$b$c$", false, {u"h", 1, u"", 0, 0, u"a", u"b", u"c"}},
      {"dir without closing $", u"h$1$*dir*/no/end", false, {u"h", 1, u"", 0, 0, u"", u"", u""}},
      {"Chinese texts",
       u"\u4f3a\u670d\u5668$80$1$\u516c\u53f8$\u7528\u6236$p$",
       false,
       {u"\u4f3a\u670d\u5668", 80, u"", 0, 1, u"\u516c\u53f8", u"\u7528\u6236", u"p"}},
      {"letters in the port", u"h$8o$2$a$b$c$", true, {u"h", 0, u"", 0, 0, u"", u"", u""}},
      {"port out of range", u"h$99999999999$2$", true, {u"h", 0, u"", 0, 0, u"", u"", u""}},
      {"empty port", u"h$$2$", true, {u"h", 0, u"", 0, 0, u"", u"", u""}},
      {"no separator at all", u"abcd", true, {u"", 0, u"", 0, 0, u"", u"", u""}},
      {"empty string", u"", true, {u"", 0, u"", 0, 0, u"", u"", u""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TLaunchParams params;
    int32_t proxy = 0;
    if (c.port_error) {
      EXPECT_THROW(ParseLaunchParams(c.S, params, proxy), std::invalid_argument);
    } else {
      EXPECT_NO_THROW(ParseLaunchParams(c.S, params, proxy));
    }
    EXPECT_EQ(WideToUtf8(params.ServerHost), WideToUtf8(c.expected.host));
    EXPECT_EQ(params.ServerPort, c.expected.port);
    EXPECT_EQ(WideToUtf8(params.DataDir), WideToUtf8(c.expected.dir));
    EXPECT_EQ(proxy, c.expected.proxy);
    EXPECT_EQ(params.ModuleIndex, c.expected.module);
    EXPECT_EQ(WideToUtf8(params.CmNo), WideToUtf8(c.expected.cm_no));
    EXPECT_EQ(WideToUtf8(params.LoginId), WideToUtf8(c.expected.login_id));
    EXPECT_EQ(WideToUtf8(params.LoginPasw), WideToUtf8(c.expected.login_pasw));
    EXPECT_EQ(params.FromCommandLine, 0);
  }
}

// A block with the given payload area (cut or filled with "@" to 100 bytes).
std::string Block(int number, std::string area) {
  area.resize(kExeAttachPayloadAreaSize, '@');
  return ExeAttachBeginMarker(number) + area + ExeAttachEndMarker(number);
}

TEST(ExeAttachPayloadTest, ReadsTheLengthPrefixedPayload) {
  const std::string ninety_seven(97, 'x');
  const struct {
    const char* name;
    std::string area;
    std::string payload;
  } cases[] = {
      {"delivered", "015127.0.0.1$80$1$", "127.0.0.1$80$1$"},
      {"empty", "000", ""},
      {"leading blanks trimmed", "  \t005hello", "hello"},
      {"full area", "097" + ninety_seven, ninety_seven},
      {"length beyond the area", "099" + ninety_seven, ninety_seven},
      {"full area ending in a blank loses it", "097" + std::string(96, 'y') + " ",
       std::string(96, 'y')},
      {"negative length", "-05hello", ""},
      {"UTF-8 bytes kept", "006\xe5\x85\xac\xe5\x8f\xb8", "\xe5\x85\xac\xe5\x8f\xb8"},
  };
  for (const auto& c : cases) EXPECT_EQ(ExeAttachPayload(Block(2, c.area)), c.payload) << c.name;

  for (const std::string& bad :
       {std::string("x05hello"), std::string("0 5hello"), std::string(100, ' '), std::string("")}) {
    std::string block = Block(3, "");
    block.replace(kExeAttachPayloadOffset, kExeAttachPayloadAreaSize,
                  (bad + std::string(100, ' ')).substr(0, 100));
    EXPECT_THROW(ExeAttachPayload(block), std::invalid_argument) << "[" << bad << "]";
  }
}

TEST(ExeAttachBlockTest, DeliveredBlocksOfThisProgram) {
  for (int number = 1; number <= kExeAttachBlockCount; ++number) {
    const std::string block = ExeAttachBlock(number);
    ASSERT_EQ(block.size(), kExeAttachBlockSize);
    EXPECT_EQ(block.substr(0, 25), ExeAttachBeginMarker(number));
    EXPECT_EQ(block.substr(125), ExeAttachEndMarker(number));
    if (number > 1) {
      EXPECT_EQ(block.substr(25, 100), "000" + std::string(97, '@'));
    }
  }
  const std::string payload = CORVANE_DEFAULT_SERVER_ADDRESS "$80$1$";
  std::string length = std::to_string(payload.size());
  length.insert(0, 3 - length.size(), '0');
  EXPECT_EQ(ExeAttachBlock(1).substr(25, 3 + payload.size()), length + payload);
  EXPECT_EQ(ExeAttachBlock(1).substr(28 + payload.size(), 97 - payload.size()),
            std::string(97 - payload.size(), '@'));
  EXPECT_EQ(WideToUtf8(ReadAttachedParams()), payload);
  EXPECT_EQ(ExeAttachBlock(0), "");
  EXPECT_EQ(ExeAttachBlock(6), "");
}

class TRecordingSink : public TMessageSink {
 public:
  void ShowMessage(const std::u16string& text) override { shown.push_back(text); }
  std::vector<std::u16string> shown;
};

TEST(LoadLaunchParamsTest, BlocksCommandLineAndReset) {
  TRecordingSink sink;
  LoadLaunchParams(u"", sink);
  EXPECT_TRUE(sink.shown.empty());
  EXPECT_EQ(LaunchParams.FromCommandLine, 0);
  EXPECT_EQ(WideToUtf8(LaunchParams.ServerHost), CORVANE_DEFAULT_SERVER_ADDRESS);
  EXPECT_EQ(LaunchParams.ServerPort, 80);
  EXPECT_EQ(LaunchParams.ModuleIndex, 1);

  // A short command-line argument shows nothing and is parsed as it is.
  LoadLaunchParams(u"ab$", sink);
  EXPECT_TRUE(sink.shown.empty());
  EXPECT_EQ(LaunchParams.FromCommandLine, 1);
  EXPECT_EQ(WideToUtf8(LaunchParams.ServerHost), "ab");
  EXPECT_EQ(LaunchParams.ServerPort, 0);

  // Host and port are reset before the parse; a bad port stops it quietly.
  LaunchParams.ServerPort = 1234;
  LoadLaunchParams(u"other$8o$", sink);
  EXPECT_EQ(WideToUtf8(LaunchParams.ServerHost), "other");
  EXPECT_EQ(LaunchParams.ServerPort, 0);
  EXPECT_EQ(LaunchParams.FromCommandLine, 1);

  LoadLaunchParams(u"h:1$9000$*dir*/d$*proxy*$*$c$i$p$", sink);
  EXPECT_EQ(WideToUtf8(LaunchParams.ServerHost), "h");
  EXPECT_EQ(LaunchParams.ServerPort, 9000);
  EXPECT_EQ(WideToUtf8(LaunchParams.DataDir), "/d");
  EXPECT_EQ(ProxyType, 1);
  EXPECT_EQ(LaunchParams.ModuleIndex, -1);
  EXPECT_EQ(WideToUtf8(LaunchParams.LoginPasw), "p");
  EXPECT_TRUE(sink.shown.empty());

  LaunchParams = TLaunchParams();
  ProxyType = 0;
}

}  // namespace
