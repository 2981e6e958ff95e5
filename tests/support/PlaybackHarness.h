#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "qxplaylib.h"
#include "streamkit/StreamKit.h"
#include "support/RecordingRenderer.h"

// Any non-zero id does for the recording renderer, which never touches a display.
constexpr QxWindow kTestWindow = 0x5a5a;

// The bytes cut in front of every marker, as a camera SDK hands over one packet per
// call. Live input is checked for continuity by the first packet of each chunk, so
// live hosts push whole packets.
inline std::vector<std::vector<uint8_t>> ChunksAtMarkers(const std::vector<uint8_t>& bytes) {
    std::vector<std::vector<uint8_t>> chunks;
    size_t start = 0;
    for (size_t i = 1; i + 8 <= bytes.size(); ++i) {
        if (std::memcmp(bytes.data() + i, "AAAAAAAA", 8) == 0 && bytes[i - 1] != 0x41) {
            chunks.emplace_back(bytes.begin() + start, bytes.begin() + i);
            start = i;
        }
    }
    chunks.emplace_back(bytes.begin() + start, bytes.end());
    return chunks;
}

// One initialised library with one port, recording what it shows.
class PlaybackPort {
  public:
    explicit PlaybackPort(int mode) {
        QxPlay_Init();
        QxPlay_GetPort(&m_port);
        QxPlay_SetStreamOpenMode(m_port, mode);
    }
    ~PlaybackPort() {
        QxPlay_FreePort(m_port);
        QxPlay_Destory();
    }
    PlaybackPort(const PlaybackPort&) = delete;
    PlaybackPort& operator=(const PlaybackPort&) = delete;

    int32_t port() const { return m_port; }
    RenderRecord& shown() { return *m_renderers; }

    bool Play() { return QxPlay_Play(m_port, kTestWindow) == 1; }

    // Offers the chunk until it is taken, as a host does; false once the port has
    // stopped, since a stopped port takes nothing, or after 20 s.
    bool Give(std::vector<uint8_t> chunk) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (QxPlay_InputData(m_port, chunk.data(), static_cast<uint32_t>(chunk.size())) == 0) {
            if (QxPlay_GetPlayStatus(m_port) == QXPLAY_STATE_STOP ||
                std::chrono::steady_clock::now() > give_up)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // Feeds the bytes in chunks of the given size, up to the first chunk refused; live
    // ports (mode 0) get whole packets instead.
    bool Feed(const std::vector<uint8_t>& bytes, size_t chunk) {
        if (QxPlay_GetStreamOpenMode(m_port) == 0) {
            for (auto& piece : ChunksAtMarkers(bytes))
                if (!Give(std::move(piece)))
                    return false;
            return true;
        }
        for (size_t at = 0; at < bytes.size(); at += chunk) {
            const size_t n = std::min(chunk, bytes.size() - at);
            if (!Give(std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + n)))
                return false;
        }
        return true;
    }

  private:
    RecordingRenderers m_renderers;
    int32_t m_port = -1;
};

// A packet that only ends the one before it: marker-pair extraction needs the next
// marker to know where a packet stops.
inline std::vector<uint8_t> EndMarker() {
    qx::kit::Packet end;
    end.header.knd = 99;
    end.header.nal_len = 4;
    end.payload = {0, 0, 0, 0};
    return qx::kit::Serialize({end});
}

inline std::vector<uint8_t> WithEndMarker(std::vector<uint8_t> bytes) {
    const std::vector<uint8_t> end = EndMarker();
    bytes.insert(bytes.end(), end.begin(), end.end());
    return bytes;
}
