#pragma once

#include "platform/CritSec.h"
#include "qxplaylib.h"

// The host's callbacks of one port. Each function is stored and read together with
// its user value, never half of a pair; the callers call them with no lock held.
class HostCallbacks {
  public:
    struct Message {
        QxMessageCallback function = nullptr;
        void* user = nullptr;
    };

    void SetDecodeMessage(QxMessageCallback function, void* user) {
        CAutoLock lock(&m_lock);
        m_decodeMessage = {function, user};
    }
    Message DecodeMessage() {
        CAutoLock lock(&m_lock);
        return m_decodeMessage;
    }
    void SetException(QxMessageCallback function, void* user) {
        CAutoLock lock(&m_lock);
        m_exception = {function, user};
    }
    Message Exception() {
        CAutoLock lock(&m_lock);
        return m_exception;
    }
    struct FileEndCall {
        QxFileEndCallback function = nullptr;
        void* user = nullptr;
    };
    // Called when the decode message tells the end of the data, for hosts that only
    // asked for the end.
    void SetFileEnd(QxFileEndCallback function, void* user) {
        CAutoLock lock(&m_lock);
        m_fileEnd = {function, user};
    }
    FileEndCall FileEnd() {
        CAutoLock lock(&m_lock);
        return m_fileEnd;
    }
    // Someone listens for the end of the data.
    bool WantsEnd() {
        CAutoLock lock(&m_lock);
        return m_decodeMessage.function != nullptr || m_fileEnd.function != nullptr;
    }
    void SetDisplay(QxDisplayCallback function) {
        CAutoLock lock(&m_lock);
        m_display = function;
    }
    bool HasDisplay() {
        CAutoLock lock(&m_lock);
        return m_display != nullptr;
    }
    // One picture per registration: taken, so that a host setting it again from its
    // own thread gets the next picture, not half of this one.
    QxDisplayCallback TakeDisplay() {
        CAutoLock lock(&m_lock);
        const QxDisplayCallback function = m_display;
        m_display = nullptr;
        return function;
    }
    void SetDecode(QxDecodeCallback function) {
        CAutoLock lock(&m_lock);
        m_decode = function;
    }
    QxDecodeCallback Decode() {
        CAutoLock lock(&m_lock);
        return m_decode;
    }

  private:
    CCritSec m_lock;
    // guarded by m_lock
    Message m_decodeMessage;
    Message m_exception;
    FileEndCall m_fileEnd;
    QxDisplayCallback m_display = nullptr;
    QxDecodeCallback m_decode = nullptr;
};
