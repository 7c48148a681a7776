// Shared pieces of the INF installation tests: the sample driver packages
// (kept as UTF-8 under fixtures/, written out as the UTF-16 files vendors
// ship) and reading a staging script back.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "infinstall/RegScriptFile.h"

namespace it {

// A sample package INF as UTF-16LE with its byte-order mark in `dir`;
// `substitute` (a sed script) runs over it first, as the store does when it
// cuts a per-device INF.
inline std::wstring WriteInf(const std::string& dirUnix, const std::string& name,
                             const std::string& substitute = "") {
  std::string src = vt::SourceDirUnix() + "/tests/infinstall/fixtures/" + name;
  std::string out = dirUnix + "/" + name;
  std::string filter = substitute.empty() ? "cat" : "sed " + vt::Q(substitute);
  EXPECT_EQ(0, vt::Sh("{ printf '\\377\\376'; " + filter + " " + vt::Q(src) +
                      " | iconv -f UTF-8 -t UTF-16LE; } > " + vt::Q(out)));
  return vt::ToWin(out);
}

// The whole script as text (without its byte-order mark).
inline std::wstring ScriptText(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(vt::ReadAll(path, bytes));
  std::wstring text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += (wchar_t)(bytes[i] | (bytes[i + 1] << 8));
  return text;
}

// One staged line's data, or "<none>".
inline std::wstring Staged(const std::wstring& script, const std::wstring& section,
                           const std::wstring& name) {
  std::wstring data;
  if (!ReadProfileValue(script.c_str(), section.c_str(), name.c_str(), data)) return L"<none>";
  return data;
}

// True when the script holds a section of exactly this name.
inline bool HasSection(const std::wstring& script, const std::wstring& section) {
  return ScriptText(script).find(L"\r\n[" + section + L"]\r\n") != std::wstring::npos;
}

}  // namespace it
