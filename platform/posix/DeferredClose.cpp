#include "platform/posix/DeferredClose.h"

#include <semaphore.h>
#include <unistd.h>

#include <cstddef>

#include "platform/Mutex.h"
#include "platform/Thread.h"

namespace tarvos::platform {

namespace {

// Descriptors waiting beyond this many are closed by their callers: the
// backlog, and the memory its files still hold, stays small.
constexpr size_t kMaxWaiting = 16;

class Closer {
public:
    // Made on first use and kept, with its thread, as long as the process
    // runs: nothing it waits on is ever destroyed under it, also not at exit.
    static Closer& Instance()
    {
        static Closer* const closer = new Closer;
        return *closer;
    }

    // False when the caller must close fd itself.
    bool Take(int fd) EXCLUDES(lock_)
    {
        MutexLock guard(lock_);
        if (!started_) {
            started_ = thread_.Create(Run, this);
        }
        if (!started_ || count_ >= kMaxWaiting) {
            return false;
        }
        waiting_[count_++] = fd;
        sem_post(&work_);
        return true;
    }

private:
    Closer() { sem_init(&work_, 0, 0); }

    static void Run(void* self) { static_cast<Closer*>(self)->Loop(); }

    void Loop() EXCLUDES(lock_)
    {
        for (;;) {
            if (sem_wait(&work_) != 0) {
                continue;
            }
            int taken[kMaxWaiting];
            size_t n = 0;
            {
                MutexLock guard(lock_);
                for (; n < count_; ++n) {
                    taken[n] = waiting_[n];
                }
                count_ = 0;
            }
            for (size_t i = 0; i < n; ++i) {
                ::close(taken[i]);
            }
        }
    }

    // Innermost: nothing else is taken while it is held.
    Mutex lock_;
    int waiting_[kMaxWaiting] GUARDED_BY(lock_) = {};
    size_t count_ GUARDED_BY(lock_) = 0;
    bool started_ GUARDED_BY(lock_) = false;
    ThreadHandle thread_ GUARDED_BY(lock_);
    // Counts the descriptors handed over.
    sem_t work_;
};

}  // namespace

void CloseInBackground(int fd)
{
    if (fd >= 0 && !Closer::Instance().Take(fd)) {
        ::close(fd);
    }
}

}  // namespace tarvos::platform
