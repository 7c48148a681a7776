// The file search engine: a wildcard name and, optionally, a byte pattern in
// the contents, over a host folder or a folder of a mounted volume, with
// or without its sub-folders. Knows no window: it reports through a sink.
#pragma once
#include <windows.h>

#include <string>

class VolumeFiles;

// Content pieces read from a volume, and how a hit across two pieces is
// kept: each piece is searched behind the last pattern length - 1 bytes of
// the one before.
constexpr DWORD kSearchPieceBytes = 0x20000;

enum SearchPatternKind { kSearchAnsi = 0, kSearchUnicode = 1, kSearchHex = 2 };

struct FileSearchSpec {
  std::wstring folder;   // host folder, or a folder of the volume ("\..." )
  std::wstring pattern;  // wildcard file name
  std::string content;   // bytes to look for; empty: names only
  bool subFolders = true;
  bool matchCase = false;  // ASCII letters fold unless set
};

class FileSearchSink {
 public:
  virtual ~FileSearchSink() = default;
  virtual void OnFolder(const wchar_t* folder) = 0;
  virtual void OnMatch(const wchar_t* path) = 0;
};

// The content pattern of the search box's text: hexadecimal digits two to
// a byte (an odd count gives false), the UTF-16 bytes, or `ansiText` (the
// box's text in the system code page) as it is.
bool MakeContentPattern(SearchPatternKind kind, const std::wstring& text,
                        const std::string& ansiText, std::string* out);

// Whether the bytes hold the pattern (ASCII letters folded unless
// matchCase).
bool BytesHoldPattern(const char* bytes, size_t length, const std::string& pattern, bool matchCase);

// Host files: mapped read-only in windows; false when the file cannot be
// opened or mapped.
bool HostFileHolds(const wchar_t* path, const std::string& pattern, bool matchCase,
                   const volatile LONG* stop);
// Volume files: read in pieces of kSearchPieceBytes.
bool VolumeFileHolds(VolumeFiles* volume, const wchar_t* path, const std::string& pattern,
                     bool matchCase, const volatile LONG* stop);

// Walks the host folder or the volume folder (volume non-null); stops early
// when *stop becomes nonzero.
void SearchHostFiles(const FileSearchSpec& spec, FileSearchSink* sink, const volatile LONG* stop);
void SearchVolumeFiles(VolumeFiles* volume, const FileSearchSpec& spec, FileSearchSink* sink,
                       const volatile LONG* stop);
