// Volume Shadow Copy client of a host-volume open: vssapi.dll is loaded at
// run time, one snapshot set holding one volume is made, and its device is
// opened for reading. Everything is undone by Release (the mounted image's
// Close). COM is initialised on the calling thread for the client's life, so
// Load, Snapshot, OpenSnapshotDevice and Release run on one thread.
#pragma once
#include <windows.h>

// What a host-volume open needs of shadow copies; tests put in their own.
class IShadowCopyClient {
 public:
  virtual ~IShadowCopyClient() {}
  // true when vssapi.dll is present and a backup-components object is
  // ready for backup.
  virtual bool Load() = 0;
  // Snapshots the volume "%c:\"; true when the snapshot set was created.
  virtual bool Snapshot(wchar_t letter) = 0;
  // The snapshot's device opened for reading, or INVALID_HANDLE_VALUE.
  virtual HANDLE OpenSnapshotDevice() = 0;
  // Deletes the snapshot set and frees everything; harmless when nothing
  // is loaded.
  virtual void Release() = 0;
};

// The platform calls of the client, replaceable by tests.
struct ShadowCopyApi {
  HRESULT(WINAPI* CoInitialize)(LPVOID reserved);
  HRESULT(WINAPI* CoInitializeSecurity)
  (PSECURITY_DESCRIPTOR sd, LONG authSvcCount, SOLE_AUTHENTICATION_SERVICE* authSvc,
   void* reserved1, DWORD authnLevel, DWORD impLevel, void* authList, DWORD capabilities,
   void* reserved3);
  void(WINAPI* CoUninitialize)();
  UINT(WINAPI* GetSystemDirectoryW)(LPWSTR buffer, UINT size);
  HMODULE(WINAPI* LoadLibraryW)(LPCWSTR path);
  FARPROC(WINAPI* GetProcAddress)(HMODULE module, LPCSTR name);
  BOOL(WINAPI* FreeLibrary)(HMODULE module);
  HANDLE(WINAPI* CreateFileW)
  (LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
   DWORD flags, HANDLE hTemplate);
  DWORD(WINAPI* GetVersion)();
};

// The system's own functions.
const ShadowCopyApi& SystemShadowCopyApi();

// Vtable slots (IUnknown included) of the IVssBackupComponents methods the
// client calls, for one interface layout.
struct VssBackupSlots {
  int Release;
  int InitializeForBackup;
  int SetBackupState;
  int GatherWriterMetadata;
  int PrepareForBackup;
  int AbortBackup;
  int BackupComplete;
  int StartSnapshotSet;
  int AddToSnapshotSet;
  int DoSnapshotSet;
  int DeleteSnapshots;
  int Query;
};

enum VssLayout {
  VSS_LAYOUT_NONE = 0,
  // Windows Server 2003 and later (the layout of mingw-w64's vsbackup.h).
  VSS_LAYOUT_CURRENT = 1,
  // Windows XP: no AddNewTarget or SetRangesFilePath, and RemountReadWrite
  // still present.
  VSS_LAYOUT_XP = 2
};

const VssBackupSlots& VssSlotsFor(VssLayout layout);

class CShadowCopy : public IShadowCopyClient {
 public:
  // api null: the system's functions. The table must outlive the client.
  explicit CShadowCopy(const ShadowCopyApi* api = nullptr);
  ~CShadowCopy() override;
  CShadowCopy(const CShadowCopy&) = delete;
  CShadowCopy& operator=(const CShadowCopy&) = delete;

  bool Load() override;
  bool Snapshot(wchar_t letter) override;
  HANDLE OpenSnapshotDevice() override;
  void Release() override;

  bool IsLoaded() const { return m_pBackup != nullptr; }
  VssLayout Layout() const { return m_Layout; }
  const GUID& SnapshotSetId() const { return m_SnapshotSetId; }
  const GUID& SnapshotId() const { return m_SnapshotId; }
  bool HasSnapshot() const { return m_bSetCreated; }

 private:
  typedef void(WINAPI* FreePropsFn)(void* prop);

  bool WaitAsync(void* async);
  bool CallAsync(int slot);

  const ShadowCopyApi* m_pApi;
  bool m_bComInit = false;
  HMODULE m_hModule = nullptr;
  void* m_pBackup = nullptr;  // IVssBackupComponents of either layout
  VssLayout m_Layout = VSS_LAYOUT_NONE;
  FreePropsFn m_pFreeProps = nullptr;
  GUID m_SnapshotSetId = {};
  GUID m_SnapshotId = {};
  bool m_bSetStarted = false;
  bool m_bSetCreated = false;
};
