// The pictures of the driver windows, drawn in code and named by their icon
// ids: adapters (network, display, the installation's own, virtual), the
// problem overlay, tab pictures, file kinds and component kinds.
#pragma once
#include <windows.h>
#include <commctrl.h>

// Icon ids of the driver windows.
enum DriverIconId : int {
  kIconFile = 102,
  kIconVirtualAdapter = 127,
  kIconNetVirtual = 128,
  kIconNetOwn = 129,
  kIconProblemOverlay = 130,
  kIconFileDriver = 133,
  kIconFileProgram = 134,
  kIconComponentClient = 122,
  kIconComponentService = 123,
  kIconComponentProtocol = 124,
  kIconCheckOff = 125,
  kIconCheckOn = 126,
  kIconDisplay = 149,
  kIconDisplayVirtual = 150,
  kIconDisplayOwn = 151,
  kIconNetwork = 161,
  kIconNetInfo = 162,
  kIconNetInfoOwn = 163,
  kIconDisplayInfo = 164,
  kIconDisplayInfoOwn = 165,
  kIconNetInfoRecorded = 167,
  kIconDisplayInfoRecorded = 168,
  kIconTabNetwork = 170,
  kIconTabDisplay = 171,
  kIconFileLink = 172,
  kIconFileDriverLink = 173,
  kIconFileProgramLink = 174,
  kIconTabOwnPrograms = 175,
};

// The icon `id` at `size` x `size` pixels (32-bit with mask): the module's
// own icon resource when it has one, else the drawn picture; null for an
// unknown id. The caller destroys it.
HICON LoadDriverIcon(HINSTANCE module, int id, int size);

// Appends the icons to the image list in order; one that cannot be made is
// skipped. Returns the number appended.
int AppendDriverIcons(HIMAGELIST list, HINSTANCE module, const int* ids, int count, int size);
