// The FAT half of CMountedImage: the main FAT/exFAT volume, the EFI system
// partition mounted for one call, and the FAT side of the file API. Until
// the FAT volume object (CFatVolume) joins, no FAT volume mounts and every
// FAT-side operation fails clearly.
#include "image/MountedImage.h"

int CMountedImage::MountFatMain()
{
    return -1;
}

CFatVolume* CMountedImage::MountEspForCall()
{
    return nullptr;
}

void CMountedImage::ReleaseFat(CFatVolume*& volume)
{
    // Nothing can have been mounted yet.
    volume = nullptr;
}

int CMountedImage::FatSideUnavailable(Side side)
{
    SetLastError(side == SIDE_ESP ? ERROR_PATH_NOT_FOUND : ERROR_NOT_SUPPORTED);
    return 0;
}
