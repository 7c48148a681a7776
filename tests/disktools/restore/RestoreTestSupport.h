// What the System Restore tests share: the recording client library's log,
// the volume name of a drive as the system reports it, and the task "SR" as
// the task service holds it.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace rt {

// Points VRO_SRCLIENT_LOG at a new empty file in `dir`; the recording
// libraries (and the programs started from here) append to it.
std::wstring StartClientLog(const std::wstring& dir);
// Its lines, in order.
std::vector<std::string> ClientLogLines(const std::wstring& log);

// "\\?\Volume{...}\" of "X:\" as UTF-8, "" when it has none.
std::string VolumeOf(wchar_t letter);

// Removes the task (and nothing else), so that a test starts without it.
void DeleteTask();
// The task's definition as the service holds it, "" when missing.
std::wstring TaskXml();
// Registers the task anew from its own definition with every `from`
// replaced by `to` (a mark a later registration would wipe out).
bool RewriteTask(const std::wstring& from, const std::wstring& to);

// "RPSessionInterval" in the test process's own registry view (where a
// switch made in the process writes), -1 when missing; and setting it.
int SessionInterval();
void SetSessionInterval(DWORD value);

}  // namespace rt
