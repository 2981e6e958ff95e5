#pragma once

namespace qx {

// Open modes of a port.
constexpr int kModeLive = 0;         // live stream, paced by its time stamps
constexpr int kModePushed = 1;       // stream the host pushes faster than real time
constexpr int kModeFile = 2;         // file the library reads itself
constexpr int kModeLiveUnpaced = 3;  // live stream shown as fast as it decodes

inline bool IsLiveMode(int mode) {
    return mode == kModeLive || mode == kModeLiveUnpaced;
}

// Play states.
constexpr int kStateNormal = 1;
constexpr int kStateStep = -17;
constexpr int kStatePause = -18;
constexpr int kStateStop = -19;
constexpr int kStateBack = -20;

inline bool IsFastState(int state) {
    return state >= 2 && state <= 16;
}
inline bool IsSlowState(int state) {
    return state >= -16 && state <= -2;
}

// The pause of a worker that retries after a failure (the play loop's idle pause).
constexpr int kIdleSleepMs = 10;

constexpr int kRenderQueueDepth = 3;
constexpr int kDefaultCacheTimeMs = 500;
constexpr int kLiveAudioQueue = 12;
constexpr int kFileAudioQueue = 1000;
constexpr int kRectangleSlots = 5;
// Slot 4 can be set and cleared but is never drawn.
constexpr int kDrawnRectangleSlots = 4;
constexpr int kWatermarkRecordSize = 92;
constexpr int kWatermarkTextOffset = 40;
constexpr int kWatermarkTextSize = 50;

}  // namespace qx
