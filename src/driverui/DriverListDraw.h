// The pieces every driver list shares: the row state carried in an item's
// image index and its colours, the problem overlay, the row painter that the
// lists answer NM_CUSTOMDRAW with, and the in-place version combo (a hidden
// drop-down list laid over a "version" cell) filled from the store folders
// of one package.
#pragma once
#include <windows.h>
#include <commctrl.h>

// Row state = image index % 3.
enum DriverRowState : int {
  kRowNormal = 0,
  kRowProblem = 1,       // red text, overlay
  kRowNotAssociated = 2  // grey text, overlay
};
// Image bases: 0 a device driver, 3 one of the installation's own, 6 a
// virtual adapter; image 9 is the problem overlay.
constexpr int kImageBaseDevice = 0;
constexpr int kImageBaseOwn = 3;
constexpr int kImageBaseVirtual = 6;
constexpr int kImageOverlay = 9;

inline int DriverRowStateOf(int image) {
  return image % 3;
}
inline bool IsOwnDriverImage(int image) {
  return image >= kImageBaseOwn && image < kImageBaseOwn + 3;
}

// Colours of the painter (COLORREF).
constexpr COLORREF kRowSelectedFrame = 0xFFD199;
constexpr COLORREF kRowSelectedFill = 0xFFE8CC;
constexpr COLORREF kRowProblemText = 0x0000FF;
constexpr COLORREF kRowNotAssociatedText = 0x808080;

// The handles the painter consults per column 0, 1 and 2; slot 2 is the
// version combo of the row (null when the row has at most one version).
struct DriverListPaintContext {
  HWND columns[3];
};

// NM_CUSTOMDRAW of a driver list: CDRF_NOTIFYITEMDRAW at prepaint, the whole
// row painted (text colour by state, overlay, check box, combo button in
// column 2) and CDRF_SKIPDEFAULT at item prepaint, 0 otherwise.
LRESULT PaintDriverListItem(NMLVCUSTOMDRAW* draw, const DriverListPaintContext* context);

// NM_CUSTOMDRAW of the lists that mark rows by item data: a row whose item
// data is not 0 gets red text on the highlight colour (selected) or the
// window colour; everything else is drawn as usual.
LRESULT PaintMissingRowsRed(NMLVCUSTOMDRAW* draw);

// Fills the combo with the version folders of a store package below
// <store root>\<class folder>\<target>\<package> (class 2 "Network", 3
// "Display", any other code no class folder); the folder equal to
// `currentVersion` (A-Z folded) is selected. Returns the number added.
int FillVersionCombo(int storeClass, HINSTANCE module, const wchar_t* targetFolder,
                     const wchar_t* packageFolder, const wchar_t* currentVersion, HWND combo);

// Lays the hidden combo over the list cell (item, subItem) so that its list
// drops directly below the row, then opens its drop-down, or closes it when
// it is open. `offset`: low word signed x, high word y. Returns the result of
// CB_SHOWDROPDOWN.
LRESULT ShowCellCombo(HWND dialog, HWND list, HWND combo, int item, int subItem, LPARAM offset);

// Equality of two texts with only the letters A to Z folded.
bool SameTextAZ(const wchar_t* a, const wchar_t* b);
