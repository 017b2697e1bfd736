#include "instrument/FileNames.h"

#include "platform/File.h"

namespace tarvos {

bool IsConfinedFileName(const std::string& name)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\') {
        return false;
    }
    // A name with a NUL would be cut short by the file system.
    if (name.find('\0') != std::string::npos) {
        return false;
    }
    const std::string temporary = platform::ReplacementFile::kTemporaryPrefix;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos) {
            end = name.size();
        }
        if (name.compare(start, end - start, "..") == 0) {
            return false;
        }
        if (end - start >= temporary.size() && name.compare(start, temporary.size(), temporary) == 0) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace tarvos
