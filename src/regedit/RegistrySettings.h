// The registry editor's state on the host, under HKEY_CURRENT_USER
// "Software\VroMount": the key tree width, the last key, the history of
// visited keys shown in the address combo, and the favorites.
#pragma once
#include <windows.h>

class CRegistryDlg;

// Key of the visited-keys list and of the favorites, below the settings key.
constexpr wchar_t kRegistryHistoryKey[] = L"Software\\VroMount\\History\\Registry";
constexpr wchar_t kRegistryFavoritesKey[] = L"Software\\VroMount\\Favorites\\Registry";
// Entries the visited-keys list and the address combo hold at most.
const int kRegistryHistoryMax = 30;
// Favorites the Favorites popup shows at most.
const int kRegistryFavoritesMax = 100;

int LoadKeyTreeWidth();
void SaveKeyTreeWidth(int width);
void SaveLastKey(const wchar_t* path);
void RestoreLastKey(CRegistryDlg* window);
// Returns the number of entries put into the address combo.
int LoadRegistryHistory(CRegistryDlg* window);
// Records the selected key (not a hive root) at the top of the history.
void AddRegistryHistory(CRegistryDlg* window);
// Selects the deepest key of the tree that the path names, expanding on
// the way; components compare without regard to case.
void SelectKeyPath(CRegistryDlg* window, const wchar_t* path);
// Rebuilds the Favorites popup: its two commands, then up to 100 favorites
// with the ids 32000 and up.
void FillFavoritesMenu(HMENU popup);
