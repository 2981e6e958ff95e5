// Queries, settings, callback registrations, and the exports kept for hosts written
// against the full interface that do nothing here.
#include <algorithm>
#include <string>

#include "api/PortTable.h"
#include "log/Log.h"
#include "qxplaylib.h"

using namespace qx::api;

namespace {

// An export that only checks its port.
int PortOnly(int32_t port, const char* name) {
    return OnPort(port, name, 0, 0, [](DDrawSession&) { return 1; });
}

// Exports that have nothing to report still answer: a host reads zeros, not its
// own uninitialised values.
template <typename... T>
void ZeroOut(T*... out) {
    ((out != nullptr ? void(*out = 0) : void()), ...);
}

int Todo(const char* name) {
    qx::log::DbgviewLog(3, std::string(name) + " @todo");
    return 1;
}

}  // namespace

extern "C" {

int QxPlay_GetCurrentFrameRate(int32_t port) {
    return OnPort(port, "QxPlay_GetCurrentFrameRate", 0, -1,
                  [](DDrawSession& s) { return s.Port().frameRate.load(); });
}

int QxPlay_GetPlayedFrames(int32_t port) {
    Lookup lookup;
    const SessionRef session = Acquire(port, "QxPlay_GetPlayedFrames", &lookup);
    if (!session)
        return lookup == Lookup::kNotInitialised ? 0 : -1;
    return session->Video().PlayedFrameNumber();
}

float QxPlay_GetPlayPos(int32_t port) {
    return OnPort(port, "QxPlay_GetPlayPos", -1.0f, 0.0f, [](DDrawSession& s) {
        const int64_t frames = s.File().FileFrameCount();
        return static_cast<float>(s.Video().PlayedFrameNumber()) /
               static_cast<float>(frames != 0 ? frames : 1);
    });
}

uint32_t QxPlay_GetPlayedTime(int32_t port) {
    return OnPort(port, "QxPlay_GetPlayedTime", 0u, 0u, [](DDrawSession& s) {
        const bool decoded = s.Port().decodedPictures.load() != 0;
        return static_cast<uint32_t>(s.Clock().PlayedTimeMs(decoded) / 1000);
    });
}

uint32_t QxPlay_GetFileTime(int32_t port) {
    return OnPort(port, "QxPlay_GetFileTime", 0u, 0u, [](DDrawSession& s) {
        return s.File().LoadFileInfo() ? static_cast<uint32_t>(s.File().FileSeconds()) : 0u;
    });
}

int QxPlay_GetFileTotalFrames(int32_t port) {
    qx::log::DbgviewLog(3, std::string("QxPlay_GetFileTotalFrames @todo"));
    return OnPort(port, "QxPlay_GetFileTotalFrames", -1, 0, [](DDrawSession& s) {
        return s.File().LoadFileInfo() ? static_cast<int>(s.File().FileFrameCount() & 0xFFFFFFFF)
                                       : 0;
    });
}

int QxPlay_GetSourceBufferRemain(int32_t port) {
    Lookup lookup;
    const SessionRef session = Acquire(port, "QxPlay_GetSourceBufferRemain", &lookup);
    return session ? session->Input().Fill() : 0;
}

int QxPlay_GetColor(int32_t port, uint32_t, int* brightness, int* contrast, int* saturation,
                    int* hue) {
    return OnPort(port, "QxPlay_GetColor", 0, 0, [=](DDrawSession& s) {
        const Presenter::ColorSettings raw = s.Show().Color();
        // Pointers the host left null are skipped, not written through.
        if (brightness != nullptr)
            *brightness = raw.brightness;
        if (contrast != nullptr)
            *contrast = raw.contrast;
        if (saturation != nullptr)
            *saturation = raw.saturation;
        if (hue != nullptr)
            *hue = raw.hue;
        return 1;
    });
}

int QxPlay_SetColor(int32_t port, uint32_t region, int brightness, int contrast, int saturation,
                    int hue) {
    return OnPort(port, "QxPlay_SetColor", 0, 0, [=](DDrawSession& s) {
        Presenter::ColorSettings raw;
        raw.region = static_cast<int32_t>(region);
        raw.brightness = brightness;
        raw.contrast = contrast;
        raw.saturation = saturation;
        raw.hue = hue;
        // Derived in 64 bits and held to what the colour adjustment accepts.
        Presenter::ColorAdjust adjust;
        adjust.brightness = static_cast<int>(
            std::clamp<int64_t>(4 * static_cast<int64_t>(brightness) - 256, -255, 255));
        adjust.contrast =
            static_cast<int>(std::clamp<int64_t>(2 * static_cast<int64_t>(contrast), 0, 255));
        adjust.saturation = std::clamp(saturation, 0, 127);
        adjust.hue = static_cast<int>(
            std::clamp<int64_t>(45 * static_cast<int64_t>(hue) / 16 - 180, -180, 180));
        s.Show().SetColor(raw, adjust);
        return 1;
    });
}

int QxPlay_SetFileFrameCnt(int32_t port, int count) {
    return OnPort(port, "QxPlay_SetFileFrameCnt", 0, 0, [count](DDrawSession& s) {
        s.File().SetFileFrameCount(count);
        return 1;
    });
}

int QxPlay_SetDisplayCallBack(int32_t port, QxDisplayCallback callback) {
    return OnPort(port, "QxPlay_SetDisplayCallBack", 0, 0, [callback](DDrawSession& s) {
        s.Callbacks().SetDisplay(callback);
        return 1;
    });
}

int QxPlay_SetDecCallBack(int32_t port, QxDecodeCallback callback) {
    if (callback == nullptr)
        return 0;
    return OnPort(port, "QxPlay_SetDecCallBack", 0, 0, [callback](DDrawSession& s) {
        s.Callbacks().SetDecode(callback);
        return 1;
    });
}

int QxPlay_SetExceptionFilter(int32_t port, QxMessageCallback callback, void* user) {
    return OnPort(port, "QxPlay_SetExceptionFilter", 0, 0, [callback, user](DDrawSession& s) {
        s.Callbacks().SetException(callback, user);
        return 1;
    });
}

int QxPlay_SetFileEndCallback(int32_t port, QxFileEndCallback callback, void* user) {
    return OnPort(port, "QxPlay_SetFileEndCallback", 0, 0, [callback, user](DDrawSession& s) {
        s.Callbacks().SetFileEnd(callback, user);
        return 1;
    });
}

int QxPlay_SetFileEndMsg(int32_t port, QxWindow, uint32_t) {
    return OnPort(port, "QxPlay_SetFileEndMsg", 0, 0, [](DDrawSession& s) {
        s.Input().SetEndOfInput(true);
        return 1;
    });
}

int QxPlay_SetTimerType(int32_t port, uint32_t, uint32_t) {
    return PortOnly(port, "QxPlay_SetTimerType");
}
int QxPlay_GetTimerType(int32_t port, uint32_t* type, uint32_t* reserved) {
    ZeroOut(type, reserved);
    return PortOnly(port, "QxPlay_GetTimerType");
}
int QxPlay_SetDecCBStream(int32_t port, uint32_t) {
    return PortOnly(port, "QxPlay_SetDecCBStream");
}
int QxPlay_SetDecCallBackMend(int32_t port, QxDecodeCallback, void*) {
    return PortOnly(port, "QxPlay_SetDecCallBackMend");
}
int QxPlay_SetAudioCallBack(int32_t port, void*, void*) {
    return PortOnly(port, "QxPlay_SetAudioCallBack");
}
int QxPlay_SetEncChangeMsg(int32_t port, QxWindow, uint32_t) {
    return PortOnly(port, "QxPlay_SetEncChangeMsg");
}
int QxPlay_SetEncTypeChangeCallBack(int32_t port, void*, void*) {
    return PortOnly(port, "QxPlay_SetEncTypeChangeCallBack");
}
int QxPlay_ThrowBFrameNum(int32_t port, uint32_t) {
    return PortOnly(port, "QxPlay_ThrowBFrameNum");
}
int QxPlay_RegisterDrawFun(int32_t port, void*, void*) {
    return PortOnly(port, "QxPlay_RegisterDrawFun");
}
int QxPlay_SetVerifyCallBack(int32_t port, uint32_t, uint32_t, void*, void*) {
    return PortOnly(port, "QxPlay_SetVerifyCallBack");
}
int QxPlay_GetOriginalFrameCallBack(int32_t port, int, void*, void*) {
    return PortOnly(port, "QxPlay_GetOriginalFrameCallBack");
}
int QxPlay_GetFileSpecialAttr(int32_t port, uint32_t* time, uint32_t* frame, uint32_t* reserved) {
    ZeroOut(time, frame, reserved);
    return PortOnly(port, "QxPlay_GetFileSpecialAttr");
}
int QxPlay_PlaySkipErrorData(int32_t port, int) {
    return PortOnly(port, "QxPlay_PlaySkipErrorData");
}
int QxPlay_CheckDiscontinueFrameNum(int32_t port, int) {
    return PortOnly(port, "QxPlay_CheckDiscontinueFrameNum");
}

int QxPlay_PlaySoundShare(int32_t) {
    return Todo("QxPlay_PlaySoundShare");
}
int QxPlay_StopSoundShare(int32_t) {
    return Todo("QxPlay_StopSoundShare");
}
int QxPlay_AdjustWaveAudio(int32_t, int32_t) {
    return Todo("QxPlay_AdjustWaveAudio");
}
int QxPlay_SetPicQuality(int32_t, int) {
    return Todo("QxPlay_SetPicQuality");
}
int QxPlay_GetPictureQuality(int32_t, int* high) {
    ZeroOut(high);
    return Todo("QxPlay_GetPictureQuality");
}
int QxPlay_SetDeflash(int32_t, int) {
    return Todo("QxPlay_SetDeflash");
}
int QxPlay_GetPlayedTimeEx(int32_t) {
    Todo("QxPlay_GetPlayedTimeEx");
    return 0;
}

int QxPlay_CheckDiscontinuousFrameNum(int32_t, int) {
    return 1;
}
int QxPlay_GetDDrawDeviceInfo(uint32_t, char* description, int32_t descLen, char* name,
                              int32_t nameLen, void*) {
    if (description != nullptr && descLen > 0)
        *description = '\0';
    if (name != nullptr && nameLen > 0)
        *name = '\0';
    return 1;
}
int QxPlay_GetKeyFramePos(int32_t, uint32_t, uint32_t, void*) {
    return 1;
}
int QxPlay_GetNextKeyFramePos(int32_t, uint32_t, uint32_t, void*) {
    return 1;
}
int QxPlay_GetRefValue(int32_t, uint8_t*, uint32_t* length) {
    ZeroOut(length);
    return 1;
}
int QxPlay_InitDDraw(QxWindow) {
    return 1;
}
int QxPlay_InitDDrawDevice(void) {
    return 1;
}
int QxPlay_RealeseDDraw(void) {
    return 1;
}
int QxPlay_RefreshPlay(int32_t) {
    return 1;
}
int QxPlay_RefreshPlayEx(int32_t, uint32_t) {
    return 1;
}
int QxPlay_ResetBuffer(int32_t, uint32_t) {
    return 1;
}
int QxPlay_ResetSourceBufFlag(int32_t) {
    return 1;
}
int QxPlay_SetDDrawDevice(int32_t, uint32_t) {
    return 1;
}
int QxPlay_SetDDrawDeviceEx(int32_t, uint32_t, uint32_t) {
    return 1;
}
int QxPlay_SetDisplayBuf(int32_t, uint32_t) {
    return 1;
}
int QxPlay_SetDisplayRegion(int32_t, uint32_t, void*, QxWindow, int) {
    return 1;
}
int QxPlay_SetDisplayType(int32_t, int) {
    return 1;
}
int QxPlay_SetFileRefCallBack(int32_t, void*, void*) {
    return 1;
}
int QxPlay_SetOverlayMode(int32_t, int, uint32_t) {
    return 1;
}
int QxPlay_SetRefValue(int32_t, uint8_t*, uint32_t) {
    return 1;
}
int QxPlay_SetSourceBufCallBack(int32_t, uint32_t, void*, void*, void*) {
    return 1;
}
int QxPlay_SetSecretKey(int32_t, int32_t, char*, int32_t) {
    return 1;
}

int QxPlay_GetBufferValue(int32_t, uint32_t) {
    return 0;
}
int QxPlay_GetCaps(void) {
    return 0;
}
int QxPlay_GetCapsEx(uint32_t) {
    return 0;
}
int QxPlay_GetColorKey(void) {
    return 0;
}
int QxPlay_GetDDrawDeviceTotalNums(void) {
    return 0;
}
int QxPlay_GetDisplayBuf(int32_t) {
    return 0;
}
int QxPlay_GetDisplayType(int32_t) {
    return 0;
}
int QxPlay_GetFileHeadLength(void) {
    return 0;
}
int QxPlay_GetOverlayMode(int32_t) {
    return 0;
}

}  // extern "C"
