// TCorvaneBootMainForm: the launcher's one small fixed-size window.
//
// It shows the server address and port, the selected module and the company
// code, the start and exit buttons, a red message line, a status line and a
// progress bar over a background picture. The start button runs the start
// sequence (ui/start_sequence.h). Main thread only.
#pragma once

#include <QWidget>
#include <cstdint>
#include <string>
#include <vector>

#include "app/launch_params.h"
#include "pack/progress.h"
#include "ui/start_sequence.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QCloseEvent;

class TCorvaneBootMainForm : public QWidget {
  Q_OBJECT

 public:
  explicit TCorvaneBootMainForm(QWidget* parent = nullptr);
  ~TCorvaneBootMainForm() override;

  // Steps 4 to 9 of the process entry: the source indicator, the boxes from
  // params, the "Proxy" label, and, when host and port are both known, a
  // posted mouse press and release on the start button, so the start
  // sequence runs once the message loop delivers them.
  void FillFromLaunchParams(const TLaunchParams& params, int32_t proxy_type);

  // The text in the window's language (LanguageCode).
  std::u16string TranslateText(const std::u16string& text) const;

  // The outcome of the last start sequence run, when there was one.
  bool StartSequenceRan() const { return start_ran_; }
  const TStartResult& LastStartResult() const { return last_start_; }
  const TCancelToken& Terminated() const { return terminated_; }

  // Controls, in creation order (which is also their stacking order).
  QLabel* TntLabel2 = nullptr;
  QLabel* Image1 = nullptr;
  QLabel* TntLabel1 = nullptr;
  QLabel* TntLabel3 = nullptr;
  QLabel* TntLabel4 = nullptr;
  QLabel* TntLabel5 = nullptr;
  QLabel* Label15 = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QLineEdit* TntEdit1 = nullptr;
  QLineEdit* TntEdit2 = nullptr;
  QPushButton* TntButton1 = nullptr;
  QPushButton* TntButton2 = nullptr;
  QLineEdit* TntEdit3 = nullptr;
  QLineEdit* TntEdit4 = nullptr;

  // Fields the window adds.
  std::u16string LanguageCode;
  std::vector<std::u16string> ModuleList;
  std::u16string ParentExeName;

 public slots:
  void TntButton1Click();
  void TntButton2Click();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  class TFrontEnd;

  void CreateControls();
  void FormCreate();

  TCancelToken terminated_;
  TFrontEnd* front_ = nullptr;
  bool start_ran_ = false;
  TStartResult last_start_;
};

// LoadLaunchParams' "mPARA_STR:" message in the window program: a modal
// message box with one button, one box per message.
class TMessageBoxSink : public TMessageSink {
 public:
  void ShowMessage(const std::u16string& text) override;
};

// The default server host name the address box shows before the entry fills
// it from the launch parameters.
inline constexpr char16_t kDefaultAddressText[] = u"127.0.0.1";
