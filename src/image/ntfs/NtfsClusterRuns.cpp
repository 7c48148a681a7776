#include <stdlib.h>

#include "image/ntfs/NtfsClusterRuns.h"
#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/NtfsRecordWalk.h"

void CollectNtfsFileRuns(ntfs_volume* vol, const wchar_t* path, std::vector<ClusterRun>* out) {
  out->clear();
  if (!vol || !path) return;
  ntfs_inode* ni = NtfsPathToInode(vol, nullptr, path);
  if (!ni) return;
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
  if (ctx) {
    while (!ntfs_attrs_walk(ctx)) {
      ATTR_RECORD* a = ctx->attr;
      if (a->type == AT_END) break;
      if (!a->non_resident) continue;
      runlist_element* rl = DecodeNtfsPieceRuns(vol, a);
      for (runlist_element* e = rl; e && e->length; e++)
        if (e->lcn > 0 && e->length > 0) out->push_back(ClusterRun{e->vcn, e->lcn, e->length});
      free(rl);
    }
    ntfs_attr_put_search_ctx(ctx);
  }
  ntfs_inode_close(ni);
}
