#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/CritSec.h"
#include "session/InputStage.h"
#include "session/PortStatus.h"

// A recorded file that the library plays itself: its name, the scan that gives its
// duration and frame count, and the reader thread that feeds it into the port's
// input, seeking on request.
class FileReader {
  public:
    using Input = std::function<int(const unsigned char*, int)>;

    FileReader(PortStatus& status, SessionSignals& signals, InputStage& input);

    void SetFileName(const std::string& name);
    std::string FileName();
    // Start time, duration and frame count, scanned once per file name; false when
    // they cannot be known.
    bool LoadFileInfo();
    int64_t FileSize() const { return m_fileSize.load(); }
    int64_t FileStartSecond() const { return m_fileStartSecond.load(); }
    int FileSeconds() const { return m_fileSeconds.load(); }
    void SetFileSeconds(int seconds) { m_fileSeconds.store(seconds); }
    int64_t FileFrameCount() const { return m_fileFrameCount.load(); }
    void SetFileFrameCount(int64_t frames) { m_fileFrameCount.store(frames); }

    // A seek by seconds, performed by the reader thread.
    void RequestSeek(int seconds);
    int SeekRequest() const { return m_seekRequest.load(); }

    // The reader's loop: the file into input until the port stops. The buffers are
    // emptied through reset after a seek.
    void Run(const Input& input, const std::function<void()>& reset);

  private:
    void Seek(std::FILE* file, int64_t size, int request, const std::function<void()>& reset);

    PortStatus& m_status;
    SessionSignals& m_signals;
    InputStage& m_input;
    std::atomic<int> m_seekRequest{-1};
    std::atomic<int64_t> m_fileSize{0};
    std::atomic<int64_t> m_fileStartSecond{0};
    std::atomic<int> m_fileSeconds{0};
    std::atomic<int64_t> m_fileFrameCount{0};

    CCritSec m_nameLock;
    // guarded by m_nameLock
    std::string m_fileName;
    // Set before the scan, so that a failed one is not repeated.
    bool m_fileScanned = false;
};
