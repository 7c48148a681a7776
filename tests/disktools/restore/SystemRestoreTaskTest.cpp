// The task routines against a scripted task service: Wine's service keeps
// neither the Enabled switch nor the whole definition, so what the routines
// ask of the service (which folder, which lookup, the registration and its
// arguments, the switch) is checked here call by call, with every object
// released.
#include <windows.h>
#include <taskschd.h>
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "disktools/restore/SystemRestoreApi.h"
#include "disktools/restore/SystemRestoreTask.h"

namespace {

// A method the routines must not call.
#define NOT_CALLED(name, ...)                            \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
    return E_NOTIMPL;                                    \
  }

struct TaskScript {
  bool service = true, folder = true, task = false;
  HRESULT lookup = S_OK;  // S_OK: as `task` says
  HRESULT registration = S_OK;
  std::string log;
  int live = 0;
};
TaskScript* g = nullptr;

void Log(const std::string& s) {
  g->log += (g->log.empty() ? "" : "; ") + s;
}

// IUnknown and IDispatch of the scripted objects.
template <class I>
class CScripted : public I {
 public:
  CScripted() { ++g->live; }
  virtual ~CScripted() { --g->live; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --m_refs;
    if (!left) delete this;
    return left;
  }
  NOT_CALLED(GetTypeInfoCount, UINT*)
  NOT_CALLED(GetTypeInfo, UINT, LCID, ITypeInfo**)
  NOT_CALLED(GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
  NOT_CALLED(Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)

 private:
  ULONG m_refs = 1;
};

class CTask final : public CScripted<IRegisteredTask> {
 public:
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) override {
    Log("put_Enabled " + std::to_string(enabled));
    return S_OK;
  }
  NOT_CALLED(get_Name, BSTR*)
  NOT_CALLED(get_Path, BSTR*)
  NOT_CALLED(get_State, TASK_STATE*)
  NOT_CALLED(get_Enabled, VARIANT_BOOL*)
  NOT_CALLED(Run, VARIANT, IRunningTask**)
  NOT_CALLED(RunEx, VARIANT, LONG, LONG, BSTR, IRunningTask**)
  NOT_CALLED(GetInstances, LONG, IRunningTaskCollection**)
  NOT_CALLED(get_LastRunTime, DATE*)
  NOT_CALLED(get_LastTaskResult, LONG*)
  NOT_CALLED(get_NumberOfMissedRuns, LONG*)
  NOT_CALLED(get_NextRunTime, DATE*)
  NOT_CALLED(get_Definition, ITaskDefinition**)
  NOT_CALLED(get_Xml, BSTR*)
  NOT_CALLED(GetSecurityDescriptor, LONG, BSTR*)
  NOT_CALLED(SetSecurityDescriptor, BSTR, LONG)
  NOT_CALLED(Stop, LONG)
  NOT_CALLED(GetRunTimes, const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*, LPSYSTEMTIME*)
};

class CFolder final : public CScripted<ITaskFolder> {
 public:
  explicit CFolder(bool root) : m_root(root) {}
  HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) override {
    Log("GetFolder " + vt::Narrow(path));
    *folder = nullptr;
    if (!m_root || !g->folder) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    *folder = new CFolder(false);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateFolder(BSTR name, VARIANT sddl, ITaskFolder** folder) override {
    Log("CreateFolder " + vt::Narrow(name) + " sddl " + std::to_string(sddl.vt));
    *folder = new CFolder(false);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTask(BSTR path, IRegisteredTask** task) override {
    Log("GetTask " + vt::Narrow(path));
    *task = nullptr;
    if (g->lookup != S_OK) return g->lookup;
    if (!g->task) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    *task = new CTask;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RegisterTask(BSTR path, BSTR xml, LONG flags, VARIANT user,
                                         VARIANT password, TASK_LOGON_TYPE logon, VARIANT sddl,
                                         IRegisteredTask** task) override {
    Log("RegisterTask " + vt::Narrow(path) + " flags " + std::to_string(flags) + " user " +
        std::to_string(user.vt) + " password " + std::to_string(password.vt) + " logon " +
        std::to_string(logon) + " sddl " + std::to_string(sddl.vt) +
        (lstrcmpW(xml, kSystemRestoreTaskXml) == 0 ? " definition" : " other"));
    *task = nullptr;
    if (FAILED(g->registration)) return g->registration;
    g->task = true;
    if (task) *task = new CTask;
    return S_OK;
  }
  NOT_CALLED(get_Name, BSTR*)
  NOT_CALLED(get_Path, BSTR*)
  NOT_CALLED(GetFolders, LONG, ITaskFolderCollection**)
  NOT_CALLED(DeleteFolder, BSTR, LONG)
  NOT_CALLED(GetTasks, LONG, IRegisteredTaskCollection**)
  NOT_CALLED(DeleteTask, BSTR, LONG)
  NOT_CALLED(RegisterTaskDefinition, BSTR, ITaskDefinition*, LONG, VARIANT, VARIANT,
             TASK_LOGON_TYPE, VARIANT, IRegisteredTask**)
  NOT_CALLED(GetSecurityDescriptor, LONG, BSTR*)
  NOT_CALLED(SetSecurityDescriptor, BSTR, LONG)

 private:
  bool m_root;
};

class CService final : public CScripted<ITaskService> {
 public:
  HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) override {
    Log("service GetFolder " + vt::Narrow(path));
    *folder = nullptr;
    if (lstrcmpW(path, L"\\") == 0) {
      *folder = new CFolder(true);
      return S_OK;
    }
    if (!g->folder) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    *folder = new CFolder(false);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain,
                                    VARIANT password) override {
    Log("Connect " + std::to_string(server.vt + user.vt + domain.vt + password.vt));
    return S_OK;
  }
  NOT_CALLED(GetRunningTasks, LONG, IRunningTaskCollection**)
  NOT_CALLED(NewTask, DWORD, ITaskDefinition**)
  NOT_CALLED(get_Connected, VARIANT_BOOL*)
  NOT_CALLED(get_TargetServer, BSTR*)
  NOT_CALLED(get_ConnectedUser, BSTR*)
  NOT_CALLED(get_ConnectedDomain, BSTR*)
  NOT_CALLED(get_HighestVersion, DWORD*)
};

HRESULT WINAPI ScriptedCoCreateInstance(REFCLSID clsid, LPUNKNOWN, DWORD context, REFIID iid,
                                        LPVOID* out) {
  *out = nullptr;
  if (clsid != CLSID_TaskScheduler || iid != IID_ITaskService || context != CLSCTX_INPROC_SERVER ||
      !g->service)
    return REGDB_E_CLASSNOTREG;
  *out = static_cast<ITaskService*>(new CService);
  return S_OK;
}

// EnsureSystemRestoreTask and then SetSystemRestoreTaskEnabled, per state of
// the service.
TEST(SystemRestoreTask, RegistersOnlyAMissingTaskAndSwitchesIt) {
  const std::string connect = "Connect 0; ";
  const std::string open =
      connect + "service GetFolder \\; GetFolder Microsoft\\Windows\\SystemRestore; ";
  const std::string reg = "RegisterTask SR flags 2 user 0 password 0 logon 0 sddl 0 definition";
  const std::string enable =
      connect + "service GetFolder \\Microsoft\\Windows\\SystemRestore; GetTask SR";
  struct Row {
    const char* name;
    TaskScript script;
    VARIANT_BOOL enabled;
    int ensured, switched;
    std::string log;
  } rows[] = {
      {"task missing",
       {true, true, false},
       VARIANT_FALSE,
       1,
       1,
       open + "GetTask SR; " + reg + " | " + enable + "; put_Enabled 0"},
      {"task there",
       {true, true, true},
       VARIANT_TRUE,
       1,
       1,
       open + "GetTask SR | " + enable + "; put_Enabled -1"},
      {"folder missing",
       {true, false, false},
       VARIANT_FALSE,
       1,
       0,
       connect +
           "service GetFolder \\; GetFolder Microsoft\\Windows\\SystemRestore; "
           "CreateFolder Microsoft\\Windows\\SystemRestore sddl 0; GetTask SR; " +
           reg + " | " + connect + "service GetFolder \\Microsoft\\Windows\\SystemRestore"},
      {"lookup refused",
       {true, true, false, E_ACCESSDENIED},
       VARIANT_FALSE,
       1,
       0,
       open + "GetTask SR | " + enable},
      {"registration refused",
       {true, true, false, S_OK, E_ACCESSDENIED},
       VARIANT_FALSE,
       0,
       0,
       open + "GetTask SR; " + reg + " | " + enable},
      {"no task service", {false}, VARIANT_FALSE, 0, 0, " | "},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    g = &row.script;
    SystemRestoreApi api = SystemSystemRestoreApi();
    api.CoCreateInstance = ScriptedCoCreateInstance;
    EXPECT_EQ(row.ensured, EnsureSystemRestoreTask(api));
    const std::string ensureLog = g->log;
    g->log.clear();
    EXPECT_EQ(row.switched, SetSystemRestoreTaskEnabled(api, row.enabled));
    EXPECT_EQ(row.log, ensureLog + " | " + g->log);
    EXPECT_EQ(0, g->live) << "objects left unreleased";
    g = nullptr;
  }
}

}  // namespace
