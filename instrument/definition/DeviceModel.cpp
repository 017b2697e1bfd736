#include "instrument/definition/DeviceModel.h"

#include <algorithm>

namespace tarvos::definition {

size_t Component::PropertyIndex(const std::string& name) const
{
    for (size_t i = 0; i < properties.size(); ++i) {
        if (properties[i].name == name) {
            return i;
        }
    }
    return properties.size();
}

void Component::IndexSetters()
{
    settersByPrefix.clear();
    prefixLengths.clear();
    for (size_t i = 0; i < setters.size(); ++i) {
        const std::string& prefix = setters[i].pattern.Prefix();
        settersByPrefix[prefix].push_back(i);
        if (std::find(prefixLengths.begin(), prefixLengths.end(), prefix.size()) == prefixLengths.end()) {
            prefixLengths.push_back(prefix.size());
        }
    }
}

void Component::SetterCandidates(std::string_view input, std::vector<size_t>& out) const
{
    out.clear();
    for (size_t length : prefixLengths) {
        if (length > input.size()) {
            continue;
        }
        const auto found = settersByPrefix.find(std::string(input.substr(0, length)));
        if (found != settersByPrefix.end()) {
            out.insert(out.end(), found->second.begin(), found->second.end());
        }
    }
    // File order decides which setter takes an input.
    std::sort(out.begin(), out.end());
}

}  // namespace tarvos::definition
