// One device of a definition file read into its model: error handling, end
// of message texts, dialogues, properties and channel groups.
#pragma once

#include <memory>
#include <string>

#include "instrument/definition/DeviceModel.h"
#include "instrument/definition/YamlReader.h"

namespace tarvos::definition {

// The device named name, described by dict in the file r reads; resource is
// the resource that names it (its channel_ids replace a group's ids).
std::shared_ptr<DeviceDef> ReadDevice(const FileReader& r, const std::string& name, const YAML::Node& dict,
                                      const YAML::Node& resource);

}  // namespace tarvos::definition
