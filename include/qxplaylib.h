/*
 * qxplaylib: playback of network-camera packet streams.
 *
 * A host starts the library with QxPlay_Init, takes a port (0..199) with QxPlay_GetPort,
 * chooses its open mode, starts it with QxPlay_Play and, in the stream modes, feeds the
 * packet stream with QxPlay_InputData; QxPlay_Stop and QxPlay_FreePort end it. Open modes:
 *   0  live stream: cached, paced by its time stamps, latency bounded (a new port's mode)
 *   1  stream the host pushes faster than real time; speeds, pause and stepping work
 *   2  file the library reads itself (QxPlay_OpenFile)
 *   3  live stream shown as fast as it decodes, without cache or pacing
 * An export applies in every mode unless its comment names modes. Every function taking
 * a port returns 1 for success and 0 for failure unless its comment says otherwise, and
 * fixed values when the library is not initialised and for a port that is not live: 0
 * and 0 unless the comment gives them as "not initialised" and "unknown". No error code
 * is kept. An export returns at once, apart from waiting its turn at the port table,
 * unless its comment says that it waits.
 *
 * Threads. Every export may be called from any thread, concurrently. A playing port has
 * worker threads of its own: a parser, a play-video and a render thread, a file reader
 * (mode 2), a record thread while it records, and a thread feeding its sound. Callbacks
 * come on those workers, never on a host thread:
 *   decode and display callbacks (and snapshot files): the render thread in mode 0,
 *     the play-video thread in modes 1 to 3;
 *   decode message and watermark callbacks: the play-video thread;
 *   exception callback: the record thread.
 * A callback may call any export, on its own port or another, QxPlay_Stop and
 * QxPlay_FreePort included (on its own port they return at once, and the workers end once
 * the callback has returned). What a callback is handed (buffers, QxFrameInfo, text) is
 * valid only during the call. While a callback runs its port shows nothing more, and a
 * QxPlay_Stop from a host thread waits for it to return.
 *
 * Without a window (0) a port still decodes, calls its callbacks and writes snapshots;
 * without a sound device its sound plays into a silent sink at the real rate.
 *
 * Environment:
 *   QXPLAY_RENDERER=gl|x11   which renderer draws the ports' windows: GL (GLX) or plain
 *                            X11; by default GL when a GL context can be made, else x11.
 *                            Set it before QxPlay_Init.
 *   QXPLAY_AUDIO_OUT=/path/file.wav
 *                            a port's sound goes into this WAV file instead of the sound
 *                            device (read whenever a port opens its sound; later sounds of
 *                            the process go into file-2.wav, file-3.wav, ...).
 *
 * Diagnostic lines go to the local datagram socket "DbgView" (abstract namespace), and
 * nowhere when nothing listens; the qxdbgview tool prints them.
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

/* An X11 window id (the same type as Xlib's Window), on the display DISPLAY names. 0 means
 * "no window". */
typedef unsigned long QxWindow;

/* Open modes. */
#define QXPLAY_STREAM_REALTIME 0 /* live stream, paced and latency-bounded */
#define QXPLAY_STREAM_FILE 1     /* stream pushed faster than real time */
#define QXPLAY_FILE 2            /* file read by the library */
#define QXPLAY_STREAM_NOPACE 3   /* live stream without pacing */

/* Play states; 2, 4, 8 and 16 are also the fast speeds, -2 to -16 the slow ones (1/2 to
 * 1/16). */
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

/* One shown picture per QxPlay_SetDisplayCallBack, in two calls: a YV12 copy (type 0: Y,
 * then V, then U; width * height * 3 / 2 bytes), then an RGB24 copy (type 1: bottom-up rows
 * of R, G, B; width * height * 3 bytes). size is always 4, stamp and reserved 0. */
typedef void (*QxDisplayCallback)(int32_t port, char* buffer, int32_t size, int32_t width,
                                  int32_t height, int32_t stamp, int32_t type, int32_t reserved);
/* Every picture the port shows, as a YV12 copy (Y, then V, then U) of size bytes. */
typedef void (*QxDecodeCallback)(int32_t port, char* buffer, int32_t size, const QxFrameInfo* info,
                                 int32_t reserved1, int32_t reserved2);
/* (port, message, user): decode messages (0: playback has run out of data) and
 * exceptions (1: writing the record file failed). */
typedef void (*QxMessageCallback)(int32_t port, int32_t message, void* user);
/* Called with the user value of QxPlay_SetFileEndCallback, at the end of the data. */
typedef void (*QxFileEndCallback)(int32_t port, void* user);
/* Watermark text of an encrypted stream, NUL-terminated; NULL at the end of playback. */
typedef void (*QxWaterMaskCallback)(const char* text, void* user);

/* ---- library and ports ---------------------------------------------------- */
/* Starts the library: 1 when it is ready, also when it already was. 0 when libGL.so.1
 * cannot be loaded (ports work even so, drawn by x11, but QxPlay_Destory then does
 * nothing). Waits while another thread starts or ends the library; on a port's worker it
 * returns 0 instead. */
QXPLAY_API int QxPlay_Init(void);
/* Stops and frees every port, then the library is not initialised. Waits until every
 * port's workers have ended (on a worker: all but the calling one); on a worker it does
 * nothing while another thread starts or ends the library. */
QXPLAY_API void QxPlay_Destory(void);
/* A free port number into *port, handed out round robin; the port is stopped, in mode 0,
 * without a window. 0 when not initialised, for a NULL port and when 200 ports are live. */
QXPLAY_API int QxPlay_GetPort(int32_t* port);
/* Stops the port as QxPlay_Stop does and frees it. From a host thread it waits until the
 * port's workers have ended; from a callback on one of them it returns at once, and the
 * port goes when its last worker ends. */
QXPLAY_API int QxPlay_FreePort(int32_t port);
/* 0 when the port is live, -1 otherwise (also when not initialised). */
QXPLAY_API int QxPlay_GetLastError(int32_t port);
/* Always 1852, in any state. */
QXPLAY_API int QxPlay_GetSdkVersion(void);
/* Does nothing. */
QXPLAY_API void QxPlay_ReleaseDDrawDevice(void);

/* ---- streams, input and play control ------------------------------------- */
/* Mode 2: names the file that QxPlay_Play will read; nothing is opened or checked here. */
QXPLAY_API int QxPlay_OpenFile(int32_t port, const char* path);
/* Does nothing. */
QXPLAY_API int QxPlay_CloseFile(int32_t port);
/* These four do nothing: a stream needs no opening, and header and sizes are not read. */
QXPLAY_API int QxPlay_OpenStream(int32_t port, uint8_t* header, uint32_t headerSize,
                                 uint32_t bufferSize);
QXPLAY_API int QxPlay_CloseStream(int32_t port);
QXPLAY_API int QxPlay_OpenStreamEx(int32_t port, uint8_t* header, uint32_t headerSize,
                                   uint32_t bufferSize);
QXPLAY_API int QxPlay_CloseStreamEx(int32_t port);
/* The open mode 0..3 for the next QxPlay_Play; 0 for any other value (the mode stays). */
QXPLAY_API int QxPlay_SetStreamOpenMode(int32_t port, int mode);
/* The mode; not initialised 0, unknown -1. */
QXPLAY_API int QxPlay_GetStreamOpenMode(int32_t port);
/* Modes 0, 1 and 3: appends bytes of the packet stream, cut anywhere. 1 when taken; 0 when
 * refused: for NULL or 0 bytes, while the port does not play or its input has ended, and
 * when its buffer is full (offer the same bytes again). Modes 0 and 3 never wait; in modes
 * 1 and 2 a full buffer is waited on for up to a second (0 at once when room appears). */
QXPLAY_API int QxPlay_InputData(int32_t port, uint8_t* data, uint32_t length);
/* As QxPlay_InputData without the wait: what the port's input stage returned, 1 taken or
 * 0 refused. */
QXPLAY_API int QxPlay_InputVideoData(int32_t port, uint8_t* data, uint32_t length);
/* Does nothing: sound comes inside the packet stream. */
QXPLAY_API int QxPlay_InputAudioData(int32_t port, uint8_t* data, uint32_t length);
/* Starts the port's workers (mode 2: on the file of QxPlay_OpenFile); a window of 0 keeps
 * the one set earlier. 0 when the file cannot be read or already plays, a thread cannot
 * start, or from a port's callback while it stops; 1 in the stream modes also when it
 * plays already. May wait for the workers of an earlier stop to end. */
QXPLAY_API int QxPlay_Play(int32_t port, QxWindow window);
/* Ends the port's workers, empties its buffers, turns its sound off, ends a recording
 * after writing what it buffered and takes back QxPlay_SetFileEndMsg; 1. From a host thread
 * it returns when every worker of the port has ended; from a callback on one of them it
 * asks them to end and returns at once. */
QXPLAY_API int QxPlay_Stop(int32_t port);
/* Modes 1 and 2: non-zero pauses (state -18), 0 resumes the state from before. */
QXPLAY_API int QxPlay_Pause(int32_t port, uint32_t pause);
/* Modes 1 and 2: one speed step faster (..., -2, 1, 2, 4, 8, 16); 1, also at 16. */
QXPLAY_API int QxPlay_Fast(int32_t port);
/* Modes 1 and 2: one speed step slower (16, ..., 2, 1, -2, ..., -16); 1, also at -16. */
QXPLAY_API int QxPlay_Slow(int32_t port);
/* Modes 1 and 2: speed 2, 4, 8 or 16; 0 for any other value (nothing changes). */
QXPLAY_API int QxPlay_FastEx(int32_t port, int speed);
/* Modes 1 and 2: the back state (-20), or normal play again when in it; either empties
 * the port's buffers. */
QXPLAY_API int QxPlay_Back(int32_t port);
/* Modes 1 and 2: single step (-17); each call shows one more picture. */
QXPLAY_API int QxPlay_OneByOne(int32_t port);
/* Does nothing. */
QXPLAY_API int QxPlay_OneByOneBack(int32_t port);
/* Turns the port's sound on (each port has its own); the sound output opens when sound
 * first arrives. 1, also when it already is on. Sound the port has already read ahead
 * (in the file modes up to 2 MB of the stream) is not heard: to hear a file from its
 * start, turn the sound on before QxPlay_Play. */
QXPLAY_API int QxPlay_PlaySound(int32_t port);
/* Turns the port's sound off and closes its output; the volume returns to the default. */
QXPLAY_API int QxPlay_StopSound(int32_t port);
/* Empties every buffer of the port, then waits 100 ms for its workers to settle. */
QXPLAY_API int QxPlay_ResetSourceBuffer(int32_t port);
/* Mode 2: seeks to position (0.0..1.0) of the file's length in whole seconds; playback
 * goes on from the next key picture. 0 for any other position. */
QXPLAY_API int QxPlay_SetPlayPos(int32_t port, float position);
/* Mode 2: seeks to that second of the file. Modes 1 to 3: the played time restarts at
 * seconds and video at the next key picture. Mode 0: 1, nothing changes. */
QXPLAY_API int QxPlay_SetPlayedTimeEx(int32_t port, uint32_t seconds);
/* Sets the played frame number (QxPlay_GetCurrentFrameNum, QxPlay_GetPlayPos). */
QXPLAY_API int QxPlay_SetCurrentFrameNum(int32_t port, int frame);

/* ---- queries, settings and callbacks -------------------------------------- */
/* The play state (QXPLAY_STATE_* or a speed); -19 for a stopped port, when not
 * initialised and for an unknown port. */
QXPLAY_API int QxPlay_GetPlayStatus(int32_t port);
/* Pictures per second the stream says (25 until it says); not initialised 0, unknown -1. */
QXPLAY_API int QxPlay_GetCurrentFrameRate(int32_t port);
/* Writes the picture size (0 before the first parameter set) through the pointers that
 * are not NULL. */
QXPLAY_API int QxPlay_GetPictureSize(int32_t port, int* width, int* height);
/* The played frame number. */
QXPLAY_API int QxPlay_GetCurrentFrameNum(int32_t port);
/* The played frame number; not initialised 0, unknown -1. */
QXPLAY_API int QxPlay_GetPlayedFrames(int32_t port);
/* The played frame number divided by the file's frame count (by 1 while it is 0); not
 * initialised -1.0, unknown 0.0. */
QXPLAY_API float QxPlay_GetPlayPos(int32_t port);
/* Seconds played. */
QXPLAY_API uint32_t QxPlay_GetPlayedTime(int32_t port);
/* Mode 2: the length in whole seconds of the file of QxPlay_OpenFile, 0 when it cannot be
 * read. The file is scanned once per name, up to 4 MiB of it, on the calling thread. */
QXPLAY_API uint32_t QxPlay_GetFileTime(int32_t port);
/* Mode 2: the file's length in seconds times its frame rate, an estimate (scanned as by
 * QxPlay_GetFileTime); 0 when it cannot be read. Not initialised -1, unknown 0. */
QXPLAY_API int QxPlay_GetFileTotalFrames(int32_t port);
/* The bytes waiting in the port's input buffer. */
QXPLAY_API int QxPlay_GetSourceBufferRemain(int32_t port);
/* Writes the four values last given to QxPlay_SetColor through the pointers that are not
 * NULL; region is not read. */
QXPLAY_API int QxPlay_GetColor(int32_t port, uint32_t region, int* brightness, int* contrast,
                               int* saturation, int* hue);
/* Adjusts the colours of the port's pictures from the next one on: each value 0..127, 64
 * neutral (all four 64: no adjustment). region is stored only. */
QXPLAY_API int QxPlay_SetColor(int32_t port, uint32_t region, int brightness, int contrast,
                               int saturation, int hue);
/* 0..10000 while the sound is on (10000 until its output opens); 0 while it is off. */
QXPLAY_API uint16_t QxPlay_GetVolume(int32_t port);
/* The volume of the port's sound, 0..10000 (more counts as 10000); 0 while the sound is
 * off. */
QXPLAY_API int QxPlay_SetVolume(int32_t port, uint16_t volume);
/* Sets the frame count QxPlay_GetPlayPos divides by (the scan of a mode-2 file sets it). */
QXPLAY_API int QxPlay_SetFileFrameCnt(int32_t port, int count);
/* Sets the play state as given (the live modes 0 and 3 take only 1 and -19; -19 makes the
 * workers end without waiting for them). Not initialised -19, unknown 0. */
QXPLAY_API int QxPlay_SetPlayStatus(int32_t port, int state);
/* The next picture the port shows goes to callback once (see QxDisplayCallback); set it
 * again for another. NULL cancels. Render thread in mode 0, play-video thread otherwise. */
QXPLAY_API int QxPlay_SetDisplayCallBack(int32_t port, QxDisplayCallback callback);
/* Every picture the port shows goes to callback, window or not: on the render thread in
 * mode 0, the play-video thread in modes 1 to 3. 0 for NULL, in any state (it cannot be
 * removed). */
QXPLAY_API int QxPlay_SetDecCallBack(int32_t port, QxDecodeCallback callback);
/* Modes 1 and 2: callback(port, 0, user) on the play-video thread once playback has had no
 * data for 400 ms: the end of the file or stream (again after a seek). */
QXPLAY_API int QxPlay_SetDecMsgCallBack(int32_t port, QxMessageCallback callback, void* user);
/* callback(port, 1, user) on the record thread when writing the record file has failed;
 * the recording has ended then. */
QXPLAY_API int QxPlay_SetExceptionFilter(int32_t port, QxMessageCallback callback, void* user);
/* Modes 1 and 2: callback(port, user) on the play-video thread at the same moment as decode
 * message 0 (QxPlay_SetDecMsgCallBack), right after it when both are set. */
QXPLAY_API int QxPlay_SetFileEndCallback(int32_t port, QxFileEndCallback callback, void* user);
/* Ends the port's input: more is refused, and the last packet plays without waiting for a
 * next one. window and message are not read. QxPlay_Stop and QxPlay_Play take it back. */
QXPLAY_API int QxPlay_SetFileEndMsg(int32_t port, QxWindow window, uint32_t message);

/* Port-checking exports kept for callers of the original interface: they only check the
 * port (1 on a live port, 0 when not initialised or unknown), change nothing, and write
 * zero into every out-parameter they are given. */
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

/* Constant exports kept for callers of the original interface: in any state and for any
 * port they do nothing and return 1 (0 where marked below), and write zero into every
 * number or text they are given to fill (an empty string into a text buffer). */
QXPLAY_API int QxPlay_PlaySoundShare(int32_t port);
QXPLAY_API int QxPlay_StopSoundShare(int32_t port);
QXPLAY_API int QxPlay_AdjustWaveAudio(int32_t port, int32_t coefficient);
QXPLAY_API int QxPlay_SetPicQuality(int32_t port, int high);
QXPLAY_API int QxPlay_GetPictureQuality(int32_t port, int* high);
QXPLAY_API int QxPlay_SetDeflash(int32_t port, int deflash);
/* 0. */
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
/* The payload key stays the library's own. */
QXPLAY_API int QxPlay_SetSecretKey(int32_t port, int32_t keyType, char* key, int32_t keyLen);
/* These return 0. */
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
/* Draws the frame of a rectangle (picture pixels, colour in RGB) over the port's pictures
 * from slot 0..3; slot 4 is kept but not drawn. Replaces what the slot held; 0 for a slot
 * outside 0..4. */
QXPLAY_API int QxPlay_SetRectangle(int32_t port, int x, int y, int32_t width, int32_t height,
                                   uint8_t red, uint8_t green, uint8_t blue, int slot);
/* Clears the slot; 0 for a slot outside 0..4. */
QXPLAY_API int QxPlay_RemoveRectangle(int32_t port, int slot);
/* Draws a line from (x1, y1) to (x2, y2), in picture pixels, over the port's pictures: kind
 * 0 plain, 1 with the letters A and B on either side, 2 with an arrowhead at (x2, y2). The
 * line of an existing key is replaced. color: red in bits 0-7, green 8-15, blue 16-23. */
QXPLAY_API int QxPlay_DrawLine(int32_t port, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                               uint32_t color, int32_t key, int32_t kind);
/* Removes the line of key, if there is one; 1 either way. */
QXPLAY_API int QxPlay_RemoveLine(int32_t port, int32_t key);
/* Copies the 50-byte text of the last watermark checked into buffer (at least 50 bytes; not
 * NUL-terminated when the text fills them); nothing for a NULL buffer. */
QXPLAY_API int QxPlay_GetWaterMask(int32_t port, char* buffer);
/* Modes 1 to 3, on the play-video thread: callback(text, user) after each key picture with
 * its watermark text (empty when there is none; read from the stream in mode 1 only), and
 * callback(NULL, user) with the end-of-data decode message. */
QXPLAY_API int QxPlay_SetWaterMaskCB(int32_t port, QxWaterMaskCallback callback, void* user);
/* Stores the mode; nothing reads it. */
QXPLAY_API int QxPlay_SetPlayMode(int32_t port, int mode);
/* Mode 0: how much stream, in ms, is buffered before the first picture shows (500). */
QXPLAY_API int QxPlay_SetCacheTime(int32_t port, int milliseconds);
/* Bytes of video the port has played since its buffers were last emptied; unknown -1. */
QXPLAY_API int QxPlay_GetPlaySize(int32_t port);
/* Records into path what the port takes (mode 0), or each packet as it plays (1, 2); mode 3
 * records nothing. Creates the file before it returns: 0 when it cannot, for a NULL or
 * empty path, and unless the port is in normal play; 1 also when it already records. May
 * wait for the writes of an earlier recording to end. */
QXPLAY_API int QxPlay_StartRecord(int32_t port, const char* path);
/* Ends the recording; waits up to 5 s for the record thread to write what it buffered (not
 * at all from the exception callback). */
QXPLAY_API int QxPlay_StopRecord(int32_t port);
/* Bytes written into the record file: growing in 100 KiB blocks, whole after
 * QxPlay_StopRecord. */
QXPLAY_API uint32_t QxPlay_GetRecordSize(int32_t port);
/* The next picture the port delivers goes into path as a 24-bit BMP (JPEG at quality 80),
 * written on the worker that delivers it, window or not. A request not yet served is
 * replaced. 0 for a NULL path. */
QXPLAY_API int QxPlay_CaptureBmpPicture(int32_t port, const char* path);
QXPLAY_API int QxPlay_CaptureJpegPicture(int32_t port, const char* path);
/* The picture on display as a BMP file image (bottom-up, 54-byte header) in buffer and its
 * size in *imageSize; size must be at least 54 + height * ((3 * width + 3) & ~3). 0 for
 * less, for a NULL pointer, before the first picture and once a file's end was reported. */
QXPLAY_API int QxPlay_GetBMP(int32_t port, uint8_t* buffer, uint32_t size, uint32_t* imageSize);
/* The picture on display as a JPEG (quality 80) in buffer and its size in *imageSize; 0 for
 * a NULL pointer, no picture, a size below width * height * 3 / 2, or one it does not fit. */
QXPLAY_API int QxPlay_GetJPEG(int32_t port, uint8_t* buffer, uint32_t size, uint32_t* imageSize);
/* No port, any state: a host picture into a BMP (JPEG at the QxPlay_SetJpegQuality quality)
 * file. type 0: YV12 (Y, V, U); 1: RGB24 as QxDisplayCallback gives it (a BMP leaves red and
 * blue exchanged in buffer); other types: 1, nothing written. 0 for a NULL buffer or path,
 * a bad width or height, a file not written, a non-zero size below what the picture needs. */
QXPLAY_API int QxPlay_ConvertToBmpFile(char* buffer, int32_t size, int32_t width, int32_t height,
                                       int32_t type, const char* path);
QXPLAY_API int QxPlay_ConvertToJpegFile(char* buffer, int32_t size, int32_t width, int32_t height,
                                        int32_t type, const char* path);
/* Process-wide quality of QxPlay_ConvertToJpegFile (80 at first; held to 1..100); 1. */
QXPLAY_API int QxPlay_SetJpegQuality(int quality);

/* ---- extensions ------------------------------------------------------------ */
/* Codecs in QxPortStats.codec. */
#define QXPLAY_CODEC_NONE 0 /* no picture decoded yet */
#define QXPLAY_CODEC_H264 1
#define QXPLAY_CODEC_H265 2

/* Where a port's sound goes, in QxPortStats.soundSink. */
#define QXPLAY_SINK_NONE 0   /* no sound open */
#define QXPLAY_SINK_DEVICE 1 /* the ALSA device */
#define QXPLAY_SINK_SILENT 2 /* no device would open: played silently at the real rate */
#define QXPLAY_SINK_FILE 3   /* the WAV file QXPLAY_AUDIO_OUT names */

/* What a port has done since its last QxPlay_Play. The host sets size to
 * sizeof(QxPortStats) before the call; the library fills only what fits in size, so
 * that a host built against an older, shorter struct keeps working when it grows. */
typedef struct QxPortStats {
    uint32_t size;
    int32_t codec;     /* QXPLAY_CODEC_* */
    int32_t width;     /* picture size, 0 before the first parameter set */
    int32_t height;
    int32_t frameRate; /* pictures per second the stream says, 0 when unknown */
    int32_t soundOn;   /* 1 while the port's sound plays */
    int64_t picturesDecoded;
    int64_t picturesShown;   /* delivered: drawn, or handed to the callbacks */
    int64_t picturesDropped; /* received or decoded and then thrown away unshown */
    int64_t picturesLate;    /* live mode: shown more than the cache time (QxPlay_SetCacheTime)
                                and two intervals after arrival */
    int64_t inputBytes;      /* bytes the port took */
    int64_t bitrate;         /* bits per second taken over the last second */
    int32_t latencyMs;       /* live mode: median arrival-to-display of the last second, -1 when
                                unknown */
    int32_t avOffsetMs;      /* picture ahead of the sound heard, ms; 0 without sound */
    int32_t sourceBufferFill; /* bytes waiting in the source buffer */
    int32_t sourceBufferSize; /* its current capacity */
    int32_t soundSink;        /* QXPLAY_SINK_* */
} QxPortStats;

/* 1 with stats filled; 0 when not initialised, for an unknown port, a null stats
 * or a size smaller than 8. */
QXPLAY_API int QxPlay_GetPortStats(int32_t port, QxPortStats* stats);

#ifdef __cplusplus
}
#endif

#endif /* QXPLAYLIB_H */
