// The record of an all-or-nothing change to a hive image: the old bytes of
// every page written since it was opened, and the image's own state (bins'
// end, allocator index, statistics) as it was then. It holds what the
// change touches, not a copy of the hive.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "registry/hive/HiveImage.h"

namespace {
const uint32_t kPage = 4096;
}

struct HiveUndo {
  HiveImage before;               // the image's state without its buffer
  std::vector<bool> kept;         // pages below the old end already kept
  std::vector<uint32_t> pages;    // their numbers, in the order kept
  // Their old bytes, a page each (a record that grows never moves what it
  // holds: no second copy of it while it grows).
  std::vector<std::unique_ptr<uint8_t[]>> old;
  bool lost = false;              // a page could not be kept
};

int hive_undo_begin(HiveImage* img) {
  if (img->undo) return 0;
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
  img->undo = u;
  return 1;
}

void hive_touch_pages(HiveImage* img, uint32_t off, uint32_t length) {
  HiveUndo* u = img->undo;
  if (!length || u->lost) return;
  uint32_t end = off + length;
  if (end > u->before.endOfBins) end = u->before.endOfBins;  // past it all is new
  for (uint32_t page = off / kPage; page * kPage < end; page++) {
    if (u->kept[page]) continue;
    try {
      std::unique_ptr<uint8_t[]> copy(new uint8_t[kPage]);
      memcpy(copy.get(), img->buffer + page * kPage, kPage);
      u->pages.reserve(u->pages.size() + 1);
      u->old.push_back(std::move(copy));
      u->pages.push_back(page);
    } catch (const std::bad_alloc&) {
      u->lost = true;
      return;
    }
    u->kept[page] = true;
  }
}

void hive_undo_commit(HiveImage* img) {
  delete img->undo;
  img->undo = nullptr;
}

void hive_undo_rollback(HiveImage* img) {
  HiveUndo* u = img->undo;
  if (!u) return;
  img->undo = nullptr;
  for (size_t i = 0; i < u->pages.size(); i++)
    memcpy(img->buffer + u->pages[i] * kPage, u->old[i].get(), kPage);
  uint32_t oldEnd = u->before.endOfBins;
  // Bins appended since lie past the old end: the buffer there is as free
  // as it was (zeros), whatever room it keeps.
  if (img->endOfBins > oldEnd) memset(img->buffer + oldEnd, 0, img->endOfBins - oldEnd);
  // The buffer keeps whatever room it grew to; the state is the old one
  // (its size among it, which the buffer holds at least).
  uint8_t* buffer = img->buffer;
  bool lost = u->lost || img->unsaveable;
  *img = std::move(u->before);
  img->buffer = buffer;
  img->undo = nullptr;
  // Pages written without their old bytes kept: the change is not undone
  // whole, so the image must never be written back.
  img->unsaveable = lost;
  delete u;
}
