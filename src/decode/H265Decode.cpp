#include "decode/H265Decode.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "decode/AvPictureDecoder.h"
#include "decode/FrameDescription.h"
#include "log/Log.h"

namespace {

void* EngineMalloc(uint32_t, size_t size) {
    return std::malloc(size);
}

void EngineFree(uint32_t, void* block) {
    std::free(block);
}

// The engine's messages are its own business.
void EngineLog(uint32_t, int32_t, const char*, ...) {}

}  // namespace

H265Decode::H265Decode() = default;

H265Decode::~H265Decode() {
    if (m_engine != nullptr)
        H265D_Delete(m_engine);
    m_engine = nullptr;
}

bool H265Decode::CreateDecode(int width, int height, int sid) {
    m_sid = sid;
    m_width = width;
    m_height = height;
    if (!BorderCheck())
        return false;
    try {
        const size_t luma = static_cast<size_t>(width) * height;
        // Once per creation: the planes do not depend on the engine attempt.
        m_planes.reset(new unsigned char[luma * 3 / 2]);
        m_carry.reset();
        m_carryLength = 0;
        m_frame->pY = m_planes.get();
        m_frame->pU = m_planes.get() + luma;
        m_frame->pV = m_planes.get() + luma * 5 / 4;
        for (int attempt = 0; attempt < kCreateTries && m_engine == nullptr; ++attempt) {
            if (attempt > 0 && !RetryAfterPause())
                break;
            H265D_INIT_PARAM param{};
            param.iMaxWidth = width;
            param.iMaxHeight = height;
            param.iMaxRefNum = 4;
            param.MallocFxn = &EngineMalloc;
            param.FreeFxn = &EngineFree;
            param.LogFxn = &EngineLog;
            if (H265D_Create(&m_engine, &param) != H265D_OK && m_engine != nullptr) {
                H265D_Delete(m_engine);
                m_engine = nullptr;
                return false;
            }
        }
    } catch (...) {
        qx::log::UpdateLog(5, "3502,H264Decode::CreateDecode Create Handle Error" + Info());
        return false;
    }
    if (m_engine == nullptr) {
        qx::log::UpdateLog(5, "3502,H264Decode::CreateDecode Create Handle Error" + Info());
        return false;
    }
    qx::log::UpdateLog(3, "3303,H264Decode::CreateDecode success" + Info());
    return true;
}

void H265Decode::TakePicture() {
    const bool packed = m_output.iWidth == m_width && m_output.iHeight == m_height &&
                        m_output.iYStride == m_width && m_output.iUVStride == m_width / 2;
    if (packed) {
        // The engine's picture already has the layout the session reads; a copy
        // would only cost time.
        m_frame->pY = const_cast<unsigned char*>(m_output.pY);
        m_frame->pU = const_cast<unsigned char*>(m_output.pU);
        m_frame->pV = const_cast<unsigned char*>(m_output.pV);
    } else {
        const size_t luma = static_cast<size_t>(m_width) * m_height;
        m_frame->pY = m_planes.get();
        m_frame->pU = m_planes.get() + luma;
        m_frame->pV = m_planes.get() + luma * 5 / 4;
        const unsigned char* planes[3] = {m_output.pY, m_output.pU, m_output.pV};
        const int strides[3] = {m_output.iYStride, m_output.iUVStride, m_output.iUVStride};
        qx::CopyPacked(planes, strides, m_output.iWidth, m_output.iHeight, m_frame->pY, m_frame->pU,
                       m_frame->pV, m_width, m_height);
    }
    m_frame->width = static_cast<uint32_t>(m_width);
    m_frame->height = static_cast<uint32_t>(m_height);
    m_frame->yStride = static_cast<uint32_t>(m_output.iYStride);
    m_frame->uvStride = static_cast<uint32_t>(m_output.iUVStride);
    m_frame->yPitch = static_cast<uint32_t>(m_width);
    m_frame->uvPitch = static_cast<uint32_t>(m_width / 2);
    m_frame->frameType = m_output.iFrameType == 1 ? qx::kFrameTypeKey : qx::kFrameTypeOther;
    m_frame->pts = m_output.timestamp;
}

bool H265Decode::Run(const unsigned char* stream, int length, int64_t pts, uint32_t flags) {
    if (m_engine == nullptr) {
        qx::log::UpdateLog(5, "3506,H264Decode::DecodeH264ToYUV12 Error  handle isNULL" + Info());
        return false;
    }
    try {
        m_input.pStream = stream;
        m_input.iStreamLen = length;
        m_input.timestamp = pts;
        m_input.flags = (flags & kH264DecNext ? H265D_FLAG_NEXT : 0) |
                        (flags & kH264DecFlush ? H265D_FLAG_FLUSH : 0);
        const uint32_t result = H265D_Decode(m_engine, &m_input, &m_output);
        if (result != H265D_OK && result != H265D_NO_PICTURE) {
            m_carryLength = 0;
            return false;
        }
        if (result != H265D_OK || m_output.iPictureStatus != H265D_PICTURE_OUT) {
            m_output.iBytesLeft = 0;
            return false;
        }
        TakePicture();
        const int left = m_output.iBytesLeft;
        if (stream != nullptr && left > 0 && left <= length) {
            m_carry.reset(new unsigned char[static_cast<size_t>(left)]);
            std::memcpy(m_carry.get(), stream + length - left, static_cast<size_t>(left));
            m_carryLength = left;
        }
        return true;
    } catch (...) {
        qx::log::UpdateLog(5, "3505,H264Decode::DecodeH264ToYUV12 Error" + Info());
        return false;
    }
}

int H265Decode::GetDecodeType() {
    return 10;
}
