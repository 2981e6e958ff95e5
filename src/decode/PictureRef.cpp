#include "decode/PictureRef.h"

#include <utility>

extern "C" {
#include <libavutil/frame.h>
}

namespace qx {

PictureRef::PictureRef(const AVFrame* frame) : m_frame(frame ? av_frame_clone(frame) : nullptr) {}

PictureRef::~PictureRef() {
    av_frame_free(&m_frame);
}

PictureRef::PictureRef(PictureRef&& other) noexcept
    : m_frame(std::exchange(other.m_frame, nullptr)) {}

PictureRef& PictureRef::operator=(PictureRef&& other) noexcept {
    if (this != &other) {
        av_frame_free(&m_frame);
        m_frame = std::exchange(other.m_frame, nullptr);
    }
    return *this;
}

const unsigned char* PictureRef::Plane(int plane) const {
    return m_frame != nullptr ? m_frame->data[plane] : nullptr;
}

int PictureRef::Pitch(int plane) const {
    return m_frame != nullptr ? m_frame->linesize[plane] : 0;
}

int PictureRef::Width() const {
    return m_frame != nullptr ? m_frame->width : 0;
}

int PictureRef::Height() const {
    return m_frame != nullptr ? m_frame->height : 0;
}

}  // namespace qx
