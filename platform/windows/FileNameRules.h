// Which names the Windows backend opens for clients: plain relative names
// only. Drive letters, rooted, UNC and device paths, alternate data streams
// and the reserved device names all lead somewhere other than a file beneath
// the working directory, and a name with trailing dots or spaces would be
// stored under another name than the client gave.
#pragma once

#include <string>
#include <vector>

namespace tarvos::platform::windows {

// True for a relative name whose every component is an ordinary file name:
// no leading separator (rooted, UNC and device paths), no ':' (drives and
// streams), no ".." component, no component with trailing dots or spaces, and
// no reserved device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0 to COM9,
// LPT0 to LPT9, also with an extension or a superscript digit).
bool IsPlainRelativeName(const std::string& name);

// The components of a name separated by '/' or '\', without empty and "."
// components.
std::vector<std::string> NameComponents(const std::string& name);

}  // namespace tarvos::platform::windows
