#include "render/RendererChoice.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

#include "render/CDDrawDisplay.h"
#include "render/D3DRender.h"
#include "log/Log.h"

namespace qx::render {

namespace {

std::atomic<bool> g_useGpu{false};

std::mutex& FactoryMutex() {
    static std::mutex mutex;
    return mutex;
}

RendererFactory& Override() {
    static RendererFactory factory;
    return factory;
}

}  // namespace

void SetUseGpuRenderer(bool use) {
    g_useGpu.store(use);
}

bool UseGpuRenderer() {
    return g_useGpu.load();
}

bool ChooseGpuRenderer(const std::function<bool()>& gpuWorks) {
    const char* variable = std::getenv("QXPLAY_RENDERER");
    const std::string wanted = variable != nullptr ? variable : "";
    if (wanted == "x11")
        return false;
    if (!wanted.empty() && wanted != "gl")
        qx::log::DbgviewLog(115, "QXPLAY_RENDERER=%s is neither gl nor x11: ignored", variable);
    const bool works = gpuWorks();
    if (wanted == "gl" && !works)
        qx::log::DbgviewLog(115, "%s", "QXPLAY_RENDERER=gl: GL cannot draw here, x11 draws");
    return works;
}

std::unique_ptr<video_render> CreateRenderer() {
    RendererFactory factory;
    {
        std::lock_guard<std::mutex> lock(FactoryMutex());
        factory = Override();
    }
    if (factory)
        return factory();
    return CreateLibraryRenderer();
}

std::unique_ptr<video_render> CreateLibraryRenderer() {
    if (UseGpuRenderer())
        return std::make_unique<D3DRender>();
    return std::make_unique<CDDrawDisplay>();
}

void SetRendererFactory(RendererFactory factory) {
    std::lock_guard<std::mutex> lock(FactoryMutex());
    Override() = std::move(factory);
}

}  // namespace qx::render
