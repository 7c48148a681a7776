// A file that replaces another is made whole under a temporary name beside
// it and takes the other's name only when complete: until then the old file
// stays as it was, and a failure or a stopped process never leaves a part
// made file under the target's name. The maker holds its temporary open
// without sharing its removal, so a temporary that a stopped process left
// is told from one still being made: the next maker for the same target
// removes the first kind.
#pragma once
#include <windows.h>

#include <string>

class ReplacedFile {
 public:
  // Makes an empty file of a new temporary name in the target's folder
  // (with the target's extension). Path() is empty when none could be made.
  // Temporaries of the same target that no maker holds any more are
  // removed first, each handed to `removed` (when given) once gone.
  explicit ReplacedFile(const wchar_t* target, void (*removed)(const wchar_t* path) = nullptr);
  // Removes the temporary file unless it took the target's place.
  ~ReplacedFile();
  ReplacedFile(const ReplacedFile&) = delete;
  ReplacedFile& operator=(const ReplacedFile&) = delete;

  const wchar_t* Path() const { return m_Temp.c_str(); }
  bool IsReady() const { return !m_Temp.empty(); }
  // Puts the finished file, closed and flushed by its writer, in the
  // target's place in one step, and flushes the folder so that the name
  // reaches the disk. False when the rename failed (the target untouched)
  // or the flush did (the new file holds the name: IsCommitted()).
  bool Commit();
  bool IsCommitted() const { return m_bCommitted; }
  // True while path is the temporary name of a file being made: nothing
  // has to be kept for taking its writes back (a failure drops it whole).
  static bool IsBeingMade(const wchar_t* path);

 private:
  std::wstring m_Target;
  std::wstring m_Temp;
  HANDLE m_hHeld = INVALID_HANDLE_VALUE;  // the temporary, held while it is made
  bool m_bCommitted = false;
};
