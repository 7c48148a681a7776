#include "app/HelpBox.h"

#include <new>

#include "app/ProgramModule.h"
#include "resources/ResourceIds.h"
#include "ui/UiLanguage.h"
#include "ui/UiResources.h"

namespace {
const LONG kHelpFontHeight = -12;
const LONG_PTR kEdgeStyles = WS_EX_STATICEDGE | WS_EX_CLIENTEDGE | WS_EX_WINDOWEDGE;
}  // namespace

CHelpBox::CHelpBox() : m_font(nullptr) {}

CHelpBox::~CHelpBox() {
  if (m_font) DeleteObject(m_font);
}

LRESULT CHelpBox::OnInitDialog() {
  HWND edit = GetDlgItem(m_hWnd, IDC_HELP_TEXT);
  LOGFONTW logFont;
  HFONT dialogFont = reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
  if (dialogFont && GetObjectW(dialogFont, sizeof logFont, &logFont)) {
    logFont.lfHeight = kHelpFontHeight;
    logFont.lfPitchAndFamily = FIXED_PITCH;
    m_font = CreateFontIndirectW(&logFont);
    if (m_font) SendMessageW(edit, WM_SETFONT, WPARAM(m_font), TRUE);
  }
  LONG_PTR exStyle = GetWindowLongPtrW(edit, GWL_EXSTYLE);
  SetWindowLongPtrW(edit, GWL_EXSTYLE, exStyle & ~kEdgeStyles);
  SetWindowPos(edit, nullptr, 0, 0, 0, 0,
               SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
  SendMessageW(edit, WM_SETTEXT, 0, m_param);
  return 1;
}

LRESULT CHelpBox::OnCommand(WPARAM wParam, LPARAM) {
  if (LOWORD(wParam) != IDCANCEL) return 0;
  PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  return 1;
}

LRESULT CHelpBox::OnClose(WPARAM wParam) {
  if (m_font) DeleteObject(m_font);
  m_font = nullptr;
  return EndDialogOnClose(wParam);
}

wchar_t* LoadCommandLineHelp(HMODULE module, LANGID language) {
  DWORD size = 0;
  const wchar_t* data = static_cast<const wchar_t*>(
      FindUiResource(module, L"DATA", MAKEINTRESOURCEW(IDR_COMMAND_LINE_HELP), language, &size));
  if (!data || size < sizeof(wchar_t)) return nullptr;
  const DWORD chars = size / 2 - 1;  // behind the byte-order mark
  wchar_t* text = new (std::nothrow) wchar_t[size / 2 + 1];
  if (!text) return nullptr;
  memcpy(text, data + 1, chars * sizeof(wchar_t));
  text[chars] = 0;
  return text;
}

int ShowCommandLineHelp(LANGID language, CWindow* owner) {
  wchar_t* text = LoadCommandLineHelp(GetProgramModule(), language);
  if (!text) return 0;
  CHelpBox* box = new (std::nothrow) CHelpBox;
  if (box) {
    box->m_hInstance = GetProgramModule();
    SetWindowLanguage(language, box);
    // Deleted by the framework when its window goes; a dialog that could not
    // be created never had one.
    if (box->Create(owner, IDD_COMMAND_LINE_HELP, TRUE, LPARAM(text)) == -1 && !box->m_hWnd)
      delete box;
  }
  delete[] text;
  return 1;
}

int ShowCommandLineHelp(LANGID language) {
  return ShowCommandLineHelp(language, nullptr);
}
