// The check of what the records say of each other: every name a record
// holds is in its folder's index, every link count counts the record's
// names, every attribute list names exactly the attributes of its base
// record and of the extension records that name that base; and $UpCase
// against the tables this system knows.
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "image/ntfs/NtfsRecordWalk.h"
#include "image/ntfs/check/NtfsCheckState.h"
#include "image/ntfs/check/NtfsUpcaseTable.h"

namespace ntfscheck {

void ForEachUnindexedName(const std::function<void(const NameNote& name, bool lost)>& visit) {
  std::sort(g.indexed.begin(), g.indexed.end());
  for (const NameNote& name : g.nameNotes) {
    // The root folder names itself; no index holds that name.
    if (name.owner == FILE_root && name.parent == FILE_root) continue;
    if (!std::binary_search(g.indexed.begin(), g.indexed.end(), name.digest))
      visit(name, !g.records[(size_t)name.owner].entries);
  }
}

void CheckNames(ntfs_volume* vol, bool againstIndexes) {
  std::set<s64> lost;
  if (againstIndexes)
    ForEachUnindexedName([&](const NameNote& name, bool none) {
      g.record = name.owner;
      if (none && !lost.insert(name.owner).second) return;
      std::vector<u8> value = NameValue(vol, name);
      std::string text = value.empty() ? "?" : NameText(&value[0x42], value[0x40]);
      if (none)
        FAULT("Record %lld (\"%s\") is in use, but no folder names it.\n", (long long)name.owner,
              text.c_str());
      else
        FAULT("Record %lld: its name \"%s\" is not in the index of folder %lld.\n",
              (long long)name.owner, text.c_str(), (long long)name.parent);
    });
  for (size_t n = 0; n < g.records.size(); n++) {
    const RecordNote& r = g.records[n];
    if (!r.sound || r.base >= 0 || r.links == r.names) continue;
    g.record = (long long)n;
    FAULT("Record %lld: its link count is %u, but its names make %u.\n", (long long)n, r.links,
          r.names);
  }
}

namespace {

// The pieces of each attribute an attribute list spreads over records (by
// base record, type and name) cover its allocation once, in order.
void CheckRunPieces(ntfs_volume* vol) {
  std::map<std::tuple<s64, u32, u64>, std::vector<NtfsRunPiece>> pieces;
  std::map<std::tuple<s64, u32, u64>, s64> allocated;
  for (const auto& held : g.attributes) {
    const RecordNote& r = g.records[(size_t)held.first];
    s64 base = r.base >= 0 ? r.base : held.first;
    if (!r.sound || !g.records[(size_t)base].sound || !g.records[(size_t)base].list) continue;
    for (const AttributeNote& a : held.second) {
      if (!a.nonResident) continue;
      auto key = std::make_tuple(base, a.type, a.name);
      pieces[key].push_back(NtfsRunPiece{held.first, a.lowestVcn, a.highestVcn});
      if (!a.lowestVcn) allocated[key] = a.allocated;
    }
  }
  for (auto& attribute : pieces) {
    s64 base = std::get<0>(attribute.first), amiss = 0;
    u32 type = std::get<1>(attribute.first);
    g.record = base;
    auto size = allocated.find(attribute.first);
    s64 clusters = size == allocated.end() ? -1 : size->second / (s64)vol->cluster_size;
    if (size != allocated.end() && size->second % (s64)vol->cluster_size) clusters = -1;
    if (ChainNtfsRunPieces(&attribute.second, clusters, &amiss)) continue;
    if (clusters < 0)
      FAULT("Attribute %lld:0x%x: no piece of it begins at VCN 0.\n", (long long)base, type);
    else if (amiss < clusters)
      FAULT("Attribute %lld:0x%x: VCN %lld of it is in no piece, or in two.\n", (long long)base,
            type, (long long)amiss);
    else
      FAULT("Attribute %lld:0x%x: its pieces map %lld clusters, its allocated size %lld.\n",
            (long long)base, type, (long long)amiss, (long long)clusters);
  }
}

}  // namespace

void CheckAttributeLists(ntfs_volume* vol) {
  // Every attribute of a base record with a list (the list itself aside)
  // and of its extensions, by record, type and instance.
  std::set<std::tuple<s64, u32, u16>> unnamed;
  for (const auto& held : g.attributes) {
    s64 n = held.first;
    const RecordNote& r = g.records[(size_t)n];
    s64 base = r.base >= 0 ? r.base : n;
    g.record = n;
    if (base >= (s64)g.records.size() || !g.records[(size_t)base].sound ||
        !g.records[(size_t)base].list) {
      FAULT("Record %lld extends record %lld, which has no attribute list to name it.\n",
            (long long)n, (long long)base);
      continue;
    }
    if (r.base >= 0 && r.baseSequence && r.baseSequence != g.records[(size_t)base].sequence) {
      FAULT("Record %lld extends record %lld of sequence %u, but that record's is %u.\n",
            (long long)n, (long long)base, r.baseSequence, g.records[(size_t)base].sequence);
      continue;
    }
    for (const AttributeNote& a : held.second)
      if (a.type != AT_ATTRIBUTE_LIST) unnamed.insert(std::make_tuple(n, a.type, a.instance));
  }
  for (const auto& list : g.lists) {
    s64 base = list.first;
    g.record = base;
    std::vector<NtfsListEntry> entries;
    if (!ParseNtfsAttributeList(list.second, &entries)) {
      FAULT("Record %lld: its attribute list is corrupt.\n", (long long)base);
      continue;
    }
    auto name = [&](const NtfsListEntry& e) {
      return Digest(0, list.second.data() + e.nameOffset, e.nameBytes);
    };
    for (size_t i = 0; i < entries.size(); i++) {
      const NtfsListEntry& e = entries[i];
      // The pieces of one attribute come in the order of their VCNs.
      if (i && e.type == entries[i - 1].type && name(e) == name(entries[i - 1]) && e.lowestVcn &&
          e.lowestVcn <= entries[i - 1].lowestVcn)
        FAULT("Record %lld: its attribute list names VCN %lld of attribute 0x%x out of order.\n",
              (long long)base, (long long)e.lowestVcn, e.type);
      bool held = false;
      if (e.record < (s64)g.records.size() && g.records[(size_t)e.record].sound &&
          (e.record == base || g.records[(size_t)e.record].base == base) &&
          (!e.sequence || e.sequence == g.records[(size_t)e.record].sequence)) {
        auto at = g.attributes.find(e.record);
        if (at != g.attributes.end())
          for (const AttributeNote& a : at->second)
            held |= a.type == e.type && a.instance == e.instance && a.lowestVcn == e.lowestVcn &&
                    a.name == name(e);
      }
      if (held)
        unnamed.erase(std::make_tuple(e.record, e.type, e.instance));
      else
        FAULT(
            "Record %lld: its attribute list names attribute 0x%x of record %lld, which that "
            "record does not hold.\n",
            (long long)base, e.type, (long long)e.record);
    }
  }
  for (const auto& a : unnamed) {
    s64 n = std::get<0>(a);
    s64 base = g.records[(size_t)n].base >= 0 ? g.records[(size_t)n].base : n;
    g.record = base;
    FAULT("Record %lld: attribute 0x%x of record %lld is not in its attribute list.\n",
          (long long)base, std::get<1>(a), (long long)n);
  }
  CheckRunPieces(vol);
}

void CheckUpcase(ntfs_volume* vol) {
  g.record = FILE_UpCase;
  ntfs_inode* ni = ntfs_inode_open(vol, FILE_UpCase);
  std::vector<u8> table;
  uint32_t first = 0;
  if (!ni || !ReadAttribute(ni, AT_DATA, AT_UNNAMED, 0, &table)) {
    FAULT("$UpCase cannot be read.\n");
  } else if (table.size() != 2 * kNtfsUpcaseEntries) {
    FAULT("$UpCase holds %lld bytes, not a table of %u entries.\n", (long long)table.size(),
          kNtfsUpcaseEntries);
  } else {
    int64_t stray = CountStrayUpcaseEntries((const uint16_t*)table.data(), &first);
    if (stray > 0)
      FAULT("$UpCase: %lld entries differ from the upper-case table, the first at U+%04X.\n",
            (long long)stray, first);
  }
  if (ni) ntfs_inode_close(ni);
}

}  // namespace ntfscheck
