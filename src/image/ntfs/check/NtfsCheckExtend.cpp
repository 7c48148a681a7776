// The entries of $Extend named as its metafiles, each against what that
// metafile is: Windows finds its quotas, object ids, reparse points and
// change journal by these names, and a plain file of the name in their
// place (a writer that replaced one) is none of them.
#include <string.h>

#include "image/ntfs/check/NtfsCheckState.h"

namespace ntfscheck {

namespace {

// A metafile of $Extend and the attributes it cannot be without: indexes
// (0x90) or streams (0x80) of these names; a folder has its "$I30".
struct Shape {
  const char* name;
  u32 type;
  const char* parts[2];
};

const Shape kShapes[] = {
    {"$Quota", 0x90, {"$O", "$Q"}},           {"$ObjId", 0x90, {"$O", nullptr}},
    {"$Reparse", 0x90, {"$R", nullptr}},      {"$UsnJrnl", 0x80, {"$J", "$Max"}},
    {"$RmMetadata", 0x90, {"$I30", nullptr}}, {"$Deleted", 0x90, {"$I30", nullptr}},
};

std::vector<ntfschar> Wide(const char* text) {
  std::vector<ntfschar> out;
  for (const char* c = text; *c; c++) out.push_back(cpu_to_le16((u16)*c));
  return out;
}

// The first attribute the shape asks for that record n lacks, as a line's
// words; empty when it has them all.
std::string Missing(ntfs_inode* ni, const Shape& shape) {
  for (const char* part : shape.parts) {
    if (!part) break;
    std::vector<ntfschar> name = Wide(part);
    if (ntfs_attr_exist(ni, (ATTR_TYPES)cpu_to_le32(shape.type), name.data(), (u32)name.size()))
      continue;
    if (!strcmp(part, "$I30")) return "it is no folder";
    return std::string(shape.type == 0x90 ? "it has no index " : "it has no stream ") + part;
  }
  return "";
}

}  // namespace

void CheckExtend(ntfs_volume* vol) {
  // A volume mounted partly has no upper-case table to look names up by.
  if (!vol->upcase) return;
  g.record = FILE_Extend;
  ntfs_inode* extend = ntfs_inode_open(vol, FILE_Extend);
  if (!extend) return;
  for (const Shape& shape : kShapes) {
    std::vector<ntfschar> name = Wide(shape.name);
    u64 mref = ntfs_inode_lookup_by_name(extend, name.data(), (int)name.size());
    // Not there, or an index the index check names.
    if (mref == (u64)-1) continue;
    s64 n = (s64)MREF(mref);
    if (n == FILE_Extend || n >= (s64)g.records.size() || !g.records[(size_t)n].sound) continue;
    ntfs_inode* ni = ntfs_inode_open(vol, (MFT_REF)n);
    if (!ni) continue;
    std::string missing = Missing(ni, shape);
    ntfs_inode_close(ni);
    if (!missing.empty())
      FAULT("$Extend\\%s (record %lld) is no metafile: %s.\n", shape.name, (long long)n,
            missing.c_str());
  }
  ntfs_inode_close(extend);
}

}  // namespace ntfscheck
