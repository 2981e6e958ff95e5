#include "WindowCheck.h"

#include <X11/Xutil.h>

#include <algorithm>

namespace qxplay {

namespace {

constexpr int kColumns = 24;
constexpr int kRows = 16;
constexpr int kTolerance = 8;

int Channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0)
        return 0;
    const int shift = __builtin_ctzl(mask);
    return static_cast<int>(((pixel & mask) >> shift) * 255 / (mask >> shift));
}

// BT.601, limited range, as the window shows it.
void ToRgb(int y, int u, int v, int rgb[3]) {
    const int c = y - 16;
    const int d = u - 128;
    const int e = v - 128;
    rgb[0] = std::clamp((298 * c + 409 * e + 128) >> 8, 0, 255);
    rgb[1] = std::clamp((298 * c - 100 * d - 208 * e + 128) >> 8, 0, 255);
    rgb[2] = std::clamp((298 * c + 516 * d + 128) >> 8, 0, 255);
}

}  // namespace

WindowCheck::WindowCheck(int checkEvery, Window window)
    : m_checkEvery(checkEvery), m_window(window) {
    if (checkEvery > 0 && window != 0)
        m_display = XOpenDisplay(nullptr);
}

WindowCheck::~WindowCheck() {
    if (m_display != nullptr)
        XCloseDisplay(m_display);
}

void WindowCheck::NoteShown(const uint8_t* yv12, int width, int height) {
    if (m_display == nullptr || width <= 0 || height <= 0)
        return;
    Picture current;
    current.width = width;
    current.height = height;
    current.yv12.assign(yv12, yv12 + static_cast<size_t>(width) * height * 3 / 2);
    // Not at the first picture: the file modes have not drawn it yet, and there is
    // none before it.
    if (m_count++ % m_checkEvery == 1 % m_checkEvery) {
        XWindowAttributes attributes;
        XImage* image = nullptr;
        if (XGetWindowAttributes(m_display, m_window, &attributes))
            image = XGetImage(m_display, m_window, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
        bool matches = false;
        double worst = 255;
        if (image != nullptr) {
            worst = Difference(*image, attributes, current, &matches);
            bool earlier = false;
            if (!matches && !m_previous.yv12.empty()) {
                const double before = Difference(*image, attributes, m_previous, &earlier);
                if (earlier) {
                    matches = true;
                    worst = before;
                }
            }
            XDestroyImage(image);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_checked;
        m_mismatched += matches ? 0 : 1;
        m_worst = std::max(m_worst, worst);
    }
    m_previous = std::move(current);
}

// Samples a grid of the window and looks for each sample's colour near the picture
// position it stretches from: scaling and filtering move edges by a pixel or two.
double WindowCheck::Difference(const XImage& image, const XWindowAttributes& attributes,
                               const Picture& picture, bool* matches) const {
    const int width = picture.width;
    const int height = picture.height;
    const uint8_t* luma = picture.yv12.data();
    const uint8_t* v = luma + static_cast<size_t>(width) * height;
    const uint8_t* u = v + static_cast<size_t>(width / 2) * (height / 2);
    int misses = 0;
    double worst = 0;
    for (int row = 0; row < kRows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            const int x = (2 * column + 1) * attributes.width / (2 * kColumns);
            const int y = (2 * row + 1) * attributes.height / (2 * kRows);
            const unsigned long pixel = XGetPixel(const_cast<XImage*>(&image), x, y);
            const int seen[3] = {Channel(pixel, attributes.visual->red_mask),
                                 Channel(pixel, attributes.visual->green_mask),
                                 Channel(pixel, attributes.visual->blue_mask)};
            const int px = x * width / attributes.width;
            const int py = y * height / attributes.height;
            // A blend of colours lies within their range: anything inside the range of
            // the luma samples two pixels around and the chroma one chroma pixel around.
            int low[3] = {255, 255, 255};
            int high[3] = {0, 0, 0};
            for (int dy = -2; dy <= 2; ++dy) {
                for (int dx = -2; dx <= 2; ++dx) {
                    const int sx = std::clamp(px + dx, 0, width - 1);
                    const int sy = std::clamp(py + dy, 0, height - 1);
                    const int l = luma[static_cast<size_t>(sy) * width + sx];
                    for (int cy = -1; cy <= 1; ++cy) {
                        for (int cx = -1; cx <= 1; ++cx) {
                            const int ux = std::clamp(px / 2 + cx, 0, width / 2 - 1);
                            const int uy = std::clamp(py / 2 + cy, 0, height / 2 - 1);
                            const size_t chroma = static_cast<size_t>(uy) * (width / 2) + ux;
                            int rgb[3];
                            ToRgb(l, u[chroma], v[chroma], rgb);
                            for (int c = 0; c < 3; ++c) {
                                low[c] = std::min(low[c], rgb[c]);
                                high[c] = std::max(high[c], rgb[c]);
                            }
                        }
                    }
                }
            }
            int off = 0;
            for (int c = 0; c < 3; ++c)
                off = std::max({off, low[c] - seen[c], seen[c] - high[c]});
            worst = std::max(worst, static_cast<double>(off));
            if (off > kTolerance)
                ++misses;
        }
    }
    // A few samples on the burnt-in digits may fall between two filtered edges.
    *matches = misses * 50 <= kColumns * kRows;
    return worst;
}

int WindowCheck::checked() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_checked;
}

int WindowCheck::mismatched() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mismatched;
}

double WindowCheck::worstMismatch() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_worst;
}

}  // namespace qxplay
