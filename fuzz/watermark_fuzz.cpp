// Feeds arbitrary video payloads to the watermark record reader, as a camera's SEI
// may carry any length bytes. It must stay inside the payload and its two buffers.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "stream/DesCipher.h"
#include "stream/WatermarkSei.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const qx::DesCipher des(qx::kWatermarkKey);
    const int length = size > static_cast<size_t>(std::numeric_limits<int>::max())
                           ? std::numeric_limits<int>::max()
                           : static_cast<int>(size);
    unsigned char info[qx::kSeiInfoSize];
    int infoLength = -1;
    if (qx::DecipherWatermarkSei(des, data, length, info, &infoLength) &&
        (infoLength <= 0 || infoLength > qx::kSeiWorkSize || 31 + infoLength > length)) {
        __builtin_trap();
    }
    return 0;
}
