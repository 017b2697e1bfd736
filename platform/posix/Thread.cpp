#include "platform/Thread.h"

#include <pthread.h>

#include <new>

namespace tarvos::platform {

namespace {

struct StartRecord {
    ThreadHandle::Procedure procedure;
    void* argument;
};

void* Trampoline(void* raw)
{
    StartRecord record = *static_cast<StartRecord*>(raw);
    delete static_cast<StartRecord*>(raw);
    record.procedure(record.argument);
    return nullptr;
}

}  // namespace

bool ThreadHandle::Create(Procedure procedure, void* argument)
{
    auto* record = new (std::nothrow) StartRecord {procedure, argument};
    if (record == nullptr) {
        return false;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    // Workers need little stack; a small one keeps a thousand sessions cheap.
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attributes, Trampoline, record);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        delete record;
        return false;
    }
    static_assert(sizeof(pthread_t) <= sizeof(native_), "a thread's name fits the handle");
    native_ = static_cast<std::uintptr_t>(thread);
    valid_ = true;
    return true;
}

void ThreadHandle::Join()
{
    if (!valid_) {
        return;
    }
    pthread_join(static_cast<pthread_t>(native_), nullptr);
    valid_ = false;
}

}  // namespace tarvos::platform
