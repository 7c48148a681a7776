// Making the empty image that CCreateImageDlg describes: an NTFS volume on
// an MBR disk, or on a GPT disk with a bootable EFI system partition built
// from the host's Windows.
#pragma once
#include <windows.h>
#include <stdint.h>

struct CreateImageParams;

// The EFI system partition of a new GPT image: LBA 2048 to 204799.
const uint32_t kNewImageEspMiB = 99;

// Creates params.imagePath (an existing file is replaced) of
// params.sizeMiB MiB, plus the EFI system partition on GPT. On failure
// shows the creation-failed message (owner may be null) and deletes the
// partial file. True on success.
bool CreateImageFromParams(HWND owner, const CreateImageParams& params);
