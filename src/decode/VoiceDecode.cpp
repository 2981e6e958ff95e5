#include "decode/VoiceDecode.h"

#include <cstring>
#include <string>

#include "decode/VoiceEngine.h"
#include "log/Log.h"

namespace {

int StateBytes(int stateKind) {
    return stateKind == 0 ? qx::kVoiceStateSmall : qx::kVoiceStateLarge;
}

}  // namespace

VoiceDecode::VoiceDecode() = default;

VoiceDecode::~VoiceDecode() = default;

VoiceDecode::VoiceDecode(const VoiceDecode& other) {
    *this = other;
}

VoiceDecode& VoiceDecode::operator=(const VoiceDecode& other) {
    if (this == &other)
        return *this;
    std::memcpy(m_workArea, other.m_workArea, sizeof m_workArea);
    m_stateKind = other.m_stateKind;
    m_codecType = other.m_codecType;
    m_engineState.reset();
    if (other.m_engineState) {
        const int bytes = StateBytes(other.m_stateKind);
        m_engineState.reset(new unsigned char[bytes]);
        std::memcpy(m_engineState.get(), other.m_engineState.get(), bytes);
    }
    return *this;
}

bool VoiceDecode::DecodeVioceInit(int type) {
    m_codecType = type;
    m_engineState.reset();
    if (type == 1 || type == 2) {
        m_stateKind = 0;
    } else if (type >= 4 && type <= 7) {
        m_stateKind = 1;
    } else {
        // Nothing to hand the engine: an unknown type fails here.
        return false;
    }
    const int bytes = StateBytes(m_stateKind);
    m_engineState.reset(new unsigned char[bytes]());
    if (VOICE_DecReset(m_engineState.get(), static_cast<int16_t>(type)) == 0)
        return true;
    m_engineState.reset();
    return false;
}

int VoiceDecode::DecodeVioce(const int16_t* input, int16_t* output, int16_t& outputLength) {
    if (!m_engineState)
        return -1;
    try {
        return VOICE_DecodeFrame(m_engineState.get(), input, output, &outputLength);
    } catch (...) {
        qx::log::DbgviewLog(5, std::string("8501,VoiceDecode::DecodeVioce Catch Error!"));
        return -1;
    }
}
