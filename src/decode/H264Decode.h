#pragma once

#include <functional>
#include <memory>
#include <string>

#include "decode/H264Dec.h"

// The session's video decoder, and its H.264 form. Access units in, pictures out in
// display order: YUV 4:2:0 planes of the size the decoder was created for, each
// with the time stamp of the unit it came from, described by Frame(). A unit may
// complete no picture (a reordering stream holds some back), one, or more.
class H264Decode {
  public:
    H264Decode();
    virtual ~H264Decode();
    H264Decode(const H264Decode&) = delete;
    H264Decode& operator=(const H264Decode&) = delete;

    virtual bool CreateDecode(int width, int height, int sid);
    // True when the access unit completed a picture.
    virtual bool DecodeH264ToYUV12(const unsigned char* stream, int length);
    // The same, stamping the unit with pts, which its picture carries out.
    bool Decode(const unsigned char* stream, int length, int64_t pts);
    // The next picture the last unit (or the drain) left; false when there is none.
    bool NextPicture();
    // The end of the stream: true when a picture the decoder still held came out;
    // NextPicture gives the rest.
    bool Drain();
    // The packet kind this decoder takes: 0 H.264, 10 H.265.
    virtual int GetDecodeType();

    const H264_DEC_FRAME& Frame() const { return *m_frame; }
    // The picture Frame() describes, held for as long as the caller keeps it; empty
    // when Frame() is a copy of this decoder's own, which the next call overwrites.
    virtual qx::PictureRef HoldPicture();
    // Creation gives up between its retries once this says so (the port stops).
    void SetGiveUp(std::function<bool()> giveUp) { m_giveUp = std::move(giveUp); }
    const H264_DEC_ATTR& Attributes() const { return *m_attr; }

  protected:
    // One call into the decoder library with its flags; true when a picture came out.
    virtual bool Run(const unsigned char* stream, int length, int64_t pts, uint32_t flags);
    // Pauses before the next creation attempt; false when creation is to give up.
    bool RetryAfterPause();
    // The size limits every decoder shares; logs 3503 and forgets the size on failure.
    bool BorderCheck();
    // ",sid=<sid>,w*h=<width>x<height>"
    std::string Info() const;

    // How long creation is retried before it fails; the next SPS tries again.
    static constexpr int kCreateTries = 100;
    static constexpr int kCreateRetryMs = 10;
    // 8K and 8-megapixel cameras included.
    static constexpr int kMaxSide = 8192;

    std::unique_ptr<H264_DEC_ATTR> m_attr;
    void* m_handle = nullptr;
    int m_sid = -1;
    int m_width = 0;
    int m_height = 0;
    std::unique_ptr<H264_DEC_FRAME> m_frame;
    std::function<bool()> m_giveUp;
};
