#include "streamkit/StreamWriter.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "streamkit/AnnexB.h"
#include "streamkit/AudioSource.h"
#include "streamkit/Encoder.h"
#include "streamkit/Picture.h"
#include "streamkit/WatermarkSei.h"

namespace qx::kit {

namespace {

class VideoPacketizer {
  public:
    explicit VideoPacketizer(const StreamOptions& options) : options_(options) {}

    // Cuts one encoded picture into the packets a camera sends for it.
    void Add(const EncodedPicture& picture) {
        const Codec codec = options_.codec;
        const std::vector<NalUnit> nals = SplitNals(codec, picture.data);
        std::vector<uint8_t> vps;
        std::vector<uint8_t> au;
        std::vector<int> types;
        for (const NalUnit& nal : nals) {
            const bool aud = nal.type == (codec == Codec::H264 ? h264::kAud : h265::kAud);
            if (aud || (IsSei(codec, nal.type) && !options_.sei)) {
                continue;
            }
            // A camera sends the H.265 VPS in a packet of its own ahead of the key frame.
            const bool isVps = codec == Codec::H265 && nal.type == h265::kVps;
            AppendNal(picture.data.data() + nal.offset, nal.size, isVps ? vps : au);
            if (!isVps) {
                types.push_back(nal.type);
            }
        }
        const bool key = IsKeyAccessUnit(codec, picture.data);
        if (key != (picture.frame % GopLength(options_) == 0)) {
            throw std::runtime_error("encoder put a key frame at frame " +
                                     std::to_string(picture.frame) + ", not on the GOP grid");
        }
        if (key) {
            CheckKeyUnits(picture.frame, vps, types);
        }
        if (key && !options_.watermark.empty()) {
            const auto record = MakeWatermarkRecord(
                qx::DescribeFrame(options_.width, options_.height, options_.width,
                                  options_.width / 2, qx::kFrameTypeKey, 0),
                options_.watermark);
            std::vector<uint8_t> sei = BuildWatermarkSei(record.data());
            au.insert(au.begin(), sei.begin(), sei.end());
        }
        if (!vps.empty()) {
            Push(std::move(vps), picture.frame);
        }
        Push(std::move(au), picture.frame);
        ++frames_;
    }

    std::vector<Packet> Take() { return std::move(packets_); }
    int frames() const { return frames_; }

  private:
    void CheckKeyUnits(int64_t frame, const std::vector<uint8_t>& vps,
                       const std::vector<int>& types) const {
        const bool h264 = options_.codec == Codec::H264;
        const int sps = h264 ? h264::kSps : h265::kSps;
        const int pps = h264 ? h264::kPps : h265::kPps;
        // Kept SEI units stay where the encoder put them; otherwise the packet must begin
        // with the parameter sets, as a camera's does.
        const bool headersFirst = types.size() >= 3 && types[0] == sps && types[1] == pps;
        const bool headersPresent = std::count(types.begin(), types.end(), sps) > 0 &&
                                    std::count(types.begin(), types.end(), pps) > 0;
        if ((!h264 && vps.empty()) || !headersPresent || (!headersFirst && !options_.sei)) {
            throw std::runtime_error("encoder wrote key frame " + std::to_string(frame) +
                                     " without its parameter sets in front");
        }
    }

    void Push(std::vector<uint8_t> payload, int64_t frame) {
        const Damage& d = options_.damage;
        ++videoPackets_;
        idx_ += 1;
        if (d.idxGapEvery > 0 && videoPackets_ % d.idxGapEvery == 0) {
            idx_ += d.idxGapSize;
        }
        Packet p;
        p.header.ver = options_.ver;
        p.header.idx = idx_;
        p.header.knd = VideoKind(options_.codec);
        p.header.fbs = options_.fps;
        p.header.pts = StreamWriter::FramePts(frame, options_.fps);
        p.header.dts = p.header.pts;
        p.header.sec = options_.startEpoch + p.header.pts / 1000000;
        p.header.nal_len = static_cast<int32_t>(payload.size());
        p.payload = std::move(payload);
        packets_.push_back(std::move(p));
    }

    const StreamOptions& options_;
    std::vector<Packet> packets_;
    int64_t idx_ = 0;
    int64_t videoPackets_ = 0;
    int frames_ = 0;
};

std::vector<Packet> MakeVideo(const StreamOptions& options) {
    EncoderSettings settings;
    settings.codec = options.codec;
    settings.width = options.width;
    settings.height = options.height;
    settings.fps = options.fps;
    settings.gop = GopLength(options);
    settings.preset = options.preset;
    settings.crf = options.crf;
    VideoEncoder encoder(settings);
    VideoPacketizer packetizer(options);
    const int frames = FrameCount(options);
    for (int n = 0; n < frames; ++n) {
        for (const EncodedPicture& pic :
             encoder.Encode(MakePicture(options.width, options.height, n, options.fps), n)) {
            packetizer.Add(pic);
        }
    }
    for (const EncodedPicture& pic : encoder.Flush()) {
        packetizer.Add(pic);
    }
    if (packetizer.frames() != frames) {
        throw std::runtime_error("encoder returned " + std::to_string(packetizer.frames()) +
                                 " pictures for " + std::to_string(frames) + " frames");
    }
    return packetizer.Take();
}

std::vector<Packet> MakeAudio(const StreamOptions& options) {
    std::vector<Packet> packets;
    if (options.audioKind == kAudioNone) {
        return packets;
    }
    const int64_t duration = StreamWriter::FramePts(FrameCount(options), options.fps);
    const int64_t samplesPerPacket = int64_t{options.audioPacketMs} * kAudioRate / 1000;
    for (int64_t first = 0;; first += samplesPerPacket) {
        const int64_t pts = first * 1000000 / kAudioRate;
        if (pts >= duration) {
            break;
        }
        Packet p;
        p.payload =
            AudioSource::Payload(options.audioKind, first, static_cast<size_t>(samplesPerPacket));
        p.header.ver = options.ver;
        p.header.idx = 0;
        p.header.knd = options.audioKind;
        p.header.fbs = options.fps;
        p.header.pts = pts;
        p.header.dts = pts;
        p.header.sec = options.startEpoch + pts / 1000000;
        p.header.nal_len = static_cast<int32_t>(p.payload.size());
        packets.push_back(std::move(p));
    }
    return packets;
}

}  // namespace

std::vector<Packet> StreamWriter::MakePackets(const StreamOptions& options) {
    Validate(options);
    std::vector<Packet> video = MakeVideo(options);
    std::vector<Packet> audio = MakeAudio(options);
    std::vector<Packet> all;
    all.reserve(video.size() + audio.size());
    size_t v = 0;
    size_t a = 0;
    while (v < video.size() || a < audio.size()) {
        const bool takeVideo =
            a == audio.size() || (v < video.size() && video[v].header.pts <= audio[a].header.pts);
        all.push_back(std::move(takeVideo ? video[v++] : audio[a++]));
    }
    // Payloads are not escaped: readers find packets by the marker alone.
    for (const Packet& p : all) {
        if (ContainsMarker(p.payload.data(), p.payload.size())) {
            throw std::runtime_error("the payload at pts " + std::to_string(p.header.pts) +
                                     " holds the packet marker; choose other stream options");
        }
    }
    const Damage& d = options.damage;
    if (d.badLenEvery > 0) {
        for (size_t i = d.badLenEvery - 1; i < all.size(); i += d.badLenEvery) {
            all[i].header.nal_len += d.badLenDelta;
        }
    }
    return all;
}

std::vector<uint8_t> StreamWriter::MakeStream(const StreamOptions& options) {
    return Serialize(MakePackets(options), options.damage);
}

}  // namespace qx::kit
