#include "app/viewer/ViewFile.h"

#include <cwchar>

#include "app/viewer/ViewerDlg.h"
#include "common/NoRedirect.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/HostLibraries.h"
#include "ui/OwnerMessageBox.h"
#include "ui/UiLanguage.h"
#include "ui/UiResources.h"

namespace {

void ShowViewMessage(CWindow* owner, UINT id, DWORD error) {
  HMODULE module = owner && owner->m_hInstance ? owner->m_hInstance : GetUiModule();
  const LANGID language = owner ? owner->m_language : GetThreadUiLanguage();
  wchar_t format[256], text[300];
  LoadUiString(module, id, language, format, 256);
  _snwprintf(text, 300, format, unsigned(error));
  text[299] = 0;
  OwnerMessageBox(owner ? owner->m_hWnd : nullptr, text, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
}

}  // namespace

HWND ViewFile(CWindow* owner, CMountedImage* image, const wchar_t* path,
              const wchar_t* displayPath) {
  uint64_t size = 0;
  if (image) {
    if (!image->GetFileInfo(path, nullptr, nullptr, nullptr, nullptr, &size)) size = 0;
  } else {
    GetPathInfoNoRedirect(path, nullptr, nullptr, &size);
  }
  if (size > kViewLimitBytes) {
    ShowViewMessage(owner, IDS_TOO_LARGE_TO_VIEW, 0);
    return nullptr;
  }
  void* view = nullptr;
  HANDLE section = CreateNamedSection(DWORD(size) + 2, &view);
  if (!section) {
    ShowViewMessage(owner, IDS_TOO_LARGE_TO_VIEW, 0);
    return nullptr;
  }
  DWORD read = 0;
  if (image) {
    read = size ? DWORD(image->ReadFile(path, view, 0, size)) : 0;
  } else {
    HANDLE file = CreateFileNoRedirect(path);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      CloseNamedSection(view, section);
      ShowViewMessage(owner, IDS_OPEN_FILE_FAILED, error);
      return nullptr;
    }
    const BOOL ok = ::ReadFile(file, view, DWORD(size), &read, nullptr);
    CloseHandle(file);
    if (!ok) {
      CloseNamedSection(view, section);
      return nullptr;
    }
  }
  static_cast<BYTE*>(view)[read] = 0;
  static_cast<BYTE*>(view)[read + 1] = 0;
  const UINT templateId = LoadRichEditLibrary() >= 4 ? IDD_VIEWER : IDD_VIEWER_RICHEDIT20;
  HINSTANCE instance = owner && owner->m_hInstance ? owner->m_hInstance : GetUiModule();
  CViewerDlg* viewer = new CViewerDlg(instance, owner, section, static_cast<BYTE*>(view), read,
                                      displayPath, templateId);
  return viewer->Show();
}
