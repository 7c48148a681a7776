// Hands the NTFS clone engine, the EFI system partition copy and the
// disk-layout routines to the mounted image, whose wrappers (CloneVolumeTo,
// CopyEspTo, ReadBootCode...) run them but may not reach up to the disk
// tools themselves.
#pragma once

void InstallNtfsCloneEngine();
