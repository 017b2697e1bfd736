#include "platform/HostName.h"

#include "platform/windows/Win32.h"

namespace tarvos::platform {

std::string ShortHostName()
{
    char name[256] = {};
    DWORD size = sizeof(name);
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size)) {
        return {};
    }
    std::string text(name, size);
    return text.substr(0, text.find('.'));
}

}  // namespace tarvos::platform
