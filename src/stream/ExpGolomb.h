#pragma once

#include <cstddef>
#include <cstdint>

// The SPS elements read by the short SPS parser. Every member is a 32-bit unsigned
// value named as in ITU-T H.264 clause 7.3.2.1.1; the parser fills
// seq_parameter_set_id through pic_height_in_map_units_minus1 and leaves the others
// as they were.
struct SPS_DATA {
    uint32_t profile_idc = 0;
    uint32_t constraint_set_flags = 0;
    uint32_t level_idc = 0;
    uint32_t seq_parameter_set_id = 0;
    uint32_t chroma_format_idc = 0;
    uint32_t separate_colour_plane_flag = 0;
    uint32_t bit_depth_luma_minus8 = 0;
    uint32_t bit_depth_chroma_minus8 = 0;
    uint32_t qpprime_y_zero_transform_bypass_flag = 0;
    uint32_t seq_scaling_matrix_present_flag = 0;
    uint32_t log2_max_frame_num_minus4 = 0;
    uint32_t pic_order_cnt_type = 0;
    uint32_t log2_max_pic_order_cnt_lsb_minus4 = 0;
    uint32_t max_num_ref_frames = 0;
    uint32_t gaps_in_frame_num_value_allowed_flag = 0;
    uint32_t pic_width_in_mbs_minus1 = 0;
    uint32_t pic_height_in_map_units_minus1 = 0;
    uint32_t frame_mbs_only_flag = 0;
    uint32_t mb_adaptive_frame_field_flag = 0;
    uint32_t direct_8x8_inference_flag = 0;
    uint32_t frame_cropping_flag = 0;
    uint32_t frame_crop_left_offset = 0;
    uint32_t frame_crop_right_offset = 0;
    uint32_t frame_crop_top_offset = 0;
    uint32_t frame_crop_bottom_offset = 0;
    uint32_t vui_parameters_present_flag = 0;
};

namespace qx {

// One ue(v) from a 32-bit big-endian window: the window is shifted left by bitPos,
// bitPos becomes the length of the code read and the code's value is returned. When
// no whole code follows bitPos (a zero window, bitPos of 32 or more, or a code longer
// than the bits left) the result is 0 and bitPos becomes 0, which no real code has,
// so callers tell the two apart by bitPos.
uint32_t UnSignedExpGolomb(uint32_t& window, uint32_t& bitPos);

// Reads the SPS elements from seq_parameter_set_id through
// pic_height_in_map_units_minus1 out of the SPS payload that starts at
// seq_parameter_set_id (emulation-prevention bytes still in), never reading beyond
// length bytes. The chroma block is read for the profiles that carry it (the
// high profiles 100, 110, 122 and 144, and the later ones such as 244) and takes the
// inferred values otherwise; scaling lists and the POC-cycle offsets are
// read and dropped. False when the elements run past length, a code is not a
// 32-bit value, or the POC cycle has 256 or more entries; the members are then
// left as far as they were read.
bool ParseSPS(const unsigned char* bytes, size_t length, int profile_idc, SPS_DATA& sps);

// The same for callers that cannot say how many bytes they hold: it reads only the
// bytes the elements occupy, so the caller must hold the whole SPS.
bool ParseSPS(const unsigned char* bytes, int profile_idc, SPS_DATA& sps);

}  // namespace qx
