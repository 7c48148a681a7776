// Records one bad cluster in $BadClus:$Bad of a mounted volume, as a disk
// check would (the cluster is marked in use in $Bitmap as well).
#pragma once
#include "image/ntfs/NtfsVolume.h"

bool RecordBadCluster(ntfs_volume* vol, long long lcn);
