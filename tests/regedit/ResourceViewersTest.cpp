// The resource and requirements viewers on real windows over values made for
// the test, and a mutation loop over their data: every mutated list is shown
// or refused, never read past its end (the data ends at a no-access page).
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../registry/FacadeTestUtil.h"
#include "EditorTestUtil.h"
#include "regedit/ResourceData.h"
#include "regedit/ResourceViewers.h"
#include "resources/ResourceIds.h"

namespace {

using namespace edtest;

const wchar_t kHw[] = L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro\\Hw";

struct Bytes {
  std::vector<uint8_t> b;
  Bytes& u8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Bytes& u16(uint16_t v) { return u8((uint8_t)v).u8((uint8_t)(v >> 8)); }
  Bytes& u32(uint32_t v) { return u16((uint16_t)v).u16((uint16_t)(v >> 16)); }
  Bytes& u64(uint64_t v) { return u32((uint32_t)v).u32((uint32_t)(v >> 32)); }
};

// A full descriptor header and its partial descriptors.
void Full(Bytes& d, uint32_t iface, uint32_t bus, uint32_t partials) {
  d.u32(iface).u32(bus).u16(1).u16(1).u32(partials);
}
void Partial(Bytes& d, uint8_t type, uint8_t share, uint16_t flags, uint64_t a, uint32_t b) {
  d.u8(type).u8(share).u16(flags);
  if (type == 2)
    d.u32((uint32_t)a).u32((uint32_t)a).u32(b);  // level = vector = a, affinity b
  else if (type == 4)
    d.u32((uint32_t)a).u32(b).u32(0);
  else
    d.u64(a).u32(b);
}
void Requirement(Bytes& d, uint8_t option, uint8_t type, uint16_t flags, uint64_t min,
                 uint64_t max) {
  d.u8(option).u8(type).u8(1).u8(0).u16(flags).u16(0);
  if (type == 2 || type == 4)
    d.u32((uint32_t)min).u32((uint32_t)max).u64(0).u64(0);
  else
    d.u32(8).u32(1).u64(min).u64(max);
}

std::vector<uint8_t> MakeFullDescriptor() {
  Bytes d;
  Full(d, 5, 0, 1);
  Partial(d, 1, 1, 1, 0x3f8, 8);
  return d.b;
}

std::vector<uint8_t> MakeResourceList() {
  Bytes d;
  d.u32(2);
  Full(d, 16, 2, 3);
  Partial(d, 2, 3, 0, 9, 0xf);
  Partial(d, 4, 0, 0, 2, 0);
  Partial(d, 3, 1, 1, 0xA0000, 0x1000);
  Full(d, 1, 0, 2);
  Partial(d, 7, 2, 0, 0x100000000ull, 0x2000);
  Partial(d, 1, 1, 1, 0x60, 1);
  return d.b;
}

std::vector<uint8_t> MakeRequirements() {
  Bytes d;
  d.u32(0).u32(5).u32(1).u32(2).u32(0).u32(0).u32(0).u32(2);
  d.u16(1).u16(1).u32(4);
  Requirement(d, 1, 1, 1, 0x3f8, 0x3ff);
  Requirement(d, 0, 0, 0, 0, 0);
  Requirement(d, 8, 2, 0, 3, 4);
  Requirement(d, 0, 3, 2, 0x100000000ull, 0x10000ffffull);
  d.u16(1).u16(1).u32(2);
  Requirement(d, 0, 5, 0, 0, 0);
  Requirement(d, 0, 4, 0, 1, 2);
  uint32_t size = (uint32_t)d.b.size();
  memcpy(d.b.data(), &size, 4);
  return d.b;
}

std::vector<std::wstring> Rows(HWND list, int columns) {
  std::vector<std::wstring> out;
  for (int r = 0; r < ListView_GetItemCount(list); ++r) {
    std::wstring row;
    for (int c = 0; c < columns; ++c) row += (c ? L"|" : L"") + Cell(list, r, c);
    out.push_back(row);
  }
  return out;
}

std::wstring Text(HWND window, int id) {
  wchar_t text[200] = {};
  GetDlgItemTextW(window, id, text, 200);
  return text;
}

// The page's own visibility (the modal viewer itself may not show yet).
bool Shown(HWND page) {
  return page && (GetWindowLongW(page, GWL_STYLE) & WS_VISIBLE);
}

template <class T>
bool View(CRegistryDlg* dlg, const wchar_t* name, std::function<void(HWND)> inside) {
  if (SelectRow(dlg, name) < 0) return false;
  return RunModal<T>([&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_MODIFY, 0); },
                     [&] {
                       inside(g_innerDialog->m_hWnd);
                       SendMessageW(g_innerDialog->m_hWnd, WM_COMMAND, IDCANCEL, 0);
                     });
}

void SelectListRow(HWND list, int row) {
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_SetItemState(list, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

class ResourceViewersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearSettings();
    disk = rt::MakeWinDisk("");
    ASSERT_EQ(3, image.OpenImage(disk.path.c_str(), nullptr, 0, 0));
  }
  void Set(const wchar_t* name, uint32_t type, const std::vector<uint8_t>& data) {
    ASSERT_EQ(REG_STATUS_OK,
              image.RegSetValue(kHw, name, data.data(), (uint32_t)data.size(), type));
  }
  rt::WinDisk disk;
  CMountedImage image;
};

TEST_F(ResourceViewersTest, ListsDescriptorsAndRequirementPages) {
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    ASSERT_EQ(REG_STATUS_OK, image.RegCreateKey(kHw));
    Set(L"full", 9, MakeFullDescriptor());
    Set(L"list", 8, MakeResourceList());
    Set(L"req", 10, MakeRequirements());
    SelectKeyPath(dlg, kHw);

    EXPECT_TRUE(View<CResourceListDlg>(dlg, L"full", [&](HWND h) {
      HWND top = GetDlgItem(h, IDC_RESOURCE_DESCRIPTORS);
      EXPECT_EQ((std::vector<std::wstring>{L"0|PCI|1|1"}), Rows(top, 4));
      EXPECT_EQ(0, ListView_GetNextItem(top, -1, LVNI_SELECTED));
      EXPECT_EQ((std::vector<std::wstring>{L"0x000003f8|0x8|端口|设备专用"}),
                Rows(GetDlgItem(h, IDC_RESOURCE_PORTS), 4));
    }));

    EXPECT_TRUE(View<CResourceListDlg>(dlg, L"list", [&](HWND h) {
      HWND top = GetDlgItem(h, IDC_RESOURCE_DESCRIPTORS);
      EXPECT_EQ((std::vector<std::wstring>{L"2|无效|1|1", L"0|Isa|1|1"}), Rows(top, 4))
          << "interface type 16 has no name";
      EXPECT_EQ((std::vector<std::wstring>{L"9|9|0x0000000f|等级敏感度|已共享"}),
                Rows(GetDlgItem(h, IDC_RESOURCE_INTERRUPTS), 5));
      EXPECT_EQ((std::vector<std::wstring>{L"2|0|未定"}), Rows(GetDlgItem(h, IDC_RESOURCE_DMA), 3));
      EXPECT_EQ((std::vector<std::wstring>{L"0x000a0000|0x1000|只读|设备专用"}),
                Rows(GetDlgItem(h, IDC_RESOURCE_MEMORY), 4));
      SelectListRow(top, 1);
      EXPECT_EQ((std::vector<std::wstring>{L"0x0000000100000000|0x2000|读写|驱动程序专用"}),
                Rows(GetDlgItem(h, IDC_RESOURCE_MEMORY), 4))
          << "the second descriptor begins after the first one's three partials";
      EXPECT_EQ((std::vector<std::wstring>{L"0x00000060|0x1|端口|设备专用"}),
                Rows(GetDlgItem(h, IDC_RESOURCE_PORTS), 4));
      EXPECT_EQ(0, ListView_GetItemCount(GetDlgItem(h, IDC_RESOURCE_DMA)));
    }));

    EXPECT_TRUE(View<CRequirementsListDlg>(dlg, L"req", [&](HWND h) {
      HWND list = GetDlgItem(h, IDC_RESOURCE_DESCRIPTORS);
      EXPECT_EQ(
          (std::vector<std::wstring>{L"1|1|1|端口", L"1|1|2|中断", L"1|2|1|内存", L"2|1|1|DMA"}),
          Rows(list, 4))
          << "unnamed types make no row and leave the counters";
      EXPECT_EQ(0x10001, ListGetItemParam(list, 3)) << "d counts the unnamed descriptor";
      EXPECT_EQ(3, ListGetItemParam(list, 2));
      EXPECT_EQ(L"PCI", Text(h, IDC_REQ_INTERFACE));
      EXPECT_EQ(L"1", Text(h, IDC_REQ_BUS));
      EXPECT_EQ(L"2", Text(h, IDC_REQ_SLOT));
      HWND port = GetDlgItem(h, IDD_REQUIREMENT_PORT);
      HWND irq = GetDlgItem(h, IDD_REQUIREMENT_INTERRUPT);
      HWND mem = GetDlgItem(h, IDD_REQUIREMENT_MEMORY);
      HWND dma = GetDlgItem(h, IDD_REQUIREMENT_DMA);
      EXPECT_TRUE(Shown(port) && !Shown(irq) && !Shown(mem));
      EXPECT_EQ(L"首选项", Text(port, IDC_REQ_OPTION));
      EXPECT_EQ(L"0x000003f8", Text(port, IDC_REQ_MIN_ADDRESS));
      EXPECT_EQ(L"0x8", Text(port, IDC_REQ_LENGTH));
      EXPECT_EQ(L"端口", Text(port, IDC_REQ_TYPE));
      SelectListRow(list, 1);
      EXPECT_TRUE(Shown(irq) && !Shown(port));
      EXPECT_EQ(L"替换选项", Text(irq, IDC_REQ_OPTION));
      EXPECT_EQ(L"0x3", Text(irq, IDC_REQ_MIN_VECTOR));
      SelectListRow(list, 2);
      EXPECT_TRUE(Shown(mem));
      EXPECT_EQ(L"", Text(mem, IDC_REQ_OPTION)) << "neither bit 0 nor bit 3";
      EXPECT_EQ(L"0x0000000100000000", Text(mem, IDC_REQ_MIN_ADDRESS));
      EXPECT_EQ(L"只写", Text(mem, IDC_REQ_ACCESS));
      SelectListRow(list, 3);
      EXPECT_TRUE(Shown(dma));
      EXPECT_EQ(L"0x2", Text(dma, IDC_REQ_MAX_CHANNEL));
    }));

    // A picture of the requirements viewer in Japanese.
    dlg->m_language = 1041;
    EXPECT_TRUE(View<CRequirementsListDlg>(dlg, L"req", [&](HWND h) {
      SelectListRow(GetDlgItem(h, IDC_RESOURCE_DESCRIPTORS), 2);
      Picture(h, "requirements-list", 1041);
    }));
    dlg->m_language = 2052;

    // Mutated lists through the windows: counts far beyond the data, data
    // cut inside a record.
    std::vector<uint8_t> list = MakeResourceList(), req = MakeRequirements();
    std::vector<std::vector<uint8_t>> lists = {list, list, list, list}, reqs = {req, req, req, req};
    lists[0][0] = 0xFF;                // full descriptors claimed: 255
    lists[1][4 + 12] = 0xFF;           // partials of the first: 255
    lists[2].resize(4 + 16 + 16 + 8);  // cut inside a partial descriptor
    lists[3].resize(40);
    reqs[0][28] = 0xFF;
    reqs[1][32 + 4] = 0xFF;
    reqs[2].resize(32 + 8 + 32 + 5);
    reqs[3][33] = 0xFF;
    for (size_t i = 0; i < lists.size(); ++i) {
      Set(L"list", 8, lists[i]);
      Set(L"req", 10, reqs[i]);
      FillValueList(kHw, dlg, dlg->List());
      EXPECT_TRUE(View<CResourceListDlg>(dlg, L"list", [&](HWND h) {
        EXPECT_LE(ListView_GetItemCount(GetDlgItem(h, IDC_RESOURCE_DESCRIPTORS)), 2) << i;
      }));
      EXPECT_TRUE(View<CRequirementsListDlg>(dlg, L"req", [&](HWND h) {
        EXPECT_LE(ListView_GetItemCount(GetDlgItem(h, IDC_RESOURCE_DESCRIPTORS)), 4) << i;
      }));
    }
  });
}

// The parsers over mutated data that ends where a no-access page begins.
TEST(ResourceData, MutatedListsNeverReadPastTheData) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const size_t page = info.dwPageSize;
  uint8_t* area = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_TRUE(area);
  DWORD old;
  ASSERT_TRUE(VirtualProtect(area + page, page, PAGE_NOACCESS, &old));
  std::mt19937 random(7);
  const std::vector<uint8_t> seeds[] = {MakeResourceList(), MakeFullDescriptor(),
                                        MakeRequirements()};
  size_t shown = 0;
  for (int round = 0; round < 3000; ++round) {
    const int kind = round % 3;
    std::vector<uint8_t> d = seeds[kind];
    if (kind == 1) d.insert(d.begin(), {1, 0, 0, 0});
    const int edits = 1 + (int)(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = random() % d.size();
      switch (random() % 4) {
        case 0:
          d[at] = (uint8_t)random();
          break;
        case 1:
          d[at] = 0xFF;
          break;
        case 2:
          d.resize(at);
          break;
        default:
          d[at] ^= 0x80;
          break;
      }
      if (d.empty()) break;
    }
    uint8_t* data = area + page - d.size();
    memcpy(data, d.data(), d.size());
    if (kind == 2) {
      RequirementsList list;
      if (ParseRequirementsList(data, d.size(), &list)) {
        size_t total = 0;
        for (const auto& a : list.alternatives) total += a.size();
        EXPECT_LE(32 + 8 * list.alternatives.size() + 32 * total, d.size());
        shown += total;
      }
    } else {
      std::vector<FullResourceDescriptor> list = ParseResourceList(data, d.size());
      size_t total = 0;
      for (const auto& f : list) total += f.partials.size();
      EXPECT_LE(4 + 16 * list.size() + 16 * total, d.size() < 4 ? 4 : d.size());
      shown += total;
    }
  }
  EXPECT_GT(shown, 0u);
  VirtualFree(area, 0, MEM_RELEASE);
}

}  // namespace
