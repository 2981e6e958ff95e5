#include "decode/H264Decode.h"

#include <cstring>

#include "decode/DecoderLock.h"
#include "log/Log.h"

H264Decode::H264Decode() {
    try {
        m_attr = std::make_unique<H264_DEC_ATTR>();
        std::memset(m_attr.get(), 0, sizeof(H264_DEC_ATTR));
        m_frame = std::make_unique<H264_DEC_FRAME>();
        std::memset(m_frame.get(), 0, sizeof(H264_DEC_FRAME));
    } catch (...) {
        qx::log::DbgviewLog(5, std::string("3501,H264Decode::H264Decode Error"));
    }
}

H264Decode::~H264Decode() {
    try {
        CAutoLock lock(&qx::DecoderMutex());
        if (m_handle != nullptr)
            H264DecDestroy(m_handle);
        m_handle = nullptr;
        m_attr.reset();
        m_frame.reset();
        qx::log::UpdateLog(3, "3301,H264Decode::CreateDecode release g_decmutex" + Info());
    } catch (...) {
        qx::log::DbgviewLog(5, std::string("3504,H264Decode::~H264Decode Error"));
    }
}

std::string H264Decode::Info() const {
    return ",sid=" + std::to_string(m_sid) + ",w*h=" + std::to_string(m_width) + "x" +
           std::to_string(m_height);
}

bool H264Decode::BorderCheck() {
    const char* failed = nullptr;
    if (!m_attr)
        failed = "border check dec_attrbute";
    else if (!m_frame)
        failed = "check decFrame ";
    else if (m_width < 20 || m_width > kMaxSide || m_height < 21 || m_height > kMaxSide)
        failed = "check widht,height";
    else if (m_sid < 0)
        failed = "check sid";
    if (failed == nullptr)
        return true;
    const std::string size = ",w*h=" + std::to_string(m_width) + "x" + std::to_string(m_height);
    const std::string info = Info();
    m_sid = -1;
    m_width = 0;
    m_height = 0;
    qx::log::UpdateLog(
        5, "3503,H264Decode::CreateDecode BorderCheck Error" + info + "," + failed + size);
    return false;
}

bool H264Decode::RetryAfterPause() {
    if (m_giveUp && m_giveUp())
        return false;
    qx::log::MSleep(kCreateRetryMs);
    return !(m_giveUp && m_giveUp());
}

bool H264Decode::CreateDecode(int width, int height, int sid) {
    m_sid = sid;
    m_width = width;
    m_height = height;
    if (!BorderCheck())
        return false;
    try {
        for (int attempt = 0; attempt < kCreateTries && m_handle == nullptr; ++attempt) {
            if (attempt > 0 && !RetryAfterPause())
                break;
            std::memset(m_attr.get(), 0, sizeof(H264_DEC_ATTR));
            m_attr->words[2] = width / 16 + 1;
            m_attr->words[3] = height / 16 + 1;
            m_attr->words[6] = width;
            m_attr->words[7] = height;
            CAutoLock lock(&qx::DecoderMutex());
            m_handle = H264DecCreate(m_attr.get());
        }
    } catch (...) {
        qx::log::UpdateLog(5, "3502,H264Decode::CreateDecode Create Handle Error" + Info());
        qx::log::UpdateLog(3, "3301,H264Decode::CreateDecode release g_decmutex" + Info());
        return false;
    }
    if (m_handle == nullptr) {
        qx::log::UpdateLog(5, "3502,H264Decode::CreateDecode Create Handle Error" + Info());
        return false;
    }
    qx::log::UpdateLog(3, "3303,H264Decode::CreateDecode success" + Info());
    qx::log::UpdateLog(3, "3301,H264Decode::CreateDecode release g_decmutex" + Info());
    return true;
}

bool H264Decode::DecodeH264ToYUV12(const unsigned char* stream, int length) {
    return Run(stream, length, 0, 0);
}

bool H264Decode::Decode(const unsigned char* stream, int length, int64_t pts) {
    return Run(stream, length, pts, 0);
}

bool H264Decode::NextPicture() {
    return Run(nullptr, 0, 0, kH264DecNext);
}

bool H264Decode::Drain() {
    return Run(nullptr, 0, 0, kH264DecFlush);
}

bool H264Decode::Run(const unsigned char* stream, int length, int64_t pts, uint32_t flags) {
    if (m_handle == nullptr) {
        qx::log::UpdateLog(5, "3506,H264Decode::DecodeH264ToYUV12 Error  handle isNULL" + Info());
        return false;
    }
    return H264DecAU(m_handle, stream, length, pts, m_frame.get(), flags) == 0;
}

qx::PictureRef H264Decode::HoldPicture() {
    return qx::H264DecHoldPicture(m_handle);
}

int H264Decode::GetDecodeType() {
    return 0;
}
