// The boot and system options of an offline Windows: the boot menu of its
// BCD store (entries, menu style, timeout, signing and debugging of the
// default loader) and a few settings of its SYSTEM hive (debug output,
// paging, Remote Desktop, crash dump, automatic restart). Read from and
// written to the hives that CMountedImage::LoadHives loaded (BCD and SYSTEM).
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

class CMountedImage;

struct BootEntry {
  std::wstring guid;
  std::wstring name;
};

// Crash dump choices in the order of the dialog's list.
enum BootDumpItem {
  BOOT_DUMP_NONE = 0,
  BOOT_DUMP_SMALL = 1,
  BOOT_DUMP_KERNEL = 2,
  BOOT_DUMP_COMPLETE = 3,
};

struct BootOptions {
  std::vector<BootEntry> entries;  // the display order
  bool beforeWindows8 = false;
  // Before Windows 8: the boot menu is shown; from Windows 8 on: the tile
  // menu is used.
  bool menu = false;
  bool wait = false;
  bool timeoutKnown = false;
  uint32_t timeout = 0;
  bool noSigning = false;
  bool debug = false;
  bool debugPrint = false;
  bool noPaging = false;
  bool remoteDesktop = false;
  int dumpItem = BOOT_DUMP_NONE;
  bool autoRestart = false;
};

// True for a version word (registry/WindowsIdentity.h) of a Windows older
// than Windows 8: major below 6, or 6 with minor below 2.
bool IsBeforeWindows8(uint32_t versionWord);

// Reads every option; one that cannot be read keeps the value options
// already holds.
void ReadBootOptions(CMountedImage* image, BootOptions* options);

// Writes the options in which after differs from before, and only those;
// everything else in the store and the hive stays as it is. True when
// every write succeeded.
bool WriteChangedBootOptions(CMountedImage* image, const BootOptions& before,
                             const BootOptions& after);
