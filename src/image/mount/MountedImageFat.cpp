// The FAT half of CMountedImage: the main FAT/exFAT volume, the EFI system
// partition of an NTFS disk mounted for one call ("\::{UEFI}..."), and the
// FAT side of the file API, which answers as the NTFS side does: folders
// never carry the archive bit, only read-only, hidden and system are
// written, and listings report kinds 4 and 8 with all three times.
#include "image/mount/MountedImage.h"

#include <new>
#include <string>

#include "image/mount/FatVolume.h"
#include "image/stack/MountRw.h"

namespace {

const size_t kUefiPrefixLen = 9;
// The attribute bits a caller may change that a FAT entry can hold.
const DWORD kWritableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM;

DWORD AsReported(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        attributes &= ~(DWORD)FILE_ATTRIBUTE_ARCHIVE;
    return attributes;
}

struct EnumAdapter {
    VolumeEnumCallback callback;
    void* user;
};

int EnumEntry(const FatEntryInfo* e, void* user)
{
    EnumAdapter* a = static_cast<EnumAdapter*>(user);
    return a->callback(e->name, e->isDirectory ? 4 : 8, (DWORD)e->size, (DWORD)(e->size >> 32),
                       &e->creation, &e->lastWrite, &e->lastAccess, AsReported(e->attributes),
                       a->user);
}

}  // namespace

// The volume serving one call: the main FAT volume, or the EFI system
// partition mounted for the call and released when it ends.
class CMountedImage::FatCall {
public:
    FatCall(CMountedImage* image, Side side) : m_image(image), m_side(side)
    {
        if (side == SIDE_FAT)
            volume = image->m_pFat;
        else if (side == SIDE_ESP)
            volume = image->MountEspForCall();
        else
            SetLastError(ERROR_NOT_READY);
    }
    ~FatCall()
    {
        if (m_side == SIDE_ESP)
            m_image->ReleaseFat(volume);
    }
    FatCall(const FatCall&) = delete;
    FatCall& operator=(const FatCall&) = delete;

    // The path as the volume sees it: on the EFI side the part after the
    // prefix (its root when nothing follows).
    const wchar_t* Path(const wchar_t* path) const
    {
        if (m_side != SIDE_ESP)
            return path;
        path += kUefiPrefixLen;
        return *path ? path : L"\\";
    }

    CFatVolume* volume = nullptr;

private:
    CMountedImage* m_image;
    Side m_side;
};

int CMountedImage::MountFatMain()
{
    if (!m_pDisk)
        return -1;
    CFatVolume* volume = new (std::nothrow) CFatVolume();
    if (!volume)
        return -1;
    if (volume->MountOnImage(m_pDisk, m_bReadOnly ? 0 : 1) < 0) {
        // The disk object stays the mounted image's.
        volume->Detach();
        delete volume;
        return -1;
    }
    m_pFat = volume;
    return 0;
}

CFatVolume* CMountedImage::MountEspForCall()
{
    CFatVolume* volume = m_pDisk ? new (std::nothrow) CFatVolume() : nullptr;
    if (volume && volume->MountShared(m_pDisk, m_bReadOnly ? 0 : 1) >= 0)
        return volume;
    ReleaseFat(volume);
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
}

bool CMountedImage::ReleaseFat(CFatVolume*& volume)
{
    if (!volume)
        return true;
    bool ok;
    if (!volume->IsBorrowed() && volume->DiskObject() == m_pDisk && m_pDisk) {
        // The main FAT volume owns the disk object: it goes with it.
        ok = volume->Close();
        m_pDisk = nullptr;
        if (m_pIoBlock)
            m_pIoBlock->owner = nullptr;
    } else {
        ok = volume->Release();
    }
    delete volume;
    volume = nullptr;
    return ok;
}

int CMountedImage::FatGetPathType(Side side, const wchar_t* path)
{
    FatCall call(this, side);
    return call.volume ? call.volume->GetPathType(call.Path(path)) : 0;
}

int CMountedImage::FatGetFileInfo(Side side, const wchar_t* path, FILETIME* creation,
                                  FILETIME* lastWrite, FILETIME* lastAccess, DWORD* attributes,
                                  uint64_t* size)
{
    if (!creation && !lastWrite && !lastAccess && !attributes && !size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    FatCall call(this, side);
    if (!call.volume ||
        !call.volume->GetFileInfo(call.Path(path), creation, lastWrite, lastAccess, attributes,
                                  size))
        return 0;
    if (attributes)
        *attributes = AsReported(*attributes);
    return 1;
}

int CMountedImage::FatSetFileInfo(Side side, const wchar_t* path, const FILETIME* creation,
                                  const FILETIME* lastWrite, const FILETIME* lastAccess,
                                  DWORD* attributes)
{
    if (!creation && !lastWrite && !lastAccess && !attributes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    FatCall call(this, side);
    if (!call.volume)
        return 0;
    const wchar_t* p = call.Path(path);
    DWORD old = 0;
    if (!call.volume->GetFileInfo(p, nullptr, nullptr, nullptr, &old, nullptr))
        return 0;
    DWORD wanted = 0;
    if (attributes)
        wanted = (old & ~kWritableAttributes) | (*attributes & kWritableAttributes);
    if (!call.volume->SetFileInfo(p, creation, lastWrite, lastAccess,
                                  attributes ? &wanted : nullptr))
        return 0;
    if (attributes)
        *attributes = AsReported(old);
    return 1;
}

uint64_t CMountedImage::FatReadFile(Side side, const wchar_t* path, void* buffer,
                                    uint64_t offset, uint64_t count)
{
    FatCall call(this, side);
    return call.volume ? call.volume->ReadFile(call.Path(path), buffer, offset, count) : 0;
}

uint64_t CMountedImage::FatWriteFile(Side side, const wchar_t* path, const void* buffer,
                                     uint64_t offset, uint64_t count)
{
    FatCall call(this, side);
    return call.volume ? call.volume->WriteFileData(call.Path(path), buffer, offset, count) : 0;
}

int CMountedImage::FatCreatePath(Side side, const wchar_t* path, unsigned int mode)
{
    // FAT has no links or device nodes.
    if (mode == 0x12345678 || (mode & 0xF000) == 0xA000 || (mode & 0xF000) == 0x2000) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    FatCall call(this, side);
    if (!call.volume)
        return 0;
    if ((mode & 0xF000) == 0x4000)
        return call.volume->CreateDirectory(call.Path(path));
    return call.volume->CreateEmptyFile(call.Path(path));
}

int CMountedImage::FatDeletePath(Side side, const wchar_t* path)
{
    FatCall call(this, side);
    if (!call.volume)
        return 0;
    const wchar_t* p = call.Path(path);
    // The root is not a thing to delete (nor to empty by accident).
    bool root = true;
    for (const wchar_t* c = p; *c && root; c++)
        root = *c == L'\\' || *c == L'/';
    if (root) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return call.volume->DeleteTree(p);
}

int CMountedImage::FatRenamePath(Side side, const wchar_t* oldPath, const wchar_t* newPath)
{
    FatCall call(this, side);
    return call.volume ? call.volume->RenamePath(call.Path(oldPath), call.Path(newPath)) : 0;
}

int CMountedImage::FatEnumDirectory(Side side, const wchar_t* path, VolumeEnumCallback callback,
                                    void* user)
{
    FatCall call(this, side);
    if (!call.volume)
        return 0;
    const wchar_t* p = call.Path(path);
    if (call.volume->GetPathType(p) != 2) {
        if (GetLastError() == ERROR_SUCCESS)
            SetLastError(ERROR_DIRECTORY);
        return 0;
    }
    // Listings on NTFS open with "..", the parent folder (the root's is
    // the root): the FAT side gives it too.
    std::wstring parent(p);
    while (!parent.empty() && (parent.back() == L'\\' || parent.back() == L'/'))
        parent.pop_back();
    size_t cut = parent.find_last_of(L"\\/");
    parent.erase(cut == std::wstring::npos ? 0 : cut);
    if (parent.empty())
        parent = L"\\";
    FatEntryInfo up = {L"..", 1, 0, {0, 0}, {0, 0}, {0, 0}, FILE_ATTRIBUTE_DIRECTORY};
    if (!call.volume->GetFileInfo(parent.c_str(), &up.creation, &up.lastWrite, &up.lastAccess,
                                  &up.attributes, nullptr))
        return 0;
    EnumAdapter adapter = {callback, user};
    if (!EnumEntry(&up, &adapter))
        return 1;
    return call.volume->ListDirectory(p, EnumEntry, &adapter);
}

int CMountedImage::FatGetVolumeInfo(Side side, VolumeInfoRecord* record)
{
    FatCall call(this, side);
    if (!call.volume || !call.volume->GetVolumeInfo(record))
        return 0;
    // Only the EFI system partition's record carries the disk's GPT flag.
    record->gpt = side == SIDE_ESP ? (uint32_t)HasProtectiveMbr(this) : 0;
    return 1;
}

int CMountedImage::FatGetVolumeSpace(Side side, uint64_t* totalBytes, uint64_t* freeBytes)
{
    FatCall call(this, side);
    return call.volume ? call.volume->GetSpace(totalBytes, freeBytes) : 0;
}
