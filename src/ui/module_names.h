// The web system's modules and the window's Chinese-to-English text table.
//
// The module index of the parameter string and the "LOGINTYPE=" value of the
// launch string count in kModuleNames' order from 0. The first 17 modules
// carry the codes "WEB01" to "WEB17"; the last two have none.
// Header-only so that both front ends (window and terminal) share it.
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

inline constexpr std::array<const char16_t*, 19> kModuleNames = {
    u"會計總帳系統", u"進銷存管理系統", u"人事薪資系統", u"生產管理系統", u"採購管理系統",
    u"應收帳款系統", u"應付帳款系統",   u"固定資產系統", u"庫存管理系統", u"客戶關係管理系統",
    u"品質管理系統", u"出勤管理系統",   u"專案管理系統", u"報表查詢系統", u"文件管理系統",
    u"電子簽核系統", u"預算控制系統",   u"物流配送系統", u"權限設定系統",
};

inline constexpr char16_t kLanguageChinese[] = u"L0404";
inline constexpr char16_t kLanguageEnglish[] = u"L0409";

// The 32 rows of the text table, Chinese and English, in table order.
inline const std::vector<std::pair<std::u16string, std::u16string>>& TextTable() {
  static const std::vector<std::pair<std::u16string, std::u16string>> table = [] {
    std::vector<std::pair<std::u16string, std::u16string>> rows = {
        {u"歡迎使用澄嶺資訊網際網路系統", u"Corvane Web System"},
        {u"歡迎使用", u"Welcome"},
        {u"澄嶺資訊網際網路系統", u"Corvane Web System"},
        {u"系統", u"System"},
        {u"網站", u"Address(IP)"},
        {u"Port", u"Port"},
        {u"公司代號", u"Company"},
        {u"檔案", u"Files"},
        {u"連線設定", u"Network Setting"},
        {u"進入系統", u"Enter"},
    };
    // Rows 11 to 27: "WEBnn(" + name + ")"; modules 01 and 02 drop the
    // name's ending "系統" inside the parentheses.
    for (int i = 0; i < 17; ++i) {
      std::u16string name = kModuleNames[i];
      std::u16string shown = name;
      if (i < 2) shown = name.substr(0, name.size() - 2);
      const char16_t tens = static_cast<char16_t>(u'0' + (i + 1) / 10);
      const char16_t ones = static_cast<char16_t>(u'0' + (i + 1) % 10);
      rows.push_back({name, std::u16string(u"WEB") + tens + ones + u"(" + shown + u")"});
    }
    rows.push_back(
        {u"檢查元件，若是第一次使用，所需時間較久", u"Checking objects. Please wait....."});
    rows.push_back({u"元件檢查失敗，請重試....", u"Check fail. Please try to login again."});
    rows.push_back({u"檢查完成，開始讀取登入資料.....", u"Reading login data"});
    rows.push_back(
        {u"查無執行元件，請重新登入....", u"Can't find object. Please try to login again."});
    rows.push_back({u"錯誤訊息：", u"Error message:"});
    return rows;
  }();
  return table;
}

// The text in the language of language_code: the English column for "L0409"
// when the text matches a row's Chinese column exactly, else the text itself.
inline std::u16string TranslateText(const std::u16string& language_code,
                                    const std::u16string& text) {
  const int language = language_code == kLanguageEnglish ? 1 : 0;
  for (const auto& [chinese, english] : TextTable()) {
    if (chinese == text) return language == 1 ? english : text;
  }
  return text;
}

// The module list in its fixed order, each name through TranslateText.
inline std::vector<std::u16string> BuildModuleList(const std::u16string& language_code) {
  std::vector<std::u16string> list;
  for (const char16_t* name : kModuleNames) list.push_back(TranslateText(language_code, name));
  return list;
}
