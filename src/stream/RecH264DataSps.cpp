#include "log/RecH264Data.h"

uint32_t RecH264Data::UnSignedExpGolomb(uint32_t& window, uint32_t& bitPos) {
    return qx::UnSignedExpGolomb(window, bitPos);
}

bool RecH264Data::ParseSPS(const unsigned char* bytes, size_t length, int profile_idc,
                           SPS_DATA& sps) {
    return qx::ParseSPS(bytes, length, profile_idc, sps);
}
