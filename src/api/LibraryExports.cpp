// Library start-up and shut-down, ports, version.
#include <atomic>
#include <mutex>
#include <exception>
#include <string>
#include <vector>

#include "api/PortTable.h"
#include "log/Log.h"
#include "render/D3DRender.h"
#include "render/DisplayDevices.h"
#include "render/RendererChoice.h"
#include "session/SessionRegistry.h"
#include "session/SessionWorkers.h"
#include "qxplaylib.h"

using namespace qx::api;

namespace {

constexpr int kSdkVersion = 1852;
constexpr char kBuildStamp[] = "2012-03-19 10:00:00";

// guarded by InitLock()
bool gQxplayExInitFlag = false;
std::unique_ptr<AudioCirQueue> gAudioCirQueue;

// guarded by SessionMutex()
int32_t g_lPort = 0;
std::atomic<int32_t> g_PortCount{0};

std::string Sid(int32_t port) {
    return ",sid=" + std::to_string(port);
}

// Start-up and shut-down wait for each other, except on a port's worker: shut-down
// may be waiting for that very worker, so there the call gives up instead.
bool LockForStartOrShutDown(std::unique_lock<CCritSec>& lock) {
    if (!SessionWorkers::OnAnyWorkerThread()) {
        lock.lock();
        return true;
    }
    return lock.try_lock();
}

}  // namespace

extern "C" {

int QxPlay_Init(void) {
    qx::log::DbgviewLog(115, "QxPlay_Init ipc");
    std::unique_lock<CCritSec> initLock(InitLock(), std::defer_lock);
    if (!LockForStartOrShutDown(initLock))
        return 0;
    if (gQxplayExInitFlag)
        return 1;
    qx::log::DbgviewLog(3, std::string("6301,QxPlayEx Version,version[") +
                               std::to_string(kSdkVersion) + "][" + kBuildStamp + "]");
    qx::EnumerateDisplayDevices();
    qx::log::DbgviewLog(3, std::string("6303,QxPlay_Init DDEnumCallbackEx Init Success"));
    {
        // The locks themselves live as long as the process; an Init after a failed
        // one therefore never replaces a lock that live ports use.
        CAutoLock lock(&SessionMutex());
        SetInitialised(true);
    }
    qx::log::DbgviewLog(3, std::string("6304,QxPlay_Init gSessionMutex Create Success"));
    qx::log::DbgviewLog(3, std::string("6305,QxPlay_Init gDDrawSessionMutex Create Success"));
    qx::log::DbgviewLog(3, std::string("6306,QxPlay_Init g_decmutex Create Success"));
    if (!gAudioCirQueue) {
        gAudioCirQueue = std::make_unique<AudioCirQueue>();
        gAudioCirQueue->Initialise(12);
    }
    qx::log::DbgviewLog(3, std::string("6307,QxPlay_Init gAudioCirQueue Create And Init Success"));
    qx::log::DbgviewLog(3, std::string("6302,QxPlay_Init Call Success"));
    gQxplayExInitFlag = D3DRender::InitD3DSDK();
    qx::render::SetUseGpuRenderer(qx::render::ChooseGpuRenderer(&ProbeD3D));
    return gQxplayExInitFlag ? 1 : 0;
}

void QxPlay_Destory(void) {
    std::unique_lock<CCritSec> initLock(InitLock(), std::defer_lock);
    if (!LockForStartOrShutDown(initLock) || !gQxplayExInitFlag)
        return;
    qx::log::DbgviewLog(115, "QxPlay_Destory ipc");
    qx::log::DbgviewLog(3, std::string("6311,QxPlay_Destory Call begin"));

    std::map<int32_t, SessionRef> sessions;
    {
        CAutoLock lock(&SessionMutex());
        std::string ports;
        for (const auto& entry : SessionMap())
            ports += std::to_string(entry.first) + ",";
        qx::log::DbgviewLog(3, "6320,QxPlay_Destory session info,sid=" + ports);
        sessions.swap(SessionMap());
        // From here on every export answers "not initialised".
        SetInitialised(false);
    }
    // Stopped outside the table lock: a host callback running on a worker may call
    // an export, which must not wait for us while we wait for that worker.
    for (auto& entry : sessions) {
        qx::log::DbgviewLog(3, "6320,QxPlay_Destory session info" + Sid(entry.first));
        if (entry.second) {
            entry.second->Retire();
            entry.second->Stop();
        }
        entry.second.reset();
        --g_PortCount;
    }
    // Sessions whose last worker tears them down are gone before the process may end.
    qx::session::WaitForWorkers();
    if (gAudioCirQueue) {
        gAudioCirQueue.reset();
        qx::log::DbgviewLog(3, std::string("6313,QxPlay_Destory gAudioCirQueue deleted"));
        qx::log::DbgviewLog(5, std::string("delete gAudioCirQueue;"));
    }
    qx::log::DbgviewLog(3, std::string("6315,QxPlay_Destory gDDrawSessionMutex deleted"));
    qx::log::DbgviewLog(5, std::string("delete gDDrawSessionMutex;"));
    qx::log::DbgviewLog(3, std::string("6316,QxPlay_Destory g_decmutex deleted"));
    qx::log::DbgviewLog(5, std::string("delete g_decmutex;"));
    qx::log::DbgviewLog(3, std::string("6319,QxPlay_Destory gSessionMutex deleted"));
    qx::log::DbgviewLog(5, std::string("delete gSessionMutex;"));
    // Enumerated again by the next start-up.
    qx::ReleaseDisplayDevices();
    qx::log::DbgviewLog(3, std::string("6312,QxPlay_Destory Call end"));
    gQxplayExInitFlag = false;
    qx::log::DbgviewLog(5, std::string("gQxplayExInitFlag is false"));
}

int QxPlay_GetPort(int32_t* port) {
    if (port == nullptr)
        return 0;
    CAutoLock lock(&SessionMutex());
    if (!IsInitialised())
        return 0;
    auto& sessions = SessionMap();
    for (int probe = 1;; ++probe) {
        if (probe > kMaxPorts) {
            qx::log::DbgviewLog(5, std::string("6509,QxPlay_GetPort g_lPort overflow"));
            return 0;
        }
        if (g_lPort >= kMaxPorts || g_lPort < 0)
            g_lPort = 0;
        if (sessions.count(g_lPort) == 0)
            break;
        ++g_lPort;
    }
    SessionRef session;
    try {
        session = std::make_shared<DDrawSession>();
    } catch (const std::exception&) {
        qx::log::DbgviewLog(5, std::string("6501,QxPlay_GetPort Error,new DDrawSession failed"));
        return 0;
    }
    sessions[g_lPort] = session;
    *port = g_lPort;
    qx::log::DbgviewLog(5, "PORTGet g_PortCount=" + std::to_string(++g_PortCount));
    session->SetSessionID(g_lPort);
    qx::log::DbgviewLog(3, "6321,QxPlay_GetPort success" + Sid(g_lPort));
    ++g_lPort;
    return 1;
}

int QxPlay_FreePort(int32_t port) {
    SessionRef session;
    {
        CAutoLock lock(&SessionMutex());
        if (!IsInitialised())
            return 0;
        session = Find(port);
        if (!BorderCheck(port, session.get(), "QxPlay_FreePort"))
            return 0;
        SessionMap().erase(port);
    }
    try {
        session->Retire();
        if (session->PlayState() != qx::kStateStop || session->HasWorkers())
            session->Stop();
        session.reset();
        qx::log::DbgviewLog(5, "PORTRelease g_PortCount=" + std::to_string(--g_PortCount));
        qx::log::DbgviewLog(3, "6322,QxPlay_FreePort 1.DDrawSession have been deleted" + Sid(port));
        qx::log::DbgviewLog(3, "6323,QxPlay_FreePort 2.Session have been erase" + Sid(port));
        // Workers that ended their own sessions earlier are joined by the host.
        if (!SessionWorkers::OnAnyWorkerThread())
            qx::session::JoinAdoptedThreads();
    } catch (...) {
        qx::log::DbgviewLog(5, "6504,QxPlay_FreePort Catch Unknown Error" + Sid(port));
    }
    return 1;
}

int QxPlay_GetLastError(int32_t port) {
    return OnPort(port, "QxPlay_GetLastError", -1, -1, [](DDrawSession&) { return 0; });
}

int QxPlay_GetSdkVersion(void) {
    return kSdkVersion;
}

void QxPlay_ReleaseDDrawDevice(void) {}

}  // extern "C"
