// Installing checked driver packages of the store into the Windows of a
// mounted image, as the driver setup dialogs run it: each package one
// installation of its own through the transaction every front end shares
// (a failed one leaves the image as it was), each new network adapter its
// own identity, a boot-time PnP device per package, the store index tidied
// at the end. Runs on the caller's thread and works on the hives the caller
// loaded.
#pragma once
#include <stdint.h>

#include <string>
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

// A package that was not installed: its row, the result and the line the
// command line would print for it.
struct SetupPackageFailure {
  std::wstring name;
  std::wstring version;
  int32_t result;
  std::wstring line;
};

// classKind: 2 network, 3 display. linkFiles: 1 to link the driver files to
// the store instead of copying them. Returns the number of packages
// installed; every package that failed is added to `failures`.
int InstallStorePackages(CMountedImage* image, uint32_t classKind, uint32_t linkFiles,
                         const std::vector<SetupPackageRow>& rows,
                         std::vector<SetupPackageFailure>* failures);

// The text of the box that tells the failed packages of a run: one line per
// package ("name version: line") after the window's own words (format, a
// string-table text holding one %s).
std::wstring DescribeFailedPackages(const std::wstring& format,
                                    const std::vector<SetupPackageFailure>& failures);
