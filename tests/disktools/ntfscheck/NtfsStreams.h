// The judge of the check and repair tests: every stream of a volume as
// ntfs-3g reads it, optionally after the free space was filled.
#pragma once
#include <stdint.h>

#include <set>
#include <string>

// Digest lines ("SHA256  path[:stream]", tests/fixtures/ntfs-streams.py) of
// every stream ntfs-3g can read on the volume at bytes [start, start +
// bytes) of the image, and of $UpCase (through ntfscat); empty when the
// volume does not mount. With `fill`, a read-write mount first fills the
// free space with a file the lines leave out: a cluster given up while a
// record still used it is overwritten then. mnt: an empty folder.
std::set<std::string> ReadNtfsStreams(const std::string& image, uint64_t start, uint64_t bytes,
                                      const std::string& mnt, bool fill = false);

// The lines of `want` that `have` lacks.
std::set<std::string> MissingStreams(const std::set<std::string>& want,
                                     const std::set<std::string>& have);
