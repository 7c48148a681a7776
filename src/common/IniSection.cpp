#include "common/IniSection.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/TextOps.h"
#include "common/TextSearch.h"

namespace {

const int kHeaderChars = 200;

// A read-only view of a whole file.
class MappedFile {
 public:
  explicit MappedFile(const wchar_t* path) {
    file_ = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_, &size) || size.QuadPart == 0 || size.QuadPart > 0x7FFFFFFF) return;
    mapping_ = CreateFileMappingW(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapping_) return;
    data_ = static_cast<const char*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
    if (data_) size_ = static_cast<size_t>(size.QuadPart);
  }
  ~MappedFile() {
    if (data_) UnmapViewOfFile(data_);
    if (mapping_) CloseHandle(mapping_);
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  const char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE mapping_ = nullptr;
  const char* data_ = nullptr;
  size_t size_ = 0;
};

// The two encodings: the folding search and the conversion into UTF-16.
const wchar_t* Find(const wchar_t* hay, size_t len, const wchar_t* pat, size_t patLen) {
  return FindTextNoCaseCounted(hay, static_cast<ptrdiff_t>(len), pat, patLen);
}
const char* Find(const char* hay, size_t len, const char* pat, size_t patLen) {
  return FindBytesNoCase(hay, static_cast<ptrdiff_t>(len), pat, patLen);
}
int ToWide(const wchar_t* from, int n, wchar_t* to, int room) {
  if (n > room) return 0;
  wmemcpy(to, from, n);
  return n;
}
int ToWide(const char* from, int n, wchar_t* to, int room) {
  return MultiByteToWideChar(CP_ACP, 0, from, n, to, room);
}

template <typename C>
bool IsBlank(C c) {
  return c == ' ' || c == '\t';
}

// True when text[at] begins a line: only blanks stand between it and the
// previous line break or the start of the text (`bodyStart`).
template <typename C>
bool AtLineStart(const C* text, size_t at, size_t bodyStart) {
  while (at > bodyStart && IsBlank(text[at - 1])) --at;
  return at == bodyStart || text[at - 1] == '\n' || text[at - 1] == '\r';
}

// Where the sections of a text may begin and end: each "[" that stands at
// the start of a line (blanks before it allowed), and each line break
// followed at once by "[".
struct SectionMarks {
  std::vector<size_t> headers;
  std::vector<size_t> breaks;
};

template <typename C>
void FindSectionMarks(const C* text, size_t len, size_t bodyStart, SectionMarks* marks) {
  bool lineStart = true;
  for (size_t i = bodyStart; i < len; ++i) {
    const C c = text[i];
    if (c == '[' && lineStart) marks->headers.push_back(i);
    if (c == '\n' && i + 1 < len && text[i + 1] == '[') marks->breaks.push_back(i);
    lineStart = c == '\r' || c == '\n' || (lineStart && IsBlank(c));
  }
}

template <typename C>
bool HeaderAt(const C* text, size_t len, size_t at, const C* header, size_t headerLen) {
  if (len - at < headerLen) return false;
  for (size_t k = 0; k < headerLen; ++k) {
    C a = text[at + k], b = header[k];
    if (a >= 'A' && a <= 'Z') a += 32;
    if (b >= 'A' && b <= 'Z') b += 32;
    if (a != b) return false;
  }
  return true;
}

// The text of every section of the name, in file order: an INF may split
// one section over several headers, and its reader takes them as one.
// With the text's marks (found once for all its sections), only the
// headers are looked at; without them the text is searched.
template <typename C>
wchar_t* ReadSection(const C* text, size_t len, const C* header, size_t headerLen,
                     size_t bodyStart, const SectionMarks* marks = nullptr) {
  std::vector<std::pair<size_t, size_t>> parts;
  size_t room = 4;
  size_t nextHeader = 0;
  for (size_t at = bodyStart;;) {
    // The next header that stands at the start of a line.
    if (marks) {
      while (nextHeader < marks->headers.size() &&
             (marks->headers[nextHeader] < at ||
              !HeaderAt(text, len, marks->headers[nextHeader], header, headerLen)))
        ++nextHeader;
      if (nextHeader == marks->headers.size()) break;
      at = marks->headers[nextHeader++];
    } else {
      const C* hit = at < len ? Find(text + at, len - at, header, headerLen) : nullptr;
      if (!hit) break;
      at = hit - text;
      if (!AtLineStart(text, at, bodyStart)) {
        ++at;
        continue;
      }
    }
    // The section's text begins on the line after the header ...
    size_t lineEnd = at + headerLen;
    while (lineEnd < len && text[lineEnd] != '\r' && text[lineEnd] != '\n') ++lineEnd;
    size_t start = lineEnd;
    while (start < len && (text[start] == '\r' || text[start] == '\n')) ++start;
    // ... and ends before the next line beginning with "[".
    size_t end = len;
    if (marks) {
      auto next = std::lower_bound(marks->breaks.begin(), marks->breaks.end(), lineEnd);
      if (next != marks->breaks.end()) end = *next;
    } else {
      static const C kNext[] = {'\n', '['};
      const C* next = Find(text + lineEnd, len - lineEnd, kNext, 2);
      if (next) end = next - text;
    }
    at = end;
    while (end > start && (text[end - 1] == '\r' || text[end - 1] == '\n')) --end;
    if (end <= start) continue;
    parts.push_back({start, end});
    room += end - start + 1;
  }
  if (parts.empty()) return nullptr;

  wchar_t* block = new (std::nothrow) wchar_t[room];
  if (!block) return nullptr;
  size_t out = 0;
  for (const auto& part : parts)
    for (size_t pos = part.first, end = part.second; pos < end;) {
      size_t stop = pos;
      while (stop < end && text[stop] != '\n') ++stop;
      size_t s = pos, e = stop;
      pos = stop + 1;
      while (s < e && IsBlank(text[s])) ++s;
      if (e > s && text[e - 1] == '\r') --e;
      if (s == e || text[s] == ';') continue;
      int n =
          ToWide(text + s, static_cast<int>(e - s), block + out, static_cast<int>(room - out - 2));
      if (n <= 0) continue;
      block[out + n] = 0;
      TrimBlanks(block + out);
      size_t kept = wcslen(block + out);
      if (kept) out += kept + 1;
    }
  block[out] = 0;
  block[out + 1] = 0;
  return block;
}

// The file's text as the reader takes it: UTF-16LE after its mark, else
// the ANSI code page's bytes after an optional UTF-8 mark.
struct IniText {
  const char* data = nullptr;
  size_t size = 0;
  bool Wide() const {
    return size >= 2 && static_cast<unsigned char>(data[0]) == 0xFF &&
           static_cast<unsigned char>(data[1]) == 0xFE;
  }
  const wchar_t* WideText() const { return reinterpret_cast<const wchar_t*>(data + 2); }
  size_t WideLength() const { return (size - 2) / 2; }
  size_t AnsiBody() const { return size >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0; }
};

wchar_t* ReadTextSection(const IniText& file, const wchar_t* section,
                         const SectionMarks* marks) {
  if (file.Wide()) {
    wchar_t header[kHeaderChars];
    _snwprintf(header, kHeaderChars, L"[%s]", section);
    header[kHeaderChars - 1] = 0;
    return ReadSection(file.WideText(), file.WideLength(), header, wcslen(header), 0, marks);
  }
  // "[" + the name in the ANSI code page, cut to 198 bytes, + "]".
  int n = WideCharToMultiByte(CP_ACP, 0, section, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return nullptr;
  std::string name(n, '\0');
  WideCharToMultiByte(CP_ACP, 0, section, -1, &name[0], n, nullptr, nullptr);
  name.resize(strlen(name.c_str()));
  if (name.size() > kHeaderChars - 2) name.resize(kHeaderChars - 2);
  const std::string header = "[" + name + "]";
  // A UTF-8 mark before the first header does not hide it.
  return ReadSection(file.data, file.size, header.c_str(), header.size(), file.AnsiBody(), marks);
}

// A file held for reading (CIniReadHold): its bytes and marks, taken at
// its first read.
struct HeldIni {
  std::wstring path;
  int holds = 0;
  bool loaded = false;
  bool readable = false;
  std::vector<char> bytes;
  SectionMarks marks;
};

SRWLOCK g_heldIniLock = SRWLOCK_INIT;
std::vector<HeldIni*> g_heldIni;

HeldIni* FindHeldIni(const wchar_t* path) {
  HeldIni* found = nullptr;
  AcquireSRWLockShared(&g_heldIniLock);
  for (HeldIni* h : g_heldIni)
    if (_wcsicmp(h->path.c_str(), path) == 0) found = h;
  ReleaseSRWLockShared(&g_heldIniLock);
  return found;
}

void LoadHeldIni(HeldIni* h) {
  h->loaded = true;
  MappedFile file(h->path.c_str());
  if (!file.data()) return;
  h->bytes.assign(file.data(), file.data() + file.size());
  IniText text{h->bytes.data(), h->bytes.size()};
  if (text.Wide())
    FindSectionMarks(text.WideText(), text.WideLength(), 0, &h->marks);
  else
    FindSectionMarks(text.data, text.size, text.AnsiBody(), &h->marks);
  h->readable = true;
}

bool WriteAllTo(HANDLE file, const void* data, DWORD bytes) {
  DWORD done = 0;
  return WriteFile(file, data, bytes, &done, nullptr) && done == bytes;
}

}  // namespace

wchar_t* ReadIniSection(const wchar_t* filePath, const wchar_t* section) {
  if (!filePath || !section) return nullptr;
  if (HeldIni* held = FindHeldIni(filePath)) {
    if (!held->loaded) LoadHeldIni(held);
    if (!held->readable) return nullptr;
    return ReadTextSection({held->bytes.data(), held->bytes.size()}, section, &held->marks);
  }
  MappedFile file(filePath);
  if (!file.data()) return nullptr;
  return ReadTextSection({file.data(), file.size()}, section, nullptr);
}

CIniReadHold::CIniReadHold(const wchar_t* path) : m_path(path ? path : L"") {
  AcquireSRWLockExclusive(&g_heldIniLock);
  HeldIni* held = nullptr;
  for (HeldIni* h : g_heldIni)
    if (_wcsicmp(h->path.c_str(), m_path.c_str()) == 0) held = h;
  if (!held) {
    held = new HeldIni();
    held->path = m_path;
    g_heldIni.push_back(held);
  }
  ++held->holds;
  ReleaseSRWLockExclusive(&g_heldIniLock);
}

CIniReadHold::~CIniReadHold() {
  HeldIni* last = nullptr;
  AcquireSRWLockExclusive(&g_heldIniLock);
  for (size_t i = 0; i < g_heldIni.size(); ++i)
    if (_wcsicmp(g_heldIni[i]->path.c_str(), m_path.c_str()) == 0) {
      if (--g_heldIni[i]->holds == 0) {
        last = g_heldIni[i];
        g_heldIni.erase(g_heldIni.begin() + i);
      }
      break;
    }
  ReleaseSRWLockExclusive(&g_heldIniLock);
  delete last;
}

int WriteIniSection(const wchar_t* filePath, const wchar_t* section, const wchar_t* lines) {
  if (!filePath || !section) return 0;
  HANDLE file = CreateFileW(filePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  bool ok = true;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) {
    ok = false;
  } else if (size.QuadPart == 0) {
    ok = WriteAllTo(file, "\xFF\xFE", 2);
  } else {
    unsigned char mark[2] = {0, 0};
    DWORD got = 0;
    ok = ReadFile(file, mark, 2, &got, nullptr) && got == 2 && mark[0] == 0xFF && mark[1] == 0xFE;
  }
  if (ok) {
    std::wstring text = L"[" + std::wstring(section) + L"]\r\n";
    for (const wchar_t* e = lines; e && *e; e += wcslen(e) + 1) text.append(e).append(L"\r\n");
    LARGE_INTEGER zero = {};
    ok = SetFilePointerEx(file, zero, nullptr, FILE_END) &&
         WriteAllTo(file, text.data(), static_cast<DWORD>(text.size() * 2)) && SetEndOfFile(file);
  }
  CloseHandle(file);
  return ok ? 1 : 0;
}

int CreateEmptyUnicodeFile(const wchar_t* filePath) {
  if (!filePath) return 0;
  HANDLE file =
      CreateFileW(filePath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  int ok = WriteAllTo(file, "\xFF\xFE", 2) && SetEndOfFile(file);
  CloseHandle(file);
  return ok;
}

std::wstring ReadIniSectionNames(const wchar_t* filePath) {
  std::wstring names;
  if (!filePath) return names;
  MappedFile file(filePath);
  const char* data = file.data();
  const size_t size = file.size();
  if (!data) return names;
  std::wstring text;
  if (size >= 2 && static_cast<unsigned char>(data[0]) == 0xFF &&
      static_cast<unsigned char>(data[1]) == 0xFE) {
    text.assign(reinterpret_cast<const wchar_t*>(data + 2), (size - 2) / 2);
  } else {
    size_t body = size >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    int n = MultiByteToWideChar(CP_ACP, 0, data + body, static_cast<int>(size - body), nullptr, 0);
    if (n <= 0) return names;
    text.resize(n);
    MultiByteToWideChar(CP_ACP, 0, data + body, static_cast<int>(size - body), &text[0], n);
  }
  for (size_t pos = 0; pos < text.size();) {
    size_t stop = text.find(L'\n', pos);
    if (stop == std::wstring::npos) stop = text.size();
    size_t s = pos;
    while (s < stop && IsBlank(text[s])) ++s;
    if (s < stop && text[s] == L'[') {
      size_t close = text.find(L']', s);
      if (close != std::wstring::npos && close < stop)
        names.append(text, s + 1, close - s - 1).push_back(L'\0');
    }
    pos = stop + 1;
  }
  return names;
}

std::vector<std::wstring> ReadInfLines(const wchar_t* filePath, const wchar_t* section,
                                       bool* found) {
  wchar_t* list = ReadIniSection(filePath, section);
  if (found) *found = list != nullptr;
  std::vector<std::wstring> lines = JoinInfLines(list);
  delete[] list;
  return lines;
}

std::wstring ReadIniValue(const wchar_t* filePath, const wchar_t* section, const wchar_t* key,
                          bool keepQuotes) {
  std::wstring result;
  wchar_t* list = key ? ReadIniSection(filePath, section) : nullptr;
  for (const wchar_t* p = list; p && *p; p += wcslen(p) + 1) {
    const wchar_t* eq = wcschr(p, L'=');
    if (!eq) continue;
    std::wstring k(p, eq - p);
    while (!k.empty() && IsBlank(k.back())) k.pop_back();
    if (_wcsicmp(k.c_str(), key) != 0) continue;
    std::wstring v(eq + 1);
    v.push_back(0);
    CutIniComment(&v[0]);
    TrimBlanks(&v[0]);
    if (!keepQuotes) StripQuotes(&v[0]);
    result = v.c_str();
    break;
  }
  delete[] list;
  return result;
}
