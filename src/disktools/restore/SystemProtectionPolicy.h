// The system's per-volume protection policy object, as this program calls
// it. The platform headers do not declare it; the layout below is the one
// the switching relies on: one setting per protection client and volume, and
// an apply call for the volume.
#pragma once
#include <windows.h>
#include <unknwn.h>

// {4B966436-6781-4906-8035-9AF94B32C3F7}
static const CLSID kClsidSystemProtectionPolicy = {
    0x4B966436, 0x6781, 0x4906, {0x80, 0x35, 0x9A, 0xF9, 0x4B, 0x32, 0xC3, 0xF7}};
// {ADCF3F49-521F-48A6-BABA-8E20D5D3E861}
static const IID kIidSystemProtectionPolicy = {
    0xADCF3F49, 0x521F, 0x48A6, {0xBA, 0xBA, 0x8E, 0x20, 0xD5, 0xD3, 0xE8, 0x61}};

// The two protection clients switched per volume: System Restore's own and
// the second one the system keeps beside it.
// {09F7EDC5-294E-4180-AF6A-FB0E6A0E9513}
static const GUID kSystemRestoreClient = {
    0x09F7EDC5, 0x294E, 0x4180, {0xAF, 0x6A, 0xFB, 0x0E, 0x6A, 0x0E, 0x95, 0x13}};
// {3E7F07C9-6BC3-11DC-A033-0019B92BB8B1}
static const GUID kSecondProtectionClient = {
    0x3E7F07C9, 0x6BC3, 0x11DC, {0xA0, 0x33, 0x00, 0x19, 0xB9, 0x2B, 0xB8, 0xB1}};

// How a setting is written: mode 2 replaces the stored value.
enum { kPolicySettingReplace = 2 };

struct ISystemProtectionPolicy : public IUnknown {
  // Sets the client's setting for one volume ("\\?\Volume{...}\").
  virtual HRESULT STDMETHODCALLTYPE SetVolumeSetting(REFGUID client, LPCWSTR volume, DWORD mode,
                                                     DWORD value) = 0;
  // Applies the changed settings of the volume.
  virtual HRESULT STDMETHODCALLTYPE ApplyVolume(LPCWSTR volume, DWORD flags) = 0;
};
