#include "render/RendererChoice.h"

#include <atomic>
#include <mutex>

#include "render/CDDrawDisplay.h"
#include "render/D3DRender.h"

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
