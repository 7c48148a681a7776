// The registry editor's keys work from every control of its window, as in
// Windows' own editor: Ctrl+F, Ctrl+H, F3 and F5 wherever the focus is, Del
// and F2 too except inside an edit box, which needs them itself. The keys
// are taken from the dialog loop through a message filter of the thread.
#pragma once
#include <windows.h>

class CRegistryDlg;

// The command a key stands for (0 for none). `inEdit` when the focused
// control is an edit box.
UINT RegistryKeyCommand(WORD key, bool ctrl, bool inEdit);

// Installs the filter for the editor on the calling thread (the previous
// one is kept and comes back with RemoveEditorKeys).
void InstallEditorKeys(CRegistryDlg* editor);
void RemoveEditorKeys(CRegistryDlg* editor);
