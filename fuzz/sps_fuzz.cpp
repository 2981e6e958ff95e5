// Feeds arbitrary bytes to everything that parses NAL units and parameter sets out of
// the network stream. None of it may read outside the input or fail to terminate.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "stream/ExpGolomb.h"
#include "stream/H264UtilsA.h"
#include "stream/SpsReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int length = size > INT32_MAX ? INT32_MAX : static_cast<int>(size);

    std::string messages;
    qx::H264Sps sps;
    if (qx::ReadH264Sps(data, size, &sps, &messages)) {
        int width = 0;
        int height = 0;
        if (qx::H264PictureSize(sps, &width, &height) && !qx::IsSanePictureSize(width, height)) {
            __builtin_trap();
        }
    }

    int width = 0;
    int height = 0;
    if (H264UtilsA::parse_hevc_sps(data, length, &width, &height) == 0 &&
        !qx::IsSanePictureSize(width, height)) {
        __builtin_trap();
    }

    // The short parser starts at seq_parameter_set_id; let the first byte pick the
    // profile so that both of its paths are reached.
    if (size > 0) {
        SPS_DATA fields;
        qx::ParseSPS(data + 1, size - 1, data[0] < 128 ? 100 : 66, fields);
    }
    if (size >= 5) {
        uint32_t window =
            uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16 | uint32_t{data[2]} << 8 | data[3];
        uint32_t bitPos = data[4] & 0x3F;
        qx::UnSignedExpGolomb(window, bitPos);
        if (bitPos > 32)
            __builtin_trap();
    }

    std::list<NAL_INFO> units = H264UtilsA::Get_NAL_INFO(data, static_cast<long>(size));
    H264UtilsA::FreeNalInfo(units);
    // Every suffix as a unit of its own, as the parser meets them.
    for (size_t i = 0; i < size && i < 64; ++i) {
        H264UtilsA::StartNalFlag(data + i, length - static_cast<int>(i));
        H264UtilsA::Get_NAL_Type(data + i, static_cast<int64_t>(size - i));
        H264UtilsA::get_hevc_nal_type(data + i, static_cast<int64_t>(size - i));
    }
    return 0;
}
