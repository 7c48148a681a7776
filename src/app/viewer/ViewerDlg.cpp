#include "app/viewer/ViewerDlg.h"

#include <commctrl.h>
#include <richedit.h>

#include <cstdlib>
#include <cwchar>
#include <cstdio>
#include <string>

#include "app/mainwnd/DrawnIcons.h"
#include "app/mainwnd/FileTypes.h"
#include "common/Format.h"
#include "common/SavedState.h"
#include "common/TextSearch.h"
#include "resources/ResourceIds.h"
#include "ui/HostLibraries.h"
#include "ui/UiResources.h"
#include "ui/hexedit/HexEdit.h"

namespace {

// File-type groups shown as text: ini, css, js, inf; bat, cmd; reg; log, txt
// and source texts; htm, html, mht, mhtml; xml, php.
bool IsTextGroup(int group) {
  return group == 7 || group == 8 || group == 9 || group == 10 || group == 15 || group == 16;
}

const UINT kEncodingCommands[] = {0, ID_VIEW_ANSI, ID_VIEW_UNICODE, ID_VIEW_UTF8};
const UINT kCodePages[] = {0, CP_ACP, 1200, CP_UTF8};
const wchar_t* const kEncodingNames[] = {L"", L"ANSI", L"UNICODE", L"UTF-8"};

HMODULE ModuleOf(const CWindow* window) {
  return window->m_hInstance ? window->m_hInstance : GetUiModule();
}

// The bytes handed to the rich edit, in order.
struct StreamSource {
  const BYTE* bytes;
  DWORD size;
  DWORD offset;
};

DWORD CALLBACK ReadStreamSource(DWORD_PTR cookie, LPBYTE buffer, LONG count, LONG* done) {
  StreamSource* source = reinterpret_cast<StreamSource*>(cookie);
  DWORD n = source->size - source->offset;
  if (n > DWORD(count)) n = DWORD(count);
  memcpy(buffer, source->bytes + source->offset, n);
  source->offset += n;
  *done = LONG(n);
  return 0;
}

}  // namespace

ViewerFindState& LastViewerFind() {
  static ViewerFindState state = {};
  return state;
}

ViewerEncoding DetectViewerEncoding(const BYTE* bytes, DWORD size) {
  if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) return kViewerUtf16;
  if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) return kViewerUtf8;
  return kViewerAnsi;
}

bool LoadViewerFont(const wchar_t* valueName, LOGFONTW* font) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  BYTE data[sizeof(LOGFONTW) + 16];
  DWORD size = sizeof data, type = 0;
  const bool ok = RegQueryValueExW(key, valueName, nullptr, &type, data, &size) == ERROR_SUCCESS &&
                  type == REG_BINARY && size == sizeof(LOGFONTW);
  RegCloseKey(key);
  if (!ok) return false;
  memcpy(font, data, sizeof(LOGFONTW));
  font->lfFaceName[LF_FACESIZE - 1] = 0;
  return true;
}

CViewerDlg::CViewerDlg(HINSTANCE instance, CWindow* owner, HANDLE section, BYTE* view, DWORD size,
                       const wchar_t* displayPath, UINT templateId)
    : m_view(view), m_size(size), m_section(section), m_owner(owner) {
  m_hInstance = instance;
  m_templateId = templateId;
  lstrcpynW(m_path, displayPath ? displayPath : L"", 720);
}

HWND CViewerDlg::Show() {
  HANDLE section = m_section;
  BYTE* view = m_view;
  HWND window = reinterpret_cast<HWND>(Create(m_owner, m_templateId, FALSE, 0));
  if (!window) {
    // The window never existed: the object and the section end here.
    CloseNamedSection(view, section);
    delete this;
  }
  return window;
}

LRESULT CViewerDlg::OnInitDialog() {
  const HMODULE module = ModuleOf(this);
  if (HMENU menu = LoadUiMenu(module, IDM_VIEWER, m_language)) {
    HMENU old = GetMenu(m_hWnd);
    SetMenu(m_hWnd, menu);
    if (old) DestroyMenu(old);
  }
  m_icons[0] = CreateAddressIcon(0, 16);
  m_icons[1] = CreateAddressIcon(0, 32);
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, LPARAM(m_icons[0]));
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, LPARAM(m_icons[1]));
  wchar_t caption[64] = L"", title[360];
  GetWindowTextW(m_hWnd, caption, 64);
  _snwprintf(title, 360, L"%s - %s", caption, m_path);
  title[359] = 0;
  SetWindowTextW(m_hWnd, title);
  RestoreWindowPlacement(m_hWnd, kViewerPlacementValue, SW_SHOWNORMAL);

  HWND edit = Item(IDC_VIEWER_TEXT);
  if (LoadViewerPicture(m_view, m_size, &m_picture)) {
    ShowWindow(edit, SW_HIDE);
  } else {
    SendMessageW(edit, EM_SETUNDOLIMIT, 0, 0);
    SendMessageW(edit, EM_SETEDITSTYLE, SES_NOIME, SES_NOIME);
    SendMessageW(edit, EM_SETEVENTMASK, 0, ENM_KEYEVENTS);
    if (m_wordWrap) SendMessageW(edit, EM_SETTARGETDEVICE, 0, 0);
    if (IsTextGroup(ClassifyFileType(m_path))) {
      ShowText(DetectViewerEncoding(m_view, m_size));
    } else {
      ShowHex();
    }
  }
  RECT client;
  GetClientRect(m_hWnd, &client);
  OnSize(SIZE_RESTORED, client.right, client.bottom);
  SetStatus();
  // The focus is given here: the dialog manager would select the whole text.
  if (!IsPictureView()) SetFocus(edit);
  return 0;
}

void CViewerDlg::SetStatus() {
  const HMODULE module = ModuleOf(this);
  HWND status = Item(IDC_STATUS_BAR);
  wchar_t format[64], number[40], text[128];
  if (IsPictureView()) {
    LoadUiString(module, IDS_PICTURE_SIZE, m_language, format, 64);
    _snwprintf(text, 128, format, m_picture.width, m_picture.height);
    text[127] = 0;
    SendMessageW(status, SB_SETTEXTW, 0, LPARAM(text));
    return;
  }
  LoadUiString(module, IDS_BYTES_SIZE, m_language, format, 64);
  FormatThousands(number, 40, m_size);
  _snwprintf(text, 128, format, number);
  text[127] = 0;
  SendMessageW(status, SB_SETTEXTW, 0, LPARAM(text));
  if (m_hex) {
    LoadUiString(module, IDS_HEX_DATA, m_language, text, 128);
  } else {
    lstrcpyW(text, kEncodingNames[m_encoding]);
  }
  SendMessageW(status, SB_SETTEXTW, 1, LPARAM(text));
}

void CViewerDlg::ApplyTextFont() {
  HWND edit = Item(IDC_VIEWER_TEXT);
  LOGFONTW font;
  if (LoadViewerFont(kViewerFontValue, &font)) {
    HFONT made = CreateFontIndirectW(&font);
    if (made) {
      SendMessageW(edit, WM_SETFONT, WPARAM(made), FALSE);
      if (m_textFont) DeleteObject(m_textFont);
      m_textFont = made;
      CHARFORMAT2W format = {};
      format.cbSize = sizeof format;
      format.dwMask = CFM_FACE | CFM_SIZE | CFM_CHARSET | CFM_BOLD | CFM_ITALIC;
      HDC screen = GetDC(nullptr);
      const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
      if (screen) ReleaseDC(nullptr, screen);
      format.yHeight = MulDiv(abs(font.lfHeight), 1440, dpi);
      format.bCharSet = font.lfCharSet;
      format.dwEffects =
          (font.lfWeight >= FW_BOLD ? CFE_BOLD : 0) | (font.lfItalic ? CFE_ITALIC : 0);
      lstrcpynW(format.szFaceName, font.lfFaceName, LF_FACESIZE);
      SendMessageW(edit, EM_SETCHARFORMAT, SCF_ALL, LPARAM(&format));
      return;
    }
  }
  // No saved font: the dialog's own.
  SendMessageW(edit, WM_SETFONT, SendMessageW(m_hWnd, WM_GETFONT, 0, 0), FALSE);
}

void CViewerDlg::StreamText() {
  HWND edit = Item(IDC_VIEWER_TEXT);
  StreamSource source = {m_view, m_size, 0};
  wchar_t* wide = nullptr;
  WPARAM format = SF_TEXT | SF_UNICODE;
  if (m_encoding == kViewerUtf16) {
    // The byte-order mark is no text; an odd last byte is dropped.
    if (DetectViewerEncoding(m_view, m_size) == kViewerUtf16) source.offset = 2;
    source.size &= ~1u;
    if (source.size < source.offset) source.size = source.offset;
  } else {
    // ANSI and UTF-8 are converted here, whatever code pages the rich edit
    // would take itself.
    DWORD skip =
        m_encoding == kViewerUtf8 && DetectViewerEncoding(m_view, m_size) == kViewerUtf8 ? 3 : 0;
    const UINT codePage = kCodePages[m_encoding];
    const int length =
        m_size - skip
            ? MultiByteToWideChar(codePage, 0, reinterpret_cast<const char*>(m_view + skip),
                                  int(m_size - skip), nullptr, 0)
            : 0;
    wide = static_cast<wchar_t*>(malloc((size_t(length) + 1) * sizeof(wchar_t)));
    if (wide) {
      if (length)
        MultiByteToWideChar(codePage, 0, reinterpret_cast<const char*>(m_view + skip),
                            int(m_size - skip), wide, length);
      source = {reinterpret_cast<const BYTE*>(wide), DWORD(size_t(length) * sizeof(wchar_t)), 0};
    } else {
      source.offset = skip;
      format = SF_TEXT | SF_USECODEPAGE | (WPARAM(codePage) << 16);
    }
  }
  EDITSTREAM stream = {};
  stream.dwCookie = DWORD_PTR(&source);
  stream.pfnCallback = ReadStreamSource;
  SendMessageW(edit, EM_STREAMIN, format, LPARAM(&stream));
  free(wide);
  // The view starts at the top with nothing selected.
  SendMessageW(edit, EM_SETSEL, 0, 0);
}

void CViewerDlg::LeavePicture() {
  if (!IsPictureView()) return;
  FreeViewerPicture(&m_picture);
  HWND edit = Item(IDC_VIEWER_TEXT);
  SendMessageW(edit, EM_SETUNDOLIMIT, 0, 0);
  SendMessageW(edit, EM_SETEDITSTYLE, SES_NOIME, SES_NOIME);
  SendMessageW(edit, EM_SETEVENTMASK, 0, ENM_KEYEVENTS);
  SendMessageW(edit, EM_SETTARGETDEVICE, 0, m_wordWrap ? 0 : 1);
  ShowWindow(edit, SW_SHOW);
}

void CViewerDlg::ShowText(int encoding) {
  if (m_textLoaded && !m_hex && !IsPictureView() && m_encoding == encoding) return;
  LeavePicture();
  if (m_hex) m_hex = DeleteHexEdit(m_hex), m_hex = nullptr;
  m_encoding = encoding;
  m_codePage = kCodePages[encoding];
  ApplyTextFont();
  StreamText();
  m_textLoaded = true;
  InvalidateRect(Item(IDC_VIEWER_TEXT), nullptr, TRUE);
}

void CViewerDlg::ShowHex() {
  if (m_hex) return;
  LeavePicture();
  LOGFONTW font;
  HFONT made = LoadViewerFont(kViewerHexFontValue, &font) ? CreateFontIndirectW(&font) : nullptr;
  HWND edit = Item(IDC_VIEWER_TEXT);
  SetWindowTextW(edit, L"");
  m_hex = AttachHexEdit(new HexEditControl, edit, m_view, int(m_size), TRUE, 16, made);
  InvalidateRect(edit, nullptr, TRUE);
}

LRESULT CViewerDlg::OnPaint() {
  if (!IsPictureView()) return 0;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(m_hWnd, &paint);
  RECT client, bar;
  GetClientRect(m_hWnd, &client);
  GetWindowRect(Item(IDC_STATUS_BAR), &bar);
  const int width = client.right, height = client.bottom - (bar.bottom - bar.top);
  if (width > 0 && height > 0) {
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    RECT area = {0, 0, width, height};
    FillRect(memory, &area, GetSysColorBrush(COLOR_WINDOW));
    DrawViewerPicture(memory, m_picture, area);
    BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
  }
  EndPaint(m_hWnd, &paint);
  return 1;
}

LRESULT CViewerDlg::OnEraseBkgnd(HDC) {
  return 1;
}

void CViewerDlg::OnSize(UINT, int cx, int cy) {
  HWND status = Item(IDC_STATUS_BAR);
  SendMessageW(status, WM_SIZE, 0, 0);
  if (IsPictureView()) {
    RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_NOERASE);
    return;
  }
  int parts[2] = {cx - 220, -1};
  if (parts[0] < 0) parts[0] = 0;
  SendMessageW(status, SB_SETPARTS, 2, LPARAM(parts));
  RECT bar;
  GetWindowRect(status, &bar);
  const int height = cy - (bar.bottom - bar.top);
  SetWindowPos(Item(IDC_VIEWER_TEXT), nullptr, 0, 0, cx, height > 0 ? height : 0,
               SWP_NOMOVE | SWP_NOZORDER);
  if (m_hex) ResizeHexEdit(m_hex);
}

void CViewerDlg::OnInitMenuPopup(HMENU menu, UINT, BOOL systemMenu) {
  if (systemMenu) return;
  CheckMenuItem(menu, ID_VIEW_WORD_WRAP, m_wordWrap ? MF_CHECKED : MF_UNCHECKED);
  for (int e = kViewerAnsi; e <= kViewerUtf8; ++e)
    CheckMenuItem(menu, kEncodingCommands[e],
                  !m_hex && !IsPictureView() && m_encoding == e ? MF_CHECKED : MF_UNCHECKED);
  CheckMenuItem(menu, ID_VIEW_HEX, m_hex ? MF_CHECKED : MF_UNCHECKED);
  bool selection = false;
  if (m_hex) {
    selection = m_hex->selectionStart >= 0 && m_hex->selectionStart != m_hex->selectionEnd;
  } else if (!IsPictureView()) {
    CHARRANGE range = {};
    SendMessageW(Item(IDC_VIEWER_TEXT), EM_EXGETSEL, 0, LPARAM(&range));
    selection = range.cpMax != range.cpMin;
  }
  EnableMenuItem(menu, ID_VIEW_COPY, selection ? MF_ENABLED : MF_GRAYED);
}

void CViewerDlg::OnContextMenu(HWND window, int x, int y) {
  if (window != Item(IDC_VIEWER_TEXT) || m_hex || IsPictureView()) return;
  HMENU menu = LoadUiMenu(ModuleOf(this), IDM_VIEWER_CONTEXT, m_language);
  if (!menu) return;
  HMENU popup = GetSubMenu(menu, 0);
  OnInitMenuPopup(popup, 0, FALSE);
  if (x == -1 && y == -1) {
    RECT rc;
    GetWindowRect(window, &rc);
    x = rc.left + 5;
    y = rc.top + 5;
  }
  TrackPopupMenu(popup, TPM_RIGHTBUTTON, x, y, 0, m_hWnd, nullptr);
  DestroyMenu(menu);
}

LRESULT CViewerDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId == IDC_VIEWER_TEXT && header->code == EN_MSGFILTER) {
    MSGFILTER* filter = reinterpret_cast<MSGFILTER*>(header);
    if (filter->msg != WM_KEYDOWN) return 0;
    const bool control = GetKeyState(VK_CONTROL) < 0;
    UINT command = 0;
    if (control && filter->wParam == 'F') command = ID_VIEW_FIND;
    if (!control && filter->wParam == VK_F3) command = ID_VIEW_FIND_NEXT;
    if (control && filter->wParam == 'S') command = ID_VIEW_WORD_WRAP;
    if (!command) return 0;
    PostMessageW(m_hWnd, WM_COMMAND, command, 0);
    SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, 1);
    return 1;
  }
  if (controlId == IDC_STATUS_BAR && header->code == NM_CLICK) {
    HMENU popup = CreatePopupMenu();
    HMENU menu = LoadUiMenu(ModuleOf(this), IDM_VIEWER, m_language);
    for (int e = kViewerAnsi; e <= kViewerUtf8; ++e) {
      wchar_t text[128] = L"";
      if (menu) GetMenuStringW(menu, kEncodingCommands[e], text, 128, MF_BYCOMMAND);
      AppendMenuW(popup, MF_STRING, kEncodingCommands[e], text[0] ? text : kEncodingNames[e]);
    }
    if (menu) DestroyMenu(menu);
    const int checked = m_hex || IsPictureView() ? 0 : m_encoding;
    if (checked) CheckMenuItem(popup, kEncodingCommands[checked], MF_CHECKED);
    DWORD at = GetMessagePos();
    TrackPopupMenu(popup, TPM_RIGHTBUTTON, short(LOWORD(at)), short(HIWORD(at)), 0, m_hWnd,
                   nullptr);
    DestroyMenu(popup);
    return 0;
  }
  return 0;
}

void CViewerDlg::OpenFindDialog() {
  if (m_findWindow && IsWindow(m_findWindow)) {
    ShowWindow(m_findWindow, SW_SHOW);
    SetForegroundWindow(m_findWindow);
    return;
  }
  CFindTextDlg* dialog = new CFindTextDlg(this);
  m_findWindow = reinterpret_cast<HWND>(dialog->Create(this, IDD_FIND_TEXT, FALSE, 0));
  if (!m_findWindow) {
    delete dialog;
    return;
  }
  ShowWindow(m_findWindow, SW_SHOW);
}

bool CViewerDlg::FindInText(const ViewerFindState& find) {
  HWND edit = Item(IDC_VIEWER_TEXT);
  CHARRANGE selection = {};
  SendMessageW(edit, EM_EXGETSEL, 0, LPARAM(&selection));
  FINDTEXTEXW request = {};
  request.chrg.cpMin =
      m_missed ? 0 : (selection.cpMax > selection.cpMin ? selection.cpMax : selection.cpMin);
  request.chrg.cpMax = -1;
  request.lpstrText = find.text;
  WPARAM flags =
      FR_DOWN | (find.matchCase ? FR_MATCHCASE : 0) | (find.wholeWord ? FR_WHOLEWORD : 0);
  if (SendMessageW(edit, EM_FINDTEXTEXW, flags, LPARAM(&request)) < 0 ||
      request.chrgText.cpMax <= request.chrgText.cpMin)
    return false;
  SendMessageW(edit, EM_EXSETSEL, 0, LPARAM(&request.chrgText));
  SendMessageW(edit, EM_SCROLLCARET, 0, 0);
  return true;
}

bool CViewerDlg::FindInHex(const ViewerFindState& find) {
  std::string pattern;
  const size_t length = wcslen(find.text);
  if (find.hex) {
    for (size_t i = 0; i + 1 < length; i += 2) {
      wchar_t pair[3] = {find.text[i], find.text[i + 1], 0};
      pattern.push_back(char(wcstoul(pair, nullptr, 16)));
    }
  } else if (find.unicode) {
    pattern.assign(reinterpret_cast<const char*>(find.text), length * sizeof(wchar_t));
  } else {
    const int n =
        WideCharToMultiByte(CP_ACP, 0, find.text, int(length), nullptr, 0, nullptr, nullptr);
    pattern.resize(n > 0 ? n : 0);
    if (n > 0)
      WideCharToMultiByte(CP_ACP, 0, find.text, int(length), &pattern[0], n, nullptr, nullptr);
  }
  if (pattern.empty()) return false;
  int start = 0;
  if (!m_missed) {
    start = m_hex->selectionStart >= 0 && m_hex->selectionEnd > m_hex->selectionStart
                ? m_hex->selectionEnd
                : m_hex->caretOffset;
  }
  if (start > m_hex->size) start = m_hex->size;
  int hit = -1;
  if (find.hex) {
    // Bytes given in hexadecimal are compared exactly.
    const char* at = FindBytes(reinterpret_cast<const char*>(m_view) + start,
                               ptrdiff_t(m_size) - start, pattern.data(), pattern.size());
    if (at) hit = int(at - reinterpret_cast<const char*>(m_view));
  } else {
    hit = FindBytesInHexEdit(m_hex, start, reinterpret_cast<const BYTE*>(pattern.data()),
                             int(pattern.size()), find.matchCase);
  }
  if (hit < 0) return false;
  SetHexEditSelection(m_hex, hit, kHexPaneHigh, hit, hit + int(pattern.size()));
  return true;
}

bool CViewerDlg::FindNext() {
  const ViewerFindState& find = LastViewerFind();
  if (!find.text[0] || IsPictureView()) return false;
  const bool found = m_hex ? FindInHex(find) : FindInText(find);
  m_missed = !found;
  if (!found) {
    const HMODULE module = ModuleOf(this);
    wchar_t format[128], message[600], caption[64];
    LoadUiString(module, IDS_TEXT_NOT_FOUND, m_language, format, 128);
    LoadUiString(module, IDS_PROMPT_CAPTION, m_language, caption, 64);
    _snwprintf(message, 600, format, find.text);
    message[599] = 0;
    HWND owner = m_findWindow && IsWindowVisible(m_findWindow) ? m_findWindow : m_hWnd;
    MessageBoxW(owner, message, caption, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
  }
  return found;
}

void CViewerDlg::ChooseViewFont() {
  LOGFONTW font = {};
  HWND edit = Item(IDC_VIEWER_TEXT);
  if (m_hex) {
    GetObjectW(m_hex->font, sizeof font, &font);
  } else {
    CHARFORMAT2W format = {};
    format.cbSize = sizeof format;
    SendMessageW(edit, EM_GETCHARFORMAT, SCF_DEFAULT, LPARAM(&format));
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    lstrcpynW(font.lfFaceName, format.szFaceName, LF_FACESIZE);
    font.lfHeight = -MulDiv(format.yHeight, dpi, 1440);
    font.lfCharSet = format.bCharSet;
    font.lfWeight = format.dwEffects & CFE_BOLD ? FW_BOLD : FW_NORMAL;
    font.lfItalic = (format.dwEffects & CFE_ITALIC) != 0;
  }
  CHOOSEFONTW choose = {};
  choose.lStructSize = sizeof choose;
  choose.hwndOwner = m_hWnd;
  choose.lpLogFont = &font;
  choose.Flags = CF_SCREENFONTS | CF_INITTOLOGFONTSTRUCT;
  if (!ChooseFontW(&choose)) return;
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                      &key, nullptr) == ERROR_SUCCESS) {
    RegSetValueExW(key, m_hex ? kViewerHexFontValue : kViewerFontValue, 0, REG_BINARY,
                   reinterpret_cast<const BYTE*>(&font), sizeof font);
    RegCloseKey(key);
  }
  if (m_hex) {
    SetHexEditFont(m_hex, CreateFontIndirectW(&font));
    ResizeHexEdit(m_hex);
  } else {
    ApplyTextFont();
  }
}

LRESULT CViewerDlg::OnCommand(WPARAM wParam, LPARAM) {
  HWND edit = Item(IDC_VIEWER_TEXT);
  switch (LOWORD(wParam)) {
    case IDCANCEL:
    case ID_VIEW_CLOSE:
      PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
      return 1;
    case ID_VIEW_FIND:
      if (!IsPictureView()) OpenFindDialog();
      return 1;
    case ID_VIEW_FIND_NEXT:
      if (IsPictureView()) return 1;
      if (LastViewerFind().text[0]) {
        FindNext();
      } else {
        OpenFindDialog();
      }
      return 1;
    case ID_VIEW_ANSI:
      ShowText(kViewerAnsi);
      SetStatus();
      return 1;
    case ID_VIEW_UNICODE:
      ShowText(kViewerUtf16);
      SetStatus();
      return 1;
    case ID_VIEW_UTF8:
      ShowText(kViewerUtf8);
      SetStatus();
      return 1;
    case ID_VIEW_HEX: {
      ShowHex();
      RECT client;
      GetClientRect(m_hWnd, &client);
      OnSize(SIZE_RESTORED, client.right, client.bottom);
      SetStatus();
      return 1;
    }
    case ID_VIEW_WORD_WRAP:
      m_wordWrap = !m_wordWrap;
      if (!m_hex) SendMessageW(edit, EM_SETTARGETDEVICE, 0, m_wordWrap ? 0 : 1);
      return 1;
    case ID_VIEW_COPY:
      if (m_hex) {
        SendMessageW(edit, WM_COMMAND, kHexCmdCopy, 0);
      } else if (!IsPictureView()) {
        SendMessageW(edit, WM_COPY, 0, 0);
      }
      return 1;
    case ID_VIEW_SELECT_ALL:
      if (m_hex) {
        SendMessageW(edit, WM_COMMAND, kHexCmdSelectAll, 0);
      } else if (!IsPictureView()) {
        SendMessageW(edit, EM_SETSEL, 0, -1);
      }
      return 1;
    case ID_VIEW_FONT:
      if (!IsPictureView()) ChooseViewFont();
      return 1;
  }
  return 0;
}

LRESULT CViewerDlg::OnClose(WPARAM) {
  SaveWindowPlacement(m_hWnd, kViewerPlacementValue);
  ShowWindow(m_hWnd, SW_HIDE);
  if (m_findWindow && IsWindow(m_findWindow)) DestroyWindow(m_findWindow);
  m_findWindow = nullptr;
  // The hex editor shows the section's bytes: it goes before them.
  if (m_hex) m_hex = DeleteHexEdit(m_hex), m_hex = nullptr;
  CloseNamedSection(m_view, m_section);
  m_view = nullptr;
  m_section = nullptr;
  m_size = 0;
  FreeViewerPicture(&m_picture);
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, 0);
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, 0);
  HICON icons[2] = {m_icons[0], m_icons[1]};
  HFONT font = m_textFont;
  // The object ends with its window: only locals are used after this.
  DestroyWindow(m_hWnd);
  for (HICON icon : icons)
    if (icon) DestroyIcon(icon);
  if (font) DeleteObject(font);
  return 1;
}
