#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace qxplay {

// Compares the player's window with the pictures the library says it shows (its
// display callback's YV12 copies). The file modes hand a picture over just before
// it is drawn, the live mode just after: the window is taken to match when it holds
// either the picture handed over now or the one before it.
class WindowCheck {
  public:
    // checkEvery: compare the window at every Nth picture (0: never).
    WindowCheck(int checkEvery, Window window);
    ~WindowCheck();
    WindowCheck(const WindowCheck&) = delete;
    WindowCheck& operator=(const WindowCheck&) = delete;

    // The library's display thread: Y, then V, then U, rows packed.
    void NoteShown(const uint8_t* yv12, int width, int height);

    int checked() const;
    int mismatched() const;
    double worstMismatch() const;

  private:
    struct Picture {
        std::vector<uint8_t> yv12;
        int width = 0;
        int height = 0;
    };
    // The window's worst sample against the picture, and whether it holds the picture.
    double Difference(const XImage& image, const XWindowAttributes& attributes,
                      const Picture& picture, bool* matches) const;

    const int m_checkEvery;
    const Window m_window;
    // Display thread only.
    Display* m_display = nullptr;
    Picture m_previous;
    int64_t m_count = 0;
    mutable std::mutex m_mutex;
    // guarded by m_mutex
    int m_checked = 0;
    int m_mismatched = 0;
    double m_worst = 0;
};

}  // namespace qxplay
