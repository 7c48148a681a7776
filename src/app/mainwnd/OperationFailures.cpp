#include "app/mainwnd/OperationFailures.h"

#include <cwchar>

#include "common/ConsoleOutput.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"
#include "resources/ResourceIds.h"
#include "ui/OwnerMessageBox.h"
#include "ui/UiLanguage.h"
#include "ui/UiResources.h"

void OperationFailures::Add(const std::wstring& item, DWORD error, int count) {
  if (count < 1) return;
  if (!m_count) {
    m_item = item;
    m_error = error ? error : ERROR_CAN_NOT_COMPLETE;
  }
  m_count += count;
}

std::wstring OperationFailures::Text() const {
  if (!m_count) return std::wstring();
  wchar_t format[512], text[1800];
  if (!LoadUiString(m_format, format, 512)) return m_item;
  const std::wstring why = ErrorText(m_error, GetThreadUiLanguage());
  if (m_format == IDS_RENAME_FAILED) {
    _snwprintf(text, 1800, format, m_item.c_str(), m_newName.c_str(), unsigned(m_error),
               why.c_str());
  } else {
    _snwprintf(text, 1800, format, m_item.c_str(), unsigned(m_error), why.c_str());
  }
  text[1799] = 0;
  std::wstring all = text;
  if (m_count > 1 && LoadUiString(IDS_FAILED_COUNT, format, 512)) {
    _snwprintf(text, 1800, format, unsigned(m_count));
    text[1799] = 0;
    all += std::wstring(L"\r\n\r\n") + text;
  }
  return all;
}

std::wstring WrittenFile(CMountedImage* image) {
  _VROH_MOUNT_RW* disk = image ? image->DiskObject() : nullptr;
  if (!disk) return std::wstring();
  _VROH_DISK_COMBO* layers = disk->Layers();
  return (layers->Fix().IsOpen()      ? layers->Fix()
          : layers->Update().IsOpen() ? layers->Update()
                                      : layers->Base())
      .Path();
}

void TellOperation(HWND owner, const OperationFailures& failures, const std::wstring& takenBack) {
  std::wstring text;
  wchar_t format[512], line[2800];
  if (!failures.GrowWhy().empty()) {
    if (!takenBack.empty() && LoadUiString(IDS_GROW_REFUSED_TAKEN_BACK, format, 512)) {
      _snwprintf(line, 2800, format, takenBack.c_str(), failures.GrowItem().c_str(),
                 failures.GrowWhy().c_str());
    } else if (LoadUiString(IDS_GROW_REFUSED, format, 512)) {
      _snwprintf(line, 2800, format, failures.GrowWhy().c_str());
    }
    line[2799] = 0;
    text = line;
  } else if (!takenBack.empty() && LoadUiString(IDS_OPERATION_TAKEN_BACK, format, 512)) {
    _snwprintf(line, 2800, format, takenBack.c_str());
    line[2799] = 0;
    text = line;
  }
  const std::wstring failed = failures.Text();
  if (!failed.empty()) text += (text.empty() ? L"" : L"\r\n\r\n") + failed;
  if (!text.empty()) OwnerMessageBox(owner, text.c_str(), MB_ICONEXCLAMATION | MB_SETFOREGROUND);
}
