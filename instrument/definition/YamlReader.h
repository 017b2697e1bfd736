// Reading a definition file's YAML: where a fault is reported (the file, line
// and column of the node), and scalars read as the simulator reads them (every
// scalar is text).
#pragma once

#include <yaml-cpp/yaml.h>

#include <string>

namespace tarvos::definition {

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

// The text with the spaces at both ends taken off (as the simulator strips
// 'q' and 'r').
std::string StripSpaces(const std::string& text);

}  // namespace tarvos::definition
