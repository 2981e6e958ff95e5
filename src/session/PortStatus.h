#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Clock.h"
#include "platform/WakeSignal.h"
#include "qxplaylib.h"
#include "session/PortStatistics.h"
#include "session/SessionConstants.h"

// What every part of one port reads: who it is, how it was opened, what it is doing,
// and the few counters several of its threads move. Each field is atomic; the
// comment above it names who writes it.
struct PortStatus {
    // Set before any worker starts (SetSessionID), read by all.
    int32_t sessionId = -1;
    const int64_t frequency = qx::QueryPerformanceFrequency();

    // Written only by the session's state changes, under its control lock.
    std::atomic<int> playState{qx::kStateStop};
    // Set by Stop until the workers have been joined: they end even if a host sets
    // another state meanwhile.
    std::atomic<bool> stopping{false};
    // Written by the host.
    std::atomic<int> openMode{qx::kModeLive};
    std::atomic<QxWindow> window{0};

    // Set by every state change and seek; cleared by the sound when it lines up.
    std::atomic<bool> resync{false};
    // Set by a seek (host or file reader), cleared by the parser at the next key
    // packet, which sets keyFrameSeen for the play loop to clear.
    std::atomic<bool> keyFrameWait{false};
    std::atomic<bool> keyFrameSeen{false};

    // Play-video thread.
    std::atomic<int> frameRate{25};
    std::atomic<int> frameInterval{40};
    std::atomic<int64_t> decodedPictures{0};
    // Play loop and sound; emptied with the buffers.
    std::atomic<int64_t> consumedBytes{0};
    std::atomic<int64_t> deliveredAudioFrames{0};
    // Milliseconds the play loop has found nothing to play; sound that plays resets it.
    std::atomic<int> notDataCount{0};
    // Set by every accepted input and by play.
    std::atomic<int> inputFlag{1};
    // Internally locked; every thread of the port reports into it.
    PortStatistics stats;

    int PlayState() const { return playState.load(); }
    int OpenMode() const { return openMode.load(); }
    // Workers leave their loops when this turns true.
    bool Ending() const { return stopping.load() || playState.load() == qx::kStateStop; }
};

// The mailboxes of a port's worker threads, one each, so that a post wakes only the
// thread it concerns.
struct SessionSignals {
    qx::WakeSignal parser;
    qx::WakeSignal play;
    qx::WakeSignal render;
    qx::WakeSignal reader;
    qx::WakeSignal record;

    void PostAll(unsigned topics) {
        parser.Post(topics);
        play.Post(topics);
        render.Post(topics);
        reader.Post(topics);
        record.Post(topics);
    }
};
