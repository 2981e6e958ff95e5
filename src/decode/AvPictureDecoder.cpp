#include "decode/AvPictureDecoder.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "log/Log.h"

namespace qx {

namespace {

// libavcodec's own messages belong in the library's log, not on the host's stderr: its
// errors and warnings are delivered, the rest is dropped before it is formatted.
void AvLogToLibraryLog(void* context, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING)
        return;
    char line[1024];
    int printPrefix = 1;
    va_list copy;
    va_copy(copy, args);
    av_log_format_line2(context, level, format, copy, line, sizeof line, &printPrefix);
    va_end(copy);
    const size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n')
        line[length - 1] = '\0';
    qx::log::DbgviewLog(level <= AV_LOG_ERROR ? 115 : 100, "libavcodec: %s", line);
}

// Routed with the first decoder. When the library is unloaded, libavutil (which the
// host may keep using) must not call into code that has gone: the route ends first.
struct AvLogRoute {
    AvLogRoute() { av_log_set_callback(&AvLogToLibraryLog); }
    ~AvLogRoute() { av_log_set_callback(&av_log_default_callback); }
    AvLogRoute(const AvLogRoute&) = delete;
    AvLogRoute& operator=(const AvLogRoute&) = delete;
};

}  // namespace

AvPictureDecoder::AvPictureDecoder() {
    static const AvLogRoute route;
}

AvPictureDecoder::~AvPictureDecoder() {
    sws_freeContext(m_convert);
    av_frame_free(&m_frame);
    av_frame_free(&m_converted);
    av_packet_free(&m_packet);
    avcodec_free_context(&m_context);
    // Buffers the decoder still held went back with it; the pool goes with the last.
    av_buffer_pool_uninit(&m_pool);
}

bool AvPictureDecoder::Open(Codec codec) {
    const AVCodec* decoder =
        avcodec_find_decoder(codec == Codec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    if (decoder == nullptr)
        return false;
    m_context = avcodec_alloc_context3(decoder);
    m_packet = av_packet_alloc();
    m_frame = av_frame_alloc();
    m_converted = av_frame_alloc();
    if (!m_context || !m_packet || !m_frame || !m_converted)
        return false;
    // Frame threads would hold pictures back by one per thread.
    m_context->thread_count = 1;
    m_context->thread_type = FF_THREAD_SLICE;
    return avcodec_open2(m_context, decoder, nullptr) == 0;
}

bool AvPictureDecoder::Send(const uint8_t* data, int64_t length, int64_t pts) {
    if (m_context == nullptr || data == nullptr || length <= 0 || length > INT32_MAX / 2)
        return false;
    if (m_drained) {
        avcodec_flush_buffers(m_context);
        m_drained = false;
    }
    const size_t n = static_cast<size_t>(length);
    const size_t needed = n + AV_INPUT_BUFFER_PADDING_SIZE;
    if (m_pool == nullptr || m_poolSize < needed) {
        av_buffer_pool_uninit(&m_pool);
        constexpr size_t kStep = 64 * 1024;
        m_poolSize = (needed + kStep - 1) / kStep * kStep;
        m_pool = av_buffer_pool_init(m_poolSize, nullptr);
        if (m_pool == nullptr)
            return false;
    }
    AVBufferRef* buffer = av_buffer_pool_get(m_pool);
    if (buffer == nullptr)
        return false;
    std::memcpy(buffer->data, data, n);
    std::memset(buffer->data + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    m_packet->buf = buffer;
    m_packet->data = buffer->data;
    m_packet->size = static_cast<int>(n);
    m_packet->pts = pts;
    m_packet->dts = AV_NOPTS_VALUE;
    int result = avcodec_send_packet(m_context, m_packet);
    if (result == AVERROR(EAGAIN)) {
        // Pictures nobody asked for are in the way: they make room for this unit.
        while (avcodec_receive_frame(m_context, m_frame) == 0)
            av_frame_unref(m_frame);
        result = avcodec_send_packet(m_context, m_packet);
    }
    av_packet_unref(m_packet);
    return result == 0;
}

void AvPictureDecoder::Drain() {
    if (m_context == nullptr || m_drained)
        return;
    avcodec_send_packet(m_context, nullptr);
    m_drained = true;
}

const AVFrame* AvPictureDecoder::Receive() {
    m_lastIsOwn = false;
    if (m_context == nullptr)
        return nullptr;
    av_frame_unref(m_frame);
    for (;;) {
        if (avcodec_receive_frame(m_context, m_frame) != 0)
            return nullptr;
        if (m_frame->width > 0 && m_frame->height > 0)
            break;
        av_frame_unref(m_frame);
    }
    if (m_frame->pts == AV_NOPTS_VALUE)
        m_frame->pts = m_frame->best_effort_timestamp;
    const AVFrame* picture = Normalised();
    m_lastIsOwn = picture == m_frame;
    return picture;
}

PictureRef AvPictureDecoder::HoldLast() const {
    return m_lastIsOwn ? PictureRef(m_frame) : PictureRef();
}

const AVFrame* AvPictureDecoder::Normalised() {
    const auto format = static_cast<AVPixelFormat>(m_frame->format);
    const bool fullRange = format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
                           format == AV_PIX_FMT_YUVJ444P ||
                           m_frame->color_range == AVCOL_RANGE_JPEG;
    if (format == AV_PIX_FMT_YUV420P && !fullRange)
        return m_frame;
    const int w = m_frame->width;
    const int h = m_frame->height;
    m_convert = sws_getCachedContext(m_convert, w, h, format, w, h, AV_PIX_FMT_YUV420P,
                                     SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (m_convert == nullptr)
        return nullptr;
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(m_convert, coefficients, fullRange ? 1 : 0, coefficients, 0, 0,
                             1 << 16, 1 << 16);
    if (m_converted->width != w || m_converted->height != h) {
        av_frame_unref(m_converted);
        m_converted->format = AV_PIX_FMT_YUV420P;
        m_converted->width = w;
        m_converted->height = h;
        if (av_frame_get_buffer(m_converted, 0) < 0)
            return nullptr;
    }
    sws_scale(m_convert, m_frame->data, m_frame->linesize, 0, h, m_converted->data,
              m_converted->linesize);
    m_converted->pts = m_frame->pts;
    m_converted->pict_type = m_frame->pict_type;
    m_converted->key_frame = m_frame->key_frame;
    if (m_loggedFormat != format) {
        m_loggedFormat = format;
        const char* name = av_get_pix_fmt_name(format);
        qx::log::DbgviewLog(115, "pictures in %s, %s range, shown as 8-bit 4:2:0",
                            name != nullptr ? name : "?", fullRange ? "full" : "limited");
    }
    return m_converted;
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
