// Hands the NTFS clone engine and the EFI system partition copy to the
// mounted image, whose CloneVolumeTo and CopyEspTo run them but may not
// reach up to the disk tools themselves.
#pragma once

void InstallNtfsCloneEngine();
