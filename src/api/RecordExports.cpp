// Recording what a port plays.
#include <string>

#include "api/PortTable.h"
#include "qxplaylib.h"

using namespace qx::api;

extern "C" {

// Start and stop work outside the table lock: both may wait for the record thread,
// which may be in the host's exception callback, calling an export.
int QxPlay_StartRecord(int32_t port, const char* path) {
    Lookup lookup;
    const SessionRef session = Acquire(port, "QxPlay_StartRecord", &lookup);
    if (!session || path == nullptr || *path == '\0')
        return 0;
    return session->StartRecord(path);
}

int QxPlay_StopRecord(int32_t port) {
    Lookup lookup;
    const SessionRef session = Acquire(port, "QxPlay_StopRecord", &lookup);
    return session ? session->StopRecord() : 0;
}

uint32_t QxPlay_GetRecordSize(int32_t port) {
    return OnPort(port, "QxPlay_GetRecordSize", 0u, 0u,
                  [](DDrawSession& s) { return s.Record().RecordSize(); });
}

}  // extern "C"
