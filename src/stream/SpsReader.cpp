#include "stream/SpsReader.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log/Log.h"

namespace qx {

namespace {

constexpr uint64_t LowBits(unsigned n) {
    return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}

// Values from the stream are printed through %d; clamping keeps a hostile value
// from printing as a negative number.
int AsInt(uint64_t value) {
    return static_cast<int>(std::min<uint64_t>(value, INT_MAX));
}

size_t StartCodeLength(const uint8_t* nal, size_t len) {
    if (nal == nullptr || len < 3 || nal[0] != 0 || nal[1] != 0)
        return 0;
    if (nal[2] == 1)
        return 3;
    if (len >= 4 && nal[2] == 0 && nal[3] == 1)
        return 4;
    return 0;
}

// Every SPS diagnostic goes to the log and, for callers that want to know why an
// SPS was refused, to their string.
class Diagnostics {
  public:
    explicit Diagnostics(std::string* out) : m_out(out) {}

    void Say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char text[256];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        qx::log::DbgviewLog(5, std::string(text));
        if (m_out != nullptr)
            m_out->append(text);
    }

  private:
    std::string* m_out;
};

// Table 7-3 and 7-4 of ITU-T H.264, in zig-zag order.
constexpr uint8_t kDefault4x4Intra[16] = {6,  13, 13, 20, 20, 20, 28, 28,
                                          28, 28, 32, 32, 32, 37, 37, 42};
constexpr uint8_t kDefault4x4Inter[16] = {10, 14, 14, 20, 20, 20, 24, 24,
                                          24, 24, 27, 27, 27, 30, 30, 34};
constexpr uint8_t kDefault8x8Intra[64] = {
    6,  10, 10, 13, 11, 13, 16, 16, 16, 16, 18, 18, 18, 18, 18, 23, 23, 23, 23, 23, 23, 25,
    25, 25, 25, 25, 25, 25, 27, 27, 27, 27, 27, 27, 27, 27, 29, 29, 29, 29, 29, 29, 29, 31,
    31, 31, 31, 31, 31, 33, 33, 33, 33, 33, 36, 36, 36, 36, 38, 38, 38, 40, 40, 42};
constexpr uint8_t kDefault8x8Inter[64] = {
    9,  13, 13, 15, 13, 15, 17, 17, 17, 17, 19, 19, 19, 19, 19, 21, 21, 21, 21, 21, 21, 22,
    22, 22, 22, 22, 22, 22, 24, 24, 24, 24, 24, 24, 24, 24, 25, 25, 25, 25, 25, 25, 25, 27,
    27, 27, 27, 27, 27, 28, 28, 28, 28, 28, 30, 30, 30, 30, 32, 32, 32, 33, 33, 35};

// scaling_list() of clause 7.3.2.1.1.1. Returns whether the list asks for the
// default matrix.
bool ReadScalingList(BitReader& br, uint8_t* list, int size) {
    int64_t last = 8;
    int64_t next = 8;
    bool useDefault = false;
    for (int j = 0; j < size; ++j) {
        if (next != 0) {
            const int64_t delta = br.ReadSe();
            next = ((last + delta) % 256 + 256) % 256;
            useDefault = j == 0 && next == 0;
        }
        list[j] = static_cast<uint8_t>(next == 0 ? last : next);
        last = list[j];
    }
    return useDefault;
}

// The sequence-level matrices with fall-back rule A of Table 7-2: a list that is
// absent copies the previous list of its kind, or the default for the first one.
void ReadScalingMatrices(BitReader& br, int listCount, H264Sps* s) {
    for (int i = 0; i < 12; ++i) {
        const bool present = i < listCount && br.ReadFlag();
        if (i < 6) {
            uint8_t* list = s->scaling_matrix4[i];
            const uint8_t* fallback = i == 0   ? kDefault4x4Intra
                                      : i == 3 ? kDefault4x4Inter
                                               : s->scaling_matrix4[i - 1];
            if (!present || ReadScalingList(br, list, 16)) {
                std::memcpy(list,
                            present ? (i < 3 ? kDefault4x4Intra : kDefault4x4Inter) : fallback, 16);
            }
        } else {
            const int k = i - 6;
            uint8_t* list = s->scaling_matrix8[k];
            const uint8_t* fallback = k == 0   ? kDefault8x8Intra
                                      : k == 1 ? kDefault8x8Inter
                                               : s->scaling_matrix8[k - 2];
            if (!present || ReadScalingList(br, list, 64)) {
                std::memcpy(list,
                            present ? (k % 2 == 0 ? kDefault8x8Intra : kDefault8x8Inter) : fallback,
                            64);
            }
        }
    }
}

// Table E-1.
constexpr uint32_t kSampleAspect[17][2] = {
    {0, 1},   {1, 1},   {12, 11}, {10, 11}, {16, 11},  {40, 33}, {24, 11}, {20, 11}, {32, 11},
    {80, 33}, {18, 11}, {15, 11}, {64, 33}, {160, 99}, {4, 3},   {3, 2},   {2, 1}};

// hrd_parameters() of Annex E.1.2; only the count is kept.
bool ReadHrd(BitReader& br, Diagnostics& diag) {
    const uint64_t cpbCount = uint64_t{br.ReadUe()} + 1;
    if (cpbCount > 32) {
        diag.Say("cpb_count %d invalid\n", AsInt(cpbCount));
        return false;
    }
    br.SkipBits(4 + 4);
    for (uint64_t i = 0; i < cpbCount; ++i) {
        br.ReadUe();
        br.ReadUe();
        br.ReadFlag();
    }
    br.SkipBits(5 + 5 + 5 + 5);
    return true;
}

bool ReportOverreadVui(const BitReader& br, Diagnostics& diag) {
    diag.Say("Overread VUI by %d bits\n", AsInt(br.OverreadBits()));
    return false;
}

bool ReadAspectRatio(BitReader& br, H264Vui* v, Diagnostics& diag) {
    v->sar_num = 0;
    v->sar_den = 0;
    if (br.ReadFlag()) {
        const uint32_t idc = br.ReadBits(8);
        if (idc == 255) {
            v->sar_num = br.ReadBits(16);
            v->sar_den = br.ReadBits(16);
        } else if (idc < 17) {
            v->sar_num = kSampleAspect[idc][0];
            v->sar_den = kSampleAspect[idc][1];
        } else {
            if (br.Overread())
                return ReportOverreadVui(br, diag);
            diag.Say("illegal aspect ratio\n");
            return false;
        }
    }
    if (v->sar_den == 0)
        v->sar_den = 1;
    return true;
}

void ReadVideoSignal(BitReader& br, H264Vui* v) {
    if (br.ReadFlag())
        br.ReadFlag();  // overscan_appropriate_flag
    v->video_signal_type_present_flag = br.ReadFlag();
    if (v->video_signal_type_present_flag) {
        br.SkipBits(3);  // video_format
        v->full_range = br.ReadFlag();
        v->colour_description_present_flag = br.ReadFlag();
        if (v->colour_description_present_flag) {
            v->colour_primaries = br.ReadBits(8);
            v->transfer_characteristics = br.ReadBits(8);
            v->matrix_coefficients = br.ReadBits(8);
        }
    }
    if (br.ReadFlag()) {  // chroma_loc_info_present_flag
        br.ReadUe();
        br.ReadUe();
    }
}

bool ReadTiming(BitReader& br, H264Vui* v, Diagnostics& diag) {
    v->timing_info_present_flag = br.ReadFlag();
    if (!v->timing_info_present_flag)
        return true;
    v->num_units_in_tick = br.ReadBits(32);
    v->time_scale = br.ReadBits(32);
    v->fixed_frame_rate_flag = br.ReadFlag();
    if (br.Overread())
        return ReportOverreadVui(br, diag);
    if (v->num_units_in_tick == 0 || v->time_scale == 0) {
        diag.Say("time_scale/num_units_in_tick invalid or unsupported (%d/%d)\n",
                 AsInt(v->time_scale), AsInt(v->num_units_in_tick));
        return false;
    }
    return true;
}

bool ReadBitstreamRestriction(BitReader& br, H264Vui* v, Diagnostics& diag) {
    v->bitstream_restriction_flag = br.ReadFlag();
    if (!v->bitstream_restriction_flag)
        return true;
    br.ReadFlag();  // motion_vectors_over_pic_boundaries_flag
    br.ReadUe();    // max_bytes_per_pic_denom
    br.ReadUe();    // max_bits_per_mb_denom
    br.ReadUe();    // log2_max_mv_length_horizontal
    br.ReadUe();    // log2_max_mv_length_vertical
    v->num_reorder_frames = br.ReadUe();
    v->max_dec_frame_buffering = br.ReadUe();
    if (br.Overread())
        return ReportOverreadVui(br, diag);
    if (v->num_reorder_frames > 16) {
        diag.Say("illegal num_reorder_frames %d\n", AsInt(v->num_reorder_frames));
        return false;
    }
    return true;
}

// vui_parameters() of Annex E.1.1. A checked value that was read past the end is
// reported as the overread rather than as a bad value.
bool ReadVui(BitReader& br, H264Vui* v, Diagnostics& diag) {
    if (!ReadAspectRatio(br, v, diag))
        return false;
    ReadVideoSignal(br, v);
    if (!ReadTiming(br, v, diag))
        return false;
    v->nal_hrd_parameters_present_flag = br.ReadFlag();
    if (v->nal_hrd_parameters_present_flag && !ReadHrd(br, diag))
        return false;
    v->vcl_hrd_parameters_present_flag = br.ReadFlag();
    if (v->vcl_hrd_parameters_present_flag && !ReadHrd(br, diag))
        return false;
    if (v->nal_hrd_parameters_present_flag || v->vcl_hrd_parameters_present_flag)
        br.ReadFlag();  // low_delay_hrd_flag
    v->pic_struct_present_flag = br.ReadFlag();
    if (!ReadBitstreamRestriction(br, v, diag))
        return false;
    if (br.Overread())
        return ReportOverreadVui(br, diag);
    if (br.Invalid()) {
        diag.Say("invalid exp-Golomb code in VUI\n");
        return false;
    }
    return true;
}

}  // namespace

bool H264SpsHasChromaBlock(uint32_t profile_idc) {
    switch (profile_idc) {
        case 44:
        case 83:
        case 86:
        case 100:
        case 110:
        case 118:
        case 122:
        case 128:
        case 134:
        case 135:
        case 138:
        case 139:
        case 144:
        case 244:
            return true;
        default:
            return false;
    }
}

bool IsSanePictureSize(int64_t width, int64_t height) {
    if (width < kMinPictureDimension || height < kMinPictureDimension)
        return false;
    if (width > kMaxPictureDimension || height > kMaxPictureDimension)
        return false;
    if (width % 2 != 0 || height % 2 != 0)
        return false;
    // Both sides are at most 8192 here, so the product cannot overflow.
    return static_cast<uint64_t>(width) * static_cast<uint64_t>(height) <=
           static_cast<uint64_t>(kMaxPictureArea);
}

bool RbspSource::Next(uint8_t* byte) {
    while (m_pos < m_size) {
        const uint8_t b = m_data[m_pos++];
        if (m_unescape && m_zeros >= 2 && b == 3) {
            m_zeros = 0;
            continue;
        }
        m_zeros = b == 0 ? m_zeros + 1 : 0;
        *byte = b;
        return true;
    }
    return false;
}

std::vector<uint8_t> ExtractRbsp(const uint8_t* payload, size_t size) {
    std::vector<uint8_t> rbsp;
    if (payload == nullptr)
        return rbsp;
    rbsp.reserve(size);
    RbspSource source(payload, size, Escaping::kPayload);
    uint8_t b;
    while (source.Next(&b))
        rbsp.push_back(b);
    return rbsp;
}

uint32_t BitReader::ReadBits(unsigned n) {
    if (n == 0)
        return 0;
    while (m_cacheBits < n) {
        uint8_t b;
        if (!m_source.Next(&b))
            break;
        m_cache = (m_cache << 8) | b;
        m_cacheBits += 8;
    }
    m_bitsRead += n;
    if (m_cacheBits < n) {
        const unsigned missing = n - m_cacheBits;
        m_overreadBits += missing;
        const uint64_t value = m_cache << missing;
        m_cache = 0;
        m_cacheBits = 0;
        return static_cast<uint32_t>(value);
    }
    m_cacheBits -= n;
    const uint64_t value = m_cache >> m_cacheBits;
    m_cache &= LowBits(m_cacheBits);
    return static_cast<uint32_t>(value);
}

void BitReader::SkipBits(uint64_t n) {
    while (n > 0) {
        if (Overread()) {
            // Nothing is left to read; account for the rest at once.
            m_bitsRead += n;
            m_overreadBits += n;
            return;
        }
        const unsigned chunk = static_cast<unsigned>(std::min<uint64_t>(n, 32));
        ReadBits(chunk);
        n -= chunk;
    }
}

uint32_t BitReader::ReadUe() {
    unsigned zeros = 0;
    while (ReadBits(1) == 0) {
        if (Overread())
            return 0;
        if (++zeros > 31) {
            m_invalid = true;
            return 0;
        }
    }
    if (zeros == 0)
        return 0;
    return static_cast<uint32_t>(LowBits(zeros) + ReadBits(zeros));
}

int32_t BitReader::ReadSe() {
    const int64_t k = ReadUe();
    return static_cast<int32_t>(k % 2 != 0 ? (k + 1) / 2 : -(k / 2));
}

H264Sps::H264Sps() {
    std::memset(scaling_matrix4, 16, sizeof scaling_matrix4);
    std::memset(scaling_matrix8, 16, sizeof scaling_matrix8);
}

namespace {

// The chroma format, bit depths and scaling matrices of the high profiles.
bool ReadChromaBlock(BitReader& br, H264Sps* s, Diagnostics& diag) {
    s->chroma_format_idc = br.ReadUe();
    if (s->chroma_format_idc > 3) {
        diag.Say("chroma_format_idc %d is illegal\n", AsInt(s->chroma_format_idc));
        return false;
    }
    if (s->chroma_format_idc == 3)
        s->separate_colour_plane_flag = br.ReadFlag();
    const uint64_t lumaDepth = uint64_t{br.ReadUe()} + 8;
    const uint64_t chromaDepth = uint64_t{br.ReadUe()} + 8;
    if (lumaDepth > 12 || chromaDepth > 12) {
        diag.Say("illegal bit depth value (%d, %d)\n", AsInt(lumaDepth), AsInt(chromaDepth));
        return false;
    }
    s->bit_depth_luma = static_cast<uint32_t>(lumaDepth);
    s->bit_depth_chroma = static_cast<uint32_t>(chromaDepth);
    s->transform_bypass = br.ReadFlag();
    s->scaling_matrix_present = br.ReadFlag();
    if (s->scaling_matrix_present)
        ReadScalingMatrices(br, s->chroma_format_idc != 3 ? 8 : 12, s);
    return true;
}

bool ReadPictureOrder(BitReader& br, H264Sps* s, Diagnostics& diag) {
    s->poc_type = br.ReadUe();
    if (s->poc_type == 0) {
        s->log2_max_poc_lsb_minus4 = br.ReadUe();
    } else if (s->poc_type == 1) {
        s->delta_pic_order_always_zero_flag = br.ReadFlag();
        s->offset_for_non_ref_pic = br.ReadSe();
        s->offset_for_top_to_bottom_field = br.ReadSe();
        s->poc_cycle_length = br.ReadUe();
        if (s->poc_cycle_length >= 256) {
            diag.Say("poc_cycle_length overflow %u\n", s->poc_cycle_length);
            return false;
        }
        for (uint32_t i = 0; i < s->poc_cycle_length; ++i)
            br.ReadSe();
    } else if (s->poc_type != 2) {
        diag.Say("illegal POC type %d\n", AsInt(s->poc_type));
        return false;
    }
    return true;
}

void ReadCropping(BitReader& br, H264Sps* s, Diagnostics& diag) {
    s->frame_cropping_flag = br.ReadFlag();
    if (!s->frame_cropping_flag)
        return;
    s->crop_left = br.ReadUe();
    s->crop_right = br.ReadUe();
    s->crop_top = br.ReadUe();
    s->crop_bottom = br.ReadUe();
    if (s->crop_left != 0 || s->crop_top != 0) {
        diag.Say(
            "insane cropping not completely supported, this could look slightly wrong ... "
            "(left: %d, top: %d)\n",
            AsInt(s->crop_left), AsInt(s->crop_top));
    }
    const uint32_t rightLimit = s->chroma_format_idc == 3 ? 16 : 8;
    const uint32_t bottomLimit = s->chroma_format_idc >= 2 ? 16 : 8;
    if (s->crop_right >= rightLimit || s->crop_bottom >= bottomLimit) {
        diag.Say("brainfart cropping not supported, cropping disabled (right: %d, bottom: %d)\n",
                 AsInt(s->crop_right), AsInt(s->crop_bottom));
        s->crop_left = s->crop_right = s->crop_top = s->crop_bottom = 0;
    }
}

// From max_num_ref_frames to the cropping.
bool ReadFrameLayout(BitReader& br, H264Sps* s, Diagnostics& diag) {
    s->ref_frame_count = br.ReadUe();
    if (s->ref_frame_count >= 17) {
        diag.Say("too many reference frames\n");
        return false;
    }
    s->gaps_in_frame_num_allowed_flag = br.ReadFlag();
    const uint64_t mbWidth = uint64_t{br.ReadUe()} + 1;
    const uint64_t mbHeight = uint64_t{br.ReadUe()} + 1;
    if (mbWidth >= 0x7FFFFFF || mbHeight >= 0x7FFFFFF) {
        diag.Say("mb_width/height overflow\n");
        return false;
    }
    s->mb_width = static_cast<uint32_t>(mbWidth);
    s->mb_height = static_cast<uint32_t>(mbHeight);
    s->frame_mbs_only_flag = br.ReadFlag();
    if (!s->frame_mbs_only_flag)
        s->mb_aff = br.ReadFlag();
    s->direct_8x8_inference_flag = br.ReadFlag();
    ReadCropping(br, s, diag);
    return true;
}

}  // namespace

bool ParseH264Sps(const uint8_t* payload, size_t size, H264Sps* sps, std::string* messages) {
    if (payload == nullptr || sps == nullptr)
        return false;
    Diagnostics diag(messages);
    BitReader br(payload, size);
    H264Sps s;
    s.profile_idc = br.ReadBits(8);
    s.constraint_flags = br.ReadBits(8);
    s.level_idc = br.ReadBits(8);
    s.sps_id = br.ReadUe();
    if (s.sps_id >= 32) {
        diag.Say("sps_id (%d) out of range\n", AsInt(s.sps_id));
        return false;
    }
    if (H264SpsHasChromaBlock(s.profile_idc) && !ReadChromaBlock(br, &s, diag))
        return false;
    s.log2_max_frame_num_minus4 = br.ReadUe();
    if (!ReadPictureOrder(br, &s, diag) || !ReadFrameLayout(br, &s, diag))
        return false;
    s.vui_parameters_present_flag = br.ReadFlag();
    if (br.Overread()) {
        diag.Say("Overread SPS by %d bits\n", AsInt(br.OverreadBits()));
        return false;
    }
    if (br.Invalid()) {
        diag.Say("invalid exp-Golomb code in SPS\n");
        return false;
    }
    if (s.vui_parameters_present_flag && !ReadVui(br, &s.vui, diag))
        return false;
    *sps = s;
    return true;
}

bool ReadH264Sps(const uint8_t* nal, size_t len, H264Sps* sps, std::string* messages) {
    const size_t header = StartCodeLength(nal, len);
    if (header == 0 || len <= header || (nal[header] & 0x1F) != 7) {
        Diagnostics(messages).Say("not an SPS NAL unit\n");
        return false;
    }
    return ParseH264Sps(nal + header + 1, len - header - 1, sps, messages);
}

bool H264PictureSize(const H264Sps& sps, int* width, int* height) {
    // ITU-T H.264 (7-18 to 7-22): a field-coded frame is two fields of map units tall,
    // and the crop counts in chroma samples (and in field rows) where those are larger.
    const int64_t fieldFactor = 2 - static_cast<int64_t>(sps.frame_mbs_only_flag != 0);
    const uint32_t chromaArrayType = sps.separate_colour_plane_flag ? 0 : sps.chroma_format_idc;
    const int64_t cropUnitX = chromaArrayType == 1 || chromaArrayType == 2 ? 2 : 1;
    const int64_t cropUnitY = (chromaArrayType == 1 ? 2 : 1) * fieldFactor;
    int64_t w = int64_t{16} * sps.mb_width;
    int64_t h = int64_t{16} * sps.mb_height * fieldFactor;
    if (sps.frame_cropping_flag) {
        w -= cropUnitX * (int64_t{sps.crop_left} + sps.crop_right);
        h -= cropUnitY * (int64_t{sps.crop_top} + sps.crop_bottom);
    }
    if (!IsSanePictureSize(w, h))
        return false;
    if (width != nullptr)
        *width = static_cast<int>(w);
    if (height != nullptr)
        *height = static_cast<int>(h);
    return true;
}

bool ReadH264PictureSize(const uint8_t* nal, size_t len, int* width, int* height,
                         std::string* messages) {
    H264Sps sps;
    return ReadH264Sps(nal, len, &sps, messages) && H264PictureSize(sps, width, height);
}

namespace {

// profile_tier_level(1, maxNumSubLayersMinus1) of ITU-T H.265 clause 7.3.3; nothing
// of it is kept.
bool SkipProfileTierLevel(BitReader& br, unsigned maxSubLayersMinus1) {
    // general profile space, tier, profile, 32 compatibility flags, 4 source flags,
    // 43 constraint bits, the inbld/reserved bit and the level.
    br.SkipBits(2 + 1 + 5 + 32 + 4 + 43 + 1 + 8);
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = br.ReadFlag();
        levelPresent[i] = br.ReadFlag();
    }
    if (maxSubLayersMinus1 > 0)
        br.SkipBits(2 * (8 - uint64_t{maxSubLayersMinus1}));
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i])
            br.SkipBits(2 + 1 + 5 + 32 + 4 + 43 + 1);
        if (levelPresent[i])
            br.SkipBits(8);
    }
    return !br.Overread();
}

}  // namespace

bool ReadHevcPictureSize(const uint8_t* nal, size_t len, int* width, int* height) {
    const size_t header = StartCodeLength(nal, len);
    if (header == 0 || len < header + 2 || ((nal[header] & 0x7E) >> 1) != 33)
        return false;
    BitReader br(nal + header + 2, len - header - 2);

    br.SkipBits(4);  // sps_video_parameter_set_id: four bits cannot exceed 15
    const unsigned maxSubLayersMinus1 = br.ReadBits(3);
    if (maxSubLayersMinus1 + 1 > 7)
        return false;
    br.ReadFlag();  // sps_temporal_id_nesting_flag
    if (!SkipProfileTierLevel(br, maxSubLayersMinus1))
        return false;

    if (br.ReadUe() >= 32)
        return false;
    const uint32_t chromaFormat = br.ReadUe();
    if (chromaFormat < 1 || chromaFormat > 3)
        return false;
    if (chromaFormat == 3)
        br.ReadFlag();  // separate_colour_plane_flag

    int64_t w = br.ReadUe();
    int64_t h = br.ReadUe();
    if (br.ReadFlag()) {
        // Offsets count in chroma samples of 4:2:0, which the cameras send.
        const int64_t left = br.ReadUe();
        const int64_t right = br.ReadUe();
        const int64_t top = br.ReadUe();
        const int64_t bottom = br.ReadUe();
        w -= 2 * (left + right);
        h -= 2 * (top + bottom);
    }
    if (!br.Ok() || !IsSanePictureSize(w, h))
        return false;
    if (width != nullptr)
        *width = static_cast<int>(w);
    if (height != nullptr)
        *height = static_cast<int>(h);
    return true;
}

}  // namespace qx
