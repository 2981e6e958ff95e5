// Playing a recorded file: the reader thread that feeds the session's input, seeking
// by seconds, and the scan that gives a file's duration and frame count.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "log/RecH264Data.h"
#include "platform/StdioFile.h"
#include "session/DDrawSession.h"

namespace {

// Well below the source buffer, so that a chunk is taken while earlier data still
// waits there, and above the largest packet the parser accepts in one piece.
constexpr size_t kFileChunk = 256 * 1024;
constexpr int kRefusedRetryMs = 20;
constexpr int kReadPassMs = 3;
constexpr int64_t kScanWindow = 0x200000;
constexpr int64_t kMinScannableFile = 1024;

int64_t SizeOf(std::FILE* file) {
    if (fseeko(file, 0, SEEK_END) != 0)
        return -1;
    const int64_t size = ftello(file);
    fseeko(file, 0, SEEK_SET);
    return size;
}

// The header of the last marker in bytes that a whole header follows.
bool LastWholeHeader(const std::vector<unsigned char>& bytes, size_t length, H264_PARAM* header) {
    const std::vector<int> markers = RecH264Data::IndexOf(bytes.data(), static_cast<int>(length),
                                                          qx::kMarker, qx::kMarkerSize, -1);
    for (auto it = markers.rbegin(); it != markers.rend(); ++it) {
        if (static_cast<size_t>(*it) + qx::kHeaderSize <= length) {
            *header = qx::ReadHeader(bytes.data() + *it);
            return true;
        }
    }
    return false;
}

}  // namespace

int DDrawSession::PlayFile() {
    CAutoLock lock(&m_controlLock);
    if (!m_initialised || PlayState() == qx::kStateNormal)
        return 0;
    try {
        const std::string name = FileName();
        // Checked before anything changes: a file that cannot be read leaves the
        // session stopped, with no thread to wait for.
        if (!RecH264Data::IsExitsFile(name))
            return 0;
        PrepareForPlay();
        LoadFileInfo();
        m_endOfInput = false;
        SetPlayState(qx::kStateNormal);
        m_inputFlag = 1;
        StartWorker(kFileReader);
        StartWorker(kPlayVideo);
        StartWorker(kRender);
        StartWorker(kParser);
        return 1;
    } catch (...) {
        RecH264Data::DbgviewLog(5, "Playfile failed!,port=%d", m_sessionId);
        return 0;
    }
}

void DDrawSession::ReadFileLoop() {
    qx::StdioFile file(std::fopen(FileName().c_str(), "rb"));
    if (!file)
        return;
    const int64_t size = SizeOf(file.get());
    std::vector<unsigned char> chunk(kFileChunk);
    while (PlayState() != qx::kStateStop) {
        const int request = m_seekRequest.exchange(-1);
        if (request >= 0) {
            const int seconds = FileSeconds();
            // A file too short to have a duration cannot be seeked in: the request is
            // dropped. One past the end goes to the end.
            if (seconds > 0 && size > 0) {
                int64_t offset =
                    static_cast<int64_t>(static_cast<double>(size) * request / seconds);
                offset = offset < 0 ? 0 : (offset > size ? size : offset);
                fseeko(file.get(), offset, SEEK_SET);
                m_inputFlag = 1;
                ResetBuffers();
                // What follows the new position decodes only from its next key picture.
                m_keyFrameWait = true;
            }
        }
        const size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
        if (got > 0) {
            while (InputData(chunk.data(), static_cast<int>(got)) == 0 &&
                   PlayState() != qx::kStateStop && m_seekRequest.load() < 0)
                SleepMs(kRefusedRetryMs);
        }
        SleepMs(kReadPassMs);
    }
}

bool DDrawSession::LoadFileInfo() {
    const std::string name = FileName();
    {
        CAutoLock lock(&m_fileNameLock);
        if (m_fileScanned)
            return FileSeconds() > 0;
        m_fileScanned = true;
    }
    qx::StdioFile file(std::fopen(name.c_str(), "rb"));
    if (!file)
        return false;
    const int64_t size = SizeOf(file.get());
    m_fileSize = size;
    if (size < kMinScannableFile)
        return false;
    std::vector<unsigned char> window(static_cast<size_t>(kScanWindow));
    size_t got = std::fread(window.data(), 1, window.size(), file.get());
    if (got == 0)
        return false;
    const std::vector<int> markers = RecH264Data::IndexOf(window.data(), static_cast<int>(got),
                                                          qx::kMarker, qx::kMarkerSize, -1);
    if (markers.empty())
        return false;
    bool haveStart = false;
    int64_t start = 0;
    int rate = 0;
    for (int at : markers) {
        if (static_cast<size_t>(at) + qx::kHeaderSize > got)
            break;
        const H264_PARAM header = qx::ReadHeader(window.data() + at);
        if (!haveStart) {
            start = header.sec;
            haveStart = true;
        }
        // H.265 files count as well: their frames are no less frames.
        if (header.knd == qx::kKindH264 || header.knd == qx::kKindH265) {
            rate = header.fbs;
            break;
        }
    }
    if (!haveStart)
        return false;
    if (size > kScanWindow - 1) {
        fseeko(file.get(), size - kScanWindow, SEEK_SET);
        got = std::fread(window.data(), 1, window.size(), file.get());
    }
    H264_PARAM last;
    if (!LastWholeHeader(window, got, &last))
        return false;
    const int64_t duration = qx::StampDiff(last.sec, start);
    // Seconds are counted in an int; a longer span is a damaged header, not a duration.
    if (duration <= 0 || duration > INT32_MAX)
        return false;
    m_fileStartSecond = start;
    m_fileSeconds = static_cast<int>(duration);
    m_fileFrameCount = duration * (rate > 0 ? rate : 0);
    return true;
}
