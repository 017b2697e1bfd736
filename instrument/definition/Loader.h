// Reads a definition file (and the files its resources name) into devices
// bound to sub-addresses. Every fault is reported as "<file>:<line>:<column>:
// <what is wrong>", and nothing is bound then.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "instrument/definition/DeviceModel.h"

namespace tarvos::definition {

struct Binding {
    // hislip0, hislip1, ...
    std::string subAddress;
    std::string resource;
    std::string device;
    std::shared_ptr<const DeviceDef> definition;
};

// The file's resources, each with its own device, bound in the file's order:
// a resource whose name has the device name hislipN takes hislipN, the others
// the lowest hislipN left free. False with the report when anything is wrong.
bool LoadDefinitionFile(const std::string& path, std::vector<Binding>& bindings, std::string& error);

// The same from text in memory; path names it in reports and is where the
// files its resources name are looked for.
bool LoadDefinitionText(const std::string& path, const std::string& text, std::vector<Binding>& bindings,
                        std::string& error);

// Reads the {RANDOM(min, max, n):format} directive of an answer: false when the
// answer has none; error set when it has one that can't be read.
bool ReadRandomDirective(const std::string& answer, RandomDirective& directive, std::string& error);

// The file format's escapes: the two characters \r and \n in a text become
// CR and LF.
std::string Unescape(std::string text);

}  // namespace tarvos::definition
