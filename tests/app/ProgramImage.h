// Test helpers around the built program file: its path, patched copies, and
// a loader of the tests' own that maps it at an address of its choosing.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace apptest {

std::wstring ProgramPath();
std::vector<uint8_t> ReadProgram();

const IMAGE_NT_HEADERS* NtHeaders(const uint8_t* image);
const IMAGE_SECTION_HEADER* FindSection(const uint8_t* image, const char* name);
// File offset of an RVA in the file's bytes; 0 when no section holds it.
size_t RvaToOffset(const std::vector<uint8_t>& file, DWORD rva);

// Sets the file version of the copy to 1.b.c.0.
bool PatchFileVersion(std::vector<uint8_t>& file, WORD b, WORD c);
// Replaces the first occurrence of a NUL-terminated text by another of the
// same length.
bool ReplaceText(std::vector<uint8_t>& file, const std::string& from, const std::string& to);

// Maps the file as the system loader would lay it out, without relocating or
// binding it, at an address the system chooses. Never released: the mapped
// copy's runtime stays in use until the process ends.
uint8_t* MapImage(const std::vector<uint8_t>& file);
// An export of a mapped or loaded image by name.
void* FindExport(const uint8_t* image, const char* name);

// The program as a host process holds it: a copy written into dirUnix,
// loaded with LoadLibrary and initialised, once for the process (later
// calls give the same module whatever their folder). Null when that failed.
HMODULE HostedProgram(const std::string& dirUnix);

// Starts the command line's process with output (an inheritable handle, or
// null) as its standard output and error; a start refused is tried again.
// False (the failure printed) when it did not start.
bool StartProgram(std::wstring line, HANDLE output, PROCESS_INFORMATION* pi);

// A new inheritable file in the test's build tree for a run's standard
// output, its path in *path; INVALID_HANDLE_VALUE (printed) when it cannot
// be made. ReadOutputFile gives what was written to it and deletes it.
HANDLE NewOutputFile(std::wstring* path);
std::string ReadOutputFile(const std::wstring& path);

// Runs the program with the arguments and returns its full 32-bit exit code.
// A main window it opens is closed, or, without closeWindow, the run is
// stopped after five minutes and fails. output: an inheritable handle for its
// standard output and error, or null.
// program: another copy of the program (with its own settings file) to run.
bool RunProgram(const std::wstring& arguments, DWORD& exitCode, bool closeWindow = true,
                HANDLE output = nullptr, const std::wstring& program = L"");
// The same with its standard output (and error) caught in *output.
bool RunProgram(const std::wstring& arguments, DWORD& exitCode, std::string* output,
                const std::wstring& program = L"");

}  // namespace apptest
