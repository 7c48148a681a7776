// The bindings of a newly installed network adapter completed below the
// installation's own NDIS service: its upper links in "Config", the
// UpperBind and ProtocolList of the adapter (or of the wrapper adapter) and
// the wrapper's Linkage. Every value is written straight into the loaded
// hive and copied into the installation's staging script.
#pragma once
#include <stdint.h>

class CInfInstaller;

// adapterKey is "{4D36E972-...}\NNNN" below Control\Class; wrapperInstance
// is the wrapper adapter's class instance before Windows 10, else -1. The
// non-zero answer of the consistency check when the bindings already agreed
// (nothing written), else 0.
int32_t BindNewAdapter(CInfInstaller* installer, const wchar_t* adapterGuid,
                       const wchar_t* adapterKey, int32_t wrapperInstance,
                       const wchar_t* scriptPath);
