#pragma once

#include <cstddef>
#include <cstdint>

#include "decode/PictureRef.h"

struct AVBufferPool;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace qx {

// One libavcodec video decoder: access units in, each stamped with its time, and
// pictures out in display order, each carrying the time of the unit it came from.
// No frame threads, so that nothing is held back beyond what the stream's own
// reordering needs. Pictures that are not 8-bit limited-range 4:2:0 (10-bit, full
// range, other chroma formats) come out converted to it.
class AvPictureDecoder {
  public:
    enum class Codec { kH264, kH265 };

    AvPictureDecoder();
    ~AvPictureDecoder();
    AvPictureDecoder(const AvPictureDecoder&) = delete;
    AvPictureDecoder& operator=(const AvPictureDecoder&) = delete;

    bool Open(Codec codec);
    // Hands over one access unit; false when the decoder refused it. Any bytes are
    // safe to pass.
    bool Send(const uint8_t* data, int64_t length, int64_t pts);
    // The end of the stream: the pictures the decoder still holds come out. The next
    // Send starts a new stream.
    void Drain();
    // The next picture, or null when none is ready. Valid until the next call.
    const AVFrame* Receive();
    // The picture Receive gave last, held past the next call; empty when it was a
    // conversion (whose buffer the next picture overwrites) or there was none.
    PictureRef HoldLast() const;

  private:
    // The picture in the library's format: the decoder's own, or converted.
    const AVFrame* Normalised();

    AVCodecContext* m_context = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
    AVFrame* m_converted = nullptr;
    // Receive last gave m_frame itself, not its conversion.
    bool m_lastIsOwn = false;
    SwsContext* m_convert = nullptr;
    bool m_drained = false;
    // The format last said to be converted, so that it is logged once.
    int m_loggedFormat = -1;
    // Buffers for the access units, with the zeroed tail that libavcodec's readers may
    // touch. Counted references: the decoder keeps one instead of copying the unit
    // again. Each holds m_poolSize bytes; a larger unit makes a new pool.
    AVBufferPool* m_pool = nullptr;
    size_t m_poolSize = 0;
};

// Copies a picture into packed planes of width x height (Y, then U and V of
// width / 2 x height / 2), reading no more than the picture holds: a larger picture
// is clipped, a smaller one padded with black.
void CopyPacked(const uint8_t* const source[3], const int sourceStride[3], int sourceWidth,
                int sourceHeight, uint8_t* y, uint8_t* u, uint8_t* v, int width, int height);

}  // namespace qx
