#include "netcfg/NetRegistry.h"

#include <objbase.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "registry/hive/RegTypes.h"

const wchar_t kNetAdapterClassGuid[] = L"{4D36E972-E325-11CE-BFC1-08002BE10318}";
const wchar_t kNetTransClassGuid[] = L"{4d36e975-e325-11ce-bfc1-08002be10318}";
const wchar_t kNetClientClassGuid[] = L"{4d36e973-e325-11ce-bfc1-08002be10318}";
const wchar_t kNetServiceClassGuid[] = L"{4d36e974-e325-11ce-bfc1-08002be10318}";

std::wstring SystemKeyPath(uint32_t controlSet, const wchar_t* tailFormat, ...) {
  wchar_t head[64];
  _snwprintf(head, 64, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\", controlSet);
  head[63] = 0;
  wchar_t tail[1024];
  va_list args;
  va_start(args, tailFormat);
  _vsnwprintf(tail, 1024, tailFormat, args);
  va_end(args);
  tail[1023] = 0;
  return std::wstring(head) + tail;
}

std::wstring GuidText(const GUID& guid) {
  wchar_t text[128];
  if (StringFromGUID2(guid, text, 128) <= 0) return std::wstring();
  return text;
}

bool ParseGuidText(const wchar_t* text, GUID& guid) {
  memset(&guid, 0, sizeof(guid));
  if (!text || text[0] != L'{' || wcslen(text) != 38) return false;
  return SUCCEEDED(CLSIDFromString(const_cast<wchar_t*>(text), &guid));
}
