// The declared capacity of an image's own-format layers: raised by a grow,
// kept beforehand so that a grow that fails can put it back.
#pragma once
#include <stdint.h>

#include <vector>

class CMountedImage;
class _VROH_RW_CLASS;

// Gives an own-format layer a capacity (sectors, header slot included); a
// writable one writes its header. False when that write fails.
bool SetLayerCapacity(_VROH_RW_CLASS& layer, uint64_t capacity);
bool IsOwnFormatLayer(_VROH_RW_CLASS& layer);

class CImageCapacity {
 public:
  // The capacities of the image's layers as they stand.
  explicit CImageCapacity(CMountedImage* image);
  // Writes the kept capacities back into the headers that changed; a layer
  // opened since (the update file the grow began) takes the one below it.
  bool Restore(CMountedImage* image) const;

 private:
  static const int kLayers = 3;
  uint64_t m_capacity[kLayers] = {};
};
