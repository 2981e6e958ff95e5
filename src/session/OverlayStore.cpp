#include "session/OverlayStore.h"

bool OverlayStore::SetRectangle(int slot, const Rectangle& rectangle) {
    if (slot < 0 || slot >= qx::kRectangleSlots)
        return false;
    CAutoLock lock(&m_lock);
    m_rectangles[slot] = rectangle;
    m_rectangles[slot].enabled = true;
    return true;
}

bool OverlayStore::RemoveRectangle(int slot) {
    if (slot < 0 || slot >= qx::kRectangleSlots)
        return false;
    CAutoLock lock(&m_lock);
    m_rectangles[slot].enabled = false;
    return true;
}

std::optional<OverlayStore::Rectangle> OverlayStore::RectangleAt(int slot) {
    if (slot < 0 || slot >= qx::kRectangleSlots)
        return std::nullopt;
    CAutoLock lock(&m_lock);
    return m_rectangles[slot];
}

void OverlayStore::SetLine(int32_t key, const Line& line) {
    CAutoLock lock(&m_lock);
    m_lines[key] = line;
}

void OverlayStore::RemoveLine(int32_t key) {
    CAutoLock lock(&m_lock);
    m_lines.erase(key);
}

std::map<int32_t, OverlayStore::Line> OverlayStore::Lines() {
    CAutoLock lock(&m_lock);
    return m_lines;
}

bool OverlayStore::Drawn(const Rectangle& r) {
    return r.enabled && (r.height != 0 || r.width != 0);
}

bool OverlayStore::HasDrawing() {
    CAutoLock lock(&m_lock);
    if (!m_lines.empty())
        return true;
    for (int slot = 0; slot < qx::kDrawnRectangleSlots; ++slot) {
        if (Drawn(m_rectangles[slot]))
            return true;
    }
    return false;
}

void OverlayStore::Draw(const qx::YuvPlanes& picture) {
    CAutoLock lock(&m_lock);
    for (int slot = 0; slot < qx::kDrawnRectangleSlots; ++slot) {
        const Rectangle& r = m_rectangles[slot];
        if (!Drawn(r))
            continue;
        qx::DrawRectangle(picture, r.x, r.y, r.width, r.height,
                          qx::OverlayColour(r.luma, r.cr, r.cb));
    }
    for (const auto& [key, line] : m_lines) {
        switch (line.kind) {
            case 0:
                qx::DrawThickLine(picture, line.x0, line.y0, line.x1, line.y1, line.colour);
                break;
            case 1:
                qx::DrawLabelledLine(picture, line.x0, line.y0, line.x1, line.y1, line.colour);
                break;
            case 2:
                qx::DrawArrowLine(picture, line.x0, line.y0, line.x1, line.y1, line.colour);
                break;
            default:
                break;
        }
    }
}
