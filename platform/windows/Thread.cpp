#include "platform/Thread.h"

#include "platform/windows/Win32.h"

#include <objbase.h>
#include <process.h>

#include <new>

namespace tarvos::platform {

namespace {

// Workers need little stack; a small reservation keeps a thousand sessions cheap.
constexpr unsigned kStackReservation = 256 * 1024;

struct StartRecord {
    ThreadHandle::Procedure procedure;
    void* argument;
};

unsigned __stdcall Trampoline(void* raw)
{
    StartRecord record = *static_cast<StartRecord*>(raw);
    delete static_cast<StartRecord*>(raw);
    // Every thread body runs inside COM of its own, so that whatever it calls
    // may use COM; the server itself does not.
    const HRESULT com = CoInitialize(nullptr);
    record.procedure(record.argument);
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return 0;
}

HANDLE Native(std::uintptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

bool ThreadHandle::Create(Procedure procedure, void* argument)
{
    auto* record = new (std::nothrow) StartRecord {procedure, argument};
    if (record == nullptr) {
        return false;
    }
    // The C runtime's own thread start, so that its per-thread state is set up.
    const uintptr_t thread =
        _beginthreadex(nullptr, kStackReservation, Trampoline, record, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == 0) {
        delete record;
        return false;
    }
    native_ = thread;
    valid_ = true;
    return true;
}

void ThreadHandle::Join()
{
    if (!valid_) {
        return;
    }
    WaitForSingleObject(Native(native_), INFINITE);
    CloseHandle(Native(native_));
    valid_ = false;
}

}  // namespace tarvos::platform
