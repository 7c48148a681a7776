#include "driverui/ImgNetPropAdvancedDlg.h"

#include <commctrl.h>

#include <cstdlib>
#include <cwchar>
#include <vector>

#include "driverui/DriverListDraw.h"
#include "driverui/NdiParamRecord.h"
#include "driverui/ThemeHelpers.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "registry/RegistryReads.h"
#include "ui/UiResources.h"
#include "ui/shared/ChildPage.h"

namespace {

enum : int {
  kParams = 1019,
  kEnum = 1020,
  kNumber = 1026,
  kSpin = 1027,
  kPresent = 1028,
  kText = 1029,
  kAbsent = 1030,
  kHelp = 1031,
  kNote = 1000,
};

// A value's data as text (UTF-16 up to its first NUL); false when missing.
bool QueryText(CMountedImage* image, const std::wstring& key, const wchar_t* name,
               std::wstring& text) {
  std::vector<uint8_t> data;
  if (!ReadRegistryBytes(image, key, name, data)) return false;
  text.assign(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
  text.resize(wcsnlen(text.c_str(), text.size()));
  return true;
}

long QueryNumber(CMountedImage* image, const std::wstring& key, const wchar_t* name, int base,
                 bool* present = nullptr) {
  std::wstring text;
  bool has = QueryText(image, key, name, text);
  if (present) *present = has;
  if (!has) return 0;
  return base == 10 ? wcstol(text.c_str(), nullptr, 10)
                    : static_cast<long>(wcstoul(text.c_str(), nullptr, base));
}

void Show(HWND page, std::initializer_list<int> shown, std::initializer_list<int> hidden) {
  for (int id : hidden) ShowWindow(GetDlgItem(page, id), SW_HIDE);
  for (int id : shown) ShowWindow(GetDlgItem(page, id), SW_SHOW);
}

}  // namespace

CImgNetPropAdvancedDlg::CImgNetPropAdvancedDlg(CWindow* sheet, int instance, CMountedImage* image)
    : m_image(image), m_showing(false) {
  Create(sheet, 140, FALSE, instance);
}

std::wstring CImgNetPropAdvancedDlg::ClassKey() const {
  wchar_t key[400];
  swprintf(key, 400,
           L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Control\\Class\\"
           L"{4D36E972-E325-11CE-BFC1-08002BE10318}\\%04u",
           ReadCurrentControlSet(m_image), static_cast<unsigned>(m_param));
  return key;
}

std::wstring CImgNetPropAdvancedDlg::ParamKey(const wchar_t* name) const {
  return ClassKey() + L"\\Ndi\\params\\" + name;
}

LRESULT CImgNetPropAdvancedDlg::OnInitDialog() {
  PlaceChildPage(m_hWnd, 25, 70);
  EnableTabTexture(m_hWnd);
  HWND list = GetDlgItem(m_hWnd, kParams);
  const std::wstring classKey = ClassKey();
  for (const std::wstring& name : ListRegistrySubkeys(m_image, classKey + L"\\Ndi\\params")) {
    std::wstring key = classKey + L"\\Ndi\\params\\" + name, desc;
    if (!QueryText(m_image, key, L"ParamDesc", desc)) continue;
    LRESULT index = SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(desc.c_str()));
    if (index < 0) continue;
    NdiParamRecord* record = static_cast<NdiParamRecord*>(malloc(sizeof(NdiParamRecord)));
    if (!record) continue;
    InitNdiParamRecord(record);
    std::wstring loaded;
    if (QueryText(m_image, classKey, name.c_str(), loaded)) {
      CopyNdiText(record->value, kNdiValueChars, loaded.c_str());
    } else if (QueryText(m_image, key, L"Default", loaded) && !loaded.empty()) {
      CopyNdiText(record->value, kNdiValueChars, loaded.c_str());
    }
    record->changed = 0;
    CopyNdiText(record->name, 80, name.c_str());
    SendMessageW(list, LB_SETITEMDATA, index, reinterpret_cast<LPARAM>(record));
  }
  PostMessageW(list, LB_SETCURSEL, 0, 0);
  PostMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(kParams, LBN_SELCHANGE),
               reinterpret_cast<LPARAM>(list));
  wchar_t note[200];
  LoadUiString(GetUiModule(), 273, m_language, note, 200);
  SetDlgItemTextW(m_hWnd, kNote, note);
  ShowWindow(m_hWnd, SW_SHOW);
  return 1;
}

LRESULT CImgNetPropAdvancedDlg::OnCtlColor(HDC dc, HWND control, int kind) {
  if (kind != 6 || GetDlgCtrlID(control) != kNote) return 0;
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 255));
  return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
}

NdiParamRecord* CImgNetPropAdvancedDlg::Selected() const {
  HWND list = GetDlgItem(m_hWnd, kParams);
  LRESULT index = SendMessageW(list, LB_GETCURSEL, 0, 0);
  if (index < 0) return nullptr;
  LRESULT data = SendMessageW(list, LB_GETITEMDATA, index, 0);
  return data > 0 ? reinterpret_cast<NdiParamRecord*>(data) : nullptr;
}

void CImgNetPropAdvancedDlg::FreeComboValues() {
  HWND combo = GetDlgItem(m_hWnd, kEnum);
  int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    LRESULT data = SendMessageW(combo, CB_GETITEMDATA, i, 0);
    if (data > 0) free(reinterpret_cast<wchar_t*>(data));
    SendMessageW(combo, CB_SETITEMDATA, i, 0);
  }
}

void CImgNetPropAdvancedDlg::ShowParameter(NdiParamRecord* record) {
  const std::wstring key = ParamKey(record->name);
  std::wstring help;
  wchar_t helpKey[400];
  swprintf(helpKey, 400,
           L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Control\\Class\\"
           L"{4D36E972-E325-11CE-BFC1-08002BE10318}\\%04u\\PROSetNdi\\NdiExt\\params\\%s",
           ReadCurrentControlSet(m_image), static_cast<unsigned>(m_param), record->name);
  SetDlgItemTextW(m_hWnd, kHelp,
                  QueryText(m_image, helpKey, L"MiniHelp", help) ? help.c_str() : L"");
  std::wstring type;
  if (!QueryText(m_image, key, L"type", type)) return;
  HWND page = m_hWnd;
  m_showing = true;
  if (SameTextAZ(type.c_str(), L"enum")) {
    Show(page, {kEnum}, {kPresent, kAbsent, kText, kNumber, kSpin});
    HWND combo = GetDlgItem(page, kEnum);
    FreeComboValues();
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    for (const RegistryValue& value : ListRegistryValues(m_image, key + L"\\enum")) {
      if (value.name.empty() || value.type != REG_SZ || value.data.size() < 2) continue;
      std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / 2);
      text.resize(wcsnlen(text.c_str(), text.size()));
      if (text.empty()) continue;
      LRESULT index =
          SendMessageW(combo, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
      if (index < 0) continue;
      wchar_t* copy = _wcsdup(value.name.c_str());
      SendMessageW(combo, CB_SETITEMDATA, index, reinterpret_cast<LPARAM>(copy));
      if (SameTextAZ(value.name.c_str(), record->value))
        SendMessageW(combo, CB_SETCURSEL, index, 0);
    }
  } else if (SameTextAZ(type.c_str(), L"edit")) {
    Show(page, {kPresent, kAbsent, kText}, {kEnum, kNumber, kSpin});
    HWND text = GetDlgItem(page, kText);
    long limit = QueryNumber(m_image, key, L"LimitText", 10);
    if (limit <= 0) limit = 100;
    // What is typed is kept to the record's typed-text width; the box
    // refuses further characters.
    if (limit > kNdiTypedValueChars) limit = kNdiTypedValueChars;
    SendMessageW(text, EM_LIMITTEXT, limit, 0);
    LONG style = GetWindowLongW(text, GWL_STYLE) & ~(ES_UPPERCASE | ES_LOWERCASE);
    if (QueryNumber(m_image, key, L"UpperCase", 10)) style |= ES_UPPERCASE;
    if (QueryNumber(m_image, key, L"LowerCase", 10)) style |= ES_LOWERCASE;
    SetWindowLongW(text, GWL_STYLE, style);
    bool present = !record->absentChosen;
    if (present && !record->value[0]) {
      std::wstring loaded;
      present = QueryText(m_image, ClassKey(), record->name, loaded);
      if (present && !record->changed) CopyNdiText(record->value, kNdiValueChars, loaded.c_str());
    }
    EnableWindow(text, present);
    CheckRadioButton(page, kPresent, kAbsent, present ? kPresent : kAbsent);
    SetWindowTextW(text, present ? record->value : L"");
  } else if (SameTextAZ(type.c_str(), L"int") || SameTextAZ(type.c_str(), L"word") ||
             SameTextAZ(type.c_str(), L"dword") || SameTextAZ(type.c_str(), L"byte") ||
             SameTextAZ(type.c_str(), L"short") || SameTextAZ(type.c_str(), L"long")) {
    Show(page, {kNumber, kSpin}, {kPresent, kAbsent, kText, kEnum});
    long base = QueryNumber(m_image, key, L"Base", 10);
    if (base <= 1 || base > 36) base = 10;
    record->base = base;
    long maximum = QueryNumber(m_image, key, L"Max", base);
    long minimum = QueryNumber(m_image, key, L"Min", base);
    HWND spin = GetDlgItem(page, kSpin);
    SendMessageW(spin, UDM_SETRANGE32, minimum, maximum);
    // The stored text is read in the parameter's own base.
    long position = record->value[0] ? static_cast<long>(wcstoul(record->value, nullptr, base)) : 0;
    SendMessageW(spin, UDM_SETPOS32, 0, position);
  }
  m_showing = false;
}

LRESULT CImgNetPropAdvancedDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  if (wParam == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    return 0;
  }
  NdiParamRecord* record = Selected();
  if (!record) return 0;
  const int id = LOWORD(wParam), code = HIWORD(wParam);
  if (id == kParams && code == LBN_SELCHANGE) {
    ShowParameter(record);
  } else if (id == kEnum && code == CBN_SELCHANGE) {
    HWND combo = GetDlgItem(m_hWnd, kEnum);
    LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    LRESULT data = index >= 0 ? SendMessageW(combo, CB_GETITEMDATA, index, 0) : 0;
    if (data > 0) {
      const wchar_t* value = reinterpret_cast<const wchar_t*>(data);
      if (!record->value[0] || !SameTextAZ(record->value, value)) {
        CopyNdiText(record->value, kNdiValueChars, value);
        record->changed = 1;
      }
    }
  } else if (id == kNumber && code == EN_CHANGE && !m_showing) {
    wchar_t text[101] = L"";
    GetDlgItemTextW(m_hWnd, kNumber, text, 101);
    wchar_t number[40];
    FormatNdiNumber(static_cast<uint32_t>(wcstoul(text, nullptr, 10)), record->base, number, 40);
    if (!record->value[0] || !SameTextAZ(record->value, number)) {
      CopyNdiText(record->value, kNdiValueChars, number);
      record->changed = 1;
    }
  } else if (id == kText && code == EN_CHANGE && !m_showing) {
    if (IsDlgButtonChecked(m_hWnd, kPresent) != BST_CHECKED ||
        !IsWindowEnabled(GetDlgItem(m_hWnd, kText)))
      return 0;
    wchar_t text[101] = L"";
    GetDlgItemTextW(m_hWnd, kText, text, 101);
    if (!text[0]) return 0;
    text[kNdiTypedValueChars] = 0;
    if (!record->value[0] || !SameTextAZ(record->value, text)) {
      CopyNdiText(record->value, kNdiValueChars, text);
      record->changed = 1;
    }
  } else if (wParam == kPresent || wParam == kAbsent) {
    HWND text = GetDlgItem(m_hWnd, kText);
    m_showing = true;
    SetWindowTextW(text, L"");
    m_showing = false;
    if (IsDlgButtonChecked(m_hWnd, kPresent) == BST_CHECKED) {
      EnableWindow(text, TRUE);
      record->absentChosen = 0;
    } else {
      EnableWindow(text, FALSE);
      // "Not present": OK deletes the value when the class key holds one.
      std::wstring loaded;
      record->absentChosen = 1;
      record->value[0] = 0;
      if (QueryText(m_image, ClassKey(), record->name, loaded)) record->changed = 1;
    }
  }
  return 0;
}

LRESULT CloseAdvancedPage(CWindow* page) {
  HWND list = GetDlgItem(page->m_hWnd, kParams);
  int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    LRESULT data = SendMessageW(list, LB_GETITEMDATA, i, 0);
    if (data > 0) FreeNdiParamRecord(reinterpret_cast<NdiParamRecord*>(data));
    SendMessageW(list, LB_SETITEMDATA, i, 0);
  }
  HWND combo = GetDlgItem(page->m_hWnd, kEnum);
  count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    LRESULT data = SendMessageW(combo, CB_GETITEMDATA, i, 0);
    if (data > 0) free(reinterpret_cast<wchar_t*>(data));
    SendMessageW(combo, CB_SETITEMDATA, i, 0);
  }
  DestroyWindow(page->m_hWnd);
  return 1;
}

LRESULT CImgNetPropAdvancedDlg::OnClose(WPARAM wParam) {
  (void)wParam;
  return CloseAdvancedPage(this);
}
