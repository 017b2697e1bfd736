// Files the server reads at start, named by its operator (anywhere, absolute
// or relative to the working directory): a definition file, say.
#pragma once

#include <string>

namespace tarvos::platform {

// Reads the whole file into text; false with the system's reason (e.g. "No
// such file or directory") when it can't be opened or read, or is a folder.
bool ReadSettingsFile(const std::string& name, std::string& text, std::string& why);

}  // namespace tarvos::platform
