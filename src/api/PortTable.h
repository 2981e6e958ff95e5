#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "platform/CritSec.h"
#include "session/DDrawSession.h"

// The table of live ports and the frame every port export runs in.
//
// The port-table lock lives as long as the process: Destory only clears the
// "initialised" flag that every export reads under it, so a host thread entering an
// export during Destory sees either a live library or "not initialised", never a
// freed lock. Sessions are held by shared ownership; an export that works on a
// session outside the lock keeps its own reference.
namespace qx::api {

using SessionRef = std::shared_ptr<DDrawSession>;

constexpr int kMaxPorts = 200;

CCritSec& SessionMutex();
// Serialises Init and Destory; taken before SessionMutex.
CCritSec& InitLock();

// The library state, read and written under SessionMutex.
bool IsInitialised();
void SetInitialised(bool initialised);

// Caller holds SessionMutex.
std::map<int32_t, SessionRef>& SessionMap();
SessionRef Find(int32_t port);

// Logs 6502 for a missing session; false then.
bool BorderCheck(int32_t port, const DDrawSession* session, const char* function);

enum class Lookup { kNotInitialised, kUnknown, kFound };

// Finds the port's session under SessionMutex and hands back a reference that stays
// valid after the lock is released.
SessionRef Acquire(int32_t port, const char* function, Lookup* result);

// The export frame: runs work(session) under SessionMutex, or returns the export's
// value for "not initialised" or "unknown port".
template <typename R, typename Work>
R OnPort(int32_t port, const char* function, R notInitialised, R unknown, Work&& work) {
    CAutoLock lock(&SessionMutex());
    if (!IsInitialised())
        return notInitialised;
    SessionRef session = Find(port);
    if (!BorderCheck(port, session.get(), function))
        return unknown;
    return work(*session);
}

}  // namespace qx::api
