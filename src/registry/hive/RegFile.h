// Registry text (".reg" files): export of a key with its subtree and import
// of "Windows Registry Editor Version 5.00" (UTF-16) and "REGEDIT4" (ANSI)
// files into a hive. Keys in the text carry a root prefix such as
// "HKEY_LOCAL_MACHINE\SOFTWARE" before their path inside the hive.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "registry/hive/HiveImage.h"

// Writes the key at keyPath (below startKeyOff; empty = the start key) with
// its subtree to hostPath, a new file or appended to, flushed before it is
// closed. With filter set, subkeys named "LogConf" or "Properties" are left
// out at every depth. REG_STATUS_OK; REG_STATUS_NOT_FOUND when the key is
// missing (nothing is written); REG_STATUS_FAILURE when the file cannot be
// written (*hostError: the system's error) or damage in the tree (a key
// met twice, a list that cannot be read; *hostError 0) stops the export.
uint32_t export_key_reg(HiveImage* img, uint32_t startKeyOff, const wchar_t* rootPrefix,
                        const wchar_t* keyPath, const wchar_t* hostPath, bool append, bool filter,
                        unsigned long* hostError = nullptr);
// The same text into memory (UTF-16, without byte-order mark).
uint32_t export_key_text(HiveImage* img, uint32_t startKeyOff, const wchar_t* rootPrefix,
                         const wchar_t* keyPath, bool header, bool filter, std::wstring& out);

// Where and why an import stopped: the line of the text (from 1) and what
// is wrong with it; line 0 for a cause of no one line.
struct RegImportFault {
  size_t line = 0;
  std::wstring what;
};

// Where a key path of a .reg text lies as Windows resolves it: a path of
// HKEY_CLASSES_ROOT below HKEY_LOCAL_MACHINE\SOFTWARE\Classes (where the
// machine's classes are kept), and with a controlSet other than 0 a path of
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet below that control set
// (MapCurrentControlSet). Roots compare in any case; other paths come back
// as they are.
std::wstring reg_resolve_key(const std::wstring& path, uint32_t controlSet);
// The one reading of a full registry path: resolved as reg_resolve_key
// does, then split into its root, "HKEY_CURRENT_USER" or
// "HKEY_LOCAL_MACHINE\<hive>" (the root and the hive names of the table
// SYSTEM, SOFTWARE, SAM, SECURITY, BCD00000000 matched in any case and
// given back as the table spells them; another hive name as it stands),
// and the rest below it (empty for the root itself). False for a path of
// no such root (HKEY_USERS, "HKLM\...", HKEY_LOCAL_MACHINE alone).
bool reg_split_path(const std::wstring& path, uint32_t controlSet, std::wstring* root,
                    std::wstring* rest);
// True for a path that names a root rather than a key below one, in any
// case and with trailing backslashes: HKEY_LOCAL_MACHINE, a hive's root
// (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE\SOFTWARE, ...), and the roots
// Windows maps onto a key of a hive, HKEY_CLASSES_ROOT and
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet. No root is ever deleted.
bool reg_names_root(const std::wstring& path);

// What a .reg text may hold besides regedit's own forms. regedit's form:
// value data is quoted text, "dword:", "hex:" or "hex(N):" (in lower case,
// as regedit writes and reads them) or "-"; anything else is data that
// cannot be read. The staging scripts of driver installation also write
// text data without quotes ("Name=C:\\Path").
enum RegTextForms { kRegeditForms = 0, kStagingForms = 1 };

// Imports a .reg file. 0 on success; -1 when the header is unknown, a line
// cannot be read, the file ends inside a continued value or a key cannot be
// created (the hive is then left exactly as it was, dirty state included);
// the C runtime's errno when the file cannot be opened. In a REGEDIT4 file
// the hex(2) and hex(7) data are ANSI strings and are stored as UTF-16.
// Section paths are resolved first (reg_resolve_key with controlSet). A
// failure of -1 is described in *fault when given.
int import_reg_file(HiveImage* img, const wchar_t* hostPath, const wchar_t* rootPrefix,
                    uint32_t controlSet = 0, RegImportFault* fault = nullptr,
                    RegTextForms forms = kRegeditForms);
// The same from text already decoded to UTF-16.
int import_reg_text(HiveImage* img, const std::wstring& text, const wchar_t* rootPrefix,
                    uint32_t controlSet = 0, RegImportFault* fault = nullptr,
                    RegTextForms forms = kRegeditForms);
// A .reg file decoded to UTF-16 by its first byte; 0, or the C runtime's
// errno when it cannot be read, -1 when its text cannot be decoded.
int read_reg_file(const wchar_t* hostPath, std::wstring& text);
// One section line of a .reg text: its key path as it stands (not
// resolved, a leading "-" dropped), whether it deletes, and its line.
struct RegTextSection {
  std::wstring path;
  bool remove = false;
  size_t line = 0;
};
// Every section of a .reg text, in order; false when the header is unknown
// or a section line has no "]" (described in *fault when given).
bool reg_text_sections(const std::wstring& text, std::vector<RegTextSection>* sections,
                       RegImportFault* fault = nullptr);

// Backslash before every backslash and double quote.
std::wstring reg_escape_string(const std::wstring& text);

// Data of one value line (after "="): type and bytes. False for data that
// cannot be read (with kRegeditForms also text without quotes). *remove
// is set for "-".
bool parse_reg_data(const std::wstring& data, uint32_t* type, std::vector<uint8_t>* bytes,
                    bool* remove, RegTextForms forms = kRegeditForms);
