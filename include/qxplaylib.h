/*
 * qxplaylib: playback of network-camera packet streams.
 *
 * A host takes a port (0..199) with QxPlay_GetPort, chooses an open mode, starts
 * playing into a window and feeds the packet stream with QxPlay_InputData. Every
 * function taking a port returns 1 for success and 0 for failure unless its comment
 * says otherwise; each has a fixed result for "library not initialised" and for
 * "unknown port". All functions may be called from any thread.
 */
#ifndef QXPLAYLIB_H
#define QXPLAYLIB_H

#include <stdint.h>

#if defined(QXPLAY_BUILDING)
#define QXPLAY_API __attribute__((visibility("default")))
#else
#define QXPLAY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An X11 window id (the same type as Xlib's Window). 0 means "no window". */
typedef unsigned long QxWindow;

/* Open modes. */
#define QXPLAY_STREAM_REALTIME 0 /* live stream, paced and latency-bounded */
#define QXPLAY_STREAM_FILE 1     /* stream pushed faster than real time */
#define QXPLAY_FILE 2            /* file read by the library */
#define QXPLAY_STREAM_NOPACE 3   /* live stream without pacing */

/* Play states. */
#define QXPLAY_STATE_NORMAL 1
#define QXPLAY_STATE_PLAY2X 2
#define QXPLAY_STATE_ONEBYONE (-17)
#define QXPLAY_STATE_PAUSE (-18)
#define QXPLAY_STATE_STOP (-19)
#define QXPLAY_STATE_BACK (-20)

#define QXPLAY_SDK_VERSION 1852
#define QXPLAY_MAX_PORTS 200

/* Picture description handed to the decode callback. */
typedef struct QxFrameInfo {
    int32_t width;
    int32_t height;
    int32_t stamp; /* always 0 */
    int32_t type;  /* 2: YV12 */
    int32_t frameRate;
} QxFrameInfo;

/* Called once per QxPlay_SetDisplayCallBack with a YV12 copy (type 0) and again with
 * an RGB24 copy (type 1) of one displayed picture. The buffer is valid during the call. */
typedef void (*QxDisplayCallback)(int32_t port, char* buffer, int32_t size, int32_t width,
                                  int32_t height, int32_t stamp, int32_t type, int32_t reserved);
/* Called for every decoded picture with its YV12 copy (Y, then V, then U). */
typedef void (*QxDecodeCallback)(int32_t port, char* buffer, int32_t size, const QxFrameInfo* info,
                                 int32_t reserved1, int32_t reserved2);
/* (port, message, user): decode messages (0: playback has run out of data) and
 * exceptions (1: writing the record file failed). */
typedef void (*QxMessageCallback)(int32_t port, int32_t message, void* user);
typedef void (*QxFileEndCallback)(int32_t port, void* user);
/* Watermark text of an encrypted stream; the text is valid during the call. */
typedef void (*QxWaterMaskCallback)(const char* text, void* user);

/* ---- library and ports ---------------------------------------------------- */
QXPLAY_API int QxPlay_Init(void);
QXPLAY_API void QxPlay_Destory(void);
QXPLAY_API int QxPlay_GetPort(int32_t* port);
QXPLAY_API int QxPlay_FreePort(int32_t port);
/* 0 when the port is live, -1 otherwise. */
QXPLAY_API int QxPlay_GetLastError(int32_t port);
/* Always 1852. */
QXPLAY_API int QxPlay_GetSdkVersion(void);
QXPLAY_API void QxPlay_ReleaseDDrawDevice(void);

/* ---- streams, input and play control ------------------------------------- */
QXPLAY_API int QxPlay_OpenFile(int32_t port, const char* path);
QXPLAY_API int QxPlay_CloseFile(int32_t port);
QXPLAY_API int QxPlay_OpenStream(int32_t port, uint8_t* header, uint32_t headerSize,
                                 uint32_t bufferSize);
QXPLAY_API int QxPlay_CloseStream(int32_t port);
QXPLAY_API int QxPlay_OpenStreamEx(int32_t port, uint8_t* header, uint32_t headerSize,
                                   uint32_t bufferSize);
QXPLAY_API int QxPlay_CloseStreamEx(int32_t port);
/* Mode 0..3; 0 for any other value (the mode stays). */
QXPLAY_API int QxPlay_SetStreamOpenMode(int32_t port, int mode);
/* The mode; -1 for an unknown port. */
QXPLAY_API int QxPlay_GetStreamOpenMode(int32_t port);
/* 1 when the bytes were taken; 0 when refused (offer them again later). In modes 1
 * and 2 a full buffer is waited on for up to a second before 0 is returned. */
QXPLAY_API int QxPlay_InputData(int32_t port, uint8_t* data, uint32_t length);
QXPLAY_API int QxPlay_InputVideoData(int32_t port, uint8_t* data, uint32_t length);
QXPLAY_API int QxPlay_InputAudioData(int32_t port, uint8_t* data, uint32_t length);
QXPLAY_API int QxPlay_Play(int32_t port, QxWindow window);
QXPLAY_API int QxPlay_Stop(int32_t port);
QXPLAY_API int QxPlay_Pause(int32_t port, uint32_t pause);
QXPLAY_API int QxPlay_Fast(int32_t port);
QXPLAY_API int QxPlay_Slow(int32_t port);
/* speed 2, 4, 8 or 16; 0 for any other value. */
QXPLAY_API int QxPlay_FastEx(int32_t port, int speed);
QXPLAY_API int QxPlay_Back(int32_t port);
QXPLAY_API int QxPlay_OneByOne(int32_t port);
QXPLAY_API int QxPlay_OneByOneBack(int32_t port);
QXPLAY_API int QxPlay_PlaySound(int32_t port);
QXPLAY_API int QxPlay_StopSound(int32_t port);
QXPLAY_API int QxPlay_ResetSourceBuffer(int32_t port);
/* position: fraction of the file, 0.0..1.0. */
QXPLAY_API int QxPlay_SetPlayPos(int32_t port, float position);
QXPLAY_API int QxPlay_SetPlayedTimeEx(int32_t port, uint32_t seconds);
QXPLAY_API int QxPlay_SetCurrentFrameNum(int32_t port, int frame);

/* ---- queries, settings and callbacks -------------------------------------- */
/* The play state; -19 when not initialised or unknown. */
QXPLAY_API int QxPlay_GetPlayStatus(int32_t port);
/* -1 for an unknown port. */
QXPLAY_API int QxPlay_GetCurrentFrameRate(int32_t port);
QXPLAY_API int QxPlay_GetPictureSize(int32_t port, int* width, int* height);
QXPLAY_API int QxPlay_GetCurrentFrameNum(int32_t port);
/* -1 for an unknown port. */
QXPLAY_API int QxPlay_GetPlayedFrames(int32_t port);
/* -1.0 when not initialised, 0.0 for an unknown port. */
QXPLAY_API float QxPlay_GetPlayPos(int32_t port);
QXPLAY_API uint32_t QxPlay_GetPlayedTime(int32_t port);
QXPLAY_API uint32_t QxPlay_GetFileTime(int32_t port);
/* -1 when not initialised. */
QXPLAY_API int QxPlay_GetFileTotalFrames(int32_t port);
QXPLAY_API int QxPlay_GetSourceBufferRemain(int32_t port);
QXPLAY_API int QxPlay_GetColor(int32_t port, uint32_t region, int* brightness, int* contrast,
                               int* saturation, int* hue);
QXPLAY_API int QxPlay_SetColor(int32_t port, uint32_t region, int brightness, int contrast,
                               int saturation, int hue);
/* 0..10000 while the sound is on. */
QXPLAY_API uint16_t QxPlay_GetVolume(int32_t port);
QXPLAY_API int QxPlay_SetVolume(int32_t port, uint16_t volume);
QXPLAY_API int QxPlay_SetFileFrameCnt(int32_t port, int count);
/* -19 when not initialised. */
QXPLAY_API int QxPlay_SetPlayStatus(int32_t port, int state);
QXPLAY_API int QxPlay_SetDisplayCallBack(int32_t port, QxDisplayCallback callback);
QXPLAY_API int QxPlay_SetDecCallBack(int32_t port, QxDecodeCallback callback);
QXPLAY_API int QxPlay_SetDecMsgCallBack(int32_t port, QxMessageCallback callback, void* user);
QXPLAY_API int QxPlay_SetExceptionFilter(int32_t port, QxMessageCallback callback, void* user);
QXPLAY_API int QxPlay_SetFileEndCallback(int32_t port, QxFileEndCallback callback, void* user);
QXPLAY_API int QxPlay_SetFileEndMsg(int32_t port, QxWindow window, uint32_t message);

/* Port-checking exports kept for callers of the original interface: 1 on a live port. */
QXPLAY_API int QxPlay_SetTimerType(int32_t port, uint32_t type, uint32_t reserved);
QXPLAY_API int QxPlay_GetTimerType(int32_t port, uint32_t* type, uint32_t* reserved);
QXPLAY_API int QxPlay_SetDecCBStream(int32_t port, uint32_t stream);
QXPLAY_API int QxPlay_SetDecCallBackMend(int32_t port, QxDecodeCallback callback, void* user);
QXPLAY_API int QxPlay_SetAudioCallBack(int32_t port, void* callback, void* user);
QXPLAY_API int QxPlay_SetEncChangeMsg(int32_t port, QxWindow window, uint32_t message);
QXPLAY_API int QxPlay_SetEncTypeChangeCallBack(int32_t port, void* callback, void* user);
QXPLAY_API int QxPlay_ThrowBFrameNum(int32_t port, uint32_t count);
QXPLAY_API int QxPlay_RegisterDrawFun(int32_t port, void* callback, void* user);
QXPLAY_API int QxPlay_SetVerifyCallBack(int32_t port, uint32_t begin, uint32_t end, void* callback,
                                        void* user);
QXPLAY_API int QxPlay_GetOriginalFrameCallBack(int32_t port, int enable, void* callback,
                                               void* user);
QXPLAY_API int QxPlay_GetFileSpecialAttr(int32_t port, uint32_t* time, uint32_t* frame,
                                         uint32_t* reserved);
QXPLAY_API int QxPlay_PlaySkipErrorData(int32_t port, int flag);
QXPLAY_API int QxPlay_CheckDiscontinueFrameNum(int32_t port, int check);

/* Constant exports kept for callers of the original interface. */
QXPLAY_API int QxPlay_PlaySoundShare(int32_t port);
QXPLAY_API int QxPlay_StopSoundShare(int32_t port);
QXPLAY_API int QxPlay_AdjustWaveAudio(int32_t port, int32_t coefficient);
QXPLAY_API int QxPlay_SetPicQuality(int32_t port, int high);
QXPLAY_API int QxPlay_GetPictureQuality(int32_t port, int* high);
QXPLAY_API int QxPlay_SetDeflash(int32_t port, int deflash);
QXPLAY_API int QxPlay_GetPlayedTimeEx(int32_t port);
QXPLAY_API int QxPlay_CheckDiscontinuousFrameNum(int32_t port, int check);
QXPLAY_API int QxPlay_GetDDrawDeviceInfo(uint32_t device, char* description, int32_t descLen,
                                         char* name, int32_t nameLen, void* monitor);
QXPLAY_API int QxPlay_GetKeyFramePos(int32_t port, uint32_t value, uint32_t type, void* pos);
QXPLAY_API int QxPlay_GetNextKeyFramePos(int32_t port, uint32_t value, uint32_t type, void* pos);
QXPLAY_API int QxPlay_GetRefValue(int32_t port, uint8_t* buffer, uint32_t* length);
QXPLAY_API int QxPlay_InitDDraw(QxWindow window);
QXPLAY_API int QxPlay_InitDDrawDevice(void);
QXPLAY_API int QxPlay_RealeseDDraw(void);
QXPLAY_API int QxPlay_RefreshPlay(int32_t port);
QXPLAY_API int QxPlay_RefreshPlayEx(int32_t port, uint32_t region);
QXPLAY_API int QxPlay_ResetBuffer(int32_t port, uint32_t type);
QXPLAY_API int QxPlay_ResetSourceBufFlag(int32_t port);
QXPLAY_API int QxPlay_SetDDrawDevice(int32_t port, uint32_t device);
QXPLAY_API int QxPlay_SetDDrawDeviceEx(int32_t port, uint32_t region, uint32_t device);
QXPLAY_API int QxPlay_SetDisplayBuf(int32_t port, uint32_t count);
QXPLAY_API int QxPlay_SetDisplayRegion(int32_t port, uint32_t region, void* rect, QxWindow window,
                                       int enable);
QXPLAY_API int QxPlay_SetDisplayType(int32_t port, int type);
QXPLAY_API int QxPlay_SetFileRefCallBack(int32_t port, void* callback, void* user);
QXPLAY_API int QxPlay_SetOverlayMode(int32_t port, int overlay, uint32_t colorKey);
QXPLAY_API int QxPlay_SetRefValue(int32_t port, uint8_t* buffer, uint32_t length);
QXPLAY_API int QxPlay_SetSourceBufCallBack(int32_t port, uint32_t threshold, void* callback,
                                           void* user, void* reserved);
QXPLAY_API int QxPlay_SetSecretKey(int32_t port, int32_t keyType, char* key, int32_t keyLen);
QXPLAY_API int QxPlay_GetBufferValue(int32_t port, uint32_t type);
QXPLAY_API int QxPlay_GetCaps(void);
QXPLAY_API int QxPlay_GetCapsEx(uint32_t device);
QXPLAY_API int QxPlay_GetColorKey(void);
QXPLAY_API int QxPlay_GetDDrawDeviceTotalNums(void);
QXPLAY_API int QxPlay_GetDisplayBuf(int32_t port);
QXPLAY_API int QxPlay_GetDisplayType(int32_t port);
QXPLAY_API int QxPlay_GetFileHeadLength(void);
QXPLAY_API int QxPlay_GetOverlayMode(int32_t port);

/* ---- overlays, recording and capture -------------------------------------- */
QXPLAY_API int QxPlay_SetRectangle(int32_t port, int x, int y, int32_t width, int32_t height,
                                   uint8_t red, uint8_t green, uint8_t blue, int slot);
QXPLAY_API int QxPlay_RemoveRectangle(int32_t port, int slot);
/* color: red in bits 0-7, green 8-15, blue 16-23. */
QXPLAY_API int QxPlay_DrawLine(int32_t port, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                               uint32_t color, int32_t key, int32_t kind);
QXPLAY_API int QxPlay_RemoveLine(int32_t port, int32_t key);
/* buffer: at least 50 bytes. */
QXPLAY_API int QxPlay_GetWaterMask(int32_t port, char* buffer);
QXPLAY_API int QxPlay_SetWaterMaskCB(int32_t port, QxWaterMaskCallback callback, void* user);
QXPLAY_API int QxPlay_SetPlayMode(int32_t port, int mode);
QXPLAY_API int QxPlay_SetCacheTime(int32_t port, int milliseconds);
/* -1 for an unknown port. */
QXPLAY_API int QxPlay_GetPlaySize(int32_t port);
QXPLAY_API int QxPlay_StartRecord(int32_t port, const char* path);
QXPLAY_API int QxPlay_StopRecord(int32_t port);
QXPLAY_API uint32_t QxPlay_GetRecordSize(int32_t port);
QXPLAY_API int QxPlay_CaptureBmpPicture(int32_t port, const char* path);
QXPLAY_API int QxPlay_CaptureJpegPicture(int32_t port, const char* path);
QXPLAY_API int QxPlay_GetBMP(int32_t port, uint8_t* buffer, uint32_t size, uint32_t* imageSize);
QXPLAY_API int QxPlay_GetJPEG(int32_t port, uint8_t* buffer, uint32_t size, uint32_t* imageSize);
QXPLAY_API int QxPlay_ConvertToBmpFile(char* buffer, int32_t size, int32_t width, int32_t height,
                                       int32_t type, const char* path);
QXPLAY_API int QxPlay_ConvertToJpegFile(char* buffer, int32_t size, int32_t width, int32_t height,
                                        int32_t type, const char* path);
QXPLAY_API int QxPlay_SetJpegQuality(int quality);

#ifdef __cplusplus
}
#endif

#endif /* QXPLAYLIB_H */
