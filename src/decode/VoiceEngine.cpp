#include "decode/VoiceEngine.h"

#include <cstring>

namespace {

// The state block: a tag that shows it was reset, and the codec type.
struct VoiceState {
    uint8_t tag[4];
    int16_t type;
    int16_t reserved;
};
static_assert(sizeof(VoiceState) == qx::kVoiceStateSmall, "small voice state is 8 bytes");

constexpr uint8_t kResetTag[4] = {'G', '7', '1', '1'};

}  // namespace

namespace qx {

// ITU-T G.711: even bits inverted, sign in the top bit, 3-bit segment, 4-bit step.
int16_t ALawToPcm(uint8_t code) {
    code ^= 0x55;
    const int segment = (code >> 4) & 0x07;
    int magnitude = ((code & 0x0F) << 4) + 8;
    if (segment != 0)
        magnitude = (magnitude + 0x100) << (segment - 1);
    return static_cast<int16_t>((code & 0x80) != 0 ? magnitude : -magnitude);
}

// ITU-T G.711: all bits inverted, sign in the top bit, biased by 0x84.
int16_t MuLawToPcm(uint8_t code) {
    code = static_cast<uint8_t>(~code);
    const int segment = (code >> 4) & 0x07;
    const int magnitude = ((((code & 0x0F) << 3) + 0x84) << segment) - 0x84;
    return static_cast<int16_t>((code & 0x80) != 0 ? -magnitude : magnitude);
}

}  // namespace qx

int VOICE_DecReset(void* state, int16_t type) {
    if (state == nullptr || (type != 1 && type != 2))
        return -1;
    VoiceState reset{};
    std::memcpy(reset.tag, kResetTag, sizeof reset.tag);
    reset.type = type;
    std::memcpy(state, &reset, sizeof reset);
    return 0;
}

int VOICE_DecodeFrame(void* state, const int16_t* input, int16_t* output, int16_t* outputLength) {
    if (state == nullptr || input == nullptr || output == nullptr || outputLength == nullptr)
        return -1;
    VoiceState current;
    std::memcpy(&current, state, sizeof current);
    if (std::memcmp(current.tag, kResetTag, sizeof kResetTag) != 0)
        return -1;
    if (static_cast<uint16_t>(input[0]) != qx::kVoiceFrameTag || input[1] <= 0)
        return -1;
    const int bytes = input[1] * 2;
    if (bytes > *outputLength)
        return -1;
    const auto* payload = reinterpret_cast<const uint8_t*>(input + 2);
    for (int i = 0; i < bytes; ++i)
        output[i] = current.type == 1 ? qx::ALawToPcm(payload[i]) : qx::MuLawToPcm(payload[i]);
    *outputLength = static_cast<int16_t>(bytes);
    return 0;
}
