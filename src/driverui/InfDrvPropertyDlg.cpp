#include "driverui/InfDrvPropertyDlg.h"

#include <commctrl.h>
#include <shellapi.h>

#include <vector>

#include "common/Dpi.h"
#include "common/IniSection.h"
#include "common/IniProfile.h"
#include "common/PathUtil.h"
#include "common/TextOps.h"
#include "driverstore/DeviceInf.h"
#include "driverstore/DriverStore.h"
#include "driverui/DriverIcons.h"
#include "driverui/DriverListDraw.h"
#include "driverui/ImgDrvPropertyDlg.h"
#include "driverui/ImgNetPropAdvancedDlg.h"
#include "driverui/InfNdiParams.h"
#include "driverui/ThemeHelpers.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/VersionInfo.h"
#include "ui/controls/ControlWrappers.h"
#include "ui/controls/ListView.h"
#include "ui/shared/ChildPage.h"

namespace {

const int kNetPages[2] = {IDD_IMG_NET_PROP_ADVANCED, IDD_IMG_NET_PROP_INFORMATION};

std::wstring LoadText(CWindow* w, UINT id) {
  wchar_t text[400];
  LoadUiString(GetUiModule(), id, w->m_language, text, 400);
  return text;
}

void Show(HWND page, std::initializer_list<int> shown, std::initializer_list<int> hidden) {
  for (int id : hidden) ShowWindow(GetDlgItem(page, id), SW_HIDE);
  for (int id : shown) ShowWindow(GetDlgItem(page, id), SW_SHOW);
}

NdiParamRecord* SelectedRecord(HWND page) {
  HWND list = GetDlgItem(page, IDC_PROP_PARAMS);
  LRESULT index = SendMessageW(list, LB_GETCURSEL, 0, 0);
  LRESULT data = index >= 0 ? SendMessageW(list, LB_GETITEMDATA, index, 0) : 0;
  return data > 0 && data != LB_ERR ? (NdiParamRecord*)data : nullptr;
}

// Takes `text` as the record's value when it differs; marks the change.
void TakeValue(NdiParamRecord* r, const wchar_t* text) {
  if (r->value[0] && !_wcsicmp(r->value, text)) return;
  CopyNdiText(r->value, kNdiTypedValueChars + 1, text);
  r->changed = 1;
}

bool IsNumberType(const wchar_t* type) {
  for (const wchar_t* t : {L"int", L"word", L"dword", L"byte", L"short", L"long"})
    if (!_wcsicmp(type, t)) return true;
  return false;
}

}  // namespace

void ShowStorePackageProperties(CStorePackageDlg* opener, CMountedImage* image, int storeClass) {
  int row = opener->SelectedRow();
  if (row < 0) return;
  StorePackageTexts t;
  t.name = opener->ItemText(row, kStoreColName, 200);
  t.hardwareId = opener->ItemText(row, kStoreColHardwareId, 100);
  t.installSection = opener->ItemText(row, kStoreColSection, 100);
  t.infPath = opener->ItemText(row, kStoreColInfPath, 360);
  t.target = opener->Target();
  if (storeClass == kStoreNetwork)
    new CInfNetDrvPropertyDlg(opener, t, image);
  else
    new CInfDisplayDrvPropertyDlg(opener, t, image);
}

// ---- The network sheet.

CInfNetDrvPropertyDlg::CInfNetDrvPropertyDlg(CWindow* opener, const StorePackageTexts& texts,
                                             CMountedImage* image)
    : m_texts(texts), m_image(image) {
  Create(opener, IDD_IMG_DRV_PROPERTY, TRUE, 0);
}

LRESULT CInfNetDrvPropertyDlg::OnInitDialog() {
  HWND tabs = GetDlgItem(m_hWnd, 1018);
  TabInsertItem(tabs, 0, LoadText(this, IDS_TAB_ADVANCED).c_str());
  TabInsertItem(tabs, 1, LoadText(this, IDS_TAB_DRIVER).c_str());
  new CInfNetPropAdvancedDlg(this, &m_texts);
  new CInfNetPropInformationDlg(this, &m_texts, m_image, false);
  SetWindowTextW(m_hWnd, (m_texts.name + LoadText(this, IDS_PROPERTIES_SUFFIX)).c_str());
  return 0;
}

LRESULT CInfNetDrvPropertyDlg::OnCommand(WPARAM wParam, LPARAM) {
  if (wParam == IDOK) {
    HWND list = GetDlgItem(GetDlgItem(m_hWnd, IDD_IMG_NET_PROP_ADVANCED), IDC_PROP_PARAMS);
    std::vector<NdiParamRecord*> records;
    int n = list ? (int)SendMessageW(list, LB_GETCOUNT, 0, 0) : 0;
    for (int i = 0; i < n; ++i) {
      LRESULT data = SendMessageW(list, LB_GETITEMDATA, i, 0);
      if (data > 0 && data != LB_ERR) records.push_back((NdiParamRecord*)data);
    }
    WriteChangedNdiParams(m_texts.infPath.c_str(), m_texts.installSection.c_str(),
                          m_texts.name.c_str(), records);
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  } else if (wParam == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
  return 0;
}

LRESULT CInfNetDrvPropertyDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId == 1018 && header->code == TCN_SELCHANGE) {
    int current = (int)SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0);
    if (current >= 0 && current < 2) ShowSheetPage(m_hWnd, kNetPages, 2, current);
  }
  return 0;
}

LRESULT CInfNetDrvPropertyDlg::OnClose(WPARAM wParam) {
  for (int id : kNetPages)
    if (HWND page = GetDlgItem(m_hWnd, id)) SendMessageW(page, WM_CLOSE, 0, 0);
  return EndDialogOnClose(wParam);
}

// ---- The display sheet.

CInfDisplayDrvPropertyDlg::CInfDisplayDrvPropertyDlg(CWindow* opener,
                                                     const StorePackageTexts& texts,
                                                     CMountedImage* image)
    : m_texts(texts), m_image(image) {
  Create(opener, IDD_IMG_DRV_PROPERTY, TRUE, 0);
}

LRESULT CInfDisplayDrvPropertyDlg::OnInitDialog() {
  TabInsertItem(GetDlgItem(m_hWnd, 1018), 0, LoadText(this, IDS_TAB_DRIVER).c_str());
  new CInfDisplayPropInformationDlg(this, &m_texts, m_image);
  SetWindowTextW(m_hWnd, (m_texts.name + LoadText(this, IDS_PROPERTIES_SUFFIX)).c_str());
  return 0;
}

LRESULT CInfDisplayDrvPropertyDlg::OnCommand(WPARAM wParam, LPARAM) {
  // OK closes the sheet as Cancel does: the sheet has nothing to write.
  if (wParam == IDCANCEL || wParam == IDOK) PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  return 0;
}

LRESULT CInfDisplayDrvPropertyDlg::OnClose(WPARAM wParam) {
  if (HWND page = GetDlgItem(m_hWnd, IDD_IMG_DISPLAY_PROP_INFORMATION))
    SendMessageW(page, WM_CLOSE, 0, 0);
  return EndDialogOnClose(wParam);
}

// ---- The advanced page.

CInfNetPropAdvancedDlg::CInfNetPropAdvancedDlg(CWindow* sheet, const StorePackageTexts* texts)
    : m_texts(texts), m_showing(false) {
  Create(sheet, IDD_IMG_NET_PROP_ADVANCED, FALSE, 0);
}

LRESULT CInfNetPropAdvancedDlg::OnInitDialog() {
  PlaceChildPage(m_hWnd, 25, 70);
  EnableTabTexture(m_hWnd);
  HWND list = GetDlgItem(m_hWnd, IDC_PROP_PARAMS);
  for (NdiParamRecord* r : ReadInfNdiParams(
           m_texts->infPath.c_str(), m_texts->installSection.c_str(), m_texts->name.c_str())) {
    LRESULT index = SendMessageW(list, LB_ADDSTRING, 0, (LPARAM)r->description);
    if (index < 0) {
      FreeNdiParamRecord(r);
      continue;
    }
    SendMessageW(list, LB_SETITEMDATA, index, (LPARAM)r);
  }
  PostMessageW(list, LB_SETCURSEL, 0, 0);
  PostMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_PROP_PARAMS, LBN_SELCHANGE), (LPARAM)list);
  ShowWindow(m_hWnd, SW_SHOW);
  SetDlgItemTextW(m_hWnd, IDC_PROP_NOTE, LoadText(this, IDS_STORE_PARAMS_HINT).c_str());
  return 1;
}

LRESULT CInfNetPropAdvancedDlg::OnCtlColor(HDC dc, HWND control, int kind) {
  return RedNoteColor(dc, control, kind);
}

LRESULT CInfNetPropAdvancedDlg::OnCommand(WPARAM wParam, LPARAM) {
  if (wParam == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    return 0;
  }
  NdiParamRecord* r = SelectedRecord(m_hWnd);
  if (!r) return 0;
  const int id = LOWORD(wParam), code = HIWORD(wParam);
  HWND page = m_hWnd;
  if (id == IDC_PROP_PARAMS && code == LBN_SELCHANGE) {
    m_showing = true;
    if (!_wcsicmp(r->type, L"enum")) {
      Show(page, {IDC_PROP_ENUM},
           {IDC_PROP_NUMBER, IDC_PROP_SPIN, IDC_PROP_PRESENT, IDC_PROP_TEXT, IDC_PROP_ABSENT});
      HWND combo = GetDlgItem(page, IDC_PROP_ENUM);
      int n = (int)SendMessageW(combo, CB_GETCOUNT, 0, 0);
      for (int i = 0; i < n; ++i) free((void*)SendMessageW(combo, CB_GETITEMDATA, i, 0));
      SendMessageW(combo, CB_RESETCONTENT, 0, 0);
      for (const wchar_t* p = r->enumList; p && *p;) {
        const wchar_t* value = p + wcslen(p) + 1;
        int at = (int)SendMessageW(combo, CB_INSERTSTRING, 0, (LPARAM)p);
        if (at >= 0) SendMessageW(combo, CB_SETITEMDATA, at, (LPARAM)_wcsdup(value));
        p = value + wcslen(value) + 1;
      }
      n = (int)SendMessageW(combo, CB_GETCOUNT, 0, 0);
      for (int i = 0; i < n; ++i) {
        const wchar_t* value = (const wchar_t*)SendMessageW(combo, CB_GETITEMDATA, i, 0);
        if (value && !_wcsicmp(value, r->value)) SendMessageW(combo, CB_SETCURSEL, i, 0);
      }
    } else if (!_wcsicmp(r->type, L"edit")) {
      Show(page, {IDC_PROP_PRESENT, IDC_PROP_TEXT, IDC_PROP_ABSENT},
           {IDC_PROP_ENUM, IDC_PROP_NUMBER, IDC_PROP_SPIN});
      HWND text = GetDlgItem(page, IDC_PROP_TEXT);
      SendMessageW(text, EM_LIMITTEXT, r->textLimit, 0);
      LONG style = GetWindowLongW(text, GWL_STYLE) & ~(ES_UPPERCASE | ES_LOWERCASE);
      if (r->upperCase) style |= ES_UPPERCASE;
      if (r->lowerCase) style |= ES_LOWERCASE;
      SetWindowLongW(text, GWL_STYLE, style);
      EnableWindow(text, r->value[0] != 0);
      CheckRadioButton(page, IDC_PROP_PRESENT, IDC_PROP_ABSENT,
                       r->value[0] ? IDC_PROP_PRESENT : IDC_PROP_ABSENT);
      SetWindowTextW(text, r->value);
    } else if (IsNumberType(r->type)) {
      Show(page, {IDC_PROP_NUMBER, IDC_PROP_SPIN},
           {IDC_PROP_ENUM, IDC_PROP_PRESENT, IDC_PROP_TEXT, IDC_PROP_ABSENT});
      HWND spin = GetDlgItem(page, IDC_PROP_SPIN);
      SendMessageW(spin, UDM_SETRANGE32, r->minimum, r->maximum);
      SendMessageW(spin, UDM_SETPOS32, 0, r->value[0] ? _wtoi(r->value) : 0);
      SetDlgItemTextW(page, IDC_PROP_NUMBER, r->value);
    }
    m_showing = false;
  } else if (id == IDC_PROP_ENUM && code == CBN_SELCHANGE) {
    HWND combo = GetDlgItem(page, IDC_PROP_ENUM);
    int sel = (int)SendMessageW(combo, CB_GETCURSEL, 0, 0);
    const wchar_t* value =
        sel >= 0 ? (const wchar_t*)SendMessageW(combo, CB_GETITEMDATA, sel, 0) : nullptr;
    if (value && value != (const wchar_t*)CB_ERR) TakeValue(r, value);
  } else if (id == IDC_PROP_NUMBER && code == EN_CHANGE && !m_showing) {
    wchar_t typed[101] = L"", number[40];
    GetDlgItemTextW(page, IDC_PROP_NUMBER, typed, 101);
    FormatTypedNdiNumber(typed, r->base, number, 40);
    TakeValue(r, number);
  } else if (id == IDC_PROP_TEXT && code == EN_CHANGE && !m_showing) {
    if (IsDlgButtonChecked(page, IDC_PROP_PRESENT) != BST_CHECKED ||
        !IsWindowEnabled(GetDlgItem(page, IDC_PROP_TEXT)))
      return 0;
    wchar_t typed[101] = L"";
    GetDlgItemTextW(page, IDC_PROP_TEXT, typed, 101);
    TakeValue(r, typed);
  } else if (id == IDC_PROP_PRESENT || id == IDC_PROP_ABSENT) {
    HWND text = GetDlgItem(page, IDC_PROP_TEXT);
    bool present = IsDlgButtonChecked(page, IDC_PROP_PRESENT) == BST_CHECKED;
    EnableWindow(text, present);
    m_showing = true;
    if (!present) SetWindowTextW(text, L"");
    m_showing = false;
    wchar_t typed[101] = L"";
    GetWindowTextW(text, typed, 101);
    if (!present) {
      // Not present: the key goes from "Params.ini" on OK.
      r->value[0] = 0;
      r->changed = 1;
    } else if (typed[0]) {
      TakeValue(r, typed);
    }
  }
  return 0;
}

LRESULT CInfNetPropAdvancedDlg::OnClose(WPARAM) {
  return CloseAdvancedPage(this);
}

// ---- The information pages.

CInfNetPropInformationDlg::CInfNetPropInformationDlg(CWindow* sheet, const StorePackageTexts* texts,
                                                     CMountedImage* image, bool display)
    : m_texts(texts), m_image(image), m_display(display), m_icon(nullptr) {
  Create(sheet, display ? IDD_IMG_DISPLAY_PROP_INFORMATION : IDD_IMG_NET_PROP_INFORMATION, FALSE,
         0);
}

LRESULT CInfNetPropInformationDlg::OnInitDialog() {
  PlaceChildPage(m_hWnd, 25, 70);
  EnableTabTexture(m_hWnd);
  const wchar_t* inf = m_texts->infPath.c_str();
  SetDlgItemTextW(m_hWnd, IDC_INFO_DESCRIPTION, m_texts->name.c_str());
  SetDlgItemTextW(m_hWnd, IDC_INFO_PROVIDER, ReadIniValue(inf, L"Version", L"Provider").c_str());
  std::wstring driverVer = ReadIniValue(inf, L"Version", L"DriverVer");
  size_t comma = driverVer.find(L',');
  std::wstring date = driverVer.substr(0, comma);
  for (wchar_t& c : date)
    if (c == L'/') c = L'-';
  SetDlgItemTextW(m_hWnd, IDC_INFO_DATE, date.c_str());
  if (comma != std::wstring::npos)
    SetDlgItemTextW(m_hWnd, IDC_INFO_VERSION, driverVer.substr(comma + 1).c_str());

  int icon = 0;
  if (_wtoi(ReadIniValue(inf, L"Version", L"Vro").c_str()) != 0)
    icon = m_display ? kIconDisplayInfoOwn : kIconNetInfoOwn;
  else if (!m_display && IsVirtualNetInf(m_texts->target, m_texts->installSection.c_str(), inf))
    icon = kIconVirtualAdapter;
  if (icon) {
    HICON picture = LoadDriverIcon(GetUiModule(), icon, 32);
    if (picture) SendDlgItemMessageW(m_hWnd, IDC_INFO_ICON, STM_SETICON, (WPARAM)picture, 0);
    m_icon = picture;
  }

  wchar_t folder[kPathChars];
  CopyParentPath(inf, folder, kPathChars);
  m_folder = folder;
  if (GetPathKind(folder) == 2) {
    SetDlgItemTextW(m_hWnd, IDC_INFO_LINK, (L"<a>" + m_folder + L"</a>").c_str());
  } else {
    SetDlgItemTextW(m_hWnd, IDC_INFO_LINK_LABEL, LoadText(this, IDS_HARDWARE_ID_LABEL).c_str());
    SetDlgItemTextW(m_hWnd, IDC_INFO_LINK, m_texts->hardwareId.c_str());
    m_folder.clear();
  }

  HWND files = GetDlgItem(m_hWnd, IDC_INFO_FILES);
  SendMessageW(files, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_DOUBLEBUFFER);
  int size = ApplyExplorerTheme(files, m_version) ? 24 : 16;
  HIMAGELIST images = ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 3, 0);
  if (images) {
    const int ids[3] = {kIconFile, kIconFileDriver, kIconFileProgram};
    AppendDriverIcons(images, GetUiModule(), ids, 3, size);
    SendMessageW(files, LVM_SETIMAGELIST, LVSIL_SMALL, (LPARAM)images);
  }
  std::wstring title = LoadText(this, IDS_COLUMN_FILE_NAME);
  LVCOLUMNW col = {};
  col.mask = LVCF_TEXT | LVCF_WIDTH;
  col.pszText = &title[0];
  col.cx = ScaleByDpi(248);
  SendMessageW(files, LVM_INSERTCOLUMNW, 0, (LPARAM)&col);
  const wchar_t* cls = m_display ? L"Display" : L"Net";
  const wchar_t* guid = m_display ? L"{4d36e968-e325-11ce-bfc1-08002be10318}"
                                  : L"{4d36e972-e325-11ce-bfc1-08002be10318}";
  if (!_wcsicmp(ReadIniValue(inf, L"Version", L"Class").c_str(), cls) &&
      !_wcsicmp(ReadIniValue(inf, L"Version", L"ClassGUID").c_str(), guid)) {
    for (const wchar_t* section :
         {L"SourceDisksFiles", L"SourceDisksFiles.amd64", L"SourceDisksFiles.x86"}) {
      wchar_t* keys = GetIniSectionKeys(section, inf);
      for (const wchar_t* k = keys; k && *k; k += wcslen(k) + 1) {
        wchar_t name[kPathChars];
        lstrcpynW(name, k, kPathChars);
        CutIniComment(name);
        if (!name[0] || ListFindItemText(files, name) >= 0) continue;
        const wchar_t* ext = FindExtensionPart(name);
        int image = !_wcsicmp(ext, L"sys") || !_wcsicmp(ext, L"dll") ? 1
                    : !_wcsicmp(ext, L"exe")                         ? 2
                                                                     : 0;
        ListAppendItem(files, name, image);
      }
      delete[] keys;
    }
  }
  SendMessageW(files, LVM_SETCOLUMNWIDTH, 0, LVSCW_AUTOSIZE);
  return 1;
}

LRESULT CInfNetPropInformationDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  return PostCloseOnCancel(wParam);
}

LRESULT CInfNetPropInformationDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId == IDC_INFO_FILES && header->code == LVN_ITEMCHANGED) {
    HWND files = header->hwndFrom;
    int row = (int)SendMessageW(files, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
    bool chosen = row >= 0 && !m_folder.empty();
    for (int id : {IDC_INFO_LINK_LABEL, IDC_INFO_LINK})
      ShowWindow(GetDlgItem(m_hWnd, id), chosen ? SW_HIDE : SW_SHOW);
    for (int id = IDC_INFO_COMPANY_LABEL; id <= IDC_INFO_SIGNER; ++id)
      ShowWindow(GetDlgItem(m_hWnd, id), chosen ? SW_SHOW : SW_HIDE);
    if (!chosen) return 0;
    wchar_t name[kPathChars], path[kPathChars], text[200] = L"";
    ListGetItemText(files, row, 0, name, kPathChars);
    lstrcpynW(path, m_folder.c_str(), kPathChars);
    AppendPathPart(path, kPathChars, name);
    GetFileCompanyName(path, text, 200);
    SetDlgItemTextW(m_hWnd, IDC_INFO_COMPANY, text);
    uint64_t v = GetFileVersionNumber(path);
    text[0] = 0;
    if (v)
      _snwprintf(text, 200, L"%u.%u.%u.%u", (unsigned)(v >> 48), (unsigned)(v >> 32) & 0xFFFF,
                 (unsigned)(v >> 16) & 0xFFFF, (unsigned)v & 0xFFFF);
    SetDlgItemTextW(m_hWnd, IDC_INFO_FILE_VERSION, text);
    text[0] = 0;
    GetFileSignerName(path, text, 200);
    SetDlgItemTextW(m_hWnd, IDC_INFO_SIGNER, text);
  } else if (controlId == IDC_INFO_LINK &&
             (header->code == NM_CLICK || header->code == NM_RETURN) && !m_folder.empty()) {
    wchar_t explorer[kPathChars] = L"explorer.exe";
    GetWindowsDirectoryW(explorer, kPathChars);
    AppendPathPart(explorer, kPathChars, L"explorer.exe");
    std::wstring parameters = L"/e, \"" + m_folder + L"\"";
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = explorer;
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWDEFAULT;
    if (ShellExecuteExW(&info) && info.hProcess) CloseHandle(info.hProcess);
  }
  return 0;
}

LRESULT CInfNetPropInformationDlg::OnClose(WPARAM) {
  HWND files = GetDlgItem(m_hWnd, IDC_INFO_FILES);
  HIMAGELIST images = (HIMAGELIST)SendMessageW(files, LVM_SETIMAGELIST, LVSIL_SMALL, 0);
  if (images) ImageList_Destroy(images);
  if (m_icon) {
    SendDlgItemMessageW(m_hWnd, IDC_INFO_ICON, STM_SETICON, 0, 0);
    DestroyIcon(m_icon);
  }
  DestroyWindow(m_hWnd);
  return 1;
}
