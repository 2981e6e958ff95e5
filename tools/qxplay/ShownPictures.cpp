#include "ShownPictures.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>

#include "render/PixelConvert.h"

namespace qxplay {

namespace {

int Channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0)
        return 0;
    const int shift = __builtin_ctzl(mask);
    return static_cast<int>(((pixel & mask) >> shift) * 255 / (mask >> shift));
}

}  // namespace

ShownPictures::ShownPictures(int checkEvery) : m_checkEvery(checkEvery) {
    if (checkEvery > 0)
        m_display = XOpenDisplay(nullptr);
}

ShownPictures::~ShownPictures() {
    if (m_display != nullptr)
        XCloseDisplay(m_display);
}

void ShownPictures::NoteInput(Clock::time_point when) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inputs.push_back(when);
}

int64_t ShownPictures::fed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inputs.empty() ? m_fileTotal.load() : static_cast<int64_t>(m_inputs.size());
}

void ShownPictures::NoteShown(unsigned char* planes[3], int width, int height, QxWindow window) {
    const Clock::time_point now = Clock::now();
    const int64_t index = m_shown++;
    {
        // Pictures come out in input order; without drops the nth shown is the nth fed.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (index < static_cast<int64_t>(m_inputs.size()))
            m_latencyMs = std::chrono::duration<double, std::milli>(now - m_inputs[index]).count();
    }
    if (m_display != nullptr && m_checkEvery > 0 && index % m_checkEvery == 0) {
        ++m_checked;
        if (!WindowMatches(planes, width, height, window))
            ++m_mismatched;
    }
}

// Samples a grid of the window and looks for each sample's colour near the picture
// position it stretches from: scaling and filtering move edges by a pixel or two.
bool ShownPictures::WindowMatches(unsigned char* planes[3], int width, int height,
                                  QxWindow window) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(m_display, window, &attributes))
        return false;
    const int clientWidth = attributes.width;
    const int clientHeight = attributes.height;
    XImage* image = XGetImage(m_display, window, 0, 0, static_cast<unsigned>(clientWidth),
                              static_cast<unsigned>(clientHeight), AllPlanes, ZPixmap);
    if (image == nullptr)
        return false;
    constexpr int kColumns = 24;
    constexpr int kRows = 16;
    constexpr int kTolerance = 8;
    int misses = 0;
    double worst = 0;
    for (int row = 0; row < kRows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            const int x = (2 * column + 1) * clientWidth / (2 * kColumns);
            const int y = (2 * row + 1) * clientHeight / (2 * kRows);
            const unsigned long pixel = XGetPixel(image, x, y);
            const int seen[3] = {Channel(pixel, attributes.visual->red_mask),
                                 Channel(pixel, attributes.visual->green_mask),
                                 Channel(pixel, attributes.visual->blue_mask)};
            const int px = x * width / clientWidth;
            const int py = y * height / clientHeight;
            // Filtering blends neighbouring samples, and a blend of colours lies within
            // their range: accept anything inside the range of the luma samples two
            // pixels around and the chroma samples one chroma pixel around.
            int low[3] = {255, 255, 255};
            int high[3] = {0, 0, 0};
            for (int dy = -2; dy <= 2; ++dy) {
                for (int dx = -2; dx <= 2; ++dx) {
                    const int sx = std::clamp(px + dx, 0, width - 1);
                    const int sy = std::clamp(py + dy, 0, height - 1);
                    const int luma = planes[0][static_cast<size_t>(sy) * width + sx];
                    for (int cy = -1; cy <= 1; ++cy) {
                        for (int cx = -1; cx <= 1; ++cx) {
                            const int ux = std::clamp(px / 2 + cx, 0, width / 2 - 1);
                            const int uy = std::clamp(py / 2 + cy, 0, height / 2 - 1);
                            const size_t chroma = static_cast<size_t>(uy) * (width / 2) + ux;
                            uint8_t rgb[3];
                            qx::YuvPixelToRgb(luma, planes[1][chroma], planes[2][chroma], &rgb[0],
                                              &rgb[1], &rgb[2]);
                            for (int c = 0; c < 3; ++c) {
                                low[c] = std::min(low[c], static_cast<int>(rgb[c]));
                                high[c] = std::max(high[c], static_cast<int>(rgb[c]));
                            }
                        }
                    }
                }
            }
            int best = 0;
            for (int c = 0; c < 3; ++c)
                best = std::max({best, low[c] - seen[c], seen[c] - high[c]});
            worst = std::max(worst, static_cast<double>(best));
            if (best > kTolerance)
                ++misses;
        }
    }
    XDestroyImage(image);
    m_worst = std::max(m_worst, worst);
    // A few samples on the burnt-in digits may fall between two filtered edges.
    return misses * 50 <= kColumns * kRows;
}

ShowingRenderer::ShowingRenderer(std::unique_ptr<video_render> inner, ShownPictures& pictures)
    : m_inner(std::move(inner)), m_pictures(pictures) {}

bool ShowingRenderer::Init(QxWindow window, int width, int height) {
    m_width = width;
    m_height = height;
    return !m_inner || m_inner->Init(window, width, height);
}

bool ShowingRenderer::Render(unsigned char* planes[3], const int strides[3], int width, int height,
                             QxWindow window, const RenderPoint* topLeft,
                             const RenderPoint* bottomRight) {
    const bool shown =
        !m_inner || m_inner->Render(planes, strides, width, height, window, topLeft, bottomRight);
    if (shown)
        m_pictures.NoteShown(planes, width, height, window);
    return shown;
}

void ShowingRenderer::Close() {
    if (m_inner)
        m_inner->Close();
}

void ShowingRenderer::SetText(const char* text, int32_t reserved, bool enable) {
    if (m_inner)
        m_inner->SetText(text, reserved, enable);
}

void ShowingRenderer::GetSize(int32_t& height, int32_t& width) {
    if (m_inner) {
        m_inner->GetSize(height, width);
        return;
    }
    height = m_height;
    width = m_width;
}

}  // namespace qxplay
