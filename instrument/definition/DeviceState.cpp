#include "instrument/definition/DeviceState.h"

#include <algorithm>
#include <cmath>

#include "instrument/definition/PyFormat.h"

namespace tarvos::definition {

bool IsValidUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07u;
        } else {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            if (i + k >= text.size()) {
                return false;
            }
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0u) != 0x80u) {
                return false;
            }
            cp = (cp << 6) | (d & 0x3Fu);
        }
        // Overlong forms, surrogates and values past U+10FFFF are refused.
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

PyValue ParsedValue(const Pattern::Fields& fields)
{
    if (fields.size() == 1 && fields[0].first == "0") {
        return fields[0].second;
    }
    // Numbered fields 0..n-1 make a list, in the order of their numbers.
    bool numbered = !fields.empty();
    std::vector<const PyValue*> ordered(fields.size(), nullptr);
    for (const auto& [name, value] : fields) {
        int64_t n = -1;
        if (!PyIntFromText(name, 10, n) || n < 0 || static_cast<size_t>(n) >= fields.size() ||
            ordered[static_cast<size_t>(n)] != nullptr) {
            numbered = false;
            break;
        }
        ordered[static_cast<size_t>(n)] = &value;
    }
    std::string shown;
    if (numbered) {
        shown = "[";
        for (size_t i = 0; i < ordered.size(); ++i) {
            shown += (i == 0 ? "" : ", ") + PyRepr(*ordered[i]);
        }
        return PyValue::Other(shown + "]");
    }
    shown = "{";
    for (size_t i = 0; i < fields.size(); ++i) {
        shown += (i == 0 ? "" : ", ") + PyRepr(PyValue::Str(fields[i].first)) + ": " + PyRepr(fields[i].second);
    }
    return PyValue::Other(shown + "}");
}

DeviceState::DeviceState(const DeviceDef& definition, uint64_t seed) : def_(definition), random_(seed)
{
    Reset();
}

void DeviceState::Reset()
{
    values_.clear();
    for (const Property& p : def_.properties) {
        values_.push_back(p.initial);
    }
    groups_.assign(def_.channels.size(), GroupState());
    for (size_t g = 0; g < def_.channels.size(); ++g) {
        groups_[g].values.resize(def_.channels[g].properties.size());
    }
    registers_.assign(def_.registers.size(), 0);
    queues_.assign(def_.queues.size(), {});
}

std::vector<std::string_view> DeviceState::Units(std::string_view message) const
{
    const std::string& eom = def_.queryEom;
    if (!eom.empty() && message.size() >= eom.size() && message.substr(message.size() - eom.size()) == eom) {
        message.remove_suffix(eom.size());
    }
    std::vector<std::string_view> units;
    const std::string& delimiter = def_.delimiter;
    if (delimiter.empty()) {
        units.push_back(message);
        return units;
    }
    size_t start = 0;
    for (;;) {
        const size_t at = message.find(delimiter, start);
        if (at == std::string_view::npos) {
            units.push_back(message.substr(start));
            return units;
        }
        units.push_back(message.substr(start, at - start));
        start = at + delimiter.size();
    }
}

void DeviceState::ExecuteUnit(std::string_view unit, std::string& out)
{
    Outcome outcome = Match(unit);
    // What matches nothing, and what the reference would fail on, is answered
    // as an unknown command.
    if (outcome.kind == Kind::NoMatch || outcome.kind == Kind::Fails) {
        outcome = Error();
    }
    if (outcome.kind == Kind::Text) {
        out += outcome.text;
        out += def_.responseEom;
    }
}

std::string DeviceState::Execute(std::string_view message)
{
    std::string out;
    for (std::string_view unit : Units(message)) {
        ExecuteUnit(unit, out);
    }
    return out;
}

DeviceState::Outcome DeviceState::Error()
{
    const auto reg = def_.registerOfError.find("command_error");
    if (reg != def_.registerOfError.end()) {
        for (const auto& [key, bits] : def_.registers[reg->second].bits) {
            if (key == "command_error") {
                registers_[reg->second] |= bits;
            }
        }
    }
    for (size_t q = 0; q < def_.queues.size(); ++q) {
        const auto entry = def_.queues[q].entries.find("command_error");
        if (entry != def_.queues[q].entries.end()) {
            queues_[q].push_back(entry->second);
        }
    }
    if (!def_.commandError) {
        return {Kind::Silent, {}};
    }
    return {Kind::Text, *def_.commandError};
}

DeviceState::Outcome DeviceState::RandomAnswer(const RandomDirective& directive)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::string out;
    for (uint32_t i = 0; i < directive.count; ++i) {
        const double value = directive.low + (directive.high - directive.low) * unit(random_);
        std::string one;
        if (!FormatTemplate(directive.rest, {PyValue::Float(value)}, {}, one)) {
            return {Kind::Fails, {}};
        }
        out += (i == 0 ? "" : ", ") + one;
    }
    return {Kind::Text, out};
}

DeviceState::Outcome DeviceState::MatchDialogue(const std::unordered_map<std::string, Dialogue>& dialogues,
                                                std::string_view query)
{
    const auto found = dialogues.find(std::string(query));
    if (found == dialogues.end()) {
        return {};
    }
    const Dialogue& d = found->second;
    if (!d.response) {
        return {Kind::Silent, {}};
    }
    if (d.random) {
        return RandomAnswer(*d.random);
    }
    return {Kind::Text, *d.response};
}

const PyValue& DeviceState::GroupValue(const GroupState& group, size_t property, const Property& definition) const
{
    const auto& values = group.values[property];
    const auto found = values.find(group.hasSelected ? ChannelKey(group.selected) : std::string("\xff"));
    return found == values.end() ? definition.initial : found->second;
}

DeviceState::Outcome DeviceState::MatchGetter(const std::unordered_map<std::string, Getter>& getters,
                                              std::string_view query, const Component& owner, GroupState* group)
{
    const auto found = getters.find(std::string(query));
    if (found == getters.end()) {
        return {};
    }
    const Getter& g = found->second;
    if (!g.response) {
        return {Kind::Fails, {}};
    }
    if (g.random) {
        return RandomAnswer(*g.random);
    }
    const Property& p = owner.properties[g.property];
    const PyValue& value = group == nullptr ? values_[g.property] : GroupValue(*group, g.property, p);
    std::string out;
    if (!FormatTemplate(*g.response, {value}, {}, out)) {
        return {Kind::Fails, {}};
    }
    return {Kind::Text, out};
}

std::string DeviceState::ChannelKey(const PyValue& id)
{
    return std::string(1, static_cast<char>('0' + static_cast<int>(id.kind))) + PyStr(id);
}

DeviceState::Check DeviceState::Validate(const Property& property, const PyValue& input, PyValue& out)
{
    if (!property.limits) {
        out = input;
        return Check::Ok;
    }
    const PropertySpecs& limits = *property.limits;
    switch (limits.type) {
    case PropertySpecs::Type::Int:
        if (input.kind == PyValue::Kind::Other) {
            return Check::Fails;
        }
        if (!PyToInt(input, out)) {
            // int() of NaN or of a text raises ValueError; of infinity (or a
            // float past 64 bits) it does not refuse that way.
            const bool nan = input.kind == PyValue::Kind::Float && std::isnan(input.real);
            return input.kind == PyValue::Kind::Float && !nan ? Check::Fails : Check::Refused;
        }
        break;
    case PropertySpecs::Type::Float:
        if (input.kind == PyValue::Kind::Other) {
            return Check::Fails;
        }
        if (!PyToFloat(input, out)) {
            return Check::Refused;
        }
        break;
    case PropertySpecs::Type::Str:
        out = PyToStr(input);
        break;
    }
    bool comparable = true;
    if (limits.min && PyLess(out, *limits.min, comparable)) {
        return Check::Refused;
    }
    if (limits.max && PyLess(*limits.max, out, comparable)) {
        return Check::Refused;
    }
    if (!limits.valid.empty() &&
        std::none_of(limits.valid.begin(), limits.valid.end(), [&](const PyValue& v) { return PyEquals(v, out); })) {
        return Check::Refused;
    }
    return Check::Ok;
}

DeviceState::Outcome DeviceState::MatchDeviceSetters(std::string_view query)
{
    if (def_.setters.empty()) {
        return {};
    }
    if (!IsValidUtf8(query)) {
        return {Kind::Fails, {}};
    }
    std::vector<size_t> candidates;
    def_.SetterCandidates(query, candidates);
    Pattern::Fields fields;
    for (size_t index : candidates) {
        const Setter& setter = def_.setters[index];
        if (!setter.pattern.Match(query, fields)) {
            continue;
        }
        PyValue value;
        switch (Validate(def_.properties[setter.property], ParsedValue(fields), value)) {
        case Check::Ok:
            values_[setter.property] = value;
            return setter.response ? Outcome {Kind::Text, *setter.response} : Outcome {Kind::Silent, {}};
        case Check::Refused:
            if (setter.error) {
                return {Kind::Text, *setter.error};
            }
            break;
        case Check::Fails:
            return {Kind::Fails, {}};
        }
    }
    return {};
}

DeviceState::Outcome DeviceState::MatchGroupSetters(size_t index, std::string_view query)
{
    const ChannelGroup& channels = def_.channels[index];
    GroupState& group = groups_[index];
    if (channels.setters.empty()) {
        return {};
    }
    if (!IsValidUtf8(query)) {
        return {Kind::Fails, {}};
    }
    std::vector<size_t> candidates;
    channels.SetterCandidates(query, candidates);
    Pattern::Fields fields;
    for (size_t i : candidates) {
        const Setter& setter = channels.setters[i];
        if (!setter.pattern.Match(query, fields)) {
            continue;
        }
        const PyValue parsed = ParsedValue(fields);
        std::string text;
        const auto named = std::find_if(fields.begin(), fields.end(), [](const auto& f) { return f.first == "ch_id"; });
        const bool isMapping = parsed.kind == PyValue::Kind::Other && !parsed.text.empty() && parsed.text[0] == '{';
        if (isMapping && named != fields.end()) {
            group.selected = named->second;
            group.hasSelected = true;
            const auto zero = std::find_if(fields.begin(), fields.end(), [](const auto& f) { return f.first == "0"; });
            if (zero == fields.end()) {
                return {Kind::Fails, {}};
            }
            text = PyStr(zero->second);
        } else {
            text = PyStr(parsed);
        }
        PyValue value;
        const Property& p = channels.properties[setter.property];
        if (Validate(p, PyValue::Str(text), value) == Check::Ok) {
            group.values[setter.property][group.hasSelected ? ChannelKey(group.selected) : std::string("\xff")] = value;
            return setter.response ? Outcome {Kind::Text, *setter.response} : Outcome {Kind::Silent, {}};
        }
        if (setter.error) {
            return {Kind::Text, *setter.error};
        }
        return Error();
    }
    return {};
}

DeviceState::Outcome DeviceState::MatchGroup(size_t index, std::string_view query)
{
    const ChannelGroup& channels = def_.channels[index];
    GroupState& group = groups_[index];
    if (!channels.canSelect) {
        if (!def_.selectedChannel) {
            return {Kind::Fails, {}};
        }
        const PyValue& id = values_[*def_.selectedChannel];
        const bool known = std::any_of(channels.ids.begin(), channels.ids.end(),
                                       [&](const std::string& c) { return PyEquals(PyValue::Str(c), id); });
        if (!known) {
            return {};
        }
        group.selected = id;
        group.hasSelected = true;
        Outcome o = MatchDialogue(channels.dialogues, query);
        if (o.kind != Kind::NoMatch) {
            return o;
        }
        o = MatchGetter(channels.getters, query, channels, &group);
        if (o.kind != Kind::NoMatch) {
            return o;
        }
    } else {
        for (size_t i = 0; i < channels.ids.size(); ++i) {
            group.selected = PyValue::Str(channels.ids[i]);
            group.hasSelected = true;
            const ChannelGroup::PerId& filled = channels.perId[i];
            if (filled.fails) {
                return {Kind::Fails, {}};
            }
            Outcome o = MatchDialogue(filled.dialogues, query);
            if (o.kind != Kind::NoMatch) {
                return o;
            }
            o = MatchGetter(filled.getters, query, channels, &group);
            if (o.kind != Kind::NoMatch) {
                return o;
            }
        }
    }
    return MatchGroupSetters(index, query);
}

DeviceState::Outcome DeviceState::Match(std::string_view query)
{
    Outcome o = MatchDialogue(def_.dialogues, query);
    if (o.kind != Kind::NoMatch) {
        return o;
    }
    o = MatchGetter(def_.getters, query, def_, nullptr);
    if (o.kind != Kind::NoMatch) {
        return o;
    }
    const std::string key(query);
    for (size_t r = def_.registers.size(); r-- > 0;) {
        if (def_.registers[r].query == key) {
            const int64_t value = registers_[r];
            registers_[r] = 0;
            return {Kind::Text, std::to_string(value)};
        }
    }
    for (size_t q = 0; q < def_.queues.size(); ++q) {
        if (def_.queues[q].query == key) {
            if (queues_[q].empty()) {
                return {Kind::Text, def_.queues[q].empty};
            }
            std::string front = std::move(queues_[q].front());
            queues_[q].pop_front();
            return {Kind::Text, front};
        }
    }
    o = MatchDeviceSetters(query);
    if (o.kind != Kind::NoMatch) {
        return o;
    }
    for (size_t g = 0; g < def_.channels.size(); ++g) {
        o = MatchGroup(g, query);
        // An empty answer counts as none and the next group is asked.
        if (o.kind == Kind::Silent || o.kind == Kind::Fails || (o.kind == Kind::Text && !o.text.empty())) {
            return o;
        }
    }
    return {};
}

}  // namespace tarvos::definition
