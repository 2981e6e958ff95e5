#include "streamkit/SpsSize.h"

#include "streamkit/AnnexB.h"

namespace qx::kit {

namespace {

// Reads the RBSP of a NAL unit: emulation-prevention bytes dropped. Reading past the end
// sets a flag instead of failing, so a parser runs to its end and checks once.
class BitReader {
  public:
    BitReader(const uint8_t* data, size_t size) {
        int zeros = 0;
        for (size_t i = 0; i < size; ++i) {
            if (zeros >= 2 && data[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = data[i] == 0 ? zeros + 1 : 0;
            rbsp_.push_back(data[i]);
        }
    }

    uint32_t Bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            v = (v << 1) | Bit();
        }
        return v;
    }

    void Skip(int n) {
        for (int i = 0; i < n; ++i) {
            Bit();
        }
    }

    uint32_t Ue() {
        int leading = 0;
        while (Bit() == 0 && !overrun_ && leading < 32) {
            ++leading;
        }
        if (leading >= 32) {
            overrun_ = true;
            return 0;
        }
        return ((1u << leading) - 1) + Bits(leading);
    }

    int32_t Se() {
        const uint32_t k = Ue();
        return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }

    bool overrun() const { return overrun_; }

  private:
    uint32_t Bit() {
        if (pos_ >= rbsp_.size() * 8) {
            overrun_ = true;
            return 0;
        }
        const uint32_t bit = (rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
        ++pos_;
        return bit;
    }

    std::vector<uint8_t> rbsp_;
    size_t pos_ = 0;
    bool overrun_ = false;
};

void SkipScalingList(BitReader& br, int count) {
    int last = 8;
    int next = 8;
    for (int j = 0; j < count; ++j) {
        if (next != 0) {
            next = (last + br.Se() + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

bool HasChromaFormat(uint32_t profile) {
    switch (profile) {
        case 100:
        case 110:
        case 122:
        case 244:
        case 44:
        case 83:
        case 86:
        case 118:
        case 128:
        case 138:
        case 139:
        case 134:
        case 135:
            return true;
        default:
            return false;
    }
}

std::optional<PictureSize> ParseH264(BitReader& br) {
    br.Skip(8);  // NAL header
    const uint32_t profile = br.Bits(8);
    br.Skip(16);  // constraint flags, level
    br.Ue();      // seq_parameter_set_id
    uint32_t chromaFormat = 1;
    bool separatePlanes = false;
    if (HasChromaFormat(profile)) {
        chromaFormat = br.Ue();
        if (chromaFormat == 3) {
            separatePlanes = br.Bits(1);
        }
        br.Ue();     // bit_depth_luma_minus8
        br.Ue();     // bit_depth_chroma_minus8
        br.Skip(1);  // qpprime_y_zero_transform_bypass_flag
        if (br.Bits(1)) {
            const int lists = chromaFormat == 3 ? 12 : 8;
            for (int i = 0; i < lists; ++i) {
                if (br.Bits(1)) {
                    SkipScalingList(br, i < 6 ? 16 : 64);
                }
            }
        }
    }
    br.Ue();  // log2_max_frame_num_minus4
    const uint32_t pocType = br.Ue();
    if (pocType == 0) {
        br.Ue();
    } else if (pocType == 1) {
        br.Skip(1);
        br.Se();
        br.Se();
        const uint32_t cycle = br.Ue();
        for (uint32_t i = 0; i < cycle && !br.overrun(); ++i) {
            br.Se();
        }
    }
    br.Ue();     // max_num_ref_frames
    br.Skip(1);  // gaps_in_frame_num_value_allowed_flag
    const uint32_t widthMbs = br.Ue() + 1;
    const uint32_t heightUnits = br.Ue() + 1;
    const uint32_t frameMbsOnly = br.Bits(1);
    if (!frameMbsOnly) {
        br.Skip(1);
    }
    br.Skip(1);  // direct_8x8_inference_flag
    uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (br.Bits(1)) {
        cropLeft = br.Ue();
        cropRight = br.Ue();
        cropTop = br.Ue();
        cropBottom = br.Ue();
    }
    if (br.overrun()) {
        return std::nullopt;
    }
    const uint32_t chromaArrayType = separatePlanes ? 0 : chromaFormat;
    uint32_t unitX = 1;
    uint32_t unitY = 2 - frameMbsOnly;
    if (chromaArrayType != 0) {
        unitX = chromaFormat == 3 ? 1 : 2;
        unitY *= chromaFormat == 1 ? 2 : 1;
    }
    PictureSize size;
    size.width = static_cast<int>(widthMbs * 16 - unitX * (cropLeft + cropRight));
    size.height =
        static_cast<int>((2 - frameMbsOnly) * heightUnits * 16 - unitY * (cropTop + cropBottom));
    return size;
}

std::optional<PictureSize> ParseH265(BitReader& br) {
    br.Skip(16);  // NAL header
    br.Skip(4);   // sps_video_parameter_set_id
    const uint32_t subLayers = br.Bits(3);
    br.Skip(1);  // sps_temporal_id_nesting_flag
    // profile_tier_level: general profile and level, then the optional sub-layer parts.
    br.Skip(88 + 8);
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (uint32_t i = 0; i < subLayers; ++i) {
        profilePresent[i] = br.Bits(1);
        levelPresent[i] = br.Bits(1);
    }
    if (subLayers > 0) {
        br.Skip(2 * static_cast<int>(8 - subLayers));
    }
    for (uint32_t i = 0; i < subLayers; ++i) {
        br.Skip(profilePresent[i] ? 88 : 0);
        br.Skip(levelPresent[i] ? 8 : 0);
    }
    br.Ue();  // sps_seq_parameter_set_id
    const uint32_t chromaFormat = br.Ue();
    if (chromaFormat == 3) {
        br.Skip(1);
    }
    const uint32_t width = br.Ue();
    const uint32_t height = br.Ue();
    uint32_t left = 0, right = 0, top = 0, bottom = 0;
    if (br.Bits(1)) {
        left = br.Ue();
        right = br.Ue();
        top = br.Ue();
        bottom = br.Ue();
    }
    if (br.overrun()) {
        return std::nullopt;
    }
    const uint32_t unitX = (chromaFormat == 1 || chromaFormat == 2) ? 2 : 1;
    const uint32_t unitY = chromaFormat == 1 ? 2 : 1;
    PictureSize size;
    size.width = static_cast<int>(width - unitX * (left + right));
    size.height = static_cast<int>(height - unitY * (top + bottom));
    return size;
}

}  // namespace

std::optional<PictureSize> ParseSpsSize(Codec codec, const uint8_t* nal, size_t size) {
    const size_t headerSize = codec == Codec::H264 ? 1 : 2;
    const int spsType = codec == Codec::H264 ? h264::kSps : h265::kSps;
    if (size <= headerSize || NalType(codec, nal[0]) != spsType) {
        return std::nullopt;
    }
    BitReader br(nal, size);
    return codec == Codec::H264 ? ParseH264(br) : ParseH265(br);
}

std::optional<PictureSize> AccessUnitSize(Codec codec, const std::vector<uint8_t>& accessUnit) {
    const int spsType = codec == Codec::H264 ? h264::kSps : h265::kSps;
    for (const NalUnit& nal : SplitNals(codec, accessUnit)) {
        if (nal.type == spsType) {
            return ParseSpsSize(codec, accessUnit.data() + nal.offset, nal.size);
        }
    }
    return std::nullopt;
}

}  // namespace qx::kit
