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

// A new, uninitialised renderer of the library-wide kind; null when that kind cannot
// be made in this build or on this machine.
std::unique_ptr<video_render> CreateRenderer();

// Replaces the library-wide choice for every renderer created from now on (tests
// install one that records what it is asked to show); an empty factory restores it.
void SetRendererFactory(RendererFactory factory);

}  // namespace qx::render
