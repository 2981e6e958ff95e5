#include "stream/ExpGolomb.h"

#include <cstdint>

#include "stream/SpsReader.h"

namespace qx {

uint32_t UnSignedExpGolomb(uint32_t& window, uint32_t& bitPos) {
    if (bitPos >= 32) {
        window = 0;
        bitPos = 0;
        return 0;
    }
    const uint32_t bitsLeft = 32 - bitPos;
    window <<= bitPos;
    if (window == 0) {
        bitPos = 0;
        return 0;
    }
    const uint32_t highest = 31 - static_cast<uint32_t>(__builtin_clz(window));
    const uint32_t length = 63 - 2 * highest;
    if (length > bitsLeft) {
        bitPos = 0;
        return 0;
    }
    bitPos = length;
    return (window >> (32 - length)) - 1;
}

namespace {

void SkipScalingList(BitReader& br, int size) {
    int64_t last = 8;
    int64_t next = 8;
    for (int j = 0; j < size && next != 0; ++j) {
        next = ((last + br.ReadSe()) % 256 + 256) % 256;
        if (next != 0)
            last = next;
    }
}

bool ReadElements(BitReader& br, int profile_idc, SPS_DATA& sps) {
    sps.seq_parameter_set_id = br.ReadUe();
    if (profile_idc >= 0 && H264SpsHasChromaBlock(static_cast<uint32_t>(profile_idc))) {
        sps.chroma_format_idc = br.ReadUe();
        if (sps.chroma_format_idc == 3)
            sps.separate_colour_plane_flag = br.ReadFlag();
        sps.bit_depth_luma_minus8 = br.ReadUe();
        sps.bit_depth_chroma_minus8 = br.ReadUe();
        sps.qpprime_y_zero_transform_bypass_flag = br.ReadFlag();
        sps.seq_scaling_matrix_present_flag = br.ReadFlag();
        if (sps.seq_scaling_matrix_present_flag) {
            const int lists = sps.chroma_format_idc != 3 ? 8 : 12;
            for (int i = 0; i < lists; ++i) {
                if (br.ReadFlag())
                    SkipScalingList(br, i < 6 ? 16 : 64);
            }
        }
    } else {
        sps.chroma_format_idc = 1;
        sps.separate_colour_plane_flag = 0;
        sps.bit_depth_luma_minus8 = 0;
        sps.bit_depth_chroma_minus8 = 0;
        sps.qpprime_y_zero_transform_bypass_flag = 0;
        sps.seq_scaling_matrix_present_flag = 0;
    }
    sps.log2_max_frame_num_minus4 = br.ReadUe();
    sps.pic_order_cnt_type = br.ReadUe();
    if (sps.pic_order_cnt_type == 0) {
        sps.log2_max_pic_order_cnt_lsb_minus4 = br.ReadUe();
    } else if (sps.pic_order_cnt_type == 1) {
        br.ReadFlag();  // delta_pic_order_always_zero_flag
        br.ReadSe();    // offset_for_non_ref_pic
        br.ReadSe();    // offset_for_top_to_bottom_field
        const uint32_t cycle = br.ReadUe();
        // A hostile count must not drive billions of reads.
        if (cycle >= 256)
            return false;
        for (uint32_t i = 0; i < cycle && br.Ok(); ++i)
            br.ReadSe();
    }
    sps.max_num_ref_frames = br.ReadUe();
    sps.gaps_in_frame_num_value_allowed_flag = br.ReadFlag();
    sps.pic_width_in_mbs_minus1 = br.ReadUe();
    sps.pic_height_in_map_units_minus1 = br.ReadUe();
    return br.Ok();
}

}  // namespace

bool ParseSPS(const unsigned char* bytes, size_t length, int profile_idc, SPS_DATA& sps) {
    if (bytes == nullptr)
        return false;
    BitReader br(bytes, length);
    return ReadElements(br, profile_idc, sps);
}

bool ParseSPS(const unsigned char* bytes, int profile_idc, SPS_DATA& sps) {
    if (bytes == nullptr)
        return false;
    // The reader touches a byte only when it needs its bits, so an unbounded range
    // reads exactly the bytes of the elements.
    BitReader br(bytes, SIZE_MAX);
    return ReadElements(br, profile_idc, sps);
}

}  // namespace qx
