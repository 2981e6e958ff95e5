#include "session/AudioPath.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <string>

#include "log/Log.h"

namespace {

constexpr int kAudioFrameBytes = 160;
constexpr int kMaxAudioPayload = 1600;
constexpr int kDecodedFrameBytes = 320;
constexpr int kVer1FrameUs = 20000;
// One byte a sample at 8 kHz.
constexpr int64_t kSampleUs = 125;
constexpr int64_t kAudioFrameUs = kAudioFrameBytes * kSampleUs;
constexpr int kLiveAudioBacklog = 20;
constexpr int32_t kDefaultVolume = -2000;
// The longest the parser waits at a full queue before it looks at the player again.
constexpr long kFullQueueWaitMs = 10;

// Pushed streams and files record their sound as it passes, heard or not.
bool RecordsSound(int mode) {
    return mode == qx::kModePushed || mode == qx::kModeFile;
}

bool IsAudioKind(int kind) {
    return kind == qx::kKindAudio1 || kind == qx::kKindPcm8 || kind == qx::kKindAudio3;
}

}  // namespace

AudioPath::AudioPath(PortStatus& status, SessionSignals& signals, PlayClock& clock,
                     Recorder& recorder, CStreamAudioHandler& handler)
    : m_status(status),
      m_signals(signals),
      m_clock(clock),
      m_recorder(recorder),
      m_handler(handler),
      m_AudioCirQueue(std::make_unique<AudioCirQueue>()) {
    m_AudioCirQueue->Initialise(qx::kLiveAudioQueue);
}

AudioPath::~AudioPath() {
    ClosePlayer();
}

int AudioPath::PlaySound() {
    if (m_soundEnabled)
        return 1;
    m_AudioCirQueue->Clear();
    m_soundEnabled = true;
    m_signals.parser.Post(qx::WakeSignal::kState);
    return 1;
}

int AudioPath::StopSound() {
    // A player made anew later starts at the default volume, as a new one does.
    m_volume = kDefaultVolume;
    DisableSound();
    return 1;
}

void AudioPath::DisableSound() {
    m_soundEnabled = false;
    m_signals.parser.Post(qx::WakeSignal::kState);
}

bool AudioPath::SetVolume(int32_t volume) {
    if (!m_soundEnabled)
        return false;
    m_volume = volume;
    CAutoLock lock(&m_playerLock);
    if (m_player)
        m_player->SetVolume(volume);
    return true;
}

uint16_t AudioPath::VolumeForExport() {
    if (!m_soundEnabled)
        return 0;
    if (!PlayerIsOpen())
        return 10000;
    return static_cast<uint16_t>(m_volume.load() + 10000);
}

std::string AudioPath::SinkName() {
    CAutoLock lock(&m_playerLock);
    return m_player && m_player->IsOpened() ? m_player->SinkName() : "";
}

bool AudioPath::PlayerIsOpen() {
    CAutoLock lock(&m_playerLock);
    return m_player && m_player->IsOpened();
}

int64_t AudioPath::QueuedMs(bool withPartInHand) {
    CAutoLock lock(&m_playerLock);
    return m_player ? m_player->QueuedMs(withPartInHand) : 0;
}

void AudioPath::ServicePlayer() {
    if (m_soundEnabled) {
        if (!m_player) {
            auto player = std::make_unique<CStreamAudio>();
            player->SetVolume(m_volume);
            CAutoLock lock(&m_playerLock);
            m_player = std::move(player);
        }
        return;
    }
    ClosePlayer();
}

void AudioPath::ClosePlayer() {
    std::unique_ptr<CStreamAudio> player;
    {
        CAutoLock lock(&m_playerLock);
        player.swap(m_player);
    }
    // Joins its feeding thread, which takes no lock the caller holds.
    if (player)
        player->Close();
}

void AudioPath::SetUpPlayer(int knd) {
    if (m_player->IsOpened()) {
        ClosePlayer();
        ServicePlayer();
    }
    m_player->SetVolume(m_volume);
    m_player->Open(m_status.window.load(), &m_handler, 1, 8000, knd == qx::kKindPcm8 ? 8 : 16, knd);
}

bool AudioPath::Hears(const H264_PARAM& header) const {
    return header.nal_len >= 0 && header.nal_len <= kMaxAudioPayload && m_soundEnabled;
}

bool AudioPath::Wants(const H264_PARAM& header) const {
    return IsAudioKind(header.knd) && (RecordsSound(m_status.OpenMode()) || Hears(header));
}

void AudioPath::AudioStep(const H264_PARAM& header, const unsigned char* packet, int packetLength) {
    if (!IsAudioKind(header.knd))
        return;
    if (RecordsSound(m_status.OpenMode()))
        m_recorder.Push(packet, packetLength);
    if (!Hears(header))
        return;
    qx::log::DbgviewLog(5, std::string("PLAY SOUND 3"));
    ServicePlayer();
    if (!m_player)
        return;
    if (m_player->GetFormatId() != header.knd) {
        m_AudioCirQueue->Clear();
        SetUpPlayer(header.knd);
    }
    {
        // Exactly the payload: the four trailer bytes behind it are not sound.
        const int payload = std::min(header.nal_len, packetLength - qx::kHeaderSize);
        CAutoLock lock(&m_stageLock);
        m_curAudio.param = header;
        m_curAudio.param.nal_len = payload > 0 ? payload : 0;
        if (payload > 0)
            std::memcpy(m_curAudio.data, packet + qx::kHeaderSize, payload);
    }
    qx::log::DbgviewLog(5, "audio pts =%" PRId64, header.pts);
    if (!m_status.keyFrameWait)
        DecodeVioce();
}

void AudioPath::DecodeVioce() {
    try {
        unsigned char work[kMaxAudioPayload + kAudioFrameBytes];
        H264_PARAM header;
        int frames = 0;
        {
            CAutoLock lock(&m_stageLock);
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
            // The frames start where the carried bytes began, before this packet.
            header.pts -= carried * kSampleUs;
            if (header.knd == qx::kKindPcm8) {
                // Signed 8-bit samples to the unsigned ones the sound card plays.
                for (int i = 0; i < frames * kAudioFrameBytes; ++i)
                    work[i] = static_cast<unsigned char>(work[i] + 0x80);
            }
        }
        FRAME_BUF frame;
        for (int i = 0; i < frames; ++i) {
            // Each frame at its own time, so that the audio clock moves with every one.
            frame.param = header;
            frame.param.pts = header.pts + i * kAudioFrameUs;
            frame.param.nal_len = kAudioFrameBytes;
            std::memcpy(frame.data, work + i * kAudioFrameBytes, kAudioFrameBytes);
            std::memset(frame.data + kAudioFrameBytes, 0, sizeof frame.data - kAudioFrameBytes);
            if (!QueueAudioFrame(frame))
                break;
        }
    } catch (...) {
        qx::log::DbgviewLog(5, "5533,DDrawSession::DecodeVioce Catch Error!,sid=" +
                                   std::to_string(m_status.sessionId));
    }
}

bool AudioPath::QueueAudioFrame(const FRAME_BUF& frame) {
    const int mode = m_status.OpenMode();
    // A live port keeps the newest sound; a file waits, since none of it may be lost.
    const bool fileLike = mode == qx::kModePushed || mode == qx::kModeFile;
    if (frame.param.knd == qx::kKindPcm8 && !fileLike) {
        for (;;) {
            const int state = m_status.PlayState();
            if (m_status.Ending())
                return true;
            // Sound that cannot be played yet waits with the rest of the stream.
            if (state == qx::kStatePause && m_AudioCirQueue->IsFull()) {
                m_signals.parser.Wait(qx::WakeSignal::kAudioSpace);
                continue;
            }
            if (m_player && !m_player->IsOpened())
                m_AudioCirQueue->Clear();
            if (m_AudioCirQueue->Push(frame))
                return true;
            m_AudioCirQueue->DropOldest();
        }
    }
    while (!m_AudioCirQueue->Push(frame)) {
        const int state = m_status.PlayState();
        if (m_status.Ending())
            return true;
        qx::log::DbgviewLog(4, std::string("------------------------audio queue is full"));
        if (qx::IsFastState(state) || (state >= -16 && state <= 0)) {
            m_AudioCirQueue->DropOldest();
            continue;
        }
        if (state == qx::kStatePause || state == qx::kStateStep) {
            // Paused, the sound waits with the rest of the stream instead of going.
            m_signals.parser.Wait(qx::WakeSignal::kAudioSpace);
            continue;
        }
        if (m_player && m_player->IsOpened()) {
            // The player drains the queue.
            m_signals.parser.Wait(qx::WakeSignal::kAudioSpace, kFullQueueWaitMs);
            continue;
        }
        if (m_player)
            m_AudioCirQueue->Clear();
        if (m_status.notDataCount == 0)
            return false;
        qx::log::DbgviewLog(4, std::string("------------------------queue is full, reset"));
        m_AudioCirQueue->Clear();
        return true;
    }
    return true;
}

void AudioPath::AccountAudioFrame(FRAME_BUF& frame) {
    m_status.consumedBytes += frame.param.nal_len + qx::kHeaderSize;
    if (frame.param.ver == 1)
        frame.param.pts = m_audioFrameNumber++ * kVer1FrameUs;
    m_clock.AdvanceAudio(frame.param.pts + kAudioFrameUs, false, true);
}

void AudioPath::AccountAudioFrames(int state) {
    FRAME_BUF frame;
    if (state > 1) {
        while (m_status.PlayState() >= 1 && m_clock.AudioBehindVideo() &&
               m_AudioCirQueue->Pop(&frame))
            AccountAudioFrame(frame);
    } else if (state == qx::kStateBack) {
        if (!m_AudioCirQueue->Pop(&frame))
            return;
        AccountAudioFrame(frame);
        while (m_status.PlayState() == qx::kStateBack && !m_clock.AudioBehindVideo() &&
               m_AudioCirQueue->Pop(&frame))
            AccountAudioFrame(frame);
    } else if (m_clock.AudioBehindVideo() && m_AudioCirQueue->Pop(&frame)) {
        AccountAudioFrame(frame);
    }
}

bool AudioPath::DecodeAudioFrame(FRAME_BUF& frame, int* length) {
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

bool AudioPath::DropLate(const FRAME_BUF& frame) {
    const int queued = m_AudioCirQueue->Count();
    if (queued <= kLiveAudioBacklog)
        return false;
    qx::log::DbgviewLog(0, std::string("----------------------nAQueNum > 20"));
    const int64_t picture = m_clock.LivePts();
    if (frame.param.pts < picture && m_status.frameRate.load() != 1 && picture != 0) {
        qx::log::DbgviewLog(0, "nAQueNum =" + std::to_string(queued) +
                                   ", tmpBuf.param.pts < m_lCurVPlayPts,del audio packet");
        return true;
    }
    return false;
}

bool AudioPath::StartFileSound(FRAME_BUF& frame) {
    if (m_status.decodedPictures == 0)
        return false;
    if (!m_audioStart)
        return true;
    if (frame.param.ver == 1) {
        frame.param.pts = 0;
        m_audioFrameNumber = 0;
    }
    // What is handed over now is heard only after the player's queue: start that far
    // ahead of the picture on screen, so the two meet at the listener.
    const int64_t queued = QueuedMs(false);
    const int64_t picture = m_clock.StartAudio(frame.param.pts / 1000);
    m_audioSkipUntil = picture + queued;
    m_audioStart = false;
    // The clocks are set right here: a state change before the start has nothing
    // left to resynchronise.
    m_status.resync = false;
    return true;
}

void AudioPath::OnAudioData(unsigned char* buffer, int32_t bytes) {
    if (!m_soundEnabled || buffer == nullptr || bytes <= 0)
        return;
    CAutoLock feeding(&m_audioOutLock);
    int filled = 0;
    FRAME_BUF frame;
    const int mode = m_status.OpenMode();
    // Pushed streams and files keep sound and picture together by their clocks.
    const bool fileLike = mode == qx::kModePushed || mode == qx::kModeFile;
    while (filled < bytes) {
        const int state = m_status.PlayState();
        if (state == qx::kStatePause)
            break;
        if (state != qx::kStateNormal) {
            AccountAudioFrames(state);
            break;
        }
        if (!m_AudioCirQueue->Pop(&frame))
            break;
        m_status.consumedBytes += frame.param.nal_len + qx::kHeaderSize;
        if (qx::IsLiveMode(mode) && DropLate(frame))
            continue;
        if (fileLike && !StartFileSound(frame))
            continue;
        if (frame.param.ver == 1)
            frame.param.pts = m_audioFrameNumber++ * kVer1FrameUs;
        if (fileLike && frame.param.pts / 1000 < m_audioSkipUntil)
            continue;
        ++m_status.deliveredAudioFrames;
        m_status.notDataCount = 0;
        // The clock stands at the end of what has been handed over: all of the frame.
        if (fileLike)
            m_clock.AdvanceAudio(frame.param.pts + kAudioFrameUs, m_status.resync.exchange(false),
                                 false);
        int length = 0;
        if (!DecodeAudioFrame(frame, &length))
            continue;
        // Never past the request, whatever the frame's size.
        const int take = std::min(length, bytes - filled);
        std::memcpy(buffer + filled, frame.data, take);
        filled += take;
    }
    m_signals.parser.Post(qx::WakeSignal::kAudioSpace);
}

int64_t AudioPath::AudioVideoOffsetMs() {
    // The audio clock counts sound handed to the player; the listener hears it a
    // queue later, and that is the sound the picture must meet.
    return m_clock.VideoAheadOfAudio(QueuedMs(true));
}

int64_t AudioPath::HeardOffsetMs() {
    const int64_t offset = AudioVideoOffsetMs();
    if (m_status.PlayState() != qx::kStateNormal)
        return offset;
    return offset + std::min<int64_t>(m_clock.VideoShownForMs(), m_status.frameInterval.load());
}

int64_t AudioPath::LipSyncSleep(int64_t sleep) {
    const int mode = m_status.OpenMode();
    if (mode != qx::kModePushed && mode != qx::kModeFile)
        return sleep;
    // Before the first sound there is no audio clock to follow.
    if (!m_soundEnabled || m_audioStart || m_AudioCirQueue->IsEmpty() || !PlayerIsOpen())
        return sleep;
    const auto difference = static_cast<int32_t>(AudioVideoOffsetMs());
    const int interval = m_status.frameInterval;
    // Within one picture interval the ear cannot tell; beyond it one interval is
    // made up per picture.
    if (m_status.resync || (difference < interval && difference > -interval))
        return sleep;
    return difference >= 0 ? sleep + interval : sleep - interval;
}

void AudioPath::Reset() {
    {
        CAutoLock lock(&m_stageLock);
        m_audioCarry.param.nal_len = 0;
        m_curAudio.param.nal_len = 0;
    }
    m_AudioCirQueue->Clear();
}
