// nimbara-demo: a stand-in for the browser component, published by the demo
// as the server's Nimbara.exe.
//
//   nimbara-demo LAUNCH-STRING
//
// Decodes the launch string ("CORVANEBOOT=TRUE,BASE=<b64>,...", see
// ui/launch_string.h) and shows the eleven values: always on standard
// output, and in a small window when a display is available. The window
// closes itself after CORVANE_DEMO_SECONDS seconds (default 30) or on its
// button. Exit status 0, or 1 when the launch string is malformed.
#include <QApplication>
#include <QByteArray>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

const char* const kKeys[] = {
    "CORVANEBOOT", "BASE",      "PORT",          "LOGINTYPE",      "CM_NO",
    "LOGINID",     "LOGINPASW", "CORVANEWEBDIR", "PARENT_EXENAME", "PARENT_PARENT_EXENAME",
    "PROXY_TYPE"};

// The eleven (key, decoded value) pairs, or an error text.
bool DecodeLaunchString(const QByteArray& text, std::vector<std::pair<QString, QString>>& values,
                        QString& error) {
  const QList<QByteArray> entries = text.split(',');
  if (entries.size() != 11) {
    error = QStringLiteral("expected 11 entries, found %1").arg(entries.size());
    return false;
  }
  for (int i = 0; i < 11; ++i) {
    const QByteArray& entry = entries[i];
    const int equals = entry.indexOf('=');
    const QByteArray key = equals < 0 ? entry : entry.left(equals);
    if (equals < 0 || key != kKeys[i]) {
      error = QStringLiteral("entry %1 is not %2=").arg(i + 1).arg(QLatin1String(kKeys[i]));
      return false;
    }
    const QByteArray raw = entry.mid(equals + 1);
    if (i == 0) {
      values.emplace_back(QString::fromLatin1(key), QString::fromLatin1(raw));
      continue;
    }
    const auto decoded =
        QByteArray::fromBase64Encoding(raw, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
      error = QStringLiteral("%1 is not Base64").arg(QLatin1String(kKeys[i]));
      return false;
    }
    values.emplace_back(QString::fromLatin1(key), QString::fromUtf8(*decoded));
  }
  return true;
}

bool DisplayAvailable() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && *platform) {
    const std::string name = platform;
    return name != "offscreen" && name != "minimal";
  }
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s LAUNCH-STRING\n", argv[0]);
    return 1;
  }
  std::vector<std::pair<QString, QString>> values;
  QString error;
  if (!DecodeLaunchString(QByteArray(argv[1]), values, error)) {
    std::fprintf(stderr, "nimbara-demo: malformed launch string: %s\n", error.toUtf8().constData());
    return 1;
  }
  for (const auto& [key, value] : values)
    std::printf("%s=%s\n", key.toUtf8().constData(), value.toUtf8().constData());
  std::fflush(stdout);
  if (!DisplayAvailable()) return 0;

  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("Nimbara（示範）"));
  QFont font(QStringLiteral("AR PL UMing TW"));
  font.setPixelSize(14);
  window.setFont(font);
  auto* layout = new QVBoxLayout(&window);
  auto* heading = new QLabel(QStringLiteral("啟動程式傳來的登入資料："), &window);
  layout->addWidget(heading);
  auto* grid = new QGridLayout();
  int row = 0;
  for (const auto& [key, value] : values) {
    grid->addWidget(new QLabel(key, &window), row, 0);
    auto* shown = new QLabel(value.isEmpty() ? QStringLiteral("（空白）") : value, &window);
    shown->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(shown, row, 1);
    ++row;
  }
  layout->addLayout(grid);
  auto* close = new QPushButton(QStringLiteral("關閉"), &window);
  QObject::connect(close, &QPushButton::clicked, &window, &QWidget::close);
  layout->addWidget(close);

  int seconds = 30;
  if (const char* text = std::getenv("CORVANE_DEMO_SECONDS")) seconds = std::atoi(text);
  if (seconds > 0) QTimer::singleShot(seconds * 1000, &window, &QWidget::close);
  window.show();
  return app.exec();
}
