// The window while its start sequence downloads from a reference server in
// the test process: the exit button still works, the download stops at its
// next step, and the next run resumes it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <string>

#include "app/launch_params.h"
#include "support/test_support.h"
#include "ui/main_form.h"
#include "ui/ui_test_server.h"
#include "ui/ui_test_support.h"

namespace {

void PostClick(QWidget* button) {
  const QPointF corner(1, 1);
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonPress, corner, corner, Qt::LeftButton,
                              Qt::LeftButton, Qt::NoModifier));
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonRelease, corner, corner, Qt::LeftButton,
                              Qt::NoButton, Qt::NoModifier));
}

TEST(WindowDownloadTest, ExitButtonStopsTheDownloadAtItsNextStep) {
  TestApplication();
  const TLaunchParams saved_params = LaunchParams;
  const int32_t saved_proxy = ProxyType;

  TTestServer server;
  // 12 MiB behind a script, so that a finished run can start it.
  const std::string browser = RecordingBrowserScript() + "exit 0\n" + ExecutableLikeBytes(12 << 20);
  const uint64_t pieces = (browser.size() + 524287) / 524288;
  server.PublishBrowser(browser);
  server.Start();
  TTempDir home;
  const std::string folder = home.File("CorvaneBoot/127.0.0.1/CorvaneWeb");

  LaunchParams = TLaunchParams();
  LaunchParams.ServerHost = u"127.0.0.1";
  LaunchParams.ServerPort = server.port();
  LaunchParams.DataDir = home.wpath();
  ProxyType = 0;

  {
    TCorvaneBootMainForm form;
    // Once the third piece is under way, the user presses the exit button;
    // the click arrives through the window's message processing.
    bool clicked = false;
    QObject::connect(form.ProgressBar1, &QProgressBar::valueChanged, [&](int value) {
      if (!clicked && value >= 3 && form.TntLabel5->text().contains(QStringLiteral("資料下載中"))) {
        clicked = true;
        PostClick(form.TntButton2);
      }
    });
    form.FillFromLaunchParams(LaunchParams, ProxyType);
    form.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.StartSequenceRan(); }, 60000));
    EXPECT_TRUE(clicked);
    EXPECT_FALSE(form.isVisible()) << "the window closed during the download";
    EXPECT_EQ(form.LastStartResult().outcome, TStartOutcome::kDownloadFailed);
    EXPECT_EQ(form.LastStartResult().message, u"系統停止01");
  }
  const uint64_t first_pieces = server.server().Counters().data_pieces;
  EXPECT_GE(first_pieces, 3u);
  EXPECT_LT(first_pieces, pieces) << "stopped before the end";
  EXPECT_FALSE(PathExists(folder + "/Nimbara.exe"));
  EXPECT_TRUE(PathExists(folder + "/Nimbara.download")) << "kept for the next run";

  // The next window resumes: the pieces already there are confirmed by
  // digest, the rest transferred, and the browser starts.
  server.server().ResetCounters();
  {
    TCorvaneBootMainForm form;
    form.FillFromLaunchParams(LaunchParams, ProxyType);
    form.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.StartSequenceRan(); }, 60000));
    EXPECT_EQ(form.LastStartResult().outcome, TStartOutcome::kBrowserStarted);
    EXPECT_FALSE(form.isVisible());
  }
  const TServerCounters second = server.server().Counters();
  EXPECT_GE(second.digest_confirmed_pieces, first_pieces - 1);
  EXPECT_EQ(second.digest_confirmed_pieces + second.data_pieces, pieces);
  EXPECT_EQ(ReadFileBytes(folder + "/Nimbara.exe"), browser);
  EXPECT_FALSE(WaitForFile(folder + "/Nimbara.exe.arg", 10000).empty());

  LaunchParams = saved_params;
  ProxyType = saved_proxy;
}

}  // namespace
