// The identity of a network adapter about to be installed: the GUID of an
// adapter configuration that the installation's own network drivers already
// prepared in the offline SYSTEM hive (its TCP/IP settings, connection and
// filter keys), and the adapter's NetLuidIndex. No GUID is ever invented.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

class CInfInstaller;

// Capacity of the GUID text handed out.
const uint32_t kAdapterGuidChars = 100;

// 1 when an identity was found: guidOut (kAdapterGuidChars units) holds the
// braced GUID and netLuidIndex its index; 0 when none was, with the index
// left at 0xFFFFFFFF. Reads the hive; only the NSI interface registration
// may write. An identity in `taken` (held by another adapter of the same
// run) is never given.
int32_t PrepareNewAdapterIdentity(CInfInstaller* installer, wchar_t* guidOut,
                                  uint32_t* netLuidIndex,
                                  const std::vector<std::wstring>* taken = nullptr);
