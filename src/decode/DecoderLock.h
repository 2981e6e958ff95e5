#pragma once

#include "platform/CritSec.h"

namespace qx {

// Serialises the creation and destruction of H.264 decoders across all ports, as
// the decoder library requires.
CCritSec& DecoderMutex();

}  // namespace qx
