// The bench tool's configuration: a document of any shape, its motor list read entry by entry
// through the factory as the tool reads it. The reader's own exceptions are the defined
// outcome (the tool stops with status 255); anything else escaping is a fault.

#include <yaml-cpp/yaml.h>

#include <cstdint>
#include <string>

#include "jointbus/common/motor_factory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const YAML::Node config = YAML::Load(text);
        const YAML::Node list = config.IsMap() ? config["motor_init_para"] : YAML::Node();
        if (list.IsSequence()) {
            for (const auto& entry : list) MotorAllocate(entry);
        }
    } catch (const YAML::Exception&) {
    }
    return 0;
}
