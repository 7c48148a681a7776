#include "regedit/ValueEditors.h"

#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "image/mount/MountedImage.h"
#include "registry/hive/RegTypes.h"
#include "regedit/RegistryDlg.h"
#include "regedit/ValueAccess.h"
#include "regedit/ValueText.h"
#include "resources/ResourceIds.h"
#include "ui/controls/ListView.h"
#include "ui/hexedit/HexEdit.h"

namespace {

const int kRowTextMax = 360;
const int kBytesPerLine = 8;

CRegistryDlg* EditorOf(CWindow* dialog) {
  return static_cast<CRegistryDlg*>(dialog->m_parent);
}

int RowOf(CWindow* dialog) {
  return (int)dialog->m_param;
}

std::wstring ItemText(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  std::wstring text((size_t)GetWindowTextLengthW(control) + 1, L'\0');
  text.resize((size_t)GetWindowTextW(control, &text[0], (int)text.size()));
  return text;
}

// The common opening: the value name into 1158 and the key path into 1002.
// False when no key is selected (the path box stays empty).
bool ShowPathAndName(CWindow* dialog, std::wstring* path, std::wstring* name) {
  CRegistryDlg* editor = EditorOf(dialog);
  *name = RowValueName(editor, RowOf(dialog));
  // The default value is shown under its .reg name.
  SetDlgItemTextW(dialog->m_hWnd, IDC_VALUE_NAME, name->empty() ? L"@" : name->c_str());
  *path = SelectedKeyPath(editor);
  if (path->empty()) return false;
  SetDlgItemTextW(dialog->m_hWnd, IDC_VALUE_PATH, path->c_str());
  return true;
}

// The key path and value name the dialog works on, as it opened.
void PathAndName(CWindow* dialog, std::wstring* path, std::wstring* name) {
  *path = SelectedKeyPath(EditorOf(dialog));
  *name = RowValueName(EditorOf(dialog), RowOf(dialog));
}

void SetRowData(CWindow* dialog, uint32_t type, const uint8_t* data, uint32_t length) {
  if (RowOf(dialog) < 0) return;
  wchar_t text[kRowTextMax];
  FormatValueData(type, data, length, text, kRowTextMax);
  ListSetItemText(EditorOf(dialog)->List(), RowOf(dialog), 2, text);
}

void WriteFailed(CWindow* dialog) {
  ShowEditorMessage(dialog, dialog->m_hWnd, IDS_REG_WRITE_FAILED, 0, MB_ICONEXCLAMATION);
}

// Writes the data into the value the dialog opened on (its type kept); on
// success the row shows it and the dialog closes, else string 163 and the
// dialog stays open.
void WriteAndClose(CWindow* dialog, CMountedImage* image, uint32_t rowType, const void* data,
                   uint32_t size) {
  std::wstring path, name;
  PathAndName(dialog, &path, &name);
  if (path.empty() ||
      image->RegWriteValueData(path.c_str(), name.c_str(), data, size) != REG_STATUS_OK) {
    WriteFailed(dialog);
    return;
  }
  SetRowData(dialog, rowType, static_cast<const uint8_t*>(data), size);
  PostMessageW(dialog->m_hWnd, WM_CLOSE, 0, 0);
}

void UnlimitText(HWND dialog) {
  SendDlgItemMessageW(dialog, IDC_VALUE_DATA, EM_LIMITTEXT, 0, 0);
}

// The data box takes the focus with its text selected, ready to be typed
// over; the opening handler then returns 0.
LRESULT FocusData(HWND dialog) {
  HWND data = GetDlgItem(dialog, IDC_VALUE_DATA);
  SetFocus(data);
  SendMessageW(data, EM_SETSEL, 0, -1);
  return 0;
}

// The type the row's type column names.
uint32_t RowType(CWindow* dialog) {
  return ValueTypeFromName(ListCellText(EditorOf(dialog)->List(), RowOf(dialog), 1).c_str());
}

uint64_t LoadNumber(uint32_t type, const std::vector<uint8_t>& data) {
  uint64_t v = 0;
  if (type == REG_DWORD_BIG_ENDIAN) {
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | (i < data.size() ? data[i] : 0);
    return v;
  }
  const size_t count = type == REG_QWORD ? 8 : 4;
  for (size_t i = 0; i < count && i < data.size(); ++i) v |= (uint64_t)data[i] << (8 * i);
  return v;
}

std::wstring FormatNumber(uint64_t v, uint32_t radix) {
  wchar_t text[32];
  _snwprintf(text, 32, radix == 16 ? L"%I64x" : L"%I64u", v);
  text[31] = 0;
  return text;
}

}  // namespace

std::wstring MultiSzToLines(const uint8_t* data, uint32_t length) {
  const uint32_t units = length / 2;
  std::wstring text;
  uint32_t pos = 0;
  while (units - pos >= 2) {
    uint32_t end = pos;
    while (end < units && (data[2 * end] | data[2 * end + 1]) != 0) ++end;
    if (end > pos) {
      for (uint32_t i = pos; i < end; ++i) text += (wchar_t)(data[2 * i] | (data[2 * i + 1] << 8));
      text += L"\r\n";
    }
    if (end >= units) break;
    pos = end + 1;
  }
  return text;
}

std::wstring LinesToMultiSz(const std::wstring& text, bool* droppedEmpty) {
  std::wstring out;
  out.reserve(text.size() + 2);
  bool dropped = false;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find(L"\r\n", at);
    if (end == std::wstring::npos) end = text.size();
    if (end == at)
      dropped = true;
    else
      out.append(text, at, end - at).push_back(L'\0');
    at = end + 2;
  }
  // A list without strings keeps one empty string, as it always has.
  if (out.empty()) out.push_back(L'\0');
  out.push_back(L'\0');
  if (droppedEmpty) *droppedEmpty = dropped;
  return out;
}

// ---- CStringDlg

CStringDlg::CStringDlg(CRegistryDlg* parent, CMountedImage* image, int row) : m_image(image) {
  Create(parent, IDD_REG_EDIT_STRING, TRUE, row);
}

LRESULT CStringDlg::OnInitDialog() {
  UnlimitText(m_hWnd);
  std::wstring path, name;
  if (!ShowPathAndName(this, &path, &name)) return 1;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  std::wstring text;
  if (ReadHiveValue(m_image, path, name, &type, &data)) {
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
      wchar_t c = (wchar_t)(data[i] | (data[i + 1] << 8));
      if (!c) break;
      text += c;
    }
  }
  SetDlgItemTextW(m_hWnd, IDC_VALUE_DATA, text.c_str());
  return FocusData(m_hWnd);
}

LRESULT CStringDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam);
  if (id == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  } else if (id == IDOK) {
    std::wstring text = ItemText(m_hWnd, IDC_VALUE_DATA);
    WriteAndClose(this, m_image, REG_SZ, text.c_str(), (uint32_t)(text.size() + 1) * 2);
  }
  return 0;
}

LRESULT CStringDlg::OnClose(WPARAM wParam) {
  return EndDialogOnClose(wParam);
}

// ---- CMultiSzDlg

CMultiSzDlg::CMultiSzDlg(CRegistryDlg* parent, CMountedImage* image, int row) : m_image(image) {
  Create(parent, IDD_REG_EDIT_MULTI_SZ, TRUE, row);
}

LRESULT CMultiSzDlg::OnInitDialog() {
  UnlimitText(m_hWnd);
  std::wstring path, name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (!ShowPathAndName(this, &path, &name) || !ReadHiveValue(m_image, path, name, &type, &data) ||
      data.empty()) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    return 1;
  }
  SetDlgItemTextW(m_hWnd, IDC_VALUE_DATA,
                  MultiSzToLines(data.data(), (uint32_t)data.size()).c_str());
  return FocusData(m_hWnd);
}

LRESULT CMultiSzDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam);
  if (id == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  } else if (id == IDOK) {
    bool dropped = false;
    std::wstring list = LinesToMultiSz(ItemText(m_hWnd, IDC_VALUE_DATA), &dropped);
    // Windows' editor says so too: programs stop reading at an empty string.
    if (dropped)
      ShowEditorMessage(this, m_hWnd, IDS_REG_MULTI_SZ_EMPTY, IDS_REG_EDITOR_NAME, MB_ICONWARNING);
    WriteAndClose(this, m_image, REG_MULTI_SZ, list.data(), (uint32_t)list.size() * 2);
  }
  return 0;
}

LRESULT CMultiSzDlg::OnClose(WPARAM wParam) {
  return EndDialogOnClose(wParam);
}

// ---- CIntegerDlg

CIntegerDlg::CIntegerDlg(CRegistryDlg* parent, CMountedImage* image, UINT templateId, int row)
    : m_image(image) {
  Create(parent, templateId, TRUE, row);
}

LRESULT CIntegerDlg::OnInitDialog() {
  CheckRadioButton(m_hWnd, IDC_RADIX_HEX, IDC_RADIX_DECIMAL, IDC_RADIX_HEX);
  m_radix = 16;
  std::wstring path, name;
  if (!ShowPathAndName(this, &path, &name)) return 1;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  uint64_t v = 0;
  if (ReadHiveValue(m_image, path, name, &type, &data)) v = LoadNumber(RowType(this), data);
  SetDlgItemTextW(m_hWnd, IDC_VALUE_DATA, FormatNumber(v, 16).c_str());
  return FocusData(m_hWnd);
}

LRESULT CIntegerDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam);
  if (id == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    return 0;
  }
  if ((id == IDC_RADIX_HEX || id == IDC_RADIX_DECIMAL) && IsDlgButtonChecked(m_hWnd, id)) {
    const uint32_t radix = id == IDC_RADIX_HEX ? 16 : 10;
    if (radix == m_radix) return 0;
    std::wstring text = ItemText(m_hWnd, IDC_VALUE_DATA);
    if (text.size() > 99) text.resize(99);
    m_radix = radix;
    SetDlgItemTextW(
        m_hWnd, IDC_VALUE_DATA,
        FormatNumber(ParseValueNumber(text.c_str(), radix == 16 ? 10 : 16), radix).c_str());
    return 0;
  }
  if (id != IDOK || RowOf(this) < 0) return 0;
  const uint32_t type = RowType(this);
  if (type != REG_DWORD && type != REG_DWORD_BIG_ENDIAN && type != REG_QWORD) {
    WriteFailed(this);
    return 0;
  }
  const int base = IsDlgButtonChecked(m_hWnd, IDC_RADIX_HEX) ? 16 : 10;
  const uint64_t v = ParseValueNumber(ItemText(m_hWnd, IDC_VALUE_DATA).c_str(), base);
  uint8_t bytes[8];
  const uint32_t size = type == REG_QWORD ? 8 : 4;
  for (uint32_t i = 0; i < size; ++i)
    bytes[i] = (uint8_t)(v >> (8 * (type == REG_DWORD_BIG_ENDIAN ? 3 - i : i)));
  WriteAndClose(this, m_image, type, bytes, size);
  return 0;
}

LRESULT CIntegerDlg::OnClose(WPARAM wParam) {
  return EndDialogOnClose(wParam);
}

// ---- CBinaryDlg

CBinaryDlg::CBinaryDlg(CRegistryDlg* parent, CMountedImage* image, int row) : m_image(image) {
  Create(parent, IDD_REG_EDIT_BINARY, TRUE, row);
}

LRESULT CBinaryDlg::OnInitDialog() {
  std::wstring path, name;
  if (!ShowPathAndName(this, &path, &name)) return 1;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ReadHiveValue(m_image, path, name, &type, &data);
  m_hexEdit = AttachHexEdit(new HexEditControl, GetDlgItem(m_hWnd, IDC_VALUE_DATA),
                            data.empty() ? nullptr : data.data(), (int)data.size(), FALSE,
                            kBytesPerLine, nullptr);
  return 1;
}

LRESULT CBinaryDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam);
  if (id == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    return 0;
  }
  if (id != IDOK) return 0;
  if (m_hexEdit && RowOf(this) >= 0) {
    std::wstring path, name;
    PathAndName(this, &path, &name);
    std::vector<uint8_t> bytes(m_hexEdit->data, m_hexEdit->data + m_hexEdit->size);
    const uint32_t size = (uint32_t)bytes.size();
    bytes.push_back(0);
    bytes.push_back(0);
    if (!path.empty() &&
        m_image->RegWriteValueData(path.c_str(), name.c_str(), bytes.data(), size) == REG_STATUS_OK)
      SetRowData(this, RowType(this), bytes.data(), size);
  }
  if (m_hexEdit) m_hexEdit = (DeleteHexEdit(m_hexEdit), nullptr);
  PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  return 0;
}

LRESULT CBinaryDlg::OnClose(WPARAM wParam) {
  if (m_hexEdit) m_hexEdit = (DeleteHexEdit(m_hexEdit), nullptr);
  return EndDialogOnClose(wParam);
}
