#pragma once

#include "decode/FrameDescription.h"
#include "platform/CritSec.h"
#include "qxplaylib.h"
#include "session/SessionConstants.h"
#include "stream/DesCipher.h"
#include "stream/PacketFormat.h"
#include "stream/WatermarkSei.h"

// The watermark of a marking camera: the record deciphered from the SEI in front of
// a key picture, checked against that picture, and handed to the host.
class Watermark {
  public:
    // Play-video thread: a record at the front of the payload (pushed streams only).
    void Decipher(const unsigned char* payload, int length);
    // Play-video thread, after each shown picture: a fresh record is judged against
    // it; without one, a key picture is judged against the record kept, which is good
    // for that picture only. Calls the host's callback with no lock held.
    void AfterPicture(bool keyPicture, const qx::FrameDescription& picture);
    // The end of the data: the host's callback learns it with a null text.
    void NotifyEnd();

    // The 50 text bytes of the last record judged.
    void Text(char text[qx::kWatermarkTextSize]);
    void SetCallback(QxWaterMaskCallback callback, void* user);

  private:
    void Check(const qx::FrameDescription& picture);

    const qx::DesCipher m_des{qx::kWatermarkKey};
    // Play-video thread only.
    unsigned char m_seiInfo[qx::kSeiInfoSize] = {};
    int m_seiLength = 0;
    bool m_seiPending = false;

    CCritSec m_lock;
    // guarded by m_lock
    unsigned char m_record[qx::kWatermarkRecordSize] = {};
    QxWaterMaskCallback m_callback = nullptr;
    void* m_user = nullptr;
};
