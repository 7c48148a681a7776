// The value names of one large key by hash, so that finding a name (and
// finding that it is not there, as each value of an import does) costs no
// walk through the whole value list. It describes one list cell with one
// count; the value operations keep it in step with their changes, and any
// other state of the list makes it rebuilt. It holds nothing of the hive
// itself: a copied or restored image starts without one.
#pragma once
#include <cstdint>
#include <unordered_map>

class HiveValueIndex {
 public:
  HiveValueIndex() = default;
  HiveValueIndex(const HiveValueIndex&) {}
  HiveValueIndex& operator=(const HiveValueIndex&) {
    Forget();
    return *this;
  }

  // True when the index was made for this list cell holding count values.
  bool Covers(uint32_t list, uint32_t count) const {
    return list_ && list == list_ && count == count_;
  }
  // Starts an empty index for a list; Add then enters its values.
  void Reset(uint32_t list, uint32_t count) {
    names_.clear();
    list_ = list;
    count_ = count;
  }
  void Add(uint64_t hash, uint32_t vk) { names_.emplace(hash, vk); }
  void Remove(uint64_t hash, uint32_t vk) {
    auto range = names_.equal_range(hash);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == vk) {
        names_.erase(it);
        return;
      }
    }
  }
  // The list cell and count after a change the index has followed.
  void Moved(uint32_t list, uint32_t count) {
    list_ = list;
    count_ = count;
  }
  void Forget() {
    names_.clear();
    list_ = count_ = 0;
  }
  // Calls fn(vk) for each value of that hash until fn returns true; that
  // vk, or 0.
  template <class Fn>
  uint32_t Find(uint64_t hash, Fn fn) const {
    auto range = names_.equal_range(hash);
    for (auto it = range.first; it != range.second; ++it) {
      if (fn(it->second)) return it->second;
    }
    return 0;
  }

 private:
  uint32_t list_ = 0, count_ = 0;
  std::unordered_multimap<uint64_t, uint32_t> names_;  // hive_index_hash -> "vk" cell
};
