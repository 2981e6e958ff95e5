#include "session/VideoPipeline.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <utility>

#include "decode/H265Decode.h"
#include "log/Log.h"
#include "stream/PacketBytes.h"
#include "session/SessionConstants.h"
#include "platform/Clock.h"
#include "stream/H264UtilsA.h"
#include "stream/NalTypes.h"
#include "stream/NalUnits.h"
#include "stream/SpsReader.h"

namespace {

constexpr int kEndOfDataMs = 400;

// "……………………" (ten GBK ellipses) in front of the end-of-data lines.
constexpr char kEllipsis10[] =
    "\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD\xA1\xAD";

bool IsParameterSet(int type) {
    return type == qx::kH264Sps || type == qx::kHevcSps || type == qx::kH264SubsetSps;
}

// Types a stream may start with: pictures in front of the first parameter set
// cannot be decoded and are skipped.
bool MayLeadStream(int type) {
    switch (type) {
        case qx::kH264Sps:
        case qx::kH264Pps:
        case qx::kH264Sei:
        case qx::kH264Idr:
        case qx::kHevcSps:
        case qx::kHevcIdrWithLeading:
        case qx::kHevcVps:
        case qx::kHevcPps:
        case qx::kH264SubsetSps:
        case qx::kH264SliceExtension:
            return true;
        default:
            return false;
    }
}

bool MayLeadStream(const qx::AccessUnit& au) {
    for (int i = 0; i < au.count; ++i) {
        if (MayLeadStream(au.units[i].type))
            return true;
    }
    return false;
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

VideoPipeline::VideoPipeline(PortStatus& status, SessionSignals& signals, PlayClock& clock,
                             Presenter& presenter, AudioPath& audio, Recorder& recorder,
                             HostCallbacks& callbacks, Watermark& watermark)
    : m_status(status),
      m_signals(signals),
      m_clock(clock),
      m_presenter(presenter),
      m_audio(audio),
      m_recorder(recorder),
      m_callbacks(callbacks),
      m_watermark(watermark),
      m_curPayload(qx::kStreamBufferSize) {}

VideoPipeline::~VideoPipeline() {
    DeletePictureObjects();
    mVideoDecodec.reset();
}

bool VideoPipeline::ParseSPSNAL(const unsigned char* payload, int length, int* width, int* height) {
    try {
        return qx::ReadH264PictureSize(payload, static_cast<size_t>(length), width, height);
    } catch (...) {
        qx::log::DbgviewLog(5, std::string("5509,DDrawSession::ParseSPSNAL Error"));
        return false;
    }
}

bool VideoPipeline::QueuePacket(const unsigned char* packet, int length, bool startsKey,
                                const std::function<bool()>& stale, bool mayWait) {
    while (!m_status.Ending()) {
        bool queued = false;
        {
            CAutoLock lock(&m_frameLock);
            // Every emptying clears this buffer after it counts: checked here, a stale
            // packet is either refused or cleared with the rest.
            if (stale()) {
                m_status.stats.NoteDropped(qx::CarriesPicture(packet, length) ? 1 : 0);
                return true;
            }
            if (length > m_frameBuf.Capacity())
                m_frameBuf.Grow(std::min(length, qx::kMaxStreamBufferSize));
            const int fill = m_frameBuf.Size();
            const bool fits = static_cast<int64_t>(fill) + length <= m_frameBuf.Capacity();
            const bool live = m_status.OpenMode() == qx::kModeLive;
            if (fits && m_status.keyFrameWait && !live) {
                if (!startsKey) {
                    // Nothing before the next key picture can be decoded after a seek.
                    m_audio.Queue().Clear();
                    m_frameBuf.Clear();
                    m_FrameBuffCount = 0;
                    return true;
                }
                m_status.keyFrameSeen = true;
                m_status.keyFrameWait = false;
            }
            if (fits && (!live || fill < 1)) {
                m_frameBuf.Append(packet, length);
                ++m_FrameBuffCount;
                qx::log::DbgviewLog(5, "m_FrameBuffCount = %d", m_FrameBuffCount);
                queued = true;
            }
        }
        if (queued) {
            m_signals.play.Post(qx::WakeSignal::kFrames);
            return true;
        }
        if (!mayWait)
            return false;
        m_signals.parser.Wait(qx::WakeSignal::kFrameSpace);
    }
    return true;
}

void VideoPipeline::ClearFrames() {
    {
        CAutoLock lock(&m_frameLock);
        // Whole packets only, back to back: what goes unplayed counts as dropped.
        int64_t pictures = 0;
        const unsigned char* data = m_frameBuf.Front();
        const int64_t size = m_frameBuf.Size();
        for (int64_t at = 0; at + qx::kPacketOverhead <= size;) {
            const int64_t length = qx::ReadHeader(data + at).nal_len + qx::kPacketOverhead;
            if (length < qx::kPacketOverhead || length > size - at)
                break;
            pictures += qx::CarriesPicture(data + at, length) ? 1 : 0;
            at += length;
        }
        m_status.stats.NoteDropped(pictures);
        m_frameBuf.Clear();
        m_FrameBuffCount = 0;
    }
    m_signals.parser.Post(qx::WakeSignal::kFrameSpace);
}

int VideoPipeline::FrameFill() {
    CAutoLock lock(&m_frameLock);
    return m_frameBuf.Size();
}

void VideoPipeline::BeginRun() {
    m_videoFrames = 0;
}

void VideoPipeline::ResetCounters() {
    m_endNotified = false;
    m_status.notDataCount = 0;
}

void VideoPipeline::PrepareForPlay() {
    ResetCounters();
    m_status.frameInterval = 40;
    m_status.frameRate = 25;
    SetPlayedFrameNumber(0);
}

void VideoPipeline::SetPlayedFrameNumber(int frame) {
    CAutoLock lock(&m_frameNumberLock);
    m_playedFrameNumber = frame;
}

int VideoPipeline::PlayedFrameNumber() {
    CAutoLock lock(&m_frameNumberLock);
    return m_playedFrameNumber;
}

bool VideoPipeline::CountingEndOfData() {
    return !qx::IsLiveMode(m_status.OpenMode()) && !m_endNotified && m_callbacks.WantsEnd();
}

long VideoPipeline::IdleWaitMs() {
    if (!CountingEndOfData())
        return -1;
    const int left = kEndOfDataMs + 1 - m_status.notDataCount.load();
    return left > 1 ? left : 1;
}

void VideoPipeline::NoteNoData(int waitedMs) {
    m_status.notDataCount += waitedMs > 1 ? waitedMs : 1;
    qx::log::DbgviewLog(11, "%sm_nNotDataCnt=%d", kEllipsis10, m_status.notDataCount.load());
    const HostCallbacks::Message message = m_callbacks.DecodeMessage();
    const HostCallbacks::FileEndCall fileEnd = m_callbacks.FileEnd();
    if (qx::IsLiveMode(m_status.OpenMode()) ||
        (message.function == nullptr && fileEnd.function == nullptr) ||
        m_status.notDataCount <= kEndOfDataMs || m_endNotified || m_status.keyFrameWait)
        return;
    m_presenter.SetPictureShown(false);
    m_endNotified = true;
    qx::log::DbgviewLog(5, std::string(kEllipsis10) + "Play End");
    if (message.function != nullptr)
        message.function(m_status.sessionId, 0, message.user);
    if (fileEnd.function != nullptr)
        fileEnd.function(m_status.sessionId, fileEnd.user);
    m_watermark.NotifyEnd();
}

bool VideoPipeline::SplitLeadingSei_locked(const H264_PARAM& header, int type) {
    if (type != qx::kH264Sei || header.nal_len <= 30 || m_keyParamSeen)
        return false;
    const unsigned char* payload = m_curPayload.data();
    const int sei = SeiLength(payload, header.nal_len);
    // A packet too short for its SEI is played as it is.
    if (sei <= 0 || sei >= header.nal_len ||
        !IsParameterSet(NalType(payload + sei, header.nal_len - sei, header.knd)))
        return false;
    m_keyParamSeen = true;
    H264_PARAM rest = header;
    rest.nal_len -= sei;
    unsigned char* front = m_frameBuf.MutableFront();
    std::memcpy(front + sei, &rest, sizeof rest);
    m_frameBuf.Consume(sei);
    ++m_FrameBuffCount;
    m_status.consumedBytes += sei;
    qx::log::DbgviewLog(5, std::string("first frame have sei and sps,return"));
    return true;
}

VideoPipeline::Taken VideoPipeline::TakePacket_locked(const H264_PARAM& header,
                                                      int64_t packetLength, int* type) {
    const int mode = m_status.OpenMode();
    const unsigned char* payload = m_curPayload.data();
    const int first = NalType(payload, header.nal_len, header.knd);
    if (first == qx::kH264Sei && header.nal_len > 30 && mode == qx::kModePushed)
        m_watermark.Decipher(payload, header.nal_len);
    if (SplitLeadingSei_locked(header, first))
        return Taken::kSkipped;
    if (mode == qx::kModePushed || mode == qx::kModeFile)
        m_recorder.Push(m_frameBuf.Front(), static_cast<int>(packetLength));
    m_frameBuf.Consume(static_cast<int>(packetLength));
    m_status.consumedBytes += packetLength;
    // Delimiters and SEI in front say nothing of what the packet holds.
    m_unit = qx::DescribeAccessUnit(payload, header.nal_len, header.knd == qx::kKindH264);
    *type = m_unit.leadType >= 0 ? m_unit.leadType : first;
    if (header.knd == qx::kKindH264 && m_unit.sliceType == qx::kH264Slice) {
        ++m_nonIdrCount;
    } else if (header.knd == qx::kKindH264 && m_unit.sliceType == qx::kH264Idr) {
        m_gopLength = m_nonIdrCount + 1;
        m_nonIdrCount = 0;
    }
    if (!MayLeadStream(m_unit) && !m_keyParamSeen) {
        m_clock.KeepSavedPlayedTime();
        qx::log::DbgviewLog(5, std::string("no sps return"));
        return Taken::kSkipped;
    }
    return Taken::kPicture;
}

VideoPipeline::Taken VideoPipeline::TakePacket(int* type, int* state) {
    Taken taken;
    {
        CAutoLock lock(&m_frameLock);
        taken = TakeFront_locked(type, state);
    }
    // Bytes left the buffer: a parser waiting for room may go on.
    if (taken != Taken::kNone)
        m_signals.parser.Post(qx::WakeSignal::kFrameSpace);
    return taken;
}

VideoPipeline::Taken VideoPipeline::TakeFront_locked(int* type, int* state) {
    const int fill = m_frameBuf.Size();
    if (fill < qx::kHeaderSize)
        return Taken::kNone;
    qx::log::DbgviewLog(5, "videoSrcBufSize=%d", fill);
    const H264_PARAM header = qx::ReadHeader(m_frameBuf.Front());
    const int64_t packetLength = static_cast<int64_t>(header.nal_len) + qx::kPacketOverhead;
    // Sizes first: a packet is copied only when it is all there.
    if (header.nal_len < 0 || packetLength > fill)
        return Taken::kNone;
    m_curVideoHeader = header;
    if (m_curPayload.size() < static_cast<size_t>(header.nal_len))
        m_curPayload.resize(static_cast<size_t>(header.nal_len));
    qx::FastMemcpy(m_curPayload.data(), static_cast<int64_t>(m_curPayload.size()),
                   m_frameBuf.Front() + qx::kHeaderSize, header.nal_len, 20002);
    --m_FrameBuffCount;
    *state = m_status.PlayState();
    {
        CAutoLock numberLock(&m_frameNumberLock);
        m_playedFrameNumber += *state == qx::kStateBack ? -1 : 1;
    }
    const Taken taken = TakePacket_locked(header, packetLength, type);
    *state = m_status.PlayState();
    return taken;
}

bool VideoPipeline::MakeDecoder(int kind, int width, int height) {
    mVideoDecodec.reset();
    if (kind == qx::kKindH264)
        mVideoDecodec = std::make_unique<H264Decode>();
    else if (kind == qx::kKindH265)
        mVideoDecodec = std::make_unique<H265Decode>();
    if (!mVideoDecodec)
        return false;
    mVideoDecodec->SetGiveUp([this] { return m_status.Ending(); });
    if (mVideoDecodec->CreateDecode(width, height, m_status.sessionId))
        return true;
    // Never keep a decoder that failed: the next parameter set tries again.
    mVideoDecodec.reset();
    return false;
}

void VideoPipeline::DeletePictureObjects() {
    if (m_status.OpenMode() != qx::kModeLive) {
        m_width = 0;
        m_height = 0;
        mVideoDecodec.reset();
    }
    m_presenter.DeletePictureObjects();
}

bool VideoPipeline::ApplyParameterSet() {
    const H264_PARAM& header = m_curVideoHeader;
    const unsigned char* sps = m_unit.Sps()->start;
    const int spsSize = static_cast<int>(m_unit.Sps()->size);
    int w = 0;
    int h = 0;
    if (header.knd == qx::kKindH264)
        ParseSPSNAL(sps, spsSize, &w, &h);
    else if (header.knd == qx::kKindH265)
        H264UtilsA::parse_hevc_sps(sps, spsSize, &w, &h);
    const bool codecChanged = mVideoDecodec && mVideoDecodec->GetDecodeType() != header.knd;
    m_keyParamSeen = true;
    if (w == m_width && h == m_height && !codecChanged) {
        // A live renderer belongs to whoever shows the pictures, which may be the
        // render thread: each shown live picture tries for one itself.
        if (m_status.OpenMode() != qx::kModeLive)
            m_presenter.EnsureRenderer();
        return true;
    }
    if (m_status.OpenMode() == qx::kModeLive) {
        if (!MakeDecoder(header.knd, w, h)) {
            m_width = 0;
            m_height = 0;
            qx::log::DbgviewLog(5, std::string("mVideoDecodec CreateDecode fail"));
            return false;
        }
    } else {
        m_width = 0;
        m_height = 0;
        mVideoDecodec.reset();
        const int knd = header.knd;
        if (!m_presenter.CreatePictureObjects(
                w, h, [this, knd, w, h] { return MakeDecoder(knd, w, h); })) {
            DeletePictureObjects();
            m_signals.play.Sleep(qx::kIdleSleepMs);
            return false;
        }
    }
    m_width = w;
    m_height = h;
    return true;
}

void VideoPipeline::Decode(int type, int state) {
    const H264_PARAM& header = m_curVideoHeader;
    if (!mVideoDecodec) {
        m_signals.play.Sleep(qx::kIdleSleepMs);
        qx::log::DbgviewLog(5, std::string("Decode or window is none,return"));
        return;
    }
    const int fps = header.fbs >= 1 && header.fbs <= 30 ? header.fbs : 25;
    m_status.frameRate = fps;
    m_status.frameInterval = 1000 / fps;
    if (type == qx::kH264Sps || type == qx::kH264Slice)
        ++m_videoFrames;
    // A VPS that came alone goes in front of each SPS that comes without one.
    if (m_unit.Sps() != nullptr && m_unit.Vps() == nullptr && m_vpsLength > 0 &&
        header.knd == qx::kKindH265)
        mVideoDecodec->DecodeH264ToYUV12(m_vpsCopy, m_vpsLength);
    bool picture = mVideoDecodec->Decode(m_curPayload.data(), header.nal_len, header.pts);
    bool first = true;
    while (picture && !m_status.Ending()) {
        HandOn(first && m_unit.sliceType == qx::kH264Idr, state);
        first = false;
        picture = mVideoDecodec->NextPicture();
    }
}

void VideoPipeline::DrainDecoder() {
    m_drainRequested = false;
    if (!mVideoDecodec)
        return;
    const int state = m_status.PlayState();
    bool picture = mVideoDecodec->Drain();
    while (picture && !m_status.Ending()) {
        HandOn(false, state);
        picture = mVideoDecodec->NextPicture();
    }
}

void VideoPipeline::EndOfStream() {
    m_drainRequested = true;
    m_signals.play.Post(qx::WakeSignal::kFrames);
}

void VideoPipeline::HandOn(bool keyPacket, int state) {
    ++m_status.decodedPictures;
    m_status.stats.NoteDecoded(m_curVideoHeader.knd);
    m_pictureHeader = m_curVideoHeader;
    m_pictureHeader.pts = mVideoDecodec->Frame().pts;
    if (m_status.OpenMode() == qx::kModeLive)
        m_presenter.QueueLivePicture(m_pictureHeader, m_width, m_height, mVideoDecodec->Frame(),
                                     mVideoDecodec->HoldPicture());
    else
        ShowFilePicture(keyPacket, state);
}

void VideoPipeline::ShowFilePicture(bool keyPacket, int state) {
    const int dts = FileModeTiming(state);
    m_presenter.TakePicture(mVideoDecodec->Frame(), m_width, m_height, m_curVideoHeader.knd);
    m_watermark.AfterPicture(keyPacket, m_presenter.Description());
    m_presenter.DeliverFilePicture();
    m_status.stats.NoteShown(m_pictureHeader.pts, false, 0);
    PaceFilePicture(state, dts);
}

int64_t VideoPipeline::NextFrameStart() {
    const int64_t now = qx::QueryPerformanceCounter();
    const int64_t due = std::exchange(m_nextFrameStart, 0);
    // A step that comes more than an interval late starts the schedule anew.
    const int64_t slack = m_status.frameInterval * m_status.frequency / 1000;
    return due != 0 && due <= now && now - due < slack ? due : now;
}

bool VideoPipeline::PlayStep() {
    int stage = 0;
    try {
        const int mode = m_status.OpenMode();
        int type = 0;
        int state = 0;
        if (mode == qx::kModePushed || mode == qx::kModeFile)
            m_frameStart = NextFrameStart();
        const Taken taken = TakePacket(&type, &state);
        if (taken == Taken::kNone) {
            if (!m_drainRequested)
                return false;
            DrainDecoder();
            return true;
        }
        m_status.notDataCount = 0;
        if (taken == Taken::kSkipped)
            return true;
        stage = 3;
        const H264_PARAM& header = m_curVideoHeader;
        if (qx::IsLiveMode(mode))
            m_clock.SetLivePts(header.pts);
        if (m_unit.Sps() != nullptr && !ApplyParameterSet())
            return true;
        if (m_unit.Vps() != nullptr) {
            m_vpsLength = static_cast<int>(
                m_unit.Vps()->size < static_cast<int64_t>(sizeof m_vpsCopy) ? m_unit.Vps()->size
                                                                            : sizeof m_vpsCopy);
            std::memcpy(m_vpsCopy, m_unit.Vps()->start, static_cast<size_t>(m_vpsLength));
        }
        stage = 4;
        Decode(type, state);
    } catch (...) {
        qx::log::DbgviewLog(11, "Deconal catch %d", stage);
    }
    return true;
}
