// Drag and drop of host paths: starting a drag from a list, the formats
// added for the drop, and the effect a drop target decides.
#pragma once
#include "ui/dragdrop/OleObjects.h"

// Builds the data object and the drop source over the double-NUL path list
// (`length` characters with the final NUL) and runs the shell's drag loop
// allowing copy. 1 when the loop ended with a drop, else 0.
int StartOleDrag(HWND window, const wchar_t* paths, int length, OleDropCallback callback,
                 LPARAM context);

// Drags the selected items of a list view (column 0 joined to `folder`, or
// as they stand without one; empty names, "." and ".." skipped). 0 when
// nothing is selected.
int BeginListDrag(HWND list, const wchar_t* folder, OleDropCallback callback, LPARAM context);

// Adds "FileName" (ANSI) and "FileNameW" for the path. Nonzero when stored.
BOOL AddFileNameFormats(IDataObject* data, const wchar_t* path);

// Stores "DropDescription" with the image of the effect and the message.
BOOL SetDropDescription(IDataObject* data, DWORD effect, const wchar_t* message);

// Asks the target's owner about each dragged path (only paths with a
// separator when `pathsOnly`); with an effect, adds the file-name formats
// and the drop description. Returns the effect the owner answered.
DWORD DecideDropEffect(CDropTarget* target, IDataObject* data, BOOL pathsOnly);

// A copy of a medium that its receiver may free (HGLOBAL copied, interfaces
// given another reference).
HRESULT CopyMedium(const STGMEDIUM& from, CLIPFORMAT format, STGMEDIUM* to);
