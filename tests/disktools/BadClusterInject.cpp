#include <stdlib.h>
#include <string.h>

#include "BadClusterInject.h"
#include "image/ntfs/NtfsInternal.h"

extern "C" {
#include <ntfs-3g/bitmap.h>
}

bool RecordBadCluster(ntfs_volume* vol, long long lcn) {
  static ntfschar name[4] = {cpu_to_le16('$'), cpu_to_le16('B'), cpu_to_le16('a'),
                             cpu_to_le16('d')};
  ntfs_inode* ni = ntfs_inode_open(vol, FILE_BadClus);
  if (!ni) return false;
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, name, 4);
  bool ok = na && !ntfs_attr_map_whole_runlist(na);
  if (ok) {
    s64 n = vol->nr_clusters;
    runlist_element* rl = (runlist_element*)malloc(4 * sizeof(runlist_element));
    rl[0] = runlist_element{0, LCN_HOLE, lcn};
    rl[1] = runlist_element{lcn, lcn, 1};
    rl[2] = runlist_element{lcn + 1, LCN_HOLE, n - lcn - 1};
    rl[3] = runlist_element{n, LCN_ENOENT, 0};
    free(na->rl);
    na->rl = rl;
    na->compressed_size = vol->cluster_size;
    ok = !ntfs_attr_update_mapping_pairs(na, 0) && !ntfs_bitmap_set_run(vol->lcnbmp_na, lcn, 1);
  }
  if (na) ntfs_attr_close(na);
  return !ntfs_inode_close(ni) && ok;
}
