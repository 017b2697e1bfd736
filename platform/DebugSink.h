// The debugger output: lines that never reach the console go to the system log
// (on Windows, to the debugger).
#pragma once

namespace tarvos::platform {

// Where those lines go, as the usage text names it (may hold a line break).
extern const char kDebugOutputPlace[];

// Writes one text to the system log (ident "tarvos", priority debug).
void DebugOutput(const char* text);

}  // namespace tarvos::platform
