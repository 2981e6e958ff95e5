#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/CritSec.h"
#include "platform/StdioFile.h"
#include "session/HostCallbacks.h"
#include "session/PortStatus.h"

// Recording what a port plays: the play paths push packets into a buffer, and the
// record thread writes it to the file in 100 KiB blocks, so that no producer ever
// waits for the disk.
class Recorder {
  public:
    Recorder(PortStatus& status, SessionSignals& signals, HostCallbacks& callbacks);

    // Host (control lock held by the session): creates the file and the buffer of a
    // new recording; false, with nothing kept, when the file cannot be created. The
    // session starts the record thread after it.
    bool Begin(const std::string& path);
    // Recording is over (or never started): nothing more is recorded and the buffer
    // goes.
    void Abandon();
    // Recording ends once what is buffered has been written; the thread is woken.
    void End();
    bool Recording() const { return m_recording.load(); }
    uint32_t RecordSize();

    // What a play path records; pushes shorter than a header are ignored, a live
    // port's chunks are recorded whatever their size.
    void Push(const unsigned char* data, int length, bool wholeChunk = false);
    // The record thread's loop.
    void Run();

  private:
    // The next block to write (at most one block), or 0 with *finished set when
    // recording is over and nothing is left. Caller holds m_lock.
    int TakeBlock_locked(unsigned char* block, bool stopping, bool* finished);
    void Failed();

    PortStatus& m_status;
    SessionSignals& m_signals;
    HostCallbacks& m_callbacks;
    std::atomic<bool> m_recording{false};

    CCritSec m_lock;
    // guarded by m_lock; the record thread takes the file over when it starts.
    qx::StdioFile m_file;
    std::vector<unsigned char> m_recordBuf;
    int m_recordFill = 0;
    int64_t m_recordDropped = 0;
    uint32_t m_recordDropLogTick = 0;
    uint32_t m_recordSize = 0;
};
