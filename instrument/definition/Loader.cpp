#include "instrument/definition/Loader.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <exception>
#include <map>
#include <set>

#include "instrument/definition/PyFormat.h"
#include "platform/SettingsFile.h"

namespace tarvos::definition {

namespace {

// A fault found while reading: where and what.
struct LoadFault {
    std::string text;
};

class FileReader {
public:
    explicit FileReader(std::string file) : file_(std::move(file)) {}

    [[noreturn]] void Fail(const YAML::Node& at, const std::string& what) const
    {
        const YAML::Mark mark = at.Mark();
        Fail(mark, what);
    }
    [[noreturn]] void Fail(const YAML::Mark& mark, const std::string& what) const
    {
        const int line = mark.line < 0 ? 1 : mark.line + 1;
        const int column = mark.column < 0 ? 1 : mark.column + 1;
        throw LoadFault {file_ + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + what};
    }

    // A scalar as the reference reads every scalar: as text (an empty value is "").
    std::string Text(const YAML::Node& node, const std::string& what) const
    {
        if (node.IsNull()) {
            return node.Scalar() == "~" ? "~" : "";
        }
        if (!node.IsScalar()) {
            Fail(node, what + " must be a text, not a " + (node.IsMap() ? "mapping" : "list"));
        }
        return node.Scalar();
    }

    YAML::Node Map(const YAML::Node& node, const std::string& what) const
    {
        if (!node.IsMap()) {
            Fail(node, what + " must be a mapping");
        }
        return node;
    }

    // The key's value in a mapping, or an undefined node.
    static YAML::Node Get(const YAML::Node& map, const std::string& key)
    {
        if (!map.IsMap()) {
            return YAML::Node(YAML::NodeType::Undefined);
        }
        for (auto it = map.begin(); it != map.end(); ++it) {
            if (it->first.IsScalar() && it->first.Scalar() == key) {
                return it->second;
            }
        }
        return YAML::Node(YAML::NodeType::Undefined);
    }

    const std::string& File() const { return file_; }

private:
    std::string file_;
};

std::string StripSpaces(const std::string& text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool IsRandomSeparator(const std::string& t, size_t& pos)
{
    while (pos < t.size() && t[pos] == ' ') {
        ++pos;
    }
    if (pos >= t.size() || t[pos] != ',') {
        return false;
    }
    ++pos;
    while (pos < t.size() && t[pos] == ' ') {
        ++pos;
    }
    return true;
}

std::string NumberText(const std::string& t, size_t& pos)
{
    const size_t start = pos;
    while (pos < t.size() && t[pos] != ',' && t[pos] != ')') {
        ++pos;
    }
    return t.substr(start, pos - start);
}

std::string Directory(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsAbsolute(const std::string& path)
{
    return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
           (path.size() > 2 && path[1] == ':' && (path[2] == '/' || path[2] == '\\'));
}

struct LoadedFile {
    std::string path;
    YAML::Node root;
};

class Loader {
public:
    std::vector<Binding> Load(const std::string& path, const std::string* text);

private:
    const LoadedFile& Open(const std::string& path, const std::string* text, const FileReader* from,
                           const YAML::Node* at);
    std::shared_ptr<DeviceDef> Device(const FileReader& r, const std::string& name, const YAML::Node& dict,
                                      const YAML::Node& resource);
    void Fill(const FileReader& r, Component& c, const YAML::Node& dict, const std::string& owner);
    Answer AnswerOf(const FileReader& r, const YAML::Node& dict, const char* key, const std::string& what);
    std::optional<RandomDirective> Random(const FileReader& r, const YAML::Node& at, const std::string& answer);
    PyValue Typed(const FileReader& r, const YAML::Node& at, PropertySpecs::Type type, const std::string& what);

    std::map<std::string, LoadedFile> files_;
};

const LoadedFile& Loader::Open(const std::string& path, const std::string* text, const FileReader* from,
                               const YAML::Node* at)
{
    const auto known = files_.find(path);
    if (known != files_.end()) {
        return known->second;
    }
    std::string content;
    if (text != nullptr) {
        content = *text;
    } else {
        std::string why;
        if (!platform::ReadSettingsFile(path, content, why)) {
            if (from != nullptr) {
                from->Fail(*at, "cannot read " + path + ": " + why);
            }
            throw LoadFault {path + ":1:1: cannot read the file: " + why};
        }
    }
    const FileReader r(path);
    YAML::Node root;
    try {
        root = YAML::Load(content);
    } catch (const YAML::Exception& e) {
        r.Fail(e.mark, "YAML syntax: " + e.msg);
    }
    if (!root.IsMap()) {
        r.Fail(root, "a definition file is a mapping with the keys spec, devices and resources");
    }
    const YAML::Node version = FileReader::Get(root, "spec");
    if (!version.IsDefined()) {
        r.Fail(root, "the file names no format version (the key 'spec', \"1.0\" or \"1.1\")");
    }
    const std::string v = r.Text(version, "spec");
    std::vector<int64_t> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = v.find('.', start);
        int64_t n = 0;
        if (!PyIntFromText(v.substr(start, dot == std::string::npos ? std::string::npos : dot - start), 10, n)) {
            r.Fail(version, "invalid format version '" + v + "', expected 'X.Y' (X and Y integers)");
        }
        parts.push_back(n);
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    const std::vector<int64_t> newest {1, 1};
    if (parts[0] != 1 || std::lexicographical_compare(newest.begin(), newest.end(), parts.begin(), parts.end())) {
        r.Fail(version, "format version '" + v + "' is not served (1.0 and 1.1 are)");
    }
    return files_.emplace(path, LoadedFile {path, root}).first->second;
}

Answer Loader::AnswerOf(const FileReader& r, const YAML::Node& dict, const char* key, const std::string& what)
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

std::optional<RandomDirective> Loader::Random(const FileReader& r, const YAML::Node& at, const std::string& answer)
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

PyValue Loader::Typed(const FileReader& r, const YAML::Node& at, PropertySpecs::Type type, const std::string& what)
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

void Loader::Fill(const FileReader& r, Component& c, const YAML::Node& dict, const std::string& owner)
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
        const YAML::Node specs = FileReader::Get(p, "specs");
        if (specs.IsDefined() && !specs.IsNull() && !(specs.IsMap() && specs.size() == 0)) {
            r.Map(specs, "the specs of property " + name);
            PropertySpecs s;
            const YAML::Node type = FileReader::Get(specs, "type");
            if (!type.IsDefined()) {
                r.Fail(specs, "property " + name + ": no property type was specified ('type': int, float or str)");
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
            if (const YAML::Node min = FileReader::Get(specs, "min"); min.IsDefined()) {
                s.min = Typed(r, min, s.type, "min of " + name);
            }
            if (const YAML::Node max = FileReader::Get(specs, "max"); max.IsDefined()) {
                s.max = Typed(r, max, s.type, "max of " + name);
            }
            if (const YAML::Node valid = FileReader::Get(specs, "valid"); valid.IsDefined()) {
                if (!valid.IsSequence()) {
                    r.Fail(valid, "valid of " + name + " must be a list");
                }
                for (const YAML::Node& v : valid) {
                    s.valid.push_back(Typed(r, v, s.type, "a valid value of " + name));
                }
            }
            property.specs = s;
        }
        const YAML::Node initial = FileReader::Get(p, "default");
        const PyValue text = PyValue::Str(initial.IsDefined() ? r.Text(initial, "default") : std::string());
        property.initial = text;
        if (property.specs) {
            const Property& probe = property;
            PyValue checked;
            bool comparable = true;
            const PropertySpecs& s = *probe.specs;
            bool ok = s.type == PropertySpecs::Type::Int     ? PyToInt(text, checked)
                      : s.type == PropertySpecs::Type::Float ? PyToFloat(text, checked)
                                                             : (checked = text, true);
            ok = ok && !(s.min && PyLess(checked, *s.min, comparable)) && !(s.max && PyLess(*s.max, checked, comparable)) &&
                 (s.valid.empty() || std::any_of(s.valid.begin(), s.valid.end(),
                                                 [&](const PyValue& v) { return PyEquals(v, checked); }));
            if (!ok) {
                r.Fail(initial.IsDefined() ? initial : p,
                       "property " + name + ": the default value '" + text.text + "' is refused by its specs");
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

std::shared_ptr<DeviceDef> Loader::Device(const FileReader& r, const std::string& name, const YAML::Node& dict,
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

std::string LowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; });
    return text;
}

// hislipN when the resource is a TCPIP INSTR resource with that device name.
std::string ExplicitSubAddress(const std::string& resource)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = resource.find("::", start);
        parts.push_back(resource.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            break;
        }
        start = at + 2;
    }
    if (parts.size() < 4 || LowerCase(parts[0]).rfind("tcpip", 0) != 0 || LowerCase(parts.back()) != "instr") {
        return "";
    }
    std::string name = LowerCase(parts[2]);
    name = name.substr(0, name.find(','));
    if (name.size() <= 6 || name.rfind("hislip", 0) != 0 ||
        name.find_first_not_of("0123456789", 6) != std::string::npos || (name.size() > 7 && name[6] == '0')) {
        return "";
    }
    return name;
}

std::vector<Binding> Loader::Load(const std::string& path, const std::string* text)
{
    const LoadedFile& main = Open(path, text, nullptr, nullptr);
    const FileReader r(path);
    std::vector<Binding> bindings;
    const YAML::Node resources = FileReader::Get(main.root, "resources");
    if (!resources.IsDefined() || resources.IsNull()) {
        return bindings;
    }
    r.Map(resources, "resources");
    std::map<std::string, std::string> taken;
    std::vector<size_t> unbound;
    for (auto it = resources.begin(); it != resources.end(); ++it) {
        const std::string resource = r.Text(it->first, "a resource name");
        const YAML::Node rd = r.Map(it->second, "resource " + resource);
        const YAML::Node deviceNode = FileReader::Get(rd, "device");
        if (!deviceNode.IsDefined()) {
            r.Fail(rd, "resource " + resource + " names no device");
        }
        const std::string deviceName = r.Text(deviceNode, "device");
        if (const YAML::Node bundled = FileReader::Get(rd, "bundled"); bundled.IsDefined()) {
            const std::string b = r.Text(bundled, "bundled");
            if (b != "false" && b != "False" && b != "FALSE" && b != "no" && b != "No") {
                r.Fail(bundled, "resource " + resource +
                                    " is 'bundled': definitions bundled with the reference simulator are not served; "
                                    "copy the file and name it with 'filename'");
            }
        }
        const LoadedFile* source = &main;
        FileReader sr(path);
        if (const YAML::Node fn = FileReader::Get(rd, "filename"); fn.IsDefined()) {
            const std::string name = r.Text(fn, "filename");
            const std::string full = IsAbsolute(name) ? name : Directory(path) + name;
            source = &Open(full, nullptr, &r, &fn);
            sr = FileReader(full);
        }
        const YAML::Node devices = FileReader::Get(source->root, "devices");
        const YAML::Node dd = FileReader::Get(devices, deviceName);
        if (!dd.IsDefined()) {
            r.Fail(deviceNode, "resource " + resource + " names device '" + deviceName + "', which " +
                                   (source == &main ? std::string("this file") : source->path) + " does not define");
        }
        Binding binding;
        binding.resource = resource;
        binding.device = deviceName;
        binding.definition = Device(sr, deviceName, dd, rd);
        binding.subAddress = ExplicitSubAddress(resource);
        if (!binding.subAddress.empty()) {
            const auto [at, fresh] = taken.emplace(binding.subAddress, resource);
            if (!fresh) {
                r.Fail(it->first, "resources " + at->second + " and " + resource + " both name " + binding.subAddress);
            }
        } else {
            unbound.push_back(bindings.size());
        }
        bindings.push_back(std::move(binding));
    }
    size_t next = 0;
    for (size_t index : unbound) {
        while (taken.count("hislip" + std::to_string(next)) != 0) {
            ++next;
        }
        bindings[index].subAddress = "hislip" + std::to_string(next);
        taken.emplace(bindings[index].subAddress, bindings[index].resource);
    }
    return bindings;
}

}  // namespace

std::string Unescape(std::string text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'r' || text[i + 1] == 'n')) {
            out += text[i + 1] == 'r' ? '\r' : '\n';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool ReadRandomDirective(const std::string& answer, RandomDirective& directive, std::string& error)
{
    static const std::string kStart = "{RANDOM(";
    const size_t at = answer.find(kStart);
    if (at == std::string::npos) {
        return false;
    }
    size_t pos = at + kStart.size();
    const std::string low = NumberText(answer, pos);
    const bool first = IsRandomSeparator(answer, pos);
    const std::string high = first ? NumberText(answer, pos) : std::string();
    const bool second = first && IsRandomSeparator(answer, pos);
    const std::string count = second ? NumberText(answer, pos) : std::string();
    int64_t n = -1;
    if (!second || pos >= answer.size() || answer[pos] != ')' || !PyFloatFromText(low, directive.low) ||
        !PyFloatFromText(high, directive.high) || !PyIntFromText(count, 10, n) || n < 0 || n > 100000) {
        error = "RANDOM can't be read in '" + answer + "': write {RANDOM(min, max, count):format}";
        return false;
    }
    directive.count = static_cast<uint32_t>(n);
    directive.rest = answer;
    directive.rest.erase(at + 1, pos + 1 - (at + 1));
    std::vector<TemplatePiece> pieces;
    std::string why;
    if (!ParseTemplate(directive.rest, pieces, &why)) {
        error = "RANDOM answer '" + answer + "' can't be formatted: " + why;
        return false;
    }
    return true;
}

namespace {

bool LoadReporting(const std::string& path, const std::string* text, std::vector<Binding>& bindings,
                   std::string& error)
{
    try {
        Loader loader;
        bindings = loader.Load(path, text);
        return true;
    } catch (const LoadFault& fault) {
        error = fault.text;
    } catch (const std::exception& e) {
        error = path + ":1:1: " + e.what();
    }
    bindings.clear();
    return false;
}

}  // namespace

bool LoadDefinitionText(const std::string& path, const std::string& text, std::vector<Binding>& bindings,
                        std::string& error)
{
    return LoadReporting(path, &text, bindings, error);
}

bool LoadDefinitionFile(const std::string& path, std::vector<Binding>& bindings, std::string& error)
{
    return LoadReporting(path, nullptr, bindings, error);
}

}  // namespace tarvos::definition
