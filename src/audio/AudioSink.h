#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qx::audio {

struct PcmFormat {
    int channels = 1;
    int rate = 8000;
    int bits = 16;

    int BytesPerFrame() const { return channels * (bits / 8); }
    int BytesPerSecond() const { return BytesPerFrame() * rate; }
};

// Where a sound player's bytes go. The player keeps the sink a fixed amount ahead
// of what it has played and refills what the sink reports as played, so a sink
// never blocks and never runs dry.
class AudioSink {
  public:
    virtual ~AudioSink() = default;
    virtual bool Open(const PcmFormat& format) = 0;
    // Queues bytes behind the ones written so far; returns how many it took (fewer
    // when the device is full, 0 on failure). Never blocks.
    virtual size_t Write(const uint8_t* data, size_t size) = 0;
    // Bytes the listener has heard since Open; never more than were written.
    virtual int64_t PlayedBytes() = 0;
    virtual void Close() = 0;
    virtual const char* Name() const = 0;
};

// The sink a new player uses: the WAV file set for the process, else the sound
// device, else (no device, as on build machines) the silent sink.
std::unique_ptr<AudioSink> OpenSink(const PcmFormat& format);

// Every player opened from now on writes what it plays into this WAV file (one file
// per player: a second player in the process gets "-2" before the extension, and
// so on); an empty name goes back to the device.
void SetOutputFile(const std::string& path);
// Replaces the choice above for every player opened from now on (tests install
// sinks they can watch); an empty factory restores it.
using SinkFactory = std::function<std::unique_ptr<AudioSink>()>;
void SetSinkFactory(SinkFactory factory);

// The name of the kind of sink the newest player opened ("alsa", "silent", "wav").
std::string LastSinkName();

}  // namespace qx::audio
