// Hands the NTFS clone engine to the mounted image, whose CloneVolumeTo runs
// it but may not reach up to the disk tools itself.
#pragma once

void InstallNtfsCloneEngine();
