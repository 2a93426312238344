#include <map>

#include "jointbus/common/motor_factory.h"
#include "jointbus/dds/joint_bridge.h"

namespace jointbus {
namespace {

// The last part of a bus's path ("/dev/ttyUSB0" gives "ttyUSB0"), with every character that is
// not a letter or digit made '_'.
std::string BusPart(const std::string& bus) {
    std::string part = bus.substr(bus.find_last_of('/') + 1);
    for (auto& c : part)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return part;
}

}  // namespace

bool JointNames(const YAML::Node& config, const std::vector<size_t>& entries,
                const std::vector<std::shared_ptr<CtrlMotorInterface>>& motors,
                std::vector<std::string>& names, std::string& error) {
    names.clear();
    if (entries.size() != motors.size()) {
        error = "joint names: one entry position per motor is needed";
        return false;
    }
    const YAML::Node list = config.IsMap() ? config["motor_init_para"] : YAML::Node();
    std::vector<bool> given(motors.size(), false);
    std::map<std::string, int> defaults;  // how many motors share each default name
    for (size_t i = 0; i < motors.size(); ++i) {
        const YAML::Node entry =
            list.IsSequence() && entries[i] >= 1 && entries[i] <= list.size()
                ? list[entries[i] - 1]
                : YAML::Node();
        const YAML::Node name = entry.IsMap() ? entry["name"] : YAML::Node();
        if (name.IsDefined() && !name.IsNull()) {
            if (!name.IsScalar() || name.Scalar().empty()) {
                error = "motor_init_para entry " + std::to_string(entries[i]) +
                        ": name must be a non-empty text";
                return false;
            }
            names.push_back(name.Scalar());
            given[i] = true;
            continue;
        }
        const MotorFamily* family = MotorFamilyOf(*motors[i]);
        names.push_back(std::string(family != nullptr ? family->vendor : "motor") + "_" +
                        std::to_string(motors[i]->motor_id));
        ++defaults[names.back()];
    }
    for (size_t i = 0; i < motors.size(); ++i)
        if (!given[i] && defaults[names[i]] > 1) names[i] += "_" + BusPart(MotorBus(*motors[i]));
    for (size_t i = 0; i < names.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (names[i] != names[j]) continue;
            error = "motor_init_para entries " + std::to_string(entries[j]) + " and " +
                    std::to_string(entries[i]) + " have the same joint name \"" + names[i] + "\"";
            names.clear();
            return false;
        }
    }
    return true;
}

}  // namespace jointbus
