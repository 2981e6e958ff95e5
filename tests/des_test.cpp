// The block cipher against published known answers, and the watermark record reader
// against records written by the stream kit and against hostile lengths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "stream/DesCipher.h"
#include "stream/WatermarkSei.h"
#include "streamkit/StreamKit.h"
#include "streamkit/WatermarkSei.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

TEST(Des, KnownAnswersBothWays) {
    // Key, plain text, cipher text. The last key differs from the second but in its
    // parity bits, which do not matter.
    const char* answers[][3] = {{"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
                                {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
                                {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
                                {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
                                {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
                                {"0022446688AACCEE", "4E6F772069732074", "3FA40E8A984D4815"}};
    for (const auto& a : answers) {
        const qx::DesCipher des(Hex(a[0]).data());
        Bytes out(8);
        des.EncryptBlock(Hex(a[1]).data(), out.data());
        EXPECT_EQ(out, Hex(a[2])) << a[0];
        des.DecryptBlock(Hex(a[2]).data(), out.data());
        EXPECT_EQ(out, Hex(a[1])) << a[0];
    }
}

// A payload of the given size whose front is a vendor SEI with the given length bytes
// behind a four-byte start code, its markers in place.
Bytes SeiPayload(size_t size, uint8_t high, uint8_t low) {
    Bytes payload(size, 0x5A);
    const uint8_t front[] = {0, 0, 0, 1, 6};
    std::copy(front, front + sizeof front, payload.begin());
    const uint8_t lengthAndMarkers[] = {high, low, 5, 1};
    std::copy(lengthAndMarkers, lengthAndMarkers + 4, payload.begin() + 27);
    return payload;
}

class WatermarkRecord : public testing::Test {
  protected:
    // The 1024-byte output between guard bytes, the payload in a buffer of exactly its
    // size, so that a read or write past either is caught; a refusal writes nothing.
    bool Decipher(const Bytes& payload) {
        m_out.assign(qx::kSeiInfoSize + 2 * kGuard, 0xEE);
        m_length = -1;
        const bool ok = qx::DecipherWatermarkSei(m_des, payload.data(), int(payload.size()),
                                                 m_out.data() + kGuard, &m_length);
        const size_t untouched = ok ? kGuard : m_out.size();
        EXPECT_EQ(std::count(m_out.begin(), m_out.begin() + kGuard, 0xEE) +
                      std::count(m_out.end() - untouched, m_out.end(), 0xEE),
                  long(kGuard + untouched));
        EXPECT_EQ(ok, m_length >= 0);
        return ok;
    }
    const uint8_t* Info() const { return m_out.data() + kGuard; }

    static constexpr size_t kGuard = 32;
    const qx::DesCipher m_des{qx::kWatermarkKey};
    Bytes m_out;
    int m_length = -1;
};

TEST_F(WatermarkRecord, WholeBlocksAreDecipheredAndThePartialOneCopied) {
    // L = 16 + 29 = 45: 13 bytes, one block and five plain bytes.
    Bytes payload = SeiPayload(200, 0, 16);
    const uint8_t plain[16] = {'t', 'h', 'r', 'e', 'e', '-', 'b', 'y',
                               't', 'e', ' ', 'f', 'o', 'r', 'm', '.'};
    m_des.EncryptBlock(plain, payload.data() + 31);
    ASSERT_TRUE(Decipher(payload));
    EXPECT_EQ(m_length, 13);
    EXPECT_EQ(std::memcmp(Info(), plain, 8) | std::memcmp(Info() + 8, payload.data() + 39, 5), 0);
    EXPECT_EQ(std::count(Info() + 13, Info() + qx::kSeiInfoSize, 0), qx::kSeiInfoSize - 13);
    // Wrong markers, or too short to hold both.
    for (int at : {29, 30}) {
        Bytes wrong = payload;
        wrong[at] ^= 6;
        EXPECT_FALSE(Decipher(wrong)) << at;
    }
    EXPECT_FALSE(Decipher(Bytes(payload.begin(), payload.begin() + 30)));

    // Behind a three-byte start code the length is one byte earlier: L = 20 + 28 = 48,
    // 16 bytes; read at 27/28 it would be 5129.
    payload[2] = 1;
    payload[3] = 6;
    payload[26] = 0;
    payload[27] = 20;
    m_des.EncryptBlock(plain + 8, payload.data() + 39);
    ASSERT_TRUE(Decipher(payload));
    EXPECT_EQ(Bytes(Info(), Info() + m_length), Bytes(plain, plain + 16));
    payload[26] = 1;  // 255 + 20 + 28 - 32 = 271 bytes behind byte 31: past the end
    EXPECT_FALSE(Decipher(payload));
}

TEST_F(WatermarkRecord, EveryLengthIsSafeAndHugeRecordsAreCutToTheWorkArea) {
    Bytes shortPayload = SeiPayload(64, 0, 0);
    Bytes longPayload = SeiPayload(70000, 0, 0);
    for (size_t i = 31; i < longPayload.size(); ++i)
        longPayload[i] = static_cast<uint8_t>(i * 7);
    for (int high = 0; high < 256; ++high) {
        for (int low = 0; low < 256; ++low) {
            for (Bytes* payload : {&shortPayload, &longPayload}) {
                (*payload)[27] = static_cast<uint8_t>(high);
                (*payload)[28] = static_cast<uint8_t>(low);
                const int n = high * 255 + low + 29 - 32;
                const bool fits = n > 0 && 31 + n <= static_cast<int>(payload->size());
                ASSERT_EQ(Decipher(*payload), fits) << high << "," << low;
                ASSERT_EQ(m_length, fits ? std::min(n, qx::kSeiWorkSize) : -1);
            }
        }
    }
    // The last case: the longest record, cut; its 64th block deciphered, nothing behind.
    Bytes block(8);
    m_des.DecryptBlock(longPayload.data() + 31 + 504, block.data());
    EXPECT_EQ(Bytes(Info() + 504, Info() + 512), block);
    EXPECT_EQ(std::count(Info() + 512, Info() + qx::kSeiInfoSize, 0), qx::kSeiInfoSize - 512);
}

TEST_F(WatermarkRecord, TheKitsRecordsComeBackWholeAtEveryKeyPicture) {
    const auto description = qx::DescribeFrame(352, 288, 352, 176, qx::kFrameTypeKey, 0);
    // Every text length: short texts leave the plain tail (bytes 88..91) zero but for
    // the filler, long ones leave no free enciphered byte; and a zero-filled tail.
    for (size_t size = 0; size <= qx::kit::kWatermarkTextMax + 1; ++size) {
        SCOPED_TRACE(size);
        std::string text;
        for (size_t i = 0; i < std::min(size, qx::kit::kWatermarkTextMax); ++i)
            text += static_cast<char>('A' + i % 26);
        auto record = qx::kit::MakeWatermarkRecord(description, text);
        if (size > qx::kit::kWatermarkTextMax)
            record[90] = record[91] = 0;
        const Bytes sei = qx::kit::BuildWatermarkSei(record.data());
        // Nothing after the start code reads as a start code or an escape to a decoder.
        for (size_t i = 4; i + 2 < sei.size(); ++i)
            ASSERT_FALSE(sei[i] == 0 && sei[i + 1] == 0 && sei[i + 2] <= 3) << i;
        ASSERT_TRUE(Decipher(sei));
        ASSERT_EQ(m_length, 92);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(Info() + 40)), text);
        // Only byte 87 may have been varied to keep the unit clean.
        EXPECT_EQ(std::memcmp(Info(), record.data(), 87), 0);
        EXPECT_TRUE(size > text.size() || !std::memcmp(Info() + 88, &record[88], 4));
    }
    EXPECT_THROW(qx::kit::MakeWatermarkRecord({}, std::string(50, 'a')), std::invalid_argument);

    // In a stream the record goes in front of every key picture, its SPS behind it, and
    // nowhere else.
    qx::kit::StreamOptions options;
    options.frames = 12;
    options.gop = 6;
    const std::vector<qx::kit::Packet> plain = qx::kit::StreamWriter::MakePackets(options);
    options.watermark = "north gate";
    const std::vector<qx::kit::Packet> marked = qx::kit::StreamWriter::MakePackets(options);
    ASSERT_EQ(plain.size(), marked.size());
    int keys = 0;
    for (size_t i = 0; i < marked.size(); ++i) {
        const Bytes& p = marked[i].payload;
        if (p.size() < 124 + 5 || Bytes(p.begin() + 124, p.end()) != plain[i].payload) {
            EXPECT_EQ(p, plain[i].payload) << i;
            continue;
        }
        ++keys;
        EXPECT_TRUE(p[4] == 6 && (p[124 + 4] & 0x1F) == 7) << i;
        ASSERT_TRUE(Decipher(p));
        EXPECT_STREQ(reinterpret_cast<const char*>(Info() + 40), "north gate");
    }
    EXPECT_EQ(keys, 2);
}

}  // namespace
