// What a definition file describes, read and checked: devices with their
// dialogues, properties (getters, setters, types and limits), error handling, end of
// message texts and channels. Immutable once loaded and shared by every
// instance of a device; the state of one instrument lives in DeviceState.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "instrument/definition/Pattern.h"
#include "instrument/definition/PyValue.h"

namespace tarvos::definition {

// An answer text that may be absent: a dialogue without 'r' answers nothing.
using Answer = std::optional<std::string>;

// {RANDOM(min, max, n):format}: n values drawn evenly from [min, max], each
// formatted by the answer with the directive taken out, joined by ", ".
struct RandomDirective {
    double low = 0.0;
    double high = 0.0;
    uint32_t count = 0;
    // The answer's template without the directive.
    std::string rest;
};

struct PropertySpecs {
    enum class Type : uint8_t { Int, Float, Str };
    Type type = Type::Str;
    std::optional<PyValue> min;
    std::optional<PyValue> max;
    std::vector<PyValue> valid;
};

struct Property {
    std::string name;
    std::optional<PropertySpecs> limits;
    PyValue initial;
};

struct Getter {
    size_t property = 0;
    // Absent when the getter has no 'r' (asking then fails).
    std::optional<std::string> response;
    std::optional<RandomDirective> random;
};

struct Setter {
    size_t property = 0;
    Pattern pattern;
    Answer response;
    Answer error;
};

struct Dialogue {
    Answer response;
    std::optional<RandomDirective> random;
};

// Dialogues, properties, getters and setters: what a device and each of its
// channel groups hold.
struct Component {
    std::unordered_map<std::string, Dialogue> dialogues;
    std::unordered_map<std::string, Getter> getters;
    std::vector<Property> properties;
    std::vector<Setter> setters;
    // Setters by the literal text their patterns begin with, in file order:
    // an input is tried only against the setters whose prefix it starts with.
    std::unordered_map<std::string, std::vector<size_t>> settersByPrefix;
    std::vector<size_t> prefixLengths;

    size_t PropertyIndex(const std::string& name) const;
    void IndexSetters();
    // The setters an input may match, in file order.
    void SetterCandidates(std::string_view input, std::vector<size_t>& out) const;
};

// A group of channels: can_select groups answer "{ch_id}" queries for each
// id; the others act on the channel that the device's selected_channel names.
struct ChannelGroup : Component {
    std::string name;
    std::vector<std::string> ids;
    bool canSelect = true;
    // For can_select groups: the dialogues and getters with {ch_id} filled in,
    // per id; an id whose filling fails (another field in a query) is marked.
    struct PerId {
        bool fails = false;
        std::unordered_map<std::string, Dialogue> dialogues;
        std::unordered_map<std::string, Getter> getters;
    };
    std::vector<PerId> perId;
};

struct StatusRegisterDef {
    std::string query;
    std::vector<std::pair<std::string, int64_t>> bits;
};

struct ErrorQueueDef {
    std::string query;
    std::map<std::string, std::string> entries;
    std::string empty;
};

struct DeviceDef : Component {
    std::string name;
    std::string delimiter = ";";
    // The end of message texts for TCPIP INSTR (LF, LF without one).
    std::string queryEom = "\n";
    std::string responseEom = "\n";
    Answer commandError;
    std::vector<StatusRegisterDef> registers;
    // Which register an error key sets (the last one that names it).
    std::unordered_map<std::string, size_t> registerOfError;
    std::vector<ErrorQueueDef> queues;
    std::vector<ChannelGroup> channels;
    // The index of the device property selected_channel, if there is one.
    std::optional<size_t> selectedChannel;
};

}  // namespace tarvos::definition
