#pragma once

#include <functional>
#include <memory>
#include <string>

#include "decode/H264Dec.h"

// The session's video decoder, and its H.264 form. One access unit in, its picture
// out: packed YUV 4:2:0 planes of the size the decoder was created for, described
// by Frame().
class H264Decode {
  public:
    H264Decode();
    virtual ~H264Decode();
    H264Decode(const H264Decode&) = delete;
    H264Decode& operator=(const H264Decode&) = delete;

    virtual bool CreateDecode(int width, int height, int sid);
    // True when the access unit completed a picture.
    virtual bool DecodeH264ToYUV12(const unsigned char* stream, int length);
    // The packet kind this decoder takes: 0 H.264, 10 H.265.
    virtual int GetDecodeType();

    const H264_DEC_FRAME& Frame() const { return *m_frame; }
    // Creation gives up between its retries once this says so (the port stops).
    void SetGiveUp(std::function<bool()> giveUp) { m_giveUp = std::move(giveUp); }
    const H264_DEC_ATTR& Attributes() const { return *m_attr; }

  protected:
    // Pauses before the next creation attempt; false when creation is to give up.
    bool RetryAfterPause();
    // The size limits every decoder shares; logs 3503 and forgets the size on failure.
    bool BorderCheck();
    // ",sid=<sid>,w*h=<width>x<height>"
    std::string Info() const;

    // How long creation is retried before it fails; the next SPS tries again.
    static constexpr int kCreateTries = 100;
    static constexpr int kCreateRetryMs = 10;

    std::unique_ptr<H264_DEC_ATTR> m_attr;
    void* m_handle = nullptr;
    int m_sid = -1;
    int m_width = 0;
    int m_height = 0;
    std::unique_ptr<H264_DEC_FRAME> m_frame;
    std::function<bool()> m_giveUp;
};
