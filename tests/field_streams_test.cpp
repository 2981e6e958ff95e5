// Streams as ordinary encoders make them (the ffmpeg command line, not our writer),
// cut into packets as different cameras do and handed over as hosts read the network.
// Every picture a port decodes must be the picture libavcodec itself decodes from the
// same access unit, in the same order, at the cropped size.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/PlaybackHarness.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using qx::kit::Codec;
using qx::kit::Picture;

namespace {

constexpr int64_t kFrameUs = 40000;
constexpr int64_t kFirstPtsUs = 1000000;

struct Clip {
    const char* name;
    Codec codec;
    int width, height, frames;
    const char* encoder;  // ffmpeg output options
    int tolerance;        // 0: the very bytes; else levels a conversion to 8-bit may differ
};

const Clip kClips[] = {
    {"h264_aud_hrd", Codec::H264, 352, 288, 30,
     "-c:v libx264 -preset veryfast -bf 0 -b:v 300k -maxrate 300k -bufsize 300k "
     "-x264-params aud=1:nal-hrd=cbr",
     0},
    {"h264_bframes", Codec::H264, 640, 360, 50, "-c:v libx264 -profile:v high -bf 3 -g 25", 0},
    {"h264_interlaced", Codec::H264, 704, 576, 16,
     "-c:v libx264 -preset veryfast -flags +ildct+ilme -x264-params interlaced=1", 0},
    {"h264_crop_1366", Codec::H264, 1366, 768, 8, "-c:v libx264 -preset ultrafast", 0},
    {"h264_crop_350", Codec::H264, 350, 290, 16, "-c:v libx264 -preset veryfast", 0},
    {"h264_high10", Codec::H264, 320, 240, 16,
     "-pix_fmt yuv420p10le -c:v libx264 -profile:v high10 -preset veryfast", 2},
    {"h264_full_range", Codec::H264, 320, 240, 16, "-pix_fmt yuvj420p -c:v libx264", 2},
    // Grainy and finely quantised, so that the key pictures outgrow the buffers at first.
    {"h264_4k", Codec::H264, 3840, 2160, 5,
     "-vf noise=alls=8:allf=t -c:v libx264 -preset ultrafast -qp 18 -g 5", 0},
    {"h265_bframes", Codec::H265, 640, 360, 50,
     "-c:v libx265 -x265-params log-level=error:bframes=3:keyint=25", 0},
    {"h265_main10", Codec::H265, 320, 240, 16,
     "-pix_fmt yuv420p10le -c:v libx265 -x265-params log-level=error", 2},
};

const Clip& ClipNamed(const std::string& name) {
    for (const Clip& c : kClips)
        if (name == c.name)
            return c;
    throw std::runtime_error("no clip " + name);
}

// --- the clip and what libavcodec makes of it -----------------------------------

struct AccessUnit {
    std::vector<Bytes> nals;  // each with its start code
    int64_t pts = 0;          // presentation time, from the order libavcodec outputs it
};

struct Reference {
    std::vector<AccessUnit> units;  // in decoding order
    std::vector<Picture> pictures;  // in output order
};

bool IsVcl(Codec codec, int type) {
    return codec == Codec::H264 ? type >= 1 && type <= 5 : type >= 0 && type <= 31;
}

// Non-picture units that open an access unit when a picture came before them.
bool OpensAccessUnit(Codec codec, int type) {
    if (codec == Codec::H264)
        return type == 6 || (type >= 7 && type <= 9) || (type >= 14 && type <= 18);
    return (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
           (type >= 48 && type <= 55);
}

std::vector<AccessUnit> SplitAccessUnits(Codec codec, const Bytes& stream) {
    std::vector<AccessUnit> units;
    bool picture = false;
    for (const qx::kit::NalUnit& nal : qx::kit::SplitNals(codec, stream)) {
        const uint8_t* unit = stream.data() + nal.offset;
        const size_t sliceByte = codec == Codec::H264 ? 1 : 2;
        const bool vcl = IsVcl(codec, nal.type);
        // first_mb_in_slice == 0, or first_slice_segment_in_pic_flag.
        const bool firstSlice = vcl && nal.size > sliceByte && (unit[sliceByte] & 0x80) != 0;
        if (units.empty() || (picture && (firstSlice || OpensAccessUnit(codec, nal.type)))) {
            units.emplace_back();
            picture = false;
        }
        picture = picture || vcl;
        Bytes withCode;
        qx::kit::AppendNal(unit, nal.size, withCode);
        units.back().nals.push_back(std::move(withCode));
    }
    return units;
}

// 8-bit studio-range 4:2:0, what the library hands out whatever the stream carries.
Picture ToStudio420(const AVFrame* f) {
    Picture pic;
    pic.width = f->width;
    pic.height = f->height;
    const bool deep = f->format == AV_PIX_FMT_YUV420P10LE;
    const bool full = f->format == AV_PIX_FMT_YUVJ420P || f->color_range == AVCOL_RANGE_JPEG;
    auto plane = [&](int index, int w, int h, bool luma, std::vector<uint8_t>& out) {
        out.resize(static_cast<size_t>(w) * h);
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = f->data[index] + static_cast<ptrdiff_t>(y) * f->linesize[index];
            for (int x = 0; x < w; ++x) {
                int v = deep ? (reinterpret_cast<const uint16_t*>(row)[x] + 2) >> 2 : row[x];
                if (full)
                    v = luma ? 16 + (v * 219 + 127) / 255 : 128 + ((v - 128) * 224) / 255;
                out[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
            }
        }
    };
    plane(0, f->width, f->height, true, pic.y);
    plane(1, (f->width + 1) / 2, (f->height + 1) / 2, false, pic.u);
    plane(2, (f->width + 1) / 2, (f->height + 1) / 2, false, pic.v);
    return pic;
}

Reference Decode(Codec codec, std::vector<AccessUnit> units) {
    const AVCodec* decoder =
        avcodec_find_decoder(codec == Codec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    AVCodecContext* ctx = avcodec_alloc_context3(decoder);
    ctx->thread_count = 1;
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    if (avcodec_open2(ctx, decoder, nullptr) < 0)
        throw std::runtime_error("cannot open the reference decoder");
    Reference ref;
    std::vector<int64_t> outputOrder;
    auto send = [&](const AVPacket* p) {
        avcodec_send_packet(ctx, p);
        while (avcodec_receive_frame(ctx, frame) == 0) {
            outputOrder.push_back(frame->pts);
            ref.pictures.push_back(ToStudio420(frame));
            av_frame_unref(frame);
        }
    };
    for (size_t i = 0; i < units.size(); ++i) {
        Bytes au;
        for (const Bytes& nal : units[i].nals)
            au.insert(au.end(), nal.begin(), nal.end());
        packet->data = au.data();
        packet->size = static_cast<int>(au.size());
        packet->pts = static_cast<int64_t>(i);
        send(packet);
    }
    send(nullptr);
    for (size_t rank = 0; rank < outputOrder.size(); ++rank)
        units[static_cast<size_t>(outputOrder[rank])].pts =
            kFirstPtsUs + static_cast<int64_t>(rank) * kFrameUs;
    ref.units = std::move(units);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return ref;
}

// Encoded once per process by the ffmpeg command line.
const Reference* ReferenceFor(const Clip& clip) {
    static std::mutex lock;
    static std::map<std::string, Reference> made;
    std::lock_guard<std::mutex> guard(lock);
    if (auto it = made.find(clip.name); it != made.end())
        return &it->second;
    const std::string path = testing::TempDir() + "qx_" + clip.name + "_" +
                             std::to_string(::getpid()) +
                             (clip.codec == Codec::H264 ? ".h264" : ".hevc");
    char command[1024];
    std::snprintf(command, sizeof command,
                  "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=%dx%d:rate=25 "
                  "-frames:v %d %s -f %s '%s'",
                  clip.width, clip.height, clip.frames, clip.encoder,
                  clip.codec == Codec::H264 ? "h264" : "hevc", path.c_str());
    if (std::system(command) != 0)
        return nullptr;
    std::ifstream in(path, std::ios::binary);
    const Bytes stream{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::remove(path.c_str());
    Reference ref = Decode(clip.codec, SplitAccessUnits(clip.codec, stream));
    if (ref.pictures.size() != static_cast<size_t>(clip.frames))
        return nullptr;
    return &made.emplace(clip.name, std::move(ref)).first->second;
}

// --- cameras and hosts ----------------------------------------------------------

enum class Layout {
    kAccessUnit,  // one packet per access unit, parameter sets joined to the picture
    kNalUnit,     // one packet per NAL unit: the VPS, SPS and PPS each alone
};
enum class Chunking {
    kPacket,   // one packet per call
    kSeveral,  // two or three packets per call
    kNetwork,  // what one recv() gives: 1,400 bytes, wherever packets start
};

struct Call {
    Bytes bytes;
    size_t unit;  // the access unit whose time the call belongs to
};

std::vector<Call> Packetise(const Clip& clip, const Reference& ref, Layout layout,
                            Chunking chunking) {
    std::vector<Bytes> packets;
    std::vector<size_t> unitOf;
    int64_t idx = 0;
    auto add = [&](size_t unit, const Bytes& payload) {
        qx::kit::Packet p;
        p.header.knd = clip.codec == Codec::H264 ? qx::kKindH264 : qx::kKindH265;
        p.header.idx = ++idx;
        p.header.pts = ref.units[unit].pts;
        p.header.dts = kFirstPtsUs + static_cast<int64_t>(unit) * kFrameUs;
        p.header.sec = p.header.pts / 1000000;
        p.header.nal_len = static_cast<int32_t>(payload.size());
        p.payload = payload;
        packets.push_back(qx::kit::Serialize({p}));
        unitOf.push_back(unit);
    };
    for (size_t u = 0; u < ref.units.size(); ++u) {
        if (layout == Layout::kNalUnit) {
            for (const Bytes& nal : ref.units[u].nals)
                add(u, nal);
            continue;
        }
        Bytes au;
        for (const Bytes& nal : ref.units[u].nals)
            au.insert(au.end(), nal.begin(), nal.end());
        add(u, au);
    }
    std::vector<Call> calls;
    std::mt19937 rng(7);
    if (chunking == Chunking::kNetwork) {
        Bytes all;
        std::vector<size_t> unitAt;
        for (size_t i = 0; i < packets.size(); ++i) {
            all.insert(all.end(), packets[i].begin(), packets[i].end());
            unitAt.insert(unitAt.end(), packets[i].size(), unitOf[i]);
        }
        for (size_t at = 0; at < all.size(); at += 1400) {
            const size_t end = std::min(all.size(), at + 1400);
            calls.push_back({Bytes(all.begin() + at, all.begin() + end), unitAt[at]});
        }
        return calls;
    }
    for (size_t i = 0; i < packets.size();) {
        const size_t n = chunking == Chunking::kPacket ? 1 : 2 + rng() % 2;
        Call call{{}, unitOf[i]};
        for (size_t k = 0; k < n && i < packets.size(); ++k, ++i)
            call.bytes.insert(call.bytes.end(), packets[i].begin(), packets[i].end());
        calls.push_back(std::move(call));
    }
    return calls;
}

class DecodedPictures {
  public:
    static void OnPicture(int32_t, char* buffer, int32_t size, const QxFrameInfo* info, int32_t,
                          int32_t) {
        // The callback has no user pointer for this registration; one port per test.
        Instance().Add(reinterpret_cast<const uint8_t*>(buffer), size, info->width, info->height);
    }
    static DecodedPictures& Instance() {
        static DecodedPictures pictures;
        return pictures;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pictures.clear();
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_pictures.size();
    }
    std::vector<Picture> Take() {
        std::lock_guard<std::mutex> guard(m_lock);
        return std::move(m_pictures);
    }

  private:
    void Add(const uint8_t* yv12, int32_t size, int width, int height) {
        Picture p;
        p.width = width;
        p.height = height;
        const size_t luma = static_cast<size_t>(width) * height;
        const size_t chroma = static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
        if (size >= 0 && static_cast<size_t>(size) >= luma + 2 * chroma) {
            p.y.assign(yv12, yv12 + luma);
            p.v.assign(yv12 + luma, yv12 + luma + chroma);
            p.u.assign(yv12 + luma + chroma, yv12 + luma + 2 * chroma);
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_pictures.push_back(std::move(p));
    }
    std::mutex m_lock;
    std::vector<Picture> m_pictures;
};

int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size())
        return 256;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(int{a[i]} - int{b[i]}));
    return worst;
}

struct Case {
    const char* clip;
    Layout layout;
    Chunking chunking;
    int mode;
    // The live jitter buffer in ms; negative keeps the port's default.
    int cache = -1;
};

std::string RunName(const testing::TestParamInfo<Case>& info) {
    const Case& r = info.param;
    static const char* const layouts[] = {"au", "nal"};
    static const char* const chunkings[] = {"packet", "several", "network"};
    return std::string(r.clip) + "_" + layouts[static_cast<int>(r.layout)] + "_" +
           chunkings[static_cast<int>(r.chunking)] + "_mode" + std::to_string(r.mode) +
           (r.cache >= 0 ? "_cache" + std::to_string(r.cache) : "");
}

class FieldStream : public testing::TestWithParam<Case> {};

TEST_P(FieldStream, EveryPictureAsLibavcodecDecodesIt) {
    const Case& run = GetParam();
    const Clip& clip = ClipNamed(run.clip);
    const Reference* ref = ReferenceFor(clip);
    if (ref == nullptr)
        GTEST_SKIP() << "the ffmpeg command line cannot make " << clip.name;
    const std::vector<Call> calls = Packetise(clip, *ref, run.layout, run.chunking);
    if (clip.width * clip.height > 8000000) {
        size_t largest = 0;
        for (const AccessUnit& unit : ref->units) {
            size_t size = 0;
            for (const Bytes& nal : unit.nals)
                size += nal.size();
            largest = std::max(largest, size);
        }
        ASSERT_GT(largest, size_t{qx::kStreamBufferSize})
            << "the key picture must outgrow the buffer";
    }

    DecodedPictures::Instance().Clear();
    PlaybackPort port(run.mode);
    ASSERT_EQ(QxPlay_SetDecCallBack(port.port(), &DecodedPictures::OnPicture), 1);
    if (run.cache >= 0) {
        ASSERT_EQ(QxPlay_SetCacheTime(port.port(), run.cache), 1);
    }
    ASSERT_TRUE(port.Play());
    // A live port gets each access unit at its time, as from a camera.
    const auto start = std::chrono::steady_clock::now();
    for (const Call& call : calls) {
        if (run.mode == 0)
            std::this_thread::sleep_until(start + call.unit * std::chrono::microseconds(kFrameUs));
        ASSERT_TRUE(port.Give(call.bytes));
    }
    // The host says no more is coming: what the decoder holds back comes out.
    ASSERT_EQ(QxPlay_SetFileEndMsg(port.port(), 0, 0), 1);
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (DecodedPictures::Instance().Count() < ref->pictures.size() &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(QxPlay_Stop(port.port()), 1);

    const std::vector<Picture> got = DecodedPictures::Instance().Take();
    ASSERT_EQ(got.size(), ref->pictures.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const Picture& want = ref->pictures[i];
        ASSERT_EQ(got[i].width, want.width) << "picture " << i;
        ASSERT_EQ(got[i].height, want.height) << "picture " << i;
        const int worst =
            std::max({MaxDifference(got[i].y, want.y), MaxDifference(got[i].u, want.u),
                      MaxDifference(got[i].v, want.v)});
        ASSERT_LE(worst, clip.tolerance) << "picture " << i;
    }
}

constexpr Layout kAu = Layout::kAccessUnit;
constexpr Layout kNal = Layout::kNalUnit;
constexpr Chunking kPacket = Chunking::kPacket;
constexpr Chunking kSeveral = Chunking::kSeveral;
constexpr Chunking kNetwork = Chunking::kNetwork;

INSTANTIATE_TEST_SUITE_P(
    Encoders, FieldStream,
    testing::Values(
        Case{"h264_aud_hrd", kAu, kPacket, 3}, Case{"h264_aud_hrd", kNal, kSeveral, 1},
        Case{"h264_aud_hrd", kAu, kNetwork, 0}, Case{"h264_aud_hrd", kNal, kSeveral, 0},
        Case{"h264_bframes", kAu, kPacket, 3}, Case{"h264_bframes", kNal, kNetwork, 1},
        Case{"h264_bframes", kAu, kSeveral, 0}, Case{"h264_interlaced", kAu, kPacket, 3},
        Case{"h264_interlaced", kNal, kSeveral, 1}, Case{"h264_crop_1366", kAu, kNetwork, 3},
        Case{"h264_crop_350", kNal, kPacket, 1}, Case{"h264_high10", kAu, kPacket, 3},
        Case{"h264_high10", kNal, kNetwork, 0}, Case{"h264_full_range", kAu, kSeveral, 3},
        Case{"h264_4k", kAu, kPacket, 3}, Case{"h264_4k", kAu, kNetwork, 0},
        Case{"h265_bframes", kAu, kPacket, 3}, Case{"h265_bframes", kNal, kSeveral, 1},
        Case{"h265_bframes", kAu, kNetwork, 0}, Case{"h265_main10", kAu, kPacket, 3},
        Case{"h265_main10", kNal, kNetwork, 1}, Case{"h264_bframes", kNal, kNetwork, 0, 0},
        Case{"h265_bframes", kNal, kSeveral, 0, 0}),
    RunName);

// Pictures of a reordering stream are paced by their own time stamps, not by those of
// the packet just decoded.
class ReorderedPacing : public testing::TestWithParam<const char*> {};

TEST_P(ReorderedPacing, PicturesComeAtTheirOwnTimes) {
    const Clip& clip = ClipNamed(GetParam());
    const Reference* ref = ReferenceFor(clip);
    if (ref == nullptr)
        GTEST_SKIP() << "the ffmpeg command line cannot make " << clip.name;
    PlaybackPort port(1);
    ASSERT_TRUE(port.Play());
    for (const Call& call : Packetise(clip, *ref, kAu, kPacket))
        ASSERT_TRUE(port.Give(call.bytes));
    ASSERT_EQ(QxPlay_SetFileEndMsg(port.port(), 0, 0), 1);
    ASSERT_TRUE(port.shown().WaitFor(ref->pictures.size(), 20s));
    const auto shown = port.shown().Pictures();
    std::vector<double> gaps;
    for (size_t i = 1; i < shown.size(); ++i)
        gaps.push_back(
            std::chrono::duration<double, std::milli>(shown[i].at - shown[i - 1].at).count());
    const double span =
        std::chrono::duration<double, std::milli>(shown.back().at - shown.front().at).count();
    std::sort(gaps.begin(), gaps.end());
    const double expected = (clip.frames - 1) * kFrameUs / 1000.0;
    EXPECT_NEAR(span, expected, expected * 0.1);
    EXPECT_GT(gaps[gaps.size() / 10], 25.0);
    EXPECT_LT(gaps[gaps.size() * 9 / 10], 55.0);
}

INSTANTIATE_TEST_SUITE_P(Encoders, ReorderedPacing,
                         testing::Values("h264_bframes", "h265_bframes"));

// A camera switched to another resolution that keeps its width: the port must still
// take the new height.
TEST(SizeChange, ANewHeightAloneTakesEffect) {
    qx::kit::StreamOptions options;
    options.frames = 4;
    std::vector<qx::kit::Packet> packets = qx::kit::StreamWriter::MakePackets(options);
    options.height = 240;
    for (qx::kit::Packet p : qx::kit::StreamWriter::MakePackets(options)) {
        p.header.idx += static_cast<int64_t>(packets.size());
        packets.push_back(std::move(p));
    }
    PlaybackPort port(3);
    ASSERT_TRUE(port.Play());
    port.Feed(qx::kit::Serialize(packets), 4096);
    ASSERT_EQ(QxPlay_SetFileEndMsg(port.port(), 0, 0), 1);
    ASSERT_TRUE(port.shown().WaitFor(8, 10s)) << port.shown().Count();
    const auto shown = port.shown().Pictures();
    EXPECT_EQ(shown.front().height, 288);
    EXPECT_EQ(shown.back().width, 352);
    EXPECT_EQ(shown.back().height, 240);
}

}  // namespace
