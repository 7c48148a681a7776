// The record of an all-or-nothing change to a hive image: the old bytes of
// every page written since it was opened, and the image's own state (bins'
// end, allocator index, statistics) as it was then. It holds what the
// change touches, not a copy of the hive. A record may be opened inside
// another (a change tried within a larger one): each can be taken back on
// its own, and a page both need from before either touched it is kept once,
// for both.
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "registry/hive/HiveImage.h"

namespace {
const uint32_t kPage = 4096;

// The old bytes of one page, shared by the records that kept them.
struct OldPage {
  uint32_t records = 0;
  uint8_t bytes[kPage];
};

void Release(OldPage* page) {
  if (--page->records == 0) delete page;
}
}  // namespace

struct HiveUndo {
  HiveImage before;               // the image's state without its buffer
  std::vector<bool> kept;         // pages below the old end already kept
  std::vector<uint32_t> pages;    // their numbers, in the order kept
  // Their old bytes, a page each (a record that grows never moves what it
  // holds: no second copy of it while it grows).
  std::vector<OldPage*> old;
  bool lost = false;              // a page could not be kept
  HiveUndo* outer = nullptr;      // the record this one was opened inside

  HiveUndo() = default;
  HiveUndo(const HiveUndo&) = delete;
  HiveUndo& operator=(const HiveUndo&) = delete;
  ~HiveUndo() {
    for (OldPage* page : old) Release(page);
  }
};

namespace {

int OpenRecord(HiveImage* img) {
  HiveUndo* u = new (std::nothrow) HiveUndo();
  if (!u) return -1;
  try {
    uint8_t* buffer = img->buffer;
    img->buffer = nullptr;  // the copy of the state takes no buffer
    u->before = *img;
    img->buffer = buffer;
    u->kept.assign((img->endOfBins + kPage - 1) / kPage, false);
  } catch (const std::bad_alloc&) {
    delete u;
    return -1;
  }
  u->outer = img->undo;
  u->before.undo = nullptr;
  img->undo = u;
  return 1;
}

// Room for one more entry, the list grown by half again when full (an
// exact reserve would move the whole list for every page).
template <typename T>
void Room(std::vector<T>& list) {
  if (list.size() == list.capacity()) list.reserve(list.size() + list.size() / 2 + 16);
}

// Whether a record still needs the old bytes of a page: one below its old
// end that it has not kept. What lies past that end is new to it.
bool Needs(const HiveUndo* u, uint32_t page) {
  return !u->lost && (uint64_t)page * kPage < u->before.endOfBins && !u->kept[page];
}

// Keeps the page's bytes as they are for every open record that needs
// them: a record that has not kept the page has not seen it change, so
// they are the old bytes of each, kept once for all.
void KeepPage(HiveImage* img, uint32_t page) {
  OldPage* copy = nullptr;
  for (HiveUndo* u = img->undo; u; u = u->outer) {
    if (!Needs(u, page)) continue;
    try {
      if (!copy) {
        copy = new OldPage();
        memcpy(copy->bytes, img->buffer + (size_t)page * kPage, kPage);
      }
      Room(u->pages);
      Room(u->old);
    } catch (const std::bad_alloc&) {
      u->lost = true;
      img->outOfMemory = true;
      continue;
    }
    ++copy->records;
    u->old.push_back(copy);
    u->pages.push_back(page);
    u->kept[page] = true;
  }
  if (copy && copy->records == 0) delete copy;
}

}  // namespace

int hive_undo_begin(HiveImage* img) {
  if (img->undo) return 0;
  return OpenRecord(img);
}

int hive_undo_nest(HiveImage* img) {
  return OpenRecord(img);
}

bool hive_undo_lost(const HiveImage* img) {
  for (const HiveUndo* u = img->undo; u; u = u->outer)
    if (u->lost) return true;
  return false;
}

void hive_touch_pages(HiveImage* img, uint32_t off, uint32_t length) {
  if (!length) return;
  // Every open record keeps what it needs: an outer one the bytes from
  // before it, an inner one those from before itself.
  const uint64_t end = (uint64_t)off + length;
  for (uint32_t page = off / kPage; (uint64_t)page * kPage < end; page++) {
    bool needed = false;
    for (const HiveUndo* u = img->undo; u && !needed; u = u->outer) needed = Needs(u, page);
    if (needed) KeepPage(img, page);
  }
}

void hive_undo_commit(HiveImage* img) {
  HiveUndo* u = img->undo;
  if (!u) return;
  img->undo = u->outer;
  delete u;
}

void hive_undo_rollback(HiveImage* img) {
  HiveUndo* u = img->undo;
  if (!u) return;
  HiveUndo* outer = u->outer;
  img->undo = nullptr;
  for (size_t i = 0; i < u->pages.size(); i++)
    memcpy(img->buffer + (size_t)u->pages[i] * kPage, u->old[i]->bytes, kPage);
  uint32_t oldEnd = u->before.endOfBins;
  // Bins appended since lie past the old end: the buffer there is as free
  // as it was (zeros), whatever room it keeps.
  if (img->endOfBins > oldEnd) memset(img->buffer + oldEnd, 0, img->endOfBins - oldEnd);
  // The buffer keeps whatever room it grew to; the state is the old one
  // (its size among it, which the buffer holds at least).
  uint8_t* buffer = img->buffer;
  bool lost = u->lost || img->unsaveable;
  bool outOfMemory = img->outOfMemory;
  *img = std::move(u->before);
  img->buffer = buffer;
  img->undo = outer;
  // Pages written without their old bytes kept: the change is not undone
  // whole, so the image must never be written back.
  img->unsaveable = lost;
  img->outOfMemory = outOfMemory;
  delete u;
}

bool hive_undo_end(HiveImage* img, const HiveUndo* record, bool rollback) {
  bool open = false;
  for (const HiveUndo* u = img->undo; u && !open; u = u->outer) open = u == record;
  if (!open) return false;
  while (img->undo) {
    const bool last = img->undo == record;
    if (rollback)
      hive_undo_rollback(img);
    else
      hive_undo_commit(img);
    if (last) break;
  }
  return true;
}
