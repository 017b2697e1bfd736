// The debugger output: lines meant for whoever watches the process from the
// outside, never shown on the console.
#pragma once

namespace tarvos::platform {

// Where those lines go, as the usage text names it (may hold a line break).
extern const char kDebugOutputPlace[];

// Writes one text to the debugger output of the system (on POSIX systems, the
// system log with ident "tarvos" and priority debug).
void DebugOutput(const char* text);

}  // namespace tarvos::platform
