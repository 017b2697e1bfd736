#include "hislip/ProtocolErrors.h"

namespace tarvos {

namespace {

constexpr uint8_t kStandardCodes = 5;

const char* const kFatalTexts[kStandardCodes] = {
    "Unidentified error",
    "Poorly formed message header",
    "Attempt to use connection without both channels established",
    "Invalid Initialization sequence",
    "Server refused connection due to maximum number of clients exceeded",
};

const char* const kErrorTexts[kStandardCodes] = {
    "Unidentified error",
    "Unrecognized Message Type",
    "Unrecognized control code",
    "Unrecognized Vendor Defined Message",
    "Message too large",
};

constexpr uint8_t kFirstDeviceDefined = 128;

}  // namespace

const char* ProtocolErrorText(bool fatal, uint8_t code)
{
    const char* const* texts = fatal ? kFatalTexts : kErrorTexts;
    if (code < kStandardCodes) {
        return texts[code];
    }
    return code >= kFirstDeviceDefined ? "Device defined error" : "Reserved error code";
}

}  // namespace tarvos
