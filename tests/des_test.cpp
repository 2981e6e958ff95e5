// The block cipher against published known answers, and the watermark record reader
// against records written by the stream kit and against hostile lengths.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "stream/DesCipher.h"
#include "stream/WatermarkSei.h"
#include "streamkit/StreamKit.h"
#include "streamkit/WatermarkSei.h"

namespace {

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

struct Answer {
    const char* key;
    const char* plain;
    const char* cipher;
};

TEST(Des, KnownAnswersBothWays) {
    const Answer answers[] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
        {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
        {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
        {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    };
    for (const Answer& a : answers) {
        SCOPED_TRACE(a.key);
        const qx::DesCipher des(Hex(a.key).data());
        uint8_t out[8];
        des.EncryptBlock(Hex(a.plain).data(), out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 8), Hex(a.cipher));
        des.DecryptBlock(Hex(a.cipher).data(), out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 8), Hex(a.plain));
    }
}

TEST(Des, ParityBitsOfTheKeyDoNotMatter) {
    const qx::DesCipher with(Hex("0123456789ABCDEF").data());
    const qx::DesCipher without(Hex("0022446688AACCEE").data());
    const std::vector<uint8_t> plain = Hex("4E6F772069732074");
    uint8_t a[8], b[8];
    with.EncryptBlock(plain.data(), a);
    without.EncryptBlock(plain.data(), b);
    EXPECT_EQ(std::memcmp(a, b, 8), 0);
}

// A payload of the given length whose front is a vendor SEI with the given length bytes.
std::vector<uint8_t> SeiPayload(size_t size, uint8_t high, uint8_t low) {
    std::vector<uint8_t> payload(size, 0x5A);
    const uint8_t front[] = {0, 0, 0, 1, 6};
    std::memcpy(payload.data(), front, sizeof front);
    payload[27] = high;
    payload[28] = low;
    payload[29] = 5;
    payload[30] = 1;
    return payload;
}

class WatermarkRecord : public testing::Test {
  protected:
    // The 1024-byte output between guard bytes.
    bool Decipher(const std::vector<uint8_t>& payload) {
        m_out.assign(qx::kSeiInfoSize + 64, 0xEE);
        m_length = -1;
        return qx::DecipherWatermarkSei(m_des, payload.data(), static_cast<int>(payload.size()),
                                        m_out.data() + 32, &m_length);
    }
    bool GuardsIntact() const {
        for (size_t i = 0; i < 32; ++i)
            if (m_out[i] != 0xEE || m_out[m_out.size() - 1 - i] != 0xEE)
                return false;
        return true;
    }
    const uint8_t* Info() const { return m_out.data() + 32; }

    const qx::DesCipher m_des{qx::kWatermarkKey};
    std::vector<uint8_t> m_out;
    int m_length = -1;
};

TEST_F(WatermarkRecord, WholeBlocksAreDecipheredAndThePartialOneCopied) {
    // L = 16 + 29 = 45: 13 bytes, one block and five plain bytes.
    std::vector<uint8_t> payload = SeiPayload(200, 0, 16);
    const uint8_t plain[8] = {'r', 'e', 'c', 'o', 'r', 'd', '!', '?'};
    m_des.EncryptBlock(plain, payload.data() + 31);
    ASSERT_TRUE(Decipher(payload));
    EXPECT_EQ(m_length, 13);
    EXPECT_EQ(std::memcmp(Info(), plain, 8), 0);
    EXPECT_EQ(std::memcmp(Info() + 8, payload.data() + 39, 5), 0);
    EXPECT_EQ(Info()[13], 0) << "the rest is cleared";
    EXPECT_TRUE(GuardsIntact());
}

TEST_F(WatermarkRecord, WrongMarkersAreLeftAlone) {
    std::vector<uint8_t> payload = SeiPayload(200, 0, 16);
    payload[29] = 4;
    EXPECT_FALSE(Decipher(payload));
    EXPECT_EQ(m_length, -1);
    EXPECT_EQ(m_out[32], 0xEE) << "nothing written";
    std::vector<uint8_t> shortPayload = SeiPayload(40, 0, 16);
    shortPayload.resize(30);
    EXPECT_FALSE(Decipher(shortPayload)) << "too short to hold both markers";
}

TEST_F(WatermarkRecord, ThreeByteStartCodesTakeTheirLengthOneByteEarlier) {
    std::vector<uint8_t> payload = SeiPayload(200, 0, 0);
    payload[0] = 0;
    payload[1] = 0;
    payload[2] = 1;
    payload[26] = 0;
    payload[27] = 20;  // L = 20 + 28 = 48: 16 bytes
    ASSERT_TRUE(Decipher(payload));
    EXPECT_EQ(m_length, 16);
}

TEST_F(WatermarkRecord, EveryLengthIsSafe) {
    const std::vector<uint8_t> shortPayload = SeiPayload(64, 0, 0);
    const std::vector<uint8_t> longPayload = SeiPayload(70000, 0, 0);
    for (int high = 0; high < 256; ++high) {
        for (int low = 0; low < 256; low += (high == 0 || high == 255) ? 1 : 17) {
            for (std::vector<uint8_t> payload : {shortPayload, longPayload}) {
                payload[27] = static_cast<uint8_t>(high);
                payload[28] = static_cast<uint8_t>(low);
                const int n = high * 255 + low + 29 - 32;
                const bool fits = n > 0 && 31 + n <= static_cast<int>(payload.size());
                ASSERT_EQ(Decipher(payload), fits) << high << "," << low;
                if (fits) {
                    EXPECT_EQ(m_length, std::min(n, qx::kSeiWorkSize));
                }
                ASSERT_TRUE(GuardsIntact());
            }
        }
    }
}

TEST_F(WatermarkRecord, TheKitsRecordsComeBackWhole) {
    const auto record = qx::kit::MakeWatermarkRecord(
        qx::DescribeFrame(352, 288, 352, 176, qx::kFrameTypeKey, 0), "Lobby camera 7");
    const std::vector<uint8_t> sei = qx::kit::BuildWatermarkSei(record.data());
    ASSERT_EQ(sei.size(), 124u);
    for (size_t i = 4; i + 2 < sei.size(); ++i)
        ASSERT_FALSE(sei[i] == 0 && sei[i + 1] == 0 && sei[i + 2] <= 3) << "escape at " << i;
    std::vector<uint8_t> payload = sei;
    payload.insert(payload.end(), {0, 0, 0, 1, 0x67});
    ASSERT_TRUE(Decipher(payload));
    ASSERT_EQ(m_length, 92);
    // The words and the text with its zero; the kit fills what lies behind.
    EXPECT_EQ(std::memcmp(Info(), record.data(), 40 + 14 + 1), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(Info() + 40), "Lobby camera 7");
}

TEST(WatermarkedStream, DecodesLikeTheSameStreamWithoutIt) {
    qx::kit::StreamOptions options;
    options.frames = 12;
    options.gop = 6;
    const std::vector<qx::kit::Packet> plain = qx::kit::StreamWriter::MakePackets(options);
    options.watermark = "north gate";
    const std::vector<qx::kit::Packet> marked = qx::kit::StreamWriter::MakePackets(options);
    int keys = 0;
    for (const qx::kit::Packet& p : marked) {
        if (p.header.knd == 0 && (p.payload[4] & 0x1F) == 6) {
            ++keys;
            EXPECT_EQ(p.payload[29], 5);
            EXPECT_EQ(p.payload[30], 1);
            EXPECT_EQ(p.header.nal_len, static_cast<int32_t>(p.payload.size()));
        }
    }
    EXPECT_EQ(keys, 2);
    const auto a = qx::kit::ReferenceDecoder::DecodeElementaryStream(
        options.codec, qx::kit::ElementaryStream(plain));
    const auto b = qx::kit::ReferenceDecoder::DecodeElementaryStream(
        options.codec, qx::kit::ElementaryStream(marked));
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        EXPECT_TRUE(a[i].y == b[i].y && a[i].u == b[i].u) << i;
    options.codec = qx::kit::Codec::H265;
    EXPECT_THROW(qx::kit::StreamWriter::MakePackets(options), std::invalid_argument);
}

}  // namespace
