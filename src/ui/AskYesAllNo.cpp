#include "ui/AskYesAllNo.h"

#include "ui/UiResources.h"

namespace {

const UINT kYesText = 184, kNoText = 185, kAllText = 186;
const int kLabelChars = 40;

// The hook of the box that is up (one at a time per process).
HHOOK g_hook;

void Relabel(HWND box, int button, UINT textId) {
  HWND control = GetDlgItem(box, button);
  wchar_t label[kLabelChars];
  if (control && LoadUiString(textId, label, kLabelChars)) SetWindowTextW(control, label);
}

// The box is a Yes / No / Cancel box whose buttons read Yes / All / No:
// the buttons keep their own ids (a box keeps hidden buttons of the other
// ids, which a changed id would meet), and Cancel is what Esc and the close
// button answer, so both answer No.
LRESULT CALLBACK BoxHook(int code, WPARAM wParam, LPARAM lParam) {
  const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code >= 0 && call && call->message == WM_ACTIVATE) {
    wchar_t className[16];
    if (GetClassNameW(call->hwnd, className, 16) && lstrcmpW(className, L"#32770") == 0) {
      Relabel(call->hwnd, IDYES, kYesText);
      Relabel(call->hwnd, IDNO, kAllText);
      Relabel(call->hwnd, IDCANCEL, kNoText);
    }
  }
  return CallNextHookEx(g_hook, code, wParam, lParam);
}

}  // namespace

int AskYesAllNo(HWND owner, const wchar_t* text, const wchar_t* caption) {
  g_hook = SetWindowsHookExW(WH_CALLWNDPROC, BoxHook, nullptr, GetCurrentThreadId());
  const int answer =
      MessageBoxW(owner, text, caption, MB_YESNOCANCEL | MB_ICONQUESTION | MB_SETFOREGROUND);
  if (g_hook) UnhookWindowsHookEx(g_hook);
  g_hook = nullptr;
  // Anything but Yes or All (a box that could not be shown too) keeps the
  // existing file.
  if (answer == IDYES) return IDYES;
  return answer == IDNO ? kAnswerAll : IDNO;
}
