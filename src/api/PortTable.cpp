#include "api/PortTable.h"

#include <string>

#include "log/Log.h"

namespace qx::api {
namespace {

// Never destroyed: exports may still be entered while the process exits.
struct Globals {
    CCritSec sessionMutex;
    CCritSec initLock;
    bool initialised = false;                // guarded by sessionMutex
    std::map<int32_t, SessionRef> sessions;  // guarded by sessionMutex
};

Globals& G() {
    static Globals* globals = new Globals;
    return *globals;
}

}  // namespace

CCritSec& SessionMutex() {
    return G().sessionMutex;
}
CCritSec& InitLock() {
    return G().initLock;
}

bool IsInitialised() {
    return G().initialised;
}
void SetInitialised(bool initialised) {
    G().initialised = initialised;
}

std::map<int32_t, SessionRef>& SessionMap() {
    return G().sessions;
}

SessionRef Find(int32_t port) {
    auto& sessions = G().sessions;
    auto it = sessions.find(port);
    return it == sessions.end() ? nullptr : it->second;
}

bool BorderCheck(int32_t port, const DDrawSession* session, const char* function) {
    if (session != nullptr)
        return true;
    qx::log::DbgviewLog(5, "6502,Qxplay_Session_BorderCheck,Session is NULL,sid=" +
                               std::to_string(port) + ",fun=" + function);
    return false;
}

SessionRef Acquire(int32_t port, const char* function, Lookup* result) {
    CAutoLock lock(&SessionMutex());
    if (!IsInitialised()) {
        *result = Lookup::kNotInitialised;
        return nullptr;
    }
    SessionRef session = Find(port);
    if (!BorderCheck(port, session.get(), function)) {
        *result = Lookup::kUnknown;
        return nullptr;
    }
    *result = Lookup::kFound;
    return session;
}

}  // namespace qx::api
