// The boot configuration store (BCD) of a mounted image: on the EFI system
// partition of a GPT disk (whichever of its partitions the image was opened
// on), else at \Boot\BCD of the Windows volume. The hive object is the
// same CRegHive as every other hive; these helpers pick its file and keep
// the EFI partition's volume in step with it.
#pragma once

class CFatVolume;
class CMountedImage;
class CRegHive;

#define BCD_ESP_PATH L"\\EFI\\Microsoft\\Boot\\BCD"
#define BCD_VOLUME_PATH L"\\Boot\\BCD"

// A hive object for the image's store, loaded when its file could be read
// (null only when memory is short). A store on the EFI system partition is
// opened over image->m_pEspFat, which this sets.
CRegHive* OpenImageBcdStore(CMountedImage* image);
// Before a hive of image->m_pEspFat is saved: mounts the partition again,
// so that what other calls wrote to it since the load is seen. False when
// it cannot be mounted (writable when the image is).
bool RefreshImageEsp(CMountedImage* image);
// Releases image->m_pEspFat (detached when borrowed, else closed) with a
// BCD hive its volume holds. False when that hive's changes were lost.
bool ReleaseImageEsp(CMountedImage* image);
// Saves a changed BCD hive of the volume and deletes it. False when the
// save failed: the hive then stays loaded, changes and all.
bool CloseBcdHive(CFatVolume* volume);
