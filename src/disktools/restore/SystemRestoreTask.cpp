#include "disktools/restore/SystemRestoreTask.h"

#include <oleauto.h>

namespace {

// {0F87369F-A4E5-4CFC-BD3E-73E6154572DD}
const CLSID kClsidTaskScheduler = {
    0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
// {2FABA4C7-4DA9-4013-9697-20CC3FD40F85}
const IID kIidTaskService = {
    0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};

const wchar_t kFolderPath[] = L"Microsoft\\Windows\\SystemRestore";
const wchar_t kTaskName[] = L"SR";

// A BSTR for the length of one call.
class CBstr {
 public:
  explicit CBstr(const wchar_t* text) : m_bstr(SysAllocString(text)) {}
  ~CBstr() { SysFreeString(m_bstr); }
  CBstr(const CBstr&) = delete;
  CBstr& operator=(const CBstr&) = delete;
  operator BSTR() const { return m_bstr; }
  bool Valid() const { return m_bstr != nullptr; }

 private:
  BSTR m_bstr;
};

VARIANT EmptyVariant() {
  VARIANT v;
  VariantInit(&v);
  return v;
}

// The task service, connected to the local machine as the caller; null on
// failure.
ITaskService* ConnectTaskService(const SystemRestoreApi& api) {
  ITaskService* service = nullptr;
  if (FAILED(api.CoCreateInstance(kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                  kIidTaskService, reinterpret_cast<void**>(&service))) ||
      !service)
    return nullptr;
  VARIANT empty = EmptyVariant();
  if (FAILED(service->Connect(empty, empty, empty, empty))) {
    service->Release();
    return nullptr;
  }
  return service;
}

}  // namespace

const wchar_t kSystemRestoreTaskXml[] =
    L"<?xml version='1.0' encoding='UTF-16' standalone='no'?>\r\n"
    L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
    L"  <RegistrationInfo>\r\n"
    L"    <Source>$(@%systemroot%\\system32\\srrstr.dll,-320)</Source>\r\n"
    L"    <Author>$(@%systemroot%\\system32\\srrstr.dll,-321)</Author>\r\n"
    L"    <Description>$(@%systemroot%\\system32\\srrstr.dll,-322)</Description>\r\n"
    L"  </RegistrationInfo>\r\n"
    L"  <Triggers>\r\n"
    L"    <CalendarTrigger id=\"SRCalendarTrigger\">\r\n"
    L"      <StartBoundary>2005-06-14T00:00:00</StartBoundary>\r\n"
    L"      <Enabled>true</Enabled>\r\n"
    L"      <ScheduleByDay>\r\n"
    L"        <DaysInterval>1</DaysInterval>\r\n"
    L"      </ScheduleByDay>\r\n"
    L"    </CalendarTrigger>\r\n"
    L"    <BootTrigger id=\"SRBootTrigger\">\r\n"
    L"      <Enabled>true</Enabled>\r\n"
    L"      <Delay>PT30M</Delay>\r\n"
    L"    </BootTrigger>\r\n"
    L"  </Triggers>\r\n"
    L"  <Principals>\r\n"
    L"    <Principal id=\"LocalSystem\">\r\n"
    L"      <UserId>S-1-5-18</UserId>\r\n"
    L"    </Principal>\r\n"
    L"  </Principals>\r\n"
    L"  <Settings>\r\n"
    L"    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\r\n"
    L"    <DisallowStartIfOnBatteries>true</DisallowStartIfOnBatteries>\r\n"
    L"    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\r\n"
    L"    <AllowStartOnDemand>true</AllowStartOnDemand>\r\n"
    L"    <StartWhenAvailable>true</StartWhenAvailable>\r\n"
    L"    <RunOnlyIfIdle>true</RunOnlyIfIdle>\r\n"
    L"    <IdleSettings>\r\n"
    L"      <Duration>PT10M</Duration>\r\n"
    L"      <WaitTimeout>PT23H</WaitTimeout>\r\n"
    L"      <StopOnIdleEnd>false</StopOnIdleEnd>\r\n"
    L"      <RestartOnIdle>false</RestartOnIdle>\r\n"
    L"    </IdleSettings>\r\n"
    L"    <Enabled>true</Enabled>\r\n"
    L"  </Settings>\r\n"
    L"  <Actions Context=\"LocalSystem\">\r\n"
    L"    <Exec>\r\n"
    L"      <Command>%windir%\\system32\\rundll32.exe</Command>\r\n"
    L"      <Arguments>/d srrstr.dll,ExecuteScheduledSPPCreation</Arguments>\r\n"
    L"    </Exec>\r\n"
    L"  </Actions>\r\n"
    L"</Task>\r\n";

ITaskFolder* OpenSystemRestoreTaskFolder(ITaskService* service) {
  if (!service) return nullptr;
  CBstr rootPath(L"\\"), path(kFolderPath);
  if (!rootPath.Valid() || !path.Valid()) return nullptr;
  ITaskFolder* root = nullptr;
  if (FAILED(service->GetFolder(rootPath, &root)) || !root) return nullptr;
  ITaskFolder* folder = nullptr;
  if (FAILED(root->GetFolder(path, &folder)) || !folder) {
    folder = nullptr;
    VARIANT sddl = EmptyVariant();
    if (FAILED(root->CreateFolder(path, sddl, &folder))) folder = nullptr;
  }
  root->Release();
  return folder;
}

HRESULT SystemRestoreTaskMissing(ITaskFolder* folder) {
  CBstr name(kTaskName);
  if (!name.Valid()) return E_OUTOFMEMORY;
  IRegisteredTask* task = nullptr;
  HRESULT hr = folder->GetTask(name, &task);
  if (task) task->Release();
  return hr == kTaskNotFound ? 1 : hr;
}

int EnsureSystemRestoreTask(const SystemRestoreApi& api) {
  ITaskService* service = ConnectTaskService(api);
  if (!service) return 0;
  int result = 0;
  if (ITaskFolder* folder = OpenSystemRestoreTaskFolder(service)) {
    if (SystemRestoreTaskMissing(folder) != 1) {
      result = 1;
    } else {
      CBstr name(kTaskName), xml(kSystemRestoreTaskXml);
      VARIANT empty = EmptyVariant();
      IRegisteredTask* task = nullptr;
      if (name.Valid() && xml.Valid() &&
          SUCCEEDED(folder->RegisterTask(name, xml, TASK_CREATE, empty, empty, TASK_LOGON_NONE,
                                         empty, &task)))
        result = 1;
      if (task) task->Release();
    }
    folder->Release();
  }
  service->Release();
  return result;
}

int SetSystemRestoreTaskEnabled(const SystemRestoreApi& api, VARIANT_BOOL enabled) {
  ITaskService* service = ConnectTaskService(api);
  if (!service) return 0;
  int result = 0;
  CBstr path(L"\\Microsoft\\Windows\\SystemRestore"), name(kTaskName);
  ITaskFolder* folder = nullptr;
  if (path.Valid() && name.Valid() && SUCCEEDED(service->GetFolder(path, &folder)) && folder) {
    IRegisteredTask* task = nullptr;
    if (SUCCEEDED(folder->GetTask(name, &task)) && task) {
      if (SUCCEEDED(task->put_Enabled(enabled))) result = 1;
      task->Release();
    }
    folder->Release();
  }
  service->Release();
  return result;
}
