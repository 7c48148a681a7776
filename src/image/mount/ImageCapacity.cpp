#include "image/mount/ImageCapacity.h"

#include <string.h>

#include "image/formats/sparse/ImageHeader.h"
#include "image/formats/sparse/ObjImg.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"

static_assert(_VROH_DISK_COMBO::LAYER_COUNT == 3, "one capacity per layer");

bool SetLayerCapacity(_VROH_RW_CLASS& layer, uint64_t capacity) {
  _VROH_OBJ_IMG* container = layer.Container();
  St64(container->Header() + vroimg::kOffCapacity, capacity);
  St32(container->MapHeader() + vroimg::kOffMapCapacity, (uint32_t)capacity);
  layer.m_nCapacity = capacity;
  return layer.m_nMode == VRO_MODE_READ || container->WriteHeader() >= 0;
}

bool IsOwnFormatLayer(_VROH_RW_CLASS& layer) {
  return layer.IsOpen() && layer.m_nType == VRO_TYPE_SPARSE && layer.Container();
}

CImageCapacity::CImageCapacity(CMountedImage* image) {
  _VROH_DISK_COMBO* layers = image->DiskObject()->Layers();
  for (int i = 0; i < kLayers; i++)
    m_capacity[i] = layers->m_Layers[i].IsOpen() ? layers->m_Layers[i].m_nCapacity : 0;
}

bool CImageCapacity::Restore(CMountedImage* image) const {
  if (!image->DiskObject()) return false;
  _VROH_DISK_COMBO* layers = image->DiskObject()->Layers();
  bool ok = true;
  uint64_t below = 0;
  for (int i = 0; i < kLayers; i++) {
    _VROH_RW_CLASS& layer = layers->m_Layers[i];
    uint64_t kept = m_capacity[i] ? m_capacity[i] : below;
    if (m_capacity[i]) below = m_capacity[i];
    if (IsOwnFormatLayer(layer) && kept && layer.m_nCapacity != kept &&
        !SetLayerCapacity(layer, kept))
      ok = false;
  }
  return ok;
}
