#pragma once

#include <cstdint>
#include <memory>

#include "platform/Export.h"

// Decodes the camera's coded audio frames to 16-bit PCM through the voice engine.
// One per session; replaced when the stream's audio kind changes.
class QX_EXPORT VoiceDecode {
  public:
    VoiceDecode();
    ~VoiceDecode();
    // Copies have engine states of their own.
    VoiceDecode(const VoiceDecode& other);
    VoiceDecode& operator=(const VoiceDecode& other);

    // Types 1 and 2 (8-byte state) and 4..7 (128-byte state) are known; true when the
    // engine takes the type. Another type leaves no state behind.
    bool DecodeVioceInit(int type);
    // One frame (tag word, length word, payload) into output; outputLength holds the
    // samples output can take and receives the samples written. 0 on success, -1
    // before a successful Init or when the engine refuses the frame.
    int DecodeVioce(const int16_t* input, int16_t* output, int16_t& outputLength);
    int GetAudioType() const { return m_codecType; }

  private:
    unsigned char m_workArea[3072] = {};
    int32_t m_stateKind = 0;
    std::unique_ptr<unsigned char[]> m_engineState;
    int32_t m_codecType = -1;
};
