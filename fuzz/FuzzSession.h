// What the session fuzz targets share: a renderer that only reads the planes it is
// handed, a sound sink that takes everything at once, a file in memory, and the
// drain that keeps a single-threaded live session moving.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/AudioSink.h"
#include "render/RendererChoice.h"
#include "session/DDrawSession.h"

namespace qx::fuzz {

class TouchingRenderer : public video_render {
  public:
    bool Init(QxWindow, int width, int height) override { return width > 0 && height > 0; }
    bool Render(unsigned char* planes[3], const int*, int width, int height, QxWindow,
                const RenderPoint*, const RenderPoint*) override {
        // Reads the first and last byte of every plane, so that a plane shorter than its
        // size trips the sanitizer.
        const size_t luma = static_cast<size_t>(width) * height;
        m_sum +=
            planes[0][0] + planes[0][luma - 1] + planes[1][luma / 4 - 1] + planes[2][luma / 4 - 1];
        return true;
    }
    void Close() override {}
    void SetText(const char*, int32_t, bool) override {}
    void GetSize(int32_t& height, int32_t& width) override { height = width = 0; }

  private:
    unsigned m_sum = 0;
};

class InstantSink : public audio::AudioSink {
  public:
    bool Open(const audio::PcmFormat&) override { return true; }
    size_t Write(const uint8_t*, size_t size) override {
        m_written += static_cast<int64_t>(size);
        return size;
    }
    int64_t PlayedBytes() override { return m_written; }
    void Close() override {}
    const char* Name() const override { return "instant"; }

  private:
    int64_t m_written = 0;
};

// A memory file holding the input, reachable by name until it goes out of scope.
class MemoryFile {
  public:
    MemoryFile(const uint8_t* data, size_t size) : m_fd(::memfd_create("qxfuzz", 0)) {
        size_t done = 0;
        while (m_fd >= 0 && done < size) {
            const ssize_t n = ::write(m_fd, data + done, size - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
    }
    ~MemoryFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return m_fd >= 0; }
    std::string path() const { return "/proc/self/fd/" + std::to_string(m_fd); }

  private:
    int m_fd;
};

// Once per process: every renderer and sound sink the library makes is one of these.
inline void InstallFuzzFactories() {
    static const bool installed = [] {
        render::SetRendererFactory([] { return std::make_unique<TouchingRenderer>(); });
        audio::SetSinkFactory([] { return std::make_unique<InstantSink>(); });
        return true;
    }();
    (void)installed;
}

// The live mode waits for the play loop to take each packet; a pass that left one
// in place must not be followed by another parse.
inline void DrainFrames(DDrawSession& session) {
    for (int i = 0; i < 4 && session.Video().FrameFill() > 0; ++i) {
        session.PlayStep();
        session.RenderStep();
    }
    if (session.Video().FrameFill() > 0)
        session.ResetBuffers();
}

// Runs the parser over what the source holds, as its thread would. A pass that finds
// no whole packet costs the parser's wait, so after one the next is tried only once
// a few hundred more bytes have come in, or at the end of the input.
class ParseDriver {
  public:
    ParseDriver(DDrawSession& session, bool drainEachPass)
        : m_session(session), m_drainEachPass(drainEachPass) {}

    void Run(bool last) {
        if (!last && m_session.Input().Fill() < m_failedFill + kMoreBytes)
            return;
        for (int pass = 0; last || pass < kPassesPerChunk; ++pass) {
            if (m_drainEachPass || last)
                DrainFrames(m_session);
            if (m_session.Input().Fill() < qx::kHeaderSize || !m_session.ParseStep()) {
                m_failedFill = m_session.Input().Fill();
                return;
            }
            m_failedFill = 0;
        }
    }

  private:
    static constexpr int kMoreBytes = 512;
    static constexpr int kPassesPerChunk = 8;
    DDrawSession& m_session;
    const bool m_drainEachPass;
    int m_failedFill = 0;
};

}  // namespace qx::fuzz
