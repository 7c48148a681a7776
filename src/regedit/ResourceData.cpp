#include "regedit/ResourceData.h"

#include <string.h>

namespace {

uint16_t Read16(const uint8_t* p) {
  return (uint16_t)(p[0] | (p[1] << 8));
}
uint32_t Read32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
uint64_t Read64(const uint8_t* p) {
  return Read32(p) | ((uint64_t)Read32(p + 4) << 32);
}

PartialResource ReadPartial(const uint8_t* p) {
  PartialResource r = {};
  r.type = p[0];
  r.share = p[1];
  r.flags = Read16(p + 2);
  r.start = Read64(p + 4);
  r.length = Read32(p + 12);
  r.level = Read32(p + 4);
  r.vector = Read32(p + 8);
  r.affinity = Read32(p + 12);
  r.channel = Read32(p + 4);
  r.port = Read32(p + 8);
  return r;
}

RequirementDescriptor ReadRequirement(const uint8_t* p) {
  RequirementDescriptor r = {};
  r.option = p[0];
  r.type = p[1];
  r.share = p[2];
  r.flags = Read16(p + 4);
  r.length = Read32(p + 8);
  r.alignment = Read32(p + 12);
  r.minAddress = Read64(p + 16);
  r.maxAddress = Read64(p + 24);
  r.minimum = Read32(p + 8);
  r.maximum = Read32(p + 12);
  return r;
}

}  // namespace

std::vector<FullResourceDescriptor> ParseResourceList(const uint8_t* data, size_t length) {
  std::vector<FullResourceDescriptor> out;
  if (!data || length < 4) return out;
  const uint32_t count = Read32(data);
  size_t pos = 4;
  for (uint32_t i = 0; i < count && length - pos >= kFullDescriptorHeader; ++i) {
    const uint8_t* p = data + pos;
    FullResourceDescriptor d;
    d.interfaceType = Read32(p);
    d.busNumber = Read32(p + 4);
    d.version = Read16(p + 8);
    d.revision = Read16(p + 10);
    const uint32_t partials = Read32(p + 12);
    pos += kFullDescriptorHeader;
    uint32_t j = 0;
    for (; j < partials && length - pos >= kPartialDescriptorSize; ++j) {
      d.partials.push_back(ReadPartial(data + pos));
      pos += kPartialDescriptorSize;
    }
    out.push_back(d);
    if (j < partials) break;  // the data ended inside this descriptor
  }
  return out;
}

bool ParseRequirementsList(const uint8_t* data, size_t length, RequirementsList* out) {
  *out = RequirementsList();
  if (!data || length < kRequirementsHeader) return false;
  out->listSize = Read32(data);
  out->interfaceType = Read32(data + 4);
  out->busNumber = Read32(data + 8);
  out->slotNumber = Read32(data + 12);
  out->alternativeCount = Read32(data + 28);
  size_t pos = kRequirementsHeader;
  for (uint32_t a = 0; a < out->alternativeCount && length - pos >= kAlternativeHeader; ++a) {
    const uint32_t count = Read32(data + pos + 4);
    pos += kAlternativeHeader;
    std::vector<RequirementDescriptor> list;
    uint32_t d = 0;
    for (; d < count && length - pos >= kRequirementDescriptorSize; ++d) {
      list.push_back(ReadRequirement(data + pos));
      pos += kRequirementDescriptorSize;
    }
    out->alternatives.push_back(list);
    if (d < count) break;
  }
  return true;
}
