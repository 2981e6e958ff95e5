#pragma once

#include <cstdint>

namespace qx {

// The built-in key of the watermark records cameras encipher into their streams.
constexpr uint8_t kWatermarkKey[8] = {'V', 'E', 'L', 'A', '-', 'K', 'I', 'T'};

// DES on single 8-byte blocks (ECB), bits taken most significant first, so blocks
// agree with any standard implementation. The 16 round keys are made once.
class DesCipher {
  public:
    explicit DesCipher(const uint8_t key[8]);

    void EncryptBlock(const uint8_t in[8], uint8_t out[8]) const;
    void DecryptBlock(const uint8_t in[8], uint8_t out[8]) const;

  private:
    void Crypt(const uint8_t in[8], uint8_t out[8], bool decrypt) const;

    uint64_t m_roundKeys[16];
};

}  // namespace qx
