#include "capture/SnapshotFiles.h"

#include <sys/stat.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include <jpeglib.h>
#include <jerror.h>

#include "platform/StdioFile.h"

namespace qx {

namespace {

constexpr int kBmpHeaderSize = 54;
constexpr int kMemoryQuality = 80;
constexpr size_t kWorkBufferSize = 4096;
constexpr uint64_t kLargestFile = std::numeric_limits<int32_t>::max();

// The picture's unpadded size, or false when it is no picture or larger than the
// 32-bit sizes hosts describe their buffers with. The product of two ints times 3 fits
// in 64 unsigned bits, so the test itself cannot overflow.
bool PictureBytes(int width, int height, size_t* bytes) {
    if (width <= 0 || height <= 0)
        return false;
    const uint64_t size = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
    if (size > kLargestFile)
        return false;
    *bytes = static_cast<size_t>(size);
    return true;
}

void Put16(unsigned char* at, uint32_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

void Put32(unsigned char* at, uint32_t value) {
    Put16(at, value);
    Put16(at + 2, value >> 16);
}

// A picture that failed half way is worse than none: hosts would show a broken file.
// Only a regular file is removed; a device or pipe the caller named stays.
void RemoveBroken(const char* path) {
    struct stat status;
    if (::lstat(path, &status) == 0 && S_ISREG(status.st_mode))
        std::remove(path);
}

// Closes the file and reports whether everything written reached it.
bool Close(StdioFile file) {
    return std::fclose(file.release()) == 0;
}

// libjpeg's default handler prints and ends the host process; ours jumps back to
// Encode, silently: a snapshot that cannot be made is only a false result.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void ErrorExit(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void Silent(j_common_ptr) {}

// Writes into the caller's buffer through a work buffer from the compressor's pool,
// never past capacity: a flush that would not fit ends the compression as an error.
struct MemoryDestination {
    jpeg_destination_mgr base;
    JOCTET* work;
    unsigned char* destination;
    uint32_t capacity;
    uint32_t* outSize;
};

MemoryDestination* MemoryOf(j_compress_ptr info) {
    return reinterpret_cast<MemoryDestination*>(info->dest);
}

void Append(j_compress_ptr info, size_t bytes) {
    MemoryDestination* d = MemoryOf(info);
    // *outSize never passes capacity, so the room left cannot wrap.
    if (bytes > d->capacity - *d->outSize)
        ERREXIT(info, JERR_FILE_WRITE);
    std::memcpy(d->destination + *d->outSize, d->work, bytes);
    *d->outSize += static_cast<uint32_t>(bytes);
}

void InitDestination(j_compress_ptr info) {
    MemoryDestination* d = MemoryOf(info);
    d->work = static_cast<JOCTET*>((*info->mem->alloc_small)(reinterpret_cast<j_common_ptr>(info),
                                                             JPOOL_IMAGE, kWorkBufferSize));
    *d->outSize = 0;
    d->base.next_output_byte = d->work;
    d->base.free_in_buffer = kWorkBufferSize;
}

boolean EmptyOutputBuffer(j_compress_ptr info) {
    // libjpeg calls this only with the whole work buffer full.
    Append(info, kWorkBufferSize);
    MemoryDestination* d = MemoryOf(info);
    d->base.next_output_byte = d->work;
    d->base.free_in_buffer = kWorkBufferSize;
    return TRUE;
}

void TermDestination(j_compress_ptr info) {
    Append(info, kWorkBufferSize - MemoryOf(info)->base.free_in_buffer);
}

struct JpegJob {
    const unsigned char* rgb;
    int width;
    int height;
    int quality;
    bool baseline;
    std::FILE* file;                    // written through libjpeg's stdio destination,
    jpeg_destination_mgr* destination;  // or, without a file, through this one
};

// The whole libjpeg part of one picture, create to destroy. An encoder error comes back
// here through longjmp, so this frame holds nothing with a destructor, and the
// compressor lives in the caller's frame, where the jump cannot leave it indeterminate.
// The rows go top row first, which is the buffer's last.
bool Encode(jpeg_compress_struct* info, ErrorManager* errors, const JpegJob& job) {
    // Cleared first so that destroying is safe even when creating fails before libjpeg
    // has set the structure up itself.
    std::memset(info, 0, sizeof *info);
    info->err = jpeg_std_error(&errors->base);
    errors->base.error_exit = ErrorExit;
    errors->base.output_message = Silent;
    if (setjmp(errors->jump) != 0) {
        jpeg_destroy_compress(info);
        return false;
    }
    jpeg_create_compress(info);
    if (job.file != nullptr)
        jpeg_stdio_dest(info, job.file);
    else
        info->dest = job.destination;
    info->image_width = static_cast<JDIMENSION>(job.width);
    info->image_height = static_cast<JDIMENSION>(job.height);
    info->input_components = 3;
    info->in_color_space = JCS_RGB;
    jpeg_set_defaults(info);
    jpeg_set_quality(info, job.quality, job.baseline ? TRUE : FALSE);
    jpeg_start_compress(info, TRUE);
    const size_t stride = static_cast<size_t>(job.width) * 3;
    while (info->next_scanline < info->image_height) {
        // libjpeg only reads the rows it is given.
        JSAMPROW row =
            const_cast<JSAMPROW>(job.rgb + stride * (job.height - 1 - info->next_scanline));
        jpeg_write_scanlines(info, &row, 1);
    }
    jpeg_finish_compress(info);
    jpeg_destroy_compress(info);
    return true;
}

}  // namespace

int64_t BmpRowBytes(int width) {
    if (width <= 0)
        return 0;
    return (static_cast<int64_t>(width) * 3 + 3) & ~int64_t{3};
}

int64_t BmpFileSize(int width, int height) {
    if (width <= 0 || height <= 0)
        return 0;
    // At most about 6.4e9 times 2.1e9: within 64 unsigned bits.
    const uint64_t size =
        kBmpHeaderSize + static_cast<uint64_t>(BmpRowBytes(width)) * static_cast<uint64_t>(height);
    return size > kLargestFile ? 0 : static_cast<int64_t>(size);
}

void WriteBmpHeader(unsigned char header[54], int width, int height) {
    std::memset(header, 0, kBmpHeaderSize);
    const int64_t fileSize = BmpFileSize(width, height);
    if (fileSize == 0)
        return;
    const uint32_t image = static_cast<uint32_t>(fileSize - kBmpHeaderSize);
    header[0] = 'B';
    header[1] = 'M';
    Put32(header + 2, static_cast<uint32_t>(fileSize));
    Put32(header + 10, kBmpHeaderSize);
    Put32(header + 14, 40);
    Put32(header + 18, static_cast<uint32_t>(width));
    // Positive: the rows are stored bottom-up, as in the buffer.
    Put32(header + 22, static_cast<uint32_t>(height));
    Put16(header + 26, 1);
    Put16(header + 28, 24);
    Put32(header + 34, image);
}

bool WriteBmpFile(unsigned char* rgb, int width, int height, const char* path) {
    if (rgb == nullptr || path == nullptr || BmpFileSize(width, height) == 0)
        return false;
    StdioFile file(std::fopen(path, "wb"));
    if (!file)
        return false;
    const size_t row = static_cast<size_t>(width) * 3;
    const size_t bytes = row * static_cast<size_t>(height);
    // In place, on purpose: hosts read the buffer back as blue, green, red.
    for (size_t i = 0; i < bytes; i += 3)
        std::swap(rgb[i], rgb[i + 2]);
    unsigned char header[kBmpHeaderSize];
    WriteBmpHeader(header, width, height);
    bool ok = std::fwrite(header, 1, sizeof header, file.get()) == sizeof header;
    const size_t padding = static_cast<size_t>(BmpRowBytes(width)) - row;
    const unsigned char zeros[3] = {0, 0, 0};
    for (int r = 0; r < height && ok; ++r) {
        ok = std::fwrite(rgb + row * r, 1, row, file.get()) == row &&
             std::fwrite(zeros, 1, padding, file.get()) == padding;
    }
    ok = Close(std::move(file)) && ok;
    if (!ok)
        RemoveBroken(path);
    return ok;
}

bool WriteJpegFile(const char* path, const unsigned char* rgb, int width, int height, int quality) {
    size_t bytes;
    if (rgb == nullptr || path == nullptr || !PictureBytes(width, height, &bytes))
        return false;
    StdioFile file(std::fopen(path, "wb"));
    if (!file)
        return false;
    jpeg_compress_struct info;
    ErrorManager errors;
    const JpegJob job{rgb, width, height, quality, false, file.get(), nullptr};
    bool ok = Encode(&info, &errors, job);
    ok = Close(std::move(file)) && ok;
    if (!ok)
        RemoveBroken(path);
    return ok;
}

bool CompressJpegToMemory(const unsigned char* rgb, int width, int height,
                          unsigned char* destination, uint32_t capacity, uint32_t* outSize) {
    size_t bytes;
    if (outSize == nullptr)
        return false;
    *outSize = 0;
    if (rgb == nullptr || destination == nullptr || !PictureBytes(width, height, &bytes))
        return false;
    MemoryDestination memory{};
    memory.base.init_destination = InitDestination;
    memory.base.empty_output_buffer = EmptyOutputBuffer;
    memory.base.term_destination = TermDestination;
    memory.destination = destination;
    memory.capacity = capacity;
    memory.outSize = outSize;
    jpeg_compress_struct info;
    ErrorManager errors;
    const JpegJob job{rgb, width, height, kMemoryQuality, true, nullptr, &memory.base};
    if (!Encode(&info, &errors, job)) {
        // What was copied before the overflow is no picture.
        *outSize = 0;
        return false;
    }
    return true;
}

}  // namespace qx
