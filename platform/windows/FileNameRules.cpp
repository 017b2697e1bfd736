#include "platform/windows/FileNameRules.h"

#include <array>
#include <utility>

namespace tarvos::platform::windows {

namespace {

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(const std::string& text, const char* word)
{
    size_t i = 0;
    for (; word[i] != '\0'; ++i) {
        if (i >= text.size() || Upper(text[i]) != word[i]) {
            return false;
        }
    }
    return i == text.size();
}

// The system takes these for devices in every folder, whatever follows the
// first dot, and ignores spaces before that dot.
bool IsReservedDeviceName(const std::string& component)
{
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (EqualsIgnoringCase(base, device)) {
            return true;
        }
    }
    if (base.size() < 4) {
        return false;
    }
    const std::string prefix = base.substr(0, 3);
    if (!EqualsIgnoringCase(prefix, "COM") && !EqualsIgnoringCase(prefix, "LPT")) {
        return false;
    }
    const std::string number = base.substr(3);
    if (number.size() == 1 && number[0] >= '0' && number[0] <= '9') {
        return true;
    }
    // The superscript digits one, two and three, in UTF-8.
    static const std::array<std::string, 3> kSuperscripts = {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
    for (const std::string& superscript : kSuperscripts) {
        if (number == superscript) {
            return true;
        }
    }
    return false;
}

// Every piece between separators, empty ones included.
std::vector<std::string> Split(const std::string& name)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos) {
            end = name.size();
        }
        pieces.push_back(name.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

}  // namespace

bool IsPlainRelativeName(const std::string& name)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\' || name.find(':') != std::string::npos) {
        return false;
    }
    for (const std::string& component : Split(name)) {
        if (component == "..") {
            return false;
        }
        if (!component.empty() && component != "." &&
            (component.back() == '.' || component.back() == ' ' || IsReservedDeviceName(component))) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> NameComponents(const std::string& name)
{
    std::vector<std::string> components;
    for (std::string& piece : Split(name)) {
        if (!piece.empty() && piece != ".") {
            components.push_back(std::move(piece));
        }
    }
    return components;
}

}  // namespace tarvos::platform::windows
