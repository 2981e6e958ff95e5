// How the play loop of the file modes times its pictures: the clocks each picture
// moves, and how long it stays on screen in each play state.
#include <cinttypes>

#include "log/Log.h"
#include "platform/Clock.h"
#include "session/VideoPipeline.h"

namespace {

constexpr long kPauseRedrawMs = 100;
// ver 1 packets are timed from this frame number; only differences matter.
constexpr int64_t kStartFrameNumber = 0;

}  // namespace

int VideoPipeline::FileModeTiming(int state) {
    H264_PARAM& header = m_pictureHeader;
    header.idx = m_videoFrames;
    int64_t ms = 0;
    bool timed = true;
    if (header.ver == 2) {
        ms = header.pts / 1000;
    } else if (header.ver == 1) {
        header.idx = PlayedFrameNumber();
        ms = (header.idx - kStartFrameNumber) * m_status.frameInterval.load();
    } else {
        timed = false;
    }
    if (timed) {
        const bool seekEnded = m_status.keyFrameSeen.exchange(false);
        header.pts = m_clock.AdvanceVideo(ms, seekEnded);
    }
    int64_t dts = header.pts;
    if (qx::IsSlowState(state))
        dts *= -state;
    if (state == qx::kStateNormal)
        qx::log::DbgviewLog(11, "dts=%d", static_cast<int>(dts));
    ++m_status.decodedPictures;
    return static_cast<int>(dts);
}

void VideoPipeline::PaceNormal(int dts) {
    const int mode = m_status.OpenMode();
    if (mode == qx::kModeLiveUnpaced)
        return;
    const int interval = m_status.frameInterval;
    const int64_t elapsed =
        qx::log::GetUs(m_frameStart, qx::QueryPerformanceCounter(), m_status.frequency, true);
    const int64_t sleep = m_audio.LipSyncSleep(dts - elapsed);
    qx::log::DbgviewLog(5, "curRunTime = %" PRId64, elapsed);
    qx::log::DbgviewLog(51, "preFrmSleep = %" PRId64 ",curRunTime=%d,dts=%d", sleep,
                        static_cast<int>(elapsed), dts);
    if (sleep > 0) {
        // Room for the one interval a lip-sync correction adds.
        const int64_t cap = mode == qx::kModePushed ? 3 * interval : 2 * interval;
        const int64_t slept = sleep < cap ? sleep : cap;
        m_signals.play.Sleep(static_cast<long>(slept));
        m_nextFrameStart = m_frameStart + (elapsed + slept) * m_status.frequency / 1000;
    } else {
        m_signals.play.Sleep(1);
    }
}

void VideoPipeline::PaceFast(int state, int dts) {
    const int interval = m_status.frameInterval;
    if (m_status.OpenMode() != qx::kModePushed) {
        m_signals.play.Sleep(interval / state);
        return;
    }
    m_clock.UpdatePlayedTime();
    const int64_t sleep = dts / state - qx::log::GetUs(m_frameStart, qx::QueryPerformanceCounter(),
                                                       m_status.frequency, true);
    m_signals.play.Sleep(sleep > 0 ? static_cast<long>(sleep) : 1);
    qx::log::DbgviewLog(5, "EX_PLAY2X preFrmSleep=%d", static_cast<int>(sleep));
    qx::log::DbgviewLog(5, "EX_PLAY2X frameTime=%d,videoBuf.param.idx = %d", interval,
                        static_cast<int>(m_pictureHeader.idx));
}

void VideoPipeline::PaceSlow(int state, int dts) {
    const int interval = m_status.frameInterval;
    const int64_t sleep =
        dts - qx::log::GetUs(m_clock.PlayClockStart(), qx::QueryPerformanceCounter(),
                             m_status.frequency, true);
    const int64_t cap = static_cast<int64_t>(-state) * interval;
    const int64_t v = (sleep <= 0 || sleep >= cap) ? cap : sleep;
    if (interval <= 0)
        return;
    // In slices of one interval, so that a speed change takes effect within one.
    m_signals.play.Sleep(static_cast<long>(v % interval));
    for (int64_t slice = 0; slice < v / interval && m_status.PlayState() == state; ++slice)
        m_signals.play.Sleep(interval);
}

void VideoPipeline::WaitWhilePaused() {
    while (m_status.PlayState() == qx::kStatePause) {
        m_presenter.RenderCurrent();
        m_signals.play.Sleep(kPauseRedrawMs);
    }
    m_clock.RestartPlayClock();
}

void VideoPipeline::WaitForStep() {
    --m_stepCount;
    while (m_stepCount.load() <= 0 && m_status.PlayState() == qx::kStateStep) {
        m_presenter.RenderCurrent();
        m_signals.play.Sleep(kPauseRedrawMs);
    }
}

void VideoPipeline::PaceFilePicture(int state, int dts) {
    if (state == qx::kStateNormal) {
        m_presenter.RenderCurrent();
        m_clock.UpdatePlayedTime();
        PaceNormal(dts);
    } else if (qx::IsFastState(state)) {
        m_presenter.RenderCurrent();
        PaceFast(state, dts);
    } else if (qx::IsSlowState(state)) {
        m_presenter.RenderCurrent();
        m_clock.UpdatePlayedTime();
        PaceSlow(state, dts);
    } else if (state == qx::kStatePause) {
        WaitWhilePaused();
    } else if (state == qx::kStateStep) {
        WaitForStep();
    } else if (state == qx::kStateBack) {
        m_presenter.RenderCurrent();
        m_clock.UpdatePlayedTime();
        const int w = m_width;
        m_signals.play.Sleep(w >= 1920 ? 200 : (w >= 1280 ? 100 : 80));
    }
}
