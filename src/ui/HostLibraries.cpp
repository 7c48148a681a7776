#include "ui/HostLibraries.h"

#include <cstdlib>
#include <cwchar>

namespace {

struct RichEditDll {
  const wchar_t* name;
  int level;
};

const RichEditDll kRichEditDlls[] = {
    {L"msftedit.dll", 4}, {L"riched20.dll", 2}, {L"riched32.dll", 1}};

bool LoadFromSystemFolder(const wchar_t* name) {
  if (GetModuleHandleW(name)) return true;
  wchar_t path[MAX_PATH];
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  if (!n || n + 1 + wcslen(name) >= MAX_PATH) return false;
  wcscat(path, L"\\");
  wcscat(path, name);
  return LoadLibraryW(path) != nullptr;
}

}  // namespace

int LoadRichEditLibrary() {
  for (const RichEditDll& dll : kRichEditDlls)
    if (LoadFromSystemFolder(dll.name)) return dll.level;
  return 0;
}

HANDLE CreateNamedSection(DWORD size, void** view) {
  if (view) *view = nullptr;
  LARGE_INTEGER counter = {};
  QueryPerformanceCounter(&counter);
  srand(unsigned(counter.LowPart + GetTickCount() + 1));
  unsigned id = unsigned(rand()) << 16 | unsigned(rand());
  wchar_t name[32];
  _snwprintf(name, 32, L"Mount#%08X", id);
  name[31] = 0;
  HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
  if (!section) return nullptr;
  void* mapped = MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
  if (!mapped) {
    CloseHandle(section);
    return nullptr;
  }
  if (view) *view = mapped;
  return section;
}

void CloseNamedSection(void* view, HANDLE section) {
  if (view) UnmapViewOfFile(view);
  if (section) CloseHandle(section);
}
