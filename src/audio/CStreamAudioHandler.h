#pragma once

#include <cstdint>

// What a sound player pulls its sound from. The buffer already holds silence when
// the call comes, so a handler with nothing to play may leave it alone.
class CStreamAudioHandler {
  public:
    virtual ~CStreamAudioHandler() = default;
    virtual void OnAudioData(unsigned char* buffer, int32_t bytes) = 0;
};
