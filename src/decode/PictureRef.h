#pragma once

struct AVFrame;

namespace qx {

// A counted reference to one of the decoder's own pictures: its planes stay valid and
// unchanged for as long as the reference lives, whatever the decoder decodes
// meanwhile, and they outlive the decoder too. Nobody writes into them: the decoder
// predicts the pictures after this one from them. Empty when there was no picture of
// the decoder's own to hold.
class PictureRef {
  public:
    PictureRef() = default;
    // A new reference to the frame's buffers; empty when they cannot be had.
    explicit PictureRef(const AVFrame* frame);
    ~PictureRef();
    PictureRef(PictureRef&& other) noexcept;
    PictureRef& operator=(PictureRef&& other) noexcept;
    PictureRef(const PictureRef&) = delete;
    PictureRef& operator=(const PictureRef&) = delete;

    explicit operator bool() const { return m_frame != nullptr; }
    // Plane 0 is Y, 1 U and 2 V; the pitch is the bytes from one row to the next.
    const unsigned char* Plane(int plane) const;
    int Pitch(int plane) const;
    int Width() const;
    int Height() const;

  private:
    AVFrame* m_frame = nullptr;
};

}  // namespace qx
