#include "image/stack/RwClass.h"
#include "image/device/DeviceSource.h"
#include "image/formats/sparse/ImgRw.h"
#include "image/device/RawRw.h"
#include "image/formats/vhd/VhdRw.h"
#include <cstring>
#include <new>

using namespace vroimg;

namespace {

bool EndsWithVhd(const wchar_t* path)
{
    size_t n = wcslen(path);
    return n > 4 && _wcsicmp(path + n - 4, L".vhd") == 0;
}

// Container open flags for each open mode.
int ContainerFlags(int mode, bool isNew)
{
    switch (mode) {
    case VRO_MODE_READ: return VRO_OPEN_UNLIMITED | VRO_OPEN_STRICT;
    case VRO_MODE_WRITE: return VRO_OPEN_UNLIMITED | VRO_OPEN_STRICT | VRO_OPEN_RENEW;
    case VRO_MODE_CREATE: return VRO_OPEN_UNLIMITED | VRO_OPEN_RENEW | (isNew ? VRO_OPEN_CREATE : 0);
    default: return VRO_OPEN_UNLIMITED | (isNew ? VRO_OPEN_CREATE : 0);
    }
}

uint64_t SparseCapacity(uint64_t headerCapacity)
{
    return (headerCapacity + 16382) / 16384 * 16384 + 1;
}
}  // namespace

_VROH_RW_CLASS::_VROH_RW_CLASS()
{
    InitializeCriticalSection(&m_Lock);
}

_VROH_RW_CLASS::~_VROH_RW_CLASS()
{
    Close();
    DeleteCriticalSection(&m_Lock);
}

int64_t _VROH_RW_CLASS::Flush()
{
    VroCsLock lock(&m_Lock);
    if (!m_pBackEnd) return 0;
    return m_pBackEnd->Flush(m_hFile);
}

int64_t _VROH_RW_CLASS::Write(uint64_t sector, const void* buf, uint32_t bytes)
{
    VroCsLock lock(&m_Lock);
    if (!m_pBackEnd) return -(int64_t)bytes;
    return m_pBackEnd->Write(m_hFile, sector, buf, bytes);
}

int64_t _VROH_RW_CLASS::Read(uint64_t sector, void* buf, uint32_t bytes)
{
    VroCsLock lock(&m_Lock);
    if (!m_pBackEnd) return -(int64_t)bytes;
    return m_pBackEnd->Read(m_hFile, sector, buf, bytes);
}

int64_t _VROH_RW_CLASS::RawRead(uint64_t sector, void* buf, uint32_t bytes)
{
    VroCsLock lock(&m_Lock);
    if (!m_hFile) return -(int64_t)bytes;
    return ReadHandleAt(m_hFile, sector * VRO_SECTOR, buf, bytes);
}

uint8_t* _VROH_RW_CLASS::Header() const
{
    return (m_nType == VRO_TYPE_SPARSE && m_pContainer) ? m_pContainer->Header() : nullptr;
}

uint32_t _VROH_RW_CLASS::Kind() const
{
    uint8_t* h = Header();
    return h ? Get32(h, kOffKind) : 0;
}

void _VROH_RW_CLASS::SetZeroFill(int zeroFill)
{
    VroCsLock lock(&m_Lock);
    if (m_nType == VRO_TYPE_SPARSE && m_pBackEnd) static_cast<_VROH_IMG_RW*>(m_pBackEnd)->m_ZeroFill = zeroFill;
}

int _VROH_RW_CLASS::Close()
{
    VroCsLock lock(&m_Lock);
    int result = 0;
    if (m_pBackEnd && m_pBackEnd->Flush(m_hFile) < 0) result = -1;
    delete m_pBackEnd;
    m_pBackEnd = nullptr;
    delete m_pContainer;
    m_pContainer = nullptr;
    m_nType = 0;
    m_bNew = 0;
    m_bEmptyAtOpen = 0;
    m_nCapacity = 0;
    m_nDiskNumber = -1;
    if (m_hFile && !CloseHandle(m_hFile)) result = -1;
    m_hFile = nullptr;
    m_Path.clear();
    return result;
}

_VROH_BASE_RW* _VROH_RW_CLASS::Open(const wchar_t* path, int mode)
{
    Close();
    return Detect(path, mode, false);
}

_VROH_BASE_RW* _VROH_RW_CLASS::OpenSparse(const wchar_t* path, int mode)
{
    _VROH_BASE_RW* be = Open(path, mode);
    if (be && m_nType != VRO_TYPE_SPARSE) {
        Close();
        return nullptr;
    }
    return be;
}

_VROH_BASE_RW* _VROH_RW_CLASS::Detect(const wchar_t* path, int mode, bool handleSet)
{
    VroCsLock lock(&m_Lock);
    if (!path || !*path) return nullptr;
    m_nMode = mode;
    m_Path = path;
    bool device = wcsncmp(path, L"\\\\.\\", 4) == 0;
    int deviceType = (device && wcslen(path) >= 6 && path[5] == L':') ? VRO_TYPE_VOLUME : VRO_TYPE_PHYSICAL;
    DWORD access = mode > 0 ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
    DWORD share = mode == VRO_MODE_WRITE ? FILE_SHARE_READ : (FILE_SHARE_READ | FILE_SHARE_WRITE);

    if (device) {
        uint64_t bytes = 0;
        int disk = -1;
        if (!handleSet) {
            HANDLE h = VroGetDeviceSource()->OpenDevice(path, deviceType, access, share, &bytes, &disk);
            if (h == INVALID_HANDLE_VALUE || !h) { Close(); return nullptr; }
            m_hFile = h;
        }
        m_nDiskNumber = disk;
        if (deviceType == VRO_TYPE_PHYSICAL) {
            m_pBackEnd = new (std::nothrow) _VROH_PHYSICAL_RW;
            m_nCapacity = bytes / VRO_SECTOR + 1;
        } else {
            m_pBackEnd = new (std::nothrow) _VROH_PARTITION_RW(bytes / VRO_SECTOR);
            m_nCapacity = bytes / VRO_SECTOR + VRO_PARTITION_SYNTH_SECTORS;
        }
        m_nType = deviceType;
        if (!m_pBackEnd) { Close(); return nullptr; }
        return m_pBackEnd;
    }

    if (!handleSet) {
        DWORD disp = mode >= VRO_MODE_CREATE ? OPEN_ALWAYS : OPEN_EXISTING;
        HANDLE h = CreateFileW(path, access, share, nullptr, disp, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) { Close(); return nullptr; }
        m_hFile = h;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_hFile, &size)) { Close(); return nullptr; }
    uint64_t fileBytes = (uint64_t)size.QuadPart;
    uint64_t fileSectors = (fileBytes + VRO_SECTOR - 1) / VRO_SECTOR;
    m_nCapacity = fileSectors;
    m_nDiskNumber = -1;
    bool isNew = fileBytes == 0;
    m_bEmptyAtOpen = isNew ? 1 : 0;
    if (isNew) {
        m_bNew = 1;
        if (mode != VRO_MODE_CREATE) { Close(); return nullptr; }
    }

    if (!isNew && EndsWithVhd(path)) {
        _VROH_VHD_RW* vhd = new (std::nothrow) _VROH_VHD_RW;
        if (!vhd) { Close(); return nullptr; }
        int r = vhd->Load(m_hFile, fileBytes);
        if (r > 0) {
            m_nType = vhd->m_Footer.diskType == VRO_VHD_FIXED ? VRO_TYPE_VHD_FIXED : VRO_TYPE_VHD_DYNAMIC;
            m_nCapacity = vhd->DeviceSectors();
            m_pBackEnd = vhd;
            return m_pBackEnd;
        }
        delete vhd;
        // A footer we cannot serve: its metadata must not pass for disk data.
        if (r < 0) { Close(); return nullptr; }
    }

    uint8_t head[2 * VRO_SECTOR];
    memset(head, 0, sizeof(head));
    if (!isNew && ReadHandleAtZeroTail(m_hFile, 0, head, sizeof(head)) < 0) { Close(); return nullptr; }

    // Own format. A write open never lays a fresh container over a file that
    // has data but no map: that would wipe a plain image.
    bool tryContainer = isNew || mode <= VRO_MODE_WRITE ||
                        memcmp(head + VRO_SECTOR, kMapMagic, sizeof(kMapMagic)) == 0;
    if (tryContainer) {
        _VROH_OBJ_IMG* cont = mode > 0 ? new (std::nothrow) _VROH_OBJ_MINC
                                       : new (std::nothrow) _VROH_OBJ_IMG;
        if (!cont) { Close(); return nullptr; }
        int r = cont->Open(m_hFile, 0, fileSectors, ContainerFlags(mode, isNew));
        if (r >= 0) {
            _VROH_IMG_RW* be = new (std::nothrow) _VROH_IMG_RW(cont, 1);
            if (!be) { delete cont; Close(); return nullptr; }
            m_pContainer = cont;
            m_pBackEnd = be;
            m_nType = VRO_TYPE_SPARSE;
            const uint8_t* h = cont->Header();
            m_nCapacity = SparseCapacity(Get64(h, kOffCapacity));
            m_bNew = (Get64(h, kOffParentId) == 0 && Get64(h, kOffOwnId) == Get64(h, kOffCreated)) ? 1 : 0;
            return m_pBackEnd;
        }
        delete cont;
        if (isNew) { Close(); return nullptr; }
    }

    if (EndsWithBootSignature(head + VRO_SECTOR) && !IsVolumeBootPair(head)) {
        m_nType = VRO_TYPE_MBR_SECTOR1;
        m_pBackEnd = new (std::nothrow) _VROH_REAL_IMG_RW;
    } else if (EndsWithBootSignature(head) && !IsNtfsBootSector(head)) {
        // An NTFS volume without a partition table is a raw volume image.
        m_nType = VRO_TYPE_RAW_MBR;
        m_nCapacity = fileSectors + 1;
        m_pBackEnd = new (std::nothrow) _VROH_RAW_IMG_RW;
    } else if (memcmp(head + kOffSignature, kSignature, 8) == 0 &&
               _VROH_OBJ_IMG::HeaderChecksum(head) == Get32(head, kOffChecksum)) {
        uint32_t kind = Get32(head, kOffKind);
        m_nType = (kind == 2 || kind == 4) ? VRO_TYPE_HEADER_PLAIN : VRO_TYPE_HEADER_OTHER;
        m_pBackEnd = new (std::nothrow) _VROH_REAL_IMG_RW;
    } else {
        m_nType = VRO_TYPE_RAW;
        m_nCapacity = fileSectors + 1;
        m_pBackEnd = new (std::nothrow) _VROH_RAW_IMG_RW;
    }
    if (!m_pBackEnd) { Close(); return nullptr; }
    return m_pBackEnd;
}
