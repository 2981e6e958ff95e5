#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "decode/FrameDescription.h"
#include "decode/H264Dec.h"
#include "platform/CritSec.h"
#include "render/video_render.h"
#include "session/DecodedFrame.h"
#include "session/HostCallbacks.h"
#include "session/InputStage.h"
#include "session/OverlayStore.h"
#include "session/PlayClock.h"
#include "session/PortStatus.h"

// Showing a port's pictures: the picture on screen and the renderer that draws it,
// the live render queue with its paced render step, and what each shown picture
// passes through (the host's display and decode callbacks, the colour adjustment,
// snapshots and overlays). The picture is filled by the play-video thread in the
// file modes and in live mode by the render thread, or by the play-video thread when
// there is no jitter buffer to wait out; the host reads it for images.
class Presenter {
  public:
    struct ColorSettings {
        int32_t region = 0;
        int32_t brightness = 64;
        int32_t contrast = 64;
        int32_t saturation = 64;
        int32_t hue = 64;
    };
    struct ColorAdjust {
        int brightness = 0;
        int contrast = 128;
        int saturation = 64;
        int hue = 0;
    };

    Presenter(PortStatus& status, SessionSignals& signals, PlayClock& clock, InputStage& input,
              HostCallbacks& callbacks);

    // Picture buffers for width x height, then makeDecoder (the file modes' decoder,
    // which the caller makes), then the renderer for the port's window. False, with
    // the failing step logged, when the buffers or the decoder cannot be had. A
    // renderer that cannot be made leaves a port that decodes and delivers without
    // drawing (as one with no window does); EnsureRenderer tries again.
    bool CreatePictureObjects(int width, int height, const std::function<bool()>& makeDecoder);
    void DeletePictureObjects();
    // A renderer for the port's window when there is none yet, tried at most once a
    // second.
    void EnsureRenderer();

    // Play-video thread, file modes: the decoder's picture becomes the one on screen.
    void TakePicture(const H264_DEC_FRAME& frame, int width, int height, int knd);
    qx::FrameDescription Description();
    // What a shown picture passes through before it is rendered, in order: display
    // callback, colour adjustment, decode callback, the shown flag, overlays.
    void DeliverFilePicture();
    void RenderCurrent();

    // Play-video thread, live mode: the decoder's picture for the render thread,
    // held when the decoder could hold it at this size (else a copy), waiting while
    // three are queued. Without a jitter buffer there is no time to wait for, so
    // when the render thread has nothing left to show the picture is shown here at
    // once instead of waking it. False when the port stops first.
    bool QueueLivePicture(const H264_PARAM& header, int width, int height,
                          const H264_DEC_FRAME& frame, qx::PictureRef held);
    // Render thread: shows the next queued picture at its time; false when there was
    // none to show (the thread then waits for one).
    bool RenderStep();
    void EmptyRenderQueue();
    int RenderQueueSize();
    // The next live picture starts the render clock again.
    void RestartRender() { m_firstRender = true; }

    // Host side.
    OverlayStore& Overlays() { return m_overlays; }
    void SetColor(const ColorSettings& raw, const ColorAdjust& adjust);
    ColorSettings Color();
    ColorAdjust ColorAdjustment();
    // The next displayed picture as a BMP (bmp) or JPEG file; a later request before
    // that picture replaces the earlier one.
    void RequestCapture(const std::string& path, bool bmp);
    // The current picture as a BMP or JPEG image; false without a picture or when it
    // does not fit.
    bool CurrentPictureAsBmp(unsigned char* destination, uint32_t capacity, uint32_t* size);
    bool CurrentPictureAsJpeg(unsigned char* destination, uint32_t capacity, uint32_t* size);
    bool PictureShown() const { return m_pictureShown.load(); }
    void SetPictureShown(bool shown) { m_pictureShown = shown; }

    // Contiguous copies of a picture: YV12 (Y, then V, then U, rows packed) and
    // bottom-up RGB24. False after a fault, which is logged.
    static bool FillYv12(unsigned char* destination, const unsigned char* y, const unsigned char* u,
                         const unsigned char* v, int width, int height);
    static bool FillRgb24(unsigned char* destination, const unsigned char* y,
                          const unsigned char* u, const unsigned char* v, int width, int height);

  private:
    bool AllocatePictures_locked(int width, int height);
    void MakeRenderer();
    // The live picture of the entry becomes the one on screen; false when its
    // picture objects cannot be made.
    bool ShowEntry(DECODED_FRAME& entry);
    // A live picture through the steps after the queue: on screen at its time, then
    // the hooks.
    void ShowLivePicture(DECODED_FRAME& entry);
    void WaitForDue(const DECODED_FRAME& entry);
    // Picture buffers of the live queue, reused instead of made for every picture.
    std::unique_ptr<unsigned char[]> TakeSpare(size_t size);
    void GiveSpare(std::unique_ptr<unsigned char[]> picture, size_t size);
    void DisplayHook();
    void ColorAdjustHook();
    void DecodeHook();
    void DrawOverlays();
    // The RGB buffer of the current size; null when it cannot be had.
    unsigned char* RgbBuffer_locked();
    // The current picture into the YV12 buffer, with its size.
    bool FillYv12Copy_locked(int* width, int* height);
    // Whoever reads the current picture as packed planes, or writes into it, first
    // has a held decoder picture copied into m_YUVData; false without a picture.
    bool Packed_locked();
    // m_YUVData, packed at the picture's size, is the picture on screen.
    void ShowPackedCopy_locked();

    PortStatus& m_status;
    SessionSignals& m_signals;
    PlayClock& m_clock;
    InputStage& m_input;
    HostCallbacks& m_callbacks;
    OverlayStore m_overlays;

    CCritSec m_renderQueueLock;
    // guarded by m_renderQueueLock
    std::list<DECODED_FRAME> m_renderQueue;
    std::vector<std::unique_ptr<unsigned char[]>> m_spares;
    size_t m_spareSize = 0;
    // The render thread is showing a picture it took from the queue. The live render
    // fields below belong to whoever shows: the render thread while the queue is not
    // empty or this is set, else the play-video thread.
    bool m_renderThreadShowing = false;

    // The picture on screen and what shows it; guarded by m_pictureLock. The YV12
    // and RGB copies belong to the thread that shows pictures between the hooks.
    CCritSec m_pictureLock;
    std::unique_ptr<unsigned char[]> m_yv12;
    std::unique_ptr<unsigned char[]> m_YUVData;
    // The decoder's picture on screen while m_planes point into it; empty once they
    // point at m_YUVData or m_yv12. Never written into (see Packed_locked).
    qx::PictureRef m_held;
    unsigned char* m_planes[3] = {nullptr, nullptr, nullptr};
    int m_strides[3] = {0, 0, 0};
    int m_pictureWidth = 0;
    int m_pictureHeight = 0;
    std::unique_ptr<video_render> m_renderer;
    std::unique_ptr<unsigned char[]> m_rgb;
    // When a renderer was last tried (GetTickCount); the thread that shows pictures.
    uint32_t m_rendererTried = 0;

    CCritSec m_frameInfoLock;
    qx::FrameDescription m_frameDescription{};  // guarded by m_frameInfoLock

    std::atomic<bool> m_pictureShown{false};
    std::atomic<bool> m_firstRender{true};
    // The thread that shows live pictures (see m_renderThreadShowing).
    int m_renderWidth = 0;
    int m_renderHeight = 0;
    int64_t m_lastRenderPts = 0;

    CCritSec m_settingsLock;
    // guarded by m_settingsLock
    ColorSettings m_colorRaw;
    ColorAdjust m_colorAdjust;
    bool m_captureRequested = false;
    bool m_captureBmp = false;
    std::string m_captureName;
};
