#include "decode/AvPictureDecoder.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace qx {

AvPictureDecoder::AvPictureDecoder() = default;

AvPictureDecoder::~AvPictureDecoder() {
    av_frame_free(&m_frame);
    av_frame_free(&m_scratch);
    av_packet_free(&m_packet);
    avcodec_free_context(&m_context);
}

bool AvPictureDecoder::Open(Codec codec) {
    const AVCodec* decoder =
        avcodec_find_decoder(codec == Codec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    if (decoder == nullptr)
        return false;
    m_context = avcodec_alloc_context3(decoder);
    m_packet = av_packet_alloc();
    m_frame = av_frame_alloc();
    m_scratch = av_frame_alloc();
    if (!m_context || !m_packet || !m_frame || !m_scratch)
        return false;
    // Frame threads would hold pictures back by one per thread.
    m_context->thread_count = 1;
    m_context->thread_type = FF_THREAD_SLICE;
    m_context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    return avcodec_open2(m_context, decoder, nullptr) == 0;
}

const AVFrame* AvPictureDecoder::Decode(const uint8_t* data, int64_t length) {
    if (m_context == nullptr || data == nullptr || length <= 0 || length > INT32_MAX / 2)
        return nullptr;
    const size_t n = static_cast<size_t>(length);
    if (m_input.size() < n + AV_INPUT_BUFFER_PADDING_SIZE)
        m_input.resize(n + AV_INPUT_BUFFER_PADDING_SIZE);
    std::memcpy(m_input.data(), data, n);
    std::memset(m_input.data() + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    m_packet->data = m_input.data();
    m_packet->size = static_cast<int>(n);
    av_frame_unref(m_frame);
    if (avcodec_send_packet(m_context, m_packet) < 0)
        return nullptr;
    bool got = false;
    while (avcodec_receive_frame(m_context, m_scratch) == 0) {
        // The last picture the unit completed is the one to show.
        av_frame_unref(m_frame);
        av_frame_move_ref(m_frame, m_scratch);
        got = true;
    }
    if (!got)
        return nullptr;
    const bool planar420 =
        m_frame->format == AV_PIX_FMT_YUV420P || m_frame->format == AV_PIX_FMT_YUVJ420P;
    if (!planar420 || m_frame->width <= 0 || m_frame->height <= 0)
        return nullptr;
    return m_frame;
}

namespace {

void CopyPlane(const uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight,
               uint8_t* target, int width, int height, uint8_t fill) {
    if (sourceWidth == width && sourceHeight == height && sourceStride == width) {
        std::memcpy(target, source, static_cast<size_t>(width) * height);
        return;
    }
    const int rows = std::min(height, sourceHeight);
    const int columns = std::max(0, std::min(width, sourceWidth));
    for (int row = 0; row < rows; ++row) {
        uint8_t* line = target + static_cast<size_t>(row) * width;
        std::memcpy(line, source + static_cast<ptrdiff_t>(row) * sourceStride,
                    static_cast<size_t>(columns));
        std::memset(line + columns, fill, static_cast<size_t>(width - columns));
    }
    for (int row = std::max(rows, 0); row < height; ++row)
        std::memset(target + static_cast<size_t>(row) * width, fill, static_cast<size_t>(width));
}

}  // namespace

void CopyPacked(const uint8_t* const source[3], const int sourceStride[3], int sourceWidth,
                int sourceHeight, uint8_t* y, uint8_t* u, uint8_t* v, int width, int height) {
    constexpr uint8_t kBlackLuma = 16;
    constexpr uint8_t kNeutralChroma = 128;
    CopyPlane(source[0], sourceStride[0], sourceWidth, sourceHeight, y, width, height, kBlackLuma);
    CopyPlane(source[1], sourceStride[1], (sourceWidth + 1) / 2, (sourceHeight + 1) / 2, u,
              width / 2, height / 2, kNeutralChroma);
    CopyPlane(source[2], sourceStride[2], (sourceWidth + 1) / 2, (sourceHeight + 1) / 2, v,
              width / 2, height / 2, kNeutralChroma);
}

}  // namespace qx
