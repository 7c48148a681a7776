#include "app/search/FileSearch.h"

#include <cwchar>
#include <vector>

#include "common/NoRedirect.h"
#include "common/PathUtil.h"
#include "common/TextSearch.h"
#include "common/Wildcard.h"
#include "image/volume/VolumeFiles.h"

namespace {

// Host files are looked at through views of this size (a multiple of the
// allocation granularity), each reaching pattern length - 1 bytes further.
constexpr DWORD kHostViewBytes = 16u << 20;

bool Stopped(const volatile LONG* stop) {
  return stop && *stop;
}

// Files whose contents are never searched: they are huge and hold memory.
bool IsSystemSwapFile(const wchar_t* name) {
  return !_wcsicmp(name, L"pagefile.sys") || !_wcsicmp(name, L"swapfile.sys") ||
         !_wcsicmp(name, L"hiberfil.sys");
}

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool JoinPath(const std::wstring& folder, const wchar_t* name, std::wstring* out) {
  wchar_t path[kPathChars];
  if (folder.size() + wcslen(name) + 2 > size_t(kPathChars)) return false;
  wcscpy(path, folder.c_str());
  AppendPathPart(path, kPathChars, name);
  *out = path;
  return true;
}

}  // namespace

bool MakeContentPattern(SearchPatternKind kind, const std::wstring& text,
                        const std::string& ansiText, std::string* out) {
  out->clear();
  switch (kind) {
    case kSearchHex:
      if (text.size() % 2) return false;
      for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexValue(text[i]), low = HexValue(text[i + 1]);
        if (high < 0 || low < 0) return false;
        out->push_back(char(high << 4 | low));
      }
      return true;
    case kSearchUnicode:
      out->assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
      return true;
    default:
      *out = ansiText;
      return true;
  }
}

bool BytesHoldPattern(const char* bytes, size_t length, const std::string& pattern,
                      bool matchCase) {
  if (pattern.empty() || length < pattern.size()) return false;
  return (matchCase ? FindBytes(bytes, ptrdiff_t(length), pattern.data(), pattern.size())
                    : FindBytesNoCase(bytes, ptrdiff_t(length), pattern.data(), pattern.size())) !=
         nullptr;
}

bool HostFileHolds(const wchar_t* path, const std::string& pattern, bool matchCase,
                   const volatile LONG* stop) {
  HANDLE file = CreateFileNoRedirect(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  bool found = false;
  if (GetFileSizeEx(file, &size) && uint64_t(size.QuadPart) >= pattern.size() && size.QuadPart) {
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping) {
      const uint64_t total = uint64_t(size.QuadPart);
      for (uint64_t at = 0; at < total && !found && !Stopped(stop); at += kHostViewBytes) {
        uint64_t length = total - at;
        const uint64_t window = uint64_t(kHostViewBytes) + pattern.size() - 1;
        if (length > window) length = window;
        if (length < pattern.size()) break;
        void* view =
            MapViewOfFile(mapping, FILE_MAP_READ, DWORD(at >> 32), DWORD(at), SIZE_T(length));
        if (!view) break;
        found =
            BytesHoldPattern(static_cast<const char*>(view), size_t(length), pattern, matchCase);
        UnmapViewOfFile(view);
      }
      CloseHandle(mapping);
    }
  }
  CloseHandle(file);
  return found;
}

bool VolumeFileHolds(VolumeFiles* volume, const wchar_t* path, const std::string& pattern,
                     bool matchCase, const volatile LONG* stop) {
  if (pattern.empty()) return false;
  std::vector<char> buffer(pattern.size() + kSearchPieceBytes);
  size_t carry = 0;
  uint64_t offset = 0;
  while (!Stopped(stop)) {
    const uint64_t got = volume->ReadFile(path, buffer.data() + carry, offset, kSearchPieceBytes);
    if (!got) break;
    const size_t held = carry + size_t(got);
    if (BytesHoldPattern(buffer.data(), held, pattern, matchCase)) return true;
    carry = held < pattern.size() - 1 ? held : pattern.size() - 1;
    memmove(buffer.data(), buffer.data() + held - carry, carry);
    offset += got;
    if (got < kSearchPieceBytes) break;
  }
  return false;
}

void SearchHostFiles(const FileSearchSpec& spec, FileSearchSink* sink, const volatile LONG* stop) {
  if (Stopped(stop)) return;
  std::wstring all;
  if (!JoinPath(spec.folder, L"*.*", &all)) return;
  sink->OnFolder(spec.folder.c_str());
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileNoRedirect(all.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> folders;
  do {
    if (!wcscmp(data.cFileName, L".") || !wcscmp(data.cFileName, L"..")) continue;
    std::wstring path;
    if (!JoinPath(spec.folder, data.cFileName, &path)) continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (spec.subFolders) folders.push_back(path);
      continue;
    }
    if (!MatchWildcard(spec.pattern.c_str(), data.cFileName)) continue;
    if (!spec.content.empty() && (IsSystemSwapFile(data.cFileName) ||
                                  !HostFileHolds(path.c_str(), spec.content, spec.matchCase, stop)))
      continue;
    if (!Stopped(stop)) sink->OnMatch(path.c_str());
  } while (!Stopped(stop) && FindNextFileW(find, &data));
  FindClose(find);
  for (const std::wstring& folder : folders) {
    FileSearchSpec below = spec;
    below.folder = folder;
    SearchHostFiles(below, sink, stop);
  }
}

namespace {

struct VolumeEntry {
  std::wstring name;
  bool folder;
};

int CollectEntry(const wchar_t* name, unsigned int kind, DWORD, DWORD, const FILETIME*,
                 const FILETIME*, const FILETIME*, DWORD, void* user) {
  if (!wcscmp(name, L".") || !wcscmp(name, L"..")) return 1;
  static_cast<std::vector<VolumeEntry>*>(user)->push_back({name, kind == 4});
  return 1;
}

}  // namespace

void SearchVolumeFiles(VolumeFiles* volume, const FileSearchSpec& spec, FileSearchSink* sink,
                       const volatile LONG* stop) {
  if (Stopped(stop)) return;
  sink->OnFolder(spec.folder.c_str());
  // The listing is taken whole first: the contents are read between
  // entries, not from inside the library's directory walk.
  std::vector<VolumeEntry> entries;
  if (!volume->EnumDirectory(spec.folder.c_str(), CollectEntry, &entries)) return;
  std::vector<std::wstring> folders;
  for (const VolumeEntry& entry : entries) {
    if (Stopped(stop)) return;
    std::wstring path;
    if (!JoinPath(spec.folder, entry.name.c_str(), &path)) continue;
    if (entry.folder) {
      if (spec.subFolders) folders.push_back(path);
      continue;
    }
    if (!MatchWildcard(spec.pattern.c_str(), entry.name.c_str())) continue;
    if (!spec.content.empty() &&
        (IsSystemSwapFile(entry.name.c_str()) ||
         !VolumeFileHolds(volume, path.c_str(), spec.content, spec.matchCase, stop)))
      continue;
    if (!Stopped(stop)) sink->OnMatch(path.c_str());
  }
  for (const std::wstring& folder : folders) {
    FileSearchSpec below = spec;
    below.folder = folder;
    SearchVolumeFiles(volume, below, sink, stop);
  }
}
