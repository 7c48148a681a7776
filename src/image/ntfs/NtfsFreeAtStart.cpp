#include "image/ntfs/NtfsFreeAtStart.h"

#include <algorithm>

namespace {

// Writes of a command noted before $Bitmap's place is known (the mount's
// own): past this many the command goes without answers.
const size_t kMaxEarly = 64;

}  // namespace

void NtfsFreeAtStart::Locate(const Ranges& runs, uint64_t clusterSize, uint64_t clusters) {
  m_runs = runs;
  m_bitmapBytes = 0;
  for (const auto& r : runs) m_bitmapBytes += r.second - r.first;
  m_clusterSize = clusterSize;
  m_clusters = std::min(clusters, m_bitmapBytes * 8);
  m_located = clusterSize != 0;
  // A write of this command into $Bitmap before now hides how it stood.
  for (const auto& w : m_early)
    if (TouchesBitmap(w.first, w.second)) m_watching = false;
  m_early.clear();
}

bool NtfsFreeAtStart::TouchesBitmap(uint64_t offset, uint64_t end) const {
  for (const auto& r : m_runs)
    if (offset < r.second && r.first < end) return true;
  return false;
}

const std::vector<uint8_t>* NtfsFreeAtStart::Piece(uint64_t index, ReadFn read, void* ctx) {
  auto found = m_pieces.find(index);
  if (found != m_pieces.end()) return &found->second;
  uint64_t from = index * m_piece, to = std::min(from + m_piece, m_bitmapBytes);
  if (from >= to) return nullptr;
  std::vector<uint8_t> piece((size_t)(to - from));
  // The piece's bytes may lie in more than one run.
  uint64_t runStart = 0;
  for (const auto& r : m_runs) {
    uint64_t runEnd = runStart + (r.second - r.first);
    uint64_t lo = std::max(from, runStart), hi = std::min(to, runEnd);
    if (lo < hi &&
        !read(ctx, r.first + (lo - runStart), &piece[(size_t)(lo - from)], (uint32_t)(hi - lo)))
      return nullptr;
    runStart = runEnd;
  }
  return &(m_pieces[index] = std::move(piece));
}

void NtfsFreeAtStart::BeforeWrite(bool newCommand, uint64_t ended, uint64_t offset, uint64_t count,
                                  ReadFn read, void* ctx, Ranges* free) {
  free->clear();
  // A command that ended since, and one that began with a write this
  // device did not see, are not the one watched.
  if (!newCommand && ended != m_ended) m_watching = false;
  if (newCommand) {
    m_ended = ended;
    m_watching = true;
    m_pieces.clear();
    m_early.clear();
  }
  if (!m_watching || m_stopped || !count) return;
  uint64_t end = offset + count;
  if (!m_located) {
    if (m_early.size() >= kMaxEarly)
      m_watching = false;
    else
      m_early.emplace_back(offset, end);
    return;
  }
  // The pieces of $Bitmap this write changes are kept as they stand first.
  uint64_t runStart = 0;
  for (const auto& r : m_runs) {
    uint64_t lo = std::max(offset, r.first), hi = std::min(end, r.second);
    if (lo < hi) {
      // Bitmap bytes [lo, hi) of the run, by their place in $Bitmap.
      uint64_t first = (lo - r.first + runStart) / m_piece,
               last = (hi - 1 - r.first + runStart) / m_piece;
      for (uint64_t k = first; k <= last; k++)
        if (!Piece(k, read, ctx)) {
          m_watching = false;
          return;
        }
    }
    runStart += r.second - r.first;
  }
  uint64_t last = (end - 1) / m_clusterSize;
  for (uint64_t c = offset / m_clusterSize; c <= last && c < m_clusters; c++) {
    const std::vector<uint8_t>* piece = Piece(c / 8 / m_piece, read, ctx);
    if (!piece) {
      m_watching = false;
      free->clear();
      return;
    }
    if ((*piece)[(size_t)(c / 8 % m_piece)] >> (c % 8) & 1) continue;
    uint64_t lo = std::max(offset, c * m_clusterSize), hi = std::min(end, (c + 1) * m_clusterSize);
    if (!free->empty() && free->back().second == lo)
      free->back().second = hi;
    else
      free->emplace_back(lo, hi);
  }
}
