#include "net/check_connect_thread.h"

#include <gtest/gtest.h>

#include "fake_request.h"

namespace {

TEST(CheckConnectThreadTest, TimeLimitRule) {
  struct TCase {
    int32_t caller;
    int64_t body_size;
    int32_t expected;
  };
  const TCase cases[] = {
      {3, 0, 3},         {3, 10000000, 3},   {0, 0, 180},  {0, 1, 180},        {0, 5898239, 180},
      {0, 5898240, 181}, {0, 10000000, 306}, {-5, 0, 180}, {-5, 5898240, 181},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(TCheckConnectThread::TimeLimitFor(c.caller, c.body_size), c.expected)
        << c.caller << " " << c.body_size;
  }
}

TEST(CheckConnectThreadTest, StatusCallbackRecordsReports) {
  TCheckConnectThread worker(nullptr);
  LinkStatusCallback(nullptr, kHttpStatusResponseReceived);  // no context: nothing
  EXPECT_EQ(worker.FLastStatus.load(), 0);
  EXPECT_FALSE(worker.FResponseStarted.load());

  LinkStatusCallback(&worker, 20);
  EXPECT_EQ(worker.FLastStatus.load(), 20);
  EXPECT_FALSE(worker.FResponseStarted.load());
  EXPECT_EQ(worker.FLastActivity.load(), 0);

  // 41 without an earlier 40 still marks the answer as begun.
  LinkStatusCallback(&worker, kHttpStatusResponseReceived);
  EXPECT_EQ(worker.FLastStatus.load(), kHttpStatusResponseReceived);
  EXPECT_TRUE(worker.FResponseStarted.load());
  EXPECT_GT(worker.FLastActivity.load(), 0);

  LinkStatusCallback(&worker, kHttpStatusConnectionClosed);
  EXPECT_EQ(worker.FLastStatus.load(), kHttpStatusConnectionClosed);
}

struct TSendCase {
  std::string body;
  int32_t caller_time_limit;
  bool send_result;
  int32_t expected_limit;
  std::u16string expected_error;
};

TEST(CheckConnectThreadTest, ExecuteSendsAndReports) {
  const TSendCase cases[] = {
      {"", 3, true, 3, u""},
      {"body", 0, true, 180, u""},
      {"", 0, false, 180, u"連線主機失敗E021：HttpSendRequest Connection fail:"},
      {"body", 7, false, 7, u"連線主機失敗E020：HttpSendRequest Connection fail:"},
  };
  for (const TSendCase& c : cases) {
    TCheckConnectThread worker(nullptr);
    TFakeRequest request;
    request.worker = &worker;
    request.send_result = c.send_result;
    TMemoryStream body(c.body);
    body.SetPosition(body.Size());  // the worker sends from the start
    worker.SetHeaders("Content-Length:" + std::to_string(c.body.size()) + "\r\n");
    worker.SetBody(&body);
    worker.SetRequest(&request);
    worker.FCallerTimeLimit.store(c.caller_time_limit);
    EXPECT_TRUE(worker.FBusy.load());
    worker.Start();
    worker.WaitFor();
    EXPECT_FALSE(worker.FBusy.load());
    EXPECT_EQ(request.sends, 1);
    EXPECT_EQ(request.sent_body, c.body);
    EXPECT_EQ(worker.FTimeLimit.load(), c.expected_limit);
    EXPECT_EQ(worker.FFailed.load(), !c.send_result);
    EXPECT_EQ(worker.FResponseStarted.load(), c.send_result);
    if (!c.send_result) {
      EXPECT_EQ(worker.ErrorText(), c.expected_error);
    }
  }
}

TEST(CheckConnectThreadTest, WorkerNeverStartedSendsNothing) {
  TFakeRequest request;
  {
    TCheckConnectThread worker(nullptr);
    worker.SetRequest(&request);
  }
  EXPECT_EQ(request.sends, 0);
}

}  // namespace
