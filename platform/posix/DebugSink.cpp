#include "platform/DebugSink.h"

#include <mutex>
#include <syslog.h>

namespace tarvos::platform {

const char kDebugOutputPlace[] = "the system log\n(ident \"tarvos\")";

void DebugOutput(const char* text)
{
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("tarvos", LOG_PID | LOG_NDELAY, LOG_USER); });
    syslog(LOG_DEBUG, "%s", text);
}

}  // namespace tarvos::platform
