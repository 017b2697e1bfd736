// One instrument made from a device definition: its property values, the
// channel selection, the status registers and the error queues, and how it
// answers a program message, rule for rule as the reference simulator does.
// Not guarded itself: its owner (DeviceInstance) holds a lock around it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "instrument/definition/DeviceModel.h"

namespace tarvos::definition {

class DeviceState {
public:
    DeviceState(const DeviceDef& definition, uint64_t seed);

    // Executes one program message (the payload of the messages up to a
    // DataEnd) and returns what the instrument answers: the answers of its
    // units, each followed by the response end of message; empty when
    // nothing is answered.
    std::string Execute(std::string_view message);
    // The units of a program message: its query end of message taken off,
    // split at the device's delimiter.
    std::vector<std::string_view> Units(std::string_view message) const;
    // Appends the answer of one unit (and the response end of message) to out.
    void ExecuteUnit(std::string_view unit, std::string& out);

    // Restores the values of a new instrument.
    void Reset();

private:
    enum class Kind : uint8_t { NoMatch, Text, Silent, Fails };
    struct Outcome {
        Kind kind = Kind::NoMatch;
        std::string text;
    };
    enum class Check : uint8_t { Ok, Refused, Fails };
    struct GroupState {
        // The channel the group acts on (the last one looked at or named).
        PyValue selected;
        bool hasSelected = false;
        std::vector<std::map<std::string, PyValue>> values;
    };

    Outcome Match(std::string_view query);
    Outcome MatchDialogue(const std::unordered_map<std::string, Dialogue>& dialogues, std::string_view query);
    Outcome MatchGetter(const std::unordered_map<std::string, Getter>& getters, std::string_view query,
                        const Component& owner, GroupState* group);
    Outcome MatchDeviceSetters(std::string_view query);
    Outcome MatchGroup(size_t index, std::string_view query);
    Outcome MatchGroupSetters(size_t index, std::string_view query);
    Outcome RandomAnswer(const RandomDirective& directive);
    Outcome Error();
    static Check Validate(const Property& property, const PyValue& input, PyValue& out);
    static std::string ChannelKey(const PyValue& id);
    const PyValue& GroupValue(const GroupState& group, size_t property, const Property& definition) const;

    const DeviceDef& def_;
    std::vector<PyValue> values_;
    std::vector<GroupState> groups_;
    std::vector<int64_t> registers_;
    std::vector<std::deque<std::string>> queues_;
    std::mt19937_64 random_;
};

// True when the text is valid UTF-8 (what the reference decodes before it
// tries setters).
bool IsValidUtf8(std::string_view text);

// The value a pattern's fields make: the one value of a single unnamed field,
// else the list or mapping the reference pattern parser builds (as a value
// that shows as Python shows it).
PyValue ParsedValue(const Pattern::Fields& fields);

}  // namespace tarvos::definition
