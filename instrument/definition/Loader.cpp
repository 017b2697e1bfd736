#include "instrument/definition/Loader.h"

#include <algorithm>
#include <exception>
#include <map>

#include "instrument/definition/DeviceReader.h"
#include "instrument/definition/PyFormat.h"
#include "instrument/definition/YamlReader.h"
#include "platform/SettingsFile.h"

namespace tarvos::definition {

std::string StripSpaces(const std::string& text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

namespace {

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
        r.Fail(root, "a definition file is a mapping with a format version, devices and resources");
    }
    const YAML::Node version = FileReader::Get(root, "spec");
    if (!version.IsDefined()) {
        r.Fail(root, "the file names no format version (\"1.0\" or \"1.1\")");
    }
    const std::string v = r.Text(version, "the format version");
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
        binding.definition = ReadDevice(sr, deviceName, dd, rd);
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
