// Arbitrary bytes through the input stage and the packet extraction of a stream port,
// in chunks the input chooses, as a camera on the network could send them: the
// length rule of live mode and the marker rule of paced streams. The key-packet tests
// see every chunk and every extracted payload.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzSession.h"
#include "stream/KeyPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qx::fuzz::InstallFuzzFactories();
    qx::IsKeyPacket(data, static_cast<int64_t>(size));
    if (size < 2)
        return 0;
    const int mode = data[0] % 2;
    for (int knd = 0; knd < 4; ++knd)
        qx::IsKeyPayload(data + 2, static_cast<int64_t>(size - 2), knd);
    auto session = std::make_shared<DDrawSession>();
    session->SetOpenMode(mode);
    // A live cache would pace the render step by sleeping.
    session->Input().SetCacheTime(0);
    session->SetWindow(1);
    session->SetPlayState(qx::kStateNormal);
    qx::fuzz::ParseDriver parser(*session, mode == 0);
    const size_t chunk = 1 + data[1] * 7u;
    for (size_t offset = 2; offset < size; offset += chunk) {
        const size_t n = size - offset < chunk ? size - offset : chunk;
        qx::IsKeyPacket(data + offset, static_cast<int64_t>(n));
        session->InputData(data + offset, static_cast<int>(n));
        // A stopped paced stream still cuts packets but queues none, which keeps one
        // thread from waiting on a play loop that is not there.
        if (mode != 0)
            session->SetPlayState(qx::kStateStop);
        parser.Run(offset + n == size);
        session->SetPlayState(qx::kStateNormal);
    }
    return 0;
}
