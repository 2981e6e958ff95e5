#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "decode/AvPictureDecoder.h"
#include "render/RendererChoice.h"
#include "render/video_render.h"

// What the sessions were asked to show, in order, shared by every renderer the
// library creates while a RecordingRenderers is installed.
class RenderRecord {
  public:
    struct Shown {
        int width = 0;
        int height = 0;
        QxWindow window = 0;
        std::vector<uint8_t> y;
        std::vector<uint8_t> u;
        std::vector<uint8_t> v;
        std::chrono::steady_clock::time_point at;
    };

    void Add(Shown shown) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return !m_stalled; });
        m_shown.push_back(std::move(shown));
        m_cv.notify_all();
    }

    std::vector<Shown> Pictures() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_shown;
    }

    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_shown.size();
    }

    // Waits until at least n pictures were shown; false on timeout.
    bool WaitFor(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_shown.size() >= n; });
    }

    // Waits until nothing new was shown for the quiet time (at most the limit).
    void WaitQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        size_t seen = Count();
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(quiet);
            const size_t now = Count();
            if (now == seen)
                return;
            seen = now;
        }
    }

    // While stalled, every render call blocks, as a renderer stuck on a slow display.
    void SetStalled(bool stalled) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stalled = stalled;
        m_cv.notify_all();
    }

    std::atomic<int> initCount{0};
    std::atomic<bool> failInit{false};

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Shown> m_shown;
    bool m_stalled = false;
};

class RecordingRenderer : public video_render {
  public:
    explicit RecordingRenderer(std::shared_ptr<RenderRecord> record)
        : m_record(std::move(record)) {}

    bool Init(QxWindow window, int width, int height) override {
        ++m_record->initCount;
        m_width = width;
        m_height = height;
        return !m_record->failInit;
    }

    bool Render(unsigned char* planes[3], const int* strides, int width, int height,
                QxWindow window, const RenderPoint*, const RenderPoint*) override {
        RenderRecord::Shown shown;
        shown.width = width;
        shown.height = height;
        shown.window = window;
        // Kept packed, as the tests compare them.
        const size_t luma = static_cast<size_t>(width) * height;
        shown.y.resize(luma);
        shown.u.resize(luma / 4);
        shown.v.resize(luma / 4);
        const uint8_t* source[3] = {planes[0], planes[1], planes[2]};
        qx::CopyPacked(source, strides, width, height, shown.y.data(), shown.u.data(),
                       shown.v.data(), width, height);
        shown.at = std::chrono::steady_clock::now();
        m_record->Add(std::move(shown));
        return true;
    }

    void Close() override {}
    void SetText(const char*, int32_t, bool) override {}
    void GetSize(int32_t& height, int32_t& width) override {
        height = m_height;
        width = m_width;
    }

  private:
    std::shared_ptr<RenderRecord> m_record;
    int m_width = 0;
    int m_height = 0;
};

// Installs recording renderers for the scope's lifetime.
class RecordingRenderers {
  public:
    RecordingRenderers() : m_record(std::make_shared<RenderRecord>()) {
        std::shared_ptr<RenderRecord> record = m_record;
        qx::render::SetRendererFactory(
            [record] { return std::make_unique<RecordingRenderer>(record); });
    }
    ~RecordingRenderers() { qx::render::SetRendererFactory(nullptr); }
    RecordingRenderers(const RecordingRenderers&) = delete;
    RecordingRenderers& operator=(const RecordingRenderers&) = delete;

    RenderRecord& operator*() { return *m_record; }
    RenderRecord* operator->() { return m_record.get(); }

  private:
    std::shared_ptr<RenderRecord> m_record;
};
