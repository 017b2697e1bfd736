#include "common/Check.h"

#include <cstdio>
#include <cstdlib>

namespace tarvos {

void CheckFailed(const char* file, int line, const std::string& what)
{
    std::fprintf(stderr, "Tarvos: check failed at %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace tarvos
