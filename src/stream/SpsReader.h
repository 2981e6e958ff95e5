#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Readers of the sequence parameter sets that tell the session the picture size
// before it creates a decoder. Every byte they look at comes from the network, so
// every read is bounded by the length the caller gives.

namespace qx {

// The largest pictures the decoders are set up for, and the smallest that make sense.
constexpr int64_t kMinPictureDimension = 16;
constexpr int64_t kMaxPictureDimension = 8192;
constexpr int64_t kMaxPictureArea = int64_t{8192} * 4320;

// True for a size that the decoders and the picture buffers can take: both sides
// even and within 16..8192, and at most 8192 x 4320 samples. Callers check every
// size read from a stream with it before they allocate anything for it.
bool IsSanePictureSize(int64_t width, int64_t height);

// What a byte range holds: the payload of a NAL unit as it travels (the bytes after
// the NAL unit header, emulation-prevention bytes still in), or an RBSP.
enum class Escaping { kPayload, kRbsp };

// Hands out the RBSP bytes of a byte range one at a time, dropping each
// emulation-prevention byte (the 03 of 00 00 03) of a payload. It never looks past
// size bytes and touches a byte only when it is asked for it.
class RbspSource {
  public:
    RbspSource(const uint8_t* data, size_t size, Escaping escaping)
        : m_data(data), m_size(size), m_unescape(escaping == Escaping::kPayload) {}

    // False when the range is exhausted.
    bool Next(uint8_t* byte);

  private:
    const uint8_t* m_data;
    size_t m_size;
    bool m_unescape;
    size_t m_pos = 0;
    int m_zeros = 0;
};

// The RBSP of a NAL payload.
std::vector<uint8_t> ExtractRbsp(const uint8_t* payload, size_t size);

// Big-endian bit reader. Reading past the end does not fail loudly: missing bits
// read as zero and the reader remembers how many were missing, so a parser can read
// a whole syntax structure and check once.
class BitReader {
  public:
    BitReader(const uint8_t* data, size_t size, Escaping escaping = Escaping::kPayload)
        : m_source(data, size, escaping) {}

    // n must be 0..32.
    uint32_t ReadBits(unsigned n);
    bool ReadFlag() { return ReadBits(1) != 0; }
    void SkipBits(uint64_t n);
    // ue(v). A code with more than 31 leading zeros cannot be a 32-bit value; it reads
    // as 0 and marks the stream invalid.
    uint32_t ReadUe();
    // se(v), on the same terms as ReadUe.
    int32_t ReadSe();

    uint64_t BitsRead() const { return m_bitsRead; }
    // Bits asked for beyond the end of the data.
    uint64_t OverreadBits() const { return m_overreadBits; }
    bool Overread() const { return m_overreadBits != 0; }
    bool Invalid() const { return m_invalid; }
    bool Ok() const { return !Overread() && !m_invalid; }

  private:
    RbspSource m_source;
    uint64_t m_cache = 0;
    unsigned m_cacheBits = 0;
    uint64_t m_bitsRead = 0;
    uint64_t m_overreadBits = 0;
    bool m_invalid = false;
};

// The video usability information of an H.264 SPS (ITU-T H.264 Annex E.1.1).
struct H264Vui {
    // 0:1 when the SPS gives none.
    uint32_t sar_num = 0;
    uint32_t sar_den = 1;
    uint32_t video_signal_type_present_flag = 0;
    uint32_t full_range = 0;
    uint32_t colour_description_present_flag = 0;
    uint32_t colour_primaries = 2;
    uint32_t transfer_characteristics = 2;
    uint32_t matrix_coefficients = 2;
    uint32_t timing_info_present_flag = 0;
    uint32_t num_units_in_tick = 0;
    uint32_t time_scale = 0;
    uint32_t fixed_frame_rate_flag = 0;
    uint32_t nal_hrd_parameters_present_flag = 0;
    uint32_t vcl_hrd_parameters_present_flag = 0;
    uint32_t pic_struct_present_flag = 0;
    uint32_t bitstream_restriction_flag = 0;
    uint32_t num_reorder_frames = 0;
    uint32_t max_dec_frame_buffering = 0;
};

// The elements of an H.264 sequence parameter set that the library keeps.
struct H264Sps {
    uint32_t profile_idc = 0;
    uint32_t constraint_flags = 0;
    uint32_t level_idc = 0;
    uint32_t sps_id = 0;
    uint32_t chroma_format_idc = 1;
    uint32_t separate_colour_plane_flag = 0;
    uint32_t bit_depth_luma = 8;
    uint32_t bit_depth_chroma = 8;
    uint32_t transform_bypass = 0;
    uint32_t scaling_matrix_present = 0;
    // In the coded (zig-zag) order; flat 16 unless the SPS says otherwise.
    uint8_t scaling_matrix4[6][16];
    uint8_t scaling_matrix8[6][64];
    uint32_t log2_max_frame_num_minus4 = 0;
    uint32_t poc_type = 0;
    uint32_t log2_max_poc_lsb_minus4 = 0;
    uint32_t delta_pic_order_always_zero_flag = 0;
    int32_t offset_for_non_ref_pic = 0;
    int32_t offset_for_top_to_bottom_field = 0;
    uint32_t poc_cycle_length = 0;
    uint32_t ref_frame_count = 0;
    uint32_t gaps_in_frame_num_allowed_flag = 0;
    // Macroblocks across, and map units down plus one.
    uint32_t mb_width = 0;
    uint32_t mb_height = 0;
    uint32_t frame_mbs_only_flag = 1;
    uint32_t mb_aff = 0;
    uint32_t direct_8x8_inference_flag = 0;
    uint32_t frame_cropping_flag = 0;
    uint32_t crop_left = 0;
    uint32_t crop_right = 0;
    uint32_t crop_top = 0;
    uint32_t crop_bottom = 0;
    uint32_t vui_parameters_present_flag = 0;
    H264Vui vui;

    H264Sps();
};

// True for the profiles whose SPS carries the chroma format, bit depth and
// scaling-matrix block (ITU-T H.264 clause 7.3.2.1.1).
bool H264SpsHasChromaBlock(uint32_t profile_idc);

// Reads an SPS payload, the bytes after the NAL unit header. Every diagnostic it
// issues is logged at level 5 and, when messages is given, appended to it. False for
// an SPS it rejects; sps is written only on success.
bool ParseH264Sps(const uint8_t* payload, size_t size, H264Sps* sps,
                  std::string* messages = nullptr);

// Reads the SPS NAL unit at nal, which begins with its 3- or 4-byte start code;
// emulation-prevention bytes are removed first. False unless it is a well-formed
// SPS unit.
bool ReadH264Sps(const uint8_t* nal, size_t len, H264Sps* sps, std::string* messages = nullptr);

// The picture size the session creates its decoder for: the coded size (a field-coded
// frame twice the map units tall) less the frame cropping. False for a size
// IsSanePictureSize refuses.
bool H264PictureSize(const H264Sps& sps, int* width, int* height);

// ReadH264Sps followed by H264PictureSize. The out-values are written only on success.
bool ReadH264PictureSize(const uint8_t* nal, size_t len, int* width, int* height,
                         std::string* messages = nullptr);

// Reads the picture size, conformance window applied, from the H.265 SPS NAL unit at
// nal (start code first). The out-values are written only on success.
bool ReadHevcPictureSize(const uint8_t* nal, size_t len, int* width, int* height);

}  // namespace qx
