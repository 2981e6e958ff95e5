// A hostile camera's bytes through the whole single-port pipeline, run step by step on
// one thread: the parser, the play loop with real decoders, and the live render step,
// with a renderer that only looks at the planes it is handed. Sound is on, pulled by
// the player's own thread from a sink that plays everything at once.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qx::fuzz::InstallFuzzFactories();
    if (size < 2)
        return 0;
    // Live (length rule) or fastest playback (marker rule): neither paces by sleeping.
    const int mode = data[0] % 2 == 0 ? 0 : 3;
    auto session = std::make_shared<DDrawSession>();
    session->SetSessionID(0);
    session->SetOpenMode(mode);
    session->Input().SetCacheTime(0);
    session->SetWindow(1);
    session->SetPlayState(qx::kStateNormal);
    session->Audio().PlaySound();
    qx::fuzz::ParseDriver parser(*session, mode == 0);
    const size_t chunk = 1 + data[1] * 13u;
    for (size_t offset = 2; offset < size; offset += chunk) {
        const size_t n = size - offset < chunk ? size - offset : chunk;
        session->InputData(data + offset, static_cast<int>(n));
        parser.Run(offset + n == size);
        qx::fuzz::DrainFrames(*session);
    }
    return 0;
}
