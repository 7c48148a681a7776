// The hardware-resource value types read as records: resource lists and
// full resource descriptors (CM_RESOURCE_LIST, CM_FULL_RESOURCE_DESCRIPTOR)
// and requirements lists (IO_RESOURCE_REQUIREMENTS_LIST). Every count and
// length is checked against the data before a step: a list that claims more
// than it holds is read up to where the data ends, never past it.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

// Sizes of the fixed parts.
enum : uint32_t {
  kFullDescriptorHeader = 16,
  kPartialDescriptorSize = 16,
  kRequirementsHeader = 32,
  kAlternativeHeader = 8,
  kRequirementDescriptorSize = 32,
  // Shortest data the viewers take: a resource list, a full descriptor and
  // a requirements list.
  kMinResourceList = 36,
  kMinFullDescriptor = 32,
  kMinRequirementsList = 72,
};

// Resource types of partial and requirement descriptors.
enum : uint8_t {
  kResourcePort = 1,
  kResourceInterrupt = 2,
  kResourceMemory = 3,
  kResourceDma = 4,
  kResourceLargeMemory = 7,
};

struct PartialResource {
  uint8_t type;
  uint8_t share;
  uint16_t flags;
  uint64_t start;     // port and memory
  uint32_t length;    // port and memory
  uint32_t level;     // interrupt
  uint32_t vector;    // interrupt
  uint32_t affinity;  // interrupt
  uint32_t channel;   // DMA
  uint32_t port;      // DMA
};

struct FullResourceDescriptor {
  uint32_t interfaceType;
  uint32_t busNumber;
  uint16_t version;
  uint16_t revision;
  std::vector<PartialResource> partials;
};

// The full descriptors of a resource list (a count, then the descriptors),
// as many as the data holds whole headers for, each with the partial
// descriptors that lie whole inside the data.
std::vector<FullResourceDescriptor> ParseResourceList(const uint8_t* data, size_t length);

struct RequirementDescriptor {
  uint8_t option;  // bit 0 preferred, bit 3 alternative
  uint8_t type;
  uint8_t share;
  uint16_t flags;
  uint32_t length;      // port and memory
  uint32_t alignment;   // port and memory
  uint64_t minAddress;  // port and memory
  uint64_t maxAddress;  // port and memory
  uint32_t minimum;     // interrupt vector or DMA channel
  uint32_t maximum;
};

struct RequirementsList {
  uint32_t listSize = 0;
  uint32_t interfaceType = 0;
  uint32_t busNumber = 0;
  uint32_t slotNumber = 0;
  uint32_t alternativeCount = 0;  // as the data claims it
  // The alternative lists with the descriptors that lie whole in the data.
  std::vector<std::vector<RequirementDescriptor>> alternatives;
};

// False when the data is shorter than the list header.
bool ParseRequirementsList(const uint8_t* data, size_t length, RequirementsList* out);
