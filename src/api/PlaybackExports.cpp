// Starting, stopping, speed, stepping and seeking.
#include <algorithm>
#include <cinttypes>
#include <cstdint>

#include "api/PortTable.h"
#include "log/Log.h"
#include "platform/XConnection.h"
#include "qxplaylib.h"
#include "session/SessionConstants.h"

using namespace qx::api;

namespace {

constexpr int kResetPauseMs = 100;

std::string PortText(int32_t port) {
    return ",nPort=" + std::to_string(port);
}

int ClampToInt(double value) {
    return static_cast<int>(std::clamp(value, 0.0, static_cast<double>(INT32_MAX)));
}

}  // namespace

extern "C" {

int QxPlay_OpenFile(int32_t port, const char* path) {
    return OnPort(port, "QxPlay_OpenFile", 0, 0, [path](DDrawSession& s) {
        s.File().SetFileName(path != nullptr ? path : "");
        return 1;
    });
}

int QxPlay_CloseFile(int32_t port) {
    return OnPort(port, "QxPlay_CloseFile", 0, 0, [](DDrawSession&) { return 1; });
}

int QxPlay_Play(int32_t port, QxWindow window) {
    // Outside the table lock: starting may first wait for the workers of an earlier
    // stop, and one of them may be in a host callback that calls an export.
    Lookup lookup;
    const SessionRef session = Acquire(port, "QxPlay_Play", &lookup);
    if (!session)
        return 0;
    if (window != 0)
        session->SetWindow(window);
    return session->OpenMode() == qx::kModeFile ? session->PlayFile() : session->Play();
}

int QxPlay_Stop(int32_t port) {
    Lookup lookup;
    SessionRef session = Acquire(port, "QxPlay_Stop", &lookup);
    if (!session)
        return 0;
    session->ResetBuffers();
    qx::log::DbgviewLog(5, "Stop nPort=%d", port);
    try {
        session->Stop();
        // Repainted with its background, so that the last picture does not linger.
        if (session->Window() != 0) {
            qx::XConnection connection;
            if (connection.Open())
                connection.ClearWindow(session->Window());
        }
        qx::log::DbgviewLog(3, "6325,QxplayEx Stop Call success" + PortText(port));
    } catch (...) {
        qx::log::DbgviewLog(5, std::string("6505,QxPlay_Stop Catch Error"));
    }
    return 1;
}

int QxPlay_Pause(int32_t port, uint32_t pause) {
    return OnPort(port, "QxPlay_Pause", 0, 0, [pause](DDrawSession& s) {
        s.Pause(pause != 0);
        return 1;
    });
}

int QxPlay_Fast(int32_t port) {
    return OnPort(port, "QxPlay_Fast", 0, 0, [](DDrawSession& s) { return s.Fast(); });
}

int QxPlay_Slow(int32_t port) {
    return OnPort(port, "QxPlay_Slow", 0, 0, [](DDrawSession& s) { return s.Slow(); });
}

int QxPlay_FastEx(int32_t port, int speed) {
    return OnPort(port, "QxPlay_FastEx", 0, 0, [speed](DDrawSession& s) {
        if (speed != 2 && speed != 4 && speed != 8 && speed != 16)
            return 0;
        s.SetPlayState(speed);
        return 1;
    });
}

int QxPlay_Back(int32_t port) {
    return OnPort(port, "QxPlay_Back", 0, 0, [](DDrawSession& s) { return s.Back(); });
}

int QxPlay_OneByOne(int32_t port) {
    return OnPort(port, "QxPlay_OneByOne", 0, 0, [](DDrawSession& s) {
        s.SetPlayState(qx::kStateStep);
        return 1;
    });
}

int QxPlay_OneByOneBack(int32_t port) {
    return OnPort(port, "QxPlay_OneByOneBack", 0, 0, [](DDrawSession&) { return 1; });
}

int QxPlay_ResetSourceBuffer(int32_t port) {
    Lookup lookup;
    const SessionRef session = Acquire(port, "QxPlay_ResetSourceBuffer", &lookup);
    if (!session)
        return 0;
    session->ResetBuffers();
    // The workers settle on what is left; every other port goes on meanwhile.
    qx::log::MSleep(kResetPauseMs);
    return 1;
}

int QxPlay_SetPlayPos(int32_t port, float position) {
    return OnPort(port, "QxPlay_SetPlayPos", 0, 0, [position](DDrawSession& s) {
        // Refused as well: positions before the start, and NaN.
        if (!(position >= 0.0f && position <= 1.0f))
            return 0;
        // A file whose header claims an absurd length must not wrap the frame number.
        const double seconds = static_cast<double>(s.File().FileSeconds()) * position;
        s.File().RequestSeek(ClampToInt(seconds));
        s.Video().SetPlayedFrameNumber(ClampToInt(seconds * s.Port().frameRate.load()));
        return 1;
    });
}

int QxPlay_SetPlayedTimeEx(int32_t port, uint32_t seconds) {
    Lookup lookup;
    SessionRef session = Acquire(port, "QxPlay_SetPlayedTimeEx", &lookup);
    if (!session)
        return 0;
    if (session->OpenMode() == qx::kModeLive)
        return 1;
    session->RequestSeek(ClampToInt(seconds));
    const int64_t offset = static_cast<int64_t>(seconds) * 1000;
    session->Clock().SetPlayTimeOffset(offset);
    qx::log::DbgviewLog(0, "---------------m_lPlayTmOff=%" PRId64, offset);
    return 1;
}

int QxPlay_SetCurrentFrameNum(int32_t port, int frame) {
    return OnPort(port, "QxPlay_SetCurrentFrameNum", 0, 0, [frame](DDrawSession& s) {
        s.Video().SetPlayedFrameNumber(frame);
        return 1;
    });
}

int QxPlay_SetPlayStatus(int32_t port, int state) {
    return OnPort(port, "QxPlay_SetPlayStatus", qx::kStateStop, 0, [state](DDrawSession& s) {
        s.SetPlayState(state);
        return 1;
    });
}

int QxPlay_SetDecMsgCallBack(int32_t port, QxMessageCallback callback, void* user) {
    return OnPort(port, "QxPlay_SetDecMsgCallBack", 0, 0, [callback, user](DDrawSession& s) {
        s.Callbacks().SetDecodeMessage(callback, user);
        return 1;
    });
}

int QxPlay_SetCacheTime(int32_t port, int milliseconds) {
    return OnPort(port, "QxPlay_SetCacheTime", 0, 0, [milliseconds](DDrawSession& s) {
        s.Input().SetCacheTime(milliseconds);
        return 1;
    });
}

int QxPlay_GetPictureSize(int32_t port, int* width, int* height) {
    return OnPort(port, "QxPlay_GetPictureSize", 0, 0, [width, height](DDrawSession& s) {
        if (width != nullptr)
            *width = s.Video().Width();
        if (height != nullptr)
            *height = s.Video().Height();
        return 1;
    });
}

int QxPlay_GetCurrentFrameNum(int32_t port) {
    return OnPort(port, "QxPlay_GetCurrentFrameNum", 0, 0,
                  [](DDrawSession& s) { return s.Video().PlayedFrameNumber(); });
}

int QxPlay_PlaySound(int32_t port) {
    qx::log::DbgviewLog(5, "nPort =%d", port);
    CAutoLock lock(&SessionMutex());
    if (!IsInitialised())
        return 0;
    qx::log::DbgviewLog(5, std::string("PLAY SOUND 2"));
    SessionRef session = Find(port);
    if (!BorderCheck(port, session.get(), "QxPlay_PlaySound")) {
        qx::log::DbgviewLog(5, std::string("6508,QxPlay_PlaySound not find port"));
        return 0;
    }
    return session->Audio().PlaySound();
}

int QxPlay_StopSound(int32_t port) {
    return OnPort(port, "QxPlay_StopSound", 0, 0, [](DDrawSession& s) {
        const int result = s.Audio().StopSound();
        qx::log::DbgviewLog(3, std::string("6327,QxPlay_StopSound Call Success,flag=") +
                                   (result == 1 ? "true" : "false"));
        return result;
    });
}

int QxPlay_SetVolume(int32_t port, uint16_t volume) {
    qx::log::DbgviewLog(5, "SOUND nPort=%d  nVolume=%d", port, volume);
    return OnPort(port, "QxPlay_SetVolume", 0, 0, [volume](DDrawSession& s) {
        const int32_t attenuation = static_cast<int32_t>(volume > 10000 ? 10000 : volume) - 10000;
        return s.Audio().SetVolume(attenuation) ? 1 : 0;
    });
}

uint16_t QxPlay_GetVolume(int32_t port) {
    return OnPort(port, "QxPlay_GetVolume", static_cast<uint16_t>(0), static_cast<uint16_t>(0),
                  [](DDrawSession& s) { return s.Audio().VolumeForExport(); });
}

}  // extern "C"
