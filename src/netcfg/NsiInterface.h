// NSI interface records: one REG_BINARY record per network interface below
// Control\Nsi\{eb004a11-...}\10, named after its LUID, and the bitmap of
// the Ethernet LUID indices in use. Fields of a record are read only after
// its length was checked to hold them.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

class CMountedImage;

const uint32_t kNsiRecordBytes = 2312;
const uint32_t kNsiGuidOffset = 1040;
const uint32_t kNsiEthernetType = 6;
const uint32_t kNsiNoIndex = 0xFFFFFFFF;
// String of the resource table naming a local area connection.
const UINT kNsiConnectionNameString = 156;

// The records key and the Ethernet type's key of the control set.
std::wstring NsiRecordsKey(uint32_t controlSet);
std::wstring NsiIfTypeKey(uint32_t controlSet);

// "%08x00000600" of a LUID index.
std::wstring NsiRecordName(uint32_t luidIndex);
// LUID index and interface type of a record name (one 64-bit hexadecimal
// number); false when the name is no such number.
bool ParseNsiRecordName(const wchar_t* name, uint32_t* luidIndex, uint32_t* ifType);
// The interface GUID of a record's data; false when the value is too short
// to hold it.
bool NsiRecordGuid(const uint8_t* data, size_t length, GUID& guid);
// A new Ethernet record for the GUID with 16 bytes taken from the template
// at offset 1056 (template of the full length).
std::vector<uint8_t> BuildNsiRecord(const GUID& guid, const uint8_t* templateRecord);

// Bit index of a used-index bitmap; false when the bitmap is shorter.
bool NsiIndexBitSet(const std::vector<uint8_t>& bitmap, uint32_t index);
// Sets bit index, growing the bitmap to the byte that holds it; bytes beyond
// stay as they were. The result has at least one byte.
void SetNsiIndexBit(std::vector<uint8_t>& bitmap, uint32_t index);

// The LUID index of the adapter's Ethernet record, made when there is none
// (Windows 6 and later). kNsiNoIndex when none exists and none could be made,
// also when storing the record or the bitmap fails.
uint32_t RegisterNsiInterface(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                              const wchar_t* adapterGuid);
