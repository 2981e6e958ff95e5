#pragma once

#include <cstdint>

// Picture files and memory images from 24-bit RGB pictures: 3 bytes a pixel, rows of
// 3 x width bytes without padding, stored bottom-up (the first row in the buffer is the
// picture's bottom row).
namespace qx {

// BMP rows are padded to 4 bytes, as readers require; 0 for a width of 0 or less.
int64_t BmpRowBytes(int width);
// Header and padded rows; 0 for no picture or one whose file would pass INT32_MAX bytes.
int64_t BmpFileSize(int width, int height);
// The file and information headers of a 24-bit bottom-up BMP; all zeros (no "BM") for
// sizes BmpFileSize refuses.
void WriteBmpHeader(unsigned char header[54], int width, int height);

// A BMP of the picture (red, green, blue bytes). The red and blue bytes of every pixel
// are exchanged in the caller's buffer before it is written, so the buffer is left
// blue, green, red. False, with nothing touched, for bad arguments or a file that
// cannot be created; false as well when a write fails, and then a regular file left
// half written is removed.
bool WriteBmpFile(unsigned char* rgb, int width, int height, const char* path);

// A JPEG/JFIF file of the picture at the given quality (libjpeg clamps it to 1..100);
// false for bad arguments, a file that cannot be created or an encoder or write error,
// and then a regular file left half written is removed.
bool WriteJpegFile(const char* path, const unsigned char* rgb, int width, int height, int quality);

// The picture as a baseline JPEG at quality 80 in the caller's memory. False, with
// *outSize 0 and nothing written past destination + capacity, when it does not fit.
bool CompressJpegToMemory(const unsigned char* rgb, int width, int height,
                          unsigned char* destination, uint32_t capacity, uint32_t* outSize);

}  // namespace qx
