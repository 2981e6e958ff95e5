#include "session/Watermark.h"

#include <algorithm>
#include <cstring>

namespace {

// "watermark information error" in GBK, with its terminating zero.
constexpr unsigned char kWatermarkError[] = {0xCB, 0xAE, 0xD3, 0xA1, 0xD0, 0xC5, 0xCF,
                                             0xA2, 0xB4, 0xED, 0xCE, 0xF3, 0x00};

}  // namespace

void Watermark::Decipher(const unsigned char* payload, int length) {
    if (qx::DecipherWatermarkSei(m_des, payload, length, m_seiInfo, &m_seiLength))
        m_seiPending = true;
}

void Watermark::AfterPicture(bool keyPicture, const qx::FrameDescription& picture) {
    if (m_seiPending) {
        Check(picture);
        m_seiPending = false;
    } else if (keyPicture) {
        Check(picture);
        std::memset(m_seiInfo, 0, sizeof m_seiInfo);
        m_seiLength = 0;
    }
}

void Watermark::Check(const qx::FrameDescription& picture) {
    unsigned char record[qx::kWatermarkRecordSize] = {};
    std::memcpy(record, m_seiInfo,
                static_cast<size_t>(std::clamp(m_seiLength, 0, qx::kWatermarkRecordSize)));
    if (std::memcmp(record, picture.data(), sizeof picture) != 0) {
        unsigned char* text = record + qx::kWatermarkTextOffset;
        std::memset(text, 0, qx::kWatermarkTextSize);
        if (m_seiPending)
            std::memcpy(text, kWatermarkError, sizeof kWatermarkError);
    }
    // The record's text need not end within its 50 bytes; the host gets it terminated.
    char text[qx::kWatermarkTextSize + 1];
    std::memcpy(text, record + qx::kWatermarkTextOffset, qx::kWatermarkTextSize);
    text[qx::kWatermarkTextSize] = '\0';
    QxWaterMaskCallback callback;
    void* user;
    {
        CAutoLock lock(&m_lock);
        std::memcpy(m_record, record, sizeof record);
        callback = m_callback;
        user = m_user;
    }
    if (callback != nullptr)
        callback(text, user);
}

void Watermark::NotifyEnd() {
    QxWaterMaskCallback callback;
    void* user;
    {
        CAutoLock lock(&m_lock);
        callback = m_callback;
        user = m_user;
    }
    if (callback != nullptr)
        callback(nullptr, user);
}

void Watermark::Text(char text[qx::kWatermarkTextSize]) {
    CAutoLock lock(&m_lock);
    std::memcpy(text, m_record + qx::kWatermarkTextOffset, qx::kWatermarkTextSize);
}

void Watermark::SetCallback(QxWaterMaskCallback callback, void* user) {
    CAutoLock lock(&m_lock);
    m_callback = callback;
    m_user = user;
}
