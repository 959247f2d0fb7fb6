#include "ui/cli_front_end.h"

#include <algorithm>

#include "app/launch_params.h"
#include "app/process_identity.h"
#include "pack/text_encodings.h"
#include "ui/module_names.h"
#include "ui/start_sequence.h"

namespace {

constexpr int kBarWidth = 40;

class TLineMessages : public TMessageSink {
 public:
  explicit TLineMessages(std::ostream& err) : err_(err) {}
  void ShowMessage(const std::u16string& text) override {
    err_ << WideToUtf8(text) << '\n' << std::flush;
  }

 private:
  std::ostream& err_;
};

// A progress bar drawn on one terminal line, redrawn in place.
class TTerminalBar : public TProgressBar {
 public:
  TTerminalBar(std::ostream& err, bool enabled) : err_(err), enabled_(enabled) {}

  void SetMaximum(int64_t maximum) override {
    maximum_ = std::max<int64_t>(maximum, 0);
    Draw();
  }
  void SetPosition(int64_t position) override {
    position_ = std::clamp<int64_t>(position, 0, std::max<int64_t>(maximum_, 0));
    Draw();
  }
  // Clears the bar's line so that a text line can be written.
  void Clear() {
    if (!drawn_) return;
    err_ << '\r' << std::string(kBarWidth + 24, ' ') << '\r' << std::flush;
    drawn_ = false;
  }

 private:
  void Draw() {
    if (!enabled_) return;
    if (drawn_ && drawn_position_ == position_ && drawn_maximum_ == maximum_) return;
    drawn_position_ = position_;
    drawn_maximum_ = maximum_;
    const int filled = maximum_ > 0 ? static_cast<int>(position_ * kBarWidth / maximum_) : 0;
    err_ << "\r[" << std::string(filled, '#') << std::string(kBarWidth - filled, ' ') << "] "
         << position_ << '/' << maximum_ << std::flush;
    drawn_ = true;
  }

  std::ostream& err_;
  bool enabled_;
  bool drawn_ = false;
  int64_t maximum_ = 0;
  int64_t position_ = 0;
  int64_t drawn_maximum_ = -1;
  int64_t drawn_position_ = -1;
};

class TTextLines : public TStatusText {
 public:
  TTextLines(std::ostream& err, TTerminalBar& bar) : err_(err), bar_(bar) {}
  void SetText(const std::u16string& text) override {
    if (text.empty()) return;
    bar_.Clear();
    err_ << WideToUtf8(text) << '\n' << std::flush;
  }

 private:
  std::ostream& err_;
  TTerminalBar& bar_;
};

class TCliFrontEnd : public TStartFrontEnd {
 public:
  TCliFrontEnd(std::ostream& err, bool err_is_terminal, TCancelToken& cancel)
      : bar_(err, err_is_terminal), lines_(err, bar_), cancel_(cancel) {
    address_ = LaunchParams.ServerHost;
    port_ = AsciiToWide(std::to_string(LaunchParams.ServerPort));
    parent_exe_name_ = ProcessExeName(ParentProcessId(CurrentProcessId()));
  }

  void SetMessageLine(const std::u16string& text) override { lines_.SetText(text); }
  TStatusText& StatusLine() override { return lines_; }
  TProgressBar* ProgressBar() override { return &bar_; }
  void SetStartEnabled(bool) override {}
  void ProcessMessages() override {}
  void Close() override {
    bar_.Clear();
    closed_ = true;
  }
  std::u16string AddressText() override { return address_; }
  std::u16string PortText() override { return port_; }
  std::u16string ParentExeName() override { return parent_exe_name_; }
  const TCancelToken& Terminated() override { return cancel_; }

  void Finish() { bar_.Clear(); }
  TTextLines& Lines() { return lines_; }

 private:
  TTerminalBar bar_;
  TTextLines lines_;
  TCancelToken& cancel_;
  std::u16string address_;
  std::u16string port_;
  std::u16string parent_exe_name_;
  bool closed_ = false;
};

}  // namespace

int RunCliFrontEnd(const std::u16string& first_argument, std::ostream& out, std::ostream& err,
                   bool err_is_terminal, TCancelToken& cancel) {
  TLineMessages messages(err);
  LoadLaunchParams(first_argument, messages);

  const std::vector<std::u16string> modules = BuildModuleList(kLanguageChinese);
  std::u16string module;
  if (LaunchParams.ModuleIndex >= 0 &&
      static_cast<size_t>(LaunchParams.ModuleIndex) < modules.size())
    module = modules[LaunchParams.ModuleIndex];
  out << "網站：" << WideToUtf8(LaunchParams.ServerHost) << '\n'
      << "Port：" << LaunchParams.ServerPort << '\n'
      << "模組：" << WideToUtf8(module) << '\n'
      << "公司代號：" << WideToUtf8(LaunchParams.CmNo) << '\n'
      << std::flush;

  TCliFrontEnd front(err, err_is_terminal, cancel);
  const TStartResult result = TntButton1Click(front);
  front.Finish();

  switch (result.outcome) {
    case TStartOutcome::kBrowserStarted:
      return kCliBrowserStarted;
    case TStartOutcome::kServerNotAlive:
    case TStartOutcome::kBadAddress:
      return kCliServerNotAlive;
    case TStartOutcome::kDownloadFailed:
      if (cancel.IsCancelled()) return kCliOther;
      if (!result.message.empty()) front.Lines().SetText(u"錯誤訊息：" + result.message);
      return kCliDownloadFailed;
    case TStartOutcome::kBrowserNotStarted:
      front.Lines().SetText(u"無法啟動： " + result.browser_path);
      return kCliBrowserNotStarted;
    case TStartOutcome::kBadPort:
    case TStartOutcome::kCancelled:
      return kCliOther;
  }
  return kCliOther;
}
