#include "session/Presenter.h"

#include <cstring>
#include <new>

#include "decode/AvPictureDecoder.h"
#include "log/Log.h"
#include "session/SessionConstants.h"
#include "platform/Clock.h"
#include "render/RendererChoice.h"

namespace {

// A picture due this far ahead has a broken time stamp; it is shown at once.
constexpr int64_t kMaxRenderWaitMs = 1500;
// Picture buffers kept for the queue: one more than it holds.
constexpr size_t kSpares = qx::kRenderQueueDepth + 1;

}  // namespace

Presenter::Presenter(PortStatus& status, SessionSignals& signals, PlayClock& clock,
                     InputStage& input, HostCallbacks& callbacks)
    : m_status(status),
      m_signals(signals),
      m_clock(clock),
      m_input(input),
      m_callbacks(callbacks) {}

bool Presenter::AllocatePictures_locked(int width, int height) {
    m_held = qx::PictureRef();
    m_strides[0] = width;
    m_strides[1] = width / 2;
    m_strides[2] = width / 2;
    const size_t size = static_cast<size_t>(width) * height * 3 / 2;
    m_yv12.reset(new (std::nothrow) unsigned char[size]);
    if (!m_yv12) {
        qx::log::DbgviewLog(5, std::string("yv12 new fail"));
        return false;
    }
    m_YUVData.reset(new (std::nothrow) unsigned char[size]);
    if (!m_YUVData) {
        qx::log::DbgviewLog(5, std::string("m_YUVData new fail"));
        return false;
    }
    m_pictureWidth = width;
    m_pictureHeight = height;
    return true;
}

void Presenter::MakeRenderer() {
    int width;
    int height;
    {
        CAutoLock lock(&m_pictureLock);
        width = m_pictureWidth;
        height = m_pictureHeight;
    }
    m_rendererTried = qx::GetTickCount();
    const QxWindow window = m_status.window.load();
    // Without a window there is nothing to draw into: pictures are still delivered.
    if (window == 0)
        return;
    // Made outside the lock: a renderer talks to the X server.
    std::unique_ptr<video_render> renderer = qx::render::CreateRenderer();
    if (renderer && !renderer->Init(window, width, height))
        renderer.reset();
    if (!renderer) {
        qx::log::DbgviewLog(5, std::string("m_D3DRender CreateD3DRender fail"));
        return;
    }
    CAutoLock lock(&m_pictureLock);
    m_renderer = std::move(renderer);
}

void Presenter::EnsureRenderer() {
    constexpr uint32_t kRetryMs = 1000;
    {
        CAutoLock lock(&m_pictureLock);
        if (m_renderer || m_pictureWidth <= 0)
            return;
    }
    if (m_status.window.load() != 0 && qx::GetTickCount() - m_rendererTried >= kRetryMs)
        MakeRenderer();
}

bool Presenter::CreatePictureObjects(int width, int height,
                                     const std::function<bool()>& makeDecoder) {
    try {
        DeletePictureObjects();
        {
            CAutoLock lock(&m_pictureLock);
            if (!AllocatePictures_locked(width, height))
                return false;
        }
        if (makeDecoder && !makeDecoder()) {
            qx::log::DbgviewLog(5, std::string("mVideoDecodec CreateDecode fail"));
            return false;
        }
        MakeRenderer();
        return true;
    } catch (...) {
        qx::log::DbgviewLog(5, std::string("Object Create fail"));
        return false;
    }
}

void Presenter::DeletePictureObjects() {
    std::unique_ptr<video_render> renderer;
    try {
        CAutoLock lock(&m_pictureLock);
        m_yv12.reset();
        m_YUVData.reset();
        m_held = qx::PictureRef();
        m_planes[0] = m_planes[1] = m_planes[2] = nullptr;
        m_pictureWidth = 0;
        m_pictureHeight = 0;
        m_rgb.reset();
        renderer = std::move(m_renderer);
    } catch (...) {
        qx::log::DbgviewLog(5, "Object delete FAIL DeleteCount=%d", 0);
    }
}

void Presenter::TakePicture(const H264_DEC_FRAME& frame, int width, int height, int knd) {
    CAutoLock lock(&m_pictureLock);
    if (!m_YUVData || width != m_pictureWidth || height != m_pictureHeight)
        return;
    {
        CAutoLock infoLock(&m_frameInfoLock);
        m_frameDescription = qx::DescribeFrame(
            static_cast<int32_t>(frame.width), static_cast<int32_t>(frame.height),
            static_cast<int32_t>(frame.yStride), static_cast<int32_t>(frame.uvStride),
            static_cast<int32_t>(frame.frameType), knd);
    }
    const size_t luma = static_cast<size_t>(width) * height;
    qx::CopyFramePacked(frame, m_YUVData.get(), m_YUVData.get() + luma,
                        m_YUVData.get() + luma + luma / 4);
    ShowPackedCopy_locked();
}

void Presenter::ShowPackedCopy_locked() {
    const size_t luma = static_cast<size_t>(m_pictureWidth) * m_pictureHeight;
    m_held = qx::PictureRef();
    m_planes[0] = m_YUVData.get();
    m_planes[1] = m_YUVData.get() + luma;
    m_planes[2] = m_YUVData.get() + luma + luma / 4;
    m_strides[0] = m_pictureWidth;
    m_strides[1] = m_pictureWidth / 2;
    m_strides[2] = m_pictureWidth / 2;
}

bool Presenter::Packed_locked() {
    if (!m_held)
        return m_planes[0] != nullptr;
    if (!m_YUVData)
        return false;
    const size_t luma = static_cast<size_t>(m_pictureWidth) * m_pictureHeight;
    const uint8_t* planes[3] = {m_held.Plane(0), m_held.Plane(1), m_held.Plane(2)};
    qx::CopyPacked(planes, m_strides, m_held.Width(), m_held.Height(), m_YUVData.get(),
                   m_YUVData.get() + luma, m_YUVData.get() + luma + luma / 4, m_pictureWidth,
                   m_pictureHeight);
    ShowPackedCopy_locked();
    return true;
}

qx::FrameDescription Presenter::Description() {
    CAutoLock lock(&m_frameInfoLock);
    return m_frameDescription;
}

void Presenter::RenderCurrent() {
    CAutoLock lock(&m_pictureLock);
    if (!m_renderer || !m_planes[0] || !m_planes[1] || !m_planes[2])
        return;
    const RenderPoint whole[2];
    m_renderer->Render(m_planes, m_strides, m_pictureWidth, m_pictureHeight, m_status.window.load(),
                       &whole[0], &whole[1]);
}

bool Presenter::QueueLivePicture(const H264_PARAM& header, int width, int height,
                                 const H264_DEC_FRAME& frame, qx::PictureRef held) {
    DECODED_FRAME entry;
    entry.param = header;
    entry.width = width;
    entry.height = height;
    if (held && held.Width() == width && held.Height() == height) {
        // Most pictures are only drawn, and with many ports a copy of each costs as
        // much as decoding a few of the ports.
        for (int i = 0; i < 3; ++i)
            entry.strides[i] = held.Pitch(i);
        entry.held = std::move(held);
    } else {
        entry.strides[0] = width;
        entry.strides[1] = width / 2;
        entry.strides[2] = width / 2;
        const size_t luma = static_cast<size_t>(width) * height;
        entry.picture = TakeSpare(luma * 3 / 2);
        qx::CopyFramePacked(frame, entry.picture.get(), entry.picture.get() + luma,
                            entry.picture.get() + luma + luma / 4);
    }
    const bool direct = m_input.CacheTime() == 0 && !m_input.IsCaching();
    // The bounded queue makes decoding wait for the renderer.
    while (!m_status.Ending()) {
        enum { kNoRoom, kQueued, kShowHere } outcome = kNoRoom;
        {
            CAutoLock lock(&m_renderQueueLock);
            // Only this thread fills the queue: found empty with the render thread not
            // showing, it stays so until this picture is shown.
            if (direct && m_renderQueue.empty() && !m_renderThreadShowing) {
                outcome = kShowHere;
            } else if (static_cast<int>(m_renderQueue.size()) < qx::kRenderQueueDepth) {
                m_renderQueue.push_back(std::move(entry));
                outcome = kQueued;
            }
        }
        if (outcome == kShowHere) {
            ShowLivePicture(entry);
            return true;
        }
        if (outcome == kQueued) {
            m_signals.render.Post(qx::WakeSignal::kRender);
            return true;
        }
        m_signals.play.Wait(qx::WakeSignal::kRenderSpace);
    }
    return false;
}

bool Presenter::ShowEntry(DECODED_FRAME& entry) {
    if (entry.width != m_renderWidth || entry.height != m_renderHeight) {
        if (!CreatePictureObjects(entry.width, entry.height, nullptr)) {
            DeletePictureObjects();
            m_renderWidth = 0;
            m_renderHeight = 0;
            return false;
        }
        m_renderWidth = entry.width;
        m_renderHeight = entry.height;
    } else {
        EnsureRenderer();
    }
    const size_t luma = static_cast<size_t>(entry.width) * entry.height;
    {
        CAutoLock lock(&m_pictureLock);
        if (!m_YUVData)
            return false;
        if (entry.held) {
            m_held = std::move(entry.held);
            // Read only: whoever would write has it copied first.
            for (int i = 0; i < 3; ++i) {
                m_planes[i] = const_cast<unsigned char*>(m_held.Plane(i));
                m_strides[i] = entry.strides[i];
            }
            return true;
        }
        // The entry's picture becomes the one on screen; the one it replaces holds
        // the next entry.
        m_YUVData.swap(entry.picture);
        ShowPackedCopy_locked();
    }
    GiveSpare(std::move(entry.picture), luma * 3 / 2);
    return true;
}

std::unique_ptr<unsigned char[]> Presenter::TakeSpare(size_t size) {
    {
        CAutoLock lock(&m_renderQueueLock);
        if (m_spareSize == size && !m_spares.empty()) {
            std::unique_ptr<unsigned char[]> spare = std::move(m_spares.back());
            m_spares.pop_back();
            return spare;
        }
    }
    return std::unique_ptr<unsigned char[]>(new unsigned char[size]);
}

void Presenter::GiveSpare(std::unique_ptr<unsigned char[]> picture, size_t size) {
    CAutoLock lock(&m_renderQueueLock);
    if (m_spareSize != size) {
        m_spares.clear();
        m_spareSize = size;
    }
    if (m_spares.size() < kSpares)
        m_spares.push_back(std::move(picture));
}

void Presenter::WaitForDue(const DECODED_FRAME& entry) {
    // The stream's own pts spacing, measured against the render clock.
    if (m_lastRenderPts == 0)
        m_lastRenderPts = entry.param.pts;
    const int32_t delta = static_cast<int32_t>(qx::StampDiff(entry.param.pts, m_lastRenderPts));
    m_lastRenderPts = entry.param.pts;
    int64_t due;
    int64_t base;
    m_clock.AdvanceLive(delta, &due, &base);
    int64_t wait =
        due - qx::log::GetUs(base, qx::QueryPerformanceCounter(), m_status.frequency, true);
    if (m_input.CacheTime() == 0 && wait > 0) {
        // Without a cache the clock follows the stream instead of holding pictures back.
        m_clock.MoveRenderBase(wait * m_status.frequency / 1000);
        wait = 0;
    }
    if (wait > 0 && wait < kMaxRenderWaitMs)
        m_signals.render.Sleep(static_cast<long>(wait));
}

bool Presenter::RenderStep() {
    if (m_status.Ending() || m_input.IsCaching())
        return false;
    DECODED_FRAME entry;
    {
        CAutoLock lock(&m_renderQueueLock);
        if (m_renderQueue.empty())
            return false;
        entry = std::move(m_renderQueue.front());
        m_renderQueue.pop_front();
        m_renderThreadShowing = true;
    }
    m_signals.play.Post(qx::WakeSignal::kRenderSpace);
    struct Shown {
        Presenter& presenter;
        ~Shown() {
            CAutoLock lock(&presenter.m_renderQueueLock);
            presenter.m_renderThreadShowing = false;
        }
    } shown{*this};
    ShowLivePicture(entry);
    return true;
}

void Presenter::ShowLivePicture(DECODED_FRAME& entry) {
    if (m_firstRender.exchange(false)) {
        m_clock.StartLiveRender(qx::QueryPerformanceCounter());
        m_lastRenderPts = 0;
    }
    m_input.NoteLastRendered(entry.param.pts);
    if (!ShowEntry(entry)) {
        m_status.stats.NoteDropped(1);
        m_signals.render.Sleep(qx::kIdleSleepMs);
        return;
    }
    ColorAdjustHook();
    WaitForDue(entry);
    DrawOverlays();
    RenderCurrent();
    // Late: beyond the jitter buffer the host asked for by more than two intervals.
    m_status.stats.NoteShown(entry.param.pts, true,
                             m_input.CacheTime() + 2 * m_status.frameInterval.load());
    DisplayHook();
    DecodeHook();
    // A live picture is as much a picture to take as a played one.
    m_pictureShown = true;
}

void Presenter::EmptyRenderQueue() {
    {
        CAutoLock lock(&m_renderQueueLock);
        m_status.stats.NoteDropped(static_cast<int64_t>(m_renderQueue.size()));
        m_renderQueue.clear();
    }
    m_firstRender = true;
    m_signals.play.Post(qx::WakeSignal::kRenderSpace);
}

int Presenter::RenderQueueSize() {
    CAutoLock lock(&m_renderQueueLock);
    return static_cast<int>(m_renderQueue.size());
}
