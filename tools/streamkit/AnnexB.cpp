#include "streamkit/AnnexB.h"

namespace qx::kit {

int NalType(Codec codec, uint8_t firstByte) {
    return codec == Codec::H264 ? (firstByte & 0x1F) : ((firstByte >> 1) & 0x3F);
}

namespace {

// Position of the next 00 00 01 at or after from, or size.
size_t FindStartCode(const uint8_t* data, size_t size, size_t from) {
    for (size_t i = from; i + 3 <= size; ++i) {
        if (data[i + 2] > 1) {
            i += 2;
        } else if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            return i;
        }
    }
    return size;
}

}  // namespace

std::vector<NalUnit> SplitNals(Codec codec, const uint8_t* data, size_t size) {
    std::vector<NalUnit> nals;
    size_t code = FindStartCode(data, size, 0);
    while (code < size) {
        const size_t begin = code + 3;
        const size_t next = FindStartCode(data, size, begin);
        size_t end = next;
        // The zero that leads a 4-byte start code, and trailing_zero_8bits, are not part of
        // the unit; a unit never ends in a zero byte itself.
        while (end > begin && data[end - 1] == 0) {
            --end;
        }
        if (end > begin) {
            nals.push_back({begin, end - begin, NalType(codec, data[begin])});
        }
        code = next;
    }
    return nals;
}

std::vector<NalUnit> SplitNals(Codec codec, const std::vector<uint8_t>& data) {
    return SplitNals(codec, data.data(), data.size());
}

void AppendNal(const uint8_t* nal, size_t size, std::vector<uint8_t>& out) {
    static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), nal, nal + size);
}

std::vector<int> NalTypes(Codec codec, const std::vector<uint8_t>& accessUnit) {
    std::vector<int> types;
    for (const NalUnit& nal : SplitNals(codec, accessUnit)) {
        types.push_back(nal.type);
    }
    return types;
}

bool IsKeyAccessUnit(Codec codec, const std::vector<uint8_t>& accessUnit) {
    for (int type : NalTypes(codec, accessUnit)) {
        if (codec == Codec::H264 ? type == h264::kIdr
                                 : (type == h265::kIdrWRadl || type == h265::kIdrNLp)) {
            return true;
        }
    }
    return false;
}

bool IsParameterSet(Codec codec, int type) {
    if (codec == Codec::H264) {
        return type == h264::kSps || type == h264::kPps;
    }
    return type == h265::kVps || type == h265::kSps || type == h265::kPps;
}

bool IsSei(Codec codec, int type) {
    if (codec == Codec::H264) {
        return type == h264::kSei;
    }
    return type == h265::kPrefixSei || type == h265::kSuffixSei;
}

}  // namespace qx::kit
