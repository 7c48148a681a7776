// What the registry editor's dialogs read from the editor window and the
// hives: the selected key's path, the value a list row stands for, the
// value's stored type and data, and message boxes with the editor's texts.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

class CMountedImage;
class CRegistryDlg;
class CWindow;

// The path of the key tree's selected item; empty when none is selected.
std::wstring SelectedKeyPath(CRegistryDlg* editor);

// A cell of the value list, at most 1023 characters.
std::wstring ListCellText(HWND list, int row, int column);

// The name of the value that list row `row` shows: the empty name (the
// default value) for row 0 labelled with the default-row text.
std::wstring RowValueName(CRegistryDlg* editor, int row);

// The default-row label ("(default)") in the window's language.
std::wstring DefaultValueLabel(CWindow* window);

// A string of the window's language.
std::wstring LoadWindowString(CWindow* window, UINT id);

// The value's type and whole data from the hive; false when the value (or
// the key) is missing or the hive cannot be read.
bool ReadHiveValue(CMountedImage* image, const std::wstring& keyPath, const std::wstring& name,
                   uint32_t* type, std::vector<uint8_t>* data);

// A message box with string `textId` ("%s" replaced by `argument` when
// given) and caption string `captionId` (none for 0), brought to the
// foreground. Returns the box's answer.
int ShowEditorMessage(CWindow* window, HWND owner, UINT textId, UINT captionId, UINT flags,
                      const wchar_t* argument = nullptr);
