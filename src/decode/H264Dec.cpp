#include "decode/H264Dec.h"

#include <memory>
#include <new>

extern "C" {
#include <libavutil/frame.h>
}

#include "decode/AvPictureDecoder.h"
#include "decode/FrameDescription.h"

namespace {

constexpr int kMaxSide = 8192;

struct H264Decoder {
    qx::AvPictureDecoder decoder;
    int width = 0;
    int height = 0;
    std::unique_ptr<unsigned char[]> planes;
};

}  // namespace

void* H264DecCreate(const H264_DEC_ATTR* attr) {
    if (attr == nullptr)
        return nullptr;
    const int width = attr->words[6];
    const int height = attr->words[7];
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
        return nullptr;
    auto decoder = std::make_unique<H264Decoder>();
    if (!decoder->decoder.Open(qx::AvPictureDecoder::Codec::kH264))
        return nullptr;
    decoder->width = width;
    decoder->height = height;
    decoder->planes.reset(
        new (std::nothrow) unsigned char[static_cast<size_t>(width) * height * 3 / 2]);
    if (!decoder->planes)
        return nullptr;
    return decoder.release();
}

int H264DecAU(void* handle, const unsigned char* stream, int length, int64_t, H264_DEC_FRAME* frame,
              uint32_t) {
    auto* decoder = static_cast<H264Decoder*>(handle);
    if (decoder == nullptr || frame == nullptr)
        return -1;
    const AVFrame* picture = decoder->decoder.Decode(stream, length);
    if (picture == nullptr)
        return -1;
    const int w = decoder->width;
    const int h = decoder->height;
    unsigned char* y;
    unsigned char* u;
    unsigned char* v;
    if (picture->width == w && picture->height == h && picture->linesize[0] == w &&
        picture->linesize[1] == w / 2 && picture->linesize[2] == w / 2) {
        // Already packed at the created size: hand out the decoder's own planes, valid
        // until the next unit, as a decoder library does.
        y = picture->data[0];
        u = picture->data[1];
        v = picture->data[2];
    } else {
        y = decoder->planes.get();
        u = y + static_cast<size_t>(w) * h;
        v = u + static_cast<size_t>(w) * h / 4;
        qx::CopyPacked(picture->data, picture->linesize, picture->width, picture->height, y, u, v,
                       w, h);
    }
    frame->pY = y;
    frame->pU = u;
    frame->pV = v;
    frame->width = static_cast<uint32_t>(w);
    frame->height = static_cast<uint32_t>(h);
    frame->yStride = static_cast<uint32_t>(w);
    frame->uvStride = static_cast<uint32_t>(w / 2);
    frame->frameType =
        picture->pict_type == AV_PICTURE_TYPE_I ? qx::kFrameTypeKey : qx::kFrameTypeOther;
    return 0;
}

void H264DecDestroy(void* handle) {
    delete static_cast<H264Decoder*>(handle);
}
