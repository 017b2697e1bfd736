// One worker thread with a start handshake, a running flag and a join.
#pragma once

#include "common/CriticalSection.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace tarvos {

class ThreadBase {
public:
    // How long Start() waits for the new thread to report.
    static constexpr uint32_t kStartTimeoutMs = 10000;

    ThreadBase();
    virtual void Run() = 0;
    virtual ~ThreadBase();
    virtual bool Stop() = 0;

    ThreadBase(const ThreadBase&) = delete;
    ThreadBase& operator=(const ThreadBase&) = delete;

    // Starts the thread and waits up to 10 s for its report; the reported
    // outcome. False at once when a thread of this object is running.
    bool Start() EXCLUDES(threadLock);
    // Called by the thread's own Run() to report its start.
    void SignalStarted(bool ok) EXCLUDES(threadLock);
    // Waits without limit for the thread to end and forgets it.
    void Join() EXCLUDES(threadLock);
    bool HasThread() EXCLUDES(threadLock);
    bool IsRunning() EXCLUDES(threadLock);

protected:
    // Nothing of the server is taken while it is held; a listener's lock is
    // held around it (the listener's own start report, a connection's start).
    CriticalSection threadLock;

private:
    static void ThreadProcedure(void* self);

    bool hasThread GUARDED_BY(threadLock) = false;
    platform::Event startedEvent;
    platform::ThreadHandle threadHandle GUARDED_BY(threadLock);
    bool running GUARDED_BY(threadLock) = false;
};

}  // namespace tarvos
