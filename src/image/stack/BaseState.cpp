#include "image/stack/BaseState.h"

#include <windows.h>

#include <cstring>

#include "common/ByteOrder.h"
#include "image/formats/sparse/ImageHeader.h"
#include "image/formats/vhd/VhdRw.h"
#include "image/stack/RwClass.h"
#include "image/stack/journal/JournalFile.h"

namespace {

// Layout at its offset: u32 tag, u32 type, u64 capacity, u64 length, u64
// last-write time, u64 fingerprint, 16 bytes disk id, 8 zero bytes, u64
// check value of the 64 bytes before it.
const uint32_t kTag = 0x54534256u;  // 'V', 'B', 'S', 'T'
const int kChecked = 64;
const uint64_t kCheckSeed = 0x3C6EF372FE94F82Bull;

}  // namespace

bool TakeBaseState(_VROH_RW_CLASS& base, VroBaseState* out) {
  if (!base.IsOpen()) return false;
  switch (base.m_nType) {
    case VRO_TYPE_SPARSE:
    case VRO_TYPE_PHYSICAL:
    case VRO_TYPE_VOLUME:
      return false;
    default:
      break;
  }
  VroBaseState s;
  s.type = (uint32_t)base.m_nType;
  s.capacity = base.m_nCapacity;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(base.m_hFile, &info)) return false;
  s.bytes = (uint64_t)info.nFileSizeHigh << 32 | info.nFileSizeLow;
  s.writeTime = (uint64_t)info.ftLastWriteTime.dwHighDateTime << 32 |
                info.ftLastWriteTime.dwLowDateTime;
  if (!vrojournal::Fingerprint(base.m_hFile, s.bytes, &s.fingerprint)) return false;
  if (base.m_nType == VRO_TYPE_VHD_FIXED || base.m_nType == VRO_TYPE_VHD_DYNAMIC)
    memcpy(s.diskId, static_cast<_VROH_VHD_RW*>(base.m_pBackEnd)->m_Footer.uniqueId, 16);
  *out = s;
  return true;
}

bool ReadBaseState(const uint8_t* header, int offset, VroBaseState* out) {
  const uint8_t* p = header + offset;
  if (Ld32(p) != kTag || Ld64(p + kChecked) != vrojournal::Hash(kCheckSeed, p, kChecked))
    return false;
  out->type = Ld32(p + 4);
  out->capacity = Ld64(p + 8);
  out->bytes = Ld64(p + 16);
  out->writeTime = Ld64(p + 24);
  out->fingerprint = Ld64(p + 32);
  memcpy(out->diskId, p + 40, 16);
  return true;
}

void PutBaseState(uint8_t* header, int offset, const VroBaseState& s) {
  uint8_t* p = header + offset;
  memset(p, 0, vroimg::kBaseStateBytes);
  St32(p, kTag);
  St32(p + 4, s.type);
  St64(p + 8, s.capacity);
  St64(p + 16, s.bytes);
  St64(p + 24, s.writeTime);
  St64(p + 32, s.fingerprint);
  memcpy(p + 40, s.diskId, 16);
  St64(p + kChecked, vrojournal::Hash(kCheckSeed, p, kChecked));
}

VroStateMatch MatchBaseState(const VroBaseState& recorded, const VroBaseState& now) {
  if (recorded.capacity != now.capacity || memcmp(recorded.diskId, now.diskId, 16) != 0)
    return VRO_STATE_OTHER_DISK;
  // The time within the step: a copy to a host that keeps it coarser
  // (FAT's 2 s, exFAT's 10 ms) is the same state; every change this
  // program makes moves it a whole step.
  uint64_t apart = recorded.writeTime > now.writeTime ? recorded.writeTime - now.writeTime
                                                      : now.writeTime - recorded.writeTime;
  if (recorded.type != now.type || recorded.bytes != now.bytes ||
      recorded.fingerprint != now.fingerprint || apart >= vrojournal::kWriteTimeStep)
    return VRO_STATE_CHANGED;
  return VRO_STATE_SAME;
}

bool IsStateLeftByMerge(const VroBaseState& recorded, const VroBaseState& now) {
  return MatchBaseState(recorded, now) == VRO_STATE_SAME && recorded.writeTime == now.writeTime;
}
