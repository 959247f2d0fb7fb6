// The launcher window on Qt's offscreen platform: layout, texts, the module
// box, the text table, the automatic start and the exit button.
#include "ui/main_form.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRawFont>
#include <QTest>
#include <QTimer>
#include <string>

#include "app/launch_params.h"
#include "support/test_support.h"
#include "ui/module_names.h"
#include "ui/ui_test_support.h"

namespace {

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    saved_params_ = LaunchParams;
    saved_proxy_ = ProxyType;
  }
  void TearDown() override {
    LaunchParams = saved_params_;
    ProxyType = saved_proxy_;
  }

  // Sets the launch parameters as LoadLaunchParams would and runs the
  // entry's steps on a shown window.
  void Enter(TCorvaneBootMainForm& form, const TLaunchParams& params, int32_t proxy = 0) {
    LaunchParams = params;
    ProxyType = proxy;
    form.FillFromLaunchParams(params, proxy);
    form.show();
    // Lets the posted press and release (if any) arrive and run.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
  }

 private:
  TLaunchParams saved_params_;
  int32_t saved_proxy_ = 0;
};

TLaunchParams Params(const std::u16string& host, int32_t port, int32_t module = 1) {
  TLaunchParams params;
  params.ServerHost = host;
  params.ServerPort = port;
  params.ModuleIndex = module;
  return params;
}

TEST_F(MainFormTest, WindowCaptionSizeBorderAndFont) {
  TCorvaneBootMainForm form;
  EXPECT_EQ(form.windowTitle(), QStringLiteral("澄嶺資訊系統啟動程式"));
  EXPECT_EQ(form.size(), QSize(450, 177));
  EXPECT_EQ(form.minimumSize(), QSize(450, 177));
  EXPECT_EQ(form.maximumSize(), QSize(450, 177));
  const Qt::WindowFlags flags = form.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);

  EXPECT_TRUE(form.windowIcon().availableSizes().contains(QSize(64, 64)));

  EXPECT_EQ(form.font().pixelSize(), 15);
  EXPECT_EQ(QFontInfo(form.font()).family(), QStringLiteral("AR PL UMing TW"));
  // Every Chinese character the window shows is in the font, so none is
  // drawn as a box.
  const QRawFont raw = QRawFont::fromFont(form.font());
  const QString shown = form.windowTitle() + form.TntLabel1->text() + form.TntButton1->text() +
                        form.TntButton2->text() + QStringLiteral("網站不存在");
  for (const QChar c : shown) EXPECT_TRUE(raw.supportsCharacter(c)) << QString(c).toStdString();
  for (const std::u16string& name : form.ModuleList) {
    for (const QChar c : QString::fromStdU16String(name))
      EXPECT_TRUE(raw.supportsCharacter(c)) << QString(c).toStdString();
  }
}

TEST_F(MainFormTest, ControlsInCreationOrderWithTheirTextsAndPlaces) {
  TCorvaneBootMainForm form;
  struct TExpected {
    QWidget* widget;
    const char* name;
    QRect geometry;  // width/height 0: sized to its caption
    const char* text;
  };
  const TExpected expected[] = {
      {form.TntLabel2, "TntLabel2", {322, 41, 0, 0}, "Port："},
      {form.Image1, "Image1", {0, 0, 450, 168}, ""},
      {form.TntLabel1, "TntLabel1", {137, 7, 0, 0}, "網站："},
      {form.TntLabel3, "TntLabel3", {188, 7, 251, 15}, ""},
      {form.TntLabel4, "TntLabel4", {433, 123, 0, 0}, "0"},
      {form.TntLabel5, "TntLabel5", {0, 150, 0, 0}, ""},
      {form.Label15, "Label15", {121, 126, 0, 0}, "Proxy"},
      {form.ProgressBar1, "ProgressBar1", {0, 168, 450, 9}, nullptr},
      {form.TntEdit1, "TntEdit1", {137, 25, 254, 23}, "127.0.0.1"},
      {form.TntEdit2, "TntEdit2", {397, 25, 42, 23}, "80"},
      {form.TntButton1, "TntButton1", {175, 110, 97, 28}, "啟動"},
      {form.TntButton2, "TntButton2", {317, 110, 97, 28}, "離開"},
      {form.TntEdit3, "TntEdit3", {137, 54, 302, 23}, ""},
      {form.TntEdit4, "TntEdit4", {137, 83, 302, 23}, ""},
  };
  // Children are stacked in creation order: the picture over TntLabel2 and
  // under the later labels.
  QList<QWidget*> children = form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  ASSERT_EQ(children.size(), static_cast<qsizetype>(std::size(expected)));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const TExpected& e = expected[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(children[static_cast<qsizetype>(i)], e.widget);
    EXPECT_EQ(e.widget->objectName(), QLatin1String(e.name));
    EXPECT_EQ(e.widget->pos(), e.geometry.topLeft());
    if (e.geometry.width() > 0) {
      EXPECT_EQ(e.widget->size(), e.geometry.size());
    }
    if (!e.text) continue;
    QString text;
    if (auto* label = qobject_cast<QLabel*>(e.widget)) text = label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(e.widget)) text = edit->text();
    if (auto* button = qobject_cast<QPushButton*>(e.widget)) text = button->text();
    EXPECT_EQ(text, QString::fromUtf8(e.text));
  }

  EXPECT_FALSE(form.Image1->pixmap().isNull()) << "background picture not loaded";
  EXPECT_TRUE(form.Image1->hasScaledContents());
  EXPECT_TRUE(form.TntEdit3->isReadOnly());
  EXPECT_TRUE(form.TntEdit4->isReadOnly());
  EXPECT_FALSE(form.TntEdit1->isReadOnly());
  EXPECT_TRUE(form.TntLabel3->alignment() & Qt::AlignRight);
  EXPECT_EQ(form.TntLabel3->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(form.TntLabel5->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  EXPECT_EQ(form.Label15->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  EXPECT_EQ(form.Label15->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(form.Label15->font().pixelSize(), 12);
  EXPECT_EQ(form.TntLabel4->font().pixelSize(), 11);
  EXPECT_FALSE(form.Label15->isVisibleTo(&form));
  // Transparent labels draw no background of their own; TntLabel2 does.
  EXPECT_TRUE(form.TntLabel2->autoFillBackground());
  for (QLabel* label :
       {form.TntLabel1, form.TntLabel3, form.TntLabel4, form.TntLabel5, form.Label15})
    EXPECT_FALSE(label->autoFillBackground()) << label->objectName().toStdString();
}

TEST_F(MainFormTest, TabOrderRunsThroughBoxesAndButtons) {
  TCorvaneBootMainForm form;
  const QWidget* order[] = {form.TntEdit1,   form.TntEdit2, form.TntButton1,
                            form.TntButton2, form.TntEdit3, form.TntEdit4};
  for (size_t i = 0; i + 1 < std::size(order); ++i)
    EXPECT_EQ(order[i]->nextInFocusChain(), order[i + 1]) << i;
  EXPECT_EQ(form.ProgressBar1->focusPolicy(), Qt::NoFocus);
}

TEST_F(MainFormTest, ModuleListHoldsNineteenChineseNames) {
  TCorvaneBootMainForm form;
  EXPECT_EQ(form.LanguageCode, u"L0404");
  ASSERT_EQ(form.ModuleList.size(), 19u);
  for (size_t i = 0; i < form.ModuleList.size(); ++i) {
    const std::u16string& name = form.ModuleList[i];
    SCOPED_TRACE(i);
    EXPECT_GE(name.size(), 4u);
    EXPECT_LE(name.size(), 10u);
    EXPECT_EQ(name.substr(name.size() - 2), u"系統");
    EXPECT_EQ(name, kModuleNames[i]);
    for (size_t j = 0; j < i; ++j) EXPECT_NE(name, form.ModuleList[j]);
  }
}

TEST_F(MainFormTest, EntryFillsTheBoxes) {
  struct TCase {
    const char* what;
    int32_t module;
    std::u16string module_box;
  };
  const TCase cases[] = {
      {"index 1", 1, kModuleNames[1]},
      {"index 0", 0, kModuleNames[0]},
      {"index 17, no code", 17, kModuleNames[17]},
      {"index 18, the last", 18, kModuleNames[18]},
      {"\"*\"", -1, u""},
      {"index 19, past the list", 19, u""},
      {"far past the list", 1000, u""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TCorvaneBootMainForm form;
    TLaunchParams params = Params(u"", 0, c.module);  // no automatic start
    params.CmNo = u"公司01";
    params.FromCommandLine = 1;
    Enter(form, params);
    EXPECT_EQ(form.TntEdit3->text().toStdU16String(), c.module_box);
    EXPECT_EQ(form.TntEdit4->text(), QStringLiteral("公司01"));
    EXPECT_EQ(form.TntEdit1->text(), QString());
    EXPECT_EQ(form.TntEdit2->text(), QStringLiteral("0"));
    EXPECT_EQ(form.TntLabel4->text(), QStringLiteral("1"));
  }
}

TEST_F(MainFormTest, ProxyLabelShownOnlyForProxyTypeOne) {
  for (int32_t proxy : {0, 1, 2}) {
    TCorvaneBootMainForm form;
    Enter(form, Params(u"", 0), proxy);
    EXPECT_EQ(form.Label15->isVisible(), proxy == 1) << proxy;
  }
}

TEST_F(MainFormTest, TranslateTextFollowsTheLanguageCode) {
  TCorvaneBootMainForm form;
  // Chinese: every row comes back unchanged.
  for (const auto& [chinese, english] : TextTable())
    EXPECT_EQ(form.TranslateText(chinese), chinese);

  form.LanguageCode = u"L0409";
  ASSERT_EQ(TextTable().size(), 32u);
  struct TCase {
    std::u16string text;
    std::u16string english;
  };
  const TCase cases[] = {
      {u"網站", u"Address(IP)"},
      {u"網站不存在", u"網站不存在"},  // not in the table
      {u"歡迎使用澄嶺資訊網際網路系統", u"Corvane Web System"},
      {u"歡迎使用", u"Welcome"},
      {u"系統", u"System"},
      {u"錯誤訊息：", u"Error message:"},
      {u"檢查完成，開始讀取登入資料.....", u"Reading login data"},
      {kModuleNames[0], u"WEB01(" + std::u16string(kModuleNames[0]).substr(0, 4) + u")"},
      {kModuleNames[1], u"WEB02(" + std::u16string(kModuleNames[1]).substr(0, 5) + u")"},
      {kModuleNames[2], u"WEB03(" + std::u16string(kModuleNames[2]) + u")"},
      {kModuleNames[16], u"WEB17(" + std::u16string(kModuleNames[16]) + u")"},
      {kModuleNames[17], kModuleNames[17]},  // no code
      {u"網站 ", u"網站 "},                  // whole text only
  };
  for (const TCase& c : cases)
    EXPECT_EQ(form.TranslateText(c.text), c.english)
        << QString::fromStdU16String(c.text).toStdString();

  // Any other code is Chinese.
  form.LanguageCode = u"L0411";
  EXPECT_EQ(form.TranslateText(u"網站"), u"網站");
}

TEST_F(MainFormTest, NoAutomaticStartWithoutHostOrPort) {
  const std::pair<std::u16string, int32_t> cases[] = {{u"", 0}, {u"", 8080}, {u"127.0.0.1", 0}};
  for (const auto& [host, port] : cases) {
    TCorvaneBootMainForm form;
    Enter(form, Params(host, port));
    QTest::qWait(50);
    EXPECT_FALSE(form.StartSequenceRan()) << port;
    EXPECT_TRUE(form.TntButton1->isEnabled());
    EXPECT_EQ(form.TntLabel3->text(), QString());
  }
}

TEST_F(MainFormTest, AutomaticStartRunsOnceHostAndPortAreKnown) {
  // Nothing listens on the port: the alive check fails at once, and the
  // start button stays disabled.
  const int port = FreeLoopbackPort();
  TCorvaneBootMainForm form;
  Enter(form, Params(u"127.0.0.1", port));
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.StartSequenceRan(); }, 10000));
  EXPECT_EQ(form.LastStartResult().outcome, TStartOutcome::kServerNotAlive);
  EXPECT_EQ(form.TntLabel3->text(), QStringLiteral("網站不存在"));
  EXPECT_FALSE(form.TntLabel5->text().isEmpty()) << "the command call's message";
  EXPECT_FALSE(form.TntButton1->isEnabled());
  EXPECT_TRUE(form.isVisible()) << "a failure leaves the window open";
  // Still disabled a while later: nothing enables it again.
  QTest::qWait(100);
  EXPECT_FALSE(form.TntButton1->isEnabled());
}

TEST_F(MainFormTest, StartButtonTestsTheLaunchParametersNotTheBoxes) {
  TCorvaneBootMainForm form;
  Enter(form, Params(u"", 0));
  // The user types a host and port; the check still sees no usable
  // parameters and makes no request.
  form.TntEdit1->setText(QStringLiteral("127.0.0.1"));
  form.TntEdit2->setText(QString::number(FreeLoopbackPort()));
  QTest::mouseClick(form.TntButton1, Qt::LeftButton);
  ASSERT_TRUE(form.StartSequenceRan());
  EXPECT_EQ(form.TntLabel3->text(), QStringLiteral("網站不存在"));
  EXPECT_EQ(form.TntLabel5->text(), QString());
  EXPECT_FALSE(form.TntButton1->isEnabled());
}

TEST_F(MainFormTest, ExitButtonClosesAndSetsTheTerminatingFlag) {
  TCorvaneBootMainForm form;
  Enter(form, Params(u"", 0));
  ASSERT_TRUE(form.isVisible());
  EXPECT_FALSE(form.Terminated().IsCancelled());
  QTest::mouseClick(form.TntButton2, Qt::LeftButton);
  EXPECT_FALSE(form.isVisible());
  EXPECT_TRUE(form.Terminated().IsCancelled());
}

TEST_F(MainFormTest, MessageSinkShowsOneModalBoxPerMessage) {
  TMessageBoxSink sink;
  // Each box is closed, once it is up, by a timer that reads it first; a
  // ShowMessage that did not wait for its box would leave seen short.
  std::vector<QString> seen;
  QTimer closer;
  closer.setInterval(10);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    seen.push_back(box->text());
    EXPECT_TRUE(box->isModal());
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    box->accept();
  });
  closer.start();
  for (int i = 0; i < 3; ++i) {
    sink.ShowMessage(u"mPARA_STR:abc");
    EXPECT_EQ(seen.size(), static_cast<size_t>(i + 1));
  }
  EXPECT_EQ(seen, std::vector<QString>(3, QStringLiteral("mPARA_STR:abc")));
}

}  // namespace
