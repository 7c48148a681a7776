#include <windows.h>

#include "disktools/bootrepair/EfiBootFiles.h"

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/ByteOrder.h"
#include "common/Wildcard.h"
#include "image/mount/FatVolume.h"
#include "image/mount/MountedImage.h"
#include "registry/BcdStore.h"
#include "registry/RegHive.h"
#include "registry/hive/RegTypes.h"

namespace {

const wchar_t kStorePath[] = BCD_ESP_PATH;
const wchar_t kElement[] = L"Element";
const wchar_t kBootManager[] = L"{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
const wchar_t kFirmwareManager[] = L"{a5a30fa2-3d06-4e9f-b5f4-a01df9d1fcba}";
const wchar_t kMemoryTester[] = L"{b2721d73-1db4-4c62-bf78-c548a880142d}";

// The boot manager's EFI load option; the partition's first sector, its
// sector count and its GUID go at 228, 236 and 244.
const uint8_t kFirmwareVariable[336] = {
    0x01, 0x00, 0x00, 0x00, 0x50, 0x01, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,
    0xA4, 0x00, 0x00, 0x00, 0xD0, 0x00, 0x00, 0x00, 0x88, 0x00, 0x00, 0x00, 0x57, 0x49, 0x4E, 0x44,
    0x4F, 0x57, 0x53, 0x00, 0x01, 0x00, 0x00, 0x00, 0x88, 0x00, 0x00, 0x00, 0x78, 0x00, 0x00, 0x00,
    0x42, 0x00, 0x43, 0x00, 0x44, 0x00, 0x4F, 0x00, 0x42, 0x00, 0x4A, 0x00, 0x45, 0x00, 0x43, 0x00,
    0x54, 0x00, 0x3D, 0x00, 0x7B, 0x00, 0x39, 0x00, 0x64, 0x00, 0x65, 0x00, 0x61, 0x00, 0x38, 0x00,
    0x36, 0x00, 0x32, 0x00, 0x63, 0x00, 0x2D, 0x00, 0x35, 0x00, 0x63, 0x00, 0x64, 0x00, 0x64, 0x00,
    0x2D, 0x00, 0x34, 0x00, 0x65, 0x00, 0x37, 0x00, 0x30, 0x00, 0x2D, 0x00, 0x61, 0x00, 0x63, 0x00,
    0x63, 0x00, 0x31, 0x00, 0x2D, 0x00, 0x66, 0x00, 0x33, 0x00, 0x32, 0x00, 0x62, 0x00, 0x33, 0x00,
    0x34, 0x00, 0x34, 0x00, 0x64, 0x00, 0x34, 0x00, 0x37, 0x00, 0x39, 0x00, 0x35, 0x00, 0x7D, 0x00,
    0x00, 0x00, 0x61, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
    0x7F, 0xFF, 0x04, 0x00, 0x57, 0x00, 0x69, 0x00, 0x6E, 0x00, 0x64, 0x00, 0x6F, 0x00, 0x77, 0x00,
    0x73, 0x00, 0x20, 0x00, 0x42, 0x00, 0x6F, 0x00, 0x6F, 0x00, 0x74, 0x00, 0x20, 0x00, 0x4D, 0x00,
    0x61, 0x00, 0x6E, 0x00, 0x61, 0x00, 0x67, 0x00, 0x65, 0x00, 0x72, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04, 0x01, 0x2A, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x02, 0x02, 0x04, 0x04, 0x46, 0x00, 0x5C, 0x00, 0x45, 0x00, 0x46, 0x00,
    0x49, 0x00, 0x5C, 0x00, 0x4D, 0x00, 0x69, 0x00, 0x63, 0x00, 0x72, 0x00, 0x6F, 0x00, 0x73, 0x00,
    0x6F, 0x00, 0x66, 0x00, 0x74, 0x00, 0x5C, 0x00, 0x42, 0x00, 0x6F, 0x00, 0x6F, 0x00, 0x74, 0x00,
    0x5C, 0x00, 0x62, 0x00, 0x6F, 0x00, 0x6F, 0x00, 0x74, 0x00, 0x6D, 0x00, 0x67, 0x00, 0x66, 0x00,
    0x77, 0x00, 0x2E, 0x00, 0x65, 0x00, 0x66, 0x00, 0x69, 0x00, 0x00, 0x00, 0x7F, 0xFF, 0x04, 0x00,
};
const uint32_t kVariableFirstLba = 228;
const uint32_t kVariableSectors = 236;
const uint32_t kVariableGuid = 244;

const uint8_t kZero8[8] = {};
const uint8_t kOne = 1;
const uint8_t kZero = 0;

// The locale of the user's interface language.
const wchar_t* BootLocale() {
  switch (GetUserDefaultUILanguage()) {
    case 2052:
      return L"zh-CN";
    case 3076:
      return L"zh-HK";
    case 1028:
      return L"zh-TW";
    case 1041:
      return L"ja-JP";
    case 1042:
      return L"ko-KR";
    case 1049:
      return L"ru-RU";
    default:
      return L"en-US";
  }
}

// The loader's name for the Windows of the version word.
const wchar_t* LoaderDescription(uint32_t version) {
  unsigned major = (version >> 8) & 0xFF, minor = version & 0xFF;
  if (major >= 10) return L"Windows 10";
  if (major == 6) return minor >= 2 ? L"Windows 8" : minor == 1 ? L"Windows 7" : L"Windows Vista";
  if (major == 5) return L"Windows XP";
  return L"Microsoft Windows";
}

bool IsX86(uint32_t version) {
  return (version >> 16) == 86;
}

// A new GUID as lower-case text in braces.
std::wstring NewGuidText() {
  GUID guid = {};
  CoCreateGuid(&guid);
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  for (wchar_t* p = text; *p; p++) *p = towlower(*p);
  return text;
}

// Writes of one store; individual failed writes are passed over, as a
// missing element is left missing.
class StoreWriter {
 public:
  explicit StoreWriter(CRegHive* hive) : m_hive(hive) {}

  void Value(const std::wstring& key, const wchar_t* name, uint32_t type, const void* data,
             uint32_t length) {
    m_hive->CreateKey(key.c_str());
    m_hive->SetValue(key.c_str(), name, data, length, type);
  }
  void Element(const std::wstring& object, const wchar_t* element, uint32_t type, const void* data,
               uint32_t length) {
    Value(Elements(object) + element, kElement, type, data, length);
  }
  void Text(const std::wstring& object, const wchar_t* element, const std::wstring& text) {
    Element(object, element, HIVE_REG_SZ, text.c_str(),
            (uint32_t)((text.size() + 1) * sizeof(wchar_t)));
  }
  // Strings separated by '|'.
  void List(const std::wstring& object, const wchar_t* element, const std::wstring& items) {
    std::wstring data = items;
    for (wchar_t& c : data)
      if (c == L'|') c = 0;
    data.push_back(0);
    data.push_back(0);
    Element(object, element, HIVE_REG_MULTI_SZ, data.data(),
            (uint32_t)(data.size() * sizeof(wchar_t)));
  }
  void Type(const std::wstring& object, uint32_t type) {
    Value(L"Objects\\" + object + L"\\Description", L"Type", HIVE_REG_DWORD, &type, 4);
  }
  void Device(const std::wstring& object, const wchar_t* element, const uint8_t* partition,
              const uint8_t* disk) {
    uint8_t blob[EFI_DEVICE_ELEMENT_BYTES];
    MakeGptDeviceElement(blob, partition, disk);
    Element(object, element, HIVE_REG_BINARY, blob, sizeof blob);
  }

  static std::wstring Elements(const std::wstring& object) {
    return L"Objects\\" + object + L"\\Elements\\";
  }

 private:
  CRegHive* m_hive;
};

// Copies one boot file or folder of the source Windows (or the host's)
// onto the partition. Folders keep their tree; a wildcard name copies the
// matching files of its folder into the target folder.
void CopyBootItem(CFatVolume* volume, CMountedImage* source, const std::wstring& windows,
                  const std::wstring& system, const wchar_t* item, const wchar_t* target,
                  bool inSystem) {
  const std::wstring& base = inSystem ? system : windows;
  std::wstring from = base + L"\\" + item;
  if (!source) {
    // A host folder copied as its contents, a file to its new name.
    DWORD attributes = GetFileAttributesW(from.c_str());
    if (wcschr(item, L'*')) {
      volume->InjectHostPath(from.c_str(), target, nullptr, nullptr, nullptr);
    } else if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      volume->CreateDirectories(target);
      volume->InjectHostPath((from + L"\\*").c_str(), target, nullptr, nullptr, nullptr);
    } else if (attributes != INVALID_FILE_ATTRIBUTES) {
      volume->InjectHostFile(from.c_str(), target, nullptr, nullptr, nullptr);
    }
    return;
  }
  if (!wcschr(item, L'*')) {
    volume->CopyFromMountedImage(source, from.c_str(), target);
    return;
  }
  size_t slash = from.rfind(L'\\');
  std::wstring folder = from.substr(0, slash), pattern = from.substr(slash + 1);
  struct Match {
    std::wstring pattern;
    std::vector<std::wstring> names;
  } match{pattern, {}};
  auto collect = [](const wchar_t* name, unsigned int kind, DWORD, DWORD, const FILETIME*,
                    const FILETIME*, const FILETIME*, DWORD, void* user) -> int {
    Match* m = static_cast<Match*>(user);
    if (kind != 4 && MatchWildcard(m->pattern.c_str(), name)) m->names.push_back(name);
    return 1;
  };
  if (!source->EnumDirectory(folder.c_str(), collect, &match)) return;
  volume->CreateDirectories(target);
  for (const std::wstring& name : match.names)
    volume->CopyFromMountedImage(source, (folder + L"\\" + name).c_str(),
                                 (std::wstring(target) + L"\\" + name).c_str());
}

void CopyBootFiles(CFatVolume* volume, CMountedImage* source, uint32_t version) {
  std::wstring windows, system;
  if (source) {
    wchar_t folder[MAX_PATH] = {};
    if (!source->FindWindowsDirectory(folder, MAX_PATH)) return;
    windows = folder;
    while (!windows.empty() && windows.back() == L'\\') windows.pop_back();
    system = windows + L"\\System32";
  } else {
    wchar_t folder[MAX_PATH] = {};
    if (!GetWindowsDirectoryW(folder, MAX_PATH)) return;
    windows = folder;
    if (!GetSystemDirectoryW(folder, MAX_PATH)) return;
    system = folder;
  }
  const wchar_t* firmwareLoader =
      IsX86(version) ? L"\\EFI\\Boot\\bootia32.efi" : L"\\EFI\\Boot\\bootx64.efi";
  volume->CreateDirectories(L"\\EFI\\Microsoft\\Boot");
  CopyBootItem(volume, source, windows, system, L"Boot\\EFI\\bootmgfw.efi", firmwareLoader, false);
  CopyBootItem(volume, source, windows, system, L"Boot\\EFI", L"\\EFI\\Microsoft\\Boot", false);
  CopyBootItem(volume, source, windows, system, L"Boot\\Fonts", L"\\EFI\\Microsoft\\Boot\\Fonts",
               false);
  CopyBootItem(volume, source, windows, system, L"bootstat.dat",
               L"\\EFI\\Microsoft\\Boot\\bootstat.dat", false);
  CopyBootItem(volume, source, windows, system, L"kd_*_*.dll", L"\\EFI\\Microsoft\\Boot", true);
  CopyBootItem(volume, source, windows, system, L"kdstub.dll",
               L"\\EFI\\Microsoft\\Boot\\kdstub.dll", true);
}

// The objects of a new store: firmware boot manager, boot manager, the
// resume and loader objects of the Windows and the memory tester.
void WriteNewStore(CRegHive* hive, uint32_t version, const EfiBootTarget& t) {
  StoreWriter w(hive);
  const std::wstring locale = BootLocale();
  const std::wstring manager = kBootManager;
  const uint32_t one = 1;
  w.Value(L"Description", L"KeyName", HIVE_REG_SZ, L"BCD00000000", sizeof L"BCD00000000");
  w.Value(L"Description", L"System", HIVE_REG_DWORD, &one, 4);
  w.Value(L"Description", L"TreatAsSystem", HIVE_REG_DWORD, &one, 4);

  w.Type(kFirmwareManager, 0x10100001);
  w.List(kFirmwareManager, L"24000001", manager);
  w.Element(kFirmwareManager, L"25000004", HIVE_REG_BINARY, kZero8, 8);

  uint8_t variable[sizeof kFirmwareVariable];
  memcpy(variable, kFirmwareVariable, sizeof variable);
  St64(variable + kVariableFirstLba, t.espFirstLba);
  St64(variable + kVariableSectors, t.espSectors);
  memcpy(variable + kVariableGuid, t.espGuid, 16);
  w.Value(L"Objects\\" + manager + L"\\Description", L"FirmwareVariable", HIVE_REG_BINARY, variable,
          sizeof variable);
  w.Device(manager, L"11000001", t.espGuid, t.diskGuid);
  w.Text(manager, L"12000002", L"\\EFI\\Microsoft\\Boot\\bootmgfw.efi");
  w.Text(manager, L"12000005", locale);
  w.Element(manager, L"25000004", HIVE_REG_BINARY, kZero8, 8);
  hive->CreateKey((StoreWriter::Elements(manager) + L"14000006").c_str());
  w.List(L"{7ea2e1ac-2e61-4728-aaa3-896d9d0a9f0e}", L"14000006",
         L"{4636856e-540f-4170-a130-a84776f4c654}|{0ce4991b-e6b3-4b16-b23c-5e0d9250e5d9}|"
         L"{5189b25c-5558-4bf2-bca4-289b11bd29e2}");

  const std::wstring resume = NewGuidText();
  w.Text(manager, L"23000006", resume);
  w.Type(resume, 0x10200004);
  w.Device(resume, L"11000001", t.dataPartitionGuid, t.diskGuid);
  w.Device(resume, L"21000001", t.dataPartitionGuid, t.diskGuid);
  w.Text(resume, L"12000002", L"\\Windows\\system32\\winresume.efi");
  w.Text(resume, L"12000004", L"Windows Resume Application");
  w.Text(resume, L"12000005", locale);
  w.List(resume, L"14000006", L"{1afa9c49-16ab-4a5c-901b-212802da9460}");
  w.Element(resume, L"16000009", HIVE_REG_BINARY, &kOne, 1);
  w.Element(resume, L"26000006", HIVE_REG_BINARY, &kOne, 1);
  w.Text(resume, L"22000002", L"\\hiberfil.sys");

  const std::wstring loader = NewGuidText();
  w.Text(manager, L"23000003", loader);
  w.List(manager, L"24000001", loader);
  w.Type(loader, 0x10200003);
  w.Device(loader, L"11000001", t.dataPartitionGuid, t.diskGuid);
  w.Device(loader, L"21000001", t.dataPartitionGuid, t.diskGuid);
  w.Text(loader, L"12000002", L"\\Windows\\system32\\winload.efi");
  w.Text(loader, L"12000004", LoaderDescription(version));
  w.Text(loader, L"12000005", locale);
  w.List(loader, L"14000006", L"{6efb52bf-1766-41db-a6b3-0ee5eff72bd7}");
  w.Element(loader, L"16000009", HIVE_REG_BINARY, &kOne, 1);
  w.Text(loader, L"22000002", L"\\Windows");
  w.Text(loader, L"23000003", resume);
  w.Element(loader, L"25000020", HIVE_REG_BINARY, kZero8, 8);
  w.Element(loader, L"26000070", HIVE_REG_BINARY, &kZero, 1);
  for (const wchar_t* gone : {L"26000010", L"26000022", L"260000b0"}) {
    std::wstring parent = StoreWriter::Elements(loader);
    parent.pop_back();
    hive->DeleteKey(parent.c_str(), gone);
  }

  w.Type(L"{5189b25c-5558-4bf2-bca4-289b11bd29e2}", 0x20100000);
  hive->CreateKey(L"Objects\\{5189b25c-5558-4bf2-bca4-289b11bd29e2}\\Elements");
  w.Type(L"{1afa9c49-16ab-4a5c-901b-212802da9460}", 0x20200004);
  w.List(L"{1afa9c49-16ab-4a5c-901b-212802da9460}", L"14000006",
         L"{7ea2e1ac-2e61-4728-aaa3-896d9d0a9f0e}");

  w.List(manager, L"24000010", kMemoryTester);
  w.Device(kMemoryTester, L"11000001", t.espGuid, t.diskGuid);
  w.Text(kMemoryTester, L"12000005", locale);
  w.Element(kMemoryTester, L"1600000b", HIVE_REG_BINARY, &kOne, 1);
}

}  // namespace

int CreateEfiBootFiles(CFatVolume* volume, CMountedImage* source, uint32_t version,
                       const EfiBootTarget& target) {
  if (!volume) return 0;
  // Clusters of 512 bytes, or of one sector on a disk of larger ones (a
  // partition too small for FAT32 of those is named on a line).
  const uint32_t sector = volume->DiskSectorSize();
  if (volume->Format(2, sector > 512 ? sector : 512) != 1) return 0;
  volume->CreateDirectories(L"\\EFI\\Boot");
  CopyBootFiles(volume, source, version);

  std::vector<uint8_t> store;
  if (!BuildBaseBcdStore(store)) return 0;
  volume->CreateDirectories(L"\\EFI\\Microsoft\\Boot");
  if (volume->WriteFile(kStorePath, store.data(), 0, store.size()) != store.size()) return 0;
  if (volume->LoadBcdHive() != 1 || !volume->m_pBcdHive) return 0;
  WriteNewStore(volume->m_pBcdHive, version, target);
  return CloseBcdHive(volume) ? 1 : 0;
}

int UpdateEfiBootConfiguration(CMountedImage* image, int mode, CMountedImage* source,
                               uint32_t version, const EfiBootTarget& target) {
  _VROH_MOUNT_RW* disk = image ? image->DiskObject() : nullptr;
  if (!disk) return 0;
  CFatVolume esp;
  int writable = image->IsReadOnly() ? 0 : 1;
  // A partition that holds no volume yet mounts for the format that
  // follows; a retarget needs the volume itself.
  if (esp.MountShared(disk, writable) < 0 && mode != EFI_BOOT_BUILD) return 0;
  int result = mode == EFI_BOOT_BUILD ? CreateEfiBootFiles(&esp, source, version, target)
                                      : RetargetEfiBcdDevices(&esp, target);
  if (!esp.Release()) result = 0;
  return result;
}
