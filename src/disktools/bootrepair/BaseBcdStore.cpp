// The base boot store a new EFI system partition starts from: the boot
// manager, the memory tester and the shared settings objects, before any
// device or loader is known.
#include "disktools/bootrepair/EfiBootFiles.h"

#include <string.h>

#include <string>

#include "registry/hive/HiveImage.h"
#include "registry/hive/HiveOps.h"
#include "registry/hive/RegTypes.h"

namespace {

enum Kind { KEY, DWORD_VALUE, SZ, MULTI_SZ, BINARY };

// One row: a key below the root, and a value in it unless the kind is KEY.
// Texts of MULTI_SZ rows separate their strings with '|'; BINARY rows give
// their bytes in `bytes` and `length`.
struct Row {
  const wchar_t* key;
  Kind kind;
  const wchar_t* name;
  const wchar_t* text;
  uint32_t dword;
  const uint8_t* bytes;
  uint32_t length;
};

const uint8_t kZero8[8] = {};
const uint8_t kOne[1] = {1};
const uint8_t kDisplayTimeout[3] = {0x00, 0xC2, 0x01};
const uint8_t kHypervisorOn[8] = {1};
const uint8_t kHypervisorPort[8] = {0x00, 0xC2, 0x01};
// The memory tester's device: a partition of type 5 (the boot device) with
// no identity yet.
struct TesterDevice {
  uint8_t bytes[88];
  constexpr TesterDevice() : bytes() {
    bytes[16] = 5;
    bytes[24] = 72;
  }
};
constexpr TesterDevice kTesterDevice;

#define OBJ L"Objects\\"
#define MEMTEST OBJ L"{b2721d73-1db4-4c62-bf78-c548a880142d}"
#define BOOTMGR OBJ L"{9dea862c-5cdd-4e70-acc1-f32b344d4795}"
#define ELEMENT L"Element"

const Row kRows[] = {
    {L"Description", SZ, L"KeyName", L"BCD00000000"},
    {L"Description", DWORD_VALUE, L"System", nullptr, 1},
    {L"Description", DWORD_VALUE, L"TreatAsSystem", nullptr, 1},
    {OBJ L"{0ce4991b-e6b3-4b16-b23c-5e0d9250e5d9}\\Description", DWORD_VALUE, L"Type", nullptr,
     0x20100000},
    {OBJ L"{0ce4991b-e6b3-4b16-b23c-5e0d9250e5d9}\\Elements\\16000020", BINARY, ELEMENT, nullptr, 0,
     kZero8, 1},
    {OBJ L"{4636856e-540f-4170-a130-a84776f4c654}\\Description", DWORD_VALUE, L"Type", nullptr,
     0x20100000},
    {OBJ L"{4636856e-540f-4170-a130-a84776f4c654}\\Elements\\15000011", BINARY, ELEMENT, nullptr, 0,
     kZero8, 1},
    {OBJ L"{4636856e-540f-4170-a130-a84776f4c654}\\Elements\\15000013", BINARY, ELEMENT, nullptr, 0,
     kOne, 1},
    {OBJ L"{4636856e-540f-4170-a130-a84776f4c654}\\Elements\\15000014", BINARY, ELEMENT, nullptr, 0,
     kDisplayTimeout, 3},
    {OBJ L"{6efb52bf-1766-41db-a6b3-0ee5eff72bd7}\\Description", DWORD_VALUE, L"Type", nullptr,
     0x20200003},
    {OBJ L"{6efb52bf-1766-41db-a6b3-0ee5eff72bd7}\\Elements\\14000006", MULTI_SZ, ELEMENT,
     L"{7ea2e1ac-2e61-4728-aaa3-896d9d0a9f0e}|{7ff607e0-4395-11db-b0de-0800200c9a66}"},
    {OBJ L"{7ea2e1ac-2e61-4728-aaa3-896d9d0a9f0e}\\Description", DWORD_VALUE, L"Type", nullptr,
     0x20100000},
    {OBJ L"{7ea2e1ac-2e61-4728-aaa3-896d9d0a9f0e}\\Elements\\14000006", MULTI_SZ, ELEMENT,
     L"{4636856e-540f-4170-a130-a84776f4c654}|{0ce4991b-e6b3-4b16-b23c-5e0d9250e5d9}"},
    {OBJ L"{7ff607e0-4395-11db-b0de-0800200c9a66}\\Description", DWORD_VALUE, L"Type", nullptr,
     0x20200003},
    {OBJ L"{7ff607e0-4395-11db-b0de-0800200c9a66}\\Elements\\12000004", SZ, ELEMENT,
     L"Hypervisor Settings"},
    {OBJ L"{7ff607e0-4395-11db-b0de-0800200c9a66}\\Elements\\250000f3", BINARY, ELEMENT, nullptr, 0,
     kZero8, 8},
    {OBJ L"{7ff607e0-4395-11db-b0de-0800200c9a66}\\Elements\\250000f4", BINARY, ELEMENT, nullptr, 0,
     kHypervisorOn, 8},
    {OBJ L"{7ff607e0-4395-11db-b0de-0800200c9a66}\\Elements\\250000f5", BINARY, ELEMENT, nullptr, 0,
     kHypervisorPort, 8},
    {BOOTMGR L"\\Description", DWORD_VALUE, L"Type", nullptr, 0x10100002},
    {BOOTMGR L"\\Elements\\12000004", SZ, ELEMENT, L"Windows Boot Manager"},
    {BOOTMGR L"\\Elements\\12000005", SZ, ELEMENT, L"en-US"},
    {BOOTMGR L"\\Elements\\14000006", MULTI_SZ, ELEMENT, L"{7ea2e1ac-2e61-4728-aaa3-896d9d0a9f0e}"},
    {BOOTMGR L"\\Elements\\23000003", KEY},
    {BOOTMGR L"\\Elements\\24000001", KEY},
    {BOOTMGR L"\\Elements\\24000010", MULTI_SZ, ELEMENT, L"{b2721d73-1db4-4c62-bf78-c548a880142d}"},
    {BOOTMGR L"\\Elements\\25000004", BINARY, ELEMENT, nullptr, 0, kOne, 1},
    {MEMTEST L"\\Description", DWORD_VALUE, L"Type", nullptr, 0x10200005},
    {MEMTEST L"\\Elements\\11000001", BINARY, ELEMENT, nullptr, 0, kTesterDevice.bytes, 88},
    {MEMTEST L"\\Elements\\12000002", SZ, ELEMENT, L"\\efi\\microsoft\\boot\\memtest.efi"},
    {MEMTEST L"\\Elements\\12000004", SZ, ELEMENT, L"Windows Memory Diagnostic"},
    {MEMTEST L"\\Elements\\12000005", SZ, ELEMENT, L"en-US"},
    {MEMTEST L"\\Elements\\14000006", MULTI_SZ, ELEMENT, L"{7ea2e1ac-2e61-4728-aaa3-896d9d0a9f0e}"},
};

// The key of a path below the root, made where missing; 0 on failure.
uint32_t MakeKey(HiveImage* img, const wchar_t* path) {
  uint32_t key = hive_root_key(img);
  std::wstring rest = path;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(L'\\', start);
    if (end == std::wstring::npos) end = rest.size();
    std::wstring part = rest.substr(start, end - start);
    uint32_t next = find_key(img, key, part.c_str());
    if (!next) next = add_key(img, key, part.c_str());
    if (!next) return 0;
    key = next;
    start = end + 1;
  }
  return key;
}

bool PutRow(HiveImage* img, const Row& row) {
  uint32_t key = MakeKey(img, row.key);
  if (!key) return false;
  if (row.kind == KEY) return true;
  std::wstring text;
  uint32_t type = HIVE_REG_BINARY;
  const void* data = row.bytes;
  uint32_t length = row.length;
  if (row.kind == DWORD_VALUE) {
    type = HIVE_REG_DWORD;
    data = &row.dword;
    length = 4;
  } else if (row.kind == SZ || row.kind == MULTI_SZ) {
    type = row.kind == SZ ? HIVE_REG_SZ : HIVE_REG_MULTI_SZ;
    text = row.text;
    for (wchar_t& c : text)
      if (c == L'|' && row.kind == MULTI_SZ) c = 0;
    text.push_back(0);
    if (row.kind == MULTI_SZ) text.push_back(0);
    data = text.data();
    length = (uint32_t)(text.size() * sizeof(wchar_t));
  }
  if (!add_value(img, key, row.name, type)) return false;
  return put_data_to_value(img, data, length, key, row.name, type) != 0;
}

}  // namespace

bool BuildBaseBcdStore(std::vector<uint8_t>& out) {
  out.clear();
  HiveImage* img = nullptr;
  if (new_hive_image("System", &img) != REG_STATUS_OK) return false;
  bool ok = true;
  for (const Row& row : kRows) ok = ok && PutRow(img, row);
  if (ok) save_hive_buffer(img, out);
  close_hive(img);
  return ok && !out.empty();
}
