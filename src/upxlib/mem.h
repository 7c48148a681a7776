// checked sizes and the guarded memory buffer.
#pragma once
#include "upxlib/conf.h"

namespace upx {

upx_uint64_t mem_size(upx_uint64_t element_size, upx_uint64_t n, upx_uint64_t extra = 0);
upx_uint64_t mem_size_count(upx_uint64_t element_size, upx_uint64_t n);
bool mem_size_valid_bytes(upx_uint64_t bytes);
void mem_zero(void* p, size_t n);

class MemBuffer {
 public:
  MemBuffer() noexcept : ptr(nullptr), size_in_bytes(0) {}
  explicit MemBuffer(upx_uint64_t size);
  ~MemBuffer() noexcept;
  MemBuffer(const MemBuffer&) = delete;
  MemBuffer& operator=(const MemBuffer&) = delete;

  static unsigned getSizeForCompression(unsigned uncompressed_size);
  void allocate(upx_uint64_t size);
  void allocateForCompression(unsigned uncompressed_size);
  void release();
  void verifyGuards() const;
  void zeroRange(unsigned off, unsigned len);
  void fill(unsigned off, unsigned len, int value);
  // Range-checked view: data + skip when [skip, skip + take) lies inside the
  // buffer, else the formatted error (skip, take) through raiseCannotPack.
  upx_byte* view(const char* errfmt, unsigned skip, unsigned take);

  upx_byte* getVoidPtr() const { return ptr; }
  upx_byte* data() const { return ptr; }
  unsigned getSize() const { return size_in_bytes; }
  operator upx_byte*() const { return ptr; }
  bool isEmpty() const { return ptr == nullptr; }

  static unsigned getSerialCounter();

 private:
  upx_byte* ptr;
  unsigned size_in_bytes;
};

}  // namespace upx
