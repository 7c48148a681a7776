// The advanced parameters a store package's INF declares ("Ndi\Params\..."
// AddReg lines of its install section, every architecture decoration
// together) and the operator's choices for them in the package version's
// "Params.ini", which the installation into an image applies to the new
// driver key. Two sections of "Params.ini" hold the same keys: one named
// after the install section, one after the device name.
#pragma once
#include <vector>

#include "driverui/NdiParamRecord.h"

// The parameters with a description and a type, in the order the INF first
// names them, each with its value from "Params.ini" (device-name section
// first, then the install-section section) or the INF's default. Empty when
// the INF is not a network INF. The caller frees each record.
std::vector<NdiParamRecord*> ReadInfNdiParams(const wchar_t* infPath, const wchar_t* installSection,
                                              const wchar_t* deviceName);

// "Params.ini" beside the INF (out: 360 characters).
void FormatParamsIniPath(const wchar_t* infPath, wchar_t* out);

// Writes each changed record into both sections (an empty value removes the
// key from both); unchanged records are left as they stand. Returns the
// number of records written.
int WriteChangedNdiParams(const wchar_t* infPath, const wchar_t* installSection,
                          const wchar_t* deviceName, const std::vector<NdiParamRecord*>& records);

// A typed number as the store keeps it: lower-case hexadecimal without a
// prefix for base 16, decimal otherwise; text that is no number gives 0.
void FormatTypedNdiNumber(const wchar_t* typed, int base, wchar_t* out, int chars);
