// The read-only viewers of hardware-resource values: CResourceListDlg for
// REG_RESOURCE_LIST and REG_FULL_RESOURCE_DESCRIPTOR, CRequirementsListDlg
// for REG_RESOURCE_REQUIREMENTS_LIST with one child page per requirement
// type. They decode a copy of the value's data and write nothing.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "regedit/ResourceData.h"
#include "ui/Window.h"

class CMountedImage;
class CRegistryDlg;

class CResourceListDlg : public CWindow {
 public:
  // `listFlag` 1: REG_RESOURCE_LIST; 0: REG_FULL_RESOURCE_DESCRIPTOR.
  CResourceListDlg(CRegistryDlg* parent, CMountedImage* image, DWORD listFlag, int row);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  void FillResourceDescriptorList();
  void ShowPartialResources();

  CMountedImage* m_image;
  DWORD m_reserved = 0;
  DWORD m_listFlag;
  std::vector<uint8_t> m_data;  // the copy as a resource list
  std::vector<FullResourceDescriptor> m_descriptors;
};

class CRequirementsListDlg : public CWindow {
 public:
  CRequirementsListDlg(CRegistryDlg* parent, CMountedImage* image, int row);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  void FillRequirementsList();
  void ShowRequirementDetails();

  CMountedImage* m_image;
  DWORD m_reserved = 0;
  std::vector<uint8_t> m_data;
  RequirementsList m_list;
};

// The four pages: borderless children of the requirements viewer whose
// control ids are their template ids (113 to 116).
class CRequirementsPage : public CWindow {
 public:
  CRequirementsPage(CWindow* viewer, UINT templateId);
  LRESULT OnClose(WPARAM wParam) override;
};
class CRequirementsPortDlg : public CRequirementsPage {
 public:
  explicit CRequirementsPortDlg(CWindow* viewer);
};
class CRequirementsInterruptDlg : public CRequirementsPage {
 public:
  explicit CRequirementsInterruptDlg(CWindow* viewer);
};
class CRequirementsMemoryDlg : public CRequirementsPage {
 public:
  explicit CRequirementsMemoryDlg(CWindow* viewer);
};
class CRequirementsDmaDlg : public CRequirementsPage {
 public:
  explicit CRequirementsDmaDlg(CWindow* viewer);
};

// Name tables in the window's language. The interface type name of an
// unknown number (16 included) is the "invalid" text with *known false.
std::wstring GetInterfaceTypeName(CWindow* window, uint32_t type, bool* known = nullptr);
// Empty for a type without a name.
std::wstring GetResourceTypeName(CWindow* window, uint8_t type);
std::wstring GetShareDispositionName(CWindow* window, uint8_t share);

// "0x%016I64x" when the high half is set, else "0x%08x".
std::wstring FormatResourceAddress(uint64_t address);
