#include "image/stack/journal/JournalFile.h"

#include <emmintrin.h>
#include <string.h>

#include <algorithm>

#include "common/ByteOrder.h"
#include "image/device/DeviceSource.h"
#include "image/device/SectorDevice.h"

namespace vrojournal {

namespace {

const char kMagic[8] = {'V', 'R', 'O', 'J', 'R', 'N', 'L', '2'};
const uint32_t kPiece = 64 * 1024;  // entries are checked in pieces of this size
const uint32_t kFirstBytes = 4096;
const int kSpread = 16;
const uint32_t kKindBytes = 0, kKindZero = 1, kKindWritten = 2, kKindHole = 3;
// Behind the longest name (72 + 2 x kMaxName).
const uint32_t kOffWriteTime = 472;

inline uint64_t Rotl(uint64_t x, int r) {
  return (x << r) | (x >> (64 - r));
}

bool ReadAll(HANDLE h, uint64_t at, void* buffer, uint32_t bytes) {
  return bytes == 0 || SystemReadHandleAt(h, at, buffer, bytes) == (int64_t)bytes;
}

// Reads what the file holds there, zeros past its end.
bool ReadZeroTail(HANDLE h, uint64_t at, uint8_t* buffer, uint32_t bytes) {
  int64_t got = SystemReadHandleAt(h, at, buffer, bytes);
  if (got < 0) return false;
  if ((uint32_t)got < bytes) memset(buffer + got, 0, bytes - (uint32_t)got);
  return true;
}

uint64_t EntryCheck(uint64_t salt, const uint8_t* head16, HANDLE journal, uint64_t at,
                    uint32_t bytes, const uint8_t* old, bool* readOk) {
  uint64_t h = Hash(salt, head16, 16);
  std::vector<uint8_t> piece;
  for (uint32_t done = 0; done < bytes;) {
    uint32_t n = std::min(kPiece, bytes - done);
    const uint8_t* p = old ? old + done : nullptr;
    if (!p) {
      piece.resize(n);
      if (!ReadAll(journal, at + done, piece.data(), n)) {
        *readOk = false;
        return 0;
      }
      p = piece.data();
    }
    h = Hash(h, p, n);
    done += n;
  }
  return h;
}

// Whether all `bytes` at p are zero. Every processor Windows runs on has
// SSE2; the build's target does not assume it elsewhere.
__attribute__((target("sse2"))) bool AllZero(const uint8_t* p, uint32_t bytes) {
  __m128i any = _mm_setzero_si128();
  uint32_t i = 0;
  for (; i + 64 <= bytes; i += 64) {
    const __m128i* q = reinterpret_cast<const __m128i*>(p + i);
    any = _mm_or_si128(any,
                       _mm_or_si128(_mm_or_si128(_mm_loadu_si128(q), _mm_loadu_si128(q + 1)),
                                    _mm_or_si128(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3))));
  }
  uint8_t rest = 0;
  for (; i < bytes; i++) rest |= p[i];
  return rest == 0 && _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF;
}

}  // namespace

uint32_t RunEnd(const uint8_t* p, uint32_t n, uint32_t from, bool* zero) {
  *zero = AllZero(p + from, std::min(kZeroBlock, n - from));
  uint32_t next = std::min(n, from + kZeroBlock);
  while (next < n && AllZero(p + next, std::min(kZeroBlock, n - next)) == *zero)
    next = std::min(n, next + kZeroBlock);
  return next;
}

uint64_t Hash(uint64_t seed, const void* data, size_t bytes) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint64_t h = seed ^ (bytes * 0x9E3779B97F4A7C15ull);
  for (; bytes >= 8; p += 8, bytes -= 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    w = Rotl(w * 0x87C37B91114253D5ull, 31) * 0x4CF5AD432745937Full;
    h = Rotl(h ^ w, 27) * 5 + 0x52DCE729;
  }
  if (bytes) {
    uint64_t t = 0;
    memcpy(&t, p, bytes);
    h ^= Rotl(t * 0x87C37B91114253D5ull, 33) * 0x4CF5AD432745937Full;
  }
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 33);
}

void EncodeHead(const Head& head, uint8_t (&slot)[kSlotBytes]) {
  memset(slot, 0, sizeof slot);
  memcpy(slot, kMagic, 8);
  St32(slot + 8, head.version);
  St32(slot + 12, head.flags);
  St64(slot + 16, head.sequence);
  St64(slot + 24, head.salt);
  St64(slot + 32, head.oldLength);
  St64(slot + 40, head.sealedEnd);
  St64(slot + 48, head.sealedEntries);
  St64(slot + 56, head.fingerprint);
  St32(slot + 64, head.samples);
  uint32_t n = (uint32_t)std::min<size_t>(head.name.size(), kMaxName);
  St32(slot + 68, n);
  memcpy(slot + 72, head.name.data(), n * 2);
  St64(slot + kOffWriteTime, head.oldWriteTime);
  St64(slot + 504, Hash(0, slot, 504));
}

bool DecodeHead(const uint8_t (&slot)[kSlotBytes], Head* head) {
  uint32_t version = Ld32(slot + 8);
  if (memcmp(slot, kMagic, 8) || version < 1 || version > kVersion ||
      Ld64(slot + 504) != Hash(0, slot, 504))
    return false;
  uint32_t n = Ld32(slot + 68);
  if (n > kMaxName) return false;
  head->version = version;
  head->sequence = Ld64(slot + 16);
  head->salt = Ld64(slot + 24);
  head->oldLength = Ld64(slot + 32);
  head->sealedEnd = Ld64(slot + 40);
  head->sealedEntries = Ld64(slot + 48);
  head->fingerprint = Ld64(slot + 56);
  head->samples = Ld32(slot + 64);
  head->flags = Ld32(slot + 12);
  head->oldWriteTime = Ld64(slot + kOffWriteTime);
  head->name.assign(reinterpret_cast<const wchar_t*>(slot + 72), n);
  return head->sealedEnd >= kEntriesStart;
}

void AppendEntry(uint64_t salt, uint64_t offset, const uint8_t* old, uint32_t bytes,
                 std::vector<uint8_t>* out) {
  size_t at = out->size();
  uint32_t carried = old ? bytes : 0;
  out->resize(at + kEntryHead + carried);
  uint8_t* e = out->data() + at;
  St64(e, offset);
  St32(e + 8, bytes);
  St32(e + 12, old ? kKindBytes : kKindZero);
  if (carried) memcpy(e + kEntryHead, old, carried);
  bool ok = true;
  St64(e + 16, EntryCheck(salt, e, nullptr, 0, carried, e + kEntryHead, &ok));
}

void AppendHole(uint64_t salt, uint64_t offset, uint32_t bytes, std::vector<uint8_t>* out) {
  size_t at = out->size();
  out->resize(at + kEntryHead);
  uint8_t* e = out->data() + at;
  St64(e, offset);
  St32(e + 8, bytes);
  St32(e + 12, kKindHole);
  bool ok = true;
  St64(e + 16, EntryCheck(salt, e, nullptr, 0, 0, nullptr, &ok));
}

void AppendWritten(uint64_t salt, uint64_t first, const uint32_t* values, uint32_t count,
                   std::vector<uint8_t>* out) {
  size_t at = out->size();
  out->resize(at + kEntryHead + count * 4u);
  uint8_t* e = out->data() + at;
  St64(e, first * kCheckSector);
  St32(e + 8, count * kCheckSector);
  St32(e + 12, kKindWritten);
  for (uint32_t i = 0; i < count; i++) St32(e + kEntryHead + i * 4, values[i]);
  bool ok = true;
  St64(e + 16, EntryCheck(salt, e, nullptr, 0, count * 4u, e + kEntryHead, &ok));
}

uint32_t SectorCheck(const uint8_t* bytes, uint32_t n) {
  return (uint32_t)Hash(0xBB67AE8584CAA73Bull, bytes, n);
}

std::vector<std::pair<uint64_t, uint32_t>> SampleRanges(uint64_t length) {
  std::vector<std::pair<uint64_t, uint32_t>> out;
  if (!length) return out;
  uint64_t first = std::min<uint64_t>(length, kFirstBytes);
  out.emplace_back(0, (uint32_t)first);
  uint64_t last = 0;
  for (int i = 1; i <= kSpread; i++) {
    uint64_t at = length / (kSpread + 1) * i / 512 * 512;
    if (at < first || at >= length || (at <= last && last)) continue;
    out.emplace_back(at, (uint32_t)std::min<uint64_t>(512, length - at));
    last = at;
  }
  return out;
}

namespace {

uint64_t FoldSample(uint64_t h, uint64_t at, const uint8_t* bytes, uint32_t n) {
  return Hash(h ^ at, bytes, n);
}

}  // namespace

bool Fingerprint(HANDLE file, uint64_t length, uint64_t* value) {
  uint64_t h = length;
  std::vector<uint8_t> buffer;
  for (const auto& r : SampleRanges(length)) {
    buffer.resize(r.second);
    if (!ReadZeroTail(file, r.first, buffer.data(), r.second)) return false;
    h = FoldSample(h, r.first, buffer.data(), r.second);
  }
  *value = h;
  return true;
}

std::wstring JournalPathOf(const std::wstring& path) {
  return path + L".journal";
}

std::wstring FileNameOf(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/:");
  std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
  if (name.size() > kMaxName) name = name.substr(name.size() - kMaxName);
  return name;
}

ReadResult ReadJournal(HANDLE journal, Head* head, std::vector<Entry>* entries,
                       std::vector<Written>* written) {
  entries->clear();
  if (written) written->clear();
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(journal, &size)) return READ_FAILED;
  uint64_t end = (uint64_t)size.QuadPart;
  Head slots[2];
  bool valid[2] = {false, false};
  for (int i = 0; i < 2; i++) {
    uint8_t slot[kSlotBytes];
    if (end >= (i + 1) * (uint64_t)kSlotBytes) {
      if (!ReadAll(journal, i * kSlotBytes, slot, kSlotBytes)) return READ_FAILED;
      valid[i] = DecodeHead(slot, &slots[i]);
    }
  }
  if (!valid[0] && !valid[1]) return READ_DAMAGED;
  *head = (valid[0] && (!valid[1] || slots[0].sequence > slots[1].sequence)) ? slots[0] : slots[1];
  if (head->sealedEnd > end) return READ_DAMAGED;
  // Entries up to the sealed end must all be whole; after it lie those of
  // a batch whose seal never reached the disk (their overwrites never
  // began), up to the first one cut short. Their old bytes are the file's
  // before the command as well: putting them back changes nothing wrong.
  uint64_t at = kEntriesStart, count = 0;
  std::vector<uint8_t> values;
  while (at < end) {
    bool sealed = at < head->sealedEnd;
    uint8_t e[kEntryHead];
    if (at + kEntryHead > (sealed ? head->sealedEnd : end)) return sealed ? READ_DAMAGED : READ_OK;
    if (!ReadAll(journal, at, e, kEntryHead)) return READ_FAILED;
    uint32_t kind = Ld32(e + 12);
    bool hole = kind == kKindHole && head->version >= 3;
    Entry entry = {Ld64(e), Ld32(e + 8), at + kEntryHead, kind == kKindZero || hole, hole};
    bool sectors = kind == kKindWritten && head->version >= 2;
    uint32_t carried = entry.zero ? 0 : sectors ? entry.bytes / kCheckSector * 4 : entry.bytes;
    uint64_t limit = sectors ? (head->oldLength + kCheckSector - 1) / kCheckSector * kCheckSector
                             : head->oldLength;
    bool bySector = sectors || hole;
    bool shape = (kind == kKindBytes || kind == kKindZero || sectors || hole) && entry.bytes != 0 &&
                 (!bySector || (entry.offset % kCheckSector == 0 && entry.bytes % kCheckSector == 0)) &&
                 entry.at + carried <= (sealed ? head->sealedEnd : end) &&
                 entry.offset + entry.bytes <= limit && entry.offset + entry.bytes > entry.offset;
    bool readOk = true;
    bool whole = shape && EntryCheck(head->salt, e, journal, entry.at, carried, nullptr,
                                     &readOk) == Ld64(e + 16);
    if (!readOk) return READ_FAILED;
    if (!whole) {
      if (sealed) return READ_DAMAGED;
      break;
    }
    if (!sectors) {
      entries->push_back(entry);
    } else if (written) {
      values.resize(carried);
      if (!ReadAll(journal, entry.at, values.data(), carried)) return READ_FAILED;
      for (uint32_t i = 0; i < carried / 4; i++)
        written->emplace_back(entry.offset / kCheckSector + i, Ld32(values.data() + i * 4));
    }
    count++;
    at = entry.at + carried;
    if (at == head->sealedEnd && count != head->sealedEntries) return READ_DAMAGED;
  }
  return READ_OK;
}

bool HoldsOldOrWritten(HANDLE file, HANDLE journal, const Head& head,
                       const std::vector<Entry>& entries, std::vector<Written> written,
                       bool* holds) {
  *holds = true;
  if (head.version < 2) return true;
  std::sort(written.begin(), written.end());
  std::vector<uint8_t> now, old;
  // A sector that two entries reach passes for each of them when its bytes
  // are old where both reach, or when it is named as written: the same as
  // when it is looked at once.
  for (const Entry& e : entries) {
    uint64_t end = e.offset + e.bytes;
    uint64_t from = e.offset / kCheckSector * kCheckSector;
    uint64_t to = std::min((end + kCheckSector - 1) / kCheckSector * kCheckSector, head.oldLength);
    while (from < to) {
      uint32_t n = (uint32_t)std::min<uint64_t>(kPiece, to - from);
      now.resize(n);
      if (!ReadZeroTail(file, from, now.data(), n)) return false;
      uint64_t oldFrom = std::max(from, e.offset), oldTo = std::min(from + n, end);
      old.assign((size_t)(oldTo - oldFrom), 0);
      if (!e.zero && !ReadAll(journal, e.at + (oldFrom - e.offset), old.data(), (uint32_t)old.size()))
        return false;
      for (uint32_t s = 0; s < n; s += kCheckSector) {
        uint32_t bytes = std::min(kCheckSector, n - s);
        uint64_t a = std::max(from + s, oldFrom), b = std::min(from + s + bytes, oldTo);
        if (a < b && memcmp(now.data() + (a - from), old.data() + (a - oldFrom), (size_t)(b - a)) == 0)
          continue;
        Written w((from + s) / kCheckSector, SectorCheck(now.data() + s, bytes));
        if (!std::binary_search(written.begin(), written.end(), w)) {
          *holds = false;
          return true;
        }
      }
      from += n;
    }
  }
  return true;
}

void GiveBackHoles(HANDLE file, const std::vector<Entry>& entries) {
  VroDeviceSource* source = VroGetDeviceSource();
  for (const Entry& e : entries)
    if (e.hole && source->PunchHole(file, e.offset, e.offset + e.bytes) != 0) return;
}

bool PutBack(HANDLE file, HANDLE journal, const Head& head, const std::vector<Entry>& entries) {
  VroDeviceSource* source = VroGetDeviceSource();
  std::vector<uint8_t> old, now;
  for (const Entry& e : entries) {
    for (uint32_t done = 0; done < e.bytes;) {
      uint32_t n = std::min<uint32_t>(1u << 20, e.bytes - done);
      uint64_t at = e.offset + done, end = at + n;
      old.assign(n, 0);
      now.resize(n);
      if ((!e.zero && !ReadAll(journal, e.at + done, old.data(), n)) ||
          !ReadZeroTail(file, at, now.data(), n))
        return false;
      // Only the sectors of the file that differ now go back, in runs: one
      // that holds its old bytes is left alone. So a roll back never writes
      // where the file has a hole (a hole reads as zeros: as its old bytes
      // when they were zeros, and else it was no hole when the command
      // began), and takes no room on a host disk that may be full.
      uint64_t run = end;
      for (uint64_t s = at; s < end;) {
        uint64_t next = std::min(end, (s / kCheckSector + 1) * kCheckSector);
        bool differs = memcmp(now.data() + (s - at), old.data() + (s - at), (size_t)(next - s)) != 0;
        if (differs && run == end) run = s;
        if ((!differs || next == end) && run != end) {
          uint64_t stop = differs ? next : s;
          if (source->WriteAt(file, run, old.data() + (run - at), (uint32_t)(stop - run)) !=
              (int64_t)(stop - run))
            return false;
          run = end;
        }
        s = next;
      }
      done += n;
    }
  }
  LARGE_INTEGER size = {}, cut;
  cut.QuadPart = (LONGLONG)head.oldLength;
  if (!GetFileSizeEx(file, &size)) return false;
  if ((uint64_t)size.QuadPart != head.oldLength &&
      (!SetFilePointerEx(file, cut, nullptr, FILE_BEGIN) || !SetEndOfFile(file)))
    return false;
  return source->FlushHandle(file) == 0;
}

bool FingerprintRolledBack(HANDLE file, HANDLE journal, const Head& head,
                           const std::vector<Entry>& entries, uint64_t* value) {
  uint64_t h = head.oldLength;
  std::vector<uint8_t> buffer;
  for (const auto& r : SampleRanges(head.oldLength)) {
    buffer.resize(r.second);
    if (!ReadZeroTail(file, r.first, buffer.data(), r.second)) return false;
    uint64_t rEnd = r.first + r.second;
    for (const Entry& e : entries) {
      uint64_t from = std::max(e.offset, r.first), to = std::min(e.offset + e.bytes, rEnd);
      if (from >= to) continue;
      if (e.zero)
        memset(buffer.data() + (from - r.first), 0, (size_t)(to - from));
      else if (!ReadAll(journal, e.at + (from - e.offset), buffer.data() + (from - r.first),
                        (uint32_t)(to - from)))
        return false;
    }
    h = FoldSample(h, r.first, buffer.data(), r.second);
  }
  *value = h;
  return true;
}

}  // namespace vrojournal
