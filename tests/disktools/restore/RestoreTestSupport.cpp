#include "RestoreTestSupport.h"

#include <taskschd.h>

#include <sstream>

#include "TestSupport.h"
#include "disktools/restore/SystemRestoreSwitch.h"

namespace rt {

namespace {

// The task folder through a connected service; null when missing.
ITaskFolder* OpenFolder(ITaskService** service) {
  *service = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                              reinterpret_cast<void**>(service))))
    return nullptr;
  VARIANT empty;
  VariantInit(&empty);
  ITaskFolder* folder = nullptr;
  BSTR path = SysAllocString(L"\\Microsoft\\Windows\\SystemRestore");
  if (FAILED((*service)->Connect(empty, empty, empty, empty)) ||
      FAILED((*service)->GetFolder(path, &folder)))
    folder = nullptr;
  SysFreeString(path);
  return folder;
}

}  // namespace

std::wstring StartClientLog(const std::wstring& dir) {
  std::wstring log = dir + L"\\srclient.log";
  DeleteFileW(log.c_str());
  SetEnvironmentVariableW(L"VRO_SRCLIENT_LOG", log.c_str());
  return log;
}

std::vector<std::string> ClientLogLines(const std::wstring& log) {
  std::vector<uint8_t> data;
  std::vector<std::string> lines;
  if (!vt::ReadAll(log, data)) return lines;
  std::istringstream in(std::string(data.begin(), data.end()));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string VolumeOf(wchar_t letter) {
  wchar_t root[] = {letter, L':', L'\\', 0};
  wchar_t volume[MAX_PATH];
  if (!GetVolumeNameForVolumeMountPointW(root, volume, MAX_PATH)) return "";
  return vt::Narrow(volume);
}

void DeleteTask() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ITaskService* service = nullptr;
  if (ITaskFolder* folder = OpenFolder(&service)) {
    BSTR name = SysAllocString(L"SR");
    folder->DeleteTask(name, 0);
    SysFreeString(name);
    folder->Release();
  }
  if (service) service->Release();
  CoUninitialize();
}

std::wstring TaskXml() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::wstring xml;
  ITaskService* service = nullptr;
  if (ITaskFolder* folder = OpenFolder(&service)) {
    IRegisteredTask* task = nullptr;
    BSTR name = SysAllocString(L"SR");
    BSTR text = nullptr;
    if (SUCCEEDED(folder->GetTask(name, &task)) && SUCCEEDED(task->get_Xml(&text)) && text)
      xml = text;
    SysFreeString(text);
    if (task) task->Release();
    SysFreeString(name);
    folder->Release();
  }
  if (service) service->Release();
  CoUninitialize();
  return xml;
}

bool RewriteTask(const std::wstring& from, const std::wstring& to) {
  std::wstring xml = TaskXml();
  size_t at = xml.find(from);
  if (xml.empty() || at == std::wstring::npos) return false;
  for (; at != std::wstring::npos; at = xml.find(from, at + to.size()))
    xml.replace(at, from.size(), to);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  bool done = false;
  ITaskService* service = nullptr;
  if (ITaskFolder* folder = OpenFolder(&service)) {
    BSTR name = SysAllocString(L"SR");
    BSTR text = SysAllocString(xml.c_str());
    VARIANT empty;
    VariantInit(&empty);
    IRegisteredTask* task = nullptr;
    done = SUCCEEDED(folder->RegisterTask(name, text, TASK_CREATE_OR_UPDATE, empty, empty,
                                          TASK_LOGON_NONE, empty, &task));
    if (task) task->Release();
    SysFreeString(text);
    SysFreeString(name);
    folder->Release();
  }
  if (service) service->Release();
  CoUninitialize();
  return done;
}

int SessionInterval() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSystemRestoreKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return -1;
  DWORD value = 0, size = sizeof(value), type = 0;
  LONG rc = RegQueryValueExW(key, kSessionIntervalValue, nullptr, &type,
                             reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_DWORD ? int(value) : -1;
}

void SetSessionInterval(DWORD value) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSystemRestoreKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key, kSessionIntervalValue, 0, REG_DWORD, reinterpret_cast<BYTE*>(&value),
                 sizeof(value));
  RegCloseKey(key);
}

}  // namespace rt
