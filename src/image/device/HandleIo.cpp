#include "image/device/DeviceSource.h"
#include "image/device/HostWriteFailure.h"
#include <cstring>
#include <string>
#include <vector>

// Bigger requests are split so each transfer stays well inside what every
// Windows version accepts in one call.
static const uint32_t kMaxTransfer = 64u << 20;

namespace {

// The native positioned transfer. ReadFile and WriteFile with an OVERLAPPED
// offset hand the OVERLAPPED on as a completion key, and Wine then asks its
// server to post a completion for every call, a round trip that costs more
// than the copy of a small block. Without an event, routine or key nothing
// is posted: the transfer is the same, on a synchronous handle as on an
// asynchronous one (whose pending transfer is waited for).
struct IoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
typedef LONG(NTAPI* NtTransferFn)(HANDLE file, HANDLE event, void* routine, void* context,
                                  IoStatus* io, void* buffer, ULONG length, LARGE_INTEGER* offset,
                                  ULONG* key);
typedef ULONG(NTAPI* StatusToErrorFn)(LONG status);

const LONG kStatusPending = 0x00000103;
const LONG kStatusEndOfFile = (LONG)0xC0000011;

struct NativeTransfers {
  NtTransferFn read;
  NtTransferFn write;
  StatusToErrorFn toError;
};

const NativeTransfers& Native() {
  static const NativeTransfers calls = [] {
    NativeTransfers c = {};
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll) {
      c.read = (NtTransferFn)(void*)GetProcAddress(ntdll, "NtReadFile");
      c.write = (NtTransferFn)(void*)GetProcAddress(ntdll, "NtWriteFile");
      c.toError = (StatusToErrorFn)(void*)GetProcAddress(ntdll, "RtlNtStatusToDosError");
    }
    if (!c.read || !c.write || !c.toError) c = NativeTransfers();
    return c;
  }();
  return calls;
}

// One transfer at an offset: the bytes done (0 for a read at or past the
// end of the file), or -1 with the last error set.
int64_t TransferAt(HANDLE hFile, uint64_t pos, void* buf, uint32_t n, bool write) {
  const NativeTransfers& nt = Native();
  if (nt.read) {
    IoStatus io = {};
    LARGE_INTEGER offset;
    offset.QuadPart = (LONGLONG)pos;
    LONG status = (write ? nt.write : nt.read)(hFile, nullptr, nullptr, nullptr, &io, buf, n,
                                               &offset, nullptr);
    if (status == kStatusPending) {
      WaitForSingleObject(hFile, INFINITE);
      status = io.status;
    }
    if (status >= 0) return (int64_t)io.information;
    if (status == kStatusEndOfFile && !write) return 0;
    SetLastError(nt.toError(status));
    return -1;
  }
  OVERLAPPED ov = {};
  ov.Offset = (DWORD)pos;
  ov.OffsetHigh = (DWORD)(pos >> 32);
  DWORD done = 0;
  BOOL ok = write ? WriteFile(hFile, buf, n, &done, &ov) : ReadFile(hFile, buf, n, &done, &ov);
  if (ok) return done;
  if (!write && GetLastError() == ERROR_HANDLE_EOF) return 0;
  return -1;
}

// The hooked handles. Few are hooked at a time (the writable files of the
// open images), and a handle is hooked and unhooked by its owner only:
// the count lets every unhooked transfer pass without taking the lock.
struct HookTable {
  CRITICAL_SECTION lock;
  volatile LONG count = 0;
  HANDLE handles[64] = {};
  VroHandleHook* hooks[64] = {};
  HookTable() { InitializeCriticalSection(&lock); }
};

HookTable& Hooks() {
  static HookTable table;
  return table;
}

VroHandleHook* HookOf(HANDLE hFile) {
  HookTable& t = Hooks();
  if (t.count == 0 || !hFile) return nullptr;
  VroHandleHook* found = nullptr;
  EnterCriticalSection(&t.lock);
  for (int i = 0; i < 64; i++)
    if (t.handles[i] == hFile) {
      found = t.hooks[i];
      break;
    }
  LeaveCriticalSection(&t.lock);
  return found;
}

}  // namespace

bool VroSetHandleHook(HANDLE hFile, VroHandleHook* hook) {
  HookTable& t = Hooks();
  EnterCriticalSection(&t.lock);
  int slot = -1;
  for (int i = 0; i < 64; i++)
    if (t.handles[i] == hFile) slot = i;
  if (slot >= 0 && !hook) {
    t.handles[slot] = nullptr;
    t.hooks[slot] = nullptr;
    InterlockedDecrement(&t.count);
  } else if (slot >= 0) {
    t.hooks[slot] = hook;
  } else if (hook) {
    for (int i = 0; i < 64 && slot < 0; i++)
      if (!t.handles[i]) slot = i;
    if (slot >= 0) {
      t.handles[slot] = hFile;
      t.hooks[slot] = hook;
      InterlockedIncrement(&t.count);
    }
  }
  LeaveCriticalSection(&t.lock);
  return slot >= 0 || !hook;
}

bool RenameHandleFile(HANDLE hFile, const wchar_t* newPath) {
  typedef LONG(NTAPI * SetInformationFn)(HANDLE file, IoStatus * io, void* info, ULONG length,
                                         ULONG infoClass);
  static SetInformationFn set = (SetInformationFn)(void*)GetProcAddress(
      GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile");
  const ULONG kFileRenameInformation = 10;
  if (!set || !newPath || !*newPath) return false;
  std::wstring full(32768, L'\0');
  DWORD n = GetFullPathNameW(newPath, DWORD(full.size()), &full[0], nullptr);
  if (n == 0 || n >= full.size()) return false;
  full.resize(n);
  // The system's own name of the path.
  std::wstring name;
  if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0)
    name = L"\\??\\" + full.substr(4);
  else if (full.compare(0, 2, L"\\\\") == 0)
    name = L"\\??\\UNC\\" + full.substr(2);
  else
    name = L"\\??\\" + full;
  // FILE_RENAME_INFORMATION: replace flag, root directory, name length, name.
  struct Rename {
    BOOLEAN replace;
    HANDLE root;
    ULONG length;
    WCHAR name[1];
  };
  std::vector<uint8_t> info(sizeof(Rename) + name.size() * sizeof(wchar_t));
  Rename* r = reinterpret_cast<Rename*>(info.data());
  r->replace = TRUE;
  r->root = nullptr;
  r->length = ULONG(name.size() * sizeof(wchar_t));
  memcpy(r->name, name.data(), name.size() * sizeof(wchar_t));
  IoStatus io = {};
  return set(hFile, &io, info.data(), ULONG(info.size()), kFileRenameInformation) >= 0;
}

int64_t ReadHandleAt(HANDLE hFile, uint64_t byteOffset, void* buf, uint32_t bytes) {
  if (VroHandleHook* hook = HookOf(hFile)) return hook->HookRead(byteOffset, buf, bytes);
  return SystemReadHandleAt(hFile, byteOffset, buf, bytes);
}

int FlushHandleFile(HANDLE hFile) {
  if (VroHandleHook* hook = HookOf(hFile)) return hook->HookFlush();
  return VroGetDeviceSource()->FlushHandle(hFile);
}

int64_t SystemReadHandleAt(HANDLE hFile, uint64_t byteOffset, void* buf, uint32_t bytes) {
  uint32_t done = 0;
  while (done < bytes) {
    uint32_t n = bytes - done;
    if (n > kMaxTransfer) n = kMaxTransfer;
    int64_t got = TransferAt(hFile, byteOffset + done, (uint8_t*)buf + done, n, false);
    if (got < 0) return done ? (int64_t)done : -(int64_t)bytes;
    done += (uint32_t)got;
    if ((uint32_t)got < n) break;
  }
  return done;
}

int64_t WriteHandleAt(HANDLE hFile, uint64_t byteOffset, const void* buf, uint32_t bytes) {
  if (VroHandleHook* hook = HookOf(hFile)) return hook->HookWrite(byteOffset, buf, bytes);
  return VroGetDeviceSource()->WriteAt(hFile, byteOffset, buf, bytes);
}

int64_t SystemWriteHandleAt(HANDLE hFile, uint64_t byteOffset, const void* buf, uint32_t bytes) {
  uint32_t done = 0;
  while (done < bytes) {
    uint32_t n = bytes - done;
    if (n > kMaxTransfer) n = kMaxTransfer;
    // A short write (a disk that fills up takes what it has room for) is
    // followed by one of the rest, which tells why it cannot go on.
    int64_t put = TransferAt(hFile, byteOffset + done, (uint8_t*)buf + done, n, true);
    if (put <= 0) {
      NoteHostWriteFailure(hFile, put < 0 ? GetLastError() : ERROR_WRITE_FAULT);
      return done ? (int64_t)done : -(int64_t)bytes;
    }
    done += (uint32_t)put;
  }
  return done;
}

int SystemFlushHandle(HANDLE hFile) {
  if (FlushFileBuffers(hFile)) return 0;
  NoteHostWriteFailure(hFile, GetLastError());
  return -1;
}

int64_t ReadHandleAtZeroTail(HANDLE hFile, uint64_t byteOffset, void* buf, uint32_t bytes) {
  int64_t r = ReadHandleAt(hFile, byteOffset, buf, bytes);
  if (r < 0) return r;
  if ((uint32_t)r < bytes) memset((uint8_t*)buf + r, 0, bytes - (uint32_t)r);
  return bytes;
}
