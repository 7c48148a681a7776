// Store index tidy-up: packages of one store folder that claim the same
// device id are merged into the one whose index section comes first.
#include "driverstore/InfImporter.h"

#include <wchar.h>

#include "common/FileTree.h"
#include "common/IniSection.h"
#include "common/NoRedirect.h"
#include "common/PathUtil.h"
#include "common/UnicodeProfile.h"
#include "driverstore/DriverStore.h"

namespace {

std::vector<std::wstring> SectionLines(const wchar_t* index, const wchar_t* section, bool* ok) {
  std::vector<std::wstring> lines;
  wchar_t* list = ReadIniSection(index, section);
  *ok = list != nullptr;
  for (const wchar_t* p = list; p && *p; p += wcslen(p) + 1) lines.push_back(p);
  delete[] list;
  return lines;
}

std::wstring PackageOf(const wchar_t* section) {
  const wchar_t* slash = wcschr(section, L'\\');
  return std::wstring(slash ? slash + 1 : section).substr(0, 99);
}

std::wstring Join(const std::wstring& a, const std::wstring& b) {
  wchar_t path[kPathChars];
  lstrcpynW(path, a.c_str(), kPathChars);
  AppendPathPart(path, kPathChars, b.c_str());
  return path;
}

// Moves B's version folders into A's package. False, with nothing deleted
// and the index unchanged, when a version folder A lacks could not be moved:
// its driver files would otherwise be lost with B.
bool MergePackages(const std::wstring& store, const std::wstring& pa, const std::wstring& pb) {
  const std::wstring from = Join(store, pb), to = Join(store, pa);
  CreateDirectoryW(to.c_str(), nullptr);
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(Join(from, L"*.*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || wcscmp(fd.cFileName, L".") == 0 ||
          wcscmp(fd.cFileName, L"..") == 0)
        continue;
      std::wstring v1 = Join(from, fd.cFileName), v2 = Join(to, fd.cFileName);
      if (MoveFileW(v1.c_str(), v2.c_str())) continue;
      if (GetPathKind(v2.c_str()) != 2) {
        FindClose(h);
        return false;
      }
      CopyFileNoRedirect(Join(v1, L"VroPnp.ini").c_str(), Join(v2, L"VroPnp.ini").c_str(), TRUE);
      CopyFileNoRedirect(Join(v1, L"VroPnp.inf").c_str(), Join(v2, L"VroPnp.inf").c_str(), TRUE);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  DeleteTree(from.c_str());
  return true;
}

}  // namespace

void TidyDriverStoreIndex(int storeClass, uint32_t windowsVersion) {
  wchar_t store[kPathChars];
  GetDriverStoreFolder(storeClass, windowsVersion, store);
  const std::wstring index = Join(store, L"VroDir.ini");
  for (bool merged = true; merged;) {
    merged = false;
    std::wstring names = ReadIniSectionNames(index.c_str());
    for (const wchar_t* a = names.c_str(); *a && !merged; a += wcslen(a) + 1) {
      bool okA;
      std::vector<std::wstring> linesA = SectionLines(index.c_str(), a, &okA);
      if (!okA || linesA.empty()) continue;
      for (const wchar_t* b = names.c_str(); *b && !merged; b += wcslen(b) + 1) {
        bool okB;
        std::vector<std::wstring> linesB = SectionLines(index.c_str(), b, &okB);
        if (!okB || linesB.empty() || _wcsicmp(a, b) == 0 ||
            ParsePciVendorId(linesA[0].c_str()) != ParsePciVendorId(linesB[0].c_str()))
          continue;
        bool shared = false;
        for (const std::wstring& x : linesA)
          for (const std::wstring& y : linesB)
            shared = shared || _wcsicmp(x.c_str(), y.c_str()) == 0;
        if (!shared) continue;
        if (!MergePackages(store, PackageOf(a), PackageOf(b)))
          return;  // left as it is rather than losing driver files
        std::vector<std::wstring> unionLines = linesA;
        for (const std::wstring& y : linesB) {
          bool listed = false;
          for (const std::wstring& x : linesA)
            listed = listed || _wcsicmp(x.c_str(), y.c_str()) == 0;
          if (!listed) unionLines.push_back(y);
        }
        std::wstring list;
        for (const std::wstring& l : unionLines) {
          list += l;
          list.push_back(L'\0');
        }
        list.push_back(L'\0');
        std::wstring sectionA = a, sectionB = b;
        RemoveProfileSection(index.c_str(), sectionA.c_str());
        WriteProfileSection(index.c_str(), sectionA.c_str(), list.c_str());
        RemoveProfileSection(index.c_str(), sectionB.c_str());
        merged = true;
      }
    }
  }
}
