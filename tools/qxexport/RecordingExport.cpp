#include "RecordingExport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include "PacketScan.h"
#include "streamkit/G711.h"

namespace qxtools {

namespace {

constexpr int kSampleRate = 8000;
constexpr int64_t kMicroseconds = 1000000;
constexpr AVRational kMicrosecondBase{1, 1000000};
constexpr int kAacBitRate = 32000;

struct Picture {
    std::vector<uint8_t> data;
    int64_t pts = 0;
    int64_t dts = 0;
    bool key = false;
};

struct Sound {
    std::vector<uint8_t> data;
    int64_t pts = 0;
};

struct Recording {
    int videoKind = -1;
    int64_t leftOut = 0;
    int audioKind = -1;
    std::vector<Picture> pictures;
    std::vector<Sound> sounds;
    // The parameter sets of the first key picture, start codes first.
    std::vector<uint8_t> parameterSets;
};

std::string CodecText(int kind) {
    return kind == kKindH264 ? "H.264" : "H.265";
}

// Every NAL unit of an Annex-B payload: fn(type, unit with its start code).
template <typename Fn>
void ForEachUnit(const std::vector<uint8_t>& data, int kind, Fn&& fn) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            starts.push_back(i > 0 && data[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    for (size_t n = 0; n < starts.size(); ++n) {
        const size_t begin = starts[n];
        const size_t end = n + 1 < starts.size() ? starts[n + 1] : data.size();
        const size_t header = begin + (data[begin + 2] == 1 ? 3 : 4);
        if (header >= end)
            continue;
        const int type = kind == kKindH264 ? data[header] & 0x1f : (data[header] >> 1) & 0x3f;
        fn(type, data.data() + begin, end - begin);
    }
}

bool IsKeyType(int kind, int type) {
    return kind == kKindH264 ? type == 5 : type >= 16 && type <= 21;
}

bool IsParameterSet(int kind, int type) {
    return kind == kKindH264 ? type == 7 || type == 8 : type >= 32 && type <= 34;
}

bool Fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

// Parameter sets and SEI may come in packets of their own: they go in front of the
// picture they precede, one picture to a container packet.
bool ReadRecording(const std::string& path, Recording* recording, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Fail(error, "cannot read " + path);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    const std::vector<PacketSpan> spans = ScanPackets(bytes.data(), bytes.size());
    size_t expected = 0;
    for (const PacketSpan& span : spans) {
        if (span.offset != expected)
            break;
        expected += span.size;
    }
    if (expected != bytes.size())
        return Fail(error, path + " is damaged at byte " + std::to_string(expected) +
                               (spans.empty() ? ": no packet" : ": that is not a whole packet"));
    std::vector<uint8_t> pending;
    for (const PacketSpan& span : spans) {
        const uint8_t* payload = bytes.data() + span.offset + kHeaderSize;
        const size_t length = span.size - kHeaderSize - kTrailerSize;
        if (IsVideoKind(span.kind)) {
            if (recording->videoKind < 0)
                recording->videoKind = span.kind;
            if (span.kind != recording->videoKind)
                return Fail(error, "the video changes from " + CodecText(recording->videoKind) +
                                       " to " + CodecText(span.kind) + " at byte " +
                                       std::to_string(span.offset) +
                                       ": one file holds one codec; cut the recording there");
            pending.insert(pending.end(), payload, payload + length);
            if (!CarriesPicture(bytes.data() + span.offset, span))
                continue;
            Picture picture;
            picture.data.swap(pending);
            picture.pts = span.pts;
            ForEachUnit(picture.data, span.kind, [&](int type, const uint8_t*, size_t) {
                picture.key = picture.key || IsKeyType(span.kind, type);
            });
            if (picture.key && recording->parameterSets.empty()) {
                ForEachUnit(picture.data, span.kind,
                            [&](int type, const uint8_t* unit, size_t size) {
                                if (IsParameterSet(span.kind, type))
                                    recording->parameterSets.insert(recording->parameterSets.end(),
                                                                    unit, unit + size);
                            });
            }
            recording->pictures.push_back(std::move(picture));
        } else if (span.kind == kKindALaw || span.kind == kKindMuLaw || span.kind == kKindPcm8) {
            if (recording->audioKind < 0)
                recording->audioKind = span.kind;
            if (span.kind != recording->audioKind)
                return Fail(error, "the sound changes its coding at byte " +
                                       std::to_string(span.offset) + ": cut the recording there");
            recording->sounds.push_back(
                {std::vector<uint8_t>(payload, payload + length), span.pts});
        }
    }
    if (recording->pictures.empty())
        return Fail(error, path + " holds no picture");
    // Pictures before the first key picture cannot be decoded by anyone.
    const auto key = std::find_if(recording->pictures.begin(), recording->pictures.end(),
                                  [](const Picture& p) { return p.key; });
    if (key == recording->pictures.end())
        return Fail(error, path + " holds no key picture");
    recording->leftOut = key - recording->pictures.begin();
    recording->pictures.erase(recording->pictures.begin(), key);
    return true;
}

// Decoding order is the file's; a decoding time is the nth smallest presentation time,
// moved back as far as reordering needs, so that none comes after its own picture.
void AssignDecodingTimes(std::vector<Picture>& pictures) {
    std::vector<int64_t> sorted;
    for (const Picture& picture : pictures)
        sorted.push_back(picture.pts);
    std::sort(sorted.begin(), sorted.end());
    int64_t shift = 0;
    for (size_t i = 0; i < pictures.size(); ++i)
        shift = std::max(shift, sorted[i] - pictures[i].pts);
    int64_t last = INT64_MIN;
    for (size_t i = 0; i < pictures.size(); ++i) {
        pictures[i].dts = std::max(sorted[i] - shift, last + 1);
        pictures[i].pts = std::max(pictures[i].pts, pictures[i].dts);
        last = pictures[i].dts;
    }
}

float SampleOf(int kind, uint8_t code) {
    if (kind == kKindPcm8)
        return static_cast<int8_t>(code) / 128.0f;
    return (kind == kKindALaw ? qx::kit::G711::DecodeALaw(code)
                              : qx::kit::G711::DecodeMuLaw(code)) /
           32768.0f;
}

AVCodecID AudioCodecOf(int kind) {
    if (kind == kKindALaw)
        return AV_CODEC_ID_PCM_ALAW;
    if (kind == kKindMuLaw)
        return AV_CODEC_ID_PCM_MULAW;
    return AV_CODEC_ID_PCM_S8;
}

struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;

// The picture size as the stream's own decoder sees it: the container needs it and
// the parameter sets alone would need a reader of their own.
bool DecodeFirstPicture(const Recording& recording, AVFrame* out) {
    const AVCodec* codec = avcodec_find_decoder(
        recording.videoKind == kKindH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    CodecContext context(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
    Packet packet(av_packet_alloc());
    if (!context || !packet || avcodec_open2(context.get(), codec, nullptr) < 0)
        return false;
    const size_t tries = std::min<size_t>(recording.pictures.size(), 16);
    for (size_t i = 0; i <= tries; ++i) {
        if (i < tries) {
            const Picture& picture = recording.pictures[i];
            if (av_new_packet(packet.get(), static_cast<int>(picture.data.size())) < 0)
                return false;
            std::copy(picture.data.begin(), picture.data.end(), packet->data);
            avcodec_send_packet(context.get(), packet.get());
            av_packet_unref(packet.get());
        } else {
            avcodec_send_packet(context.get(), nullptr);
        }
        if (avcodec_receive_frame(context.get(), out) == 0)
            return out->width > 0 && out->height > 0;
    }
    return false;
}

class Exporter {
  public:
    Exporter(const Recording& recording, std::string temp)
        : m_rec(recording), m_temp(std::move(temp)) {}
    ~Exporter() {
        if (m_context != nullptr) {
            if (m_context->pb != nullptr)
                avio_closep(&m_context->pb);
            avformat_free_context(m_context);
        }
    }

    bool Open(const AVOutputFormat* format, std::string* error);
    bool Write(const std::function<void(double)>& progress, std::string* error);
    const char* AudioMode() const {
        return m_audio == nullptr ? "" : (m_encoder ? "aac" : "copied");
    }

  private:
    bool OpenVideo(std::string* error);
    bool OpenAudio(std::string* error);
    bool WritePicture(const Picture& picture, int64_t duration, std::string* error);
    bool WriteSound(const Sound& sound, std::string* error);
    bool EncodeSamples(bool flush, std::string* error);
    bool Put(AVPacket* packet, AVStream* stream, AVRational from, std::string* error);

    const Recording& m_rec;
    const std::string m_temp;
    int64_t m_base = 0;
    AVFormatContext* m_context = nullptr;
    AVStream* m_video = nullptr;
    AVStream* m_audio = nullptr;
    CodecContext m_encoder;
    std::vector<float> m_samples;
    int64_t m_nextSample = -1;
};

bool Exporter::Open(const AVOutputFormat* format, std::string* error) {
    m_base = m_rec.pictures.front().pts;
    for (const Picture& picture : m_rec.pictures)
        m_base = std::min(m_base, picture.dts);
    if (!m_rec.sounds.empty())
        m_base = std::min(m_base, m_rec.sounds.front().pts);
    if (avformat_alloc_output_context2(&m_context, format, nullptr, m_temp.c_str()) < 0)
        return Fail(error, "libavformat cannot make the output");
    if (!OpenVideo(error) || !OpenAudio(error))
        return false;
    if (avio_open(&m_context->pb, m_temp.c_str(), AVIO_FLAG_WRITE) < 0)
        return Fail(error, "cannot write " + m_temp);
    if (avformat_write_header(m_context, nullptr) < 0)
        return Fail(error, "the container does not take this stream");
    return true;
}

bool Exporter::OpenVideo(std::string* error) {
    Frame first(av_frame_alloc());
    if (!first || !DecodeFirstPicture(m_rec, first.get()))
        return Fail(error, "the first key picture does not decode: the recording is damaged");
    m_video = avformat_new_stream(m_context, nullptr);
    if (m_video == nullptr)
        return Fail(error, "out of memory");
    AVCodecParameters* par = m_video->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = m_rec.videoKind == kKindH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
    par->width = first->width;
    par->height = first->height;
    par->format = first->format;
    par->sample_aspect_ratio = first->sample_aspect_ratio;
    const size_t size = m_rec.parameterSets.size();
    par->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr)
        return Fail(error, "out of memory");
    std::copy(m_rec.parameterSets.begin(), m_rec.parameterSets.end(), par->extradata);
    par->extradata_size = static_cast<int>(size);
    m_video->time_base = kMicrosecondBase;
    return true;
}

bool Exporter::OpenAudio(std::string* error) {
    if (m_rec.sounds.empty())
        return true;
    m_audio = avformat_new_stream(m_context, nullptr);
    if (m_audio == nullptr)
        return Fail(error, "out of memory");
    const AVCodecID id = AudioCodecOf(m_rec.audioKind);
    if (avformat_query_codec(m_context->oformat, id, FF_COMPLIANCE_NORMAL) == 1) {
        AVCodecParameters* par = m_audio->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = id;
        par->sample_rate = kSampleRate;
        av_channel_layout_default(&par->ch_layout, 1);
        par->bits_per_coded_sample = 8;
        par->block_align = 1;
        par->bit_rate = 8 * kSampleRate;
        m_audio->time_base = kMicrosecondBase;
        return true;
    }
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    m_encoder.reset(aac != nullptr ? avcodec_alloc_context3(aac) : nullptr);
    if (!m_encoder)
        return Fail(error, "no AAC encoder for a container that takes no G.711");
    m_encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    m_encoder->sample_rate = kSampleRate;
    av_channel_layout_default(&m_encoder->ch_layout, 1);
    m_encoder->bit_rate = kAacBitRate;
    m_encoder->time_base = AVRational{1, kSampleRate};
    if (m_context->oformat->flags & AVFMT_GLOBALHEADER)
        m_encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(m_encoder.get(), aac, nullptr) < 0 ||
        avcodec_parameters_from_context(m_audio->codecpar, m_encoder.get()) < 0)
        return Fail(error, "the AAC encoder does not open");
    m_audio->time_base = m_encoder->time_base;
    return true;
}

bool Exporter::Put(AVPacket* packet, AVStream* stream, AVRational from, std::string* error) {
    packet->stream_index = stream->index;
    av_packet_rescale_ts(packet, from, stream->time_base);
    if (av_interleaved_write_frame(m_context, packet) < 0)
        return Fail(error, "writing " + m_temp + " failed");
    return true;
}

bool Exporter::WritePicture(const Picture& picture, int64_t duration, std::string* error) {
    Packet packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), static_cast<int>(picture.data.size())) < 0)
        return Fail(error, "out of memory");
    std::copy(picture.data.begin(), picture.data.end(), packet->data);
    packet->pts = picture.pts - m_base;
    packet->dts = picture.dts - m_base;
    packet->duration = duration;
    if (picture.key)
        packet->flags |= AV_PKT_FLAG_KEY;
    return Put(packet.get(), m_video, kMicrosecondBase, error);
}

bool Exporter::WriteSound(const Sound& sound, std::string* error) {
    if (m_encoder) {
        if (m_nextSample < 0)
            m_nextSample = (sound.pts - m_base) * kSampleRate / kMicroseconds;
        for (uint8_t code : sound.data)
            m_samples.push_back(SampleOf(m_rec.audioKind, code));
        return EncodeSamples(false, error);
    }
    Packet packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), static_cast<int>(sound.data.size())) < 0)
        return Fail(error, "out of memory");
    std::copy(sound.data.begin(), sound.data.end(), packet->data);
    packet->pts = packet->dts = sound.pts - m_base;
    packet->duration = static_cast<int64_t>(sound.data.size()) * kMicroseconds / kSampleRate;
    packet->flags |= AV_PKT_FLAG_KEY;
    return Put(packet.get(), m_audio, kMicrosecondBase, error);
}

// Whole encoder frames out of the samples gathered; at the end the rest, padded with
// silence, and what the encoder still holds.
bool Exporter::EncodeSamples(bool flush, std::string* error) {
    const size_t frameSize = static_cast<size_t>(m_encoder->frame_size);
    Frame frame(av_frame_alloc());
    Packet packet(av_packet_alloc());
    if (!frame || !packet)
        return Fail(error, "out of memory");
    const auto drain = [&]() {
        while (avcodec_receive_packet(m_encoder.get(), packet.get()) == 0) {
            if (!Put(packet.get(), m_audio, m_encoder->time_base, error))
                return false;
            av_packet_unref(packet.get());
        }
        return true;
    };
    while (m_samples.size() >= frameSize || (flush && !m_samples.empty())) {
        frame->nb_samples = static_cast<int>(frameSize);
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = kSampleRate;
        av_channel_layout_default(&frame->ch_layout, 1);
        if (av_frame_get_buffer(frame.get(), 0) < 0)
            return Fail(error, "out of memory");
        const size_t take = std::min(frameSize, m_samples.size());
        float* samples = reinterpret_cast<float*>(frame->data[0]);
        std::fill(samples, samples + frameSize, 0.0f);
        std::copy(m_samples.begin(), m_samples.begin() + static_cast<std::ptrdiff_t>(take),
                  samples);
        m_samples.erase(m_samples.begin(), m_samples.begin() + static_cast<std::ptrdiff_t>(take));
        frame->pts = m_nextSample;
        m_nextSample += static_cast<int64_t>(frameSize);
        if (avcodec_send_frame(m_encoder.get(), frame.get()) < 0)
            return Fail(error, "the AAC encoder refused the sound");
        av_frame_unref(frame.get());
        if (!drain())
            return false;
    }
    if (flush) {
        avcodec_send_frame(m_encoder.get(), nullptr);
        return drain();
    }
    return true;
}

bool Exporter::Write(const std::function<void(double)>& progress, std::string* error) {
    const std::vector<Picture>& pictures = m_rec.pictures;
    const std::vector<Sound>& sounds = m_rec.sounds;
    const size_t total = pictures.size() + sounds.size();
    size_t v = 0;
    size_t a = 0;
    while (v < pictures.size() || a < sounds.size()) {
        const bool takeVideo =
            a == sounds.size() || (v < pictures.size() && pictures[v].dts <= sounds[a].pts);
        if (takeVideo) {
            // A picture lasts until the next one; the last one as long as the one before.
            int64_t duration = 0;
            if (v + 1 < pictures.size())
                duration = pictures[v + 1].dts - pictures[v].dts;
            else if (v > 0)
                duration = pictures[v].dts - pictures[v - 1].dts;
            if (!WritePicture(pictures[v++], duration, error))
                return false;
        } else if (!WriteSound(sounds[a++], error)) {
            return false;
        }
        if (progress && (v + a) % 25 == 0)
            progress(static_cast<double>(v + a) / static_cast<double>(total));
    }
    if (m_encoder && !EncodeSamples(true, error))
        return false;
    if (av_write_trailer(m_context) < 0)
        return Fail(error, "writing " + m_temp + " failed");
    if (avio_closep(&m_context->pb) < 0)
        return Fail(error, "writing " + m_temp + " failed");
    if (progress)
        progress(1.0);
    return true;
}

}  // namespace

bool ExportRecording(const std::string& input, const std::string& output,
                     const std::function<void(double)>& progress, ExportSummary* summary,
                     std::string* error) {
    const AVOutputFormat* format = av_guess_format(nullptr, output.c_str(), nullptr);
    if (format == nullptr)
        return Fail(error, "no container is known for " + output + " (try .mp4 or .mkv)");
    Recording recording;
    if (!ReadRecording(input, &recording, error))
        return false;
    AssignDecodingTimes(recording.pictures);
    // Written beside the output and renamed at the end, so that a failure leaves no
    // half-written file under the output's name.
    const std::string temp = output + ".partial-" + std::to_string(getpid());
    bool written;
    {
        Exporter exporter(recording, temp);
        written = exporter.Open(format, error) && exporter.Write(progress, error);
        if (written && summary != nullptr) {
            summary->pictures = static_cast<int64_t>(recording.pictures.size());
            summary->leftOut = recording.leftOut;
            summary->audioPackets = static_cast<int64_t>(recording.sounds.size());
            summary->videoCodec = CodecText(recording.videoKind);
            summary->audio = exporter.AudioMode();
        }
    }
    if (written && std::rename(temp.c_str(), output.c_str()) != 0)
        written = Fail(error, "cannot name the output " + output);
    if (!written)
        std::remove(temp.c_str());
    return written;
}

}  // namespace qxtools
