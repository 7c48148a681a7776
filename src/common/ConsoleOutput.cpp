#include "common/ConsoleOutput.h"

namespace {

volatile LONG g_lines = 0;
thread_local FrontEndLines* t_frontEnd = nullptr;

}  // namespace

// Keeps text, a line or several, in the front end of the thread.
void KeepFrontEndLine(const std::wstring& text) {
  if (!t_frontEnd) return;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of(L"\r\n", at);
    if (end == std::wstring::npos) end = text.size();
    if (end > at) t_frontEnd->m_lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
}

FrontEndLines::FrontEndLines() : m_outer(t_frontEnd) {
  t_frontEnd = this;
}

FrontEndLines::~FrontEndLines() {
  t_frontEnd = m_outer;
}

std::wstring FrontEndLines::Text() const {
  std::wstring text;
  for (const std::wstring& line : m_lines) text += (text.empty() ? L"" : L"\r\n") + line;
  return text;
}

bool FrontEndShowsLines() {
  return t_frontEnd != nullptr;
}

size_t FrontEndLinesKept() {
  return t_frontEnd ? t_frontEnd->Lines().size() : 0;
}

void WriteFrontEndLine(const std::wstring& text) {
  if (FrontEndShowsLines()) WriteCommandLine(text);
}

std::wstring ErrorText(DWORD error, LANGID language) {
  wchar_t text[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, language, text, ARRAYSIZE(text), nullptr);
  // A system without that language's texts gives its own.
  if (!n && language)
    n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, ARRAYSIZE(text), nullptr);
  std::wstring t(text, n < ARRAYSIZE(text) ? n : 0);
  for (wchar_t& c : t) {
    if (c == L'\r' || c == L'\n') c = L' ';
  }
  while (!t.empty() && t.back() == L' ') t.pop_back();
  return t;
}

HANDLE CommandOutput() {
  static HANDLE console = INVALID_HANDLE_VALUE;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out && out != INVALID_HANDLE_VALUE) return out;
  if (console == INVALID_HANDLE_VALUE && AttachConsole(ATTACH_PARENT_PROCESS))
    console =
        CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  return console;
}

void WriteCommandLine(const std::wstring& text) {
  CountCommandLine();
  KeepFrontEndLine(text);
  DWORD saved = GetLastError();
  HANDLE out = CommandOutput();
  DWORD written = 0;
  if (out != INVALID_HANDLE_VALUE && out &&
      !WriteConsoleW(out, text.c_str(), DWORD(text.size()), &written, nullptr)) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string utf8(size_t(bytes > 0 ? bytes : 0), 0);
    if (bytes > 0) {
      WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &utf8[0], bytes, nullptr,
                          nullptr);
      WriteFile(out, utf8.data(), DWORD(bytes), &written, nullptr);
    }
  }
  SetLastError(saved);
}

void WriteCommandLineA(const char* text, DWORD length) {
  CountCommandLine();
  KeepFrontEndLine(std::wstring(text, text + length));
  DWORD saved = GetLastError();
  HANDLE out = CommandOutput();
  DWORD written = 0;
  if (out != INVALID_HANDLE_VALUE && out && !WriteConsoleA(out, text, length, &written, nullptr))
    WriteFile(out, text, length, &written, nullptr);
  SetLastError(saved);
}

void CountCommandLine() {
  InterlockedIncrement(&g_lines);
}

long CommandLinesGiven() {
  return InterlockedCompareExchange(&g_lines, 0, 0);
}

std::wstring FailureLine(bool write, const std::wstring& path, DWORD error) {
  std::wstring why = ErrorText(error);
  return (write ? L"Could not write " : L"Could not read ") + path + L" (error " +
         std::to_wstring(error) + (why.empty() ? L"" : L": ") + why + L")\r\n";
}
