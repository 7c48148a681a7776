// Run-time libraries and shared memory: the rich-edit loader and the named
// section through which the file viewer is handed file bytes.
#pragma once
#include <windows.h>

// 4 when msftedit.dll is or can be loaded, else 2 for riched20.dll, else 1
// for riched32.dll (each from the system folder unless already loaded); 0
// when none.
int LoadRichEditLibrary();

// A paging-file section of `size` bytes named "Mount#%08X" with a random id,
// mapped for reading and writing into *view. Returns the section handle, 0
// when it cannot be created or mapped.
HANDLE CreateNamedSection(DWORD size, void** view);

// Unmaps the view and closes the handle, each when given.
void CloseNamedSection(void* view, HANDLE section);
