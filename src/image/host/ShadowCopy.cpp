#include "image/host/ShadowCopy.h"

#include <vss.h>
#include <vsserror.h>

#include <cstring>
#include <string>

#include "common/PathUtil.h"

namespace {

// Windows Server 2003 and later: the slot order of IVssBackupComponents as
// mingw-w64's vsbackup.h declares it (a test holds the two together).
const VssBackupSlots kCurrentSlots = {
    2,   // Release
    5,   // InitializeForBackup
    6,   // SetBackupState
    9,   // GatherWriterMetadata
    14,  // PrepareForBackup
    15,  // AbortBackup
    27,  // BackupComplete
    36,  // StartSnapshotSet
    37,  // AddToSnapshotSet
    38,  // DoSnapshotSet
    39,  // DeleteSnapshots
    43,  // Query
};

// Windows XP lacks AddNewTarget and SetRangesFilePath (both Server 2003 and
// later), so every slot from PreRestore on sits two places earlier; XP still
// has RemountReadWrite (withdrawn in Server 2003) after ImportSnapshots,
// which puts Query one place later again.
const VssBackupSlots kXpSlots = {
    2,   // Release
    5,   // InitializeForBackup
    6,   // SetBackupState
    9,   // GatherWriterMetadata
    14,  // PrepareForBackup
    15,  // AbortBackup
    27,  // BackupComplete
    34,  // StartSnapshotSet
    35,  // AddToSnapshotSet
    36,  // DoSnapshotSet
    37,  // DeleteSnapshots
    42,  // Query
};

// Calls one method of a COM object by vtable slot; the argument types given
// must be the method's own.
template <class... A>
HRESULT CallSlot(void* obj, int slot, A... args) {
  typedef HRESULT(STDMETHODCALLTYPE * Fn)(void*, A...);
  Fn fn = (Fn)(*(void***)obj)[slot];
  return fn(obj, args...);
}

typedef HRESULT(WINAPI* CreateBackupFn)(void** backup);

const char kCreateInternal[] = "CreateVssBackupComponentsInternal";
const char kCreateMangled[] = "?CreateVssBackupComponents@@YGJPAPAVIVssBackupComponents@@@Z";
const char kFreeInternal[] = "VssFreeSnapshotPropertiesInternal";
const char kFreePlain[] = "VssFreeSnapshotProperties";

// Path buffers of this system hold 360 characters.

bool IsWindowsXp(DWORD version) {
  return LOBYTE(LOWORD(version)) == 5 && HIBYTE(LOWORD(version)) == 1;
}

}  // namespace

const ShadowCopyApi& SystemShadowCopyApi() {
  static const ShadowCopyApi api = {
      ::CoInitialize,        ::CoInitializeSecurity, ::CoUninitialize,
      ::GetSystemDirectoryW, ::LoadLibraryW,         ::GetProcAddress,
      ::FreeLibrary,         ::CreateFileW,          ::GetVersion,
  };
  return api;
}

const VssBackupSlots& VssSlotsFor(VssLayout layout) {
  return layout == VSS_LAYOUT_XP ? kXpSlots : kCurrentSlots;
}

CShadowCopy::CShadowCopy(const ShadowCopyApi* api) : m_pApi(api ? api : &SystemShadowCopyApi()) {}

CShadowCopy::~CShadowCopy() {
  Release();
}

bool CShadowCopy::Load() {
  if (m_pBackup) return true;
  Release();

  HRESULT hr = m_pApi->CoInitialize(nullptr);
  if (SUCCEEDED(hr))
    m_bComInit = true;
  else if (hr != RPC_E_CHANGED_MODE)  // a multithreaded apartment serves as well
    return false;

  // Security can be set once per process: a second snapshot finds it set.
  hr = m_pApi->CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                    RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
  if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
    Release();
    return false;
  }

  static const wchar_t kDll[] = L"\\vssapi.dll";
  wchar_t path[kPathChars];
  UINT n = m_pApi->GetSystemDirectoryW(path, kPathChars);
  if (n == 0 || n + wcslen(kDll) >= kPathChars) {
    Release();
    return false;
  }
  wcscpy(path + n, kDll);
  m_hModule = m_pApi->LoadLibraryW(path);
  if (!m_hModule) {
    Release();
    return false;
  }

  CreateBackupFn create = (CreateBackupFn)m_pApi->GetProcAddress(m_hModule, kCreateInternal);
  if (create) {
    m_pFreeProps = (FreePropsFn)m_pApi->GetProcAddress(m_hModule, kFreeInternal);
    m_Layout = VSS_LAYOUT_CURRENT;
  } else {
    create = (CreateBackupFn)m_pApi->GetProcAddress(m_hModule, kCreateMangled);
    m_pFreeProps = (FreePropsFn)m_pApi->GetProcAddress(m_hModule, kFreePlain);
    // Server 2003 and XP x64 export only the old names too, but with the
    // current layout; only XP itself has the older one.
    m_Layout = IsWindowsXp(m_pApi->GetVersion()) ? VSS_LAYOUT_XP : VSS_LAYOUT_CURRENT;
  }
  if (!create || !m_pFreeProps) {
    Release();
    return false;
  }

  void* backup = nullptr;
  hr = create(&backup);
  if (FAILED(hr) || !backup) {
    Release();
    return false;
  }
  m_pBackup = backup;

  const VssBackupSlots& s = VssSlotsFor(m_Layout);
  hr = CallSlot(m_pBackup, s.InitializeForBackup, (BSTR) nullptr);
  if (SUCCEEDED(hr))
    // A copy backup: writers keep their backup history as it is.
    hr = CallSlot(m_pBackup, s.SetBackupState, false, false, VSS_BT_COPY, false);
  if (FAILED(hr)) {
    Release();
    return false;
  }
  return true;
}

bool CShadowCopy::WaitAsync(void* asyncObj) {
  IVssAsync* async = (IVssAsync*)asyncObj;
  HRESULT hr = async->Wait(INFINITE);
  HRESULT status = E_FAIL;
  if (SUCCEEDED(hr)) hr = async->QueryStatus(&status, nullptr);
  async->Release();
  return SUCCEEDED(hr) && status == VSS_S_ASYNC_FINISHED;
}

bool CShadowCopy::CallAsync(int slot) {
  void* async = nullptr;
  HRESULT hr = CallSlot(m_pBackup, slot, (void**)&async);
  if (FAILED(hr) || !async) return false;
  return WaitAsync(async);
}

bool CShadowCopy::Snapshot(wchar_t letter) {
  if (!m_pBackup || m_bSetStarted) return false;
  const VssBackupSlots& s = VssSlotsFor(m_Layout);

  // Writers must have been asked for their metadata before the backup is
  // prepared.
  if (!CallAsync(s.GatherWriterMetadata)) return false;

  VSS_ID setId = {};
  if (FAILED(CallSlot(m_pBackup, s.StartSnapshotSet, &setId))) return false;
  m_bSetStarted = true;
  m_SnapshotSetId = setId;

  wchar_t volume[4] = {letter, L':', L'\\', 0};
  VSS_ID snapId = {};
  HRESULT hr = CallSlot(m_pBackup, s.AddToSnapshotSet, (VSS_PWSZ)volume, VSS_ID{}, &snapId);
  if (SUCCEEDED(hr) && CallAsync(s.PrepareForBackup) && CallAsync(s.DoSnapshotSet)) {
    m_SnapshotId = snapId;
    m_bSetCreated = true;
    return true;
  }
  CallSlot(m_pBackup, s.AbortBackup);
  return false;
}

HANDLE CShadowCopy::OpenSnapshotDevice() {
  if (!m_bSetCreated) return INVALID_HANDLE_VALUE;
  const VssBackupSlots& s = VssSlotsFor(m_Layout);

  IVssEnumObject* objects = nullptr;
  HRESULT hr =
      CallSlot(m_pBackup, s.Query, VSS_ID{}, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &objects);
  if (FAILED(hr) || !objects) return INVALID_HANDLE_VALUE;

  std::wstring device;
  for (;;) {
    VSS_OBJECT_PROP prop;
    memset(&prop, 0, sizeof prop);
    ULONG fetched = 0;
    hr = objects->Next(1, &prop, &fetched);
    if (FAILED(hr) || fetched == 0) break;
    if (prop.Type == VSS_OBJECT_SNAPSHOT) {
      VSS_SNAPSHOT_PROP& snap = prop.Obj.Snap;
      if (device.empty() && IsEqualGUID(snap.m_SnapshotId, m_SnapshotId) &&
          snap.m_pwszSnapshotDeviceObject)
        device = snap.m_pwszSnapshotDeviceObject;
      m_pFreeProps(&snap);
    }
  }
  objects->Release();
  if (device.empty()) return INVALID_HANDLE_VALUE;

  return m_pApi->CreateFileW(device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
}

void CShadowCopy::Release() {
  if (m_pBackup) {
    const VssBackupSlots& s = VssSlotsFor(m_Layout);
    if (m_bSetCreated) {
      LONG deleted = 0;
      VSS_ID notDeleted = {};
      CallSlot(m_pBackup, s.DeleteSnapshots, m_SnapshotSetId, VSS_OBJECT_SNAPSHOT_SET, (BOOL)TRUE,
               &deleted, &notDeleted);
      CallAsync(s.BackupComplete);
    }
    typedef ULONG(STDMETHODCALLTYPE * ReleaseFn)(void*);
    ((ReleaseFn)(*(void***)m_pBackup)[s.Release])(m_pBackup);
    m_pBackup = nullptr;
  }
  if (m_hModule) {
    m_pApi->FreeLibrary(m_hModule);
    m_hModule = nullptr;
  }
  if (m_bComInit) {
    m_pApi->CoUninitialize();
    m_bComInit = false;
  }
  m_Layout = VSS_LAYOUT_NONE;
  m_pFreeProps = nullptr;
  m_SnapshotSetId = GUID{};
  m_SnapshotId = GUID{};
  m_bSetStarted = false;
  m_bSetCreated = false;
}
