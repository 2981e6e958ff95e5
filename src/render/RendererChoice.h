#pragma once

#include <functional>
#include <memory>

#include "render/video_render.h"

namespace qx::render {

using RendererFactory = std::function<std::unique_ptr<video_render>()>;

// The library-wide choice between the GPU and the plain X renderer, made once at
// start-up from the probe's outcome.
void SetUseGpuRenderer(bool use);
bool UseGpuRenderer();
// Whether the GPU renderer is to draw: what the host asks for in QXPLAY_RENDERER
// ("gl" or "x11"), as far as gpuWorks() allows; gpuWorks() alone otherwise.
bool ChooseGpuRenderer(const std::function<bool()>& gpuWorks);

// A new, uninitialised renderer of the installed factory's kind, or else of the
// library-wide kind.
std::unique_ptr<video_render> CreateRenderer();
// Always of the library-wide kind: for factories that wrap the real renderer.
std::unique_ptr<video_render> CreateLibraryRenderer();

// Replaces the library-wide choice for every renderer created from now on (tests
// install one that records what it is asked to show); an empty factory restores it.
void SetRendererFactory(RendererFactory factory);

}  // namespace qx::render
