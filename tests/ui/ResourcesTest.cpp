// Every dialog, menu, string and DATA resource exists in the three languages
// with the same ids, and each dialog can be created with every control's
// text fitting inside the control in the dialog's font.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "UiTestUtil.h"
#include "resources/ResourceIds.h"
#include "ui/DialogTemplateFont.h"
#include "ui/UiResources.h"

namespace {

const LANGID kLanguages[] = {2052, 1041, 1042};

typedef std::map<UINT, std::set<LANGID>> NameLanguages;

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR name, WORD language, LONG_PTR out) {
  (*reinterpret_cast<NameLanguages*>(out))[UINT(ULONG_PTR(name))].insert(language);
  return TRUE;
}

BOOL CALLBACK AddName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR out) {
  EXPECT_TRUE(IS_INTRESOURCE(name)) << "resources are named by number";
  EnumResourceLanguagesW(module, type, name, AddLanguage, out);
  return TRUE;
}

NameLanguages Names(LPCWSTR type) {
  NameLanguages names;
  EnumResourceNamesW(GetModuleHandleW(nullptr), type, AddName, LONG_PTR(&names));
  return names;
}

// The printf conversions of a text, in order ("%%" is no conversion).
std::vector<std::wstring> Placeholders(const std::wstring& text) {
  std::vector<std::wstring> out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'%') continue;
    if (i + 1 < text.size() && text[i + 1] == L'%') {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < text.size() && !wcschr(L"sSdiuxXcfgep", text[end])) ++end;
    out.push_back(text.substr(i, end + 1 - i));
    i = end;
  }
  return out;
}

INT_PTR CALLBACK Quiet(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}

// The style of a dialog template (DLGTEMPLATEEX or DLGTEMPLATE).
DWORD TemplateStyle(const void* tpl) {
  const WORD* w = static_cast<const WORD*>(tpl);
  if (w[0] == 1 && w[1] == 0xFFFF) return *reinterpret_cast<const DWORD*>(w + 6);
  return static_cast<const DLGTEMPLATE*>(tpl)->style;
}

// The classes the program's dialogs use beyond the basic ones.
void LoadControlClasses() {
  static bool done = false;
  if (done) return;
  done = true;
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_WIN95_CLASSES | ICC_DATE_CLASSES | ICC_LINK_CLASS |
                                              ICC_USEREX_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  LoadLibraryW(L"riched20.dll");
  LoadLibraryW(L"msftedit.dll");
}

// Creates the dialog hidden: the ids of its controls in order, and what of
// its face does not fit. A page or panel (a child template) is created
// inside a hidden window.
std::vector<int> CreateAndMeasure(UINT id, LANGID language, std::wstring* caption, bool* child,
                                  std::vector<std::string>* faults) {
  LoadControlClasses();
  std::vector<int> ids;
  const void* tpl =
      FindUiResource(GetModuleHandleW(nullptr), RT_DIALOG, MAKEINTRESOURCEW(id), language, nullptr);
  *child = tpl && (TemplateStyle(tpl) & WS_CHILD);
  HWND owner = *child ? CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 800, 600, nullptr,
                                        nullptr, nullptr, nullptr)
                      : nullptr;
  HWND dialog =
      tpl ? CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                                       static_cast<const DLGTEMPLATE*>(tpl), owner, Quiet, 0)
          : nullptr;
  EXPECT_NE(nullptr, dialog) << "dialog " << id << " in " << language;
  if (!dialog) {
    if (owner) DestroyWindow(owner);
    return ids;
  }
  wchar_t text[512];
  GetWindowTextW(dialog, text, 512);
  *caption = text;
  for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    ids.push_back(GetDlgCtrlID(c));
  // Texts the program puts into empty statics of its templates.
  static const struct {
    UINT dialog;
    int control;
    UINT text;
  } kSetTexts[] = {{IDD_IMG_NET_PROP_ADVANCED, IDC_PROP_NOTE, IDS_STORE_PARAMS_HINT}};
  for (const auto& set : kSetTexts) {
    if (set.dialog != id) continue;
    wchar_t note[1024];
    LoadUiString(GetModuleHandleW(nullptr), set.text, language, note, 1024);
    SetDlgItemTextW(dialog, set.control, note);
  }
  *faults = uitest::TextsThatDoNotFit(dialog);
  DestroyWindow(dialog);
  if (owner) DestroyWindow(owner);
  return ids;
}

TEST(Resources, EveryResourceInAllThreeLanguages) {
  const LPCWSTR types[] = {RT_DIALOG, RT_MENU, RT_STRING, L"DATA"};
  for (LPCWSTR type : types) {
    NameLanguages names = Names(type);
    EXPECT_FALSE(names.empty());
    for (const auto& n : names)
      EXPECT_EQ((std::set<LANGID>{1041, 1042, 2052}), n.second) << "resource " << n.first;
  }
}

TEST(Resources, StringsMatchAcrossLanguages) {
  HMODULE module = GetModuleHandleW(nullptr);
  int compared = 0;
  for (const auto& block : Names(RT_STRING)) {
    for (UINT id = (block.first - 1) * 16; id < block.first * 16; ++id) {
      wchar_t chinese[1024];
      int length = LoadUiString(module, id, 2052, chinese, 1024);
      // An image is "\x6620\x50CF" in every Chinese text, never "\x955C\x50CF".
      EXPECT_EQ(nullptr, wcsstr(chinese, L"\x955C\x50CF")) << "string " << id;
      for (LANGID language : kLanguages) {
        wchar_t text[1024];
        int n = LoadUiString(module, id, language, text, 1024);
        EXPECT_EQ(length > 0, n > 0) << "string " << id << " in " << language;
        if (n > 0) {
          EXPECT_EQ(Placeholders(chinese), Placeholders(text))
              << "string " << id << " in " << language;
          ++compared;
        }
      }
    }
  }
  EXPECT_GE(compared, 12);
  wchar_t bytes[32];
  LoadUiString(module, 223, 1042, bytes, 32);
  EXPECT_STREQ(L"%u \xBC14\xC774\xD2B8", bytes);
}

// Command ids of a menu, depth first; separators as 0, popups as -1; texts
// must not be empty, but for the nameless popup that holds a context menu.
void WalkMenu(HMENU menu, std::vector<UINT>& ids, LANGID language, int depth = 0) {
  for (int i = 0, n = GetMenuItemCount(menu); i < n; ++i) {
    wchar_t text[128] = L"";
    MENUITEMINFOW info = {sizeof info, MIIM_ID | MIIM_SUBMENU | MIIM_FTYPE | MIIM_STRING};
    info.dwTypeData = text;
    info.cch = 128;
    ASSERT_TRUE(GetMenuItemInfoW(menu, i, TRUE, &info));
    if (info.fType & MFT_SEPARATOR) {
      ids.push_back(0);
      continue;
    }
    if (!info.hSubMenu || depth > 0) {
      EXPECT_NE(L'\0', text[0]) << "menu item " << info.wID << " in " << language;
    }
    if (info.hSubMenu) {
      ids.push_back(UINT(-1));
      WalkMenu(info.hSubMenu, ids, language, depth + 1);
    } else {
      ids.push_back(info.wID);
    }
  }
}

TEST(Resources, MenusMatchAcrossLanguages) {
  for (const auto& n : Names(RT_MENU)) {
    std::vector<UINT> chinese;
    for (LANGID language : kLanguages) {
      HMENU menu = LoadUiMenu(GetModuleHandleW(nullptr), n.first, language);
      ASSERT_NE(nullptr, menu);
      std::vector<UINT> ids;
      WalkMenu(menu, ids, language);
      DestroyMenu(menu);
      if (language == 2052)
        chinese = ids;
      else
        EXPECT_EQ(chinese, ids) << "menu " << n.first << " in " << language;
    }
  }
}

// Every popup of every menu shown at the display: each item's text and its
// shortcut fit side by side, with a gap, in each language.
TEST(Resources, MenusShowTheirTextsWhole) {
  HWND owner = uitest::MakeHost();
  for (const auto& n : Names(RT_MENU)) {
    for (LANGID language : kLanguages) {
      HMENU menu = LoadUiMenu(GetModuleHandleW(nullptr), n.first, language);
      ASSERT_NE(nullptr, menu);
      for (const std::string& fault : uitest::MenuTextsThatDoNotFit(owner, menu))
        ADD_FAILURE() << "menu " << n.first << " in " << language << ": " << fault;
      DestroyMenu(menu);
    }
  }
  DestroyWindow(owner);
}

TEST(Resources, DialogsCreateAndTheirTextsFit) {
  for (const auto& n : Names(RT_DIALOG)) {
    std::vector<int> chineseIds;
    for (LANGID language : kLanguages) {
      std::wstring caption;
      bool child = false;
      std::vector<std::string> faults;
      std::vector<int> ids = CreateAndMeasure(n.first, language, &caption, &child, &faults);
      if (!child) {
        EXPECT_FALSE(caption.empty()) << "dialog " << n.first << " in " << language;
      }
      for (const std::string& fault : faults)
        ADD_FAILURE() << "dialog " << n.first << " in " << language << ": " << fault;
      if (language == 2052)
        chineseIds = ids;
      else
        EXPECT_EQ(chineseIds, ids) << "dialog " << n.first << " in " << language;
    }
  }
}

// Every template names its language's font, as a language switch reads it;
// a template cut before its face name gives none.
TEST(Resources, TemplatesNameTheFontOfTheirLanguage) {
  const std::map<LANGID, std::wstring> faces = {
      {2052, L"SimSun"}, {1041, L"MS UI Gothic"}, {1042, L"Gulim"}};
  for (const auto& n : Names(RT_DIALOG)) {
    for (LANGID language : kLanguages) {
      DWORD size = 0;
      const void* tpl = FindUiResource(GetModuleHandleW(nullptr), RT_DIALOG,
                                       MAKEINTRESOURCEW(n.first), language, &size);
      LOGFONTW font;
      ASSERT_EQ(1, ReadDialogTemplateFont(tpl, size, nullptr, &font)) << n.first;
      EXPECT_EQ(faces.at(language), font.lfFaceName) << n.first << " in " << language;
      EXPECT_LT(font.lfHeight, 0);
      const wchar_t* words = static_cast<const wchar_t*>(tpl);
      const std::wstring& name = faces.at(language);
      const wchar_t* face =
          std::search(words, words + size / 2, name.c_str(), name.c_str() + name.size());
      ASSERT_LT(face, words + size / 2);
      const DWORD before = DWORD(face - words) * 2 + 4;
      EXPECT_EQ(0, ReadDialogTemplateFont(tpl, before, nullptr, &font)) << n.first;
    }
  }
}

TEST(Resources, DataTextsAreUtf16WithByteOrderMark) {
  for (const auto& n : Names(L"DATA")) {
    for (LANGID language : kLanguages) {
      DWORD size = 0;
      const wchar_t* text = static_cast<const wchar_t*>(FindUiResource(
          GetModuleHandleW(nullptr), L"DATA", MAKEINTRESOURCEW(n.first), language, &size));
      ASSERT_NE(nullptr, text);
      ASSERT_GT(size, 64u);
      EXPECT_EQ(0xFEFF, text[0]);
      std::wstring body(text + 1, size / 2 - 1);
      EXPECT_EQ(0u, body.find(L"VroMount")) << "help " << language;
      EXPECT_NE(std::wstring::npos, body.find(L"/inject:\\Path\\test.zip::D:\\test.zip\r\n"));
    }
  }
}

}  // namespace
