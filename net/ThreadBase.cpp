#include "net/ThreadBase.h"

#include <exception>

#include "platform/DebugSink.h"

namespace tarvos {

ThreadBase::ThreadBase() = default;

ThreadBase::~ThreadBase()
{
    Join();
}

bool ThreadBase::Start()
{
    {
        ScopedLock guard(threadLock);
        if (running) {
            return false;
        }
    }
    Join();
    {
        ScopedLock guard(threadLock);
        startedEvent.Reset();
        platform::ThreadHandle thread;
        if (!thread.Create(&ThreadBase::ThreadProcedure, this)) {
            return false;
        }
        threadHandle = thread;
        hasThread = true;
    }
    startedEvent.Wait(kStartTimeoutMs);
    ScopedLock guard(threadLock);
    return running;
}

void ThreadBase::SignalStarted(bool ok)
{
    ScopedLock guard(threadLock);
    if (hasThread) {
        running = ok;
        startedEvent.Set();
    }
}

void ThreadBase::Join()
{
    platform::ThreadHandle thread;
    {
        ScopedLock guard(threadLock);
        if (!hasThread) {
            return;
        }
        thread = threadHandle;
    }
    thread.Join();
    ScopedLock guard(threadLock);
    threadHandle = platform::ThreadHandle();
    hasThread = false;
}

bool ThreadBase::HasThread()
{
    ScopedLock guard(threadLock);
    return hasThread;
}

bool ThreadBase::IsRunning()
{
    ScopedLock guard(threadLock);
    return running;
}

void ThreadBase::ThreadProcedure(void* raw)
{
    auto* self = static_cast<ThreadBase*>(raw);
    try {
        self->Run();
    } catch (...) {
        platform::DebugOutput("!!!! Pellucid: Thread has terminated with exception !!!!\n");
    }
    ScopedLock guard(self->threadLock);
    self->running = false;
}

}  // namespace tarvos
