#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "streamkit/StreamOptions.h"

namespace qx::kit {

struct PictureSize {
    int width = 0;
    int height = 0;
};

// Displayed picture size (cropping applied) from an SPS NAL unit, header byte(s) included.
// Empty if the unit is not an SPS or is cut short.
std::optional<PictureSize> ParseSpsSize(Codec codec, const uint8_t* nal, size_t size);

// Picture size from the first SPS in an Annex-B access unit.
std::optional<PictureSize> AccessUnitSize(Codec codec, const std::vector<uint8_t>& accessUnit);

}  // namespace qx::kit
