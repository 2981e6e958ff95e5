#include "stream/H264UtilsA.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

#include "stream/SpsReader.h"

namespace {

// Offset of the NAL header behind the start code at bytes.
int HeaderOffset(const unsigned char* bytes) {
    return bytes[2] == 1 ? 3 : 4;
}

}  // namespace

bool H264UtilsA::StartNalFlag(const unsigned char* bytes, int length) {
    if (bytes == nullptr || length < 3)
        return false;
    if (bytes[0] != 0 || bytes[1] != 0)
        return false;
    if (bytes[2] == 1)
        return true;
    return length >= 4 && bytes[2] == 0 && bytes[3] == 1;
}

int H264UtilsA::Get_NAL_Type(const unsigned char* bytes) {
    const int type = bytes[HeaderOffset(bytes)] & 0x1F;
    return type > 20 ? 0 : type;
}

int H264UtilsA::Get_NAL_Type(const unsigned char* bytes, int64_t length) {
    if (bytes == nullptr || length < 3 || length <= HeaderOffset(bytes))
        return -1;
    return Get_NAL_Type(bytes);
}

int H264UtilsA::get_hevc_nal_type(const unsigned char* bytes) {
    return (bytes[HeaderOffset(bytes)] & 0x7E) >> 1;
}

int H264UtilsA::get_hevc_nal_type(const unsigned char* bytes, int64_t length) {
    if (bytes == nullptr || length < 3 || length <= HeaderOffset(bytes))
        return -1;
    return get_hevc_nal_type(bytes);
}

std::string H264UtilsA::Get_NAL_Type_Name(int type) {
    static const char* const kNames[] = {"H264NT_NAL",       "H264NT_SLICE",     "H264NT_SLICE_DPA",
                                         "H264NT_SLICE_DPB", "H264NT_SLICE_DPC", "H264NT_SLICE_IDR",
                                         "H264NT_SEI",       "H264NT_SPS",       "H264NT_PPS"};
    if (type < 0 || type > 8)
        return "unknown Nal type";
    return kNames[type];
}

std::list<int> H264UtilsA::Get_NAL_Pos(const unsigned char* bytes, int length) {
    std::list<int> positions;
    if (bytes == nullptr)
        return positions;
    for (int i = 0; i + 3 < length;) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 0 && bytes[i + 3] == 1) {
            positions.push_back(i);
            i += 3;
        } else {
            ++i;
        }
    }
    return positions;
}

std::list<NAL_INFO> H264UtilsA::Get_NAL_INFO(const unsigned char* bytes, long length) {
    std::list<NAL_INFO> units;
    if (bytes == nullptr || length <= 0 || length > INT32_MAX)
        return units;
    const std::list<int> positions = Get_NAL_Pos(bytes, static_cast<int>(length));
    for (auto it = positions.begin(); it != positions.end(); ++it) {
        auto next = std::next(it);
        if (next == positions.end())
            break;
        NAL_INFO info;
        info.len = *next - *it;
        info.data = new unsigned char[static_cast<size_t>(info.len)];
        std::copy(bytes + *it, bytes + *next, info.data);
        info.type = Get_NAL_Type(info.data, info.len);
        info.name = Get_NAL_Type_Name(info.type);
        units.push_back(info);
    }
    return units;
}

std::list<NAL_INFO> H264UtilsA::Get_NAL_INFO_FromFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return {};
    std::vector<unsigned char> data;
    unsigned char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    return Get_NAL_INFO(data.data(), static_cast<long>(data.size()));
}

void H264UtilsA::FreeNalInfo(std::list<NAL_INFO>& units) {
    for (auto& unit : units)
        delete[] unit.data;
    units.clear();
}

int H264UtilsA::parse_hevc_sps(const unsigned char* bytes, int length, int* width, int* height) {
    if (length < 0)
        return -1;
    return qx::ReadHevcPictureSize(bytes, static_cast<size_t>(length), width, height) ? 0 : -1;
}

std::string H264UtilsA::ToHexString(const unsigned char* bytes, int length, bool withBlanks) {
    std::string text;
    if (bytes == nullptr)
        return text;
    char buf[4];
    for (int i = 0; i < length; ++i) {
        std::snprintf(buf, sizeof buf, "%X", bytes[i]);
        text += buf;
        if (withBlanks)
            text += ' ';
    }
    return text;
}

void H264UtilsA::testWrtieMap(const std::string& path,
                              const std::map<std::string, std::string>& map) {
    std::string line = "<data";
    for (const auto& entry : map)
        line += " " + entry.first + "=\"" + entry.second + "\"";
    line += "></data>\r\n";
    AppendToFile(path, reinterpret_cast<const unsigned char*>(line.data()),
                 static_cast<int>(line.size()));
}

void H264UtilsA::AppendToFile(const std::string& path, const unsigned char* bytes, int length) {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (f == nullptr)
        return;
    if (bytes != nullptr && length > 0)
        std::fwrite(bytes, 1, static_cast<size_t>(length), f);
    std::fclose(f);
}

bool H264UtilsA::IsExitsFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    std::fclose(f);
    return true;
}
