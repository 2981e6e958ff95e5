// Feeds arbitrary bytes to the live input stage in chunks the input chooses, and to
// the key-packet test, as a camera on the network could.
#include <cstddef>
#include <cstdint>

#include "session/DDrawSession.h"
#include "stream/KeyPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qx::IsKeyPacket(data, static_cast<int64_t>(size));
    if (size < 2)
        return 0;
    DDrawSession session;
    session.SetPlayState(qx::kStateNormal);
    session.SetCacheTime(data[0] % 2 == 0 ? 0 : 500);
    const size_t chunk = 1 + data[1] * 7u;
    for (size_t offset = 2; offset < size; offset += chunk) {
        const size_t n = size - offset < chunk ? size - offset : chunk;
        qx::IsKeyPacket(data + offset, static_cast<int64_t>(n));
        session.InputData(data + offset, static_cast<int>(n));
    }
    return 0;
}
