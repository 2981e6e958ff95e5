// Every member of the exported utility class, each handing over to the part of the
// library that does the work.
#include "api/RecH264Data.h"

#include <cstdarg>

#include "log/Log.h"
#include "session/DDrawSession.h"
#include "stream/PacketBytes.h"
#include "stream/RecordedFiles.h"

int RecH264Data::SLEEP_TIME = qx::kIdleSleepMs;
int RecH264Data::SLEEP_INTERVAL = 20;

void RecH264Data::DbgviewLog(int level, std::string message) {
    qx::log::DbgviewLog(level, std::move(message));
}

void RecH264Data::DbgviewLog(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    qx::log::DbgviewLogV(level, format, args);
    va_end(args);
}

void RecH264Data::UpdateLog(int level, std::string message) {
    qx::log::UpdateLog(level, std::move(message));
}

std::string RecH264Data::ComposeLogLine(int level, const std::string& message) {
    return qx::log::ComposeLogLine(level, message);
}

std::string RecH264Data::ForamtTime(int64_t seconds, int selector) {
    return qx::log::ForamtTime(seconds, selector);
}

int64_t RecH264Data::GetUs(int64_t start, int64_t end, int64_t frequency, bool inMs) {
    return qx::log::GetUs(start, end, frequency, inMs);
}

void RecH264Data::MSleep(long ms) {
    qx::log::MSleep(ms);
}

bool RecH264Data::PrintHeart(long earlierTick, long currentTick) {
    return qx::log::PrintHeart(earlierTick, currentTick);
}

uint32_t RecH264Data::UnSignedExpGolomb(uint32_t& window, uint32_t& bitPos) {
    return qx::UnSignedExpGolomb(window, bitPos);
}

bool RecH264Data::ParseSPS(const unsigned char* bytes, size_t length, int profile_idc,
                           SPS_DATA& sps) {
    return qx::ParseSPS(bytes, length, profile_idc, sps);
}

int RecH264Data::PakcetNal(const unsigned char* nal, int nalLen, unsigned char* out,
                           H264_PARAM param) {
    return qx::PakcetNal(nal, nalLen, out, param);
}

std::string RecH264Data::GetH264Param(H264_PARAM param) {
    return qx::GetH264Param(param);
}

std::vector<int> RecH264Data::IndexOf(const unsigned char* data, int length,
                                      const unsigned char* pattern, int patternLength,
                                      int maxCount) {
    return qx::IndexOf(data, length, pattern, patternLength, maxCount);
}

int RecH264Data::IndexOfNum(const unsigned char* data, int length, const unsigned char* pattern,
                            int patternLength, int n) {
    return qx::IndexOfNum(data, length, pattern, patternLength, n);
}

bool RecH264Data::StartWith(const unsigned char* data, int length, const unsigned char* pattern,
                            int patternLength) {
    return qx::StartWith(data, length, pattern, patternLength);
}

std::vector<int> RecH264Data::FindPESIndex(const unsigned char* data, int length,
                                           const unsigned char* pattern, int patternLength,
                                           int unused) {
    return qx::FindPESIndex(data, length, pattern, patternLength, unused);
}

std::list<PKG_DATA> RecH264Data::ProcessPacket(const unsigned char* data, int length,
                                               std::vector<int> positions) {
    return qx::ProcessPacket(data, length, std::move(positions));
}

bool RecH264Data::FastMemcpy(void* dst, const void* src, int count) {
    return qx::FastMemcpy(dst, src, count);
}

bool RecH264Data::FastMemcpy(void* dst, int64_t dstRoom, const void* src, int64_t count,
                             int placeCode) {
    return qx::FastMemcpy(dst, dstRoom, src, count, placeCode);
}

void RecH264Data::WritePESFile(const std::string& path, H264_VAO packet, bool overwrite) {
    qx::WritePESFile(path, packet, overwrite);
}

std::list<H264_VAO> RecH264Data::ReadPESFile(const std::string& path) {
    return qx::ReadPESFile(path);
}

void RecH264Data::WriteYV12File(const std::string& path, const unsigned char* y,
                                const unsigned char* u, const unsigned char* v, int a, int b, int c,
                                bool overwrite) {
    qx::WriteYV12File(path, y, u, v, a, b, c, overwrite);
}

bool RecH264Data::IsExitsFile(const std::string& path) {
    return qx::IsExitsFile(path);
}

bool RecH264Data::isSessionNULL(const void* session) {
    if (session != nullptr)
        return false;
    DbgviewLog(5, std::string("7511,RecH264Data::PlayVideo Session is NULL,thread is KO!"));
    return true;
}

unsigned long RecH264Data::ParseBufPacketExA(void* context) {
    if (isSessionNULL(context)) {
        DbgviewLog(5,
                   std::string("7501,RecH264Data::ParseBufPacketExA Session is NUll,thread is KO"));
        return 0;
    }
    static_cast<DDrawSession*>(context)->RunParser();
    return 0;
}

unsigned long RecH264Data::PlayVedio(void* context) {
    if (!isSessionNULL(context))
        static_cast<DDrawSession*>(context)->RunPlayVideo();
    return 0;
}

unsigned long RecH264Data::RenderVedio(void* context) {
    if (!isSessionNULL(context))
        static_cast<DDrawSession*>(context)->RunRender();
    return 0;
}

unsigned long RecH264Data::ReadFileProc(void* context) {
    if (!isSessionNULL(context))
        static_cast<DDrawSession*>(context)->RunFileReader();
    return 0;
}

unsigned long RecH264Data::RecordFile(void* context) {
    if (!isSessionNULL(context))
        static_cast<DDrawSession*>(context)->RunRecorder();
    return 0;
}
