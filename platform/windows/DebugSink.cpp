#include "platform/DebugSink.h"

#include "platform/windows/Win32.h"

namespace tarvos::platform {

const char kDebugOutputPlace[] = "the debugger\noutput (OutputDebugString)";

void DebugOutput(const char* text)
{
    // Shown by an attached debugger or a debug-output viewer.
    OutputDebugStringA(text);
}

}  // namespace tarvos::platform
