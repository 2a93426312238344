#pragma once

// The library's parameter file: one YAML map with an entry per device ("damiaomotor<id>",
// "feetechmotor<id>"). Both device families read their entry through ReadParamEntry.

#include <yaml-cpp/yaml.h>

#include <string>


#ifndef JOINTBUS_PARAM_FILE
#define JOINTBUS_PARAM_FILE "/usr/local/share/jointbus/config/motor_.yaml"
#endif

// What reading an entry gave: 0, or -1 with yaml-cpp's message.
struct ParamRead {
    int result = 0;
    std::string message;
};

// Loads the file at `path` and hands its entry `key` to read(entry), which converts the keys
// it needs (a missing or unconvertible key throws). Logs nothing: the device's own reader
// logs, so that its lines carry that reader as their source.
template <typename Read>
ParamRead ReadParamEntry(const std::string& path, const std::string& key, Read&& read) {
    try {
        const YAML::Node root = YAML::LoadFile(path);
        read(root[key]);
    } catch (const YAML::Exception& e) {
        return {-1, e.what()};
    }
    return {};
}
