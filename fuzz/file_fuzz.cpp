// Arbitrary bytes as a recorded file: the packet-file reader and a session's scan of a
// file's start time, duration and frame count. The file lives in memory.
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "FuzzSession.h"
#include "api/RecH264Data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qx::fuzz::MemoryFile file(data, size);
    if (!file.ok())
        return 0;
    std::list<H264_VAO> packets = RecH264Data::ReadPESFile(file.path());
    for (H264_VAO& packet : packets) {
        if (packet.param.nal_len > 0 && packet.data != nullptr) {
            // Every payload must hold the length its header claims.
            volatile unsigned char last = packet.data[packet.param.nal_len - 1];
            (void)last;
        }
        delete[] packet.data;
    }

    auto session = std::make_shared<DDrawSession>();
    session->File().SetFileName(file.path());
    if (session->File().LoadFileInfo() &&
        (session->File().FileSeconds() <= 0 || session->File().FileFrameCount() < 0))
        __builtin_trap();
    return 0;
}
