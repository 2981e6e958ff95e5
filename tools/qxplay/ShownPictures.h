#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "render/video_render.h"

namespace qxplay {

using Clock = std::chrono::steady_clock;

// What the player learns from the pictures the library shows: how many, when, and,
// when asked to, whether the window really holds each checked picture.
class ShownPictures {
  public:
    // checkEvery: compare the window with every Nth picture shown (0: never).
    explicit ShownPictures(int checkEvery);
    ~ShownPictures();

    void NoteInput(Clock::time_point when);
    // A file the library reads itself: how many pictures it holds.
    void SetFileTotal(int64_t pictures) { m_fileTotal = pictures; }
    void NoteShown(unsigned char* planes[3], int width, int height, QxWindow window);

    int64_t shown() const { return m_shown.load(); }
    int64_t fed() const;
    // Input to display of the newest picture shown, in milliseconds; -1 when unknown.
    double latencyMs() const { return m_latencyMs.load(); }
    int checked() const { return m_checked; }
    int mismatched() const { return m_mismatched; }
    double worstMismatch() const { return m_worst; }

  private:
    bool WindowMatches(unsigned char* planes[3], int width, int height, QxWindow window);

    const int m_checkEvery;
    std::atomic<int64_t> m_shown{0};
    std::atomic<double> m_latencyMs{-1};
    std::atomic<int64_t> m_fileTotal{0};
    mutable std::mutex m_mutex;
    std::vector<Clock::time_point> m_inputs;
    // Used only from the thread that renders.
    Display* m_display = nullptr;
    int m_checked = 0;
    int m_mismatched = 0;
    double m_worst = 0;
};

// Wraps the library's own renderer (none when there is no display) and reports each
// picture it really showed.
class ShowingRenderer : public video_render {
  public:
    ShowingRenderer(std::unique_ptr<video_render> inner, ShownPictures& pictures);

    bool Init(QxWindow window, int width, int height) override;
    bool Render(unsigned char* planes[3], const int strides[3], int width, int height,
                QxWindow window, const RenderPoint* topLeft,
                const RenderPoint* bottomRight) override;
    void Close() override;
    void SetText(const char* text, int32_t reserved, bool enable) override;
    void GetSize(int32_t& height, int32_t& width) override;

  private:
    std::unique_ptr<video_render> m_inner;
    ShownPictures& m_pictures;
    int32_t m_width = 0;
    int32_t m_height = 0;
};

}  // namespace qxplay
