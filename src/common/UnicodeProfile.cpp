// Profile writing on UTF-16 files: parse, change, write back whole.
#include "common/UnicodeProfile.h"

#include <windows.h>
#include <wchar.h>

#include <vector>

namespace {

struct ScriptSection {
  std::wstring name;
  std::vector<std::wstring> lines;
};

struct ScriptText {
  std::wstring preamble;  // everything before the first section, as read
  std::vector<ScriptSection> sections;
};

std::wstring Trimmed(const std::wstring& s) {
  size_t b = s.find_first_not_of(L" \t");
  if (b == std::wstring::npos) return std::wstring();
  size_t e = s.find_last_not_of(L" \t");
  return s.substr(b, e - b + 1);
}

// Where the "=" of a name=data line stands: after the name in quotes when
// the line begins with one that closes and is followed by "=" (a backslash
// taking the character after it, as a .reg name is written, so the name may
// hold "="), else the first "="; npos when there is none.
size_t NameEnd(const std::wstring& line) {
  if (!line.empty() && line[0] == L'"') {
    for (size_t i = 1; i < line.size(); ++i) {
      if (line[i] == L'\\') {
        ++i;
      } else if (line[i] == L'"') {
        size_t eq = line.find_first_not_of(L" \t", i + 1);
        if (eq != std::wstring::npos && line[eq] == L'=') return eq;
        break;
      }
    }
  }
  return line.find(L'=');
}

// The name of a name=data line: the text before its "=", trimmed.
std::wstring LineName(const std::wstring& line) {
  size_t eq = NameEnd(line);
  return Trimmed(eq == std::wstring::npos ? line : line.substr(0, eq));
}

bool IsHexDataLine(const std::wstring& line) {
  size_t eq = NameEnd(line);
  if (eq == std::wstring::npos) return false;
  std::wstring data = Trimmed(line.substr(eq + 1));
  return _wcsnicmp(data.c_str(), L"hex", 3) == 0;
}

bool ReadWhole(const wchar_t* path, std::wstring& text) {
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(h, &size) && size.QuadPart < 0x40000000;
  std::vector<unsigned char> bytes(ok ? (size_t)size.QuadPart : 0);
  DWORD got = 0;
  if (ok && !bytes.empty())
    ok = ::ReadFile(h, bytes.data(), (DWORD)bytes.size(), &got, nullptr) && got == bytes.size();
  CloseHandle(h);
  if (!ok) return false;
  // A script is always UTF-16LE with its mark; anything else is not ours.
  if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) return false;
  size_t chars = (bytes.size() - 2) / 2;
  text.assign(chars, L'\0');
  for (size_t i = 0; i < chars; ++i)
    text[i] = (wchar_t)(bytes[2 + 2 * i] | (bytes[3 + 2 * i] << 8));
  return true;
}

bool WriteWhole(const wchar_t* path, const std::wstring& text) {
  std::vector<unsigned char> bytes;
  bytes.reserve(2 + text.size() * 2);
  bytes.push_back(0xFF);
  bytes.push_back(0xFE);
  for (wchar_t c : text) {
    bytes.push_back((unsigned char)c);
    bytes.push_back((unsigned char)(c >> 8));
  }
  HANDLE h =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = ::WriteFile(h, bytes.data(), (DWORD)bytes.size(), &put, nullptr) && put == bytes.size();
  ok = CloseHandle(h) && ok;
  return ok;
}

bool Parse(const wchar_t* path, ScriptText& script) {
  std::wstring text;
  if (!ReadWhole(path, text)) return false;
  ScriptSection* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(L'\n', pos);
    size_t next = end == std::wstring::npos ? text.size() : end + 1;
    std::wstring raw = text.substr(pos, next - pos);
    std::wstring line = raw;
    while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
    std::wstring t = Trimmed(line);
    // Hex data too long for one line goes on after "\" CR LF: keep the
    // continuation inside its line.
    if (current && !t.empty() && t.back() == L'\\' && IsHexDataLine(t)) {
      while (next < text.size()) {
        size_t more = text.find(L'\n', next);
        size_t after = more == std::wstring::npos ? text.size() : more + 1;
        std::wstring piece = text.substr(next, after - next);
        while (!piece.empty() && (piece.back() == L'\n' || piece.back() == L'\r')) piece.pop_back();
        t += L"\r\n" + piece;
        next = after;
        if (piece.empty() || piece.back() != L'\\') break;
      }
    }
    if (t.size() >= 2 && t.front() == L'[' && t.back() == L']') {
      script.sections.push_back({t.substr(1, t.size() - 2), {}});
      current = &script.sections.back();
    } else if (!current) {
      script.preamble += raw;
    } else if (!t.empty()) {
      current->lines.push_back(t);
    }
    pos = next;
  }
  return true;
}

bool Store(const wchar_t* path, const ScriptText& script) {
  std::wstring text = script.preamble;
  for (const ScriptSection& s : script.sections) {
    text += L"[" + s.name + L"]\r\n";
    for (const std::wstring& line : s.lines) text += line + L"\r\n";
  }
  return WriteWhole(path, text);
}

ScriptSection* FindSection(ScriptText& script, const wchar_t* name) {
  for (ScriptSection& s : script.sections)
    if (_wcsicmp(s.name.c_str(), name) == 0) return &s;
  return nullptr;
}

}  // namespace

int WriteUnicodeFile(const wchar_t* path, const std::wstring& text) {
  return path && WriteWhole(path, text) ? 1 : 0;
}

int WriteProfileValue(const wchar_t* path, const wchar_t* section, const wchar_t* name,
                      const wchar_t* data) {
  if (!path || !section || !*section || !name) return 0;
  ScriptText script;
  if (!Parse(path, script)) return 0;
  ScriptSection* s = FindSection(script, section);
  if (!data) {
    if (!s) return 1;
    for (size_t i = 0; i < s->lines.size(); ++i)
      if (_wcsicmp(LineName(s->lines[i]).c_str(), name) == 0) {
        s->lines.erase(s->lines.begin() + i);
        return Store(path, script) ? 1 : 0;
      }
    return 1;
  }
  std::wstring line = std::wstring(name) + L"=" + data;
  if (!s) {
    script.sections.push_back({section, {}});
    s = &script.sections.back();
  }
  bool replaced = false;
  for (std::wstring& existing : s->lines)
    if (_wcsicmp(LineName(existing).c_str(), name) == 0) {
      existing = line;
      replaced = true;
      break;
    }
  if (!replaced) s->lines.push_back(line);
  return Store(path, script) ? 1 : 0;
}

int WriteProfileSection(const wchar_t* path, const wchar_t* section, const wchar_t* lines) {
  if (!path || !section || !*section) return 0;
  ScriptText script;
  if (!Parse(path, script)) return 0;
  ScriptSection* s = FindSection(script, section);
  if (!s) {
    script.sections.push_back({section, {}});
    s = &script.sections.back();
  }
  s->lines.clear();
  for (const wchar_t* p = lines; p && *p; p += wcslen(p) + 1) s->lines.push_back(p);
  return Store(path, script) ? 1 : 0;
}

bool ReadProfileValue(const wchar_t* path, const wchar_t* section, const wchar_t* name,
                      std::wstring& data) {
  ScriptText script;
  if (!path || !section || !name || !Parse(path, script)) return false;
  ScriptSection* s = FindSection(script, section);
  if (!s) return false;
  for (const std::wstring& line : s->lines)
    if (_wcsicmp(LineName(line).c_str(), name) == 0) {
      size_t eq = NameEnd(line);
      data = eq == std::wstring::npos ? std::wstring() : Trimmed(line.substr(eq + 1));
      return true;
    }
  return false;
}

bool ReadProfileSection(const wchar_t* path, const wchar_t* section, std::wstring& lines) {
  ScriptText script;
  if (!path || !section || !Parse(path, script)) return false;
  ScriptSection* s = FindSection(script, section);
  if (!s) return false;
  lines.clear();
  for (const std::wstring& line : s->lines) {
    lines += line;
    lines.push_back(L'\0');
  }
  lines.push_back(L'\0');
  return true;
}

std::vector<std::wstring> ListProfileSections(const wchar_t* path) {
  ScriptText script;
  std::vector<std::wstring> names;
  if (!path || !Parse(path, script)) return names;
  for (const ScriptSection& s : script.sections) names.push_back(s.name);
  return names;
}

bool RemoveProfileSection(const wchar_t* path, const wchar_t* section) {
  ScriptText script;
  if (!path || !section || !Parse(path, script)) return false;
  for (size_t i = 0; i < script.sections.size(); ++i)
    if (_wcsicmp(script.sections[i].name.c_str(), section) == 0) {
      script.sections.erase(script.sections.begin() + i);
      return Store(path, script);
    }
  return false;
}
