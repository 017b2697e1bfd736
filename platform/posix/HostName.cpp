#include "platform/HostName.h"

#include <climits>
#include <unistd.h>

namespace tarvos::platform {

std::string ShortHostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) {
        return {};
    }
    std::string text(name);
    return text.substr(0, text.find('.'));
}

}  // namespace tarvos::platform
