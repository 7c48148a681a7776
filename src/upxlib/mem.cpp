// checked sizes and the guarded memory buffer.
#include "upxlib/mem.h"

#include <cstdint>
#include <cstdlib>

#include "upxlib/bele.h"
#include "upxlib/except.h"
#include "upxlib/util.h"

namespace upx {

upx_uint64_t mem_size(upx_uint64_t element_size, upx_uint64_t n, upx_uint64_t extra) {
  UPX_ASSERT(element_size != 0);
  if (element_size > UPX_RSIZE_MAX) raiseCannotPack("mem_size 1; take care");
  if (n > UPX_RSIZE_MAX) raiseCannotPack("mem_size 2; take care");
  if (extra > UPX_RSIZE_MAX) raiseCannotPack("mem_size 3; take care");
  upx_uint64_t bytes = element_size * n + extra;  // cannot overflow 64 bits
  if (bytes > UPX_RSIZE_MAX) raiseCannotPack("mem_size 5; take care");
  return bytes;
}

upx_uint64_t mem_size_count(upx_uint64_t element_size, upx_uint64_t n) {
  mem_size(element_size, n, 0);
  return n;
}

bool mem_size_valid_bytes(upx_uint64_t bytes) {
  return bytes <= UPX_RSIZE_MAX;
}

void mem_zero(void* p, size_t n) {
  if (n > UPX_RSIZE_MAX) raiseCannotPack("mem_size 2; take care");
  if (n) memset(p, 0, n);
}

static unsigned serial_counter = 0;
static const unsigned MAGIC1 = 0xFEFDBEEB;
static const unsigned MAGIC2 = 0x7EFFFEEA;

static unsigned ptrWord(const void* p) {
  return unsigned(reinterpret_cast<uintptr_t>(p));
}

unsigned MemBuffer::getSerialCounter() {
  return serial_counter;
}

MemBuffer::MemBuffer(upx_uint64_t size) : ptr(nullptr), size_in_bytes(0) {
  allocate(size);
}

MemBuffer::~MemBuffer() noexcept {
  try {
    release();
  } catch (...) {
    // a clobbered guard found while destroying: the block is leaked rather
    // than freed, and the destructor does not raise
    ptr = nullptr;
    size_in_bytes = 0;
  }
}

unsigned MemBuffer::getSizeForCompression(unsigned uncompressed_size) {
  if (uncompressed_size > UPX_RSIZE_MAX) raiseCannotPack("mem_size 2; take care");
  upx_uint64_t bytes = upx_uint64_t(uncompressed_size) + uncompressed_size / 8 + 256;
  return unsigned(mem_size(1, bytes));
}

void MemBuffer::allocateForCompression(unsigned uncompressed_size) {
  if (uncompressed_size > UPX_RSIZE_MAX) raiseCannotPack("mem_size 2; take care");
  allocate(getSizeForCompression(uncompressed_size));
}

void MemBuffer::allocate(upx_uint64_t size) {
  UPX_ASSERT(ptr == nullptr);
  if (size == 0) raiseCannotPack("invalid buffer size 0; take care");
  if (size > UPX_RSIZE_MAX) raiseCannotPack("mem_size 2; take care");
  if (size + 32 > UPX_RSIZE_MAX) raiseCannotPack("mem_size 5; take care");
  upx_byte* block = static_cast<upx_byte*>(malloc(size_t(size) + 32));
  if (!block) raiseOutOfMemory();
  ptr = block + 16;
  size_in_bytes = unsigned(size);
  // The data are zero: no leftovers of earlier memory reach an output file.
  memset(ptr, 0, size_in_bytes);
  set_be32(ptr - 8, size_in_bytes);
  set_be32(ptr - 4, ptrWord(ptr) ^ MAGIC1);
  set_be32(ptr + size_in_bytes, ptrWord(ptr) ^ MAGIC2);
  set_be32(ptr + size_in_bytes + 4, serial_counter);
  serial_counter++;
}

void MemBuffer::verifyGuards() const {
  if (!ptr) raiseInternalError("block not allocated");
  if (get_be32(ptr - 4) != (ptrWord(ptr) ^ MAGIC1))
    raiseInternalError("memory clobbered before allocated block 1");
  if (get_be32(ptr - 8) != size_in_bytes)
    raiseInternalError("memory clobbered before allocated block 2");
  if (get_be32(ptr + size_in_bytes) != (ptrWord(ptr) ^ MAGIC2))
    raiseInternalError("memory clobbered past end of allocated block");
}

void MemBuffer::release() {
  if (ptr) {
    verifyGuards();
    memset(ptr - 8, 0, 8);
    memset(ptr + size_in_bytes, 0, 8);
    free(ptr - 16);
    ptr = nullptr;
    size_in_bytes = 0;
  }
  UPX_ASSERT(size_in_bytes == 0);
}

void MemBuffer::zeroRange(unsigned off, unsigned len) {
  fill(off, len, 0);
}

void MemBuffer::fill(unsigned off, unsigned len, int value) {
  verifyGuards();
  UPX_ASSERT(off <= size_in_bytes);
  UPX_ASSERT(len <= size_in_bytes);
  UPX_ASSERT(off + len <= size_in_bytes);
  if (len) memset(ptr + off, value, len);
}

upx_byte* MemBuffer::view(const char* errfmt, unsigned skip, unsigned take) {
  upx_uint64_t end = upx_uint64_t(skip) + take;
  if (!ptr || end > size_in_bytes) {
    char msg[100];
    upx_snprintf(msg, sizeof(msg), errfmt, skip, take);
    raiseCannotPack(msg);
  }
  return ptr + skip;
}

}  // namespace upx
