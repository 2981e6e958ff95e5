#pragma once

#include <thread>

// What the process keeps of its ports' worker threads: how many run, so that
// shut-down can wait for those that still tear down a freed port's session, and the
// threads that ended their own session and could not join themselves.
namespace qx::session {

// Counted by the worker itself, from before it starts to its very last step.
void WorkerStarting();
void WorkerFinished();
// Waits until no worker runs but the calling one (if it is one), then joins the
// adopted threads. Call with no lock held.
void WaitForWorkers();
void AdoptThread(std::thread thread);
void JoinAdoptedThreads();

}  // namespace qx::session
