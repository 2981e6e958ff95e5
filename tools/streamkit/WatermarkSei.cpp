#include "streamkit/WatermarkSei.h"

#include <cstring>
#include <stdexcept>

#include "stream/DesCipher.h"

namespace qx::kit {

namespace {

constexpr size_t kTextOffset = 40;
constexpr size_t kTextField = 50;
constexpr size_t kLastBlockByte = 87;
constexpr size_t kFillerByte = 90;
// Bytes 88..91 are the partial last block and travel in plain: with the text's zero fill
// they would read 00 00 00, so the first spare byte always carries this.
constexpr uint8_t kFiller = 0x5A;
// The SEI's own bytes that the record length counts besides the ciphertext.
constexpr size_t kFraming = 32;
constexpr uint8_t kIdentifier[16] = {0x51, 0x58, 0x57, 0x4D, 0x7A, 0x3C, 0x11, 0xE7,
                                     0x9A, 0x52, 0x61, 0x6B, 0x2F, 0xC4, 0x88, 0x1D};
constexpr uint8_t kVendor[4] = {0x56, 0x4B, 0x01, 0x02};

// 00 00 followed by 00..03 would be read as a start code or unescaped by a decoder.
bool Escapable(const std::vector<uint8_t>& unit) {
    for (size_t i = 4; i + 2 < unit.size(); ++i) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] <= 3)
            return true;
    }
    return false;
}

std::vector<uint8_t> Unit(const qx::DesCipher& des,
                          const std::array<uint8_t, kWatermarkRecordSize>& plain) {
    const size_t length = kWatermarkRecordSize + kFraming;
    // payloadType 5 (user data unregistered); its size runs up to the trailing byte.
    std::vector<uint8_t> unit = {0, 0, 0, 1, 0x06, 5, static_cast<uint8_t>(length - 8)};
    unit.insert(unit.end(), std::begin(kIdentifier), std::end(kIdentifier));
    unit.insert(unit.end(), std::begin(kVendor), std::end(kVendor));
    unit.push_back(static_cast<uint8_t>((length - 29) / 255));
    unit.push_back(static_cast<uint8_t>((length - 29) % 255));
    unit.push_back(5);
    unit.push_back(1);
    const size_t blocks = plain.size() / 8;
    for (size_t b = 0; b < blocks; ++b) {
        uint8_t out[8];
        des.EncryptBlock(plain.data() + 8 * b, out);
        unit.insert(unit.end(), out, out + 8);
    }
    unit.insert(unit.end(), plain.begin() + 8 * blocks, plain.end());
    unit.push_back(0x80);
    return unit;
}

}  // namespace

std::array<uint8_t, kWatermarkRecordSize> MakeWatermarkRecord(
    const qx::FrameDescription& description, const std::string& text) {
    if (text.size() > kWatermarkTextMax)
        throw std::invalid_argument("watermark text longer than 49 bytes");
    std::array<uint8_t, kWatermarkRecordSize> record{};
    std::memcpy(record.data(), description.data(), sizeof description);
    std::memcpy(record.data() + kTextOffset, text.data(), text.size());
    record[kFillerByte] = kFiller;
    return record;
}

std::vector<uint8_t> BuildWatermarkSei(const uint8_t record[kWatermarkRecordSize]) {
    const qx::DesCipher des(qx::kWatermarkKey);
    std::array<uint8_t, kWatermarkRecordSize> plain;
    std::memcpy(plain.data(), record, plain.size());
    plain[kFillerByte] = kFiller;
    // Only a byte inside a whole block changes the ciphertext, and the last such byte of
    // the text field is free when the text ends before it; the reader shows the text up
    // to its zero only.
    const uint8_t* text = plain.data() + kTextOffset;
    const bool free = std::memchr(text, 0, kLastBlockByte - kTextOffset) != nullptr;
    const uint8_t given = plain[kLastBlockByte];
    for (int v = 0; v < (free ? 256 : 1); ++v) {
        plain[kLastBlockByte] = static_cast<uint8_t>(given ^ v);
        std::vector<uint8_t> unit = Unit(des, plain);
        if (!Escapable(unit))
            return unit;
    }
    static_assert(kLastBlockByte < kTextOffset + kTextField, "varied byte lies in the text field");
    throw std::runtime_error("no watermark SEI without escape patterns for this record");
}

}  // namespace qx::kit
