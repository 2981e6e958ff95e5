// The G.711 decoders under the audio decoder, and the decoder object's life.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "decode/VoiceDecode.h"
#include "decode/VoiceEngine.h"
#include "streamkit/G711.h"

namespace {

// A frame as the session builds it: tag word, length in words, 160 payload bytes.
std::vector<int16_t> Frame(const std::vector<uint8_t>& payload) {
    std::vector<int16_t> frame(2 + payload.size() / 2);
    frame[0] = 0x0100;
    frame[1] = static_cast<int16_t>(payload.size() / 2);
    std::memcpy(frame.data() + 2, payload.data(), payload.size());
    return frame;
}

TEST(G711, DecodesTheStandardCodes) {
    // A-law: 0xD5/0x55 are the smallest steps, 0xAA/0x2A the largest.
    EXPECT_EQ(qx::ALawToPcm(0xD5), 8);
    EXPECT_EQ(qx::ALawToPcm(0x55), -8);
    EXPECT_EQ(qx::ALawToPcm(0xAA), 32256);
    EXPECT_EQ(qx::ALawToPcm(0x2A), -32256);
    EXPECT_EQ(qx::ALawToPcm(0xC5), 264);
    // µ-law: 0xFF/0x7F are zero, 0x80/0x00 the extremes.
    EXPECT_EQ(qx::MuLawToPcm(0xFF), 0);
    EXPECT_EQ(qx::MuLawToPcm(0x7F), 0);
    EXPECT_EQ(qx::MuLawToPcm(0x80), 32124);
    EXPECT_EQ(qx::MuLawToPcm(0x00), -32124);
    EXPECT_EQ(qx::MuLawToPcm(0xFE), 8);
}

TEST(G711, EveryCodeMatchesAnIndependentDecoder) {
    for (int code = 0; code < 256; ++code) {
        EXPECT_EQ(qx::ALawToPcm(static_cast<uint8_t>(code)),
                  qx::kit::G711::DecodeALaw(static_cast<uint8_t>(code)))
            << code;
        EXPECT_EQ(qx::MuLawToPcm(static_cast<uint8_t>(code)),
                  qx::kit::G711::DecodeMuLaw(static_cast<uint8_t>(code)))
            << code;
    }
}

double SineRoundTripSnr(int type) {
    std::vector<int16_t> pcm(160);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(std::lround(12000 * std::sin(2 * M_PI * 440 * i / 8000.0)));
    const std::vector<uint8_t> coded = type == 1
                                           ? qx::kit::G711::EncodeALaw(pcm.data(), pcm.size())
                                           : qx::kit::G711::EncodeMuLaw(pcm.data(), pcm.size());
    VoiceDecode decoder;
    EXPECT_TRUE(decoder.DecodeVioceInit(type));
    const std::vector<int16_t> frame = Frame(coded);
    int16_t out[160] = {};
    int16_t length = 160;
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), 0);
    EXPECT_EQ(length, 160);
    double signal = 0, noise = 0;
    for (size_t i = 0; i < pcm.size(); ++i) {
        signal += static_cast<double>(pcm[i]) * pcm[i];
        noise += static_cast<double>(pcm[i] - out[i]) * (pcm[i] - out[i]);
    }
    return 10 * std::log10(signal / noise);
}

TEST(G711, ASineSurvivesTheRoundTrip) {
    EXPECT_GE(SineRoundTripSnr(1), 30.0);
    EXPECT_GE(SineRoundTripSnr(2), 30.0);
}

TEST(VoiceDecode, IsUsableOnlyAfterASuccessfulInit) {
    VoiceDecode decoder;
    EXPECT_EQ(decoder.GetAudioType(), -1);
    const std::vector<int16_t> frame = Frame(std::vector<uint8_t>(160, 0xD5));
    int16_t out[160];
    int16_t length = 160;
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), -1);
    ASSERT_TRUE(decoder.DecodeVioceInit(1));
    EXPECT_EQ(decoder.GetAudioType(), 1);
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), 0);
    EXPECT_EQ(out[0], 8);
}

TEST(VoiceDecode, UnknownAndLargeStateTypesFailCleanly) {
    VoiceDecode decoder;
    ASSERT_TRUE(decoder.DecodeVioceInit(2));
    EXPECT_FALSE(decoder.DecodeVioceInit(3));
    EXPECT_FALSE(decoder.DecodeVioceInit(5));
    const std::vector<int16_t> frame = Frame(std::vector<uint8_t>(160, 0xFF));
    int16_t out[160];
    int16_t length = 160;
    // No state was kept from the earlier type: nothing to decode with.
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), -1);
    // Initialising again and again keeps one state (a leak would show under LSan).
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(decoder.DecodeVioceInit(1 + i % 2));
}

TEST(VoiceDecode, RefusesFramesItCannotHold) {
    VoiceDecode decoder;
    ASSERT_TRUE(decoder.DecodeVioceInit(1));
    std::vector<int16_t> frame = Frame(std::vector<uint8_t>(160, 0xD5));
    int16_t out[160];
    int16_t length = 100;
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), -1) << "longer than the output";
    frame[0] = 0x0200;
    length = 160;
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), -1) << "without its tag";
    frame[0] = 0x0100;
    frame[1] = -4;
    EXPECT_EQ(decoder.DecodeVioce(frame.data(), out, length), -1) << "negative length";
}

TEST(VoiceDecode, CopiesHaveStatesOfTheirOwn) {
    auto original = std::make_unique<VoiceDecode>();
    ASSERT_TRUE(original->DecodeVioceInit(2));
    VoiceDecode copy(*original);
    VoiceDecode assigned;
    assigned = *original;
    original.reset();
    // Under AddressSanitizer a shared state would be used after the original freed it.
    const std::vector<int16_t> frame = Frame(std::vector<uint8_t>(160, 0x80));
    int16_t out[160];
    int16_t length = 160;
    EXPECT_EQ(copy.DecodeVioce(frame.data(), out, length), 0);
    EXPECT_EQ(out[0], 32124);
    EXPECT_EQ(assigned.DecodeVioce(frame.data(), out, length), 0);
    EXPECT_EQ(assigned.GetAudioType(), 2);
}

}  // namespace
