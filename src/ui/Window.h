// CWindow: the base of every window, dialog and bound control. Each Win32
// message goes to one virtual handler; a handler's result decides whether the
// window's previous procedure (the dialog manager, a control's own code) runs
// after it: 0 lets it run. The object is found from its window through the
// property "USERDATA" and is deleted when the window receives WM_NCDESTROY,
// so bound objects live on the heap and are not touched after their window
// is gone.
#pragma once
#include <windows.h>

class CWindow {
 public:
  CWindow();
  // Attach-constructor: binds an existing window (a control) to the object;
  // the owner, when given, lends its language and module instance.
  CWindow(HWND window, CWindow* owner);

  // Framework operations.
  // Creates the dialog `templateId` in the window's language: modal (returns
  // the EndDialog value, -1 on failure) or modeless (returns the window, 0 on
  // failure). A parent lends its window as owner, its instance and language.
  virtual INT_PTR Create(CWindow* parent, UINT templateId, BOOL modal, LPARAM param);
  // The thread's message loop for a modeless window, until WM_QUIT; returns 1.
  virtual BOOL RunMessageLoop();
  // The dispatcher: one handler per message; see the handlers' comments for
  // what each returns.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // Sees every message first; nonzero ends the dispatch with that result.
  virtual LRESULT PreDispatch(UINT message, WPARAM wParam, LPARAM lParam);
  // Sees the loop's messages before they are dispatched; nonzero consumes.
  virtual BOOL PreTranslateMessage(MSG* msg);

  // Message handlers. Those returning LRESULT have their result returned by
  // the dispatcher (nonzero suppresses the default processing); the void ones
  // always let the default processing run after them.
  virtual LRESULT OnInitDialog();
  virtual LRESULT OnCreate(CREATESTRUCTW* create);
  virtual LRESULT OnNcCreate(LPARAM lParam);
  virtual LRESULT OnSetCursor(HWND window, UINT hitTest, UINT mouseMessage);
  virtual LRESULT OnNcHitTest(int x, int y);
  virtual LRESULT OnLButtonDown(UINT keys, int x, int y);
  virtual void OnLButtonUp(UINT keys, int x, int y);
  virtual void OnLButtonDblClk(UINT keys, int x, int y);
  virtual void OnRButtonDown(UINT keys, int x, int y);
  virtual void OnRButtonUp(UINT keys, int x, int y);
  virtual void OnRButtonDblClk(UINT keys, int x, int y);
  virtual void OnNcLButtonDown(UINT hitTest, LPARAM point);
  virtual void OnNcLButtonUp(UINT hitTest, LPARAM point);
  virtual void OnNcRButtonDown(UINT hitTest, LPARAM point);
  virtual void OnNcRButtonUp(UINT hitTest, LPARAM point);
  virtual void OnNcMButtonDown(UINT hitTest, LPARAM point);
  virtual void OnNcMButtonUp(UINT hitTest, LPARAM point);
  virtual void OnMouseMove(UINT keys, int x, int y);
  virtual LRESULT OnMouseWheel(UINT keys, short delta, int x, int y);
  virtual void OnNcPaint();
  // Nonzero: the window counts as painted and the previous procedure does
  // not paint; 0: it paints after the handler.
  virtual LRESULT OnPaint();
  virtual LRESULT OnDrawItem(UINT controlId, DRAWITEMSTRUCT* item);
  // kind: the message less WM_CTLCOLORMSGBOX (0 message box, 1 edit, 2 list
  // box, 3 button, 4 dialog, 5 scroll bar, 6 static).
  virtual LRESULT OnCtlColor(HDC dc, HWND control, int kind);
  virtual LRESULT OnEraseBkgnd(HDC dc);
  // Only SIZE_RESTORED and SIZE_MAXIMIZED arrive here.
  virtual void OnSize(UINT type, int cx, int cy);
  virtual void OnNcCalcSize(WPARAM wParam, LPARAM lParam);
  virtual void OnMove(int x, int y);
  virtual LRESULT OnMoving(UINT edge, RECT* rect);
  virtual void OnEnterSizeMove();
  virtual void OnExitSizeMove();
  virtual void OnWindowPosChanging(WINDOWPOS* pos);
  virtual void OnWindowPosChanged(WINDOWPOS* pos);
  virtual void OnGetMinMaxInfo(MINMAXINFO* info);
  virtual void OnEnable(BOOL enabled);
  virtual void OnShowWindow(BOOL show, UINT status);
  virtual void OnActivate(UINT state, HWND other, BOOL minimized);
  virtual void OnActivateApp(WPARAM wParam, LPARAM lParam);
  virtual LRESULT OnNcActivate(BOOL active);
  virtual void OnContextMenu(HWND window, int x, int y);
  virtual LRESULT OnCommand(WPARAM wParam, LPARAM lParam);
  virtual void OnSysCommand(WPARAM wParam, LPARAM lParam);
  virtual void OnInitMenu(HMENU menu);
  virtual void OnInitMenuPopup(HMENU menu, UINT position, BOOL systemMenu);
  virtual void OnKeyDown(UINT key, UINT repeat, UINT flags);
  virtual void OnKeyUp(UINT key, UINT repeat, UINT flags);
  virtual void OnSysKeyDown(UINT key, UINT repeat, UINT flags);
  virtual void OnSysKeyUp(UINT key, UINT repeat, UINT flags);
  virtual void OnChar(UINT character, UINT repeat, UINT flags);
  virtual void OnHotKey(int id, UINT modifiers, UINT key);
  virtual void OnSetFocus(HWND losing);
  virtual void OnKillFocus(HWND getting);
  virtual LRESULT OnNotify(int controlId, NMHDR* header);
  virtual LRESULT OnGetDlgCode(UINT key);
  virtual void OnTimer(UINT_PTR id);
  virtual LRESULT OnCopyData(HWND sender, COPYDATASTRUCT* data);
  virtual void OnVScroll(UINT code, UINT position, HWND scrollBar);
  virtual void OnHScroll(UINT code, UINT position, HWND scrollBar);
  virtual void OnDropFiles(HDROP drop);
  virtual void OnChangeCbChain(HWND removed, HWND next);
  virtual void OnDrawClipboard();
  virtual void OnParentNotify(WPARAM wParam, LPARAM lParam);
  virtual LRESULT OnMeasureItem(UINT controlId, MEASUREITEMSTRUCT* item);
  virtual LRESULT OnClose(WPARAM wParam);
  virtual void OnDestroy();
  virtual void OnNcDestroy();

  // Runs when the framework deletes the object at WM_NCDESTROY, after the
  // binding is released: what a subclass owns beyond its window goes here
  // or into its destroy handlers.
  virtual ~CWindow();

  // The dialog procedure of every dialog created here (the object is the
  // init parameter), and the window procedure of every bound window.
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK SubclassWindowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam);

  // The object bound to a window, or null.
  static CWindow* FromWindow(HWND window);

  // Puts the previous window procedure back on the window and forgets it.
  void ReleaseBinding();

  // Shared handler bodies that subclasses put in their handlers.
  // close-by-destroy (OnClose): DestroyWindow of the own window; returns 1.
  LRESULT CloseByDestroy();
  // OnClose of modal dialogs: EndDialog with the close message's wParam.
  LRESULT EndDialogOnClose(WPARAM wParam);
  // OnCommand: IDCANCEL posts WM_CLOSE to the own window; returns 0.
  LRESULT PostCloseOnCancel(WPARAM wParam);
  // OnCtlColor: the static control 1000 drawn as a red note on the dialog's
  // background (the null brush); 0 for everything else.
  LRESULT RedNoteColor(HDC dc, HWND control, int kind);

  HWND m_hWnd;
  HINSTANCE m_hInstance;
  WNDPROC m_prevProc;
  UINT m_templateId;
  LPARAM m_param;
  BOOL m_modal;
  LANGID m_language;
  DWORD m_version;  // GetVersion(): its low byte is the Windows major version
  CWindow* m_parent;

 private:
  void Bind(HWND window);
  CWindow(const CWindow&) = delete;
  CWindow& operator=(const CWindow&) = delete;
};

// Centres the window over its visible parent, else on the screen less the
// task bar.
void CenterWindowOnParent(CWindow* window);

// Stores the language in the object and gives it to the calling thread.
void SetWindowLanguage(LANGID language, CWindow* window);
