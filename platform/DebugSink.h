// The debugger output: lines that never reach the console go to the system log.
#pragma once

namespace tarvos::platform {

// Writes one text to the system log (ident "tarvos", priority debug).
void DebugOutput(const char* text);

}  // namespace tarvos::platform
