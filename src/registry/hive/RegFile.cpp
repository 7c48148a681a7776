// .reg export and import.
#include "registry/hive/RegFile.h"

#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <unordered_set>

#include "common/RegText.h"
#include "registry/hive/HiveNames.h"
#include "registry/hive/HiveOps.h"
#include "registry/hive/HiveRecords.h"
#include "registry/hive/RegTypes.h"

namespace {

const wchar_t kHeader5[] = L"Windows Registry Editor Version 5.00";

bool equal_nocase_prefix(const std::wstring& s, const wchar_t* prefix, size_t n) {
  if (s.size() < n) return false;
  return hive_compare_wide(s.c_str(), n, prefix, n) == 0;
}

bool is_filtered(const std::wstring& name) {
  return hive_compare_wide(name.c_str(), name.size(), L"LogConf", 7) == 0 ||
         hive_compare_wide(name.c_str(), name.size(), L"Properties", 10) == 0;
}

const wchar_t kHexDigits[] = L"0123456789abcdef";

// Hex data wrapped as regedit does: 25 bytes a line, the first line shortened
// by the width of the name and type prefix. Written in place: room for every
// byte and continuation is made first and the rest cut off after.
void export_hex_data(std::wstring& out, uint32_t type, size_t nameWidth, const uint8_t* data,
                     uint32_t length) {
  size_t width = nameWidth;
  if (type == HIVE_REG_BINARY) {
    out += L"hex:";
    width += 4;
  } else {
    wchar_t prefix[24];
    _snwprintf(prefix, 24, L"hex(%x):", type);
    out += prefix;
    width += 7;
  }
  size_t counter = (width - 2) / 3;
  const size_t kContinuation = sizeof(kRegLineContinuation) / sizeof(wchar_t) - 1;
  size_t at = out.size();
  out.resize(at + (size_t)length * 3 + ((size_t)length / 25 + 1) * kContinuation + 2);
  wchar_t* p = &out[at];
  for (uint32_t i = 0; i < length; i++) {
    *p++ = kHexDigits[data[i] >> 4];
    *p++ = kHexDigits[data[i] & 15];
    if (i + 1 == length) break;
    *p++ = L',';
    if (++counter % 25 == 0) {
      wmemcpy(p, kRegLineContinuation, kContinuation);
      p += kContinuation;
    }
  }
  *p++ = L'\r';
  *p++ = L'\n';
  out.resize((size_t)(p - out.data()));
}

// Appends the text up to its first NUL with a backslash before every
// backslash and double quote (as reg_escape_string does).
void append_escaped(std::wstring& out, const wchar_t* text, size_t length) {
  size_t at = out.size();
  out.resize(at + 2 * length);
  wchar_t* p = &out[at];
  for (size_t i = 0; i < length && text[i]; i++) {
    if (text[i] == L'\\' || text[i] == L'"') *p++ = L'\\';
    *p++ = text[i];
  }
  out.resize((size_t)(p - out.data()));
}

std::wstring stored_path(HiveImage* img, uint32_t keyOff) {
  std::vector<std::wstring> names;
  uint32_t key = keyOff;
  for (int depth = 0; depth < 600 && key && key != hive_root_key(img); depth++) {
    names.push_back(key_name(img, key));
    uint32_t parentRel = read_le32(img->buffer + key + 0x10);
    key = hive_cell(img, parentRel) ? parentRel + HIVE_BASE_SIZE + 4 : 0;
  }
  std::wstring path;
  for (size_t i = names.size(); i-- > 0;) path += L"\\" + names[i];
  return path;
}

class Exporter {
 public:
  Exporter(HiveImage* img, const wchar_t* prefix, bool filter, std::wstring& out)
      : img_(img), prefix_(prefix ? prefix : L""), filter_(filter), out_(out) {}

  // Flushes the text when it grows past a chunk; returns false on a failed write.
  std::function<bool()> flush;

  // False when the text could not be written or the tree is damaged: a
  // key met a second time (a subkey list pointing back at an ancestor or at
  // a key listed elsewhere), deeper than Windows nests keys, or a value or
  // subkey list that cannot be read.
  bool Key(uint32_t key, const std::wstring& path, int depth) {
    if (depth >= (int)HIVE_MAX_DEPTH || !visited_.insert(key).second) return false;
    out_ += L"\r\n[";
    out_ += prefix_;
    out_ += path;
    out_ += L"]\r\n";
    uint32_t vi = 0;
    HiveValue v;
    int r;
    while ((r = next_value(img_, key, &vi, &v)) == 1) Value(v);
    if (r < 0 || (flush && !flush())) return false;
    uint32_t li = 0, slot = 0;
    HiveSubkey sk;
    while ((r = next_subkey(img_, key, &li, &slot, &sk)) == 1) {
      if (filter_ && is_filtered(sk.name)) continue;
      if (!Key(sk.cell + 4, path + L"\\" + sk.name, depth + 1)) return false;
    }
    return r == 0;
  }

 private:
  void Value(const HiveValue& v) {
    size_t width;
    if (v.name.empty()) {
      out_ += L"@=";
      width = 2;
    } else {
      out_ += L'"';
      size_t before = out_.size();
      append_escaped(out_, v.name.data(), v.name.size());
      width = out_.size() - before + 3;
      out_ += L"\"=";
    }
    // The data of this very record: no second lookup by name.
    uint32_t len = 0;
    const uint8_t* d = value_data_at(img_, v.cell, &scratch_, &len);
    if (v.type == HIVE_REG_DWORD && len == 4) {
      uint32_t x = read_le32(d);
      wchar_t t[17] = L"dword:";
      for (int i = 0; i < 8; i++) t[6 + i] = kHexDigits[(x >> (28 - 4 * i)) & 15];
      t[14] = L'\r';
      t[15] = L'\n';
      t[16] = 0;
      out_.append(t, 16);
    } else if (v.type == HIVE_REG_SZ && len > 0) {
      // The text up to its first NUL, quoted unless it holds a line break.
      text_.clear();
      bool lineBreak = false;
      for (uint32_t i = 0; i + 1 < len; i += 2) {
        wchar_t c = (wchar_t)(d[i] | (d[i + 1] << 8));
        if (!c) break;
        lineBreak = lineBreak || c == L'\r' || c == L'\n';
        text_ += c;
      }
      if (!lineBreak) {
        out_ += L'"';
        append_escaped(out_, text_.data(), text_.size());
        out_ += L"\"\r\n";
      } else {
        export_hex_data(out_, HIVE_REG_SZ, width, d, len);
      }
    } else {
      export_hex_data(out_, v.type, width, d, len);
    }
  }

  HiveImage* img_;
  std::wstring prefix_;
  bool filter_;
  std::wstring& out_;
  std::unordered_set<uint32_t> visited_;
  std::vector<uint8_t> scratch_;  // big data of the value being written
  std::wstring text_;             // the REG_SZ text being written
};

// Cuts a quoted token starting at s[i] == '"': unescapes \\ and \" and any
// other backslash pair to its second character. Returns the index after the
// closing quote, or npos when the quote is not closed.
size_t read_quoted(const std::wstring& s, size_t i, std::wstring* out) {
  out->clear();
  for (i++; i < s.size(); i++) {
    if (s[i] == L'\\' && i + 1 < s.size()) {
      *out += s[++i];
    } else if (s[i] == L'"') {
      return i + 1;
    } else {
      *out += s[i];
    }
  }
  return std::wstring::npos;
}

// The text with every backslash that escapes the next character removed.
std::wstring unescape_reg_text(const std::wstring& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == L'\\' && i + 1 < s.size()) i++;
    out += s[i];
  }
  return out;
}

void trim(std::wstring& s) {
  size_t a = s.find_first_not_of(L" \t");
  if (a == std::wstring::npos) {
    s.clear();
    return;
  }
  size_t b = s.find_last_not_of(L" \t");
  s.erase(b + 1);
  s.erase(0, a);
}

struct HexDigits {
  int8_t value[128];
  HexDigits() {
    for (int c = 0; c < 128; c++)
      value[c] = (int8_t)(c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1);
  }
};
const HexDigits kHex;

inline int hex_digit(wchar_t c) {
  return (unsigned)c < 128 ? kHex.value[(unsigned)c] : -1;
}

// The line (from 1) of a text position: CR LF, CR and LF each end one.
size_t line_number(const std::wstring& text, size_t offset) {
  size_t line = 1;
  for (size_t i = 0; i < offset && i < text.size(); i++)
    if (text[i] == L'\n' || (text[i] == L'\r' && (i + 1 >= text.size() || text[i + 1] != L'\n')))
      line++;
  return line;
}

const wchar_t kNotRegFile[] =
    L"not a .reg file: it does not begin with \"Windows Registry Editor Version 5.00\" or "
    L"\"REGEDIT4\"";
const wchar_t kCutKeyLine[] = L"a key line without its closing \"]\"";
const wchar_t kNoValueLine[] = L"neither a key, a value nor a comment (no \"=\" after a name)";

bool fail_at(RegImportFault* fault, const std::wstring& text, size_t offset,
             const std::wstring& what) {
  if (fault && fault->what.empty()) {
    fault->line = line_number(text, offset);
    fault->what = what;
  }
  return false;
}

class Importer {
 public:
  Importer(HiveImage* img, const wchar_t* prefix, uint32_t controlSet, RegImportFault* fault,
           RegTextForms forms)
      : img_(img),
        prefix_(prefix ? prefix : L""),
        controlSet_(controlSet),
        fault_(fault),
        forms_(forms) {}

  int Run(const std::wstring& text) {
    size_t pos = 0;
    std::wstring line;
    bool first = true;
    text_ = &text;
    pos_ = &pos;
    size_t at, n;
    while (NextSpan(text, pos, &at, &n)) {
      lineAt_ = at;
      // Hex data going on over its lines is taken where it stands.
      if (!first && pending_ && continued_) {
        if (!Continue(text.data() + at, n)) return -1;
        continue;
      }
      line.assign(text, at, n);
      if (first) {
        first = false;
        ansiStrings_ = equal_nocase_prefix(line, L"REGEDIT4", 8);
        if (!ansiStrings_ && !equal_nocase_prefix(line, L"Windows Registry Editor", 23)) {
          Fail(at, kNotRegFile);
          return -1;
        }
        continue;
      }
      if (!Line(line)) return -1;
    }
    if (first) {
      Fail(0, kNotRegFile);
      return -1;
    }
    // A value still continued at the end is cut off: its data is not whole.
    if (pending_ && continued_) {
      Fail(valueAt_, L"the value " + Shown() +
                         L" goes on past the end of the file (its last line ends with \"\\\")");
      return -1;
    }
    if (pending_ && !Store()) return -1;
    return 0;
  }

  // The next line that is not empty, its leading blanks skipped: where it
  // starts in text and its length.
  static bool NextSpan(const std::wstring& text, size_t& pos, size_t* at, size_t* length) {
    const wchar_t* t = text.data();
    size_t size = text.size();
    while (pos < size) {
      size_t end = pos;
      while (end < size && t[end] != L'\r' && t[end] != L'\n') end++;
      size_t a = pos;
      while (a < end && (t[a] == L' ' || t[a] == L'\t')) a++;
      pos = end < size ? end + 1 : end;
      if (a < end) {
        *at = a;
        *length = end - a;
        return true;
      }
    }
    return false;
  }

 private:
  // A line of hex data going on from the lines before.
  bool Continue(const wchar_t* line, size_t n) {
    if (line[0] == L'[')  // hex data cut off by a section
      return Fail(lineAt_, L"the data of the value " + Shown() + L" is cut off by a key line");
    size_t a = 0, b = n;
    while (b > a && (line[b - 1] == L' ' || line[b - 1] == L'\t')) b--;
    continued_ = b > a && line[b - 1] == L'\\';
    data_.append(line + a, b - a - (continued_ ? 1 : 0));
    return true;
  }

  bool Line(const std::wstring& line) {
    if (pending_ && continued_) return Continue(line.data(), line.size());
    if (pending_ && !Store()) return false;
    // A line that begins with ';' (after blanks) is a comment wherever it
    // stands, as regedit reads it; one that goes on a continued value is
    // taken above as part of its data.
    if (line[0] == L';') return true;
    if (line[0] == L'[') return Section(line);
    if (!key_) return true;  // outside an active section: ignored
    return ValueLine(line);
  }

  bool Section(const std::wstring& line) {
    // A section line cut before its "]" (a file cut short) names no key.
    size_t close = line.rfind(L']');
    if (close == std::wstring::npos) return Fail(lineAt_, kCutKeyLine);
    std::wstring path = line.substr(1, close - 1);
    key_ = 0;
    bool remove = !path.empty() && path[0] == L'-';
    if (remove) path.erase(0, 1);
    // A root is never deleted, nor what a mapped root stands for (all of
    // SOFTWARE\Classes, the whole control set).
    if (remove && reg_names_root(path)) {
      pathNames_.clear();
      pathKeys_.clear();
      return true;
    }
    path = reg_resolve_key(path, controlSet_);
    size_t n = prefix_.size();
    // The path must be the prefix itself or lie below it.
    if (!equal_nocase_prefix(path, prefix_.c_str(), n) ||
        (path.size() > n && path[n] != L'\\' && n))
      return true;
    std::vector<std::wstring> comps;
    for (size_t i = n; i < path.size();) {
      size_t j = path.find(L'\\', i);
      if (j == std::wstring::npos) j = path.size();
      if (j > i) comps.push_back(path.substr(i, j - i));
      i = j + 1;
    }
    // Windows nests keys 512 levels deep, the hive's root included: what
    // would lie deeper could be neither loaded there nor exported here.
    if (comps.size() >= HIVE_MAX_DEPTH)
      return Fail(lineAt_, L"a key " + std::to_wstring(comps.size()) +
                               L" levels below its hive's root: Windows nests keys at most " +
                               std::to_wstring(HIVE_MAX_DEPTH - 1) + L" levels deep");
    uint32_t key = hive_root_key(img_);
    if (remove) {
      // Keys go: none found before is taken as still there.
      pathNames_.clear();
      pathKeys_.clear();
      if (comps.empty()) return true;  // the root itself is never deleted
      for (size_t c = 0; c + 1 < comps.size() && key; c++) key = Child(key, comps[c]);
      if (key) del_key_tree(img_, comps.back().c_str(), key);
      return true;
    }
    // The keys of the section before, as far as its path is the same, are
    // not looked up again (an export lists each key after its parent).
    size_t same = 0;
    while (same < comps.size() && same < pathNames_.size() && comps[same] == pathNames_[same])
      same++;
    if (same) key = pathKeys_[same - 1];
    pathNames_.resize(same);
    pathKeys_.resize(same);
    for (size_t c = same; c < comps.size(); c++) {
      uint32_t child = Child(key, comps[c]);
      if (!child) child = add_key(img_, key, comps[c].c_str());
      if (!child)
        return Fail(lineAt_,
                    L"the key \"" + path + L"\" could not be made in its hive" + MemoryCause());
      key = child;
      pathNames_.push_back(comps[c]);
      pathKeys_.push_back(key);
    }
    key_ = key;
    return true;
  }

  uint32_t Child(uint32_t key, const std::wstring& name) {
    std::wstring path;
    for (wchar_t c : name) {
      path += c;
      if (c == L'\\') path += L'\\';
    }
    return find_key(img_, key, path.c_str());
  }

  bool ValueLine(const std::wstring& first) {
    size_t eq;
    std::wstring line = first;
    if (line[0] == L'"') {
      size_t end;
      // A name holding line breaks goes on over the next lines as they stand.
      while ((end = read_quoted(line, 0, &name_)) == std::wstring::npos) {
        const std::wstring& t = *text_;
        size_t& pos = *pos_;
        if (pos == 0 || pos >= t.size() || (t[pos - 1] != L'\r' && t[pos - 1] != L'\n') ||
            line.size() > 64000)
          return Fail(lineAt_, L"a value name without its closing quote");
        size_t e = t.find_first_of(L"\r\n", pos);
        if (e == std::wstring::npos) e = t.size();
        line += t[pos - 1];
        line.append(t, pos, e - pos);
        pos = e < t.size() ? e + 1 : e;
      }
      eq = line.find_first_not_of(L" \t", end);
      if (eq == std::wstring::npos || line[eq] != L'=')
        return Fail(lineAt_, L"no \"=\" after the value name \"" + name_ + L"\"");
      if (name_.empty())
        return Fail(lineAt_, L"a value named \"\" (the default value is written @=)");
    } else if (line[0] == L'@' && (eq = line.find_first_not_of(L" \t", 1)) != std::wstring::npos &&
               line[eq] == L'=') {
      name_.clear();  // @= is the default value; "@"= a value named "@"
    } else if (forms_ == kRegeditForms) {
      // regedit reads a value only as "NAME"= or @=: any other line in a
      // key (a name without quotes, one in other quotes, a "-" in front
      // of it) would store a value under text no one meant as its name.
      std::wstring shown = line.size() > 60 ? line.substr(0, 57) + L"..." : line;
      return Fail(lineAt_,
                  L"a line in none of regedit's forms of a value (\"NAME\"=... or "
                  L"@=...): " +
                      shown);
    } else {
      // A name without quotes runs to the first "=", as the staging scripts
      // of driver installation write them (Type=dword:00000001).
      eq = line.find(L'=');
      std::wstring raw = eq == std::wstring::npos ? std::wstring() : line.substr(0, eq);
      trim(raw);
      if (raw.empty()) return Fail(lineAt_, kNoValueLine);
      name_ = unescape_reg_text(raw);
    }
    data_ = line.substr(eq + 1);
    trim(data_);
    valueAt_ = lineAt_;
    pending_ = true;
    continued_ = false;
    quoted_ = !data_.empty() && data_[0] == L'"';
    if (!quoted_ && !data_.empty() && data_.back() == L'\\') {
      continued_ = true;
      data_.pop_back();
    }
    return true;
  }

  bool Store() {
    pending_ = false;
    uint32_t type;
    std::vector<uint8_t>& bytes = bytes_;  // its room kept from value to value
    bool remove;
    if (!parse_reg_data(data_, &type, &bytes, &remove, forms_) ||
        (ansiStrings_ && (type == HIVE_REG_EXPAND_SZ || type == HIVE_REG_MULTI_SZ) &&
         !WidenAnsiString(bytes))) {
      std::wstring shown = data_.size() > 60 ? data_.substr(0, 57) + L"..." : data_;
      return Fail(valueAt_,
                  L"data of the value " + Shown() + L" that cannot be read (" + shown + L")");
    }
    const wchar_t* name = name_.c_str();
    if (remove) {
      del_value(img_, key_, name);
      return true;
    }
    int64_t old = get_value_type(img_, key_, name);
    bool stored = !(old >= 0 && (uint32_t)old != type && del_value(img_, key_, name) != 0);
    if (stored && (old < 0 || (uint32_t)old != type)) stored = add_value(img_, key_, name, type);
    stored =
        stored && put_data_to_value(img_, bytes.data(), (uint32_t)bytes.size(), key_, name, 0) != 0;
    return stored || Fail(valueAt_, L"the value " + Shown() +
                                        L" could not be stored in its hive" + MemoryCause());
  }

  // Why the hive took no more, when it was memory.
  std::wstring MemoryCause() const {
    return img_->outOfMemory ? L": the memory of the process ran out" : L"";
  }

  // The value's name as a line shows it.
  std::wstring Shown() const { return name_.empty() ? L"@" : L"\"" + name_ + L"\""; }

  bool Fail(size_t offset, const std::wstring& what) {
    return fail_at(fault_, *text_, offset, what);
  }

  // A REGEDIT4 file holds the strings of hex(2) and hex(7) data as bytes
  // in the ANSI code page, their NULs included: stored as UTF-16.
  static bool WidenAnsiString(std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return true;
    if (bytes.size() > (size_t)INT_MAX) return false;
    const char* ansi = reinterpret_cast<const char*>(bytes.data());
    int n = MultiByteToWideChar(CP_ACP, 0, ansi, (int)bytes.size(), nullptr, 0);
    if (n <= 0) return false;
    std::vector<uint8_t> wide((size_t)n * 2);
    if (MultiByteToWideChar(CP_ACP, 0, ansi, (int)bytes.size(),
                            reinterpret_cast<wchar_t*>(wide.data()), n) != n)
      return false;
    bytes.swap(wide);
    return true;
  }

  HiveImage* img_;
  std::wstring prefix_;
  uint32_t controlSet_;
  RegImportFault* fault_;
  RegTextForms forms_;
  size_t lineAt_ = 0;         // where the line being read begins in text_
  size_t valueAt_ = 0;        // where the pending value's line begins
  bool ansiStrings_ = false;  // a REGEDIT4 file
  const std::wstring* text_ = nullptr;
  size_t* pos_ = nullptr;  // the reading position in text_
  uint32_t key_ = 0;
  bool pending_ = false, continued_ = false, quoted_ = false;
  std::wstring name_, data_;
  std::vector<uint8_t> bytes_;
  // The key path of the last section below the prefix and its keys.
  std::vector<std::wstring> pathNames_;
  std::vector<uint32_t> pathKeys_;
};

// Writes all bytes; false with the system's error in *error.
bool write_all(HANDLE f, const void* p, size_t n, unsigned long* error) {
  const uint8_t* at = static_cast<const uint8_t*>(p);
  while (n) {
    DWORD chunk = n > (1u << 24) ? (1u << 24) : (DWORD)n, put = 0;
    if (!WriteFile(f, at, chunk, &put, nullptr)) {
      *error = GetLastError();
      return false;
    }
    // A write that takes nothing has met a full disk; one that takes part
    // goes on with the rest, which then fails with its own error.
    if (put == 0) {
      *error = ERROR_DISK_FULL;
      return false;
    }
    at += put;
    n -= put;
  }
  return true;
}

bool write_text(HANDLE f, const std::wstring& s, unsigned long* error) {
  // UTF-16LE whatever the host's byte order
  static_assert(sizeof(wchar_t) == 2, "UTF-16 text");
  return write_all(f, s.data(), s.size() * 2, error);
}

}  // namespace

std::wstring reg_escape_string(const std::wstring& text) {
  std::vector<wchar_t> out(text.size() * 2 + 1);
  EscapeRegString(text.c_str(), out.data(), (int)out.size());
  return std::wstring(out.data());
}

bool parse_reg_data(const std::wstring& data, uint32_t* type, std::vector<uint8_t>* bytes,
                    bool* remove, RegTextForms forms) {
  bytes->clear();
  *remove = false;
  if (data == L"-") {
    *remove = true;
    return true;
  }
  if (!data.empty() && data[0] == L'"') {
    // quoted data is a string, whatever it looks like
    std::wstring text;
    size_t end = read_quoted(data, 0, &text);
    if (end == std::wstring::npos || data.find_first_not_of(L" \t", end) != std::wstring::npos)
      return false;
    *type = HIVE_REG_SZ;
    for (wchar_t c : text) {
      bytes->push_back((uint8_t)c);
      bytes->push_back((uint8_t)(c >> 8));
    }
    bytes->push_back(0);
    bytes->push_back(0);
    return true;
  }
  if (data.compare(0, 6, L"dword:") == 0) {
    std::wstring h = data.substr(6);
    if (h.empty() || h.size() > 8) return false;
    uint32_t v = 0;
    for (wchar_t c : h) {
      int d = hex_digit(c);
      if (d < 0) return false;
      v = v * 16 + (uint32_t)d;
    }
    *type = HIVE_REG_DWORD;
    bytes->resize(4);
    write_le32(bytes->data(), v);
    return true;
  }
  size_t colon;
  if (data.compare(0, 4, L"hex:") == 0) {
    *type = HIVE_REG_BINARY;
    colon = 3;
  } else if (data.compare(0, 4, L"hex(") == 0) {
    size_t close = data.find(L')', 4);
    if (close == std::wstring::npos || close == 4 || close > 12 || close + 1 >= data.size() ||
        data[close + 1] != L':')
      return false;
    uint32_t t = 0;
    for (size_t i = 4; i < close; i++) {
      int d = hex_digit(data[i]);
      if (d < 0) return false;
      t = t * 16 + (uint32_t)d;
    }
    *type = t;
    colon = close + 1;
  } else if (data.compare(0, 3, L"hex") == 0 || forms != kStagingForms) {
    // regedit stores no value of data it cannot read ("1", "DWORD:1",
    // "-dword:1", C:\Path): neither does the import.
    return false;
  } else {
    // The staging scripts' text without quotes is a string, its backslash
    // escapes removed.
    *type = HIVE_REG_SZ;
    for (wchar_t c : unescape_reg_text(data)) {
      bytes->push_back((uint8_t)c);
      bytes->push_back((uint8_t)(c >> 8));
    }
    bytes->push_back(0);
    bytes->push_back(0);
    return true;
  }
  // comma-separated bytes of one or two hex digits; blanks between items.
  // Each byte takes at least two characters but the last.
  size_t i = colon + 1, size = data.size();
  const wchar_t* t = data.data();
  bytes->resize((size - i) / 2 + 1);
  uint8_t* out = bytes->data();
  while (i < size) {
    while (i < size && (t[i] == L' ' || t[i] == L'\t')) i++;
    if (i >= size) break;
    int v = hex_digit(t[i]);
    if (v < 0) return false;
    i++;
    int d2 = i < size ? hex_digit(t[i]) : -1;
    if (d2 >= 0) {
      v = v * 16 + d2;
      i++;
    }
    *out++ = (uint8_t)v;
    while (i < size && (t[i] == L' ' || t[i] == L'\t')) i++;
    if (i < size) {
      if (t[i] != L',') return false;
      i++;
    }
  }
  bytes->resize((size_t)(out - bytes->data()));
  return true;
}

uint32_t export_key_text(HiveImage* img, uint32_t startKeyOff, const wchar_t* rootPrefix,
                         const wchar_t* keyPath, bool header, bool filter, std::wstring& out) {
  uint32_t key = (keyPath && keyPath[0]) ? find_key(img, startKeyOff, keyPath)
                                         : (startKeyOff ? startKeyOff : hive_root_key(img));
  if (!key) return REG_STATUS_NOT_FOUND;
  if (header) out += std::wstring(kHeader5) + L"\r\n";
  Exporter ex(img, rootPrefix, filter, out);
  bool ok = ex.Key(key, stored_path(img, key), 0);
  out += L"\r\n";
  return ok ? REG_STATUS_OK : REG_STATUS_FAILURE;
}

uint32_t export_key_reg(HiveImage* img, uint32_t startKeyOff, const wchar_t* rootPrefix,
                        const wchar_t* keyPath, const wchar_t* hostPath, bool append, bool filter,
                        unsigned long* hostError) {
  unsigned long unused = 0;
  unsigned long& error = hostError ? *hostError : unused;
  error = 0;
  uint32_t key = (keyPath && keyPath[0]) ? find_key(img, startKeyOff, keyPath)
                                         : (startKeyOff ? startKeyOff : hive_root_key(img));
  if (!key) return REG_STATUS_NOT_FOUND;
  HANDLE f = CreateFileW(hostPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return REG_STATUS_FAILURE;
  }
  std::wstring text;
  bool ok = true;
  if (append) {
    LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(f, zero, nullptr, FILE_END)) {
      error = GetLastError();
      ok = false;
    }
  } else {
    static const uint8_t bom[2] = {0xFF, 0xFE};
    ok = write_all(f, bom, 2, &error);
    text = std::wstring(kHeader5) + L"\r\n";
  }
  // Written in chunks: the text of a large hive is many times its size.
  Exporter ex(img, rootPrefix, filter, text);
  ex.flush = [&]() {
    if (text.size() < (1u << 20)) return true;
    ok = ok && write_text(f, text, &error);
    text.clear();
    return ok;
  };
  ok = ok && ex.Key(key, stored_path(img, key), 0);
  text += L"\r\n";
  ok = ok && write_text(f, text, &error);
  if (ok && !FlushFileBuffers(f)) {
    error = GetLastError();
    ok = false;
  }
  CloseHandle(f);
  return ok ? REG_STATUS_OK : REG_STATUS_FAILURE;
}

std::wstring reg_resolve_key(const std::wstring& path, uint32_t controlSet) {
  static const wchar_t kClasses[] = L"HKEY_CLASSES_ROOT";
  static const wchar_t kMachine[] = L"HKEY_LOCAL_MACHINE\\";
  const size_t classes = 17, machine = 19;
  if (equal_nocase_prefix(path, kClasses, classes) &&
      (path.size() == classes || path[classes] == L'\\'))
    return L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes" + path.substr(classes);
  if (controlSet && equal_nocase_prefix(path, kMachine, machine))
    return path.substr(0, machine) + MapCurrentControlSet(path.substr(machine), controlSet);
  return path;
}

bool reg_split_path(const std::wstring& path, uint32_t controlSet, std::wstring* root,
                    std::wstring* rest) {
  static const wchar_t* const kHives[] = {L"SYSTEM", L"SOFTWARE", L"SAM", L"SECURITY",
                                          L"BCD00000000"};
  std::wstring p = reg_resolve_key(path, controlSet);
  size_t first = p.find(L'\\');
  std::wstring head = p.substr(0, first);
  std::wstring below = first == std::wstring::npos ? std::wstring() : p.substr(first + 1);
  if (_wcsicmp(head.c_str(), L"HKEY_CURRENT_USER") == 0) {
    *root = L"HKEY_CURRENT_USER";
    *rest = below;
    return true;
  }
  if (_wcsicmp(head.c_str(), L"HKEY_LOCAL_MACHINE") != 0 || first == std::wstring::npos)
    return false;
  size_t second = below.find(L'\\');
  std::wstring hive = below.substr(0, second);
  if (hive.empty()) return false;
  for (const wchar_t* name : kHives)
    if (_wcsicmp(hive.c_str(), name) == 0) hive = name;
  *root = L"HKEY_LOCAL_MACHINE\\" + hive;
  *rest = second == std::wstring::npos ? std::wstring() : below.substr(second + 1);
  return true;
}

bool reg_names_root(const std::wstring& path) {
  std::wstring p = path;
  while (!p.empty() && p.back() == L'\\') p.pop_back();
  for (const wchar_t* root : {L"HKEY_LOCAL_MACHINE", L"HKEY_CLASSES_ROOT",
                              L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet"})
    if (_wcsicmp(p.c_str(), root) == 0) return true;
  std::wstring root, rest;
  return reg_split_path(p, 0, &root, &rest) && rest.empty();
}

int import_reg_text(HiveImage* img, const std::wstring& text, const wchar_t* rootPrefix,
                    uint32_t controlSet, RegImportFault* fault, RegTextForms forms) {
  // All or nothing through the image's record of what the import changes;
  // a record opened by the caller (an import over several hives) is the
  // caller's to end.
  int own = hive_undo_begin(img);
  if (own < 0) {
    if (fault && fault->what.empty()) fault->what = L"no memory for the record of its changes";
    return -1;
  }
  int r = Importer(img, rootPrefix, controlSet, fault, forms).Run(text);
  if (own) {
    if (r != 0)
      hive_undo_rollback(img);
    else
      hive_undo_commit(img);
  }
  return r;
}

int read_reg_file(const wchar_t* hostPath, std::wstring& text) {
  text.clear();
  FILE* f = _wfopen(hostPath, L"rb");
  if (!f) return errno ? errno : ENOENT;
  // The text of a large hive runs to hundreds of megabytes: it is read
  // once into a buffer of its final size, UTF-16 text straight into the
  // string, so that no second copy shares the address space with it.
  long long bytes = _fseeki64(f, 0, SEEK_END) == 0 ? _ftelli64(f) : -1;
  if (bytes < 0 || _fseeki64(f, 0, SEEK_SET) != 0 || (unsigned long long)bytes > SIZE_MAX / 2) {
    fclose(f);
    return EIO;
  }
  uint8_t head[2] = {0, 0};
  size_t headBytes = fread(head, 1, bytes < 2 ? (size_t)bytes : 2, f);
  bool readError = headBytes != (bytes < 2 ? (size_t)bytes : 2);
  std::vector<uint8_t> raw;
  if (!readError && headBytes && head[0] == 0xFF) {
    // UTF-16LE, as wchar_t is on Windows; the byte after the first is the
    // rest of the byte-order mark.
    static_assert(sizeof(wchar_t) == 2, "UTF-16 text");
    size_t units = bytes >= 2 ? (size_t)(bytes - 2) / 2 : 0;
    text.resize(units);
    readError = units && fread(&text[0], 2, units, f) != units;
    fclose(f);
    if (readError) {
      text.clear();
      return EIO;
    }
    return 0;
  }
  if (!readError) {
    raw.resize((size_t)bytes);
    memcpy(raw.data(), head, headBytes);
    if (bytes > (long long)headBytes &&
        fread(raw.data() + headBytes, 1, (size_t)bytes - headBytes, f) != (size_t)bytes - headBytes)
      readError = true;
  }
  fclose(f);
  if (readError) return EIO;
  if (!raw.empty()) {
    int wn = MultiByteToWideChar(CP_ACP, 0, (const char*)raw.data(), (int)raw.size(), nullptr, 0);
    if (wn <= 0) return -1;
    text.resize((size_t)wn);
    MultiByteToWideChar(CP_ACP, 0, (const char*)raw.data(), (int)raw.size(), &text[0], wn);
  }
  return 0;
}

bool reg_text_sections(const std::wstring& text, std::vector<RegTextSection>* sections,
                       RegImportFault* fault) {
  sections->clear();
  size_t pos = 0, at = 0, n = 0;
  size_t counted = 0, line_no = 1;  // the line breaks before `counted`
  std::wstring line;
  bool header = Importer::NextSpan(text, pos, &at, &n);
  if (header) line.assign(text, at, n);
  if (!header || (!equal_nocase_prefix(line, L"Windows Registry Editor", 23) &&
                  !equal_nocase_prefix(line, L"REGEDIT4", 8)))
    return fail_at(fault, text, at, kNotRegFile);
  // Hex data continues on lines of its own, never beginning with "[";
  // only section lines are looked at.
  while (Importer::NextSpan(text, pos, &at, &n)) {
    if (text[at] != L'[') continue;
    line.assign(text, at, n);
    size_t close = line.rfind(L']');
    if (close == std::wstring::npos) return fail_at(fault, text, at, kCutKeyLine);  // cut short
    RegTextSection section;
    section.path = line.substr(1, close - 1);
    section.remove = !section.path.empty() && section.path[0] == L'-';
    if (section.remove) section.path.erase(0, 1);
    for (; counted < at; counted++)
      if (text[counted] == L'\n' ||
          (text[counted] == L'\r' && (counted + 1 >= text.size() || text[counted + 1] != L'\n')))
        line_no++;
    section.line = line_no;
    sections->push_back(std::move(section));
  }
  return true;
}

int import_reg_file(HiveImage* img, const wchar_t* hostPath, const wchar_t* rootPrefix,
                    uint32_t controlSet, RegImportFault* fault, RegTextForms forms) {
  std::wstring text;
  int r = read_reg_file(hostPath, text);
  return r ? r : import_reg_text(img, text, rootPrefix, controlSet, fault, forms);
}
