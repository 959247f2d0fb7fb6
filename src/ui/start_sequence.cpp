#include "ui/start_sequence.h"

#include <limits>
#include <vector>

#include "app/launch_params.h"
#include "net/command_calls.h"
#include "sync/download_server_file.h"
#include "ui/launch_string.h"
#include "ui/special_folders.h"

namespace {

// The port box text read as a decimal integer: optional sign, digits, and a
// value that fits 32 bits; false for anything else (the empty text included).
bool ReadDecimal(const std::u16string& text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  if (i == text.size()) return false;
  int64_t number = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return false;
    number = number * 10 + (text[i] - u'0');
    if (number > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  if (negative) number = -number;
  if (number > std::numeric_limits<int32_t>::max()) return false;
  value = static_cast<int32_t>(number);
  return true;
}

}  // namespace

std::u16string AddressFolderProblem(const std::u16string& address) {
  if (address.empty()) return u"網站名稱是空的，無法當作資料夾名稱";
  if (address == u"." || address == u"..") return u"網站名稱不能是 . 或 ..： " + address;
  if (address.find(u'\0') != std::u16string::npos) return u"網站名稱不能含有 NUL 字元";
  if (address.find(u'/') != std::u16string::npos) return u"網站名稱不能含有 /： " + address;
  return {};
}

bool CheckServerAlive(const std::u16string& host, int32_t port, std::u16string& message) {
  message.clear();
  if (host.empty() || port == 0) return false;
  const std::vector<std::u16string> params = {std::u16string(u"LOGINKEY:") + kLoginKey};
  std::u16string result_text;
  std::u16string error_text;
  const bool ok = CallCommandText(u"A001", u"TEST_SERVER_ALIVE", host, port, params, result_text,
                                  error_text, 3, 0);
  message = ok ? std::u16string() : error_text;
  return ok && result_text == u"RESULTOK";
}

TStartResult TntButton1Click(TStartFrontEnd& front) {
  TStartResult result;

  // Disabled before the first blocking call, and never enabled again.
  front.SetStartEnabled(false);
  front.ProcessMessages();

  // The check tests the launch parameters, not the boxes.
  if (!CheckServerAlive(LaunchParams.ServerHost, LaunchParams.ServerPort, result.message)) {
    front.SetMessageLine(kServerNotFound);
    front.StatusLine().SetText(result.message);
    result.outcome = TStartOutcome::kServerNotAlive;
    return result;
  }

  const std::u16string server_file_name = kBrowserServerFileName;
  const std::u16string base_folder = BrowserBaseFolder(LaunchParams.DataDir);

  // The address box text becomes one folder name below the base folder; a
  // text that would leave that place or break the path is refused here,
  // before anything is created.
  const std::u16string address = front.AddressText();
  const std::u16string problem = AddressFolderProblem(address);
  if (!problem.empty()) {
    front.SetMessageLine(kServerNotFound);
    front.StatusLine().SetText(problem);
    result.outcome = TStartOutcome::kBadAddress;
    result.message = problem;
    return result;
  }
  int32_t port = 0;
  const std::u16string port_text = front.PortText();
  if (!ReadDecimal(port_text, port)) {
    result.message = u"Port 不是數字： " + port_text;
    front.StatusLine().SetText(result.message);
    result.outcome = TStartOutcome::kBadPort;
    return result;
  }

  const std::u16string browser_folder = base_folder + u"/CorvaneBoot/" + address + u"/CorvaneWeb";
  const std::u16string browser_path = browser_folder + u"/" + kBrowserFileName;
  result.browser_path = browser_path;
  // Not tested: a folder that cannot be made shows up as a failed download.
  ForceFolder(browser_folder);

  const std::u16string launch_string = BuildLaunchString(browser_folder, front.ParentExeName());

  TRunControl run;
  run.ProcessMessages = [&front] { front.ProcessMessages(); };
  run.Terminated = &front.Terminated();
  if (!DownloadServerFile(kLoginKey, address, port, server_file_name, browser_path, result.message,
                          front.ProgressBar(), nullptr, &front.StatusLine(), kDownloadPieceSize,
                          true, true, true, true, u"download", u"downloadtemp", run)) {
    result.outcome = TStartOutcome::kDownloadFailed;
    return result;
  }

  // Closed during an unchanged test or a last step that did not look at the
  // flag: the user asked to leave, so nothing is started.
  if (front.Terminated().IsCancelled()) {
    result.outcome = TStartOutcome::kCancelled;
    return result;
  }

  if (StartProgram(browser_path, launch_string, 1) != 0) {
    result.outcome = TStartOutcome::kBrowserStarted;
    front.Close();
    return result;
  }
  result.outcome = TStartOutcome::kBrowserNotStarted;
  return result;
}
