#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/CStreamAudio.h"
#include "audio/CStreamAudioHandler.h"
#include "decode/VoiceDecode.h"
#include "platform/CritSec.h"
#include "session/AudioCirQueue.h"
#include "session/PlayClock.h"
#include "session/PortStatus.h"
#include "session/Recorder.h"

// The sound of one port: audio packets cut into 160-byte frames and queued by the
// parser, the sound player that pulls them, decoded, on its own thread, and the
// audio clock that lip sync compares with the picture.
//
// The player is opened, replaced and closed by one thread only, its owner: the
// parser thread while the port plays (the thread that drives the parse step
// otherwise). The sound exports only post requests.
class AudioPath {
  public:
    AudioPath(PortStatus& status, SessionSignals& signals, PlayClock& clock, Recorder& recorder,
              CStreamAudioHandler& handler);
    // The caller is the player's owner by now: no worker runs.
    ~AudioPath();

    // Host: sound on and off; both 1. The player follows on its owner's next pass.
    int PlaySound();
    int StopSound();
    // The port stops: sound off, the volume kept for the next PlaySound.
    void DisableSound();
    bool SoundEnabled() const { return m_soundEnabled.load(); }
    // -10000..0, hundredths of a decibel; false while the sound is off.
    bool SetVolume(int32_t volume);
    // The export's scale: volume + 10000 while open, 10000 while not yet open, 0 off.
    uint16_t VolumeForExport();

    // Owner thread: the player follows the last request; at the end of a run it goes.
    void ServicePlayer();
    void ClosePlayer();
    // True when AudioStep has anything to do with the packet: only the owner may pass
    // it on then.
    bool Wants(const H264_PARAM& header) const;
    // Owner thread: an audio packet (header and trailer included) for the player.
    void AudioStep(const H264_PARAM& header, const unsigned char* packet, int packetLength);
    // Cuts the current audio payload into 160-byte frames and queues them.
    void DecodeVioce();

    // The player's thread: decoded frames off the queue, silence while paused, none in
    // trick play (the clock is kept level with the picture).
    void OnAudioData(unsigned char* buffer, int32_t bytes);

    // Play-video thread, file modes: the sleep moved a frame interval towards the
    // audio clock when the two are apart.
    int64_t LipSyncSleep(int64_t sleep);
    // How far the picture is ahead of the sound being heard (ms).
    int64_t AudioVideoOffsetMs();
    // The same as a viewer meets it when a picture appears: the clock stands at the
    // picture on screen while the sound moves on, so between pictures the time the
    // picture has been up is added back (at most one interval).
    int64_t HeardOffsetMs();
    // The open player's sink ("alsa", "silent", "wav"…); empty while none is open.
    std::string SinkName();

    AudioCirQueue& Queue() { return *m_AudioCirQueue; }
    void SetQueueCapacity(int capacity) { m_AudioCirQueue->Initialise(capacity); }
    // The staging and the queue emptied.
    void Reset();
    // The next sound starts the audio clock again.
    void RestartSound() { m_audioStart = true; }

  private:
    // Sound is on and the packet's length is one a payload can have.
    bool Hears(const H264_PARAM& header) const;
    // The player that plays knd, opened; the old one is closed first.
    void SetUpPlayer(int knd);
    // Queues one frame by the full-queue policy of the play state; false when the
    // rest of the payload is not to be queued.
    bool QueueAudioFrame(const FRAME_BUF& frame);
    bool PlayerIsOpen();
    int64_t QueuedMs(bool withPartInHand);
    void AccountAudioFrames(int state);
    void AccountAudioFrame(FRAME_BUF& frame);
    // Pushed streams and files: sound waits for the first picture, then both clocks
    // start together; false when the frame is to be skipped.
    bool StartFileSound(FRAME_BUF& frame);
    // Live modes: sound behind the picture is dropped once too much waits; true when
    // this frame is to be dropped.
    bool DropLate(const FRAME_BUF& frame);
    bool DecodeAudioFrame(FRAME_BUF& frame, int* length);

    PortStatus& m_status;
    SessionSignals& m_signals;
    PlayClock& m_clock;
    Recorder& m_recorder;
    CStreamAudioHandler& m_handler;

    std::atomic<bool> m_soundEnabled{false};
    std::atomic<int32_t> m_volume{-2000};
    std::atomic<bool> m_audioStart{true};
    std::unique_ptr<AudioCirQueue> m_AudioCirQueue;

    CCritSec m_stageLock;
    // guarded by m_stageLock
    FRAME_BUF m_curAudio;
    FRAME_BUF m_audioCarry;

    // Written by the owner thread under m_playerLock; read by the owner without it.
    CCritSec m_playerLock;
    std::unique_ptr<CStreamAudio> m_player;

    // Serialises the sound callbacks (a replaced player and its successor); the
    // fields below belong to whichever player's thread holds it.
    CCritSec m_audioOutLock;
    std::unique_ptr<VoiceDecode> mAudioDecodec;
    int64_t m_audioFrameNumber = 0;
    // Sound before this stream time (ms) is skipped when a file starts.
    int64_t m_audioSkipUntil = 0;
};
