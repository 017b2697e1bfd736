#include "common/EscapeForLog.h"

namespace tarvos {

std::string EscapeForLog(const void* bytes, long length)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    if (length <= 0 || bytes == nullptr) {
        return out;
    }
    const auto* p = static_cast<const uint8_t*>(bytes);
    out.reserve(static_cast<size_t>(length) + 8);
    for (long i = 0; i < length; ++i) {
        const uint8_t b = p[i];
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b <= 0x7E) {
            out += static_cast<char>(b);
        } else if (b == 0x00) {
            out += "\\0";
        } else if (b == 0x0A) {
            out += "\\n";
        } else if (b == 0x0D) {
            out += "\\r";
        } else {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        }
    }
    return out;
}

}  // namespace tarvos
