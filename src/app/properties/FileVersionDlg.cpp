// The Version page of the property sheet: the version strings and the
// signer of a Windows executable of the volume, read from a host copy.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>
#include <vector>

#include "app/properties/FilePropertyDlg.h"
#include "app/properties/PageTheme.h"
#include "common/Dpi.h"
#include "common/TempFiles.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiLanguage.h"
#include "ui/UiResources.h"
#include "ui/VersionInfo.h"
#include "ui/controls/ListView.h"
#include "ui/shared/ChildPage.h"

namespace {

// Rows: file description, file version, product name, product version,
// company name, legal notice, original file name, digital signature.
constexpr int kVersionRows = 8;
constexpr int kSignatureRow = 7;
struct VersionString {
  int row;
  const wchar_t* key;
};
const VersionString kStrings[] = {{0, L"FileDescription"}, {2, L"ProductName"},
                                  {3, L"ProductVersion"},  {4, L"CompanyName"},
                                  {5, L"LegalCopyright"},  {6, L"OriginalFilename"}};

int CALLBACK NoteFontFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

// Whether the system has a font of that face.
bool FontFaceExists(const wchar_t* face) {
  LOGFONTW query = {};
  query.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(query.lfFaceName, face, LF_FACESIZE);
  bool found = false;
  HDC screen = GetDC(nullptr);
  if (screen) {
    EnumFontFamiliesExW(screen, &query, NoteFontFace, LPARAM(&found), 0);
    ReleaseDC(nullptr, screen);
  }
  return found;
}

HMODULE ModuleOf(const CWindow* window) {
  return window->m_hInstance ? window->m_hInstance : GetUiModule();
}

}  // namespace

CFileVersionDlg::CFileVersionDlg(const wchar_t* path) : m_path(path) {}

LRESULT CFileVersionDlg::OnInitDialog() {
  PlaceChildPage(m_hWnd, 25, 70);
  EnablePageTabTexture(m_hWnd);
  const HMODULE module = ModuleOf(this);
  HWND list = GetDlgItem(m_hWnd, IDC_VERSION_LIST);
  RECT page;
  GetClientRect(m_hWnd, &page);
  const int margin = ScaleByDpi(8);
  MoveWindow(list, margin, margin, page.right - 2 * margin, page.bottom - 2 * margin, FALSE);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0x10420, 0x10420);
  if (m_language != kLangKorean) {
    LOGFONTW font = {};
    HFONT dialogFont = reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
    if (dialogFont && GetObjectW(dialogFont, sizeof font, &font)) {
      if (LOBYTE(LOWORD(m_version)) < 6) {
        lstrcpyW(font.lfFaceName, L"Arial");
        font.lfCharSet = 0;
      } else {
        LoadUiString(module, IDS_LIST_FONT_FACE, m_language, font.lfFaceName, LF_FACESIZE);
      }
      // A face the system lacks would show boxes for the row names.
      if (FontFaceExists(font.lfFaceName)) m_font = CreateFontIndirectW(&font);
      if (m_font) SendMessageW(list, WM_SETFONT, WPARAM(m_font), FALSE);
    }
  }
  const int rowHeight = ApplyListExplorerTheme(list, m_version) ? 24 : 16;
  m_rowHeight = ImageList_Create(1, rowHeight, ILC_COLOR32 | ILC_MASK, 1, 0);
  SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, LPARAM(m_rowHeight));

  wchar_t text[kPathChars];
  LVCOLUMNW column = {};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.pszText = text;
  LoadUiString(module, IDS_COLUMN_ATTRIBUTES, m_language, text, kPathChars);
  column.cx = ScaleByDpi(96);
  SendMessageW(list, LVM_INSERTCOLUMNW, 0, LPARAM(&column));
  LoadUiString(module, IDS_COLUMN_VALUE, m_language, text, kPathChars);
  column.cx = ScaleByDpi(232);
  SendMessageW(list, LVM_INSERTCOLUMNW, 1, LPARAM(&column));
  for (int row = 0; row < kVersionRows; ++row) {
    LoadUiString(module, IDS_VERSION_ROW_FIRST + row, m_language, text, kPathChars);
    ListInsertItem(list, row, text);
  }

  // The version functions read host files: a copy of the file is made.
  wchar_t copy[kPathChars];
  CMountedImage* image = reinterpret_cast<CMountedImage*>(m_param);
  if (!image || !CreateTempFileName(copy, L"ver")) return 1;
  DeleteFileW(copy);
  if (image->ExtractToHost(m_path, copy, nullptr, nullptr)) FillVersionRows(copy);
  DeleteFileW(copy);
  return 1;
}

void CFileVersionDlg::FillVersionRows(const wchar_t* hostFile) {
  HWND list = GetDlgItem(m_hWnd, IDC_VERSION_LIST);
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(hostFile, &handle);
  std::vector<BYTE> block(size);
  if (size && GetFileVersionInfoW(hostFile, 0, size, block.data())) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    wchar_t text[kPathChars];
    if (VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed &&
        length >= sizeof *fixed) {
      _snwprintf(text, kPathChars, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                 LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                 LOWORD(fixed->dwFileVersionLS));
      text[kPathChars - 1] = 0;
      ListSetItemText(list, 1, 1, text);
    }
    WORD* translation = nullptr;
    if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                       reinterpret_cast<void**>(&translation), &length) &&
        translation && length >= 4) {
      for (const VersionString& s : kStrings) {
        wchar_t key[128];
        _snwprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1],
                   s.key);
        key[127] = 0;
        wchar_t* value = nullptr;
        if (VerQueryValueW(block.data(), key, reinterpret_cast<void**>(&value), &length) && value &&
            length && value[0])
          ListSetItemText(list, s.row, 1, value);
      }
    }
  }
  wchar_t signer[128] = L"";
  if (GetFileSignerName(hostFile, signer, 128)) ListSetItemText(list, kSignatureRow, 1, signer);
}

LRESULT CFileVersionDlg::OnClose(WPARAM) {
  return CloseByDestroy();
}

void CFileVersionDlg::OnDestroy() {
  // The page may end with its sheet without a close of its own.
  HWND list = GetDlgItem(m_hWnd, IDC_VERSION_LIST);
  SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, 0);
  SendMessageW(list, WM_SETFONT, 0, FALSE);
  if (m_rowHeight) ImageList_Destroy(m_rowHeight);
  if (m_font) DeleteObject(m_font);
  m_rowHeight = nullptr;
  m_font = nullptr;
}
