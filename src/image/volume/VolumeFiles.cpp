// What every volume answers the same way through its file operations.
#include "image/volume/VolumeFiles.h"

#include <vector>

namespace {

const DWORD kPeReadLimit = 64 * 1024;

}  // namespace

int VolumeFiles::IsWindowsExecutable(const wchar_t* path) {
  std::vector<unsigned char> head(kPeReadLimit);
  uint64_t got = ReadFile(path, head.data(), 0, head.size());
  if (got < 0x40 || head[0] != 'M' || head[1] != 'Z') return 0;
  uint32_t pe = head[0x3C] | (head[0x3D] << 8) | (head[0x3E] << 16) | ((uint32_t)head[0x3F] << 24);
  if (pe > got || got - pe < 6) return 0;
  if (head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] || head[pe + 3]) return 0;
  unsigned int machine = head[pe + 4] | (head[pe + 5] << 8);
  return machine == 0x8664 || machine == 0x14C;
}
