#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/RecH264Data.h"
#include "session/DDrawSession.h"
#include "stream/KeyPacket.h"
#include "streamkit/StreamKit.h"
#include "support/LogCapture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qx::kit::Packet;

Bytes PacketBytes(int knd, int64_t idx, int64_t pts, const Bytes& payload) {
    Packet p;
    p.header.knd = knd;
    p.header.idx = idx;
    p.header.pts = pts;
    p.header.nal_len = static_cast<int32_t>(payload.size());
    p.payload = payload;
    return qx::kit::Serialize({p});
}

const Bytes kIdrPayload = {0, 0, 0, 1, 0x65, 0x88, 0x80, 0x10};
const Bytes kSpsPayload = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1e};

class SessionInput : public ::testing::Test {
  protected:
    void SetUp() override { session.SetPlayState(qx::kStateNormal); }
    DDrawSession session;
};

TEST_F(SessionInput, BoundaryOfTheSourceBuffer) {
    Bytes chunk(0x1FFFFF, 0x00);
    EXPECT_EQ(session.InputData(chunk.data(), static_cast<int>(chunk.size())), 1);
    EXPECT_EQ(session.Input().Fill(), 0x1FFFFF);
    uint8_t byte = 0;
    EXPECT_EQ(session.InputData(&byte, 1), 0) << "bytes without a packet never grow it";
    EXPECT_EQ(session.Input().Fill(), 0x1FFFFF) << "a refused chunk is not partly copied";
    // A chunk bigger than the buffer can only ever be taken into an empty one.
    session.ResetBuffers();
    chunk.resize(0x300000);
    EXPECT_EQ(session.InputData(chunk.data(), static_cast<int>(chunk.size())), 1);
    EXPECT_EQ(session.Input().Fill(), 0x300000);
    EXPECT_GT(session.Input().Capacity(), 0x300000);
    session.ResetBuffers();
    chunk.resize(qx::kMaxStreamBufferSize);
    EXPECT_EQ(session.InputData(chunk.data(), static_cast<int>(chunk.size())), 0);
    EXPECT_EQ(session.Input().Fill(), 0);
}

TEST_F(SessionInput, RefusalsForBadArgumentsAndStates) {
    uint8_t byte = 0;
    EXPECT_EQ(session.InputData(nullptr, 10), 0);
    EXPECT_EQ(session.InputData(&byte, 0), 0);
    EXPECT_EQ(session.InputData(&byte, -3), 0);
    session.Input().SetEndOfInput(true);
    EXPECT_EQ(session.InputData(&byte, 1), 0);
    DDrawSession stopped;
    EXPECT_EQ(stopped.InputData(&byte, 1), 0);
    EXPECT_EQ(stopped.Input().Fill(), 0);
}

TEST_F(SessionInput, IdxGapFlushesEverything) {
    // A count that skips and one that starts again are both breaks in the stream.
    for (int next : {9, 5}) {
        DDrawSession port;
        port.SetPlayState(qx::kStateNormal);
        LogCapture capture;
        const Bytes first = PacketBytes(0, 7, 1000000, kSpsPayload);
        const Bytes second = PacketBytes(0, next, 1040000, kIdrPayload);
        ASSERT_EQ(port.InputData(first.data(), static_cast<int>(first.size())), 1);
        ASSERT_EQ(port.InputData(second.data(), static_cast<int>(second.size())), 1);
        EXPECT_EQ(port.Input().Fill(), static_cast<int>(second.size()));
        EXPECT_EQ(port.Input().LastVideoIdx(), next);
        const auto texts = capture.Texts();
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0],
                  "\xD6\xA1\xB2\xBB\xC1\xAC\xD0\xF8"
                  "CurIdx=" +
                      std::to_string(next) + ",LastIdx=7");
    }
}

TEST_F(SessionInput, APacketCountsOnlyOnceItIsWholeAndCanBeDroppedWhole) {
    const Bytes key = PacketBytes(0, 1, 40000, kSpsPayload);
    const int size = static_cast<int>(key.size());
    ASSERT_EQ(session.InputData(key.data(), size - 1), 1);
    EXPECT_EQ(session.Input().Positions().KeyCount(), 0u);
    ASSERT_EQ(session.InputData(&key.back(), 1), 1);
    EXPECT_EQ(session.Input().Positions().KeyCount(), 1u);
    EXPECT_FALSE(session.Input().DropBefore(size + 1));
    EXPECT_TRUE(session.Input().DropBefore(size));
    EXPECT_EQ(session.Input().Fill(), 0);
}

TEST_F(SessionInput, RefusedChunkLeavesTheBookkeepingAlone) {
    Bytes filler(0x1FFF00, 0);
    const Bytes first = PacketBytes(0, 1, 0, kSpsPayload);
    ASSERT_EQ(session.InputData(first.data(), static_cast<int>(first.size())), 1);
    ASSERT_EQ(session.InputData(filler.data(), static_cast<int>(filler.size())), 1);
    Bytes big = PacketBytes(0, 2, 40000, Bytes(4000, 0x11));
    EXPECT_EQ(session.InputData(big.data(), static_cast<int>(big.size())), 0);
    EXPECT_EQ(session.Input().LastVideoIdx(), 1);
    EXPECT_EQ(session.Input().LastInputPts(), 0);
    // Offered again after room was made: no false gap, nothing flushed.
    session.ResetBuffers();
    ASSERT_EQ(session.InputData(big.data(), static_cast<int>(big.size())), 1);
    EXPECT_EQ(session.Input().LastVideoIdx(), 2);
    EXPECT_EQ(session.Input().Fill(), static_cast<int>(big.size()));
}

TEST_F(SessionInput, CachingEndsAfterTheCacheTimeOfVideo) {
    for (int i = 0; i < 12; ++i) {
        const Bytes p = PacketBytes(0, i + 1, i * 50000, kIdrPayload);
        ASSERT_EQ(session.InputData(p.data(), static_cast<int>(p.size())), 1);
        EXPECT_EQ(session.Input().IsCaching(), i * 50 < 500) << i;
    }
}

TEST_F(SessionInput, CacheTimeZeroAndAudioOnlyStreams) {
    session.Input().SetCacheTime(0);
    const Bytes p = PacketBytes(0, 1, 0, kIdrPayload);
    ASSERT_EQ(session.InputData(p.data(), static_cast<int>(p.size())), 1);
    EXPECT_FALSE(session.Input().IsCaching());

    DDrawSession audio;
    audio.SetPlayState(qx::kStateNormal);
    for (int i = 0; i < 4; ++i) {
        const Bytes a = PacketBytes(1, 0, i * 40000, Bytes(320, 0xD5));
        ASSERT_EQ(audio.InputData(a.data(), static_cast<int>(a.size())), 1);
        EXPECT_EQ(audio.Input().IsCaching(), i * 40 <= 100) << i;
    }
}

TEST_F(SessionInput, KeyPacketsEnterThePositionIndex) {
    qx::kit::StreamOptions options;
    options.width = 160;
    options.height = 96;
    options.frames = 6;
    options.gop = 3;
    const auto packets = qx::kit::StreamWriter::MakePackets(options);
    int64_t position = 0;
    std::vector<int64_t> keyPositions;
    for (const auto& p : packets) {
        const Bytes bytes = qx::kit::Serialize({p});
        if (qx::IsKeyPacket(bytes.data(), static_cast<int64_t>(bytes.size()))) {
            keyPositions.push_back(position);
        }
        ASSERT_EQ(session.InputData(bytes.data(), static_cast<int>(bytes.size())), 1);
        position += static_cast<int64_t>(bytes.size());
    }
    EXPECT_EQ(keyPositions.size(), 2u);
    EXPECT_EQ(session.Input().Positions().KeyCount(), 2u);
    const auto oldest = session.Input().Positions().Oldest();
    ASSERT_TRUE(oldest.has_value());
    EXPECT_EQ(oldest->position, keyPositions[0]);
    EXPECT_EQ(session.Input().Positions().NewestInput(), packets.back().header.pts);
}

TEST(KeyPacket, TypesAndBounds) {
    EXPECT_TRUE(qx::IsKeyPacket(PacketBytes(0, 1, 0, kSpsPayload).data(), 76 + 8));
    EXPECT_FALSE(qx::IsKeyPacket(PacketBytes(0, 1, 0, kIdrPayload).data(), 76 + 8));
    const Bytes vps = {0, 0, 0, 1, 0x40, 0x01, 0x0c, 0x01};
    EXPECT_TRUE(qx::IsKeyPacket(PacketBytes(10, 1, 0, vps).data(), 76 + 8));
    EXPECT_FALSE(qx::IsKeyPacket(PacketBytes(1, 1, 0, kSpsPayload).data(), 76 + 8));
    // Whatever leads, a parameter set before the first slice starts a key picture.
    const Bytes aud = {0, 0, 0, 1, 0x09, 0xF0};
    const Bytes sei = {0, 0, 1, 0x06, 0x05, 0x02, 0x11, 0x22, 0x80};
    Bytes led = aud;
    led.insert(led.end(), sei.begin(), sei.end());
    led.insert(led.end(), kSpsPayload.begin(), kSpsPayload.end());
    EXPECT_TRUE(qx::IsKeyPacket(PacketBytes(0, 1, 0, led).data(), 76 + led.size()));
    Bytes late = aud;
    late.insert(late.end(), kIdrPayload.begin(), kIdrPayload.end());
    late.insert(late.end(), kSpsPayload.begin(), kSpsPayload.end());
    EXPECT_FALSE(qx::IsKeyPacket(PacketBytes(0, 1, 0, late).data(), 76 + late.size()));
    // VPS, SPS, PPS and IDR in one packet, as x265 writes them.
    const Bytes joined = {0, 0, 0, 1, 0x40, 0x01, 0x0c, 0, 0, 0, 1, 0x42, 0x01, 0x01,
                          0, 0, 0, 1, 0x44, 0x01, 0xc0, 0, 0, 0, 1, 0x26, 0x01, 0xaf};
    EXPECT_TRUE(qx::IsKeyPacket(PacketBytes(10, 1, 0, joined).data(), 76 + joined.size()));
    // Every cut of the same packet is read only within its bytes.
    const Bytes whole = PacketBytes(0, 1, 0, led);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[cut + 1]);
        std::memcpy(exact.get(), whole.data(), cut);
        qx::IsKeyPacket(exact.get(), static_cast<int64_t>(cut));
    }
}

}  // namespace
