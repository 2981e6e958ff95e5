#include <cstring>
#include <sstream>

#include "stream/PacketBytes.h"

#include "log/Log.h"

namespace qx {

H264_PARAM ReadHeader(const unsigned char* bytes) {
    H264_PARAM param;
    std::memcpy(&param, bytes, sizeof param);
    return param;
}

int PakcetNal(const unsigned char* nal, int nalLen, unsigned char* out, H264_PARAM param) {
    static const unsigned char kTrailer[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    if (out == nullptr || nalLen < 0 || (nalLen > 0 && nal == nullptr)) {
        log::DbgviewLog(5, std::string("FastMemcpy Err:50001"));
        return 0;
    }
    std::memcpy(out, &param, qx::kHeaderSize);
    if (nalLen > 0)
        std::memcpy(out + qx::kHeaderSize, nal, static_cast<size_t>(nalLen));
    std::memcpy(out + qx::kHeaderSize + nalLen, kTrailer, sizeof kTrailer);
    return nalLen + qx::kPacketOverhead;
}

std::string GetH264Param(H264_PARAM param) {
    std::ostringstream s;
    s << "H264Param"
      << ",ver=" << param.ver << ",knd=" << param.knd << ",idx=" << param.idx
      << ",fbs=" << param.fbs << ",pts=" << param.pts << ",dts=" << param.dts
      << ",pst=" << param.pst << ",dst=" << param.dst << ",nln=" << param.nal_len << "\r\n";
    return s.str();
}

namespace {

// The marker scan shared by IndexOf and IndexOfNum. Calls found(position, count) for
// every recorded match; found returns false to stop the scan.
template <typename Found>
void ScanMarker(const unsigned char* data, int length, const unsigned char* pattern,
                int patternLength, int maxCount, Found found) {
    if (data == nullptr || pattern == nullptr || patternLength <= 0 || length < patternLength) {
        return;
    }
    int i = 0;
    int count = 0;
    while (i < length) {
        if (data[i] != pattern[0]) {
            ++i;
            continue;
        }
        bool match = true;
        for (int j = 0; j < patternLength; ++j) {
            if (i + j >= length || data[i + j] != pattern[j]) {
                match = false;
                break;
            }
        }
        if (!match) {
            ++i;
            continue;
        }
        ++count;
        if (count == maxCount) {
            found(i, count);
            return;
        }
        // A match that ends on the last byte is reported only as the last wanted one.
        if (i + patternLength >= length)
            return;
        if (!found(i, count))
            return;
        i += patternLength;
    }
}

}  // namespace

std::vector<int> IndexOf(const unsigned char* data, int length, const unsigned char* pattern,
                         int patternLength, int maxCount) {
    std::vector<int> positions;
    ScanMarker(data, length, pattern, patternLength, maxCount, [&](int pos, int) {
        positions.push_back(pos);
        return true;
    });
    return positions;
}

int IndexOfNum(const unsigned char* data, int length, const unsigned char* pattern,
               int patternLength, int n) {
    int result = -1;
    ScanMarker(data, length, pattern, patternLength, n, [&](int pos, int count) {
        if (count == n) {
            result = pos;
            return false;
        }
        return true;
    });
    return result;
}

bool StartWith(const unsigned char* data, int length, const unsigned char* pattern,
               int patternLength) {
    const std::vector<int> first = IndexOf(data, length, pattern, patternLength, 1);
    return !first.empty() && first[0] == 0;
}

std::vector<int> FindPESIndex(const unsigned char* data, int length, const unsigned char* pattern,
                              int patternLength, int) {
    // The header is read whole, so anything shorter than one header cannot match.
    if (data == nullptr || pattern == nullptr || patternLength <= 0 || length < patternLength ||
        length < qx::kHeaderSize || patternLength > qx::kHeaderSize) {
        return {};
    }
    const H264_PARAM header = qx::ReadHeader(data);
    if (std::memcmp(&header, pattern, static_cast<size_t>(patternLength)) != 0)
        return {};
    return {0, header.nal_len + qx::kPacketOverhead};
}

std::list<PKG_DATA> ProcessPacket(const unsigned char* data, int length,
                                  std::vector<int> positions) {
    std::list<PKG_DATA> packets;
    if (data == nullptr)
        return packets;
    for (size_t i = 0; i + 1 < positions.size(); ++i) {
        const int begin = positions[i];
        const int end = positions[i + 1];
        if (begin < 0 || end <= begin || end > length)
            continue;
        PKG_DATA pkg;
        pkg.len = end - begin;
        pkg.data = new unsigned char[static_cast<size_t>(pkg.len)];
        std::memcpy(pkg.data, data + begin, static_cast<size_t>(pkg.len));
        packets.push_back(pkg);
    }
    return packets;
}

bool FastMemcpy(void* dst, const void* src, int count) {
    if (count < 0)
        return false;
    if (count == 0)
        return true;
    if (dst == nullptr || src == nullptr)
        return false;
    std::memmove(dst, src, static_cast<size_t>(count));
    return true;
}

bool FastMemcpy(void* dst, int64_t dstRoom, const void* src, int64_t count, int placeCode) {
    if (count < 0 || count > dstRoom || (count > 0 && (dst == nullptr || src == nullptr))) {
        char text[32];
        std::snprintf(text, sizeof text, "FastMemcpy Err:%05d", placeCode);
        log::DbgviewLog(5, std::string(text));
        return false;
    }
    if (count > 0)
        std::memmove(dst, src, static_cast<size_t>(count));
    return true;
}

}  // namespace qx
