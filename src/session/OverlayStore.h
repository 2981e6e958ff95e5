#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "platform/CritSec.h"
#include "render/OverlayDraw.h"
#include "session/SessionConstants.h"

// The rectangles and lines a host draws over a port's pictures. Set by the exports,
// drawn by the thread that shows the picture.
class OverlayStore {
  public:
    struct Rectangle {
        int32_t x = 0;
        int32_t y = 0;
        int32_t height = 0;
        int32_t width = 0;
        // The sample values for the Y, V and U planes.
        unsigned char luma = 0;
        unsigned char cr = 0;
        unsigned char cb = 0;
        bool enabled = false;
    };
    struct Line {
        int32_t x0, y0, x1, y1;
        // Y in bits 16-23, the V-plane value in 8-15, the U-plane value in 0-7.
        uint32_t colour;
        int32_t kind;
    };

    // False for a slot outside 0..4.
    bool SetRectangle(int slot, const Rectangle& rectangle);
    bool RemoveRectangle(int slot);
    std::optional<Rectangle> RectangleAt(int slot);
    void SetLine(int32_t key, const Line& line);
    void RemoveLine(int32_t key);
    std::map<int32_t, Line> Lines();
    // Draws every enabled rectangle of slots 0..3, then every line by its kind.
    void Draw(const qx::YuvPlanes& picture);
    // Draw would change a picture.
    bool HasDrawing();

  private:
    static bool Drawn(const Rectangle& rectangle);

    CCritSec m_lock;
    // guarded by m_lock
    Rectangle m_rectangles[qx::kRectangleSlots];
    std::map<int32_t, Line> m_lines;
};
