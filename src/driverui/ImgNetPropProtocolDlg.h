// The bound network components page of the network property sheet: the
// clients, services and protocols the network configuration considers for
// the adapter, ticked when bound and red when their binding is not in the
// expected state, named by their display names (the program's own texts,
// else the offline Windows' language resource files). Read only.
#pragma once
#include <windows.h>

#include <string>

#include "ui/Window.h"

class CMountedImage;

class CImgNetPropProtocolDlg : public CWindow {
 public:
  CImgNetPropProtocolDlg(CWindow* sheet, int instance, CMountedImage* image);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  CMountedImage* m_image;
};

// Fills the list with the components of the adapter of the device.
void ListBoundComponents(CImgNetPropProtocolDlg* page, HWND list, const wchar_t* deviceKey,
                         const wchar_t* deviceInstance);
// The display name of a component into out (200 characters): 1 when a text
// other than the component name was found. A resource file is read from a
// temporary copy loaded as data only: nothing of it runs on the host.
int ResolveComponentDisplayName(CImgNetPropProtocolDlg* page, const wchar_t* displayName,
                                const wchar_t* component, wchar_t* out);
// The language folder of resource files for a user-interface language.
const wchar_t* ResourceLanguageFolder(LANGID language);
