#include "instrument/definition/DeviceReader.h"

#include <algorithm>
#include <set>

#include "instrument/definition/Loader.h"
#include "instrument/definition/PyFormat.h"

namespace tarvos::definition {

namespace {

Answer AnswerOf(const FileReader& r, const YAML::Node& dict, const char* key, const std::string& what)
{
    const YAML::Node node = FileReader::Get(dict, key);
    if (!node.IsDefined()) {
        return std::nullopt;
    }
    const std::string text = StripSpaces(r.Text(node, what));
    // The documented way to say "no answer".
    if (text == "null_response") {
        return std::nullopt;
    }
    return Unescape(text);
}

std::optional<RandomDirective> Random(const FileReader& r, const YAML::Node& at, const std::string& answer)
{
    RandomDirective directive;
    std::string error;
    if (ReadRandomDirective(answer, directive, error)) {
        return directive;
    }
    if (!error.empty()) {
        r.Fail(at, error);
    }
    return std::nullopt;
}

PyValue Typed(const FileReader& r, const YAML::Node& at, PropertySpecs::Type type, const std::string& what)
{
    const PyValue text = PyValue::Str(r.Text(at, what));
    PyValue out;
    bool ok = true;
    switch (type) {
    case PropertySpecs::Type::Int:
        ok = PyToInt(text, out);
        break;
    case PropertySpecs::Type::Float:
        ok = PyToFloat(text, out);
        break;
    case PropertySpecs::Type::Str:
        out = text;
        break;
    }
    if (!ok) {
        r.Fail(at, what + " '" + text.text + "' is no " + (type == PropertySpecs::Type::Int ? "int" : "float"));
    }
    return out;
}

void Fill(const FileReader& r, Component& c, const YAML::Node& dict, const std::string& owner)
{
    const YAML::Node dialogues = FileReader::Get(dict, "dialogues");
    if (dialogues.IsDefined() && !dialogues.IsNull()) {
        if (!dialogues.IsSequence()) {
            r.Fail(dialogues, "dialogues of " + owner + " must be a list");
        }
        for (const YAML::Node& d : dialogues) {
            r.Map(d, "a dialogue of " + owner);
            const YAML::Node q = FileReader::Get(d, "q");
            if (!q.IsDefined()) {
                r.Fail(d, "a dialogue of " + owner + " has no 'q'");
            }
            Dialogue dialogue;
            dialogue.response = AnswerOf(r, d, "r", "a dialogue's 'r'");
            if (dialogue.response) {
                dialogue.random = Random(r, FileReader::Get(d, "r"), *dialogue.response);
            }
            c.dialogues[Unescape(StripSpaces(r.Text(q, "a dialogue's 'q'")))] = dialogue;
        }
    }
    const YAML::Node properties = FileReader::Get(dict, "properties");
    if (!properties.IsDefined() || properties.IsNull()) {
        return;
    }
    r.Map(properties, "properties of " + owner);
    for (auto it = properties.begin(); it != properties.end(); ++it) {
        const std::string name = r.Text(it->first, "a property name");
        const YAML::Node p = it->second;
        r.Map(p, "property " + name);
        Property property;
        property.name = name;
        const YAML::Node limits = FileReader::Get(p, "specs");
        if (limits.IsDefined() && !limits.IsNull() && !(limits.IsMap() && limits.size() == 0)) {
            r.Map(limits, "the limits of property " + name);
            PropertySpecs s;
            const YAML::Node type = FileReader::Get(limits, "type");
            if (!type.IsDefined()) {
                r.Fail(limits, "property " + name + ": no property type was specified ('type': int, float or str)");
            }
            const std::string t = r.Text(type, "type");
            if (t == "int") {
                s.type = PropertySpecs::Type::Int;
            } else if (t == "float") {
                s.type = PropertySpecs::Type::Float;
            } else if (t == "str") {
                s.type = PropertySpecs::Type::Str;
            } else {
                r.Fail(type, "property " + name + ": invalid property type '" + t +
                                 "', valid types are: 'int', 'float', 'str'");
            }
            if (const YAML::Node min = FileReader::Get(limits, "min"); min.IsDefined()) {
                s.min = Typed(r, min, s.type, "min of " + name);
            }
            if (const YAML::Node max = FileReader::Get(limits, "max"); max.IsDefined()) {
                s.max = Typed(r, max, s.type, "max of " + name);
            }
            if (const YAML::Node valid = FileReader::Get(limits, "valid"); valid.IsDefined()) {
                if (!valid.IsSequence()) {
                    r.Fail(valid, "valid of " + name + " must be a list");
                }
                for (const YAML::Node& v : valid) {
                    s.valid.push_back(Typed(r, v, s.type, "a valid value of " + name));
                }
            }
            property.limits = s;
        }
        const YAML::Node initial = FileReader::Get(p, "default");
        const PyValue text = PyValue::Str(initial.IsDefined() ? r.Text(initial, "default") : std::string());
        property.initial = text;
        if (property.limits) {
            const Property& probe = property;
            PyValue checked;
            bool comparable = true;
            const PropertySpecs& s = *probe.limits;
            bool ok = s.type == PropertySpecs::Type::Int     ? PyToInt(text, checked)
                      : s.type == PropertySpecs::Type::Float ? PyToFloat(text, checked)
                                                             : (checked = text, true);
            ok = ok && !(s.min && PyLess(checked, *s.min, comparable)) && !(s.max && PyLess(*s.max, checked, comparable)) &&
                 (s.valid.empty() || std::any_of(s.valid.begin(), s.valid.end(),
                                                 [&](const PyValue& v) { return PyEquals(v, checked); }));
            if (!ok) {
                r.Fail(initial.IsDefined() ? initial : p,
                       "property " + name + ": the default value '" + text.text + "' is refused by its limits");
            }
            property.initial = checked;
        }
        const size_t index = c.properties.size();
        c.properties.push_back(property);
        const YAML::Node getter = FileReader::Get(p, "getter");
        if (getter.IsDefined()) {
            r.Map(getter, "the getter of " + name);
            const YAML::Node q = FileReader::Get(getter, "q");
            if (!q.IsDefined()) {
                r.Fail(getter, "the getter of " + name + " has no 'q'");
            }
            Getter g;
            g.property = index;
            if (const YAML::Node rn = FileReader::Get(getter, "r"); rn.IsDefined()) {
                g.response = StripSpaces(r.Text(rn, "a getter's 'r'"));
                g.random = Random(r, rn, *g.response);
                if (!g.random) {
                    std::vector<TemplatePiece> pieces;
                    std::string why;
                    if (!ParseTemplate(*g.response, pieces, &why)) {
                        r.Fail(rn, "the getter answer of " + name + " can't be formatted: " + why);
                    }
                }
            }
            c.getters[Unescape(StripSpaces(r.Text(q, "a getter's 'q'")))] = g;
        }
        const YAML::Node setter = FileReader::Get(p, "setter");
        if (setter.IsDefined()) {
            r.Map(setter, "the setter of " + name);
            const YAML::Node q = FileReader::Get(setter, "q");
            if (!q.IsDefined()) {
                r.Fail(setter, "the setter of " + name + " has no 'q'");
            }
            Setter s;
            s.property = index;
            std::string why;
            if (!s.pattern.Compile(StripSpaces(r.Text(q, "a setter's 'q'")), why)) {
                r.Fail(q, "the setter pattern of " + name + " can't be read: " + why);
            }
            s.response = AnswerOf(r, setter, "r", "a setter's 'r'");
            s.error = AnswerOf(r, setter, "e", "a setter's 'e'");
            c.setters.push_back(std::move(s));
        }
    }
    c.IndexSetters();
}

}  // namespace

std::shared_ptr<DeviceDef> ReadDevice(const FileReader& r, const std::string& name, const YAML::Node& dict,
                                          const YAML::Node& resource)
{
    auto device = std::make_shared<DeviceDef>();
    device->name = name;
    r.Map(dict, "device " + name);
    if (const YAML::Node d = FileReader::Get(dict, "delimiter"); d.IsDefined()) {
        device->delimiter = r.Text(d, "delimiter");
    }
    const YAML::Node error = FileReader::Get(dict, "error");
    if (error.IsDefined() && error.IsMap()) {
        const YAML::Node response = FileReader::Get(error, "response");
        if (response.IsDefined() && response.IsMap()) {
            if (const YAML::Node ce = FileReader::Get(response, "command_error"); ce.IsDefined()) {
                device->commandError = Unescape(r.Text(ce, "command_error"));
            }
        }
        if (const YAML::Node regs = FileReader::Get(error, "status_register"); regs.IsDefined()) {
            if (!regs.IsSequence()) {
                r.Fail(regs, "status_register must be a list");
            }
            for (const YAML::Node& reg : regs) {
                r.Map(reg, "a status register");
                StatusRegisterDef def;
                const YAML::Node q = FileReader::Get(reg, "q");
                if (!q.IsDefined()) {
                    r.Fail(reg, "a status register has no 'q'");
                }
                def.query = Unescape(r.Text(q, "q"));
                for (auto it = reg.begin(); it != reg.end(); ++it) {
                    const std::string key = r.Text(it->first, "a register key");
                    if (key == "q") {
                        continue;
                    }
                    int64_t bits = 0;
                    if (!PyIntFromText(r.Text(it->second, key), 10, bits)) {
                        r.Fail(it->second, "the register value of " + key + " is no integer");
                    }
                    def.bits.emplace_back(key, bits);
                    device->registerOfError[key] = device->registers.size();
                }
                device->registers.push_back(def);
            }
        }
        if (const YAML::Node queues = FileReader::Get(error, "error_queue"); queues.IsDefined()) {
            if (!queues.IsSequence()) {
                r.Fail(queues, "error_queue must be a list");
            }
            for (const YAML::Node& queue : queues) {
                r.Map(queue, "an error queue");
                ErrorQueueDef def;
                const YAML::Node q = FileReader::Get(queue, "q");
                const YAML::Node empty = FileReader::Get(queue, "default");
                if (!q.IsDefined() || !empty.IsDefined()) {
                    r.Fail(queue, "an error queue needs 'q' and 'default'");
                }
                def.query = Unescape(r.Text(q, "q"));
                def.empty = Unescape(r.Text(empty, "default"));
                for (auto it = queue.begin(); it != queue.end(); ++it) {
                    const std::string key = r.Text(it->first, "an error key");
                    if (key != "q" && key != "default" && key != "strict") {
                        def.entries[key] = Unescape(r.Text(it->second, key));
                    }
                }
                // A second queue with the same query takes the first one's place.
                const auto same = std::find_if(device->queues.begin(), device->queues.end(),
                                               [&](const ErrorQueueDef& e) { return e.query == def.query; });
                if (same != device->queues.end()) {
                    *same = def;
                } else {
                    device->queues.push_back(def);
                }
            }
        }
    } else if (error.IsDefined()) {
        device->commandError = Unescape(r.Text(error, "error"));
    }
    if (const YAML::Node eoms = FileReader::Get(dict, "eom"); eoms.IsDefined() && !eoms.IsNull()) {
        r.Map(eoms, "eom");
        static const std::set<std::string> kInterfaces {"unknown", "gpib", "vxi",      "gpib_vxi", "asrl",
                                                        "pxi",     "tcpip", "usb",     "rio",      "firewire",
                                                        "rsnrp",   "vicp",  "prlgx_asrl"};
        for (auto it = eoms.begin(); it != eoms.end(); ++it) {
            const std::string kind = r.Text(it->first, "an eom key");
            const size_t space = kind.find(' ');
            std::string type = kind.substr(0, space);
            std::transform(type.begin(), type.end(), type.begin(),
                           [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; });
            if (space == std::string::npos || kind.find(' ', space + 1) != std::string::npos ||
                kInterfaces.count(type) == 0) {
                r.Fail(it->first, "eom key '" + kind + "' is not '<interface type> <resource class>'");
            }
            r.Map(it->second, "eom " + kind);
            const YAML::Node q = FileReader::Get(it->second, "q");
            const YAML::Node rr = FileReader::Get(it->second, "r");
            if (!q.IsDefined()) {
                r.Fail(it->second, "eom " + kind + " needs 'q'");
            }
            if (kind == "TCPIP INSTR") {
                // The other interfaces' texts are never used here.
                if (!rr.IsDefined()) {
                    r.Fail(it->second, "eom " + kind + " needs 'r'");
                }
                device->queryEom = Unescape(StripSpaces(r.Text(q, "q")));
                device->responseEom = Unescape(StripSpaces(r.Text(rr, "r")));
            }
        }
    }
    Fill(r, *device, dict, name);
    device->selectedChannel.reset();
    for (size_t i = 0; i < device->properties.size(); ++i) {
        if (device->properties[i].name == "selected_channel") {
            device->selectedChannel = i;
        }
    }
    if (const YAML::Node channels = FileReader::Get(dict, "channels"); channels.IsDefined() && !channels.IsNull()) {
        r.Map(channels, "channels");
        for (auto it = channels.begin(); it != channels.end(); ++it) {
            ChannelGroup group;
            group.name = r.Text(it->first, "a channel group name");
            const YAML::Node cd = r.Map(it->second, "channels " + group.name);
            YAML::Node ids = FileReader::Get(FileReader::Get(resource, "channel_ids"), group.name);
            if (!ids.IsDefined() || !ids.IsSequence() || ids.size() == 0) {
                ids = FileReader::Get(cd, "ids");
            }
            if (ids.IsDefined() && ids.IsSequence()) {
                for (const YAML::Node& id : ids) {
                    group.ids.push_back(r.Text(id, "a channel id"));
                }
            }
            if (const YAML::Node cs = FileReader::Get(cd, "can_select"); cs.IsDefined()) {
                group.canSelect = r.Text(cs, "can_select") != "False";
            }
            Fill(r, group, cd, group.name);
            for (const std::string& id : group.ids) {
                ChannelGroup::PerId filled;
                const NamedValues named {{"ch_id", PyValue::Str(id)}};
                auto fill = [&](const std::string& key, std::string& out) {
                    if (!FormatTemplate(key, {}, named, out)) {
                        filled.fails = true;
                    }
                };
                for (const auto& [key, d] : group.dialogues) {
                    std::string k;
                    fill(key, k);
                    filled.dialogues[k] = d;
                }
                for (const auto& [key, g] : group.getters) {
                    std::string k;
                    fill(key, k);
                    filled.getters[k] = g;
                }
                group.perId.push_back(std::move(filled));
            }
            device->channels.push_back(std::move(group));
        }
    }
    return device;
}

}  // namespace tarvos::definition
