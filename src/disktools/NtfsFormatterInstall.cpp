#include "disktools/NtfsFormatterInstall.h"

#include "disktools/ntfsformat/NtfsFormat.h"
#include "image/mount/MountedImage.h"

void InstallNtfsFormatter() {
  CMountedImage::SetNtfsFormatter(FormatNtfsVolume);
}
