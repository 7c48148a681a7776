#include "ProgramImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "TestSupport.h"

namespace apptest {

std::wstring ProgramPath() {
  return vt::ToWin(VRO_PROGRAM_UNIX);
}

std::vector<uint8_t> ReadProgram() {
  std::vector<uint8_t> data;
  vt::ReadAll(ProgramPath(), data);
  return data;
}

HMODULE HostedProgram(const std::string& dirUnix) {
  static HMODULE module = [&] {
    vt::Sh("mkdir -p " + vt::Q(dirUnix));
    std::wstring program = vt::ToWin(dirUnix + "/hosted_session.exe");
    HMODULE m = vt::WriteAll(program, ReadProgram()) ? LoadLibraryW(program.c_str()) : nullptr;
    typedef DWORD(WINAPI * InitializeFn)(void*, decltype(&LoadLibraryA), decltype(&GetProcAddress));
    auto initialize = m ? reinterpret_cast<InitializeFn>(GetProcAddress(m, "Initialize")) : nullptr;
    return initialize && initialize(m, LoadLibraryA, GetProcAddress) ? m : nullptr;
  }();
  return module;
}

const IMAGE_NT_HEADERS* NtHeaders(const uint8_t* image) {
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  return reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
}

const IMAGE_SECTION_HEADER* FindSection(const uint8_t* image, const char* name) {
  const IMAGE_NT_HEADERS* nt = NtHeaders(image);
  const IMAGE_SECTION_HEADER* s = IMAGE_FIRST_SECTION(nt);
  for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++s)
    if (strncmp(reinterpret_cast<const char*>(s->Name), name, 8) == 0) return s;
  return nullptr;
}

size_t RvaToOffset(const std::vector<uint8_t>& file, DWORD rva) {
  const IMAGE_NT_HEADERS* nt = NtHeaders(file.data());
  const IMAGE_SECTION_HEADER* s = IMAGE_FIRST_SECTION(nt);
  for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++s)
    if (rva >= s->VirtualAddress && rva < s->VirtualAddress + s->SizeOfRawData)
      return rva - s->VirtualAddress + s->PointerToRawData;
  return 0;
}

bool PatchFileVersion(std::vector<uint8_t>& file, WORD b, WORD c) {
  // The fixed record follows the block's key, L"VS_VERSION_INFO", padded to
  // 32 bits; the signature alone also stands in the code that checks it.
  static const wchar_t kKey[] = L"VS_VERSION_INFO";
  const uint8_t* key = reinterpret_cast<const uint8_t*>(kKey);
  for (auto at = file.begin();
       (at = std::search(at, file.end(), key, key + sizeof kKey)) != file.end(); ++at) {
    if (at - file.begin() < 6) continue;
    const size_t block = size_t(at - file.begin()) - 6;
    const size_t fixed = block + ((6 + sizeof kKey + 3) & ~size_t(3));
    if (fixed + sizeof(VS_FIXEDFILEINFO) > file.size()) return false;
    VS_FIXEDFILEINFO info;
    memcpy(&info, &file[fixed], sizeof info);
    if (info.dwSignature != 0xFEEF04BD) continue;
    info.dwFileVersionMS = (1u << 16) | b;
    info.dwFileVersionLS = DWORD(c) << 16;
    memcpy(&file[fixed], &info, sizeof info);
    return true;
  }
  return false;
}

bool ReplaceText(std::vector<uint8_t>& file, const std::string& from, const std::string& to) {
  if (from.size() != to.size()) return false;
  std::string needle = from + '\0';
  auto at = std::search(file.begin(), file.end(), needle.begin(), needle.end());
  if (at == file.end()) return false;
  std::copy(to.begin(), to.end(), at);
  return true;
}

uint8_t* MapImage(const std::vector<uint8_t>& file) {
  const IMAGE_NT_HEADERS* nt = NtHeaders(file.data());
  auto base = static_cast<uint8_t*>(VirtualAlloc(nullptr, nt->OptionalHeader.SizeOfImage,
                                                 MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
  if (!base) return nullptr;
  memcpy(base, file.data(), nt->OptionalHeader.SizeOfHeaders);
  const IMAGE_SECTION_HEADER* s = IMAGE_FIRST_SECTION(nt);
  for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++s) {
    DWORD size =
        std::min(s->SizeOfRawData, s->Misc.VirtualSize ? s->Misc.VirtualSize : s->SizeOfRawData);
    if (size && s->PointerToRawData + size <= file.size())
      memcpy(base + s->VirtualAddress, file.data() + s->PointerToRawData, size);
  }
  return base;
}

void* FindExport(const uint8_t* image, const char* name) {
  const IMAGE_NT_HEADERS* nt = NtHeaders(image);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (!dir.VirtualAddress) return nullptr;
  auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(image + dir.VirtualAddress);
  auto names = reinterpret_cast<const DWORD*>(image + exports->AddressOfNames);
  auto ordinals = reinterpret_cast<const WORD*>(image + exports->AddressOfNameOrdinals);
  auto functions = reinterpret_cast<const DWORD*>(image + exports->AddressOfFunctions);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    if (strcmp(reinterpret_cast<const char*>(image + names[i]), name) == 0)
      return const_cast<uint8_t*>(image + functions[ordinals[i]]);
  return nullptr;
}

namespace {

// Posts WM_CLOSE to the program's main window (the modeless dialog with the
// two pane lists, 1023 and 1024; its id slot holds its menu) when the
// process shows one.
BOOL CALLBACK CloseWhenMainWindow(HWND window, LPARAM processId) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == DWORD(processId) && GetDlgItem(window, 1023) && GetDlgItem(window, 1024) &&
      IsWindowVisible(window)) {
    PostMessageW(window, WM_CLOSE, 0, 0);
  }
  return TRUE;
}

void CloseMainWindowOf(DWORD processId) {
  EnumWindows(CloseWhenMainWindow, LPARAM(processId));
}

// A run that could not be made says which step failed and its error code:
// the caller's failure shows only the arguments.
bool Failed(const char* step, const std::wstring& what) {
  DWORD error = GetLastError();
  fprintf(stderr, "running the program: %s failed with error %lu: %s\n", step, error,
          vt::Narrow(what).c_str());
  return false;
}

// The output file stays open to the program's handles, and may be deleted
// while one it left lingers.
const DWORD kOutputShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

bool StartProgram(std::wstring line, HANDLE output, PROCESS_INFORMATION* pi) {
  STARTUPINFOW si = {sizeof si};
  if (output) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = output;
    si.hStdError = output;
  }
  // A start Wine refuses now and then on a loaded machine is tried again:
  // a program that did not start has done nothing.
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, output != nullptr, 0, nullptr,
                       nullptr, &si, pi))
      return true;
    Failed("CreateProcessW", line);
    if (attempt == 3) return false;
    Sleep(1000);
  }
}

HANDLE NewOutputFile(std::wstring* path) {
  static LONG counter = 0;
  char tag[160];
  snprintf(tag, sizeof tag, "/testtmp/run-%s_%lu_%ld.out", vt::ExeName().c_str(),
           GetCurrentProcessId(), InterlockedIncrement(&counter));
  CreateDirectoryW(vt::ToWin(vt::BinaryDirUnix() + "/testtmp").c_str(), nullptr);
  *path = vt::ToWin(vt::BinaryDirUnix() + tag);
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileW(path->c_str(), GENERIC_WRITE, kOutputShare, &sa, CREATE_ALWAYS, 0,
                           nullptr);
  if (out == INVALID_HANDLE_VALUE) Failed("CreateFileW (the output file)", *path);
  return out;
}

std::string ReadOutputFile(const std::wstring& path) {
  std::vector<uint8_t> text;
  vt::ReadAll(path, text);
  DeleteFileW(path.c_str());
  return std::string(text.begin(), text.end());
}

bool RunProgram(const std::wstring& arguments, DWORD& exitCode, bool closeWindow, HANDLE output,
                const std::wstring& program) {
  std::wstring line = L"\"" + (program.empty() ? ProgramPath() : program) + L"\" " + arguments;
  PROCESS_INFORMATION pi;
  if (!StartProgram(line, output, &pi)) return false;
  // A run that opens the main window (no batch command, or "/format" and
  // "/merge" before the window) ends when the window is closed; without
  // closeWindow it is stopped and fails. The limit is far above what a
  // command of the tests takes on a loaded machine.
  DWORD wait = WAIT_TIMEOUT;
  for (int i = 0; i < 1500 && wait == WAIT_TIMEOUT; ++i) {
    wait = WaitForSingleObject(pi.hProcess, 200);
    if (wait == WAIT_TIMEOUT && closeWindow) CloseMainWindowOf(pi.dwProcessId);
  }
  bool ok = true;
  if (wait == WAIT_TIMEOUT) {
    TerminateProcess(pi.hProcess, 1);
    ok = Failed("the wait (no end within five minutes)", line);
  } else if (wait != WAIT_OBJECT_0) {
    ok = Failed("WaitForSingleObject", line);
  } else if (!GetExitCodeProcess(pi.hProcess, &exitCode)) {
    ok = Failed("GetExitCodeProcess", line);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return ok;
}

bool RunProgram(const std::wstring& arguments, DWORD& exitCode, std::string* output,
                const std::wstring& program) {
  if (!output) return RunProgram(arguments, exitCode, true, nullptr, program);
  std::wstring outPath;
  HANDLE out = NewOutputFile(&outPath);
  if (out == INVALID_HANDLE_VALUE) return false;
  bool ok = RunProgram(arguments, exitCode, true, out, program);
  CloseHandle(out);
  *output = ReadOutputFile(outPath);
  return ok;
}

}  // namespace apptest
