// The check of what the records say of each other: every name a record
// holds is in its folder's index, every link count counts the record's
// names, every attribute list names exactly the attributes of its base
// record and of the extension records that name that base; and $UpCase
// against the tables this system knows.
#include <stdlib.h>

#include <algorithm>
#include <set>
#include <tuple>

#include "image/ntfs/check/NtfsCheckState.h"
#include "image/ntfs/check/NtfsUpcaseTable.h"

namespace ntfscheck {

namespace {

// One entry of an attribute list.
struct ListEntry {
  u32 type;
  s64 lowestVcn;
  s64 record;
  u16 sequence;
  u16 instance;
  u64 name;
};

// The entries of the list; false when it is corrupt.
bool ParseList(const std::vector<u8>& list, std::vector<ListEntry>* out) {
  for (size_t at = 0; at < list.size();) {
    if (at + 26 > list.size()) return false;
    const u8* e = &list[at];
    u32 length = Ld16(e + 4), nameLength = e[6], nameOffset = e[7];
    if (length < 26 || at + length > list.size() || (nameLength && nameOffset < 26) ||
        nameOffset + 2u * nameLength > length)
      return false;
    out->push_back(ListEntry{Ld32(e), (s64)Ld64(e + 8), Ref48(e + 16), Ld16(e + 22), Ld16(e + 24),
                             Digest(0, e + nameOffset, 2u * nameLength)});
    at += length;
  }
  return true;
}

}  // namespace

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
    if (!r.sound || r.base || r.links == r.names) continue;
    g.record = (long long)n;
    FAULT("Record %lld: its link count is %u, but its names make %u.\n", (long long)n, r.links,
          r.names);
  }
}

void CheckAttributeLists() {
  // Every attribute of a base record with a list (the list itself aside)
  // and of its extensions, by record, type and instance.
  std::set<std::tuple<s64, u32, u16>> unnamed;
  for (const auto& held : g.attributes) {
    s64 n = held.first;
    const RecordNote& r = g.records[(size_t)n];
    s64 base = r.base ? r.base : n;
    if (base >= (s64)g.records.size() || !g.records[(size_t)base].sound ||
        !g.records[(size_t)base].list) {
      g.record = n;
      FAULT("Record %lld extends record %lld, which has no attribute list to name it.\n",
            (long long)n, (long long)base);
      continue;
    }
    for (const AttributeNote& a : held.second)
      if (a.type != AT_ATTRIBUTE_LIST) unnamed.insert(std::make_tuple(n, a.type, a.instance));
  }
  for (const auto& list : g.lists) {
    s64 base = list.first;
    g.record = base;
    std::vector<ListEntry> entries;
    if (!ParseList(list.second, &entries)) {
      FAULT("Record %lld: its attribute list is corrupt.\n", (long long)base);
      continue;
    }
    for (const ListEntry& e : entries) {
      bool held = false;
      if (e.record < (s64)g.records.size() && g.records[(size_t)e.record].sound &&
          (e.record == base || g.records[(size_t)e.record].base == base) &&
          (!e.sequence || e.sequence == g.records[(size_t)e.record].sequence)) {
        auto at = g.attributes.find(e.record);
        if (at != g.attributes.end())
          for (const AttributeNote& a : at->second)
            held |= a.type == e.type && a.instance == e.instance && a.lowestVcn == e.lowestVcn &&
                    a.name == e.name;
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
    s64 base = g.records[(size_t)n].base ? g.records[(size_t)n].base : n;
    g.record = base;
    FAULT("Record %lld: attribute 0x%x of record %lld is not in its attribute list.\n",
          (long long)base, std::get<1>(a), (long long)n);
  }
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
