// Which client file names the server accepts.
#pragma once

#include <string>

namespace tarvos {

// True for a non-empty relative name without a ".." component (with either
// separator), so the file lies in or below the working directory, and without
// a component that names a file an upload is still writing. Links on the way
// are checked when the name is opened.
bool IsConfinedFileName(const std::string& name);

}  // namespace tarvos
