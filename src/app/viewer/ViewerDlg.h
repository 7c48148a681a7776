// CViewerDlg: the modeless file viewer. It shows the bytes of one file,
// handed over in a page-file section, as a picture (GDI+), as text (ANSI,
// UTF-16 or UTF-8) in a rich-edit control, or as hexadecimal data in the
// hex editor over the same control; CFindTextDlg searches the text or the
// bytes. Fonts and placement are kept for the user.
#pragma once
#include <windows.h>

#include "app/viewer/ViewerPicture.h"
#include "ui/Window.h"

struct HexEditControl;

// Text encodings of the text view.
enum ViewerEncoding { kViewerAnsi = 1, kViewerUtf16 = 2, kViewerUtf8 = 3 };

// The last search of any viewer: the next search of every viewer starts
// from it.
struct ViewerFindState {
  wchar_t text[360];
  BOOL matchCase, wholeWord, hex, unicode;
};
ViewerFindState& LastViewerFind();

// The encoding the first bytes announce: FF FE UTF-16, EF BB BF UTF-8,
// else ANSI.
ViewerEncoding DetectViewerEncoding(const BYTE* bytes, DWORD size);

// Value names under HKEY_CURRENT_USER "Software\VroMount".
constexpr wchar_t kViewerFontValue[] = L"ViewerFont";
constexpr wchar_t kViewerHexFontValue[] = L"ViewerHexFont";
constexpr wchar_t kViewerPlacementValue[] = L"ViewerPlacement";

// A stored LOGFONTW of exactly its size; false for a missing value or one
// of another length.
bool LoadViewerFont(const wchar_t* valueName, LOGFONTW* font);

class CViewerDlg : public CWindow {
 public:
  // Takes over the section (its view holds `size` bytes followed by a
  // 16-bit zero); owner may be null. Create() with IDD_VIEWER or
  // IDD_VIEWER_RICHEDIT20 (by the rich-edit library's version) shows it.
  CViewerDlg(HINSTANCE instance, CWindow* owner, HANDLE section, BYTE* view, DWORD size,
             const wchar_t* displayPath, UINT templateId);
  // Creates the modeless window; null on failure (the section is then
  // closed here).
  HWND Show();

  LRESULT OnInitDialog() override;
  LRESULT OnPaint() override;
  LRESULT OnEraseBkgnd(HDC dc) override;
  void OnSize(UINT type, int cx, int cy) override;
  void OnContextMenu(HWND window, int x, int y) override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  void OnInitMenuPopup(HMENU menu, UINT position, BOOL systemMenu) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  // Searches from the current position with the last search's text and
  // options; a miss tells the user and makes the next search start at the
  // top. True on a hit.
  bool FindNext();

  // What the viewer shows (for its commands and the tests).
  bool IsPictureView() const { return m_picture.image != nullptr; }
  bool IsHexView() const { return m_hex != nullptr; }
  int Encoding() const { return m_encoding; }
  HexEditControl* HexControl() const { return m_hex; }

  BYTE* m_view;
  DWORD m_size;
  HANDLE m_section;
  wchar_t m_path[720];
  int m_encoding = kViewerAnsi;
  UINT m_codePage = 0;
  BOOL m_wordWrap = TRUE;
  HexEditControl* m_hex = nullptr;
  ViewerPicture m_picture;
  HFONT m_textFont = nullptr;
  HICON m_icons[2] = {};
  BOOL m_missed = FALSE;
  bool m_textLoaded = false;
  HWND m_findWindow = nullptr;

 private:
  HWND Item(int id) const { return GetDlgItem(m_hWnd, id); }
  CWindow* m_owner;
  void ShowText(int encoding);
  void ShowHex();
  void LeavePicture();
  void ApplyTextFont();
  void StreamText();
  void SetStatus();
  void ChooseViewFont();
  void OpenFindDialog();
  bool FindInText(const ViewerFindState& find);
  bool FindInHex(const ViewerFindState& find);
};

// CFindTextDlg: the viewer's modeless find dialog.
class CFindTextDlg : public CWindow {
 public:
  explicit CFindTextDlg(CViewerDlg* viewer);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;
  void OnNcDestroy() override;

 private:
  void UpdateState();
  CViewerDlg* m_viewer;
};
