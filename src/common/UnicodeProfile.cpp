// Profile writing on UTF-16 files: parse, change, write back whole (or, while
// the file is held, change in memory and write when told).
#include "common/UnicodeProfile.h"

#include <windows.h>
#include <wchar.h>
#include <wctype.h>

#include <memory>
#include <unordered_map>
#include <vector>

namespace {

wchar_t FoldChar(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? c + 32 : c;
}

// Names of sections and lines as the writers match them: without regard to
// case, A-Z folded as the runtime folds them in the C locale.
std::wstring Folded(const wchar_t* name, size_t length) {
  std::wstring folded(name, length);
  for (wchar_t& c : folded) c = FoldChar(c);
  return folded;
}
std::wstring Folded(const std::wstring& name) {
  return Folded(name.c_str(), name.size());
}
bool SameFolded(const std::wstring& folded, const wchar_t* name) {
  size_t i = 0;
  for (; i < folded.size(); ++i)
    if (!name[i] || FoldChar(name[i]) != folded[i]) return false;
  return !name[i];
}

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
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

// The name of a name=data line (the text before its "=", trimmed), folded.
std::wstring LineKey(const std::wstring& line) {
  size_t end = NameEnd(line);
  if (end == std::wstring::npos) end = line.size();
  size_t begin = 0;
  while (begin < end && IsBlank(line[begin])) ++begin;
  while (end > begin && IsBlank(line[end - 1])) --end;
  return Folded(line.c_str() + begin, end - begin);
}

// Whether the name of a name=data line (the text before its "=", trimmed)
// is `name`, without regard to case.
bool LineNameIs(const std::wstring& line, const wchar_t* name) {
  size_t end = NameEnd(line);
  if (end == std::wstring::npos) end = line.size();
  size_t begin = 0;
  while (begin < end && IsBlank(line[begin])) ++begin;
  while (end > begin && IsBlank(line[end - 1])) --end;
  size_t i = 0;
  for (; begin + i < end; ++i)
    if (!name[i] || FoldChar(line[begin + i]) != FoldChar(name[i])) return false;
  return !name[i];
}

struct ScriptSection {
  // Sections of up to this many lines are searched line by line; a larger
  // one keeps an index of its names.
  static const size_t kIndexFrom = 16;

  std::wstring name;
  std::vector<std::wstring> lines;  // an empty one was removed
  // The first line of each name (folded), and whether a name stands on
  // more than one line (a file written by another hand); kept from
  // kIndexFrom lines on.
  std::unique_ptr<std::unordered_map<std::wstring, size_t>> names;
  bool repeated = false;

  explicit ScriptSection(const std::wstring& n) : name(n) {}

  size_t Find(const wchar_t* name) const {
    if (!names) {
      for (size_t i = 0; i < lines.size(); ++i)
        if (!lines[i].empty() && LineNameIs(lines[i], name)) return i;
      return std::wstring::npos;
    }
    auto it = names->find(Folded(name, wcslen(name)));
    return it == names->end() ? std::wstring::npos : it->second;
  }
  void Index(size_t i) {
    if (!names) {
      if (lines.size() <= kIndexFrom) return;
      names.reset(new std::unordered_map<std::wstring, size_t>());
      for (size_t j = 0; j < lines.size(); ++j)
        if (!lines[j].empty()) Index(j);
      return;
    }
    auto got = names->emplace(LineKey(lines[i]), i);
    if (!got.second) {
      repeated = true;
      if (got.first->second > i) got.first->second = i;
    }
  }
  // The line's name no longer at line i: the next line of that name, if
  // any, is the first.
  void Unindex(size_t i) {
    if (!names) return;
    const std::wstring key = LineKey(lines[i]);
    auto it = names->find(key);
    if (it == names->end() || it->second != i) return;
    names->erase(it);
    if (!repeated) return;
    for (size_t j = i + 1; j < lines.size(); ++j)
      if (!lines[j].empty() && LineKey(lines[j]) == key) {
        (*names)[key] = j;
        return;
      }
  }
  void Add(std::wstring line) {
    lines.push_back(std::move(line));
    Index(lines.size() - 1);
  }
  void Replace(size_t i, std::wstring line) {
    Unindex(i);
    lines[i] = std::move(line);
    Index(i);
  }
  void Remove(size_t i) {
    Unindex(i);
    lines[i].clear();
  }
  void Clear() {
    lines.clear();
    names.reset();
    repeated = false;
  }
};

const size_t kNoMark = (size_t)-1;

struct ScriptText {
  std::wstring preamble;  // everything before the first section, as read
  std::vector<ScriptSection> sections;
  std::unordered_map<std::wstring, size_t> names;  // folded name -> first section
  // The section found last (lines are mostly written one section after
  // another): its folded name and index.
  std::wstring lastName;
  size_t last = 0;
  // The sections there at the mark (CProfileHold::Mark), and whether one
  // of them changed since.
  size_t marked = kNoMark;
  bool changedBeforeMark = false;

  ScriptSection* Find(const wchar_t* name) {
    if (last < sections.size() && SameFolded(lastName, name)) return &sections[last];
    std::wstring folded = Folded(name, wcslen(name));
    auto it = names.find(folded);
    if (it == names.end()) return nullptr;
    last = it->second;
    lastName = std::move(folded);
    return &sections[last];
  }
  ScriptSection& Add(const std::wstring& name) {
    sections.emplace_back(name);
    names.emplace(Folded(name), sections.size() - 1);
    return sections.back();
  }
  void Erase(size_t i) {
    Changed(&sections[i]);
    if (marked != kNoMark && i < marked) --marked;
    sections.erase(sections.begin() + i);
    names.clear();
    for (size_t j = 0; j < sections.size(); ++j) names.emplace(Folded(sections[j].name), j);
    last = sections.size();
  }
  // Notes a change of a section (its lines about to change).
  void Changed(const ScriptSection* s) {
    if (marked != kNoMark && (size_t)(s - sections.data()) < marked) changedBeforeMark = true;
  }
};

std::wstring Trimmed(const std::wstring& s) {
  size_t b = s.find_first_not_of(L" \t");
  if (b == std::wstring::npos) return std::wstring();
  size_t e = s.find_last_not_of(L" \t");
  return s.substr(b, e - b + 1);
}

bool IsHexDataLine(const std::wstring& line) {
  size_t eq = NameEnd(line);
  if (eq == std::wstring::npos) return false;
  ++eq;
  while (eq < line.size() && IsBlank(line[eq])) ++eq;
  return line.size() - eq >= 3 && _wcsnicmp(line.c_str() + eq, L"hex", 3) == 0;
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
  // The byte-order mark, then the text as it is in memory (UTF-16LE).
  std::wstring file;
  file.reserve(text.size() + 1);
  file.push_back(L'\xFEFF');
  file += text;
  const DWORD bytes = (DWORD)(file.size() * sizeof(wchar_t));
  HANDLE h =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = ::WriteFile(h, file.data(), bytes, &put, nullptr) && put == bytes;
  ok = CloseHandle(h) && ok;
  return ok;
}

void ParseText(const std::wstring& text, ScriptText& script) {
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
      current = &script.Add(t.substr(1, t.size() - 2));
    } else if (!current) {
      script.preamble += raw;
    } else if (!t.empty()) {
      current->Add(t);
    }
    pos = next;
  }
}

bool Parse(const wchar_t* path, ScriptText& script) {
  std::wstring text;
  if (!ReadWhole(path, text)) return false;
  ParseText(text, script);
  return true;
}

// The text of the preamble and the sections from `first` on.
std::wstring Render(const ScriptText& script, size_t first) {
  size_t chars = script.preamble.size();
  for (size_t i = first; i < script.sections.size(); ++i) {
    chars += script.sections[i].name.size() + 4;
    for (const std::wstring& line : script.sections[i].lines) chars += line.size() + 2;
  }
  std::wstring text;
  text.reserve(chars);
  text += script.preamble;
  for (size_t i = first; i < script.sections.size(); ++i) {
    const ScriptSection& s = script.sections[i];
    text.append(L"[").append(s.name).append(L"]\r\n");
    for (const std::wstring& line : s.lines)
      if (!line.empty()) text.append(line).append(L"\r\n");
  }
  return text;
}

bool Store(const wchar_t* path, const ScriptText& script) {
  return WriteWhole(path, Render(script, 0));
}

// A file held in memory (CProfileHold).
struct HeldFile {
  std::wstring path;
  int holds = 0;
  bool loaded = false;   // text holds the file
  bool changed = false;  // text differs from the file
  ScriptText text;
};

SRWLOCK g_heldLock = SRWLOCK_INIT;
std::vector<HeldFile*> g_held;
volatile LONG g_heldCount = 0;  // files in g_held, read without the lock

bool SamePath(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size(); ++i)
    if (!b[i] || FoldChar(a[i]) != FoldChar(b[i])) return false;
  return !b[i];
}

HeldFile* FindHeld(const wchar_t* path) {
  if (InterlockedCompareExchange(&g_heldCount, 0, 0) == 0) return nullptr;
  HeldFile* found = nullptr;
  AcquireSRWLockShared(&g_heldLock);
  for (HeldFile* h : g_held)
    if (SamePath(h->path, path)) {
      found = h;
      break;
    }
  ReleaseSRWLockShared(&g_heldLock);
  return found;
}

// The held file's text, read at its first use; false when it cannot be.
bool Loaded(HeldFile* h) {
  if (h->loaded) return true;
  ScriptText text;
  if (!Parse(h->path.c_str(), text)) return false;
  h->text = std::move(text);
  h->loaded = true;
  return true;
}

// What a change did: failed, left the text as it was, changed it.
enum Outcome { kFailed = -1, kUnchanged = 0, kChanged = 1 };

// Runs `change` on the file's text: a held file's in memory, another read
// and, when changed, written back. Nonzero on success.
template <class Change>
int Edit(const wchar_t* path, Change change) {
  if (HeldFile* h = FindHeld(path)) {
    if (!Loaded(h)) return 0;
    const Outcome outcome = change(h->text);
    if (outcome == kChanged) h->changed = true;
    return outcome != kFailed;
  }
  ScriptText text;
  if (!Parse(path, text)) return 0;
  const Outcome outcome = change(text);
  if (outcome == kFailed) return 0;
  return outcome == kUnchanged || Store(path, text) ? 1 : 0;
}

// Runs `look` on the file's text without changing it; false when the file
// cannot be read.
template <class Look>
bool Read(const wchar_t* path, Look look) {
  return Edit(path, [&](ScriptText& text) {
           look(text);
           return kUnchanged;
         }) != 0;
}

}  // namespace

int WriteUnicodeFile(const wchar_t* path, const std::wstring& text) {
  if (!path || !WriteWhole(path, text)) return 0;
  if (HeldFile* h = FindHeld(path)) {
    h->text = ScriptText();
    ParseText(text, h->text);
    h->loaded = true;
    h->changed = false;
  }
  return 1;
}

int DeleteProfileFile(const wchar_t* path) {
  if (!path) return 0;
  if (HeldFile* h = FindHeld(path)) {
    h->text = ScriptText();
    h->loaded = false;
    h->changed = false;
  }
  return DeleteFileW(path) || GetLastError() == ERROR_FILE_NOT_FOUND ? 1 : 0;
}

int WriteProfileValue(const wchar_t* path, const wchar_t* section, const wchar_t* name,
                      const wchar_t* data) {
  if (!path || !section || !*section || !name) return 0;
  return Edit(path, [&](ScriptText& script) {
    ScriptSection* s = script.Find(section);
    if (!data) {
      const size_t i = s ? s->Find(name) : std::wstring::npos;
      if (i == std::wstring::npos) return kUnchanged;
      script.Changed(s);
      s->Remove(i);
      return kChanged;
    }
    const size_t nameChars = wcslen(name), dataChars = wcslen(data);
    std::wstring line;
    line.reserve(nameChars + 1 + dataChars);
    line.append(name, nameChars).append(1, L'=').append(data, dataChars);
    if (s)
      script.Changed(s);
    else
      s = &script.Add(section);
    const size_t i = s->Find(name);
    if (i == std::wstring::npos)
      s->Add(std::move(line));
    else
      s->Replace(i, std::move(line));
    return kChanged;
  });
}

int WriteProfileSection(const wchar_t* path, const wchar_t* section, const wchar_t* lines) {
  if (!path || !section || !*section) return 0;
  return Edit(path, [&](ScriptText& script) {
    ScriptSection* s = script.Find(section);
    if (s)
      script.Changed(s);
    else
      s = &script.Add(section);
    s->Clear();
    for (const wchar_t* p = lines; p && *p; p += wcslen(p) + 1) s->Add(p);
    return kChanged;
  });
}

bool ReadProfileValue(const wchar_t* path, const wchar_t* section, const wchar_t* name,
                      std::wstring& data) {
  if (!path || !section || !name) return false;
  bool found = false;
  Read(path, [&](ScriptText& script) {
    ScriptSection* s = script.Find(section);
    const size_t i = s ? s->Find(name) : std::wstring::npos;
    if (i == std::wstring::npos) return;
    const std::wstring& line = s->lines[i];
    size_t eq = NameEnd(line);
    data = eq == std::wstring::npos ? std::wstring() : Trimmed(line.substr(eq + 1));
    found = true;
  });
  return found;
}

bool ReadProfileSection(const wchar_t* path, const wchar_t* section, std::wstring& lines) {
  if (!path || !section) return false;
  bool found = false;
  Read(path, [&](ScriptText& script) {
    ScriptSection* s = script.Find(section);
    if (!s) return;
    lines.clear();
    for (const std::wstring& line : s->lines) {
      if (line.empty()) continue;
      lines += line;
      lines.push_back(L'\0');
    }
    lines.push_back(L'\0');
    found = true;
  });
  return found;
}

bool ReadProfileText(const wchar_t* path, std::wstring& text) {
  if (!path) return false;
  HeldFile* h = FindHeld(path);
  if (h && h->loaded) {
    text = Render(h->text, 0);
    return true;
  }
  return ReadWhole(path, text);
}

bool HasProfileSection(const wchar_t* path, const wchar_t* section) {
  bool found = false;
  if (path && section) Read(path, [&](ScriptText& script) { found = script.Find(section); });
  return found;
}

std::vector<std::wstring> ListProfileSections(const wchar_t* path) {
  std::vector<std::wstring> names;
  if (path)
    Read(path, [&](ScriptText& script) {
      for (const ScriptSection& s : script.sections) names.push_back(s.name);
    });
  return names;
}

bool RemoveProfileSection(const wchar_t* path, const wchar_t* section) {
  if (!path || !section) return false;
  bool found = false;
  const int written = Edit(path, [&](ScriptText& script) {
    for (size_t i = 0; i < script.sections.size(); ++i)
      if (_wcsicmp(script.sections[i].name.c_str(), section) == 0) {
        script.Erase(i);
        found = true;
        return kChanged;
      }
    return kUnchanged;
  });
  return found && written;
}

CProfileHold::CProfileHold(const wchar_t* path) : m_path(path ? path : L"") {
  AcquireSRWLockExclusive(&g_heldLock);
  HeldFile* held = nullptr;
  for (HeldFile* h : g_held)
    if (SamePath(h->path, m_path.c_str())) held = h;
  if (!held) {
    held = new HeldFile();
    held->path = m_path;
    g_held.push_back(held);
    InterlockedIncrement(&g_heldCount);
  }
  ++held->holds;
  ReleaseSRWLockExclusive(&g_heldLock);
}

CProfileHold::~CProfileHold() {
  AcquireSRWLockExclusive(&g_heldLock);
  HeldFile* last = nullptr;
  for (size_t i = 0; i < g_held.size(); ++i)
    if (SamePath(g_held[i]->path, m_path.c_str())) {
      if (--g_held[i]->holds == 0) {
        last = g_held[i];
        g_held.erase(g_held.begin() + i);
        InterlockedDecrement(&g_heldCount);
      }
      break;
    }
  ReleaseSRWLockExclusive(&g_heldLock);
  if (last && last->loaded && last->changed) Store(last->path.c_str(), last->text);
  delete last;
}

void CProfileHold::Mark() {
  HeldFile* h = FindHeld(m_path.c_str());
  if (!h || !Loaded(h)) return;
  h->text.marked = h->text.sections.size();
  h->text.changedBeforeMark = false;
}

bool CProfileHold::TextAddedSinceMark(std::wstring* text) {
  HeldFile* h = FindHeld(m_path.c_str());
  if (!h || !h->loaded || h->text.marked == kNoMark || h->text.changedBeforeMark) return false;
  *text = Render(h->text, h->text.marked);
  return true;
}

int CProfileHold::Flush() {
  HeldFile* h = FindHeld(m_path.c_str());
  if (!h || !h->loaded || !h->changed) return 1;
  if (!Store(m_path.c_str(), h->text)) return 0;
  h->changed = false;
  return 1;
}
