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
    // The 1024-byte output between guard bytes; the payload is read from a buffer of
    // exactly its size, so a read past it is caught too.
    bool Decipher(const std::vector<uint8_t>& payload) {
        m_out.assign(qx::kSeiInfoSize + 2 * kGuard, 0xEE);
        m_length = -1;
        return qx::DecipherWatermarkSei(m_des, payload.data(), static_cast<int>(payload.size()),
                                        m_out.data() + kGuard, &m_length);
    }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (m_out[i] != 0xEE || m_out[m_out.size() - 1 - i] != 0xEE)
                return false;
        return true;
    }
    const uint8_t* Info() const { return m_out.data() + kGuard; }

    static constexpr size_t kGuard = 32;
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
    for (int i = 13; i < qx::kSeiInfoSize; ++i)
        ASSERT_EQ(Info()[i], 0) << "left over at " << i;
    EXPECT_TRUE(GuardsIntact());
}

TEST_F(WatermarkRecord, WrongMarkersOrShortPayloadsAreLeftAlone) {
    std::vector<uint8_t> payload = SeiPayload(200, 0, 16);
    payload[29] = 4;
    EXPECT_FALSE(Decipher(payload));
    EXPECT_EQ(m_length, -1);
    EXPECT_EQ(Info()[0], 0xEE) << "nothing written";
    payload[29] = 5;
    payload[30] = 2;
    EXPECT_FALSE(Decipher(payload));
    EXPECT_EQ(m_length, -1);
    std::vector<uint8_t> shortPayload = SeiPayload(31, 0, 3);
    shortPayload.resize(30);
    EXPECT_FALSE(Decipher(shortPayload)) << "too short to hold both markers";
}

TEST_F(WatermarkRecord, ThreeByteStartCodesTakeTheirLengthOneByteEarlier) {
    std::vector<uint8_t> payload = SeiPayload(200, 0, 0);
    payload[2] = 1;
    payload[3] = 6;
    payload[26] = 0;
    payload[27] = 20;  // L = 20 + 28 = 48: 16 bytes; read at 27/28 it would be 5129
    const uint8_t plain[16] = {'t', 'h', 'r', 'e', 'e', '-', 'b', 'y',
                               't', 'e', ' ', 'f', 'o', 'r', 'm', '.'};
    m_des.EncryptBlock(plain, payload.data() + 31);
    m_des.EncryptBlock(plain + 8, payload.data() + 39);
    ASSERT_TRUE(Decipher(payload));
    EXPECT_EQ(m_length, 16);
    EXPECT_EQ(std::memcmp(Info(), plain, 16), 0);
    payload[26] = 1;  // 255 + 20 + 28 - 32 = 271 bytes behind byte 31: past the end
    EXPECT_FALSE(Decipher(payload));
    EXPECT_EQ(m_length, -1);
}

TEST_F(WatermarkRecord, ARecordMustFitThePayload) {
    // L = 29 + 100: 97 bytes from byte 31 on, so 128 bytes hold it and 127 do not.
    EXPECT_TRUE(Decipher(SeiPayload(128, 0, 100)));
    EXPECT_EQ(m_length, 97);
    EXPECT_FALSE(Decipher(SeiPayload(127, 0, 100)));
    EXPECT_EQ(m_length, -1);
    EXPECT_EQ(Info()[0], 0xEE);
    // L = 32 and less leave no ciphertext.
    EXPECT_FALSE(Decipher(SeiPayload(128, 0, 3)));
    EXPECT_FALSE(Decipher(SeiPayload(128, 0, 0)));
}

TEST_F(WatermarkRecord, HugeRecordsAreCutToTheWorkArea) {
    std::vector<uint8_t> payload = SeiPayload(70000, 0xFF, 0xFF);
    for (size_t i = 31; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(Decipher(payload));
    EXPECT_EQ(m_length, qx::kSeiWorkSize);
    uint8_t block[8];
    m_des.DecryptBlock(payload.data() + 31 + 504, block);
    EXPECT_EQ(std::memcmp(Info() + 504, block, 8), 0) << "the 64th block";
    for (int i = qx::kSeiWorkSize; i < qx::kSeiInfoSize; ++i)
        ASSERT_EQ(Info()[i], 0) << i;
    EXPECT_TRUE(GuardsIntact());
}

TEST_F(WatermarkRecord, EveryLengthIsSafe) {
    std::vector<uint8_t> shortPayload = SeiPayload(64, 0, 0);
    std::vector<uint8_t> longPayload = SeiPayload(70000, 0, 0);
    for (int high = 0; high < 256; ++high) {
        for (int low = 0; low < 256; ++low) {
            for (std::vector<uint8_t>* payload : {&shortPayload, &longPayload}) {
                (*payload)[27] = static_cast<uint8_t>(high);
                (*payload)[28] = static_cast<uint8_t>(low);
                const int n = high * 255 + low + 29 - 32;
                const bool fits = n > 0 && 31 + n <= static_cast<int>(payload->size());
                ASSERT_EQ(Decipher(*payload), fits) << high << "," << low;
                ASSERT_EQ(m_length, fits ? std::min(n, qx::kSeiWorkSize) : -1);
                ASSERT_TRUE(GuardsIntact()) << high << "," << low;
            }
        }
    }
}

// The SEI as a decoder sees it: nothing after the start code that reads as a start code
// or an emulation-prevention escape.
bool Clean(const std::vector<uint8_t>& unit) {
    for (size_t i = 4; i + 2 < unit.size(); ++i)
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] <= 3)
            return false;
    return true;
}

TEST_F(WatermarkRecord, TheKitsRecordsComeBackWhole) {
    const qx::FrameDescription description =
        qx::DescribeFrame(352, 288, 352, 176, qx::kFrameTypeKey, 0);
    // Every text length: short texts leave the plain tail (bytes 88..91) zero but for
    // the filler, long ones leave no free enciphered byte.
    for (size_t size = 0; size <= qx::kit::kWatermarkTextMax; ++size) {
        std::string text;
        for (size_t i = 0; i < size; ++i)
            text += static_cast<char>('A' + i % 26);
        SCOPED_TRACE(size);
        const auto record = qx::kit::MakeWatermarkRecord(description, text);
        const std::vector<uint8_t> sei = qx::kit::BuildWatermarkSei(record.data());
        ASSERT_EQ(sei.size(), 124u);
        EXPECT_EQ(std::vector<uint8_t>(sei.begin(), sei.begin() + 5),
                  (std::vector<uint8_t>{0, 0, 0, 1, 6}));
        EXPECT_EQ(sei.back(), 0x80);
        EXPECT_TRUE(Clean(sei));
        std::vector<uint8_t> payload = sei;
        payload.insert(payload.end(), {0, 0, 0, 1, 0x67});
        ASSERT_TRUE(Decipher(payload));
        ASSERT_EQ(m_length, 92);
        qx::FrameDescription words;
        std::memcpy(words.data(), Info(), sizeof words);
        EXPECT_EQ(words, description);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(Info() + 40)), text);
        // Byte 87 may have been varied to keep the unit clean, nothing else.
        EXPECT_EQ(std::memcmp(Info(), record.data(), 87), 0);
        EXPECT_EQ(std::memcmp(Info() + 88, record.data() + 88, 4), 0);
        for (size_t i = 41 + size; i < 87; ++i)
            ASSERT_EQ(Info()[i], 0) << "text fill at " << i;
    }
}

TEST_F(WatermarkRecord, AZeroFilledTailIsCleanedAnyway) {
    auto record = qx::kit::MakeWatermarkRecord(qx::DescribeFrame(64, 64, 64, 32, 1, 0), "x");
    record[90] = 0;
    record[91] = 0;
    const std::vector<uint8_t> sei = qx::kit::BuildWatermarkSei(record.data());
    EXPECT_TRUE(Clean(sei));
    ASSERT_TRUE(Decipher(sei));
    EXPECT_STREQ(reinterpret_cast<const char*>(Info() + 40), "x");
}

TEST(WatermarkOptions, TextTooLongOrWrongCodecIsRefused) {
    EXPECT_THROW(qx::kit::MakeWatermarkRecord({}, std::string(50, 'a')), std::invalid_argument);
    EXPECT_NO_THROW(qx::kit::MakeWatermarkRecord({}, std::string(49, 'a')));
    qx::kit::StreamOptions options;
    options.watermark = std::string(50, 'a');
    EXPECT_THROW(qx::kit::Validate(options), std::invalid_argument);
    options.watermark = std::string(49, 'a');
    EXPECT_NO_THROW(qx::kit::Validate(options));
    options.codec = qx::kit::Codec::H265;
    EXPECT_THROW(qx::kit::Validate(options), std::invalid_argument);
}

TEST(WatermarkedStream, DecodesLikeTheSameStreamWithoutIt) {
    qx::kit::StreamOptions options;
    options.width = 176;
    options.height = 144;
    options.frames = 12;
    options.gop = 6;
    const std::vector<qx::kit::Packet> plain = qx::kit::StreamWriter::MakePackets(options);
    options.watermark = "north gate";
    const std::vector<qx::kit::Packet> marked = qx::kit::StreamWriter::MakePackets(options);
    const qx::DesCipher des(qx::kWatermarkKey);
    ASSERT_EQ(plain.size(), marked.size());
    int keys = 0;
    for (size_t i = 0; i < marked.size(); ++i) {
        const qx::kit::Packet& p = marked[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(p.header.nal_len, static_cast<int32_t>(p.payload.size()));
        const bool key =
            p.header.knd == 0 && plain[i].payload.size() > 4 && (plain[i].payload[4] & 0x1F) == 7;
        if (!key) {
            EXPECT_EQ(p.payload, plain[i].payload);
            continue;
        }
        ++keys;
        ASSERT_GT(p.payload.size(), 124u);
        EXPECT_EQ(p.payload[4], 6);
        EXPECT_EQ(p.payload[124 + 4] & 0x1F, 7) << "the SPS follows the SEI";
        EXPECT_EQ(std::vector<uint8_t>(p.payload.begin() + 124, p.payload.end()), plain[i].payload);
        EXPECT_TRUE(Clean(std::vector<uint8_t>(p.payload.begin(), p.payload.begin() + 124)));
        unsigned char info[qx::kSeiInfoSize];
        int length = 0;
        ASSERT_TRUE(qx::DecipherWatermarkSei(des, p.payload.data(),
                                             static_cast<int>(p.payload.size()), info, &length));
        ASSERT_EQ(length, 92);
        qx::FrameDescription words;
        std::memcpy(words.data(), info, sizeof words);
        EXPECT_EQ(words, qx::DescribeFrame(176, 144, 176, 88, qx::kFrameTypeKey, 0));
        EXPECT_STREQ(reinterpret_cast<const char*>(info + 40), "north gate");
    }
    EXPECT_EQ(keys, 2);
    const auto a = qx::kit::ReferenceDecoder::DecodeElementaryStream(
        options.codec, qx::kit::ElementaryStream(plain));
    const auto b = qx::kit::ReferenceDecoder::DecodeElementaryStream(
        options.codec, qx::kit::ElementaryStream(marked));
    ASSERT_EQ(a.size(), 12u);
    ASSERT_EQ(b.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i)
        EXPECT_TRUE(a[i].y == b[i].y && a[i].u == b[i].u && a[i].v == b[i].v) << i;
}

}  // namespace
