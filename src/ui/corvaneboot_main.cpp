// corvaneboot: the launcher window.
//
//   corvaneboot [PARAMETER-STRING]
//
// Without an argument the parameter string comes from the program's embedded
// parameter blocks. With host and port known the start sequence runs by
// itself as soon as the window is shown.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/launch_params.h"
#include "pack/text_encodings.h"
#include "ui/main_form.h"

namespace {

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

int main(int argc, char** argv) {
  // Without any display the window cannot open; say so instead of letting
  // the toolkit abort.
  if (!Set("QT_QPA_PLATFORM") && !Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) {
    std::fputs("corvaneboot: no display (DISPLAY is not set); use corvaneboot-cli\n", stderr);
    return 1;
  }

  // Taken before the application object, which may consume arguments of
  // its own.
  const std::u16string first_argument = argc > 1 ? Utf8ToWide(argv[1]) : std::u16string();

  QApplication app(argc, argv);
  TMessageBoxSink messages;
  LoadLaunchParams(first_argument, messages);

  TCorvaneBootMainForm form;
  form.FillFromLaunchParams(LaunchParams, ProxyType);
  form.show();
  return app.exec();
}
