#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace qx {

// One libavcodec video decoder that turns each access unit into its picture at once:
// no frame threading and low-delay output, so nothing is held back for reordering
// (camera streams carry no B-frames). Only 8-bit 4:2:0 pictures count as pictures.
class AvPictureDecoder {
  public:
    enum class Codec { kH264, kH265 };

    AvPictureDecoder();
    ~AvPictureDecoder();
    AvPictureDecoder(const AvPictureDecoder&) = delete;
    AvPictureDecoder& operator=(const AvPictureDecoder&) = delete;

    bool Open(Codec codec);
    // Decodes one access unit; the picture it completed, or null. The picture stays
    // valid until the next call. Any bytes are safe to pass.
    const AVFrame* Decode(const uint8_t* data, int64_t length);

  private:
    AVCodecContext* m_context = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
    AVFrame* m_scratch = nullptr;
    // The access unit with the zeroed tail that libavcodec's readers may touch.
    std::vector<uint8_t> m_input;
};

// Copies a picture into packed planes of width x height (Y, then U and V of
// width / 2 x height / 2), reading no more than the picture holds: a larger picture
// is clipped, a smaller one padded with black.
void CopyPacked(const uint8_t* const source[3], const int sourceStride[3], int sourceWidth,
                int sourceHeight, uint8_t* y, uint8_t* u, uint8_t* v, int width, int height);

}  // namespace qx
