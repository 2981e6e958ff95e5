// Open mode and stream input.
#include "api/PortTable.h"
#include "log/Log.h"
#include "qxplaylib.h"
#include "session/SessionConstants.h"

using namespace qx::api;

namespace {

constexpr long kInputWaitMs = 1000;

// Bounds the host's 32-bit length to what one chunk may be.
int ChunkLength(uint32_t length) {
    return length > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(length);
}

}  // namespace

extern "C" {

// Streams need no opening: the session takes bytes once it plays.
int QxPlay_OpenStream(int32_t port, uint8_t*, uint32_t, uint32_t) {
    return OnPort(port, "QxPlay_OpenStream", 0, 0, [](DDrawSession&) { return 1; });
}

int QxPlay_CloseStream(int32_t port) {
    return OnPort(port, "QxPlay_CloseStream", 0, 0, [](DDrawSession&) { return 1; });
}

int QxPlay_OpenStreamEx(int32_t port, uint8_t*, uint32_t, uint32_t) {
    return OnPort(port, "QxPlay_OpenStreamEx", 0, 0, [](DDrawSession&) { return 1; });
}

int QxPlay_CloseStreamEx(int32_t port) {
    return OnPort(port, "QxPlay_CloseStreamEx", 0, 0, [](DDrawSession&) { return 1; });
}

int QxPlay_InputAudioData(int32_t port, uint8_t*, uint32_t) {
    return OnPort(port, "QxPlay_InputAudioData", 0, 0, [](DDrawSession&) { return 1; });
}

int QxPlay_SetStreamOpenMode(int32_t port, int mode) {
    return OnPort(port, "QxPlay_SetStreamOpenMode", 0, 0,
                  [mode](DDrawSession& s) { return s.SetOpenMode(mode) ? 1 : 0; });
}

int QxPlay_GetStreamOpenMode(int32_t port) {
    return OnPort(port, "QxPlay_GetStreamOpenMode", 0, -1,
                  [](DDrawSession& s) { return s.OpenMode(); });
}

int QxPlay_GetPlayStatus(int32_t port) {
    return OnPort(port, "QxPlay_GetPlayStatus", qx::kStateStop, qx::kStateStop,
                  [](DDrawSession& s) { return s.PlayState(); });
}

int QxPlay_InputData(int32_t port, uint8_t* data, uint32_t length) {
    SessionRef session;
    int result = 0;
    bool parseHere = false;
    {
        CAutoLock lock(&SessionMutex());
        if (!IsInitialised())
            return 0;
        session = Find(port);
        if (!BorderCheck(port, session.get(), "QxPlay_InputData")) {
            qx::log::DbgviewLog(5, std::string("inputdata fail,session is null"));
            return 0;
        }
        if (data == nullptr || length == 0)
            return 0;
        result = session->InputData(data, ChunkLength(length), &parseHere);
    }
    // A live camera's packet is passed on from the host's thread, out of the table
    // lock, sparing a wake-up of the parser thread for every picture.
    if (parseHere)
        session->ParseHere();
    const int mode = QxPlay_GetStreamOpenMode(port);
    if (result == 0 && !qx::IsLiveMode(mode)) {
        // A file-like stream waits for room, at most a second; the host offers the
        // same bytes again, at once when room appeared, after the wait otherwise.
        session->Input().WaitForRoom(ChunkLength(length), kInputWaitMs,
                                     [&session] { return session->Port().Ending(); });
        return 0;
    }
    return result;
}

int QxPlay_InputVideoData(int32_t port, uint8_t* data, uint32_t length) {
    return OnPort(port, "QxPlay_InputVideoData", 0, 0,
                  [&](DDrawSession& s) { return s.InputData(data, ChunkLength(length)); });
}

}  // extern "C"
