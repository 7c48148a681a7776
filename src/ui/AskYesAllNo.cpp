#include "ui/AskYesAllNo.h"

#include "ui/UiResources.h"

namespace {

const UINT kYesText = 184, kNoText = 185, kAllText = 186;
const int kLabelChars = 40;

// The hook of the box that is up (one at a time per process).
HHOOK g_hook;

void Relabel(HWND box, int button, UINT textId, int newId) {
  HWND control = GetDlgItem(box, button);
  if (!control) return;
  wchar_t label[kLabelChars];
  if (LoadUiString(textId, label, kLabelChars)) SetWindowTextW(control, label);
  if (newId) SetWindowLongPtrW(control, GWLP_ID, newId);
}

// Turns Abort / Retry / Ignore into Yes / All / No when the box activates.
LRESULT CALLBACK BoxHook(int code, WPARAM wParam, LPARAM lParam) {
  const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code >= 0 && call && call->message == WM_ACTIVATE) {
    wchar_t className[16];
    if (GetClassNameW(call->hwnd, className, 16) && lstrcmpW(className, L"#32770") == 0) {
      Relabel(call->hwnd, IDABORT, kYesText, IDYES);
      Relabel(call->hwnd, IDRETRY, kAllText, 0);
      Relabel(call->hwnd, IDIGNORE, kNoText, IDNO);
    }
  }
  return CallNextHookEx(g_hook, code, wParam, lParam);
}

}  // namespace

int AskYesAllNo(HWND owner, const wchar_t* text, const wchar_t* caption) {
  g_hook = SetWindowsHookExW(WH_CALLWNDPROC, BoxHook, nullptr, GetCurrentThreadId());
  int answer =
      MessageBoxW(owner, text, caption, MB_ABORTRETRYIGNORE | MB_ICONQUESTION | MB_SETFOREGROUND);
  if (g_hook) UnhookWindowsHookEx(g_hook);
  g_hook = nullptr;
  return answer == IDRETRY ? kAnswerAll : answer;
}
