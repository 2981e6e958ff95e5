#pragma once

#include <cstddef>
#include <memory>

#include "decode/H264Decode.h"
#include "decode/H265Engine.h"

// The H.265 form of the session's decoder, over the H.265 engine. A picture whose
// layout is not packed at the created size is copied into planes of the decoder's
// own; one that is needs no copy.
class H265Decode : public H264Decode {
  public:
    H265Decode();
    ~H265Decode() override;

    bool CreateDecode(int width, int height, int sid) override;
    int GetDecodeType() override;
    // The engine's pictures are described as copies: none is held.
    qx::PictureRef HoldPicture() override { return qx::PictureRef(); }

    // Bytes the engine left unconsumed after the last picture.
    int CarryOverLength() const { return m_carryLength; }

  protected:
    bool Run(const unsigned char* stream, int length, int64_t pts, uint32_t flags) override;

  private:
    // The engine's picture into the record: its own planes when packed at the created
    // size, else a packed copy.
    void TakePicture();
    void* m_engine = nullptr;
    std::unique_ptr<unsigned char[]> m_planes;
    std::unique_ptr<unsigned char[]> m_carry;
    int m_carryLength = 0;
    H265D_INPUT m_input{};
    H265D_OUTPUT m_output{};
};
