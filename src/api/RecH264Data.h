#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "platform/Export.h"
#include "stream/ExpGolomb.h"
#include "stream/PacketFormat.h"

// The library's exported class of static utilities, for hosts: the diagnostic log
// and the time helpers, the byte helpers of the packet stream, the recorded-file
// functions and the worker-thread entries. Every member is defined in one place
// (RecH264Data.cpp beside this header) and hands over to the part that does the work;
// the library itself calls those parts directly.
class QX_EXPORT RecH264Data {
  public:
    // Idle pause of the play loop and the render step, in milliseconds.
    static int SLEEP_TIME;
    // Not read inside the library.
    static int SLEEP_INTERVAL;

    // --- diagnostic log ---------------------------------------------------------

    // String form: levels 1..99 are discarded; 0, negative levels and levels of 100
    // and above are delivered with the level prefix and name.
    static void DbgviewLog(int level, std::string message);
    // Format form: levels below 80 are discarded; the formatted text alone (at most
    // 1023 bytes, cut safely) is delivered.
    static void DbgviewLog(int level, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    static void UpdateLog(int level, std::string message);

    // The line the string form delivers for a level and message.
    static std::string ComposeLogLine(int level, const std::string& message);

    // --- time ------------------------------------------------------------------

    // Selector 1: "YYYY-MM-DD"; 2: "hh:mm:ss"; anything else: both, one blank apart.
    static std::string ForamtTime(int64_t seconds, int selector);
    // Elapsed counter time in microseconds, or milliseconds with inMs; never negative.
    static int64_t GetUs(int64_t start, int64_t end, int64_t frequency, bool inMs);
    static void MSleep(long ms);
    // True when more than 3000 ms lie between the two ticks, across the 2^32 wrap.
    static bool PrintHeart(long earlierTick, long currentTick);

    // --- parameter sets --------------------------------------------------------

    // One ue(v) out of a 32-bit window (see qx::UnSignedExpGolomb).
    static uint32_t UnSignedExpGolomb(uint32_t& window, uint32_t& bitPos);
    // The SPS elements up to pic_height_in_map_units_minus1, from bytes that start at
    // seq_parameter_set_id and hold length bytes.
    static bool ParseSPS(const unsigned char* bytes, size_t length, int profile_idc, SPS_DATA& sps);

    // --- packet byte helpers ---------------------------------------------------

    // Writes header, NAL bytes and the FF FF FF FF trailer into out, which must hold
    // nalLen + 76 bytes. Returns the bytes written.
    static int PakcetNal(const unsigned char* nal, int nalLen, unsigned char* out,
                         H264_PARAM param);
    static std::string GetH264Param(H264_PARAM param);

    static std::vector<int> IndexOf(const unsigned char* data, int length,
                                    const unsigned char* pattern, int patternLength, int maxCount);
    static int IndexOfNum(const unsigned char* data, int length, const unsigned char* pattern,
                          int patternLength, int n);
    static bool StartWith(const unsigned char* data, int length, const unsigned char* pattern,
                          int patternLength);
    static std::vector<int> FindPESIndex(const unsigned char* data, int length,
                                         const unsigned char* pattern, int patternLength,
                                         int unused);
    // --- recorded files ----------------------------------------------------------

    // Appends (or, with overwrite, writes anew) one packet: header, nal_len payload
    // bytes, trailer. Nothing happens when the file cannot be opened.
    static void WritePESFile(const std::string& path, H264_VAO packet, bool overwrite);
    // Every whole packet of the file that a marker follows, in file order; each entry
    // owns its payload (delete[]).
    static std::list<H264_VAO> ReadPESFile(const std::string& path);
    // a x b bytes of Y, then a x c / 2 bytes of U and of V.
    static void WriteYV12File(const std::string& path, const unsigned char* y,
                              const unsigned char* u, const unsigned char* v, int a, int b, int c,
                              bool overwrite);
    static bool IsExitsFile(const std::string& path);

    // --- worker threads of a session (the argument is the DDrawSession) ----------

    static unsigned long ParseBufPacketExA(void* session);
    static unsigned long PlayVedio(void* session);
    static unsigned long RenderVedio(void* session);
    static unsigned long ReadFileProc(void* session);
    static unsigned long RecordFile(void* session);
    // Logs 7511 for a null session.
    static bool isSessionNULL(const void* session);

    // The caller owns the data of every returned entry (delete[]).
    static std::list<PKG_DATA> ProcessPacket(const unsigned char* data, int length,
                                             std::vector<int> positions);

    // Copies count bytes; overlapping ranges are allowed. A negative count or a null
    // pointer with a positive count is refused (false).
    static bool FastMemcpy(void* dst, const void* src, int count);
    // Bounds-checked copy: refuses (false, logs "FastMemcpy Err:" and the place code)
    // a count that is negative or larger than the room left at dst.
    static bool FastMemcpy(void* dst, int64_t dstRoom, const void* src, int64_t count,
                           int placeCode);
};
