#pragma once

// The library's parameter file: one YAML map with an entry per device ("damiaomotor<id>",
// "feetechmotor<id>"). Both device families read their entry through ReadParamEntry.

#include <yaml-cpp/yaml.h>

#include <string>

#include "jointbus/common/logger.h"

#ifndef JOINTBUS_PARAM_FILE
#define JOINTBUS_PARAM_FILE "/usr/local/share/jointbus/config/motor_.yaml"
#endif

// Loads the file at `path` and hands its entry `key` to read(entry), which converts the keys
// it needs (a missing or unconvertible key throws). Returns 0 after logging `loaded`, or -1
// after logging `errorPrefix` and yaml-cpp's message when the file or a key could not be read.
template <typename Read>
int ReadParamEntry(const std::string& path, const std::string& key, Read&& read,
                   const char* errorPrefix, const char* loaded) {
    try {
        const YAML::Node root = YAML::LoadFile(path);
        read(root[key]);
    } catch (const YAML::Exception& e) {
        LOG_ERROR("{}{}\r\n", errorPrefix, e.what());
        return -1;
    }
    LOG_INFO("{}", loaded);
    return 0;
}
