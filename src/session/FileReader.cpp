#include "session/FileReader.h"

#include <cstdio>
#include <vector>

#include "log/Log.h"
#include "stream/PacketBytes.h"
#include "platform/StdioFile.h"

namespace {

// Well below the source buffer, so that a chunk is taken while earlier data still
// waits there, and above the largest packet the parser accepts in one piece.
constexpr size_t kFileChunk = 256 * 1024;
constexpr int64_t kScanWindow = 0x200000;
constexpr int64_t kMinScannableFile = 1024;

int64_t SizeOf(std::FILE* file) {
    if (fseeko(file, 0, SEEK_END) != 0)
        return -1;
    const int64_t size = ftello(file);
    fseeko(file, 0, SEEK_SET);
    return size;
}

// A read comes back short at the end of the file, but also when a signal or a network
// file system cuts it; the scan needs the whole window it asked for.
size_t ReadUpTo(std::FILE* file, std::vector<unsigned char>& into) {
    size_t got = 0;
    while (got < into.size()) {
        const size_t n = std::fread(into.data() + got, 1, into.size() - got, file);
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

// The header of the last marker in bytes that a whole header follows.
bool LastWholeHeader(const std::vector<unsigned char>& bytes, size_t length, H264_PARAM* header) {
    const std::vector<int> markers =
        qx::IndexOf(bytes.data(), static_cast<int>(length), qx::kMarker, qx::kMarkerSize, -1);
    for (auto it = markers.rbegin(); it != markers.rend(); ++it) {
        if (static_cast<size_t>(*it) + qx::kHeaderSize <= length) {
            *header = qx::ReadHeader(bytes.data() + *it);
            return true;
        }
    }
    return false;
}

// The start second and the frame rate of the first video packet in the window.
bool ScanStart(const std::vector<unsigned char>& window, size_t got, int64_t* start, int* rate) {
    const std::vector<int> markers =
        qx::IndexOf(window.data(), static_cast<int>(got), qx::kMarker, qx::kMarkerSize, -1);
    bool haveStart = false;
    for (int at : markers) {
        if (static_cast<size_t>(at) + qx::kHeaderSize > got)
            break;
        const H264_PARAM header = qx::ReadHeader(window.data() + at);
        if (!haveStart) {
            *start = header.sec;
            haveStart = true;
        }
        // H.265 files count as well: their frames are no less frames.
        if (header.knd == qx::kKindH264 || header.knd == qx::kKindH265) {
            *rate = header.fbs;
            break;
        }
    }
    return haveStart;
}

}  // namespace

FileReader::FileReader(PortStatus& status, SessionSignals& signals, InputStage& input)
    : m_status(status), m_signals(signals), m_input(input) {}

void FileReader::SetFileName(const std::string& name) {
    CAutoLock lock(&m_nameLock);
    if (name != m_fileName)
        m_fileScanned = false;
    m_fileName = name;
}

std::string FileReader::FileName() {
    CAutoLock lock(&m_nameLock);
    return m_fileName;
}

void FileReader::RequestSeek(int seconds) {
    m_seekRequest.store(seconds);
    m_signals.reader.Post(qx::WakeSignal::kState);
    m_input.WakeWaiters();
}

void FileReader::Seek(std::FILE* file, int64_t size, int request,
                      const std::function<void()>& reset) {
    const int seconds = FileSeconds();
    // A file too short to have a duration cannot be seeked in: the request is
    // dropped. One past the end goes to the end.
    if (seconds <= 0 || size <= 0)
        return;
    int64_t offset = static_cast<int64_t>(static_cast<double>(size) * request / seconds);
    offset = offset < 0 ? 0 : (offset > size ? size : offset);
    fseeko(file, offset, SEEK_SET);
    m_status.inputFlag = 1;
    reset();
    // What follows the new position decodes only from its next key picture.
    m_status.keyFrameWait = true;
}

void FileReader::Run(const Input& input, const std::function<void()>& reset) {
    qx::StdioFile file(std::fopen(FileName().c_str(), "rb"));
    if (!file)
        return;
    const int64_t size = SizeOf(file.get());
    std::vector<unsigned char> chunk(kFileChunk);
    const auto giveUp = [this] { return m_status.Ending() || m_seekRequest.load() >= 0; };
    while (!m_status.Ending()) {
        const int request = m_seekRequest.exchange(-1);
        if (request >= 0)
            Seek(file.get(), size, request, reset);
        const size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
        if (got == 0) {
            // The end of the file: its last packet goes without a next marker, and
            // nothing is to do until a seek or the stop.
            if (!m_input.SourceEnded())
                m_input.SetSourceEnded(true);
            m_signals.reader.Wait(qx::WakeSignal::kState);
            continue;
        }
        const int length = static_cast<int>(got);
        while (input(chunk.data(), length) == 0 && !giveUp()) {
            // Refused with room to spare (the host ended the input): only a state
            // change or a seek can change that.
            if (m_input.Fits(length))
                m_signals.reader.Wait(qx::WakeSignal::kState);
            else
                m_input.WaitForRoom(length, -1, giveUp);
        }
    }
}

bool FileReader::LoadFileInfo() {
    const std::string name = FileName();
    {
        CAutoLock lock(&m_nameLock);
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
    size_t got = ReadUpTo(file.get(), window);
    int64_t start = 0;
    int rate = 0;
    if (got == 0 || !ScanStart(window, got, &start, &rate))
        return false;
    if (size > kScanWindow - 1) {
        fseeko(file.get(), size - kScanWindow, SEEK_SET);
        got = ReadUpTo(file.get(), window);
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
