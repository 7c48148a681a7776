// The display page of the image driver manager: the display adapters of the
// offline Windows with their installed and newest store versions; add,
// delete (with its own uninstallation), update and view. A device is in
// order when it is enabled and every driver file the registry names is in
// the image.
#pragma once
#include <string>

#include "driverui/ImgDriverPage.h"

// The ten user-mode driver values of a display driver key, in reading
// order; the names ending in "WoW"/"Wow" resolve bare names in SysWOW64.
extern const wchar_t* const kDisplayUserModeValues[10];
bool IsWowUserModeValue(const wchar_t* name);

class CImgDisplayDrvDlg : public CImgDriverPage {
 public:
  // Creates the modeless page 156 (hidden) over the container's tab control.
  CImgDisplayDrvDlg(CWindow* container, CMountedImage* image);

  LRESULT OnInitDialog() override;

  void FillList() override { FillDeviceList(); }
  void FillDeviceList();
  void RefreshInstalledRow(int item) override;
  void DeleteSelected() override;
  void OpenProperties(int item) override;
  void OpenSetup() override;

  // 1 when every driver file the registry names for the driver key is in
  // the image (the file record, else the service and the user-mode DLLs).
  int CheckDriverFiles(uint32_t controlSet, const wchar_t* instance, const wchar_t* service);
  // Removes one device with what only it uses; 1 when every removal that was
  // due succeeded, 0 when one failed (the rest is still done).
  int UninstallDevice(uint32_t controlSet, const wchar_t* instance, const wchar_t* enumerator,
                      const wchar_t* deviceKey, const wchar_t* instanceKey);
  // True when another display driver key names the file (A-Z folded).
  bool IsFileUsedByOtherDriver(const wchar_t* fileName, const wchar_t* instance);
  // Deletes <Windows folder>\<systemFolder>\<fileName> unless its company is
  // "Microsoft Corporation": 1 deleted, 0 kept or missing, -1 failed.
  int DeleteFileUnlessMicrosoft(const wchar_t* systemFolder, const wchar_t* fileName);

 private:
  std::wstring WindowsFolder();
  // A user-mode DLL name as a path of the image (".dll" added, bare names
  // in System32 or SysWOW64).
  std::wstring UserModeFilePath(const std::wstring& name, bool wow);
};

// The DriverVersion of a display driver key; empty when missing.
std::wstring ReadDisplayDriverVersion(CMountedImage* image, uint32_t controlSet,
                                      const wchar_t* instance);
