#include "regedit/EditorKeys.h"

#include "regedit/RegistryDlg.h"
#include "resources/ResourceIds.h"

namespace {

struct KeyFilter {
  CRegistryDlg* editor;
  HHOOK hook;
  KeyFilter* previous;
};

thread_local KeyFilter* t_filter = nullptr;

bool IsEditBox(HWND window) {
  wchar_t name[16] = L"";
  GetClassNameW(window, name, 16);
  return lstrcmpiW(name, L"Edit") == 0;
}

// The dialog loop hands each message here before its own navigation.
LRESULT CALLBACK FilterDialogKeys(int code, WPARAM wParam, LPARAM lParam) {
  KeyFilter* filter = t_filter;
  if (!filter) return 0;
  const MSG* msg = reinterpret_cast<const MSG*>(lParam);
  if (code == MSGF_DIALOGBOX && msg && msg->message == WM_KEYDOWN && msg->hwnd &&
      GetAncestor(msg->hwnd, GA_ROOT) == filter->editor->m_hWnd) {
    const UINT command = RegistryKeyCommand(WORD(msg->wParam), GetKeyState(VK_CONTROL) < 0,
                                            IsEditBox(msg->hwnd));
    if (command) {
      PostMessageW(filter->editor->m_hWnd, WM_COMMAND, command, 0);
      return 1;
    }
  }
  return CallNextHookEx(filter->hook, code, wParam, lParam);
}

}  // namespace

UINT RegistryKeyCommand(WORD key, bool ctrl, bool inEdit) {
  if (ctrl) {
    // Ctrl+H is an edit box's backspace.
    if (key == 'F') return ID_REG_FIND;
    if (key == 'H' && !inEdit) return ID_REG_FIND_HEX;
    return 0;
  }
  if (key == VK_F3) return ID_REG_FIND_NEXT;
  if (key == VK_F5) return ID_REG_REFRESH;
  if (inEdit) return 0;
  if (key == VK_DELETE) return ID_REG_DELETE;
  if (key == VK_F2) return ID_REG_RENAME;
  return 0;
}

void InstallEditorKeys(CRegistryDlg* editor) {
  KeyFilter* filter = new KeyFilter{editor, nullptr, t_filter};
  filter->hook = SetWindowsHookExW(WH_MSGFILTER, FilterDialogKeys, nullptr, GetCurrentThreadId());
  if (!filter->hook) {
    delete filter;
    return;
  }
  t_filter = filter;
}

void RemoveEditorKeys(CRegistryDlg* editor) {
  KeyFilter* filter = t_filter;
  if (!filter || filter->editor != editor) return;
  UnhookWindowsHookEx(filter->hook);
  t_filter = filter->previous;
  delete filter;
}
