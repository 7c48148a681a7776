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

std::wstring SystemKeyPath(uint32_t controlSet, const wchar_t* tailFormat, ...)
{
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

bool NetKeyExists(CMountedImage* image, const std::wstring& key)
{
    return image && image->RegGetSubkeyCount(key.c_str()) >= 0;
}

bool ReadNetValue(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                  std::vector<uint8_t>& data, uint32_t* type)
{
    data.clear();
    if (!image)
        return false;
    uint32_t t = 0;
    RegValueBuf* value = nullptr;
    if (image->RegQueryValue(key.c_str(), name, &t, &value) != REG_STATUS_OK || !value)
        return false;
    data.assign(value->data, value->data + value->length);
    free(value);
    if (type)
        *type = t;
    return true;
}

bool ReadNetText(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                 std::wstring& text)
{
    text.clear();
    std::vector<uint8_t> data;
    if (!ReadNetValue(image, key, name, data))
        return false;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        wchar_t c = (wchar_t)GetLe16(&data[i]);
        if (!c)
            break;
        text += c;
    }
    return true;
}

bool ReadNetDword(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                  uint32_t& value)
{
    std::vector<uint8_t> data;
    if (!ReadNetValue(image, key, name, data) || data.empty())
        return false;
    uint8_t bytes[4] = {0, 0, 0, 0};
    memcpy(bytes, data.data(), data.size() < 4 ? data.size() : 4);
    value = GetLe32(bytes);
    return true;
}

bool ReadNetList(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                 std::wstring& list)
{
    list.clear();
    std::vector<uint8_t> data;
    if (!ReadNetValue(image, key, name, data))
        return false;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        list += (wchar_t)GetLe16(&data[i]);
    list.append(2, L'\0');
    return true;
}

std::vector<std::wstring> ListNetSubkeys(CMountedImage* image, const std::wstring& key)
{
    std::vector<std::wstring> names;
    uint8_t* list = static_cast<uint8_t*>(ListHiveSubkeys(image, key.c_str()));
    if (!list)
        return names;
    uint32_t count = GetLe32(list);
    for (uint32_t i = 0; i < count; ++i) {
        const RegSubkeyEntry* e =
            reinterpret_cast<const RegSubkeyEntry*>(list + 8 + (size_t)i * sizeof(RegSubkeyEntry));
        names.push_back(std::wstring(e->name, wcsnlen(e->name, 1024)));
    }
    free(list);
    return names;
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[128];
    if (StringFromGUID2(guid, text, 128) <= 0)
        return std::wstring();
    return text;
}

bool ParseGuidText(const wchar_t* text, GUID& guid)
{
    memset(&guid, 0, sizeof(guid));
    if (!text || text[0] != L'{' || wcslen(text) != 38)
        return false;
    return SUCCEEDED(CLSIDFromString(const_cast<wchar_t*>(text), &guid));
}
