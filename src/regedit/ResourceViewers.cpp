#include "regedit/ResourceViewers.h"

#include <commctrl.h>
#include <stdio.h>

#include "common/Dpi.h"
#include "regedit/RegistryDlg.h"
#include "regedit/ValueAccess.h"
#include "resources/ResourceIds.h"
#include "ui/controls/ListView.h"

namespace {

const UINT kPageIds[] = {IDD_REQUIREMENT_PORT, IDD_REQUIREMENT_INTERRUPT, IDD_REQUIREMENT_MEMORY,
                         IDD_REQUIREMENT_DMA};
const UINT kResourceLists[] = {IDC_RESOURCE_DMA, IDC_RESOURCE_INTERRUPTS, IDC_RESOURCE_MEMORY,
                               IDC_RESOURCE_PORTS, IDC_RESOURCE_DESCRIPTORS};
// Rows of the requirements list carry (alternative << 16) | descriptor.
const uint32_t kIndexLimit = 0x10000;

struct Column {
  UINT text;
  int width;
};

std::wstring Format(const wchar_t* format, uint64_t v) {
  wchar_t text[40];
  _snwprintf(text, 40, format, v);
  text[39] = 0;
  return text;
}
std::wstring Format32(const wchar_t* format, uint32_t v) {
  wchar_t text[40];
  _snwprintf(text, 40, format, v);
  text[39] = 0;
  return text;
}

// SetWindowTheme(list, "explorer") from uxtheme.dll when the system has it.
bool SetExplorerTheme(HWND list) {
  HMODULE uxtheme = LoadLibraryW(L"uxtheme.dll");
  if (!uxtheme) return false;
  typedef HRESULT(WINAPI * SetThemeFn)(HWND, LPCWSTR, LPCWSTR);
  SetThemeFn setTheme = reinterpret_cast<SetThemeFn>(
      reinterpret_cast<void*>(GetProcAddress(uxtheme, "SetWindowTheme")));
  return setTheme && SUCCEEDED(setTheme(list, L"explorer", nullptr));
}

// Extended styles, the theme on Windows 6.0 and later, the row-height image
// list and the columns. Returns the image list (the caller destroys it).
HIMAGELIST PrepareList(CWindow* owner, HWND list, const Column* columns, int count, bool* themed) {
  const DWORD styles = LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_DOUBLEBUFFER;
  ListView_SetExtendedListViewStyleEx(list, styles, styles);
  if (LOBYTE(LOWORD(owner->m_version)) >= 6) {
    bool ok = SetExplorerTheme(list);
    if (themed && *themed == false && ok) *themed = true;
  }
  HIMAGELIST images =
      ImageList_Create(1, themed && *themed ? 24 : 16, ILC_COLOR32 | ILC_MASK, 1, 1);
  ListView_SetImageList(list, images, LVSIL_SMALL);
  for (int i = 0; i < count; ++i) {
    std::wstring header = LoadWindowString(owner, columns[i].text);
    LVCOLUMNW col = {};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = const_cast<wchar_t*>(header.c_str());
    col.cx = ScaleByDpi(columns[i].width);
    col.iSubItem = i;
    SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&col));
  }
  return images;
}

void AppendRow(HWND list, const std::vector<std::wstring>& cells, LPARAM param = 0) {
  int row = ListAppendItem(list, cells[0].c_str(), 0);
  for (size_t i = 1; i < cells.size(); ++i) ListSetItemText(list, row, (int)i, cells[i].c_str());
  ListSetItemParam(list, row, param);
}

void DestroyListImages(HWND list) {
  if (HIMAGELIST images = ListView_SetImageList(list, nullptr, LVSIL_SMALL))
    ImageList_Destroy(images);
}

// Selected rows in their own colours; the list's pre-paint asks for items.
LRESULT DrawSelectedListRow(NMLVCUSTOMDRAW* draw) {
  if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
  if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT &&
      ListView_GetItemState(draw->nmcd.hdr.hwndFrom, (int)draw->nmcd.dwItemSpec, LVIS_SELECTED)) {
    draw->clrTextBk = GetSysColor(COLOR_HIGHLIGHT);
    draw->clrFace = GetSysColor(COLOR_HIGHLIGHT);
    draw->clrText = GetSysColor(COLOR_INACTIVECAPTIONTEXT);
  }
  return CDRF_DODEFAULT;
}

void SelectFirstRow(HWND list) {
  if (ListView_GetItemCount(list) <= 0) return;
  ListView_EnsureVisible(list, 0, FALSE);
  ListView_SetItemState(list, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

int FirstSelectedRow(HWND list) {
  return ListView_GetNextItem(list, -1, LVNI_SELECTED);
}

// The value of the viewer's row, fetched from the hive.
std::vector<uint8_t> FetchRowValue(CWindow* viewer, CMountedImage* image) {
  CRegistryDlg* editor = static_cast<CRegistryDlg*>(viewer->m_parent);
  std::vector<uint8_t> data;
  std::wstring path = SelectedKeyPath(editor);
  if (path.empty()) return data;
  uint32_t type = 0;
  ReadHiveValue(image, path, RowValueName(editor, (int)viewer->m_param), &type, &data);
  return data;
}

std::wstring PortFlagText(CWindow* w, uint16_t flags) {
  if (flags == 0) return LoadWindowString(w, IDS_RES_MEMORY);
  return LoadWindowString(w, (flags & 1) ? IDS_RES_PORT : IDS_RES_INVALID);
}
std::wstring InterruptFlagText(CWindow* w, uint16_t flags) {
  if (flags == 0) return LoadWindowString(w, IDS_RES_LEVEL_SENSITIVE);
  return LoadWindowString(w, (flags & 1) ? IDS_RES_LATCHED : IDS_RES_INVALID);
}
std::wstring MemoryFlagText(CWindow* w, uint16_t flags) {
  if (flags & 1) return LoadWindowString(w, IDS_RES_READ_ONLY);
  if (flags & 2) return LoadWindowString(w, IDS_RES_WRITE_ONLY);
  return LoadWindowString(w, IDS_RES_READ_WRITE);
}
std::wstring OptionText(CWindow* w, uint8_t option) {
  if (option & 1) return LoadWindowString(w, IDS_RES_PREFERRED);
  if (option & 8) return LoadWindowString(w, IDS_RES_ALTERNATIVE);
  return std::wstring();
}

}  // namespace

std::wstring GetInterfaceTypeName(CWindow* window, uint32_t type, bool* known) {
  static const wchar_t* const kPlain[] = {nullptr, L"Isa", L"Eisa",   nullptr, nullptr, L"PCI",
                                          L"VME",  L"Nu",  L"PCMCIA", nullptr, L"MPI",  L"MPSA"};
  if (known) *known = true;
  if (type < 12 && kPlain[type]) return kPlain[type];
  if (type == 17) return L"ACPI";
  switch (type) {
    case 0:
      return LoadWindowString(window, IDS_RES_INTERNAL);
    case 3:
      return LoadWindowString(window, IDS_RES_MICRO_CHANNEL);
    case 4:
      return LoadWindowString(window, IDS_RES_TURBO_CHANNEL);
    case 9:
      return LoadWindowString(window, IDS_RES_C_BUS);
    case 12:
      return LoadWindowString(window, IDS_RES_INTERNAL_PROCESSOR);
    case 13:
      return LoadWindowString(window, IDS_RES_INTERNAL_POWER);
    case 14:
      return LoadWindowString(window, IDS_RES_PNP_ISA);
    case 15:
      return LoadWindowString(window, IDS_RES_PNP);
    default:
      if (known) *known = false;
      return LoadWindowString(window, IDS_RES_INVALID);
  }
}

std::wstring GetResourceTypeName(CWindow* window, uint8_t type) {
  switch (type) {
    case kResourcePort:
      return LoadWindowString(window, IDS_RES_PORT);
    case kResourceInterrupt:
      return LoadWindowString(window, IDS_RES_INTERRUPT);
    case kResourceMemory:
    case kResourceLargeMemory:
      return LoadWindowString(window, IDS_RES_MEMORY);
    case kResourceDma:
      return L"DMA";
    default:
      return std::wstring();
  }
}

std::wstring GetShareDispositionName(CWindow* window, uint8_t share) {
  static const UINT kNames[] = {IDS_RES_UNDETERMINED, IDS_RES_DEVICE_EXCLUSIVE,
                                IDS_RES_DRIVER_EXCLUSIVE, IDS_RES_SHARED};
  return LoadWindowString(window, share < 4 ? kNames[share] : IDS_RES_INVALID);
}

std::wstring FormatResourceAddress(uint64_t address) {
  if (address >> 32) return Format(L"0x%016I64x", address);
  return Format32(L"0x%08x", (uint32_t)address);
}

// ---- CResourceListDlg

CResourceListDlg::CResourceListDlg(CRegistryDlg* parent, CMountedImage* image, DWORD listFlag,
                                   int row)
    : m_image(image), m_listFlag(listFlag) {
  Create(parent, IDD_RESOURCE_LIST, TRUE, row);
}

LRESULT CResourceListDlg::OnInitDialog() {
  static const Column kDescriptors[] = {{IDS_RES_BUS_NUMBER, 120},
                                        {IDS_RES_INTERFACE_TYPE, 120},
                                        {IDS_TAB_VERSION, 60},
                                        {IDS_RES_REVISION, 60}};
  static const Column kDma[] = {
      {IDS_RES_CHANNEL, 136}, {IDS_RES_PORT, 136}, {IDS_RES_SHARE_DISPOSITION, 88}};
  static const Column kInterrupts[] = {{IDS_RES_VECTOR, 64},
                                       {IDS_RES_LEVEL, 40},
                                       {IDS_RES_AFFINITY, 88},
                                       {IDS_COLUMN_TYPE, 80},
                                       {IDS_RES_SHARE_DISPOSITION, 88}};
  static const Column kMemory[] = {{IDS_RES_PHYSICAL_ADDRESS, 144},
                                   {IDS_RES_LENGTH, 84},
                                   {IDS_RES_ACCESS, 44},
                                   {IDS_RES_SHARE_DISPOSITION, 88}};
  static const Column kPorts[] = {{IDS_RES_PHYSICAL_ADDRESS, 144},
                                  {IDS_RES_LENGTH, 84},
                                  {IDS_COLUMN_TYPE, 44},
                                  {IDS_RES_SHARE_DISPOSITION, 88}};
  bool themed = false;
  PrepareList(this, GetDlgItem(m_hWnd, IDC_RESOURCE_DESCRIPTORS), kDescriptors, 4, &themed);
  PrepareList(this, GetDlgItem(m_hWnd, IDC_RESOURCE_DMA), kDma, 3, &themed);
  PrepareList(this, GetDlgItem(m_hWnd, IDC_RESOURCE_INTERRUPTS), kInterrupts, 5, &themed);
  PrepareList(this, GetDlgItem(m_hWnd, IDC_RESOURCE_MEMORY), kMemory, 4, &themed);
  PrepareList(this, GetDlgItem(m_hWnd, IDC_RESOURCE_PORTS), kPorts, 4, &themed);

  std::vector<uint8_t> data = FetchRowValue(this, m_image);
  if (m_listFlag && data.size() >= kMinResourceList) {
    m_data = data;
  } else if (!m_listFlag && data.size() >= kMinFullDescriptor) {
    m_data.assign({1, 0, 0, 0});
    m_data.insert(m_data.end(), data.begin(), data.end());
  }
  m_descriptors = ParseResourceList(m_data.data(), m_data.size());
  FillResourceDescriptorList();
  SelectFirstRow(GetDlgItem(m_hWnd, IDC_RESOURCE_DESCRIPTORS));
  return 1;
}

void CResourceListDlg::FillResourceDescriptorList() {
  HWND list = GetDlgItem(m_hWnd, IDC_RESOURCE_DESCRIPTORS);
  for (const FullResourceDescriptor& d : m_descriptors)
    AppendRow(list, {Format32(L"%d", d.busNumber), GetInterfaceTypeName(this, d.interfaceType),
                     Format32(L"%d", d.version), Format32(L"%d", d.revision)});
}

void CResourceListDlg::ShowPartialResources() {
  HWND dma = GetDlgItem(m_hWnd, IDC_RESOURCE_DMA);
  HWND interrupts = GetDlgItem(m_hWnd, IDC_RESOURCE_INTERRUPTS);
  HWND memory = GetDlgItem(m_hWnd, IDC_RESOURCE_MEMORY);
  HWND ports = GetDlgItem(m_hWnd, IDC_RESOURCE_PORTS);
  for (HWND list : {dma, interrupts, memory, ports}) ListView_DeleteAllItems(list);
  int row = FirstSelectedRow(GetDlgItem(m_hWnd, IDC_RESOURCE_DESCRIPTORS));
  if (row < 0 || (size_t)row >= m_descriptors.size()) return;
  for (const PartialResource& p : m_descriptors[(size_t)row].partials) {
    std::wstring share = GetShareDispositionName(this, p.share);
    switch (p.type) {
      case kResourceDma:
        AppendRow(dma, {Format32(L"%d", p.channel), Format32(L"%d", p.port), share});
        break;
      case kResourceInterrupt:
        AppendRow(interrupts,
                  {Format32(L"%d", p.vector), Format32(L"%d", p.level),
                   Format32(L"0x%08x", p.affinity), InterruptFlagText(this, p.flags), share});
        break;
      case kResourceMemory:
      case kResourceLargeMemory:
        AppendRow(memory, {FormatResourceAddress(p.start), Format32(L"0x%x", p.length),
                           MemoryFlagText(this, p.flags), share});
        break;
      case kResourcePort:
        AppendRow(ports, {FormatResourceAddress(p.start), Format32(L"0x%x", p.length),
                          PortFlagText(this, p.flags), share});
        break;
      default:
        break;
    }
  }
}

LRESULT CResourceListDlg::OnCommand(WPARAM wParam, LPARAM) {
  if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  return 0;
}

LRESULT CResourceListDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId != IDC_RESOURCE_DESCRIPTORS) return 0;
  if (header->code == LVN_ITEMCHANGED) ShowPartialResources();
  if (header->code == NM_CUSTOMDRAW)
    return DrawSelectedListRow(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
  return 0;
}

LRESULT CResourceListDlg::OnClose(WPARAM wParam) {
  for (UINT id : kResourceLists) DestroyListImages(GetDlgItem(m_hWnd, id));
  m_data.clear();
  return EndDialogOnClose(wParam);
}

// ---- CRequirementsListDlg

CRequirementsListDlg::CRequirementsListDlg(CRegistryDlg* parent, CMountedImage* image, int row)
    : m_image(image) {
  Create(parent, IDD_REQUIREMENTS_LIST, TRUE, row);
}

CRequirementsPage::CRequirementsPage(CWindow* viewer, UINT templateId) {
  Create(viewer, templateId, FALSE, 0);
}
LRESULT CRequirementsPage::OnClose(WPARAM) {
  return CloseByDestroy();
}
CRequirementsPortDlg::CRequirementsPortDlg(CWindow* viewer)
    : CRequirementsPage(viewer, IDD_REQUIREMENT_PORT) {}
CRequirementsInterruptDlg::CRequirementsInterruptDlg(CWindow* viewer)
    : CRequirementsPage(viewer, IDD_REQUIREMENT_INTERRUPT) {}
CRequirementsMemoryDlg::CRequirementsMemoryDlg(CWindow* viewer)
    : CRequirementsPage(viewer, IDD_REQUIREMENT_MEMORY) {}
CRequirementsDmaDlg::CRequirementsDmaDlg(CWindow* viewer)
    : CRequirementsPage(viewer, IDD_REQUIREMENT_DMA) {}

namespace {

// Moves a page, without repainting, to the viewer's right edge at the top.
void PlaceRequirementPage(HWND viewer, HWND page) {
  RECT outer, client;
  GetClientRect(viewer, &outer);
  GetClientRect(page, &client);
  SetWindowPos(page, nullptr, outer.right - client.right, 0, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE);
}

}  // namespace

LRESULT CRequirementsListDlg::OnInitDialog() {
  static const Column kColumns[] = {{IDS_RES_ALTERNATIVE_LIST, 60},
                                    {IDS_RES_RESOURCE_LIST, 60},
                                    {IDS_RES_DESCRIPTOR, 48},
                                    {IDS_RES_DEVICE_TYPE, 64}};
  bool themed = false;
  PrepareList(this, GetDlgItem(m_hWnd, IDC_RESOURCE_DESCRIPTORS), kColumns, 4, &themed);
  new CRequirementsPortDlg(this);
  new CRequirementsInterruptDlg(this);
  new CRequirementsMemoryDlg(this);
  new CRequirementsDmaDlg(this);
  for (UINT id : kPageIds) PlaceRequirementPage(m_hWnd, GetDlgItem(m_hWnd, id));
  std::vector<uint8_t> data = FetchRowValue(this, m_image);
  if (data.size() >= kMinRequirementsList) m_data = data;
  FillRequirementsList();
  SelectFirstRow(GetDlgItem(m_hWnd, IDC_RESOURCE_DESCRIPTORS));
  return 1;
}

void CRequirementsListDlg::FillRequirementsList() {
  if (m_data.empty() || !ParseRequirementsList(m_data.data(), m_data.size(), &m_list) ||
      m_list.listSize < kMinRequirementsList || m_list.alternativeCount == 0)
    return;
  SetDlgItemTextW(m_hWnd, IDC_REQ_INTERFACE,
                  GetInterfaceTypeName(this, m_list.interfaceType).c_str());
  SetDlgItemTextW(m_hWnd, IDC_REQ_BUS, Format32(L"%d", m_list.busNumber).c_str());
  SetDlgItemTextW(m_hWnd, IDC_REQ_SLOT, Format32(L"%d", m_list.slotNumber).c_str());
  HWND list = GetDlgItem(m_hWnd, IDC_RESOURCE_DESCRIPTORS);
  for (uint32_t a = 0; a < m_list.alternatives.size() && a < kIndexLimit; ++a) {
    const std::vector<RequirementDescriptor>& descriptors = m_list.alternatives[a];
    uint32_t resource = 0, counter = 1;
    for (uint32_t d = 0; d < descriptors.size() && d < kIndexLimit; ++d) {
      std::wstring name = GetResourceTypeName(this, descriptors[d].type);
      if (name.empty()) continue;
      if (!(descriptors[d].option & 8)) {
        ++resource;
        counter = 1;
      }
      AppendRow(
          list,
          {Format32(L"%u", a + 1), Format32(L"%u", resource), Format32(L"%u", counter++), name},
          (LPARAM)(a * kIndexLimit + d));
    }
  }
}

void CRequirementsListDlg::ShowRequirementDetails() {
  HWND pages[4];
  for (int i = 0; i < 4; ++i) pages[i] = GetDlgItem(m_hWnd, kPageIds[i]);
  HWND list = GetDlgItem(m_hWnd, IDC_RESOURCE_DESCRIPTORS);
  int row = FirstSelectedRow(list);
  HWND shown = nullptr;
  if (row >= 0) {
    const uint32_t param = (uint32_t)ListGetItemParam(list, row);
    const uint32_t a = param / kIndexLimit, d = param % kIndexLimit;
    if (a < m_list.alternatives.size() && d < m_list.alternatives[a].size()) {
      const RequirementDescriptor& r = m_list.alternatives[a][d];
      auto set = [&](HWND page, int id, const std::wstring& text) {
        SetDlgItemTextW(page, id, text.c_str());
      };
      switch (r.type) {
        case kResourcePort:
        case kResourceMemory:
        case kResourceLargeMemory: {
          const bool port = r.type == kResourcePort;
          shown = pages[port ? 0 : 2];
          if (port)
            set(shown, IDC_REQ_TYPE, PortFlagText(this, r.flags));
          else
            set(shown, IDC_REQ_ACCESS, MemoryFlagText(this, r.flags));
          set(shown, IDC_REQ_LENGTH, Format32(L"0x%x", r.length));
          set(shown, IDC_REQ_ALIGNMENT, Format32(L"0x%x", r.alignment));
          set(shown, IDC_REQ_MIN_ADDRESS, FormatResourceAddress(r.minAddress));
          set(shown, IDC_REQ_MAX_ADDRESS, FormatResourceAddress(r.maxAddress));
          break;
        }
        case kResourceInterrupt:
          shown = pages[1];
          set(shown, IDC_REQ_TYPE, InterruptFlagText(this, r.flags));
          set(shown, IDC_REQ_MIN_VECTOR, Format32(L"0x%x", r.minimum));
          set(shown, IDC_REQ_MAX_VECTOR, Format32(L"0x%x", r.maximum));
          break;
        case kResourceDma:
          shown = pages[3];
          set(shown, IDC_REQ_MIN_CHANNEL, Format32(L"0x%x", r.minimum));
          set(shown, IDC_REQ_MAX_CHANNEL, Format32(L"0x%x", r.maximum));
          break;
        default:
          break;
      }
      if (shown) {
        set(shown, IDC_REQ_SHARE, GetShareDispositionName(this, r.share));
        set(shown, IDC_REQ_OPTION, OptionText(this, r.option));
      }
    }
  }
  for (HWND page : pages) ShowWindow(page, page == shown ? SW_SHOW : SW_HIDE);
}

LRESULT CRequirementsListDlg::OnCommand(WPARAM wParam, LPARAM) {
  if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  return 0;
}

LRESULT CRequirementsListDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId != IDC_RESOURCE_DESCRIPTORS) return 0;
  if (header->code == LVN_ITEMCHANGED) ShowRequirementDetails();
  if (header->code == NM_CUSTOMDRAW)
    return DrawSelectedListRow(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
  return 0;
}

LRESULT CRequirementsListDlg::OnClose(WPARAM wParam) {
  for (UINT id : kPageIds) SendMessageW(GetDlgItem(m_hWnd, id), WM_CLOSE, 0, 0);
  DestroyListImages(GetDlgItem(m_hWnd, IDC_RESOURCE_DESCRIPTORS));
  m_data.clear();
  return EndDialogOnClose(wParam);
}
