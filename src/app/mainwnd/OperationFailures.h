// What the window tells in one box when an operation did not do all it was
// asked: the first item it could not do, named in full with the system's
// error and that error's text in the window's language, and how many it
// could not do; and, when the image could not take the operation whole,
// that the operation was taken back, naming the file.
#pragma once
#include <windows.h>

#include <string>

class CMountedImage;

class OperationFailures {
 public:
  // format: the text of the first item (IDS_*_FAILED of the operation).
  explicit OperationFailures(UINT format) : m_format(format) {}
  // `count` items not done, the first of them `item` (its full path) with
  // `error` (0: one the system did not name). The first item added stays
  // the one named.
  void Add(const std::wstring& item, DWORD error, int count = 1);
  // A rename's new name, named after the item.
  void SetNewName(const std::wstring& name) { m_newName = name; }
  // The grow of the partition that `item` asked for was refused for the
  // cause `why` names (the grow's lines): told with the operation taken
  // back, in place of the system's error.
  void GrowRefused(const std::wstring& item, const std::wstring& why) {
    m_growItem = item;
    m_growWhy = why;
  }
  const std::wstring& GrowItem() const { return m_growItem; }
  const std::wstring& GrowWhy() const { return m_growWhy; }
  int Count() const { return m_count; }
  // The box's text for them ("" when every item was done).
  std::wstring Text() const;

 private:
  UINT m_format;
  std::wstring m_item, m_newName, m_growItem, m_growWhy;
  DWORD m_error = 0;
  int m_count = 0;
};

// The file of the image that takes the writes (the write-back file, else
// the update file, else the image itself): what an operation taken back
// names.
std::wstring WrittenFile(CMountedImage* image);

// One box over `owner` (nothing when there is nothing to tell): first,
// when `takenBack` names a file, that the operation could not be written
// whole into it and was taken back (or, where a grow it asked for was
// refused, that, with the item and the grow's cause); then what it could
// not do.
void TellOperation(HWND owner, const OperationFailures& failures,
                   const std::wstring& takenBack = std::wstring());
