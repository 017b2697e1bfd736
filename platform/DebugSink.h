// The debugger output: lines meant for whoever watches the process from the
// outside, never shown on the console.
#pragma once

namespace tarvos::platform {

// Writes one text to the debugger output of the system (on POSIX systems, the
// system log with ident "tarvos" and priority debug).
void DebugOutput(const char* text);

}  // namespace tarvos::platform
