// The cluster runs of a file on a mounted NTFS volume, for the copy
// engines' lists of clusters not to copy. Free of the library's headers.
#pragma once
#include <stdint.h>

#include <vector>

#include "image/ntfs/NtfsVolume.h"

// One run: vcn within its attribute, first cluster, length in clusters.
struct ClusterRun {
  int64_t vcn;
  int64_t lcn;
  int64_t length;
};

// Empties out, then appends every run with a real cluster (not a hole,
// not unmapped, not cluster 0) of every non-resident attribute of the file
// at path. Leaves out empty when the path or its attributes cannot be
// read.
void CollectNtfsFileRuns(ntfs_volume* vol, const wchar_t* path, std::vector<ClusterRun>* out);
