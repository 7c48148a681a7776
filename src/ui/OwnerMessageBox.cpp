#include "ui/OwnerMessageBox.h"

#include "ui/UiResources.h"

namespace {

const UINT kPromptText = 111;
const int kCaptionChars = 256;

}  // namespace

int OwnerMessageBox(HWND owner, const wchar_t* text, UINT flags) {
  wchar_t caption[kCaptionChars] = L"";
  HWND top = owner ? GetAncestor(owner, GA_ROOT) : nullptr;
  if (!top || !GetWindowTextW(top, caption, kCaptionChars))
    LoadUiString(kPromptText, caption, kCaptionChars);
  return MessageBoxW(owner, text, caption, flags);
}
