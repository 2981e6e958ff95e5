#pragma once

#include <cstdint>
#include <vector>

#include "streamkit/Picture.h"
#include "streamkit/StreamOptions.h"

namespace qx::kit {

// libavcodec's own H.264 / H.265 decoder, the yardstick for what a correct player shows.
class ReferenceDecoder {
  public:
    // Decodes an Annex-B elementary stream (libavcodec's parser finds the access units) and
    // returns every picture in output order, cropped to the display size.
    static std::vector<Picture> DecodeElementaryStream(Codec codec,
                                                       const std::vector<uint8_t>& stream);
};

}  // namespace qx::kit
