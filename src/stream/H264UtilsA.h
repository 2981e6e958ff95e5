#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "platform/Export.h"

// One NAL unit copied out of a payload; the holder frees data with delete[].
struct NAL_INFO {
    int32_t len = 0;
    unsigned char* data = nullptr;
    int32_t type = 0;
    std::string name;
};

// Start-code and NAL-type helpers over Annex-B payloads, and a few inspection and
// file utilities. The type functions without a length trust the caller to pass
// enough bytes (four, or five behind a four-byte start code); the library itself
// uses the forms with a length, which answer -1 for bytes too short to hold the NAL
// header. StartNalFlag always honours its length, so a short buffer is false.
class QX_EXPORT H264UtilsA {
  public:
    static bool StartNalFlag(const unsigned char* bytes, int length);
    static int Get_NAL_Type(const unsigned char* bytes);
    static int Get_NAL_Type(const unsigned char* bytes, int64_t length);
    static int get_hevc_nal_type(const unsigned char* bytes);
    static int get_hevc_nal_type(const unsigned char* bytes, int64_t length);
    static std::string Get_NAL_Type_Name(int type);
    static std::list<int> Get_NAL_Pos(const unsigned char* bytes, int length);
    // Units between consecutive four-byte start codes; the holder frees each data.
    static std::list<NAL_INFO> Get_NAL_INFO(const unsigned char* bytes, long length);
    static std::list<NAL_INFO> Get_NAL_INFO_FromFile(const std::string& path);
    // Frees the data of every unit and empties the list.
    static void FreeNalInfo(std::list<NAL_INFO>& units);
    // Picture size, conformance window applied, of the H.265 SPS unit at bytes (start
    // code first). 0 with the size written, or -1 for an SPS that is refused.
    static int parse_hevc_sps(const unsigned char* bytes, int length, int* width, int* height);
    static std::string ToHexString(const unsigned char* bytes, int length, bool withBlanks);
    static void testWrtieMap(const std::string& path,
                             const std::map<std::string, std::string>& map);
    static void AppendToFile(const std::string& path, const unsigned char* bytes, int length);
    static bool IsExitsFile(const std::string& path);
};
