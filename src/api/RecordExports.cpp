// Recording what a port plays.
#include <string>

#include "api/PortTable.h"
#include "qxplaylib.h"

using namespace qx::api;

extern "C" {

int QxPlay_StartRecord(int32_t port, const char* path) {
    return OnPort(port, "QxPlay_StartRecord", 0, 0, [path](DDrawSession& s) {
        if (path == nullptr || *path == '\0')
            return 0;
        return s.StartRecord(path);
    });
}

int QxPlay_StopRecord(int32_t port) {
    return OnPort(port, "QxPlay_StopRecord", 0, 0, [](DDrawSession& s) { return s.StopRecord(); });
}

uint32_t QxPlay_GetRecordSize(int32_t port) {
    return OnPort(port, "QxPlay_GetRecordSize", 0u, 0u,
                  [](DDrawSession& s) { return s.RecordSize(); });
}

}  // extern "C"
