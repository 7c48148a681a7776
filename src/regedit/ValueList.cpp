// The value list of the registry editor: the default row, one row per value
// with its type and data texts, sorted by name after the default row.
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "regedit/RegistryDlg.h"
#include "regedit/ValueText.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"

namespace {

const int kTextMax = 360;

struct ValueRow {
  std::wstring name, type, data;
  int image;
};

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
  // Rows after the default row go in sorted by name (the default row first,
  // then by CompareNamesAsciiNoCase), so they are put in once in order.
  std::vector<ValueRow> rows;
  if (buffer && window->m_image->RegEnumValues(keyPath, buffer, &size) == REG_STATUS_OK &&
      size >= 8) {
    uint32_t count = *reinterpret_cast<uint32_t*>(buffer);
    for (uint32_t i = 0; i < count; ++i) {
      RegValueEntry* e =
          reinterpret_cast<RegValueEntry*>(buffer + 8 + (size_t)i * sizeof(RegValueEntry));
      wchar_t name[1024];
      wcsncpy(name, e->name, 1023);
      name[1023] = 0;
      wchar_t type[kTextMax], data[kTextMax];
      FormatValueTypeName(e->type, type, kTextMax);
      const RegValueBuf* value = e->data;
      FormatValueData(e->type, value ? value->data : nullptr, value ? value->length : 0, data,
                      kTextMax);
      free(e->data);
      if (name[0]) {
        rows.push_back({name, type, data, ValueTypeImage(e->type)});
        continue;
      }
      if (e->type >= 12) ListSetItemImage(list, row, VALUE_IMAGE_BINARY);
      ListSetItemText(list, row, 1, type);
      ListSetItemText(list, row, 2, data);
    }
  }
  std::stable_sort(rows.begin(), rows.end(), [](const ValueRow& a, const ValueRow& b) {
    return CompareNamesAsciiNoCase(a.name.c_str(), b.name.c_str()) < 0;
  });
  for (const ValueRow& r : rows) {
    int at = ListAppendItem(list, r.name.c_str(), r.image);
    ListSetItemText(list, at, 1, r.type.c_str());
    ListSetItemText(list, at, 2, r.data.c_str());
  }
  free(buffer);
}
