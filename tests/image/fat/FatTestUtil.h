// Test helpers: a FAT work area over an image file, tree listings and copies
// between the volume and the host.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "image/device/PartitionTable.h"
#include "image/fat/FatModule.h"
#include "image/fat/FatCodePage.h"
#include "TestSupport.h"

namespace ft {

inline std::string Mt() {
  return "MTOOLS_SKIP_CHECK=1 ";
}

// Byte-granular routines over a Win32 file handle, as a device block has.
inline int ReadAt(void* ctx, unsigned long long off, void* buf, unsigned int n) {
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)off;
  if (!SetFilePointerEx((HANDLE)ctx, li, nullptr, FILE_BEGIN)) return -1;
  DWORD done = 0;
  if (!::ReadFile((HANDLE)ctx, buf, n, &done, nullptr)) return -1;
  return (int)done;
}
inline int WriteAt(void* ctx, unsigned long long off, const void* buf, unsigned int n) {
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)off;
  if (!SetFilePointerEx((HANDLE)ctx, li, nullptr, FILE_BEGIN)) return -1;
  DWORD done = 0;
  if (!::WriteFile((HANDLE)ctx, buf, n, &done, nullptr)) return -1;
  return (int)done;
}

inline std::u16string U(const std::wstring& w) {
  return std::u16string(w.begin(), w.end());
}
inline const uint16_t* P(const std::wstring& w) {
  return (const uint16_t*)w.c_str();
}

// One image file opened with a work area.
struct Volume {
  HANDLE h = INVALID_HANDLE_VALUE;
  FatWorkArea* fs = nullptr;
  std::wstring path;

  explicit Volume(const std::wstring& image) : path(image) {
    h = CreateFileW(image.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    fs = (FatWorkArea*)calloc(1, sizeof(FatWorkArea));
    LARGE_INTEGER size = {};
    if (h != INVALID_HANDLE_VALUE && !FatOpenDiskBlock(&fs->disk, h, ReadAt, WriteAt) &&
        GetFileSizeEx(h, &size))
      fs->disk->diskBytes = (uint64_t)size.QuadPart;  // as a device block knows it
  }
  ~Volume() { Close(); }
  void Close() {
    if (fs) {
      FatUnmount(fs);
      FatCloseDiskBlock(&fs->disk);
      free(fs);
      fs = nullptr;
    }
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
  // The boot partition (a table-less volume, the first MBR partition
  // holding one, the EFI system partition), or the partition of an index.
  int Mount(unsigned options = 0, int partition = FAT_BOOT_PARTITION) {
    return FatMount(fs, options, partition);
  }
  // Formats the partition of the index (0: the first holding a volume,
  // else the first).
  int Format(unsigned options, uint32_t unit, int partition = 0) {
    uint8_t work[FAT_MAX_SECTOR];
    int r = FatChoosePartition(fs, partition);
    if (r && r != FAT_NO_FILESYSTEM) return r;
    return FatFormatVolume(fs, options, unit, work, sizeof(work));
  }

  int WriteFile(const std::wstring& p, const std::string& data, unsigned mode = 0x0B) {
    FatFileObject* f = new FatFileObject;
    int r = FatOpenFile(fs, f, P(p), mode);
    if (r) {
      delete f;
      return r;
    }
    uint32_t done = 0;
    r = FatWriteFile(fs, f, data.data(), (uint32_t)data.size(), &done);
    if (!r && done != data.size()) r = -1;
    int c = FatCloseFile(fs, f);
    delete f;
    return r ? r : c;
  }
  int ReadFile(const std::wstring& p, std::string* data) {
    FatFileObject* f = new FatFileObject;
    int r = FatOpenFile(fs, f, P(p), 0x01);
    if (r) {
      delete f;
      return r;
    }
    data->assign((size_t)f->size, '\0');
    uint32_t done = 0;
    if (!data->empty()) r = FatReadFile(fs, f, &(*data)[0], (uint32_t)data->size(), &done);
    if (!r && done != data->size()) r = -1;
    FatCloseFile(fs, f);
    delete f;
    return r;
  }
  // Names (with a trailing "/" for folders) and sizes of a whole tree.
  int List(const std::wstring& dir, std::map<std::string, uint64_t>* out,
           const std::string& prefix = "") {
    FatDirObject d;
    int r = FatOpenDirectory(fs, &d, P(dir));
    if (r) return r;
    std::vector<std::pair<std::wstring, bool>> subs;
    for (;;) {
      FatFileInfo info;
      if ((r = FatReadDirectory(fs, &d, &info))) return r;
      if (!info.name[0]) break;
      std::wstring name((const wchar_t*)info.name);
      bool isDir = (info.attributes & FAT_ATTR_DIRECTORY) != 0;
      std::string key = prefix + vt::Narrow(name) + (isDir ? "/" : "");
      (*out)[key] = isDir ? 0 : info.size;
      if (isDir) subs.push_back({name, true});
    }
    FatCloseDirectory(fs, &d);
    for (auto& s : subs) {
      r = List(dir + L"\\" + s.first, out, prefix + vt::Narrow(s.first) + "/");
      if (r) return r;
    }
    return 0;
  }
  // Copies the whole tree out to a host folder.
  int Extract(const std::wstring& dir, const std::wstring& host) {
    CreateDirectoryW(host.c_str(), nullptr);
    std::map<std::string, uint64_t> tree;
    int r = List(dir, &tree);
    if (r) return r;
    for (auto& e : tree) {
      std::wstring rel = vt::Widen(e.first);
      for (auto& c : rel)
        if (c == L'/') c = L'\\';
      if (!rel.empty() && rel.back() == L'\\') {
        rel.pop_back();
        CreateDirectoryW((host + L"\\" + rel).c_str(), nullptr);
        continue;
      }
      std::string data;
      if ((r = ReadFile(dir + L"\\" + rel, &data))) return r;
      if (!vt::WriteAll(host + L"\\" + rel, data.data(), data.size())) return -1;
    }
    return 0;
  }
};

inline std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    s[i] = (char)(x >> 16);
  }
  return s;
}

// A blank disk with one MBR partition (start, sectors, type); returns the image path.
inline std::wstring MbrDisk(const std::string& dirUnix, const std::string& name, uint32_t start,
                            uint32_t sectors, const char* type = "c") {
  std::string img = dirUnix + "/" + name;
  std::string cmd = "truncate -s " + std::to_string((uint64_t)(start + sectors + 2048) * 512) +
                    " " + vt::Q(img) + " && printf 'label: dos\\nstart=" + std::to_string(start) +
                    ", size=" + std::to_string(sectors) + ", type=" + type + "\\n' | sfdisk -q " +
                    vt::Q(img) + " >/dev/null";
  EXPECT_EQ(0, vt::Sh(cmd));
  return vt::ToWin(img);
}

// A GPT disk whose EFI system partition is the given entry (1-based) of the array.
inline std::wstring GptDisk(const std::string& dirUnix, const std::string& name,
                            uint32_t espSectors, int espEntry) {
  std::string img = dirUnix + "/" + name;
  uint64_t total = 2048 + 4096 + espSectors + 4096;
  std::string cmd =
      "truncate -s " + std::to_string(total * 512) + " " + vt::Q(img) + " && sgdisk -o -a 1 ";
  if (espEntry == 2)
    cmd += "-n 1:2048:6143 -t 1:0700 -n 2:6144:" + std::to_string(6144 + espSectors - 1) +
           " -t 2:EF00 ";
  else
    cmd += "-n 1:2048:" + std::to_string(2048 + espSectors - 1) + " -t 1:EF00 ";
  cmd += vt::Q(img) + " >/dev/null";
  EXPECT_EQ(0, vt::Sh(cmd));
  return vt::ToWin(img);
}

// Copies a partition of an image out so that fsck can check it.
inline std::string Partition(const std::string& img, uint32_t start, uint32_t sectors,
                             const std::string& out) {
  vt::Sh("dd if=" + vt::Q(img) + " of=" + vt::Q(out) + " bs=512 skip=" + std::to_string(start) +
         " count=" + std::to_string(sectors) + " status=none");
  return out;
}

}  // namespace ft
