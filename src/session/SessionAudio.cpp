// The audio path: the parser's audio step, cutting payloads into frames, the sound
// player's callback with its clocks, and the lip sync of the file modes.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <string>

#include "log/RecH264Data.h"
#include "platform/Clock.h"
#include "session/DDrawSession.h"

namespace {

constexpr int kAudioFrameBytes = 160;
constexpr int kMaxAudioPayload = 1600;
constexpr int kDecodedFrameBytes = 320;
constexpr int kVer1FrameUs = 20000;
constexpr int kLiveAudioBacklog = 20;

bool IsAudioKind(int kind) {
    return kind == qx::kKindAudio1 || kind == qx::kKindPcm8 || kind == qx::kKindAudio3;
}

}  // namespace

std::shared_ptr<CStreamAudio> DDrawSession::Player() {
    CAutoLock lock(&m_playerLock);
    return m_player;
}

int DDrawSession::PlaySound() {
    if (m_soundEnabled)
        return 1;
    {
        CAutoLock lock(&m_playerLock);
        if (!m_player)
            m_player = std::make_shared<CStreamAudio>();
    }
    m_AudioCirQueue->Clear();
    CAutoLock control(&m_controlLock);
    m_soundEnabled = true;
    return 1;
}

int DDrawSession::StopSound() {
    m_soundEnabled = false;
    std::shared_ptr<CStreamAudio> player;
    {
        CAutoLock lock(&m_playerLock);
        player.swap(m_player);
    }
    if (player)
        player->Close();
    return 1;
}

bool DDrawSession::SetVolume(int32_t volume) {
    const std::shared_ptr<CStreamAudio> player = Player();
    return player && player->SetVolume(volume) == 1;
}

uint16_t DDrawSession::VolumeForExport() {
    const std::shared_ptr<CStreamAudio> player = Player();
    if (!player || !m_soundEnabled)
        return 0;
    int32_t volume = 0;
    if (player->GetVolume(&volume) == 0)
        return 10000;
    return static_cast<uint16_t>(volume + 10000);
}

int64_t DDrawSession::AudioVideoOffsetMs() {
    const std::shared_ptr<CStreamAudio> player = Player();
    // The audio clock counts sound handed to the player; the listener hears it a
    // queue later, and that is the sound the picture must meet.
    const int64_t queued = player ? player->QueuedMs() : 0;
    CAutoLock lock(&m_clockLock);
    return m_videoPlayed - (m_audioPlayed - queued);
}

void DDrawSession::AudioStep(const H264_PARAM& header, int packetLength) {
    if (!IsAudioKind(header.knd))
        return;
    if (header.nal_len < 0 || header.nal_len > kMaxAudioPayload || !m_soundEnabled)
        return;
    RecH264Data::DbgviewLog(5, std::string("PLAY SOUND 3"));
    std::shared_ptr<CStreamAudio> player = Player();
    if (!player)
        return;
    if (player->GetFormatId() != header.knd) {
        m_AudioCirQueue->Clear();
        if (player->IsOpened()) {
            int32_t volume = -2000;
            player->GetVolume(&volume);
            // Closing joins the old player's feeding thread: at most one wait of it.
            player->Close();
            auto replacement = std::make_shared<CStreamAudio>();
            replacement->SetVolume(volume);
            CAutoLock lock(&m_playerLock);
            if (m_player != player)
                return;
            m_player = replacement;
            player = replacement;
        }
        player->Open(Window(), this, 1, 8000, header.knd == qx::kKindPcm8 ? 8 : 16, header.knd);
    }
    {
        // Exactly the payload: the four trailer bytes behind it are not sound.
        const int payload = std::min(header.nal_len, packetLength - qx::kHeaderSize);
        CAutoLock lock(&m_audioStageLock);
        m_curAudio.param = header;
        m_curAudio.param.nal_len = payload > 0 ? payload : 0;
        if (payload > 0)
            std::memcpy(m_curAudio.data, m_packetBuf.get() + qx::kHeaderSize, payload);
    }
    RecH264Data::DbgviewLog(5, "audio pts =%" PRId64, header.pts);
    if (!m_keyFrameWait)
        DecodeVioce();
}

void DDrawSession::DecodeVioce() {
    try {
        unsigned char work[kMaxAudioPayload + kAudioFrameBytes];
        H264_PARAM header;
        int frames = 0;
        {
            CAutoLock lock(&m_audioStageLock);
            int carried = m_audioCarry.param.nal_len;
            const int payload = m_curAudio.param.nal_len;
            if (carried > 0 && carried + payload > kMaxAudioPayload)
                carried = 0;
            if (carried > 0)
                std::memcpy(work, m_audioCarry.data, carried);
            std::memcpy(work + carried, m_curAudio.data, payload);
            const int total = carried + payload;
            header = m_curAudio.param;
            m_audioCarry.param = m_curAudio.param;
            frames = total / kAudioFrameBytes;
            const int rest = total % kAudioFrameBytes;
            if (rest > 0)
                std::memcpy(m_audioCarry.data, work + frames * kAudioFrameBytes, rest);
            m_audioCarry.param.nal_len = rest;
            if (header.knd == qx::kKindPcm8) {
                // Signed 8-bit samples to the unsigned ones the sound card plays.
                for (int i = 0; i < frames * kAudioFrameBytes; ++i)
                    work[i] = static_cast<unsigned char>(work[i] + 0x80);
            }
        }
        FRAME_BUF frame;
        for (int i = 0; i < frames; ++i) {
            frame.param = header;
            frame.param.nal_len = kAudioFrameBytes;
            std::memcpy(frame.data, work + i * kAudioFrameBytes, kAudioFrameBytes);
            std::memset(frame.data + kAudioFrameBytes, 0, sizeof frame.data - kAudioFrameBytes);
            if (!QueueAudioFrame(frame))
                break;
        }
    } catch (...) {
        RecH264Data::DbgviewLog(5, "5533,DDrawSession::DecodeVioce Catch Error!" + Description());
    }
}

bool DDrawSession::QueueAudioFrame(const FRAME_BUF& frame) {
    if (frame.param.knd == qx::kKindPcm8) {
        for (;;) {
            const int state = PlayState();
            if (state == qx::kStatePause || state == qx::kStateStop)
                return true;
            const std::shared_ptr<CStreamAudio> player = Player();
            if (player && !player->IsOpened())
                m_AudioCirQueue->Clear();
            if (m_AudioCirQueue->Push(frame))
                return true;
            m_AudioCirQueue->DropOldest();
            SleepMs(1);
        }
    }
    while (!m_AudioCirQueue->Push(frame)) {
        const int state = PlayState();
        if (state == qx::kStateStop)
            return true;
        RecH264Data::DbgviewLog(4, std::string("------------------------audio queue is full"));
        if ((state >= 2 && state <= 16) || (state >= -16 && state <= 0)) {
            m_AudioCirQueue->DropOldest();
            SleepMs(1);
            continue;
        }
        if (state == qx::kStatePause || state == qx::kStateStep)
            return true;
        const std::shared_ptr<CStreamAudio> player = Player();
        if (player && player->IsOpened()) {
            // The player drains the queue.
            SleepMs(10);
            continue;
        }
        if (player)
            m_AudioCirQueue->Clear();
        if (m_nNotDataCnt == 0)
            return false;
        RecH264Data::DbgviewLog(4, std::string("------------------------queue is full, reset"));
        m_AudioCirQueue->Clear();
        return true;
    }
    return true;
}

void DDrawSession::AdvanceAudioClock(int64_t pts, bool resync, bool startIfUnset) {
    const int64_t t = pts / 1000;
    int64_t delta;
    {
        CAutoLock lock(&m_curPtsLock);
        // Trick play may run before any sound did: its first frame starts the clock.
        if (startIfUnset && m_audioRefTime == 0)
            m_audioRefTime = t;
        delta = t - m_audioRefTime;
        m_audioRefTime = t;
    }
    if (resync)
        delta = 0;
    CAutoLock lock(&m_clockLock);
    m_audioPlayed += delta;
}

void DDrawSession::RecordAudioFrame(const FRAME_BUF& frame) {
    const int mode = OpenMode();
    if (!m_recording || (mode != 1 && mode != 2))
        return;
    unsigned char packet[qx::kHeaderSize + kAudioFrameBytes + qx::kTrailerSize];
    H264_PARAM header = frame.param;
    header.nal_len = kAudioFrameBytes;
    std::memcpy(packet, &header, qx::kHeaderSize);
    std::memcpy(packet + qx::kHeaderSize, frame.data, kAudioFrameBytes);
    // 8-bit sound was made unsigned for the sound card; the file keeps it as it came.
    if (header.knd == qx::kKindPcm8) {
        for (int i = 0; i < kAudioFrameBytes; ++i)
            packet[qx::kHeaderSize + i] ^= 0x80;
    }
    std::memset(packet + qx::kHeaderSize + kAudioFrameBytes, 0xFF, qx::kTrailerSize);
    RecordPush(packet, sizeof packet);
}

void DDrawSession::AccountAudioFrame(FRAME_BUF& frame) {
    m_consumedBytes += frame.param.nal_len + qx::kHeaderSize;
    RecordAudioFrame(frame);
    if (frame.param.ver == 1)
        frame.param.pts = m_audioFrameNumber++ * kVer1FrameUs;
    AdvanceAudioClock(frame.param.pts, false, true);
}

void DDrawSession::AccountAudioFrames(int state) {
    const auto audioBehind = [this] {
        CAutoLock lock(&m_clockLock);
        return m_audioPlayed < m_videoPlayed;
    };
    FRAME_BUF frame;
    if (state > 1) {
        while (PlayState() >= 1 && audioBehind() && m_AudioCirQueue->Pop(&frame))
            AccountAudioFrame(frame);
    } else if (state == qx::kStateBack) {
        if (!m_AudioCirQueue->Pop(&frame))
            return;
        AccountAudioFrame(frame);
        while (PlayState() == qx::kStateBack && !audioBehind() && m_AudioCirQueue->Pop(&frame))
            AccountAudioFrame(frame);
    } else if (audioBehind() && m_AudioCirQueue->Pop(&frame)) {
        AccountAudioFrame(frame);
    }
}

bool DDrawSession::DecodeAudioFrame(FRAME_BUF& frame, int* length) {
    if (frame.param.knd == qx::kKindPcm8) {
        *length = kAudioFrameBytes;
        return true;
    }
    const int type = frame.param.knd == qx::kKindAudio1 ? 1 : 2;
    if (!mAudioDecodec || mAudioDecodec->GetAudioType() != type) {
        mAudioDecodec = std::make_unique<VoiceDecode>();
        if (!mAudioDecodec->DecodeVioceInit(type))
            return false;
    }
    alignas(int16_t) unsigned char input[4 + kAudioFrameBytes] = {0x00, 0x01, 0x50, 0x00};
    std::memcpy(input + 4, frame.data, kAudioFrameBytes);
    int16_t output[kDecodedFrameBytes / 2] = {};
    int16_t samples = kDecodedFrameBytes / 2;
    if (mAudioDecodec->DecodeVioce(reinterpret_cast<const int16_t*>(input), output, samples) != 0)
        return false;
    std::memcpy(frame.data, output, kDecodedFrameBytes);
    *length = kDecodedFrameBytes;
    return true;
}

void DDrawSession::OnAudioData(unsigned char* buffer, int32_t bytes) {
    if (!m_soundEnabled || buffer == nullptr || bytes <= 0)
        return;
    CAutoLock feeding(&m_audioOutLock);
    int filled = 0;
    FRAME_BUF frame;
    while (filled < bytes) {
        const int state = PlayState();
        if (state == qx::kStatePause)
            return;
        if (state != qx::kStateNormal) {
            AccountAudioFrames(state);
            return;
        }
        if (!m_AudioCirQueue->Pop(&frame))
            return;
        m_consumedBytes += frame.param.nal_len + qx::kHeaderSize;
        const int mode = OpenMode();
        if (mode == 0 || mode == 3) {
            const int queued = m_AudioCirQueue->Count();
            if (queued > kLiveAudioBacklog) {
                RecH264Data::DbgviewLog(0, std::string("----------------------nAQueNum > 20"));
                CAutoLock lock(&m_curPtsLock);
                if (frame.param.pts < m_lCurVPlayPts && FrameRate() != 1 && m_lCurVPlayPts != 0) {
                    RecH264Data::DbgviewLog(
                        0, "nAQueNum =" + std::to_string(queued) +
                               ", tmpBuf.param.pts < m_lCurVPlayPts,del audio packet");
                    continue;
                }
            }
        }
        if (mode == 1) {
            // Sound waits for the first picture, then both clocks start together.
            if (m_decodedPictures == 0)
                continue;
            if (m_audioStart) {
                if (frame.param.ver == 1) {
                    frame.param.pts = 0;
                    m_audioFrameNumber = 0;
                }
                // What is handed over now is heard only after the player's queue:
                // start that far ahead of the picture on screen, so the two meet at
                // the listener.
                const std::shared_ptr<CStreamAudio> player = Player();
                const int64_t queued = player ? player->QueuedMs(false) : 0;
                int64_t picture;
                {
                    CAutoLock lock(&m_curPtsLock);
                    m_audioStartTime = frame.param.pts / 1000;
                    m_audioRefTime = m_audioStartTime;
                    picture = m_curFrameTime;
                }
                m_audioSkipUntil = picture + queued;
                m_audioClockStart = qx::QueryPerformanceCounter();
                m_audioStart = false;
                // The clocks are set right here: a state change before the start has
                // nothing left to resynchronise.
                m_resync = false;
                // Both clocks count the same stream time from here on, even when the
                // first sound is not that of the first picture.
                CAutoLock lock(&m_clockLock);
                m_audioPlayed = m_videoPlayed + (m_audioStartTime - picture);
            }
        }
        if (frame.param.ver == 1)
            frame.param.pts = m_audioFrameNumber++ * kVer1FrameUs;
        if (mode == 1 && frame.param.pts / 1000 < m_audioSkipUntil)
            continue;
        ++m_deliveredAudioFrames;
        m_nNotDataCnt = 0;
        RecordAudioFrame(frame);
        if (mode == 1)
            AdvanceAudioClock(frame.param.pts, m_resync.exchange(false), false);
        int length = 0;
        if (!DecodeAudioFrame(frame, &length))
            continue;
        // Never past the request, whatever the frame's size.
        const int take = std::min(length, bytes - filled);
        std::memcpy(buffer + filled, frame.data, take);
        filled += take;
    }
}

int64_t DDrawSession::LipSyncSleep(int64_t sleep) {
    const int mode = OpenMode();
    if (mode != 1 && mode != 2)
        return sleep;
    const std::shared_ptr<CStreamAudio> player = Player();
    // The flag is read without the control lock, which Stop holds while it waits for
    // this thread. Before the first sound there is no audio clock to follow.
    if (!player || !m_soundEnabled || m_audioStart || m_AudioCirQueue->IsEmpty() ||
        !player->IsOpened())
        return sleep;
    const auto difference = static_cast<int32_t>(AudioVideoOffsetMs());
    const int interval = m_frameInterval;
    if (m_resync || (difference < 2 * interval && difference > -2 * interval))
        return sleep;
    return difference >= 0 ? sleep + interval : sleep - interval;
}
