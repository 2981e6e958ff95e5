// Picture files and memory images: BMP layout to the byte, JPEG through libjpeg's own
// decoder, and memory images that never pass the caller's buffer.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/SnapshotFiles.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string TempPath(const std::string& name) {
    return testing::TempDir() + "/qxcapture-" + std::to_string(getpid()) + "-" + name;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t U32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint16_t U16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

// A smooth bottom-up RGB picture with a red block in its top-left corner.
Bytes Picture(int width, int height) {
    Bytes rgb(static_cast<size_t>(width) * height * 3);
    for (int row = 0; row < height; ++row) {
        const int top = height - 1 - row;
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(static_cast<size_t>(row) * width + x) * 3];
            const bool block = x < width / 4 && top < height / 4;
            p[0] = block ? 230 : static_cast<uint8_t>(x * 255 / width);
            p[1] = block ? 20 : static_cast<uint8_t>(top * 255 / height);
            p[2] = block ? 20 : 128;
        }
    }
    return rgb;
}

// Top-down RGB of a JPEG, with its size.
Bytes DecodeJpeg(const Bytes& jpeg, int* width, int* height) {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), jpeg.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    *width = static_cast<int>(info.output_width);
    *height = static_cast<int>(info.output_height);
    Bytes rgb(static_cast<size_t>(*width) * *height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &rgb[static_cast<size_t>(info.output_scanline) * *width * 3];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return rgb;
}

// PSNR of a top-down decoded picture against the bottom-up source.
double Psnr(const Bytes& topDown, const Bytes& bottomUp, int width, int height) {
    double sum = 0;
    const size_t row = static_cast<size_t>(width) * 3;
    for (int r = 0; r < height; ++r)
        for (size_t i = 0; i < row; ++i) {
            const double d = topDown[r * row + i] - bottomUp[(height - 1 - r) * row + i];
            sum += d * d;
        }
    const double mse = sum / (static_cast<double>(row) * height);
    return 10 * std::log10(255.0 * 255.0 / mse);
}

class Snapshot : public testing::Test {
  protected:
    void TearDown() override { std::remove(m_path.c_str()); }
    std::string m_path = TempPath("picture");
};

TEST_F(Snapshot, BmpRowsArePaddedBottomUpBlueGreenRed) {
    for (int width : {1, 3, 5, 8, 101}) {
        SCOPED_TRACE("width " + std::to_string(width));
        const int height = 3;
        Bytes rgb = Picture(width, height);
        const Bytes source = rgb;
        ASSERT_TRUE(qx::WriteBmpFile(rgb.data(), width, height, m_path.c_str()));
        const Bytes bmp = ReadFile(m_path);
        const uint32_t stride = (width * 3 + 3) & ~3u;
        ASSERT_EQ(bmp.size(), 54 + stride * height);
        EXPECT_EQ(bmp[0], 'B');
        EXPECT_EQ(bmp[1], 'M');
        EXPECT_EQ(U32(bmp, 2), bmp.size());
        EXPECT_EQ(U32(bmp, 6), 0u);
        EXPECT_EQ(U32(bmp, 10), 54u);
        EXPECT_EQ(U32(bmp, 14), 40u);
        EXPECT_EQ(U32(bmp, 18), static_cast<uint32_t>(width));
        EXPECT_EQ(U32(bmp, 22), static_cast<uint32_t>(height));
        EXPECT_EQ(U16(bmp, 26), 1);
        EXPECT_EQ(U16(bmp, 28), 24);
        EXPECT_EQ(U32(bmp, 30), 0u);
        EXPECT_EQ(U32(bmp, 34), stride * height);
        for (int r = 0; r < height; ++r) {
            for (int x = 0; x < width; ++x) {
                const size_t at = 54 + r * stride + x * 3;
                const size_t from = (static_cast<size_t>(r) * width + x) * 3;
                ASSERT_EQ(bmp[at], source[from + 2]);
                ASSERT_EQ(bmp[at + 1], source[from + 1]);
                ASSERT_EQ(bmp[at + 2], source[from]);
                ASSERT_EQ(rgb[from], source[from + 2]) << "the buffer is left blue-green-red";
            }
            for (uint32_t pad = width * 3; pad < stride; ++pad)
                EXPECT_EQ(bmp[54 + r * stride + pad], 0);
        }
        EXPECT_EQ(qx::BmpFileSize(width, height), static_cast<int64_t>(bmp.size()));
    }
}

TEST_F(Snapshot, BmpRefusesWhatItCannotWrite) {
    Bytes rgb = Picture(4, 4);
    const Bytes source = rgb;
    EXPECT_FALSE(qx::WriteBmpFile(rgb.data(), 4, 4, "/nonexistent/dir/a.bmp"));
    EXPECT_EQ(rgb, source) << "nothing exchanged for a file never written";
    EXPECT_FALSE(qx::WriteBmpFile(nullptr, 4, 4, m_path.c_str()));
    EXPECT_FALSE(qx::WriteBmpFile(rgb.data(), 4, 4, nullptr));
    EXPECT_FALSE(qx::WriteBmpFile(rgb.data(), 0, 4, m_path.c_str()));
    EXPECT_FALSE(qx::WriteBmpFile(rgb.data(), 4, -4, m_path.c_str()));
    EXPECT_FALSE(qx::WriteBmpFile(rgb.data(), 1 << 20, 1 << 20, m_path.c_str()));
    EXPECT_EQ(qx::BmpFileSize(1 << 20, 1 << 20), 0);
    EXPECT_TRUE(ReadFile(m_path).empty());
}

TEST_F(Snapshot, JpegFilesDecodeToThePictureTopRowFirst) {
    const int width = 320;
    const int height = 240;
    const Bytes rgb = Picture(width, height);
    ASSERT_TRUE(qx::WriteJpegFile(m_path.c_str(), rgb.data(), width, height, 80));
    const Bytes good = ReadFile(m_path);
    int w = 0;
    int h = 0;
    const Bytes decoded = DecodeJpeg(good, &w, &h);
    ASSERT_EQ(w, width);
    ASSERT_EQ(h, height);
    EXPECT_GE(Psnr(decoded, rgb, width, height), 30.0);
    // The red block is in the top-left corner.
    EXPECT_GT(decoded[(10 * width + 10) * 3], 200);
    EXPECT_LT(decoded[(10 * width + 10) * 3 + 1], 60);
    ASSERT_TRUE(qx::WriteJpegFile(m_path.c_str(), rgb.data(), width, height, 20));
    EXPECT_LT(ReadFile(m_path).size(), good.size());
    EXPECT_FALSE(qx::WriteJpegFile("/nonexistent/dir/a.jpg", rgb.data(), width, height, 80));
    EXPECT_FALSE(qx::WriteJpegFile(m_path.c_str(), nullptr, width, height, 80));
    EXPECT_FALSE(qx::WriteJpegFile(m_path.c_str(), rgb.data(), -1, height, 80));
}

TEST_F(Snapshot, MemoryImagesStopAtTheCallersBuffer) {
    const int width = 704;
    const int height = 576;
    const Bytes rgb = Picture(width, height);
    Bytes large(1 << 20);
    uint32_t size = 0;
    ASSERT_TRUE(qx::CompressJpegToMemory(rgb.data(), width, height, large.data(),
                                         static_cast<uint32_t>(large.size()), &size));
    ASSERT_GT(size, 4096u) << "large enough to need more than one work buffer";
    const Bytes image(large.begin(), large.begin() + size);
    int w = 0;
    int h = 0;
    EXPECT_GE(Psnr(DecodeJpeg(image, &w, &h), rgb, width, height), 30.0);
    EXPECT_EQ(w, width);

    constexpr size_t kGuard = 64;
    for (uint32_t capacity : {size, size - 1, 4096u, 10u, 0u}) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        Bytes buffer(capacity + 2 * kGuard, 0xA5);
        uint32_t out = 12345;
        const bool fits = capacity == size;
        EXPECT_EQ(qx::CompressJpegToMemory(rgb.data(), width, height, buffer.data() + kGuard,
                                           capacity, &out),
                  fits);
        EXPECT_EQ(out, fits ? size : 0u);
        for (size_t i = 0; i < kGuard; ++i) {
            ASSERT_EQ(buffer[i], 0xA5);
            ASSERT_EQ(buffer[buffer.size() - 1 - i], 0xA5);
        }
        if (fits) {
            EXPECT_TRUE(std::equal(image.begin(), image.end(), buffer.begin() + kGuard));
        }
    }
    EXPECT_FALSE(qx::CompressJpegToMemory(nullptr, width, height, large.data(), 100, &size));
    EXPECT_FALSE(qx::CompressJpegToMemory(rgb.data(), width, height, nullptr, 100, &size));
    EXPECT_FALSE(qx::CompressJpegToMemory(rgb.data(), width, height, large.data(), 100, nullptr));
    EXPECT_FALSE(qx::CompressJpegToMemory(rgb.data(), 0, height, large.data(), 100, &size));
}

}  // namespace
