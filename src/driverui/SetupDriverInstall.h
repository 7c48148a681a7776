// Installing checked driver packages of the store into the Windows of a
// mounted image, as the driver setup dialogs run it: one installer record
// and one adapter identity for a network run, a boot-time PnP device per
// package, the store index tidied at the end. Runs on the caller's thread and
// works on the hives the caller loaded.
#pragma once
#include <stdint.h>

#include <vector>

class CMountedImage;

// The five texts of one checked package row.
struct SetupPackageRow {
  wchar_t name[200];
  wchar_t version[100];
  wchar_t hardwareId[100];  // without enumerator
  wchar_t installSection[100];
  wchar_t infPath[360];  // the package version's VroPnp.inf
};

// Result when a network run cannot prepare the adapter identity: nothing
// was installed and nothing is to be reported.
constexpr int kSetupInstallNoAdapterIdentity = -1;

// classKind: 2 network, 3 display. linkFiles: 1 to link the driver files to
// the store instead of copying them. Returns the number of packages
// installed (items that fail are skipped), or kSetupInstallNoAdapterIdentity.
int InstallStorePackages(CMountedImage* image, uint32_t classKind, uint32_t linkFiles,
                         const std::vector<SetupPackageRow>& rows);
