// The value list of the registry editor: the default row, one row per value
// with its type and data texts, sorted by name after the default row.
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>

#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "regedit/RegistryDlg.h"
#include "regedit/ValueText.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"

namespace {

const int kTextMax = 360;

int CALLBACK CompareValueItems(LPARAM a, LPARAM b, LPARAM list) {
  if (a == b) return 0;
  if (a == 0) return -1;
  if (b == 0) return 1;
  wchar_t na[kTextMax], nb[kTextMax];
  ListGetItemText(reinterpret_cast<HWND>(list), (int)a, 0, na, kTextMax);
  ListGetItemText(reinterpret_cast<HWND>(list), (int)b, 0, nb, kTextMax);
  return CompareNamesAsciiNoCase(na, nb);
}

}  // namespace

void FillValueList(const wchar_t* keyPath, CRegistryDlg* window, HWND list) {
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  HMODULE module = window->m_hInstance ? window->m_hInstance : GetUiModule();
  wchar_t defaultName[kTextMax], notSet[kTextMax];
  LoadUiString(module, IDS_REG_DEFAULT_NAME, window->m_language, defaultName, kTextMax);
  LoadUiString(module, IDS_REG_VALUE_NOT_SET, window->m_language, notSet, kTextMax);
  int row = ListAppendItem(list, defaultName, VALUE_IMAGE_STRING);
  ListSetItemText(list, row, 1, L"REG_SZ");
  ListSetItemText(list, row, 2, notSet);

  uint32_t size = 0;
  uint8_t* buffer = nullptr;
  if (window->m_image) {
    window->m_image->RegEnumValues(keyPath, nullptr, &size);
    if (size >= 8) buffer = static_cast<uint8_t*>(malloc(size));
  }
  if (buffer && window->m_image->RegEnumValues(keyPath, buffer, &size) == REG_STATUS_OK && size >= 8) {
    uint32_t count = *reinterpret_cast<uint32_t*>(buffer);
    for (uint32_t i = 0; i < count; ++i) {
      RegValueEntry* e = reinterpret_cast<RegValueEntry*>(buffer + 8 + (size_t)i * sizeof(RegValueEntry));
      wchar_t name[1024];
      wcsncpy(name, e->name, 1023);
      name[1023] = 0;
      int at;
      if (name[0]) {
        at = ListAppendItem(list, name, ValueTypeImage(e->type));
      } else {
        at = ListFindItemText(list, defaultName);
        if (at >= 0 && e->type >= 12) ListSetItemImage(list, at, VALUE_IMAGE_BINARY);
      }
      if (at >= 0) {
        wchar_t text[kTextMax];
        FormatValueTypeName(e->type, text, kTextMax);
        ListSetItemText(list, at, 1, text);
        const RegValueBuf* data = e->data;
        FormatValueData(e->type, data ? data->data : nullptr, data ? data->length : 0, text, kTextMax);
        ListSetItemText(list, at, 2, text);
      }
      free(e->data);
    }
  }
  free(buffer);
  SendMessageW(list, LVM_SORTITEMSEX, reinterpret_cast<WPARAM>(list), reinterpret_cast<LPARAM>(CompareValueItems));
}
