// A hostile camera's bytes through the whole single-port pipeline, run step by step on
// one thread: the parser, the play loop with real decoders, and the live render step,
// with a renderer that only looks at the planes it is handed. Sound is on, pulled by
// the player's own thread from a sink that plays everything at once.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/AudioSink.h"
#include "render/RendererChoice.h"
#include "session/DDrawSession.h"

namespace {

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

class InstantSink : public qx::audio::AudioSink {
  public:
    bool Open(const qx::audio::PcmFormat&) override { return true; }
    bool Write(const uint8_t*, size_t size) override {
        m_written += static_cast<int64_t>(size);
        return true;
    }
    int64_t PlayedBytes() override { return m_written; }
    void Close() override {}
    const char* Name() const override { return "instant"; }

  private:
    int64_t m_written = 0;
};

// The live mode waits for the play loop to take each packet; a pass that left one
// in place must not be followed by another parse.
void DrainFrames(DDrawSession& session) {
    for (int i = 0; i < 4 && session.FrameFill() > 0; ++i) {
        session.PlayStep();
        session.RenderStep();
    }
    if (session.FrameFill() > 0)
        session.ResetBuffers();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool installed = [] {
        qx::render::SetRendererFactory([] { return std::make_unique<TouchingRenderer>(); });
        qx::audio::SetSinkFactory([] { return std::make_unique<InstantSink>(); });
        return true;
    }();
    (void)installed;
    if (size < 2)
        return 0;
    // Live (length rule) or fastest playback (marker rule): neither paces by sleeping.
    const int mode = data[0] % 2 == 0 ? 0 : 3;
    auto session = std::make_shared<DDrawSession>();
    session->SetSessionID(0);
    session->SetOpenMode(mode);
    session->SetCacheTime(0);
    session->SetWindow(1);
    session->SetPlayState(qx::kStateNormal);
    session->PlaySound();
    const size_t chunk = 1 + data[1] * 13u;
    for (size_t offset = 2; offset < size; offset += chunk) {
        const size_t n = size - offset < chunk ? size - offset : chunk;
        session->InputData(data + offset, static_cast<int>(n));
        for (int pass = 0; pass < 8; ++pass) {
            if (mode == 0)
                DrainFrames(*session);
            if (!session->ParseStep())
                break;
        }
        DrainFrames(*session);
    }
    return 0;
}
