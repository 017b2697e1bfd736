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
    bool Start();
    // Called by the thread's own Run() to report its start.
    void SignalStarted(bool ok);
    // Waits without limit for the thread to end and forgets it.
    void Join();
    bool HasThread();
    bool IsRunning();

private:
    static void ThreadProcedure(void* self);

    CriticalSection threadLock;
    bool hasThread GUARDED_BY(threadLock) = false;
    platform::Event startedEvent;
    platform::ThreadHandle threadHandle GUARDED_BY(threadLock);
    bool running GUARDED_BY(threadLock) = false;
};

}  // namespace tarvos
