#include "UpxTestUtil.h"

#include "upxlib/bele.h"

namespace ut {

std::vector<uint8_t> CodeLike(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> b(n);
  size_t i = 0;
  while (i < n) {
    unsigned k = rng() % 16;
    if (k < 3 && i + 5 <= n) {
      b[i] = (k == 0) ? 0xE8 : 0xE9;
      int32_t rel = int32_t(rng() % 4096) - 2048;
      if (rng() % 8 == 0) rel = int32_t(rng());  // far: outside the buffer
      upx::set_le32(&b[i + 1], uint32_t(rel));
      i += 5;
    } else if (k == 3 && i + 6 <= n) {
      b[i] = 0x0F;
      b[i + 1] = uint8_t(0x80 + rng() % 16);
      upx::set_le32(&b[i + 2], uint32_t(int32_t(rng() % 1024) - 512));
      i += 6;
    } else if (k == 4) {
      size_t z = rng() % 8;
      for (size_t j = 0; j < z && i < n; j++) b[i++] = 0;
    } else {
      b[i++] = uint8_t(rng());
    }
  }
  return b;
}

void ResetOptions(int cmd) {
  upx::opt->reset();
  upx::opt->cmd = cmd;
}

std::vector<uint8_t> MakeHeader13(uint32_t u_len, uint32_t c_len, int method, int filter,
                                  int version, int format) {
  std::vector<uint8_t> h(32, 0);
  memcpy(h.data(), "UPX!", 4);
  h[4] = uint8_t(version);
  h[5] = uint8_t(format);
  h[6] = uint8_t(method);
  h[7] = 9;
  upx::set_le32(&h[8], 0x11111111);
  upx::set_le32(&h[12], 0x22222222);
  upx::set_le32(&h[16], u_len);
  upx::set_le32(&h[20], c_len);
  upx::set_le32(&h[24], u_len + 1000);
  h[28] = uint8_t(filter);
  unsigned sum = 0;
  for (int i = 4; i < 31; i++) sum += h[i];
  h[31] = uint8_t(sum % 251);
  return h;
}

}  // namespace ut
