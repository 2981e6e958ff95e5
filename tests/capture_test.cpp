// Snapshot files and memory JPEGs, read back byte by byte (BMP) or through libjpeg's
// own decoder (JPEG), from pictures made here in memory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "capture/SnapshotFiles.h"

namespace {

// A gradient that differs in every channel and direction, so that a picture turned
// upside down or with red and blue exchanged does not match. Bottom-up unless asked
// otherwise, as the library takes it: the buffer's first row is the picture's bottom row.
std::vector<unsigned char> MakePicture(int width, int height, bool topDown = false) {
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        auto* p = &rgb[static_cast<size_t>(topDown ? y : height - 1 - y) * width * 3];
        for (int x = 0; x < width; ++x, p += 3) {
            p[0] = static_cast<unsigned char>(width > 1 ? 255 * x / (width - 1) : 40);
            p[1] = static_cast<unsigned char>(height > 1 ? 255 * y / (height - 1) : 90);
            p[2] = static_cast<unsigned char>(255 - (p[0] + p[1]) / 2);
        }
    }
    return rgb;
}

// A unique directory under /tmp, removed with everything in it.
struct TempDir {
    std::string path = [] {
        char name[] = "/tmp/qx_capture_XXXXXX";
        return std::string(::mkdtemp(name) != nullptr ? name : "");
    }();
    ~TempDir() {
        if (!path.empty())
            std::filesystem::remove_all(path);
    }
    std::string File(const std::string& name) const { return path + "/" + name; }
};

bool IsDevFull() {
    struct stat status;
    return ::stat("/dev/full", &status) == 0 && S_ISCHR(status.st_mode);
}

std::vector<unsigned char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

// ---- decoding, with an error manager that returns instead of ending the test ----

struct DecodeErrors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

struct Decoded {
    bool ok = false;
    bool jfif = false;
    bool sequential = false;  // neither progressive nor arithmetic: what every reader takes
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // top-down
};

// Kept free of objects with destructors: a decoder error longjmps back here. The
// result, and the decompressor, live in the caller's frame.
void DecodeInto(jpeg_decompress_struct* info, DecodeErrors* errors, const unsigned char* data,
                size_t size, Decoded* out) {
    std::memset(info, 0, sizeof *info);
    info->err = jpeg_std_error(&errors->base);
    errors->base.error_exit = [](j_common_ptr i) {
        std::longjmp(reinterpret_cast<DecodeErrors*>(i->err)->jump, 1);
    };
    errors->base.output_message = [](j_common_ptr) {};
    if (setjmp(errors->jump) != 0) {
        jpeg_destroy_decompress(info);
        out->ok = false;
        return;
    }
    jpeg_create_decompress(info);
    jpeg_mem_src(info, data, static_cast<unsigned long>(size));
    jpeg_read_header(info, TRUE);
    out->jfif = info->saw_JFIF_marker;
    out->sequential = !info->progressive_mode && !info->arith_code;
    info->out_color_space = JCS_RGB;
    jpeg_start_decompress(info);
    out->width = static_cast<int>(info->output_width);
    out->height = static_cast<int>(info->output_height);
    out->rgb.assign(static_cast<size_t>(out->width) * out->height * 3, 0);
    while (info->output_scanline < info->output_height) {
        JSAMPROW row =
            out->rgb.data() + static_cast<size_t>(info->output_scanline) * out->width * 3;
        jpeg_read_scanlines(info, &row, 1);
    }
    jpeg_finish_decompress(info);
    jpeg_destroy_decompress(info);
    out->ok = true;
}

Decoded Decode(const std::vector<unsigned char>& jpeg) {
    Decoded out;
    jpeg_decompress_struct info;
    DecodeErrors errors;
    if (!jpeg.empty())
        DecodeInto(&info, &errors, jpeg.data(), jpeg.size(), &out);
    return out;
}

double Psnr(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += (static_cast<double>(a[i]) - b[i]) * (static_cast<double>(a[i]) - b[i]);
    const double mse = sum / static_cast<double>(a.size());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::vector<unsigned char> CompressToVector(const std::vector<unsigned char>& rgb, int width,
                                            int height) {
    std::vector<unsigned char> out(4u << 20);
    uint32_t size = 0;
    const bool ok =
        qx::CompressJpegToMemory(rgb.data(), width, height, out.data(), 4u << 20, &size);
    out.resize(ok ? size : 0);
    return out;
}

// Sizes no picture file may have: none at all, negative, or past INT32_MAX bytes.
const int kBadSizes[][2] = {
    {0, 8},      {8, 0}, {-1, 8}, {8, -1}, {INT_MIN, INT_MIN}, {100000, 100000}, {INT_MAX, INT_MAX},
    {INT_MAX, 2}};

// ---- BMP ----

// Width, height, and bytes a row worked out by hand: 3 x width rounded up to 4.
class BmpLayout : public ::testing::TestWithParam<std::array<int, 3>> {};

TEST_P(BmpLayout, HeaderRowsPaddingAndByteOrder) {
    const auto [width, height, rowBytes] = GetParam();
    TempDir dir;
    const std::string path = dir.File("picture.bmp");
    const std::vector<unsigned char> source = MakePicture(width, height);
    std::vector<unsigned char> buffer = source;

    ASSERT_TRUE(qx::WriteBmpFile(buffer.data(), width, height, path.c_str()));
    const std::vector<unsigned char> file = ReadAll(path);
    const uint32_t image = static_cast<uint32_t>(rowBytes * height);
    ASSERT_EQ(file.size(), 54u + image);
    // Little-endian: file size, reserved, image offset, information size, width, height
    // (positive: bottom-up), 1 plane and 24 bits, no compression, image size, zeros.
    std::vector<unsigned char> want = {'B', 'M'};
    for (uint32_t v : {54 + image, 0u, 54u, 40u, static_cast<uint32_t>(width),
                       static_cast<uint32_t>(height), 1u | 24u << 16, 0u, image, 0u, 0u, 0u, 0u})
        for (int k = 0; k < 4; ++k)
            want.push_back(static_cast<unsigned char>(v >> 8 * k));
    // Hosts read their buffer back as blue, green, red, and that is what the file holds,
    // rows bottom-up as in the buffer, padded with zeros.
    std::vector<unsigned char> exchanged = source;
    for (size_t i = 0; i < exchanged.size(); i += 3)
        std::swap(exchanged[i], exchanged[i + 2]);
    EXPECT_EQ(buffer, exchanged);
    for (int r = 0; r < height; ++r) {
        const auto row = exchanged.begin() + static_cast<ptrdiff_t>(r) * width * 3;
        want.insert(want.end(), row, row + width * 3);
        want.resize(want.size() + rowBytes - 3 * width, 0);
    }
    EXPECT_TRUE(file == want);

    // The in-memory export builds the same header.
    unsigned char header[54];
    qx::WriteBmpHeader(header, width, height);
    EXPECT_TRUE(std::equal(header, header + 54, want.begin()));
    EXPECT_EQ(qx::BmpRowBytes(width), rowBytes);
    EXPECT_EQ(qx::BmpFileSize(width, height), static_cast<int64_t>(file.size()));
}

INSTANTIATE_TEST_SUITE_P(Widths, BmpLayout,
                         ::testing::Values(std::array{4, 3, 12}, std::array{160, 120, 480},
                                           std::array{1, 7, 4}, std::array{3, 5, 12},
                                           std::array{5, 2, 16}, std::array{101, 37, 304},
                                           std::array{2, 1, 8}));

TEST(BmpSizes, LargestFileIsAcceptedAndOneRowMoreIsNot) {
    // 54 + 12 x 178956966 = 2147483646, the last that stays within INT32_MAX; odd
    // widths count their padding: 4 bytes a row for one pixel.
    EXPECT_EQ(qx::BmpFileSize(4, 178956966), 2147483646);
    EXPECT_EQ(qx::BmpFileSize(4, 178956967), 0);
    EXPECT_EQ(qx::BmpFileSize(1, 536870898), 54 + 4LL * 536870898);
    EXPECT_EQ(qx::BmpFileSize(1, 536870899), 0);
    for (const auto& s : kBadSizes)
        EXPECT_EQ(qx::BmpFileSize(s[0], s[1]), 0) << s[0] << " x " << s[1];
    EXPECT_EQ(qx::BmpFileSize(INT_MAX, 1), 0);
    EXPECT_TRUE(qx::BmpRowBytes(0) == 0 && qx::BmpRowBytes(-5) == 0);
    EXPECT_EQ(qx::BmpRowBytes(INT_MAX), (3LL * INT_MAX + 3) & ~3LL);

    unsigned char header[54];
    std::memset(header, 0xEE, sizeof header);
    qx::WriteBmpHeader(header, 100000, 100000);
    EXPECT_EQ(std::count(header, header + 54, 0), 54) << "a header for a refused size";
}

TEST(BmpFailures, BadArgumentsAndFailedWritesLeaveNoFileAndTheBufferAsItWas) {
    TempDir dir;
    const std::string path = dir.File("never.bmp");
    const std::string missing = dir.File("missing") + "/picture.bmp";
    const std::vector<unsigned char> source = MakePicture(8, 8);
    std::vector<unsigned char> buffer = source;

    EXPECT_FALSE(qx::WriteBmpFile(nullptr, 8, 8, path.c_str()));
    EXPECT_FALSE(qx::WriteBmpFile(buffer.data(), 8, 8, nullptr));
    // The small buffer shows that nothing is read for the large sizes (ASan would see it).
    for (const auto& s : kBadSizes)
        EXPECT_FALSE(qx::WriteBmpFile(buffer.data(), s[0], s[1], path.c_str()))
            << s[0] << " x " << s[1];
    // 54 + 12 x 178956967 passes INT32_MAX.
    EXPECT_FALSE(qx::WriteBmpFile(buffer.data(), 4, 178956967, path.c_str()));
    EXPECT_FALSE(qx::WriteBmpFile(buffer.data(), 8, 8, missing.c_str()));
    EXPECT_FALSE(std::filesystem::exists(path) || std::filesystem::exists(missing));
    EXPECT_EQ(buffer, source);

    if (IsDevFull()) {  // a failed write is reported, and the device is not removed
        std::vector<unsigned char> large = MakePicture(160, 120);
        EXPECT_FALSE(qx::WriteBmpFile(large.data(), 160, 120, "/dev/full"));
        EXPECT_TRUE(IsDevFull());
    }
}

// ---- JPEG ----

TEST(Jpeg, FileAndMemoryDecodeToThePictureTopRowFirstAtEveryQuality) {
    TempDir dir;
    const int width = 160, height = 128;
    const std::vector<unsigned char> source = MakePicture(width, height);
    const std::string path = dir.File("picture.jpg");
    ASSERT_TRUE(qx::WriteJpegFile(path.c_str(), source.data(), width, height, 80));

    const std::vector<unsigned char> file = ReadAll(path);
    const Decoded d = Decode(file);
    ASSERT_TRUE(d.ok && d.jfif && d.sequential && d.width == width && d.height == height);
    // A file written in buffer order, upside down, or with red and blue exchanged would
    // be far below this.
    EXPECT_GE(Psnr(d.rgb, MakePicture(width, height, true)), 30.0);

    // At 80 no quantiser passes 255, so the memory image, forced to baseline, is the
    // same stream.
    EXPECT_EQ(CompressToVector(source, width, height), file);

    // Odd sizes. Lower quality is smaller; below 1 and above 100 it is clamped, to the
    // size of the first of each.
    const std::vector<unsigned char> odd = MakePicture(101, 37);
    size_t previous = 0;
    for (int quality : {INT_MIN, -5, 0, 20, 50, 80, 95, 101, INT_MAX}) {
        const std::string name = dir.File("q" + std::to_string(quality) + ".jpg");
        ASSERT_TRUE(qx::WriteJpegFile(name.c_str(), odd.data(), 101, 37, quality)) << quality;
        const std::vector<unsigned char> coded = ReadAll(name);
        const Decoded q = Decode(coded);
        EXPECT_TRUE(q.ok && q.width == 101 && q.height == 37) << quality;
        EXPECT_EQ(coded.size() > previous, quality != -5 && quality != 0 && quality != INT_MAX)
            << quality;
        previous = coded.size();
    }
}

TEST(Jpeg, BadArgumentsUnwritablePathsAndEncoderErrorsFailSilentlyWithoutAFile) {
    TempDir dir;
    const std::vector<unsigned char> source = MakePicture(8, 8);
    const std::string path = dir.File("never.jpg");
    const std::string missing = dir.File("missing") + "/picture.jpg";
    EXPECT_FALSE(qx::WriteJpegFile(nullptr, source.data(), 8, 8, 80));
    EXPECT_FALSE(qx::WriteJpegFile(path.c_str(), nullptr, 8, 8, 80));
    for (const auto& s : kBadSizes)
        EXPECT_FALSE(qx::WriteJpegFile(path.c_str(), source.data(), s[0], s[1], 80));
    EXPECT_FALSE(qx::WriteJpegFile(missing.c_str(), source.data(), 8, 8, 80));
    EXPECT_FALSE(std::filesystem::exists(path) || std::filesystem::exists(missing));

    constexpr unsigned char kUntouched = 0x5A;
    std::vector<unsigned char> out(65536, kUntouched);
    uint32_t size = 0;
    EXPECT_FALSE(qx::CompressJpegToMemory(source.data(), 8, 8, out.data(), 65536, nullptr));
    // False, with the size cleared.
    const auto refused = [&](const unsigned char* rgb, int width, int height, unsigned char* to) {
        size = 777;
        return !qx::CompressJpegToMemory(rgb, width, height, to, 65536, &size) && size == 0;
    };
    EXPECT_TRUE(refused(nullptr, 8, 8, out.data()));
    EXPECT_TRUE(refused(source.data(), 8, 8, nullptr));
    for (const auto& s : kBadSizes)
        EXPECT_TRUE(refused(source.data(), s[0], s[1], out.data())) << s[0] << " x " << s[1];
    EXPECT_EQ(std::count(out.begin(), out.end(), kUntouched), 65536);

    // Wider than JPEG allows (65500): libjpeg itself refuses it, inside the encoder; and
    // a device that takes no bytes. Both come back as false, silently, and leave no file.
    const int width = 70000;
    const std::vector<unsigned char> wide(static_cast<size_t>(width) * 3, 128);
    out.resize(1 << 20);
    size = 777;
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(qx::WriteJpegFile(path.c_str(), wide.data(), width, 1, 80));
    EXPECT_FALSE(qx::CompressJpegToMemory(wide.data(), width, 1, out.data(), 1u << 20, &size));
    const bool full = IsDevFull();
    const std::vector<unsigned char> large = MakePicture(160, 128);
    EXPECT_FALSE(full && qx::WriteJpegFile("/dev/full", large.data(), 160, 128, 95));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(IsDevFull(), full);
}

// Sizes that end in the middle of a work buffer, on more than one, and below one.
class JpegMemoryBounds : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(JpegMemoryBounds, ExactCapacityFitsAndOneByteLessDoesNotOverrun) {
    const int width = GetParam().first, height = GetParam().second;
    std::vector<unsigned char> source = MakePicture(width, height);
    // Detail that costs bytes, so that the larger pictures need several flushes.
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<unsigned char>(source[i] ^ ((i * 2654435761u) >> 27));
    const std::vector<unsigned char> reference = CompressToVector(source, width, height);
    ASSERT_FALSE(reference.empty());
    const uint32_t size = static_cast<uint32_t>(reference.size());

    constexpr size_t kGuard = 64;
    constexpr unsigned char kPattern = 0xA5;
    for (uint32_t capacity : {size, size - 1, 4096u, 4095u, 10u, 1u, 0u}) {
        std::vector<unsigned char> arena(kGuard + capacity + kGuard, kPattern);
        unsigned char* destination = arena.data() + kGuard;
        uint32_t outSize = 12345;
        const bool fits = capacity >= size;
        ::testing::internal::CaptureStderr();
        const bool ok =
            qx::CompressJpegToMemory(source.data(), width, height, destination, capacity, &outSize);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(ok, fits) << "capacity " << capacity << " of " << size;
        EXPECT_EQ(outSize, fits ? size : 0u) << "capacity " << capacity;
        EXPECT_TRUE(!fits || std::equal(reference.begin(), reference.end(), destination));
        EXPECT_EQ(std::string(arena.begin(), arena.begin() + kGuard) +
                      std::string(arena.end() - kGuard, arena.end()),
                  std::string(2 * kGuard, kPattern))
            << "capacity " << capacity;

        // An allocation of exactly the capacity, for ASan to watch its end.
        std::unique_ptr<unsigned char[]> exact(new unsigned char[capacity > 0 ? capacity : 1]);
        EXPECT_EQ(
            qx::CompressJpegToMemory(source.data(), width, height, exact.get(), capacity, &outSize),
            fits);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, JpegMemoryBounds,
                         ::testing::Values(std::make_pair(8, 8), std::make_pair(64, 48),
                                           std::make_pair(320, 240)));

}  // namespace
