// Hands the NTFS formatter to the mounted image, which creates and formats
// volumes through it but may not reach up to the disk tools itself. Called
// by every operation that creates or formats an image before it does.
#pragma once

void InstallNtfsFormatter();
