// Any bytes as an audio frame for the decoder: a type byte, then the frame words.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "decode/VoiceDecode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6)
        return 0;
    VoiceDecode decoder;
    decoder.DecodeVioceInit(data[0] % 8);
    // The output holds what the second byte says, so a length word that claims more
    // must be refused rather than written past.
    const int16_t capacity = static_cast<int16_t>(data[1] % 200);
    std::vector<int16_t> output(static_cast<size_t>(capacity));
    int16_t length = capacity;
    std::vector<int16_t> frame((size - 2) / 2);
    std::memcpy(frame.data(), data + 2, frame.size() * 2);
    // The frame itself must hold the payload its length word claims: the session
    // builds every frame, so that much is the caller's promise.
    if (frame[1] > 0 && static_cast<size_t>(frame[1]) > frame.size() - 2)
        return 0;
    decoder.DecodeVioce(frame.data(), output.data(), length);
    return 0;
}
