// Showing pictures: the picture objects, the live render step and its clock, and the
// latency control that keeps a live port close to real time.
#include <cinttypes>
#include <cstring>
#include <new>

#include "log/RecH264Data.h"
#include "platform/Clock.h"
#include "render/RendererChoice.h"
#include "session/DDrawSession.h"
#include "stream/KeyPacket.h"

namespace {

constexpr int kRenderIdleMs = 10;
// A picture due this far ahead has a broken time stamp; it is shown at once.
constexpr int64_t kMaxRenderWaitMs = 1500;
constexpr int kMinLatencyThresholdMs = 300;
constexpr int64_t kMaxRenderLagMs = 1000;

}  // namespace

bool DDrawSession::CreatePictureObjects(int width, int height, int kind) {
    try {
        DeletePictureObjects();
        CAutoLock lock(&m_pictureLock);
        m_strides[0] = width;
        m_strides[1] = width / 2;
        m_strides[2] = width / 2;
        const size_t size = static_cast<size_t>(width) * height * 3 / 2;
        m_yv12.reset(new (std::nothrow) unsigned char[size]);
        if (!m_yv12) {
            RecH264Data::DbgviewLog(5, std::string("yv12 new fail"));
            return false;
        }
        m_YUVData.reset(new (std::nothrow) unsigned char[size]);
        if (!m_YUVData) {
            RecH264Data::DbgviewLog(5, std::string("m_YUVData new fail"));
            return false;
        }
        m_pictureWidth = width;
        m_pictureHeight = height;
        if (OpenMode() != 0 && !MakeDecoder(kind, width, height)) {
            RecH264Data::DbgviewLog(5, std::string("mVideoDecodec CreateDecode fail"));
            return false;
        }
        std::unique_ptr<video_render> renderer = qx::render::CreateRenderer();
        if (renderer && !renderer->Init(Window(), width, height))
            renderer.reset();
        if (!renderer) {
            RecH264Data::DbgviewLog(5, std::string("m_D3DRender CreateD3DRender fail"));
            return false;
        }
        m_renderer = std::move(renderer);
        return true;
    } catch (...) {
        RecH264Data::DbgviewLog(5, std::string("Object Create fail"));
        return false;
    }
}

void DDrawSession::DeletePictureObjects() {
    try {
        const bool live = OpenMode() == 0;
        if (!live) {
            m_width = 0;
            m_height = 0;
            m_decoder.reset();
        }
        CAutoLock lock(&m_pictureLock);
        m_yv12.reset();
        m_YUVData.reset();
        m_planes[0] = m_planes[1] = m_planes[2] = nullptr;
        m_pictureWidth = 0;
        m_pictureHeight = 0;
        m_rgb.reset();
        m_renderer.reset();
    } catch (...) {
        RecH264Data::DbgviewLog(5, "Object delete FAIL DeleteCount=%d", 0);
    }
}

void DDrawSession::RenderCurrent() {
    CAutoLock lock(&m_pictureLock);
    if (!m_renderer || !m_planes[0] || !m_planes[1] || !m_planes[2])
        return;
    const RenderPoint whole[2];
    m_renderer->Render(m_planes, m_strides, m_pictureWidth, m_pictureHeight, Window(), &whole[0],
                       &whole[1]);
}

void DDrawSession::Redraw() {
    RenderCurrent();
}

void DDrawSession::RenderStep() {
    if (PlayState() == qx::kStateStop)
        return;
    if (m_caching) {
        m_wake.Wait(m_wake.Take(), qx::WakeBoard::Bit(qx::WakeBoard::kSource), kRenderIdleMs);
        return;
    }
    DECODED_FRAME entry;
    {
        const qx::WakeBoard::Ticket ticket = m_wake.Take();
        bool taken = false;
        {
            CAutoLock lock(&m_renderQueueLock);
            if (!m_renderQueue.empty()) {
                entry = std::move(m_renderQueue.front());
                m_renderQueue.pop_front();
                taken = true;
            }
        }
        if (!taken) {
            m_wake.Wait(ticket, qx::WakeBoard::Bit(qx::WakeBoard::kRender), kRenderIdleMs);
            return;
        }
        m_wake.Post(qx::WakeBoard::kRender);
    }
    if (m_firstRender.exchange(false)) {
        CAutoLock lock(&m_playTimeLock);
        m_liveVideoPlayed = 0;
        m_lastRenderPts = 0;
        m_renderClockBase = qx::QueryPerformanceCounter();
    }
    m_positions.NoteLastRendered(entry.param.pts);
    if (entry.width != m_renderWidth || entry.height != m_renderHeight) {
        if (!CreatePictureObjects(entry.width, entry.height, entry.param.knd)) {
            DeletePictureObjects();
            m_renderWidth = 0;
            m_renderHeight = 0;
            SleepMs(RecH264Data::SLEEP_TIME);
            return;
        }
        m_renderWidth = entry.width;
        m_renderHeight = entry.height;
    }
    {
        CAutoLock lock(&m_pictureLock);
        const size_t luma = static_cast<size_t>(entry.width) * entry.height;
        std::memcpy(m_YUVData.get(), entry.picture.get(), luma * 3 / 2);
        m_planes[0] = m_YUVData.get();
        m_planes[1] = m_YUVData.get() + luma;
        m_planes[2] = m_planes[1] + luma / 4;
        m_strides[0] = entry.width;
        m_strides[1] = entry.width / 2;
        m_strides[2] = entry.width / 2;
    }
    ColorAdjustHook();
    // The stream's own pts spacing, measured against the render clock.
    if (m_lastRenderPts == 0)
        m_lastRenderPts = entry.param.pts;
    const int32_t delta = static_cast<int32_t>(qx::StampDiff(entry.param.pts, m_lastRenderPts));
    m_lastRenderPts = entry.param.pts;
    int64_t due;
    int64_t base;
    {
        CAutoLock lock(&m_playTimeLock);
        m_liveVideoPlayed += delta;
        due = m_liveVideoPlayed / 1000;
        base = m_renderClockBase;
    }
    int64_t wait = due - RecH264Data::GetUs(base, qx::QueryPerformanceCounter(), m_frequency, true);
    if (m_cacheTime.load() == 0 && wait > 0) {
        // Without a cache the clock follows the stream instead of holding pictures back.
        CAutoLock lock(&m_playTimeLock);
        m_renderClockBase -= wait * m_frequency / 1000;
        wait = 0;
    }
    if (wait > 0 && wait < kMaxRenderWaitMs)
        SleepMs(static_cast<long>(wait));
    DrawOverlays();
    RenderCurrent();
    DisplayHook();
    DecodeHook();
    // A live picture is as much a picture to take as a played one.
    m_pictureShown = true;
}

int64_t DDrawSession::LatencyControl() {
    const std::optional<PositionIndex::Key> oldest = m_positions.Oldest();
    const int64_t lastRendered = m_positions.LastRendered();
    // A last rendered pts of -1 means nothing has been shown since the restart.
    if (!oldest || oldest->pts == 0 || lastRendered == 0 || lastRendered == -1)
        return 0;
    const int64_t newest = m_positions.NewestInput();
    const int64_t idiff1 = (newest - oldest->pts) / 1000;
    const int64_t idiff2 = (newest - lastRendered) / 1000;
    const int threshold =
        m_cacheTime.load() > kMinLatencyThresholdMs ? m_cacheTime.load() : kMinLatencyThresholdMs;
    if (idiff1 < threshold || idiff2 < kMaxRenderLagMs)
        return 0;
    CAutoLock lock(&m_srcLock);
    const int64_t offset = oldest->position - m_srcBuf.FrontPosition();
    if (offset < 0 || offset >= m_srcBuf.Size() ||
        !qx::IsKeyPacket(m_srcBuf.Front() + offset, m_srcBuf.Size() - offset)) {
        m_positions.Remove(oldest->pts);
        return 0;
    }
    RecH264Data::DbgviewLog(115, "lost idiff2=%" PRId64 ",idiff1=%" PRId64 " pos=%d", idiff2,
                            idiff1, static_cast<int>(offset));
    return oldest->position;
}
