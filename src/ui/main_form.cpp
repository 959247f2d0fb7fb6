#include "ui/main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <limits>

#include "app/process_identity.h"
#include "ui/module_names.h"

// The embedded background picture lives in a static library; naming its
// initialiser keeps it linked in.
static void InitResources() { Q_INIT_RESOURCE(corvaneboot); }

namespace {

QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }

QColor Red() { return QColor(0xFF, 0x00, 0x00); }
QColor Navy() { return QColor(0x00, 0x00, 0x80); }

void SetTextColor(QLabel* label, const QColor& color) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, color);
  label->setPalette(palette);
}

void SetPixelSize(QWidget* widget, int pixels, const QString& family = QString()) {
  QFont font = widget->font();
  if (!family.isEmpty()) font.setFamilies({family, QStringLiteral("AR PL UMing TW")});
  font.setPixelSize(pixels);
  widget->setFont(font);
}

// A label that sizes itself to its caption, at (left, top).
QLabel* AutoSizeLabel(QWidget* parent, const char* name, int left, int top, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QLatin1String(name));
  label->move(left, top);
  label->adjustSize();
  return label;
}

QLineEdit* Edit(QWidget* parent, const char* name, int left, int top, int width, int height) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QLatin1String(name));
  edit->setGeometry(left, top, width, height);
  return edit;
}

QPushButton* Button(QWidget* parent, const char* name, int left, int top, const QString& text) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(QLatin1String(name));
  button->setGeometry(left, top, 97, 28);
  return button;
}

}  // namespace

// The window as the start sequence sees it.
class TCorvaneBootMainForm::TFrontEnd : public TStartFrontEnd {
 public:
  explicit TFrontEnd(TCorvaneBootMainForm& form) : form_(form), status_(form), bar_(form) {}

  void SetMessageLine(const std::u16string& text) override { form_.TntLabel3->setText(Q(text)); }
  TStatusText& StatusLine() override { return status_; }
  TProgressBar* ProgressBar() override { return &bar_; }
  void SetStartEnabled(bool enabled) override { form_.TntButton1->setEnabled(enabled); }
  void ProcessMessages() override {
    form_.repaint();
    QCoreApplication::processEvents();
  }
  void Close() override { form_.close(); }
  std::u16string AddressText() override { return form_.TntEdit1->text().toStdU16String(); }
  std::u16string PortText() override { return form_.TntEdit2->text().toStdU16String(); }
  std::u16string ParentExeName() override { return form_.ParentExeName; }
  const TCancelToken& Terminated() override { return form_.terminated_; }

 private:
  // TntLabel5: an auto-sized label.
  class TStatusLabel : public TStatusText {
   public:
    explicit TStatusLabel(TCorvaneBootMainForm& form) : form_(form) {}
    void SetText(const std::u16string& text) override {
      form_.TntLabel5->setText(Q(text));
      form_.TntLabel5->adjustSize();
    }

   private:
    TCorvaneBootMainForm& form_;
  };

  class TBar : public TProgressBar {
   public:
    explicit TBar(TCorvaneBootMainForm& form) : form_(form) {}
    // A range of 0..0 would turn the bar into a busy indicator; a position
    // past the maximum leaves the bar full.
    void SetMaximum(int64_t maximum) override {
      const int64_t limited = std::clamp<int64_t>(maximum, 1, std::numeric_limits<int>::max());
      form_.ProgressBar1->setRange(0, static_cast<int>(limited));
    }
    void SetPosition(int64_t position) override {
      const int64_t limited = std::clamp<int64_t>(position, 0, form_.ProgressBar1->maximum());
      form_.ProgressBar1->setValue(static_cast<int>(limited));
    }

   private:
    TCorvaneBootMainForm& form_;
  };

  TCorvaneBootMainForm& form_;
  TStatusLabel status_;
  TBar bar_;
};

TCorvaneBootMainForm::TCorvaneBootMainForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
  InitResources();
  setObjectName(QStringLiteral("CorvaneBootMainForm"));
  setWindowTitle(QStringLiteral("澄嶺資訊系統啟動程式"));
  setWindowIcon(QIcon(QStringLiteral(":/corvaneboot/icon.png")));
  QFont font(QStringLiteral("AR PL UMing TW"));
  font.setPixelSize(15);
  setFont(font);
  setFixedSize(450, 177);
  CreateControls();
  front_ = new TFrontEnd(*this);
  if (QScreen* screen = this->screen()) {
    const QRect available = screen->availableGeometry();
    move(available.center() - rect().center());
  }
  FormCreate();
}

TCorvaneBootMainForm::~TCorvaneBootMainForm() { delete front_; }

void TCorvaneBootMainForm::CreateControls() {
  // Created before the picture, which covers it.
  TntLabel2 = AutoSizeLabel(this, "TntLabel2", 322, 41, QStringLiteral("Port："));
  TntLabel2->setAutoFillBackground(true);

  Image1 = new QLabel(this);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setGeometry(0, 0, 450, 168);
  Image1->setScaledContents(true);
  Image1->setPixmap(QPixmap(QStringLiteral(":/corvaneboot/background.jpg")));

  TntLabel1 = AutoSizeLabel(this, "TntLabel1", 137, 7, QStringLiteral("網站："));

  TntLabel3 = new QLabel(this);
  TntLabel3->setObjectName(QStringLiteral("TntLabel3"));
  TntLabel3->setGeometry(188, 7, 251, 15);
  TntLabel3->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  SetTextColor(TntLabel3, Red());

  TntLabel4 = new QLabel(QStringLiteral("0"), this);
  TntLabel4->setObjectName(QStringLiteral("TntLabel4"));
  SetPixelSize(TntLabel4, 11, QStringLiteral("Arial Unicode MS"));
  TntLabel4->move(433, 123);
  TntLabel4->adjustSize();

  TntLabel5 = AutoSizeLabel(this, "TntLabel5", 0, 150, QString());
  SetTextColor(TntLabel5, Navy());

  Label15 = new QLabel(QStringLiteral("Proxy"), this);
  Label15->setObjectName(QStringLiteral("Label15"));
  SetTextColor(Label15, Navy());
  SetPixelSize(Label15, 12);
  Label15->setCursor(Qt::PointingHandCursor);
  Label15->move(121, 126);
  Label15->adjustSize();
  Label15->hide();

  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ProgressBar1->setGeometry(0, 168, 450, 9);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);

  TntEdit1 = Edit(this, "TntEdit1", 137, 25, 254, 23);
  TntEdit1->setText(QString::fromStdU16String(kDefaultAddressText));
  TntEdit2 = Edit(this, "TntEdit2", 397, 25, 42, 23);
  TntEdit2->setText(QStringLiteral("80"));
  TntButton1 = Button(this, "TntButton1", 175, 110, QStringLiteral("啟動"));
  TntButton2 = Button(this, "TntButton2", 317, 110, QStringLiteral("離開"));
  TntEdit3 = Edit(this, "TntEdit3", 137, 54, 302, 23);
  TntEdit3->setReadOnly(true);
  TntEdit4 = Edit(this, "TntEdit4", 137, 83, 302, 23);
  TntEdit4->setReadOnly(true);

  // Tab order: the progress bar (0) takes no focus; then the boxes and
  // buttons in their order.
  setTabOrder(TntEdit1, TntEdit2);
  setTabOrder(TntEdit2, TntButton1);
  setTabOrder(TntButton1, TntButton2);
  setTabOrder(TntButton2, TntEdit3);
  setTabOrder(TntEdit3, TntEdit4);

  connect(TntButton1, &QPushButton::clicked, this, &TCorvaneBootMainForm::TntButton1Click);
  connect(TntButton2, &QPushButton::clicked, this, &TCorvaneBootMainForm::TntButton2Click);
}

void TCorvaneBootMainForm::FormCreate() {
  ParentExeName = ProcessExeName(ParentProcessId(CurrentProcessId()));
  LanguageCode = kLanguageChinese;
  ModuleList.clear();
  for (const char16_t* name : kModuleNames) ModuleList.push_back(TranslateText(name));
}

std::u16string TCorvaneBootMainForm::TranslateText(const std::u16string& text) const {
  return ::TranslateText(LanguageCode, text);
}

void TCorvaneBootMainForm::FillFromLaunchParams(const TLaunchParams& params, int32_t proxy_type) {
  TntLabel4->setText(QString::number(params.FromCommandLine));
  TntLabel4->adjustSize();
  TntEdit1->setText(Q(params.ServerHost));
  TntEdit2->setText(QString::number(params.ServerPort));
  if (params.ModuleIndex >= 0 && static_cast<size_t>(params.ModuleIndex) < ModuleList.size())
    TntEdit3->setText(Q(ModuleList[params.ModuleIndex]));
  TntEdit4->setText(Q(params.CmNo));
  if (proxy_type == 1) Label15->show();
  if (!params.ServerHost.empty() && params.ServerPort != 0) {
    // Delivered by the message loop once the window is shown; the button
    // takes them as a click at its top-left corner.
    const QPointF corner(0, 0);
    QCoreApplication::postEvent(
        TntButton1, new QMouseEvent(QEvent::MouseButtonPress, corner, corner, Qt::LeftButton,
                                    Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(
        TntButton1, new QMouseEvent(QEvent::MouseButtonRelease, corner, corner, Qt::LeftButton,
                                    Qt::NoButton, Qt::NoModifier));
  }
}

void TCorvaneBootMainForm::TntButton1Click() {
  start_ran_ = true;
  last_start_ = ::TntButton1Click(*front_);
}

void TCorvaneBootMainForm::TntButton2Click() { close(); }

void TCorvaneBootMainForm::closeEvent(QCloseEvent* event) {
  // A download in progress stops at its next step.
  terminated_.Cancel();
  event->accept();
}

void TMessageBoxSink::ShowMessage(const std::u16string& text) {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("澄嶺資訊系統啟動程式"), Q(text),
                  QMessageBox::Ok);
  box.exec();
}
