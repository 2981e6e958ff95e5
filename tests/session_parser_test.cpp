// The parser pass on its own (no workers running): packet extraction in both rules,
// the key-frame wait after a seek and the latency control.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "session/DDrawSession.h"
#include "streamkit/StreamKit.h"
#include "support/LogCapture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qx::kit::Packet;

Packet MakePacket(int knd, int64_t idx, int64_t pts, const Bytes& payload) {
    Packet p;
    p.header.knd = knd;
    p.header.idx = idx;
    p.header.pts = pts;
    p.header.nal_len = static_cast<int32_t>(payload.size());
    p.payload = payload;
    return p;
}

Bytes Bytes264(uint8_t nalHeader, size_t size) {
    Bytes b(size, 0x5c);
    b[0] = 0, b[1] = 0, b[2] = 0, b[3] = 1, b[4] = nalHeader;
    return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Junk(size_t n, uint32_t seed = 7) {
    std::mt19937 rng(seed);
    return qx::kit::MakeJunk(n, rng);
}

class Parser : public ::testing::Test {
  protected:
    void Open(int mode) {
        ASSERT_TRUE(session.SetOpenMode(mode));
        session.SetPlayState(qx::kStateNormal);
    }
    bool Input(const Bytes& b) {
        return session.InputData(b.data(), static_cast<int>(b.size())) == 1;
    }
    DDrawSession session;
};

const Packet kIdr = MakePacket(qx::kKindH264, 1, 40000, Bytes264(0x65, 300));
const Packet kP = MakePacket(qx::kKindH264, 2, 80000, Bytes264(0x41, 200));

TEST_F(Parser, LengthRuleWaitsForTheRestOfASplitPacket) {
    Open(0);
    const Bytes bytes = qx::kit::Serialize({kIdr});
    ASSERT_TRUE(Input(Bytes(bytes.begin(), bytes.begin() + 100)));
    EXPECT_FALSE(session.ParseStep());
    ASSERT_TRUE(Input(Bytes(bytes.begin() + 100, bytes.end())));
    EXPECT_TRUE(session.ParseStep());
    EXPECT_EQ(session.Video().FrameFill(), static_cast<int>(bytes.size()));
    EXPECT_EQ(session.Input().Fill(), 0);
}

TEST_F(Parser, LengthRuleSkipsImpossibleLengthsAndResyncs) {
    Open(0);
    LogCapture log;
    for (int32_t bad : {-5, INT32_MIN, INT32_MAX, qx::kMaxStreamBufferSize}) {
        SCOPED_TRACE(bad);
        session.ResetBuffers();
        Packet broken = MakePacket(qx::kKindH264, 1, 0, Bytes264(0x65, 64));
        broken.header.nal_len = bad;
        ASSERT_TRUE(Input(Concat({qx::kit::Serialize({broken}), qx::kit::Serialize({kIdr})})));
        // The bad header goes first, then the good packet behind it is taken.
        while (session.Input().Fill() > 0 && session.Video().FrameFill() == 0)
            session.ParseStep();
        EXPECT_EQ(session.Video().FrameFill(), static_cast<int>(kIdr.payload.size()) + 76);
    }
    EXPECT_TRUE(log.Contains("bad nal_len"));
}

TEST_F(Parser, LengthRuleDropsDataWithoutMarkerButKeepsAPartialOne) {
    Open(0);
    Bytes junk = Junk(5000);
    junk.insert(junk.end(), {0x41, 0x41, 0x41, 0x41});
    ASSERT_TRUE(Input(junk));
    EXPECT_FALSE(session.ParseStep());
    EXPECT_EQ(session.Input().Fill(), 4);
    // The kept bytes and the rest of the marker make a packet again.
    const Bytes rest = qx::kit::Serialize({kIdr});
    ASSERT_TRUE(Input(Bytes(rest.begin() + 4, rest.end())));
    EXPECT_TRUE(session.ParseStep());
    EXPECT_EQ(session.Video().FrameFill(), static_cast<int>(rest.size()));
}

TEST_F(Parser, MarkerRuleNeedsTheNextMarker) {
    Open(1);
    const Bytes idr = qx::kit::Serialize({kIdr});
    ASSERT_TRUE(Input(idr));
    EXPECT_FALSE(session.ParseStep());
    ASSERT_TRUE(Input(qx::kit::Serialize({kP})));
    EXPECT_TRUE(session.ParseStep());
    EXPECT_EQ(session.Video().FrameFill(), static_cast<int>(idr.size()));
}

TEST_F(Parser, MarkerRuleDropsAPacketWhoseLengthDisagrees) {
    Open(1);
    Packet lying = kIdr;
    lying.header.nal_len += 9;
    ASSERT_TRUE(Input(Concat(
        {qx::kit::Serialize({lying}), qx::kit::Serialize({kP}), qx::kit::Serialize({kIdr})})));
    EXPECT_FALSE(session.ParseStep());
    EXPECT_TRUE(session.ParseStep());
    EXPECT_EQ(session.Video().FrameFill(), static_cast<int>(kP.payload.size()) + 76);
}

TEST_F(Parser, MarkerRuleTakesPacketsOfAMegabyteAndMore) {
    Open(1);
    const Packet big = MakePacket(qx::kKindH264, 1, 0, Bytes264(0x65, 0x180000));
    const Bytes bytes = qx::kit::Serialize({big});
    ASSERT_TRUE(Input(bytes));
    ASSERT_TRUE(Input(qx::kit::Serialize({kP})));
    EXPECT_TRUE(session.ParseStep());
    EXPECT_EQ(session.Video().FrameFill(), static_cast<int>(bytes.size()));
}

TEST_F(Parser, MarkerRuleFreesABufferThatCanNeverFormAPacket) {
    for (bool withMarker : {false, true}) {
        SCOPED_TRACE(withMarker);
        DDrawSession s;
        ASSERT_TRUE(s.SetOpenMode(1));
        s.SetPlayState(qx::kStateNormal);
        // Junk, or one packet start that junk follows where its end should be.
        Bytes fill = withMarker ? Concat({qx::kit::Serialize({kIdr}), Junk(0x1FFF00 - 376)})
                                : Junk(0x1FFF00);
        ASSERT_EQ(s.InputData(fill.data(), static_cast<int>(fill.size())), 1);
        const Bytes next = Concat({qx::kit::Serialize({kIdr}), qx::kit::Serialize({kP})});
        ASSERT_EQ(s.InputData(next.data(), static_cast<int>(next.size())), 0);
        EXPECT_FALSE(s.ParseStep());
        EXPECT_LT(s.Input().Fill(), 8);
        ASSERT_EQ(s.InputData(next.data(), static_cast<int>(next.size())), 1);
        EXPECT_TRUE(s.ParseStep());
        EXPECT_EQ(s.Video().FrameFill(), static_cast<int>(kIdr.payload.size()) + 76);
    }
}

TEST_F(Parser, MarkerRuleKeepsAWaitingPacketWhileInputStillFits) {
    Open(1);
    const Bytes idr = qx::kit::Serialize({kIdr});
    ASSERT_TRUE(Input(Concat({Junk(1000), idr})));
    EXPECT_FALSE(session.ParseStep());
    ASSERT_TRUE(Input(qx::kit::Serialize({kP})));
    EXPECT_TRUE(session.ParseStep());
    EXPECT_EQ(session.Video().FrameFill(), static_cast<int>(idr.size()));
}

struct KeyCase {
    const char* name;
    int knd;
    Bytes payload;
};

class KeyFrameWait : public Parser, public testing::WithParamInterface<KeyCase> {};

TEST_P(KeyFrameWait, DropsVideoUntilAKeyPicture) {
    Open(1);
    session.RequestSeek(10);
    const KeyCase& c = GetParam();
    const Packet before = MakePacket(
        c.knd, 1, 0,
        c.knd == qx::kKindH264 ? Bytes264(0x41, 80) : Bytes{0, 0, 0, 1, 0x02, 0x01, 9, 9});
    const Packet key = MakePacket(c.knd, 2, 40000, c.payload);
    ASSERT_TRUE(Input(Concat(
        {qx::kit::Serialize({before}), qx::kit::Serialize({key}), qx::kit::Serialize({kP})})));
    session.ParseStep();
    EXPECT_EQ(session.Video().FrameFill(), 0);
    EXPECT_TRUE(session.Port().keyFrameWait.load());
    session.ParseStep();
    EXPECT_FALSE(session.Port().keyFrameWait.load());
    EXPECT_EQ(session.Video().FrameFill(), static_cast<int>(c.payload.size()) + 76);
}

Bytes SeiThenIdr() {
    // A vendor SEI whose length bytes say 40, then the IDR slice.
    Bytes sei(40, 0x11);
    sei[0] = 0, sei[1] = 0, sei[2] = 0, sei[3] = 1, sei[4] = 0x06;
    sei[27] = 0, sei[28] = 11;
    return Concat({sei, Bytes264(0x65, 60)});
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, KeyFrameWait,
    testing::Values(KeyCase{"H264Sps", qx::kKindH264, Bytes264(0x67, 40)},
                    KeyCase{"H264Idr", qx::kKindH264, Bytes264(0x65, 40)},
                    KeyCase{"H264SeiIdr", qx::kKindH264, SeiThenIdr()},
                    KeyCase{"H265Vps", qx::kKindH265, {0, 0, 0, 1, 0x40, 0x01, 1, 2, 3}},
                    KeyCase{"H265Sps", qx::kKindH265, {0, 0, 0, 1, 0x42, 0x01, 1, 2, 3}},
                    KeyCase{"H265Idr", qx::kKindH265, {0, 0, 0, 1, 0x26, 0x01, 1, 2, 3}},
                    KeyCase{"H265Cra", qx::kKindH265, {0, 0, 0, 1, 0x2a, 0x01, 1, 2, 3}}),
    [](const testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

class Latency : public Parser {
  protected:
    // Pushes video frames first..last of a stream with a key every ten frames, one
    // packet per chunk; returns the absolute positions where each packet starts.
    std::vector<int64_t> PushFrames(int first, int last) {
        std::vector<int64_t> at;
        int64_t position = 0;
        for (int f = first; f <= last; ++f) {
            const bool key = f % 10 == 0;
            const Packet p = MakePacket(qx::kKindH264, f, qx::kit::StreamWriter::FramePts(f, 25),
                                        Bytes264(key ? 0x67 : 0x41, 120));
            const Bytes b = qx::kit::Serialize({p});
            EXPECT_TRUE(Input(b));
            at.push_back(position);
            position += static_cast<int64_t>(b.size());
        }
        return at;
    }
};

TEST_F(Latency, CutsBackToTheOldestBufferedKeyPacket) {
    Open(0);
    session.Input().SetCacheTime(300);
    const std::vector<int64_t> at = PushFrames(11, 41);
    // Shown: frame 11; newest input: frame 41, 1200 ms later.
    session.Input().Positions().NoteLastRendered(qx::kit::StreamWriter::FramePts(11, 25));
    EXPECT_EQ(session.Input().LatencyControl(), at[20 - 11]);
}

TEST_F(Latency, LeavesAPortThatKeepsUp) {
    Open(0);
    session.Input().SetCacheTime(300);
    PushFrames(11, 41);
    session.Input().Positions().NoteLastRendered(qx::kit::StreamWriter::FramePts(20, 25));
    EXPECT_EQ(session.Input().LatencyControl(), 0) << "rendered 840 ms behind";
    session.Input().Positions().NoteLastRendered(-1);
    EXPECT_EQ(session.Input().LatencyControl(), 0) << "nothing rendered since the restart";
    session.Input().Positions().NoteLastRendered(0);
    EXPECT_EQ(session.Input().LatencyControl(), 0);
}

TEST_F(Latency, ThresholdIsTheCacheTimeButAtLeast300) {
    Open(0);
    session.Input().SetCacheTime(2000);
    PushFrames(11, 41);
    session.Input().Positions().NoteLastRendered(qx::kit::StreamWriter::FramePts(11, 25));
    EXPECT_EQ(session.Input().LatencyControl(), 0) << "the oldest key is only 840 ms old";
}

}  // namespace
