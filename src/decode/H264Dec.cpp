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

void Describe(H264Decoder* decoder, const AVFrame* picture, H264_DEC_FRAME* frame) {
    const int w = decoder->width;
    const int h = decoder->height;
    if (picture->width == w && picture->height == h) {
        // The created size: the decoder's own planes, valid until the next call, as a
        // decoder library hands them out.
        frame->pY = picture->data[0];
        frame->pU = picture->data[1];
        frame->pV = picture->data[2];
        frame->yPitch = static_cast<uint32_t>(picture->linesize[0]);
        frame->uvPitch = static_cast<uint32_t>(picture->linesize[1]);
    } else {
        frame->pY = decoder->planes.get();
        frame->pU = frame->pY + static_cast<size_t>(w) * h;
        frame->pV = frame->pU + static_cast<size_t>(w) * h / 4;
        qx::CopyPacked(picture->data, picture->linesize, picture->width, picture->height, frame->pY,
                       frame->pU, frame->pV, w, h);
        frame->yPitch = static_cast<uint32_t>(w);
        frame->uvPitch = static_cast<uint32_t>(w / 2);
    }
    frame->width = static_cast<uint32_t>(w);
    frame->height = static_cast<uint32_t>(h);
    frame->yStride = static_cast<uint32_t>(w);
    frame->uvStride = static_cast<uint32_t>(w / 2);
    frame->frameType =
        picture->pict_type == AV_PICTURE_TYPE_I ? qx::kFrameTypeKey : qx::kFrameTypeOther;
    frame->pts = picture->pts;
}

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

int H264DecAU(void* handle, const unsigned char* stream, int length, int64_t timestamp,
              H264_DEC_FRAME* frame, uint32_t flags) {
    auto* decoder = static_cast<H264Decoder*>(handle);
    if (decoder == nullptr || frame == nullptr)
        return -1;
    if (flags & kH264DecFlush)
        decoder->decoder.Drain();
    else if (!(flags & kH264DecNext) && !decoder->decoder.Send(stream, length, timestamp))
        return -1;
    const AVFrame* picture = decoder->decoder.Receive();
    if (picture == nullptr)
        return -1;
    Describe(decoder, picture, frame);
    return 0;
}

void H264DecDestroy(void* handle) {
    delete static_cast<H264Decoder*>(handle);
}

namespace qx {

PictureRef H264DecHoldPicture(void* handle) {
    auto* decoder = static_cast<H264Decoder*>(handle);
    if (decoder == nullptr)
        return PictureRef();
    // A picture of another size was described as a copy of it.
    PictureRef held = decoder->decoder.HoldLast();
    if (held.Width() != decoder->width || held.Height() != decoder->height)
        return PictureRef();
    return held;
}

void CopyFramePacked(const H264_DEC_FRAME& frame, unsigned char* y, unsigned char* u,
                     unsigned char* v) {
    const int w = static_cast<int>(frame.width);
    const int h = static_cast<int>(frame.height);
    const uint8_t* planes[3] = {frame.pY, frame.pU, frame.pV};
    const int pitches[3] = {static_cast<int>(frame.yPitch), static_cast<int>(frame.uvPitch),
                            static_cast<int>(frame.uvPitch)};
    CopyPacked(planes, pitches, w, h, y, u, v, w, h);
}

}  // namespace qx
