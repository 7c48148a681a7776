// The state of a base image that keeps no identity of its own (a raw image,
// a fixed or dynamic VHD, plain sectors behind a header), as a write-back
// file over it records it. An own-format base renews its identity at every
// writing open, and its overlays link to that; these kinds have no room for
// one, and other programs write them too. So their state is what a write
// changes: the file's length, its last-write time (every command of this
// program that changes the file moves it at least kWriteTimeStep on, a roll
// back puts it back: image/stack/journal/JournalFile.h), a fingerprint of
// sampled sectors (the journal's: its first 4 KiB and sixteen sectors spread
// over the rest, which a roll back also gives back), and what tells the
// disk itself apart (its type and size, a VHD's unique id).
//
// Limits: another program's write to the base that keeps its length, lands
// within 2 s of the time recorded (or sets the time back) and misses the
// sampled sectors is not seen; a base copied where its last-write time is
// not kept (to within 2 s) shows another state, and write-back files made
// over it are then refused (kept as they are), never merged.
#pragma once
#include <cstdint>

class _VROH_RW_CLASS;

struct VroBaseState {
  uint32_t type = 0;
  uint64_t capacity = 0;  // device sectors
  uint64_t bytes = 0;     // the file's length
  uint64_t writeTime = 0; // FILETIME
  uint64_t fingerprint = 0;
  uint8_t diskId[16] = {};  // a VHD's unique id, else zeros
};

// The state of the open base layer now. False when it is of no such kind
// (the own format, a host disk or volume) or cannot be read.
bool TakeBaseState(_VROH_RW_CLASS& base, VroBaseState* out);
// The state kept at `offset` of an own-format header (kOffBaseState,
// kOffMergedState); false when none is there whole.
bool ReadBaseState(const uint8_t* header, int offset, VroBaseState* out);
// Puts a state there (with its check value).
void PutBaseState(uint8_t* header, int offset, const VroBaseState& state);

enum VroStateMatch {
  VRO_STATE_SAME,        // the base as it was then
  VRO_STATE_CHANGED,     // the same disk, written since
  VRO_STATE_OTHER_DISK,  // another disk (another size or VHD id)
};
VroStateMatch MatchBaseState(const VroBaseState& recorded, const VroBaseState& now);
// The very state a merge left (its time to the unit): a write-back file
// that recorded it was merged into the base as it is now.
bool IsStateLeftByMerge(const VroBaseState& recorded, const VroBaseState& now);
