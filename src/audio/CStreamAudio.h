#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/AudioSink.h"
#include "audio/CStreamAudioHandler.h"
#include "qxplaylib.h"

// Plays a continuous PCM stream that it pulls from its handler: 16 blocks of 20 ms
// stay queued in the sink, and each time the sink has played whole blocks the
// feeding thread asks the handler for exactly those and queues them behind the rest.
class CStreamAudio {
  public:
    static constexpr int kBlocks = 16;

    CStreamAudio();
    ~CStreamAudio();
    CStreamAudio(const CStreamAudio&) = delete;
    CStreamAudio& operator=(const CStreamAudio&) = delete;

    // 1 when playing. The sink is the process's choice unless one is given.
    int Open(QxWindow window, CStreamAudioHandler* handler, int channels, int rate, int bits,
             int formatId, std::unique_ptr<qx::audio::AudioSink> sink = nullptr);
    // Joins the feeding thread: no handler call starts or runs once Close returns.
    int Close();
    int IsOpened() const;
    int GetFormatId() const { return m_formatId; }
    // Hundredths of a decibel, -10000..0; kept for the next Open when closed.
    int SetVolume(int32_t volume);
    // 0 when nothing is open.
    int GetVolume(int32_t* volume) const;
    // What the sound plays into ("alsa", "silent", "wav"…); empty when closed.
    std::string SinkName();

    int blockBytes() const { return m_blockBytes; }
    // How long sound handed over now waits before it is heard; 0 when closed. With
    // the part in hand: as seen from outside while the handler fills a refill (the
    // sound handed so far comes after that part); without: for the refill's start.
    int QueuedMs(bool withPartInHand = true);
    // One pass of the feeding thread; for tests that drive a sink by hand.
    bool Refill();

  private:
    void Feed();
    int64_t PlayedBytes();
    void Deliver(unsigned char* part, int bytes);
    void ApplyVolume(unsigned char* part, int bytes) const;

    // The sink is used by the feeding thread and asked for its queue by the play
    // loop; guarded by m_sinkLock once the thread runs.
    std::mutex m_sinkLock;
    std::unique_ptr<qx::audio::AudioSink> m_sink;
    qx::audio::PcmFormat m_format;
    int m_bufferBytes = 0;
    int m_blockBytes = 0;
    // Bytes handed to the sink since Open; its remainder in the ring is the write
    // offset of the looping buffer this player models.
    std::atomic<int64_t> m_written{0};
    // Bytes of the refill the handler is working on.
    std::atomic<int> m_filling{0};
    CStreamAudioHandler* m_handler = nullptr;
    unsigned char m_silenceByte = 0;
    std::atomic<int32_t> m_volume{-2000};
    int m_formatId = -1;

    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    // guarded by m_lock
    bool m_running = false;
    bool m_opened = false;
    std::thread m_thread;
};
