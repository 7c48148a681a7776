// What the network and display pages of the image driver manager share:
// the list with its nine columns and state images, the button tips, the
// in-place version choice, the key handler, the button states and the update
// loop over the selected rows. The pages differ in how they fill the list,
// install from the store, remove and open their property sheets.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "driverui/SetupDriverInstall.h"
#include "ui/Window.h"

class CMountedImage;
class CInfInstaller;

// List columns of both pages.
enum DriverListColumn : int {
  kColName = 0,
  kColInstalledVersion = 1,
  kColStoreVersion = 2,
  kColTarget = 3,
  kColInstance = 4,
  kColHardwareId = 5,
  kColDeviceKey = 6,
  kColInstanceKey = 7,
  kColEnumerator = 8,
};

// Where the devices of the driver pages are looked for, in this order.
extern const wchar_t* const kDriverEnumerators[4];

// What tells the two pages apart in the shared code.
struct DriverPageTraits {
  int storeClass;              // kStoreNetwork or kStoreDisplay
  const wchar_t* classGuid;    // upper-case braced class GUID
  const int* icons;            // the ten state images
  const int* tipStrings;       // tips of 1005, 1003, 1006, 1002, 1004
  int problemLegend;           // string of group box 1041 with problem rows
  const wchar_t* widthsValue;  // saved column widths
};

// "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet%03u\" followed by the tail.
std::wstring ImageSystemKey(uint32_t controlSet, const std::wstring& tail);
// A value that is text (REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ; a list gives
// its first string); false otherwise or when missing.
bool ReadRegistryString(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                        std::wstring& text);
// Bit 0 of the first byte of the key's value "Vro": one of the
// installation's own devices.
bool IsOwnDriverKey(CMountedImage* image, const std::wstring& key);
std::wstring AfterLastBackslash(const std::wstring& text);

class CImgDriverPage : public CWindow {
 public:
  CImgDriverPage(CMountedImage* image, const DriverPageTraits& traits);

  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  // The list rebuilt from the image.
  virtual void FillList() = 0;
  // One row's driver installed from the store version folder through the
  // installation transaction every front end shares; 1 when it completed.
  // A failure leaves the row's driver as it was and is noted for the box
  // that UpdateSelected shows (name: the row's description).
  int InstallFromStore(const wchar_t* deviceKey, uint32_t version, uint32_t controlSet,
                       const wchar_t* instance, const wchar_t* target, const wchar_t* package,
                       const wchar_t* versionFolder, const wchar_t* enumerator,
                       const wchar_t* instanceKey, const std::wstring& name);
  // After a successful installation: the row's image and installed version.
  virtual void RefreshInstalledRow(int item) = 0;
  virtual void DeleteSelected() = 0;
  virtual void OpenProperties(int item) = 0;
  virtual void OpenSetup() = 0;
  virtual void BackupSelected() {}

  // Shared commands and handlers.
  void UpdateSelected();
  void UpdateButtons();
  void OnListClick(NMITEMACTIVATE* click);
  void ApplyVersionChoice();
  LRESULT OnDriverListKeyDown(NMLVKEYDOWN* key);

  // Helpers over the list.
  HWND List() const { return GetDlgItem(m_hWnd, 1001); }
  HWND Combo() const { return GetDlgItem(m_hWnd, 1035); }
  std::wstring ItemText(int item, int column, int chars = 400) const;
  // The store package of a row: its hardware id looked up in the store
  // index, the id itself when the store does not know it.
  std::wstring PackageOf(int item) const;
  // Column 5: the device key cut at "&REV_" and "&SUBSYS_".
  static std::wstring CutHardwareId(const std::wstring& deviceKey);
  // Columns 2 (newest store version) and the item data (version count).
  void SetStoreColumns(int item);
  // Group box 1041 with the problem legend.
  void ShowProblemLegend();
  // Text after the last ';' (the whole text without one).
  static std::wstring AfterLastSemicolon(const std::wstring& text);
  std::wstring TargetFolderText() const;
  std::wstring LoadString(UINT id) const;

  HWND m_tip;
  CMountedImage* m_image;
  DriverPageTraits m_traits;

 protected:
  // The packages that failed in the running update, for its box.
  std::vector<SetupPackageFailure> m_failures;
  // OnInitDialog's shared steps 1 to 6 (placing, list, columns, buttons, tips).
  void InitPage();
};
