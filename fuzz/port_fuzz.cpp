// Arbitrary bytes into a whole port through the exports, in every open mode, with the
// session's own threads running: a live or paced stream fed in chunks the input
// chooses, or (mode 2) a recorded file that holds the bytes. The port plays into a
// renderer that only reads its planes, and its sound into a sink that takes all at once.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "FuzzSession.h"
#include "qxplaylib.h"

namespace {

// Until the port has taken what it was given, or for at most ms.
void Settle(int32_t port, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (QxPlay_GetSourceBufferRemain(port) > 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool initialised = [] {
        qx::fuzz::InstallFuzzFactories();
        return QxPlay_Init() != 0;
    }();
    if (!initialised || size < 3)
        return 0;
    const int mode = data[0] % 4;
    const size_t chunk = 1 + data[1] * 11u;
    const uint8_t controls = data[2];
    data += 3;
    size -= 3;

    int32_t port = -1;
    if (!QxPlay_GetPort(&port))
        return 0;
    QxPlay_SetStreamOpenMode(port, mode == 2 ? 1 : mode);
    std::unique_ptr<qx::fuzz::MemoryFile> file;
    bool playing;
    if (mode == 2) {
        file = std::make_unique<qx::fuzz::MemoryFile>(data, size);
        playing = file->ok() && QxPlay_OpenFile(port, file->path().c_str()) && QxPlay_Play(port, 1);
    } else {
        QxPlay_OpenStream(port, nullptr, 0, 0);
        playing = QxPlay_Play(port, 1) != 0;
    }
    if (playing) {
        if (controls & 1)
            QxPlay_PlaySound(port);
        for (int i = 0; i < (controls >> 1 & 3); ++i)
            QxPlay_Fast(port);
        if (mode != 2) {
            std::vector<uint8_t> piece;
            for (size_t offset = 0; offset < size; offset += chunk) {
                const size_t n = size - offset < chunk ? size - offset : chunk;
                // An exactly sized copy, so that a read past the chunk is seen.
                piece.assign(data + offset, data + offset + n);
                QxPlay_InputData(port, piece.data(), static_cast<uint32_t>(n));
                if (controls & 8)
                    Settle(port, 2);
            }
        }
        if (controls & 16)
            QxPlay_Pause(port, 1);
        if (controls & 32)
            QxPlay_SetPlayPos(port, 0.5f);
        Settle(port, 40);
        int width = 0;
        int height = 0;
        QxPlay_GetPictureSize(port, &width, &height);
        QxPlay_GetPlayedFrames(port);
        QxPlay_GetPlayPos(port);
        QxPlay_Stop(port);
    }
    if (mode == 2)
        QxPlay_CloseFile(port);
    QxPlay_FreePort(port);
    return 0;
}
