// The parser pass on its own (no workers running): packet extraction in both rules,
// the key-frame wait after a seek and the latency control.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "session/DDrawSession.h"
#include "streamkit/StreamKit.h"
#include "support/LogCapture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qx::kit::Packet;
using qx::kit::Serialize;

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

Bytes Junk(size_t n) {
    std::mt19937 rng(7);
    return qx::kit::MakeJunk(n, rng);
}

int Wire(const Packet& p) {
    return static_cast<int>(Serialize({p}).size());
}

const Packet kIdr = MakePacket(qx::kKindH264, 1, 40000, Bytes264(0x65, 300));
const Packet kP = MakePacket(qx::kKindH264, 2, 80000, Bytes264(0x41, 200));

class Parser : public ::testing::Test {
  protected:
    // A fresh session for each case of a table.
    void Open(int mode) {
        s = std::make_unique<DDrawSession>();
        ASSERT_TRUE(s->SetOpenMode(mode));
        s->SetPlayState(qx::kStateNormal);
    }
    bool Input(const Bytes& b) { return s->InputData(b.data(), static_cast<int>(b.size())) == 1; }
    int Fill() { return s->Video().FrameFill(); }
    std::unique_ptr<DDrawSession> s;
};

TEST_F(Parser, LengthRuleSkipsImpossibleLengthsAndResyncs) {
    LogCapture log;
    Open(0);
    for (int32_t bad : {-5, INT32_MIN, INT32_MAX, qx::kMaxStreamBufferSize}) {
        SCOPED_TRACE(bad);
        // What is left of the case before is dropped, its pictures counted.
        s->ResetBuffers();
        Packet broken = MakePacket(qx::kKindH264, 1, 0, Bytes264(0x65, 64));
        broken.header.nal_len = bad;
        ASSERT_TRUE(Input(Serialize({broken, kIdr})));
        // The bad header goes first, then the good packet behind it is taken.
        while (s->Input().Fill() > 0 && Fill() == 0)
            s->ParseStep();
        EXPECT_EQ(Fill(), Wire(kIdr));
    }
    EXPECT_TRUE(log.Contains("bad nal_len"));
}

TEST_F(Parser, TakesAPacketOnlyOnceItIsComplete) {
    const Bytes idr = Serialize({kIdr});
    const Packet big = MakePacket(qx::kKindH264, 1, 0, Bytes264(0x65, 0x180000));
    Packet lying = kIdr;
    lying.header.nal_len += 9;
    struct Case {
        int mode;
        Bytes first, second;
        int dropped, fill;
    };
    // The length rule needs the whole packet, the marker rule the marker behind it.
    const Case cases[] = {
        {0, Bytes(idr.begin(), idr.begin() + 100), Bytes(idr.begin() + 100, idr.end()), 0,
         Wire(kIdr)},
        // Data without a marker goes, but not a marker's start at its end.
        {0, Concat({Junk(5000), {0x41, 0x41, 0x41, 0x41}}), Bytes(idr.begin() + 4, idr.end()), 5000,
         Wire(kIdr)},
        {1, idr, Serialize({kP}), 0, Wire(kIdr)},
        // A packet whose length disagrees with where the next marker is goes.
        {1, Serialize({lying, kIdr}), Serialize({kP}), Wire(lying), Wire(kIdr)},
        // Junk in front of a waiting packet is no reason to drop it while input still fits.
        {1, Concat({Junk(1000), idr}), Serialize({kP}), 0, Wire(kIdr)},
        {1, Serialize({big}), Serialize({kP}), 0, Wire(big)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << c.first.size() << " bytes");
        Open(c.mode);
        ASSERT_TRUE(Input(c.first));
        EXPECT_FALSE(s->ParseStep());
        EXPECT_EQ(s->Input().Fill(), static_cast<int>(c.first.size()) - c.dropped);
        ASSERT_TRUE(Input(c.second));
        EXPECT_TRUE(s->ParseStep());
        EXPECT_EQ(Fill(), c.fill);
        // The packet behind waits for a marker of its own.
        EXPECT_EQ(s->Input().Fill(), c.mode == 1 ? Wire(kP) : 0);
    }
}

TEST_F(Parser, MarkerRuleFreesABufferThatCanNeverFormAPacket) {
    for (bool withMarker : {false, true}) {
        SCOPED_TRACE(withMarker);
        Open(1);
        // Junk, or one packet start that junk follows where its end should be.
        ASSERT_TRUE(Input(withMarker ? Concat({Serialize({kIdr}), Junk(0x1FFF00 - Wire(kIdr))})
                                     : Junk(0x1FFF00)));
        const Bytes next = Serialize({kIdr, kP});
        ASSERT_FALSE(Input(next));
        EXPECT_FALSE(s->ParseStep());
        EXPECT_LT(s->Input().Fill(), 8);
        ASSERT_TRUE(Input(next));
        EXPECT_TRUE(s->ParseStep());
        EXPECT_EQ(Fill(), Wire(kIdr));
    }
}

TEST_F(Parser, AfterASeekDropsVideoUntilAKeyPicture) {
    // A vendor SEI whose length bytes say 40, then the IDR slice.
    Bytes seiIdr = Concat({Bytes264(0x06, 40), Bytes264(0x65, 60)});
    seiIdr[27] = 0, seiIdr[28] = 11;
    const std::pair<int, Bytes> keys[] = {
        {qx::kKindH264, Bytes264(0x67, 40)},  // SPS
        {qx::kKindH264, Bytes264(0x65, 40)},  // IDR
        {qx::kKindH264, seiIdr},
        {qx::kKindH265, {0, 0, 0, 1, 0x40, 0x01, 1, 2, 3}},  // VPS
        {qx::kKindH265, {0, 0, 0, 1, 0x42, 0x01, 1, 2, 3}},  // SPS
        {qx::kKindH265, {0, 0, 0, 1, 0x26, 0x01, 1, 2, 3}},  // IDR
        {qx::kKindH265, {0, 0, 0, 1, 0x2a, 0x01, 1, 2, 3}},  // CRA
    };
    for (const auto& [knd, payload] : keys) {
        SCOPED_TRACE(testing::Message() << knd << ": " << int{payload[4]});
        Open(1);
        s->RequestSeek(10);
        const Packet before = MakePacket(
            knd, 1, 0, knd == qx::kKindH264 ? Bytes264(0x41, 80) : Bytes{0, 0, 0, 1, 2, 1, 9, 9});
        const Packet key = MakePacket(knd, 2, 40000, payload);
        ASSERT_TRUE(Input(Serialize({before, key, kP})));
        s->ParseStep();
        EXPECT_EQ(Fill(), 0);
        EXPECT_TRUE(s->Port().keyFrameWait.load());
        s->ParseStep();
        EXPECT_FALSE(s->Port().keyFrameWait.load());
        EXPECT_EQ(Fill(), Wire(key));
    }
}

TEST_F(Parser, LatencyCutsBackToTheOldestBufferedKeyOnlyPastTheThreshold) {
    auto pts = [](int f) { return qx::kit::StreamWriter::FramePts(f, 25); };
    struct Case {
        int cacheMs;
        int64_t renderedPts;
        bool cut;
    };
    // Frames 11..41, a key every ten, are buffered: the newest is 1200 ms after frame 11
    // and the oldest key (frame 20) 840 ms. The threshold is the cache time, at least 300;
    // -1 is nothing rendered since the restart.
    for (Case c : {Case{300, pts(11), true}, Case{300, pts(20), false}, Case{300, -1, false},
                   Case{300, 0, false}, Case{2000, pts(11), false}}) {
        SCOPED_TRACE(testing::Message() << c.cacheMs << " ms, rendered " << c.renderedPts);
        Open(0);
        s->Input().SetCacheTime(c.cacheMs);
        for (int f = 11; f <= 41; ++f)
            ASSERT_TRUE(Input(Serialize(
                {MakePacket(qx::kKindH264, f, pts(f), Bytes264(f % 10 == 0 ? 0x67 : 0x41, 120))})));
        s->Input().Positions().NoteLastRendered(c.renderedPts);
        // Frame 20 starts behind nine packets of the same size.
        EXPECT_EQ(s->Input().LatencyControl(), c.cut ? 9 * (120 + qx::kPacketOverhead) : 0);
    }
}

}  // namespace
