// The play-video thread's pass: one packet out of the frame buffer, decoded, then
// handed to the render thread (live mode) or shown and paced here (other modes).
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "decode/H265Decode.h"
#include "log/RecH264Data.h"
#include "platform/Clock.h"
#include "session/DDrawSession.h"
#include "stream/H264UtilsA.h"
#include "stream/SpsReader.h"

namespace {

constexpr int kEndOfDataPolls = 400;
// How long an empty frame buffer is waited on when nothing counts the polls; new
// packets and state changes end the wait at once.
constexpr int kIdleWaitMs = 100;
constexpr int kRenderQueueWaitMs = 10;
constexpr int kPauseRedrawMs = 100;
constexpr int kStepRedrawMs = 5;
// ver 1 packets are timed from this frame number; only differences matter.
constexpr int64_t kStartFrameNumber = 0;

// "……………………" (ten GBK ellipses) in front of the end-of-data lines.
constexpr char kEllipsis10[] =
    "\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD";

bool IsParameterSet(int type) {
    return type == 7 || type == 33 || type == 15;
}

// Types a stream may start with: pictures in front of the first parameter set
// cannot be decoded and are skipped.
bool MayLeadStream(int type) {
    switch (type) {
        case 7:
        case 8:
        case 6:
        case 5:
        case 33:
        case 19:
        case 32:
        case 34:
        case 15:
        case 20:
            return true;
        default:
            return false;
    }
}

int NalType(const unsigned char* payload, int length, int knd) {
    return knd == qx::kKindH264 ? H264UtilsA::Get_NAL_Type(payload, length)
                                : H264UtilsA::get_hevc_nal_type(payload, length);
}

// The length of a leading vendor SEI as its header bytes give it; 0 when the
// payload is too short to say.
int SeiLength(const unsigned char* payload, int length) {
    if (length < 29)
        return 0;
    if (payload[2] == 1)
        return payload[26] * 255 + 28 + payload[27];
    return payload[27] * 255 + 29 + payload[28];
}

}  // namespace

bool DDrawSession::ParseSPSNAL(const unsigned char* payload, int length, int* width, int* height) {
    try {
        return qx::ReadH264PictureSize(payload, static_cast<size_t>(length), width, height);
    } catch (...) {
        RecH264Data::DbgviewLog(5, std::string("5509,DDrawSession::ParseSPSNAL Error"));
        return false;
    }
}

void DDrawSession::NotifyEndOfData() {
    QxMessageCallback callback;
    void* user;
    {
        CAutoLock lock(&m_callbackLock);
        callback = m_decodeMessage;
        user = m_decodeMessageUser;
    }
    const int mode = OpenMode();
    if (mode == 0 || mode == 3 || callback == nullptr || m_nNotDataCnt <= kEndOfDataPolls ||
        m_endNotified || m_keyFrameWait)
        return;
    m_pictureShown = false;
    m_endNotified = true;
    RecH264Data::DbgviewLog(5, std::string(kEllipsis10) + "Play End");
    callback(m_sessionId, 0, user);
    QxWaterMaskCallback watermark;
    void* watermarkUser;
    {
        CAutoLock lock(&m_watermarkLock);
        watermark = m_watermarkCallback;
        watermarkUser = m_watermarkUser;
    }
    if (watermark != nullptr)
        watermark(nullptr, watermarkUser);
}

void DDrawSession::PlayStep() {
    int stage = 0;
    try {
        // Wait for a packet.
        for (;;) {
            if (PlayState() == qx::kStateStop)
                return;
            const qx::WakeBoard::Ticket ticket = m_wake.Take();
            if (FrameFill() > 0)
                break;
            const int mode = OpenMode();
            bool counting;
            {
                CAutoLock lock(&m_callbackLock);
                counting = mode != 0 && mode != 3 && m_decodeMessage != nullptr && !m_endNotified;
            }
            m_wake.Wait(ticket, qx::WakeBoard::Bit(qx::WakeBoard::kFrames),
                        counting ? 1 : kIdleWaitMs);
            NotifyEndOfData();
            ++m_nNotDataCnt;
            RecH264Data::DbgviewLog(11, "%sm_nNotDataCnt=%d", kEllipsis10, m_nNotDataCnt.load());
        }
        stage = 1;
        m_nNotDataCnt = 0;
        const int mode = OpenMode();
        if (mode == 1 || mode == 2)
            m_frameStart = qx::QueryPerformanceCounter();

        int type;
        int state;
        {
            CAutoLock lock(&m_frameLock);
            const int fill = m_frameBuf.Size();
            RecH264Data::DbgviewLog(5, "videoSrcBufSize=%d", fill);
            if (fill < qx::kHeaderSize)
                return;
            const H264_PARAM header = qx::ReadHeader(m_frameBuf.Front());
            const int64_t packetLength = static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead;
            // Sizes first: a packet is copied only when it is all there.
            if (header.nal_len < 0 || packetLength > fill)
                return;
            m_curVideoHeader = header;
            RecH264Data::FastMemcpy(m_curPayload.get(), qx::kStreamBufferSize,
                                    m_frameBuf.Front() + qx::kHeaderSize, header.nal_len, 20002);
            --m_FrameBuffCount;
            state = PlayState();
            {
                CAutoLock numberLock(&m_frameNumberLock);
                m_playedFrameNumber += state == qx::kStateBack ? -1 : 1;
            }
            stage = 2;
            const unsigned char* payload = m_curPayload.get();
            const int knd = header.knd;
            type = NalType(payload, header.nal_len, knd);
            if (type == 6 && header.nal_len > 30 && mode == 1)
                DecipherSei(payload, header.nal_len);
            if (type == 6 && header.nal_len > 30 && !m_keyParamSeen) {
                const int sei = SeiLength(payload, header.nal_len);
                // A packet too short for its SEI is played as it is.
                if (sei > 0 && sei < header.nal_len &&
                    IsParameterSet(NalType(payload + sei, header.nal_len - sei, knd))) {
                    m_keyParamSeen = true;
                    H264_PARAM rest = header;
                    rest.nal_len -= sei;
                    unsigned char* front = m_frameBuf.MutableFront();
                    std::memcpy(front + sei, &rest, sizeof rest);
                    m_frameBuf.Consume(sei);
                    ++m_FrameBuffCount;
                    m_consumedBytes += sei;
                    RecH264Data::DbgviewLog(5, std::string("first frame have sei and sps,return"));
                    return;
                }
            }
            if (OpenMode() == 1 || OpenMode() == 2)
                RecordPush(m_frameBuf.Front(), static_cast<int>(packetLength));
            m_frameBuf.Consume(static_cast<int>(packetLength));
            m_consumedBytes += packetLength;
            m_wake.Post(qx::WakeBoard::kFrames);
            if (type == 1) {
                ++m_nonIdrCount;
            } else if (type == 5) {
                m_gopLength = m_nonIdrCount + 1;
                m_nonIdrCount = 0;
            }
            state = PlayState();
            if (!MayLeadStream(type) && !m_keyParamSeen) {
                {
                    CAutoLock timeLock(&m_playTimeLock);
                    m_nPlayTm = m_savedPlayedTime;
                }
                RecH264Data::DbgviewLog(5, std::string("no sps return"));
                return;
            }
        }
        stage = 3;
        H264_PARAM& header = m_curVideoHeader;
        const unsigned char* payload = m_curPayload.get();
        if (mode == 0 || mode == 3) {
            CAutoLock lock(&m_curPtsLock);
            m_lCurVPlayPts = header.pts;
        }
        if (IsParameterSet(type)) {
            int w = 0;
            int h = 0;
            if (header.knd == qx::kKindH264)
                ParseSPSNAL(payload, header.nal_len, &w, &h);
            else if (header.knd == qx::kKindH265)
                H264UtilsA::parse_hevc_sps(payload, header.nal_len, &w, &h);
            const bool codecChanged = m_decoder && m_decoder->GetDecodeType() != header.knd;
            m_keyParamSeen = true;
            if (w != m_width || h != m_height || codecChanged) {
                if (mode == 0) {
                    if (!MakeDecoder(header.knd, w, h)) {
                        m_width = 0;
                        m_height = 0;
                        RecH264Data::DbgviewLog(5, std::string("mVideoDecodec CreateDecode fail"));
                        return;
                    }
                } else if (!CreatePictureObjects(w, h, header.knd)) {
                    DeletePictureObjects();
                    m_width = 0;
                    m_height = 0;
                    SleepMs(RecH264Data::SLEEP_TIME);
                    return;
                }
                m_width = w;
                m_height = h;
            }
        }
        if (type == 32) {
            m_vpsLength = header.nal_len < static_cast<int>(sizeof m_vpsCopy)
                              ? header.nal_len
                              : static_cast<int>(sizeof m_vpsCopy);
            std::memcpy(m_vpsCopy, payload, static_cast<size_t>(m_vpsLength));
        }
        stage = 4;
        if (!m_decoder || Window() == 0) {
            SleepMs(RecH264Data::SLEEP_TIME);
            RecH264Data::DbgviewLog(5, std::string("Decode or window is none,return"));
            return;
        }
        const int fps = header.fbs >= 1 && header.fbs <= 30 ? header.fbs : 25;
        m_frameRate = fps;
        m_frameInterval = 1000 / fps;
        if (type == 7 || type == 1)
            ++m_videoFrames;
        if (type == 33 && m_vpsLength > 0)
            m_decoder->DecodeH264ToYUV12(m_vpsCopy, m_vpsLength);
        stage = 5;
        if (!m_decoder->DecodeH264ToYUV12(payload, header.nal_len))
            return;
        ++m_decodedPictures;
        stage = 6;
        if (mode == 0) {
            DeliverLivePicture(header);
            return;
        }
        const int dts = FileModeTiming(state);
        stage = 7;
        TakePicture();
        if (m_seiPending) {
            WatermarkCheck();
            m_seiPending = false;
        } else if (type == 5) {
            WatermarkCheck();
            // A record is good for the key picture it came with only.
            std::memset(m_seiInfo, 0, sizeof m_seiInfo);
            m_seiLength = 0;
        }
        DisplayHook();
        ColorAdjustHook();
        DecodeHook();
        m_pictureShown = true;
        DrawOverlays();
        PaceFilePicture(state, dts);
    } catch (...) {
        RecH264Data::DbgviewLog(11, "Deconal catch %d", stage);
    }
}

void DDrawSession::DeliverLivePicture(const H264_PARAM& header) {
    const int w = m_width;
    const int h = m_height;
    const H264_DEC_FRAME& frame = m_decoder->Frame();
    DECODED_FRAME entry;
    entry.param = header;
    entry.width = w;
    entry.height = h;
    entry.strides[0] = w;
    entry.strides[1] = w / 2;
    entry.strides[2] = w / 2;
    const size_t luma = static_cast<size_t>(w) * h;
    entry.picture.reset(new unsigned char[luma * 3 / 2]);
    std::memcpy(entry.picture.get(), frame.pY, luma);
    std::memcpy(entry.picture.get() + luma, frame.pU, luma / 4);
    std::memcpy(entry.picture.get() + luma + luma / 4, frame.pV, luma / 4);
    // The bounded queue makes decoding wait for the renderer.
    while (PlayState() != qx::kStateStop) {
        const qx::WakeBoard::Ticket ticket = m_wake.Take();
        {
            CAutoLock lock(&m_renderQueueLock);
            if (static_cast<int>(m_renderQueue.size()) < qx::kRenderQueueDepth) {
                m_renderQueue.push_back(std::move(entry));
                m_wake.Post(qx::WakeBoard::kRender);
                return;
            }
        }
        m_wake.Wait(ticket, qx::WakeBoard::Bit(qx::WakeBoard::kRender), kRenderQueueWaitMs);
    }
}

int DDrawSession::FileModeTiming(int state) {
    H264_PARAM& header = m_curVideoHeader;
    header.idx = m_videoFrames;
    {
        CAutoLock lock(&m_curPtsLock);
        int64_t ms = 0;
        bool timed = true;
        if (header.ver == 2) {
            ms = header.pts / 1000;
        } else if (header.ver == 1) {
            header.idx = PlayedFrameNumber();
            ms = (header.idx - kStartFrameNumber) * m_frameInterval;
        } else {
            timed = false;
        }
        if (timed) {
            if (m_lastPts != 0) {
                CAutoLock clockLock(&m_clockLock);
                m_videoPlayed += ms - m_lastPts;
            }
            m_curFrameTime = ms;
            header.pts = m_lastPts != 0 ? ms - m_lastPts : 0;
            m_lastPts = ms;
            if (m_keyFrameSeen) {
                CAutoLock clockLock(&m_clockLock);
                m_audioPlayed = m_videoPlayed;
                header.pts = 0;
                m_keyFrameSeen = false;
            }
        }
    }
    int64_t dts = header.pts;
    if (state >= -16 && state <= -2)
        dts *= -state;
    if (state == qx::kStateNormal)
        RecH264Data::DbgviewLog(11, "dts=%d", static_cast<int>(dts));
    ++m_decodedPictures;
    return static_cast<int>(dts);
}

void DDrawSession::TakePicture() {
    const int w = m_width;
    const int h = m_height;
    const H264_DEC_FRAME& frame = m_decoder->Frame();
    CAutoLock lock(&m_pictureLock);
    if (!m_YUVData || w != m_pictureWidth || h != m_pictureHeight)
        return;
    {
        CAutoLock infoLock(&m_frameInfoLock);
        m_frameInfo = frame;
        m_frameDescription = qx::DescribeFrame(
            static_cast<int32_t>(frame.width), static_cast<int32_t>(frame.height),
            static_cast<int32_t>(frame.yStride), static_cast<int32_t>(frame.uvStride),
            static_cast<int32_t>(frame.frameType), m_curVideoHeader.knd);
    }
    const size_t luma = static_cast<size_t>(w) * h;
    std::memcpy(m_YUVData.get(), frame.pY, luma);
    std::memcpy(m_YUVData.get() + luma, frame.pU, luma / 4);
    std::memcpy(m_YUVData.get() + luma + luma / 4, frame.pV, luma / 4);
    m_planes[0] = m_YUVData.get();
    m_planes[1] = m_YUVData.get() + luma;
    m_planes[2] = m_YUVData.get() + luma + luma / 4;
}

void DDrawSession::UpdatePlayedTime() {
    CAutoLock clockLock(&m_clockLock);
    CAutoLock timeLock(&m_playTimeLock);
    m_nPlayTm = m_videoPlayed;
}

void DDrawSession::PaceFilePicture(int state, int dts) {
    const int mode = OpenMode();
    const int interval = m_frameInterval;
    const int64_t frequency = m_frequency;
    const auto elapsedSince = [frequency](int64_t start) {
        return RecH264Data::GetUs(start, qx::QueryPerformanceCounter(), frequency, true);
    };
    if (state == qx::kStateNormal) {
        RenderCurrent();
        UpdatePlayedTime();
        if (mode == 3)
            return;
        const int64_t elapsed = elapsedSince(m_frameStart);
        const int64_t sleep = LipSyncSleep(dts - elapsed);
        RecH264Data::DbgviewLog(5, "curRunTime = %" PRId64, elapsed);
        RecH264Data::DbgviewLog(51, "preFrmSleep = %" PRId64 ",curRunTime=%d,dts=%d", sleep,
                                static_cast<int>(elapsed), dts);
        if (sleep > 0) {
            const int64_t cap = mode == 1 ? 3 * interval : interval;
            SleepMs(static_cast<long>(sleep < cap ? sleep : cap));
        } else {
            SleepMs(1);
        }
    } else if (state >= 2 && state <= 16) {
        RenderCurrent();
        if (mode == 1) {
            UpdatePlayedTime();
            const int64_t sleep = dts / state - elapsedSince(m_frameStart);
            SleepMs(sleep > 0 ? static_cast<long>(sleep) : 1);
            RecH264Data::DbgviewLog(5, "EX_PLAY2X preFrmSleep=%d", static_cast<int>(sleep));
            RecH264Data::DbgviewLog(5, "EX_PLAY2X frameTime=%d,videoBuf.param.idx = %d", interval,
                                    static_cast<int>(m_curVideoHeader.idx));
        } else {
            SleepMs(interval / state);
        }
    } else if (state >= -16 && state <= -2) {
        RenderCurrent();
        UpdatePlayedTime();
        int64_t clockStart;
        {
            CAutoLock lock(&m_stateLock);
            clockStart = m_playClockStart;
        }
        const int64_t sleep = dts - elapsedSince(clockStart);
        const int64_t cap = static_cast<int64_t>(-state) * interval;
        const int64_t v = (sleep <= 0 || sleep >= cap) ? cap : sleep;
        if (interval <= 0)
            return;
        // In slices of one interval, so that a speed change takes effect within one.
        SleepMs(static_cast<long>(v % interval));
        for (int64_t slice = 0; slice < v / interval && PlayState() == state; ++slice)
            SleepMs(interval);
    } else if (state == qx::kStatePause) {
        while (PlayState() == qx::kStatePause) {
            Redraw();
            SleepMs(kPauseRedrawMs);
        }
        CAutoLock stateLock(&m_stateLock);
        m_playClockStart = qx::QueryPerformanceCounter();
        CAutoLock timeLock(&m_playTimeLock);
        m_savedPlayedTime = m_nPlayTm;
    } else if (state == qx::kStateStep) {
        --m_stepCount;
        while (m_stepCount.load() <= 0 && PlayState() == qx::kStateStep) {
            Redraw();
            SleepMs(kStepRedrawMs);
        }
    } else if (state == qx::kStateBack) {
        RenderCurrent();
        UpdatePlayedTime();
        const int w = m_width;
        SleepMs(w >= 1920 ? 200 : (w >= 1280 ? 100 : 80));
    }
}
