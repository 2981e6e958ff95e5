// Snapshot files and memory JPEGs, read back byte by byte (BMP) or through libjpeg's
// own decoder (JPEG), from pictures made here in memory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "capture/SnapshotFiles.h"

namespace {

struct Rgb {
    int r, g, b;
};

// A gradient with a red block at the top left and a blue one at the bottom right,
// placed on 16-pixel boundaries so that JPEG blocks do not straddle their edges.
// (x, y) counts from the top left; the buffer is bottom-up, as the library takes it.
Rgb PixelAt(int x, int y, int width, int height) {
    if (x < width / 4 && y < height / 4 && width >= 64)
        return {230, 20, 20};
    if (x >= width - width / 4 && y >= height - height / 4 && width >= 64)
        return {20, 20, 230};
    const int r = width > 1 ? 255 * x / (width - 1) : 40;
    const int g = height > 1 ? 255 * y / (height - 1) : 90;
    return {r, g, 255 - (r + g) / 2};
}

std::vector<unsigned char> MakePicture(int width, int height) {
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        unsigned char* row = rgb.data() + static_cast<size_t>(height - 1 - y) * width * 3;
        for (int x = 0; x < width; ++x) {
            const Rgb p = PixelAt(x, y, width, height);
            row[3 * x] = static_cast<unsigned char>(p.r);
            row[3 * x + 1] = static_cast<unsigned char>(p.g);
            row[3 * x + 2] = static_cast<unsigned char>(p.b);
        }
    }
    return rgb;
}

// The same picture top-down, as a decoder returns it.
std::vector<unsigned char> TopDown(const std::vector<unsigned char>& bottomUp, int width,
                                   int height) {
    const size_t row = static_cast<size_t>(width) * 3;
    std::vector<unsigned char> out(bottomUp.size());
    for (int y = 0; y < height; ++y)
        std::memcpy(out.data() + row * y, bottomUp.data() + row * (height - 1 - y), row);
    return out;
}

// A unique directory under /tmp, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/qx_capture_XXXXXX";
        if (::mkdtemp(name) != nullptr)
            m_path = name;
    }
    ~TempDir() {
        for (const std::string& file : m_files)
            std::remove(file.c_str());
        if (!m_path.empty())
            ::rmdir(m_path.c_str());
    }
    bool ok() const { return !m_path.empty(); }
    std::string File(const std::string& name) {
        m_files.push_back(m_path + "/" + name);
        return m_files.back();
    }

  private:
    std::string m_path;
    std::vector<std::string> m_files;
};

bool Exists(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

std::vector<unsigned char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

uint32_t Get16(const std::vector<unsigned char>& b, size_t at) {
    return b[at] | (b[at + 1] << 8);
}

uint32_t Get32(const std::vector<unsigned char>& b, size_t at) {
    return Get16(b, at) | (Get16(b, at + 2) << 16);
}

// ---- decoding, with an error manager that returns instead of ending the test ----

struct DecodeErrors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void DecodeErrorExit(j_common_ptr info) {
    std::longjmp(reinterpret_cast<DecodeErrors*>(info->err)->jump, 1);
}

void DecodeSilent(j_common_ptr) {}

struct Decoded {
    bool ok = false;
    int width = 0;
    int height = 0;
    int components = 0;
    std::vector<unsigned char> rgb;  // top-down
};

// Kept free of objects with destructors: a decoder error longjmps back here. The
// result, and the decompressor, live in the caller's frame.
void DecodeInto(jpeg_decompress_struct* info, DecodeErrors* errors, const unsigned char* data,
                size_t size, Decoded* out) {
    std::memset(info, 0, sizeof *info);
    info->err = jpeg_std_error(&errors->base);
    errors->base.error_exit = DecodeErrorExit;
    errors->base.output_message = DecodeSilent;
    if (setjmp(errors->jump) != 0) {
        jpeg_destroy_decompress(info);
        out->ok = false;
        return;
    }
    jpeg_create_decompress(info);
    jpeg_mem_src(info, data, static_cast<unsigned long>(size));
    jpeg_read_header(info, TRUE);
    info->out_color_space = JCS_RGB;
    jpeg_start_decompress(info);
    out->width = static_cast<int>(info->output_width);
    out->height = static_cast<int>(info->output_height);
    out->components = info->output_components;
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
    if (jpeg.empty())
        return out;
    jpeg_decompress_struct info;
    DecodeErrors errors;
    DecodeInto(&info, &errors, jpeg.data(), jpeg.size(), &out);
    return out;
}

// The start-of-frame marker type (0xC0 baseline, 0xC1 extended, 0xC2 progressive), and
// whether a JFIF APP0 segment comes first; 0 when the stream does not parse.
struct Markers {
    int frame = 0;
    bool jfif = false;
};

Markers ReadMarkers(const std::vector<unsigned char>& jpeg) {
    Markers m;
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return m;
    size_t at = 2;
    bool first = true;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const int marker = jpeg[at + 1];
        const size_t length = (jpeg[at + 2] << 8) | jpeg[at + 3];
        if (first && marker == 0xE0 && at + 9 <= jpeg.size())
            m.jfif = std::memcmp(&jpeg[at + 4], "JFIF", 5) == 0;
        first = false;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC) {
            m.frame = marker;
            return m;
        }
        if (marker == 0xDA)
            return m;
        at += 2 + length;
    }
    return m;
}

double Psnr(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(a.size());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

Rgb DecodedAt(const Decoded& d, int x, int y) {
    const unsigned char* p = d.rgb.data() + (static_cast<size_t>(y) * d.width + x) * 3;
    return {p[0], p[1], p[2]};
}

std::vector<unsigned char> CompressToVector(const std::vector<unsigned char>& rgb, int width,
                                            int height) {
    std::vector<unsigned char> out(4u << 20);
    uint32_t size = 0;
    if (!qx::CompressJpegToMemory(rgb.data(), width, height, out.data(),
                                  static_cast<uint32_t>(out.size()), &size))
        return {};
    out.resize(size);
    return out;
}

// ---- BMP ----

struct BmpCase {
    int width;
    int height;
    int64_t rowBytes;  // worked out by hand: 3 x width rounded up to 4
};

class BmpLayout : public ::testing::TestWithParam<BmpCase> {};

TEST_P(BmpLayout, HeaderRowsPaddingAndByteOrder) {
    const BmpCase c = GetParam();
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.File("picture.bmp");
    const std::vector<unsigned char> source = MakePicture(c.width, c.height);
    std::vector<unsigned char> buffer = source;

    ASSERT_TRUE(qx::WriteBmpFile(buffer.data(), c.width, c.height, path.c_str()));
    const std::vector<unsigned char> file = ReadAll(path);
    const uint32_t image = static_cast<uint32_t>(c.rowBytes * c.height);
    ASSERT_EQ(file.size(), 54u + image);

    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(Get32(file, 2), 54u + image);
    EXPECT_EQ(Get32(file, 6), 0u);  // both reserved words
    EXPECT_EQ(Get32(file, 10), 54u);
    EXPECT_EQ(Get32(file, 14), 40u);
    EXPECT_EQ(static_cast<int32_t>(Get32(file, 18)), c.width);
    EXPECT_EQ(static_cast<int32_t>(Get32(file, 22)), c.height);
    EXPECT_EQ(Get16(file, 26), 1u);
    EXPECT_EQ(Get16(file, 28), 24u);
    EXPECT_EQ(Get32(file, 30), 0u);
    EXPECT_EQ(Get32(file, 34), image);
    for (size_t at = 38; at < 54; at += 4)
        EXPECT_EQ(Get32(file, at), 0u) << "offset " << at;

    // The first row in the file is the picture's bottom row: buffer row 0.
    int wrong = 0;
    for (int r = 0; r < c.height; ++r) {
        const unsigned char* in = source.data() + static_cast<size_t>(r) * c.width * 3;
        const size_t out = 54 + static_cast<size_t>(r) * c.rowBytes;
        for (int x = 0; x < c.width; ++x) {
            wrong += file[out + 3 * x] != in[3 * x + 2];
            wrong += file[out + 3 * x + 1] != in[3 * x + 1];
            wrong += file[out + 3 * x + 2] != in[3 * x];
        }
        for (size_t p = static_cast<size_t>(c.width) * 3; p < static_cast<size_t>(c.rowBytes); ++p)
            wrong += file[out + p] != 0;
    }
    EXPECT_EQ(wrong, 0);

    // Hosts read their buffer back as blue, green, red.
    std::vector<unsigned char> exchanged = source;
    for (size_t i = 0; i < exchanged.size(); i += 3)
        std::swap(exchanged[i], exchanged[i + 2]);
    EXPECT_EQ(buffer, exchanged);

    // The in-memory export builds the same header.
    unsigned char header[54];
    qx::WriteBmpHeader(header, c.width, c.height);
    EXPECT_TRUE(std::equal(header, header + 54, file.begin()));
    EXPECT_EQ(qx::BmpRowBytes(c.width), c.rowBytes);
    EXPECT_EQ(qx::BmpFileSize(c.width, c.height), static_cast<int64_t>(file.size()));
}

INSTANTIATE_TEST_SUITE_P(Widths, BmpLayout,
                         ::testing::Values(BmpCase{4, 3, 12}, BmpCase{160, 120, 480},
                                           BmpCase{1, 7, 4}, BmpCase{3, 5, 12}, BmpCase{5, 2, 16},
                                           BmpCase{101, 37, 304}, BmpCase{2, 1, 8}));

TEST(BmpSizes, LargestFileIsAcceptedAndOneRowMoreIsNot) {
    // 54 + 12 x 178956966 = 2147483646, the last that stays within INT32_MAX.
    EXPECT_EQ(qx::BmpFileSize(4, 178956966), 2147483646);
    EXPECT_EQ(qx::BmpFileSize(4, 178956967), 0);
    // Odd widths count their padding: 4 bytes a row for one pixel.
    EXPECT_EQ(qx::BmpFileSize(1, 536870898), 54 + 4LL * 536870898);
    EXPECT_EQ(qx::BmpFileSize(1, 536870899), 0);
    EXPECT_EQ(qx::BmpFileSize(INT_MAX, INT_MAX), 0);
    EXPECT_EQ(qx::BmpFileSize(INT_MAX, 1), 0);
    EXPECT_EQ(qx::BmpFileSize(0, 10), 0);
    EXPECT_EQ(qx::BmpFileSize(10, 0), 0);
    EXPECT_EQ(qx::BmpFileSize(-4, 10), 0);
    EXPECT_EQ(qx::BmpFileSize(10, -4), 0);
    EXPECT_EQ(qx::BmpRowBytes(0), 0);
    EXPECT_EQ(qx::BmpRowBytes(-5), 0);
    EXPECT_EQ(qx::BmpRowBytes(INT_MAX), (3LL * INT_MAX + 3) & ~3LL);
}

TEST(BmpSizes, HeaderForRefusedSizesIsNoBitmap) {
    unsigned char header[54];
    std::memset(header, 0xEE, sizeof header);
    qx::WriteBmpHeader(header, 100000, 100000);
    for (unsigned char byte : header)
        EXPECT_EQ(byte, 0);
}

TEST(BmpFailures, BadArgumentsWriteNothingAndLeaveTheBuffer) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.File("never.bmp");
    const std::vector<unsigned char> source = MakePicture(8, 8);
    std::vector<unsigned char> buffer = source;

    EXPECT_FALSE(qx::WriteBmpFile(nullptr, 8, 8, path.c_str()));
    EXPECT_FALSE(qx::WriteBmpFile(buffer.data(), 8, 8, nullptr));
    const int sizes[][2] = {{0, 8},
                            {8, 0},
                            {-1, 8},
                            {8, -1},
                            {INT_MIN, INT_MIN},
                            // 54 + 12 x 178956967 passes INT32_MAX; a small buffer
                            // shows nothing is read (ASan would see it).
                            {4, 178956967},
                            {100000, 100000},
                            {INT_MAX, INT_MAX}};
    for (const auto& s : sizes) {
        EXPECT_FALSE(qx::WriteBmpFile(buffer.data(), s[0], s[1], path.c_str()))
            << s[0] << " x " << s[1];
    }
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(buffer, source);
}

TEST(BmpFailures, FileThatCannotBeCreatedLeavesTheBuffer) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.File("missing") + "/picture.bmp";
    const std::vector<unsigned char> source = MakePicture(8, 8);
    std::vector<unsigned char> buffer = source;
    EXPECT_FALSE(qx::WriteBmpFile(buffer.data(), 8, 8, path.c_str()));
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(buffer, source);
}

TEST(BmpFailures, WriteErrorIsReportedAndADeviceIsNotRemoved) {
    struct stat status;
    if (::stat("/dev/full", &status) != 0 || !S_ISCHR(status.st_mode))
        GTEST_SKIP() << "no /dev/full";
    std::vector<unsigned char> buffer = MakePicture(160, 120);
    EXPECT_FALSE(qx::WriteBmpFile(buffer.data(), 160, 120, "/dev/full"));
    ASSERT_EQ(::stat("/dev/full", &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
}

// ---- JPEG file ----

TEST(JpegFile, DecodesToThePictureTopRowFirst) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const int width = 160, height = 128;
    const std::vector<unsigned char> source = MakePicture(width, height);
    const std::string path = dir.File("picture.jpg");
    ASSERT_TRUE(qx::WriteJpegFile(path.c_str(), source.data(), width, height, 80));

    const std::vector<unsigned char> file = ReadAll(path);
    const Markers markers = ReadMarkers(file);
    EXPECT_TRUE(markers.jfif);
    EXPECT_EQ(markers.frame, 0xC0);
    const Decoded d = Decode(file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, width);
    EXPECT_EQ(d.height, height);
    EXPECT_EQ(d.components, 3);
    EXPECT_GE(Psnr(d.rgb, TopDown(source, width, height)), 30.0);

    // The red block belongs at the top left and the blue one at the bottom right; a
    // file written in buffer order would show them at the bottom left and top right.
    const Rgb topLeft = DecodedAt(d, width / 8, height / 8);
    EXPECT_GT(topLeft.r, 180);
    EXPECT_LT(topLeft.b, 70);
    const Rgb bottomRight = DecodedAt(d, width - width / 8, height - height / 8);
    EXPECT_GT(bottomRight.b, 180);
    EXPECT_LT(bottomRight.r, 70);
}

TEST(JpegFile, OddSizesAndLowerQualityIsSmaller) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const int width = 101, height = 37;
    const std::vector<unsigned char> source = MakePicture(width, height);
    size_t previous = 0;
    for (int quality : {20, 50, 80, 95}) {
        const std::string path = dir.File("q" + std::to_string(quality) + ".jpg");
        ASSERT_TRUE(qx::WriteJpegFile(path.c_str(), source.data(), width, height, quality));
        const std::vector<unsigned char> file = ReadAll(path);
        const Decoded d = Decode(file);
        ASSERT_TRUE(d.ok) << quality;
        EXPECT_EQ(d.width, width);
        EXPECT_EQ(d.height, height);
        EXPECT_GT(file.size(), previous) << quality;
        previous = file.size();
    }
}

TEST(JpegFile, QualityOutsideTheRangeIsClampedNotRefused) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::vector<unsigned char> source = MakePicture(64, 64);
    for (int quality : {INT_MIN, -5, 0, 101, INT_MAX}) {
        const std::string path = dir.File("q" + std::to_string(quality) + ".jpg");
        ASSERT_TRUE(qx::WriteJpegFile(path.c_str(), source.data(), 64, 64, quality)) << quality;
        EXPECT_TRUE(Decode(ReadAll(path)).ok) << quality;
    }
}

TEST(JpegFile, BadArgumentsAndUnwritablePathsFailWithoutAFile) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::vector<unsigned char> source = MakePicture(8, 8);
    const std::string path = dir.File("never.jpg");
    EXPECT_FALSE(qx::WriteJpegFile(nullptr, source.data(), 8, 8, 80));
    EXPECT_FALSE(qx::WriteJpegFile(path.c_str(), nullptr, 8, 8, 80));
    const int sizes[][2] = {{0, 8}, {8, 0}, {-8, 8}, {8, -8}, {100000, 100000}, {INT_MAX, 2}};
    for (const auto& s : sizes)
        EXPECT_FALSE(qx::WriteJpegFile(path.c_str(), source.data(), s[0], s[1], 80));
    EXPECT_FALSE(Exists(path));
    const std::string missing = dir.File("missing") + "/picture.jpg";
    EXPECT_FALSE(qx::WriteJpegFile(missing.c_str(), source.data(), 8, 8, 80));
    EXPECT_FALSE(Exists(missing));
}

// Wider than JPEG allows (65500): libjpeg itself refuses it, inside the encoder.
TEST(JpegFile, EncoderErrorReturnsSilentlyAndRemovesTheFile) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const int width = 70000;
    const std::vector<unsigned char> source(static_cast<size_t>(width) * 3, 128);
    const std::string path = dir.File("wide.jpg");
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    const bool written = qx::WriteJpegFile(path.c_str(), source.data(), width, 1, 80);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(written);
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "");
}

TEST(JpegFile, WriteErrorReturnsSilentlyAndKeepsTheDevice) {
    struct stat status;
    if (::stat("/dev/full", &status) != 0 || !S_ISCHR(status.st_mode))
        GTEST_SKIP() << "no /dev/full";
    const std::vector<unsigned char> source = MakePicture(160, 128);
    ::testing::internal::CaptureStderr();
    const bool written = qx::WriteJpegFile("/dev/full", source.data(), 160, 128, 95);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(written);
    EXPECT_EQ(err, "");
    ASSERT_EQ(::stat("/dev/full", &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
}

// ---- JPEG in memory ----

TEST(JpegMemory, SameImageAsTheFileAtQuality80) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const int width = 160, height = 128;
    const std::vector<unsigned char> source = MakePicture(width, height);
    const std::vector<unsigned char> memory = CompressToVector(source, width, height);
    ASSERT_FALSE(memory.empty());
    const Markers markers = ReadMarkers(memory);
    EXPECT_TRUE(markers.jfif);
    EXPECT_EQ(markers.frame, 0xC0);

    const Decoded d = Decode(memory);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, width);
    EXPECT_EQ(d.height, height);
    EXPECT_GE(Psnr(d.rgb, TopDown(source, width, height)), 30.0);
    EXPECT_GT(DecodedAt(d, width / 8, height / 8).r, 180);
    EXPECT_GT(DecodedAt(d, width - width / 8, height - height / 8).b, 180);

    // At 80 no quantiser passes 255, so forcing baseline changes nothing.
    const std::string path = dir.File("picture.jpg");
    ASSERT_TRUE(qx::WriteJpegFile(path.c_str(), source.data(), width, height, 80));
    EXPECT_EQ(memory, ReadAll(path));
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
    const uint32_t capacities[] = {size, size - 1, 4096, 4095, 10, 1, 0};
    for (uint32_t capacity : capacities) {
        std::vector<unsigned char> arena(kGuard + capacity + kGuard, kPattern);
        unsigned char* destination = arena.data() + kGuard;
        uint32_t outSize = 12345;
        const bool fits = capacity >= size;
        ::testing::internal::CaptureStderr();
        const bool ok =
            qx::CompressJpegToMemory(source.data(), width, height, destination, capacity, &outSize);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(ok, fits) << "capacity " << capacity << " of " << size;
        if (fits) {
            EXPECT_EQ(outSize, size);
            EXPECT_TRUE(std::equal(reference.begin(), reference.end(), destination));
        } else {
            EXPECT_EQ(outSize, 0u) << "capacity " << capacity;
        }
        int touched = 0;
        for (size_t i = 0; i < kGuard; ++i) {
            touched += arena[i] != kPattern;
            touched += arena[kGuard + capacity + i] != kPattern;
        }
        EXPECT_EQ(touched, 0) << "capacity " << capacity;

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

TEST(JpegMemory, BadArgumentsNeverCrashAndReportNothing) {
    constexpr unsigned char kUntouched = 0x5A;
    const std::vector<unsigned char> source = MakePicture(8, 8);
    std::vector<unsigned char> out(65536, kUntouched);
    uint32_t size = 777;
    EXPECT_FALSE(qx::CompressJpegToMemory(source.data(), 8, 8, out.data(), 65536, nullptr));
    EXPECT_FALSE(qx::CompressJpegToMemory(nullptr, 8, 8, out.data(), 65536, &size));
    EXPECT_EQ(size, 0u);
    size = 777;
    EXPECT_FALSE(qx::CompressJpegToMemory(source.data(), 8, 8, nullptr, 65536, &size));
    EXPECT_EQ(size, 0u);
    const int sizes[][2] = {{0, 8}, {8, 0}, {-1, 8}, {8, -1}, {100000, 100000}, {INT_MAX, INT_MAX}};
    for (const auto& s : sizes) {
        size = 777;
        EXPECT_FALSE(qx::CompressJpegToMemory(source.data(), s[0], s[1], out.data(), 65536, &size));
        EXPECT_EQ(size, 0u);
    }
    for (unsigned char byte : out)
        ASSERT_EQ(byte, kUntouched);
}

TEST(JpegMemory, EncoderErrorReturnsSilently) {
    const int width = 70000;
    const std::vector<unsigned char> source(static_cast<size_t>(width) * 3, 128);
    std::vector<unsigned char> out(1 << 20);
    uint32_t size = 777;
    ::testing::internal::CaptureStderr();
    const bool ok = qx::CompressJpegToMemory(source.data(), width, 1, out.data(), 1u << 20, &size);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(size, 0u);
}

}  // namespace
