// System Restore switching in the test process itself, as a native process
// does it: the recording client library stands in for the system's (Wine's
// is a stub), a recording policy object for the one Wine lacks; the registry
// and Wine's task service are the real ones.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "RestoreTestSupport.h"
#include "TestSupport.h"
#include "disktools/restore/SystemProtectionPolicy.h"
#include "disktools/restore/SystemRestore.h"
#include "disktools/restore/SystemRestoreApi.h"
#include "disktools/restore/SystemRestoreTask.h"

namespace {

struct Script {
  std::wstring systemDir;
  bool policyPresent = true;
  int policiesMade = 0;
  int policyRefs = 0;
  std::vector<std::string> policyCalls;
};
Script* g = nullptr;

std::string GuidText(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return vt::Narrow(text);
}

class CRecordingPolicy final : public ISystemProtectionPolicy {
 public:
  CRecordingPolicy() { ++g->policyRefs; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != kIidSystemProtectionPolicy) return E_NOINTERFACE;
    AddRef();
    *out = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++g->policyRefs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --g->policyRefs;
    if (!left) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE SetVolumeSetting(REFGUID client, LPCWSTR volume, DWORD mode,
                                             DWORD value) override {
    g->policyCalls.push_back("set " + GuidText(client) + " " + vt::Narrow(volume) + " " +
                             std::to_string(mode) + " " + std::to_string(value));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ApplyVolume(LPCWSTR volume, DWORD flags) override {
    g->policyCalls.push_back("apply " + vt::Narrow(volume) + " " + std::to_string(flags));
    return S_OK;
  }
};

BOOL WINAPI NotWow64(HANDLE, PBOOL wow64) {
  *wow64 = FALSE;
  return TRUE;
}

UINT WINAPI TestSystemDirectory(LPWSTR buffer, UINT size) {
  if (g->systemDir.size() >= size) return UINT(g->systemDir.size() + 1);
  lstrcpyW(buffer, g->systemDir.c_str());
  return UINT(g->systemDir.size());
}

HRESULT WINAPI TestCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                    LPVOID* out) {
  if (clsid != kClsidSystemProtectionPolicy)
    return CoCreateInstance(clsid, outer, context, iid, out);
  *out = nullptr;
  if (!g->policyPresent) return REGDB_E_CLASSNOTREG;
  ++g->policiesMade;
  *out = static_cast<ISystemProtectionPolicy*>(new CRecordingPolicy);
  return S_OK;
}

SystemRestoreApi NativeApi() {
  SystemRestoreApi api = SystemSystemRestoreApi();
  api.IsWow64Process = NotWow64;
  api.GetSystemDirectoryW = TestSystemDirectory;
  api.CoCreateInstance = TestCoCreateInstance;
  return api;
}

const std::wstring kRecorderDir = vt::ToWin(VRO_SRCLIENT_DIR_UNIX "/process");
// The recording client names the width of the process it was loaded into.
const std::string kWidth = std::to_string(sizeof(void*) * 8);

class SystemRestoreSwitchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g = &m_script;
    m_script.systemDir = kRecorderDir;
    m_dir = vt::ScratchDir();
    m_log = rt::StartClientLog(m_dir);
    m_volume = rt::VolumeOf(L'C');
    ASSERT_FALSE(m_volume.empty()) << "drive C: has no volume name here";
  }
  void TearDown() override {
    EXPECT_EQ(0, m_script.policyRefs) << "the policy object was not released";
    g = nullptr;
  }
  Script m_script;
  std::wstring m_dir;
  std::wstring m_log;
  std::string m_volume;
};

// Off and then on again for a lower-case letter: the client library, both
// protection clients of the policy, the apply call when switching off, the
// registry switch, and the task, registered once and then only switched.
TEST_F(SystemRestoreSwitchTest, SwitchesEveryChannelOffAndOnAgain) {
  rt::DeleteTask();
  rt::SetSessionInterval(7);
  SystemRestoreApi api = NativeApi();
  const std::string restore = GuidText(kSystemRestoreClient) + " " + m_volume;
  const std::string second = GuidText(kSecondProtectionClient) + " " + m_volume;

  ASSERT_EQ(1, SetVolumeSystemRestoreWith(api, nullptr, L'c', 0));
  EXPECT_EQ(std::vector<std::string>{kWidth + " DisableSR " + m_volume}, rt::ClientLogLines(m_log));
  EXPECT_EQ((std::vector<std::string>{"set " + restore + " 2 0", "set " + second + " 2 0",
                                      "apply " + m_volume + " 1"}),
            m_script.policyCalls);
  EXPECT_EQ(0, rt::SessionInterval());
  // Wine's service keeps the registration texts and the plain settings of
  // the definition (not its triggers, principal or action, and it does not
  // store the Enabled switch).
  const std::wstring xml = rt::TaskXml();
  EXPECT_NE(std::wstring::npos, xml.find(L"$(@%systemroot%\\system32\\srrstr.dll,-322)"))
      << vt::Narrow(xml);
  EXPECT_NE(std::wstring::npos, xml.find(L"<MultipleInstancesPolicy>IgnoreNew<"));
  EXPECT_NE(std::wstring::npos, xml.find(L"<RunOnlyIfIdle>true<"));

  // A mark in the registered definition survives the next switch: the task
  // is found, not registered again.
  ASSERT_TRUE(rt::RewriteTask(L"srrstr.dll,-321", L"marked by the test"));
  m_script.policyCalls.clear();
  ASSERT_EQ(1, SetVolumeSystemRestoreWith(api, nullptr, L'C', 1));
  EXPECT_EQ((std::vector<std::string>{kWidth + " DisableSR " + m_volume,
                                      kWidth + " EnableSREx " + m_volume + " 1"}),
            rt::ClientLogLines(m_log));
  EXPECT_EQ((std::vector<std::string>{"set " + restore + " 2 1", "set " + second + " 2 1"}),
            m_script.policyCalls);
  EXPECT_EQ(1, rt::SessionInterval());
  EXPECT_NE(std::wstring::npos, rt::TaskXml().find(L"marked by the test"));
}

// What happens when a piece is missing: a letter without a volume changes
// nothing; without the policy object only the client library is told; without
// the client library the policy still takes the switch.
TEST_F(SystemRestoreSwitchTest, MissingPiecesLeaveTheRestAlone) {
  wchar_t unused = 0;
  for (wchar_t letter = L'Y'; letter > L'D' && !unused; --letter)
    if (rt::VolumeOf(letter).empty()) unused = letter;
  ASSERT_NE(0, unused);
  const std::wstring emptyDir = m_dir + L"\\empty";
  ASSERT_TRUE(CreateDirectoryW(emptyDir.c_str(), nullptr));

  struct Row {
    const char* name;
    wchar_t letter;
    bool library, policy;
    int result;
    bool logged;
    int policiesMade, interval;
    bool task;
  } rows[] = {
      {"letter without a volume", unused, true, true, 0, false, 0, 7, false},
      {"no policy object", L'C', true, false, 1, true, 0, 7, false},
      {"no client library", L'C', false, true, 1, false, 1, 0, true},
      {"neither", L'C', false, false, 0, false, 0, 7, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    rt::DeleteTask();
    rt::SetSessionInterval(7);
    m_log = rt::StartClientLog(m_dir);
    m_script.systemDir = row.library ? kRecorderDir : emptyDir;
    m_script.policyPresent = row.policy;
    m_script.policiesMade = 0;
    SystemRestoreApi api = NativeApi();
    EXPECT_EQ(row.result, SetVolumeSystemRestoreWith(api, nullptr, row.letter, 0));
    EXPECT_EQ(row.logged ? 1u : 0u, rt::ClientLogLines(m_log).size());
    EXPECT_EQ(row.policiesMade, m_script.policiesMade);
    EXPECT_EQ(row.interval, rt::SessionInterval());
    EXPECT_EQ(row.task, !rt::TaskXml().empty());
  }
}

// The definition registered for a missing task, read by xmllint: well
// formed as the UTF-16 text it declares, and the values the task runs with.
TEST(SystemRestoreTaskXml, HoldsTheTaskDefinition) {
  const std::wstring path = vt::ScratchDir() + L"\\SR.xml";
  std::wstring text = L"\xFEFF";
  text += kSystemRestoreTaskXml;
  ASSERT_TRUE(vt::WriteAll(path, text.data(), text.size() * sizeof(wchar_t)));
  const std::string file = vt::Q(vt::ToUnix(path));
  std::string out;
  ASSERT_EQ(0, vt::Sh("xmllint --noout " + file, &out)) << out;

  struct Row {
    const char* path;
    const char* value;
  } rows[] = {
      {"/Task/@xmlns", "http://schemas.microsoft.com/windows/2004/02/mit/task"},
      {"/Task/RegistrationInfo/Author", "$(@%systemroot%\\system32\\srrstr.dll,-321)"},
      {"/Task/Triggers/CalendarTrigger[@id='SRCalendarTrigger']/StartBoundary",
       "2005-06-14T00:00:00"},
      {"/Task/Triggers/CalendarTrigger/ScheduleByDay/DaysInterval", "1"},
      {"/Task/Triggers/BootTrigger[@id='SRBootTrigger']/Delay", "PT30M"},
      {"/Task/Settings/IdleSettings/WaitTimeout", "PT23H"},
      {"/Task/Settings/StopIfGoingOnBatteries", "false"},
      {"/Task/Principals/Principal[@id='LocalSystem']/UserId", "S-1-5-18"},
      {"/Task/Actions[@Context='LocalSystem']/Exec/Command", "%windir%\\system32\\rundll32.exe"},
      {"/Task/Actions/Exec/Arguments", "/d srrstr.dll,ExecuteScheduledSPPCreation"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    // Each step is matched by its local name: the elements are in the
    // task namespace (first row).
    std::string command;
    if (std::string(row.path) == "/Task/@xmlns") {
      command = "xmllint --xpath 'namespace-uri(/*)' " + file;
    } else {
      std::string query;
      for (const char* p = row.path; *p == '/';) {
        const char* end = p + 1;
        while (*end && *end != '/' && *end != '[') ++end;
        query += "/*[local-name()='" + std::string(p + 1, end) + "']";
        p = end;
        while (*p == '[') {
          const char* close = strchr(p, ']');
          query.append(p, close + 1);
          p = close + 1;
        }
      }
      command = "xmllint --xpath \"string(" + query + ")\" " + file;
    }
    out.clear();
    ASSERT_EQ(0, vt::Sh(command, &out)) << out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    EXPECT_EQ(row.value, out);
  }
}

}  // namespace
