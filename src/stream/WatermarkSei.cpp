#include "stream/WatermarkSei.h"

#include <cstring>

namespace qx {

namespace {

constexpr int kCipherOffset = 31;
// Bytes of the SEI's own framing that its length counts besides the ciphertext.
constexpr int kFraming = 32;

}  // namespace

bool DecipherWatermarkSei(const DesCipher& des, const unsigned char* payload, int length,
                          unsigned char seiInfo[kSeiInfoSize], int* seiLength) {
    if (payload == nullptr || seiInfo == nullptr || seiLength == nullptr || length <= 30 ||
        payload[29] != 5 || payload[30] != 1)
        return false;
    const int recordLength = payload[2] == 1 ? payload[26] * 255 + payload[27] + 28
                                             : payload[27] * 255 + payload[28] + 29;
    int n = recordLength - kFraming;
    if (n <= 0 || kCipherOffset + n > length)
        return false;
    if (n > kSeiWorkSize)
        n = kSeiWorkSize;
    unsigned char work[kSeiWorkSize] = {};
    std::memcpy(work, payload + kCipherOffset, static_cast<size_t>(n));
    std::memset(seiInfo, 0, kSeiInfoSize);
    const int blocks = n / 8;
    for (int i = 0; i < blocks; ++i)
        des.DecryptBlock(work + 8 * i, seiInfo + 8 * i);
    std::memcpy(seiInfo + 8 * blocks, work + 8 * blocks, static_cast<size_t>(n % 8));
    *seiLength = n;
    return true;
}

}  // namespace qx
