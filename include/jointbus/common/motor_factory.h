#pragma once

// Builds motors from the entries of a YAML motor configuration file. Header-only: it is
// compiled into the program that includes it, and its log lines name this header.
//
// Keys of an entry: "vendor" (required; "damiao" or "feetech", case-insensitive), "id",
// "dev_name", "inverse"; for Damiao motors "mode", "master_id", "kp", "kd", "motor_model";
// "feedback_timeout_ms" (0 to 60000, 0 switches the feedback watch off; a bad value throws);
// for Feetech servos "baudrate". Values that cannot be converted make yaml-cpp throw
// (YAML::Exception) for "vendor", "id", "dev_name", "mode" and "master_id"; the others fall
// back to their defaults.

#include <yaml-cpp/yaml.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/logger.h"

namespace jointbus_factory_detail {

// A key that is absent gives the default; a present one must convert (or throws).
template <typename T>
T Required(const YAML::Node& entry, const char* key, const T& absent) {
    const YAML::Node value = entry[key];
    return value.IsDefined() ? value.as<T>() : absent;
}

// A key that is absent or cannot be converted gives the default.
template <typename T>
T Lenient(const YAML::Node& entry, const char* key, const T& fallback) {
    const YAML::Node value = entry[key];
    return value.IsDefined() ? value.as<T>(fallback) : fallback;
}

// Largest feedback time-out of a Damiao entry, in milliseconds (a minute).
constexpr long long kMaxFeedbackTimeoutMs = 60000;

// The entry's vendor in lower case; "" when it has none that reads as text.
inline std::string VendorOf(const YAML::Node& entry) {
    const YAML::Node node = entry["vendor"];
    std::string vendor = node.IsDefined() && node.IsScalar() ? node.Scalar() : "";
    for (auto& c : vendor) c = char(std::tolower(static_cast<unsigned char>(c)));
    return vendor;
}

}  // namespace jointbus_factory_detail

// The keys whose values MotorAllocate uses for `entry`, by its vendor: none for an entry it
// does not build a motor from. Keep in step with MotorAllocate below.
inline std::vector<const char*> MotorEntryKeys(const YAML::Node& entry) {
    if (!entry.IsMap()) return {};
    const std::string vendor = jointbus_factory_detail::VendorOf(entry);
    if (vendor == "damiao")
        return {"vendor", "id", "dev_name", "inverse", "mode", "master_id", "kp", "kd",
                "motor_model", "feedback_timeout_ms"};
    if (vendor == "feetech") return {"vendor", "id", "dev_name", "inverse", "baudrate"};
    return {};
}

// Seconds since the motor's last feedback, for the kinds of motor that keep that age: 0, or
// non-zero when the motor has none to offer (no feedback yet, or a kind without it).
inline int MotorFeedbackAge(CtrlMotorInterface& motor, double& seconds) {
    if (auto* joint = dynamic_cast<damiaoMotor*>(&motor)) return joint->getFeedbackAge(seconds);
    if (auto* servo = dynamic_cast<feetechMotor*>(&motor)) return servo->getFeedbackAge(seconds);
    return -1;
}

// Returns the motor described by one entry, or an empty pointer for a null entry, an entry
// without vendor, or an unknown vendor. Calls no operation of the motor.
inline std::shared_ptr<CtrlMotorInterface> MotorAllocate(const YAML::Node& entry) {
    using namespace jointbus_factory_detail;
    if (entry.IsNull()) return nullptr;
    if (!entry["vendor"].IsDefined()) {
        LOG_ERROR("Must specify motor vendor name!!!\r\n");
        return nullptr;
    }
    entry["vendor"].as<std::string>();  // a vendor that is not text throws, as any bad key
    const std::string vendor = VendorOf(entry);
    LOG_INFO("Allocate Motor: {}", vendor);

    const int id = Required<int>(entry, "id", 0);
    const std::string devName = Required<std::string>(entry, "dev_name", "");
    const bool inverse = Lenient<bool>(entry, "inverse", false);

    if (vendor == "damiao") {
        const int mode = Required<int>(entry, "mode", 0);
        const int masterId = Required<int>(entry, "master_id", 0);
        const float kp = Lenient<float>(entry, "kp", 15.0f);
        const float kd = Lenient<float>(entry, "kd", 1.0f);
        const int model = Lenient<int>(entry, "motor_model", 4340);
        LOG_INFO("id: {:#X}; master_id: {:#X}; mode: {}; strdev: {}, inverse: {}\r\n", id, masterId,
                 mode, devName, inverse);
        LOG_INFO("motor_model: {}\r\n", model);
        auto motor = std::make_shared<damiaoMotor>(model, unsigned(id), unsigned(mode),
                                                   unsigned(masterId), devName, inverse, kp, kd);
        const YAML::Node timeout = entry["feedback_timeout_ms"];
        if (timeout.IsDefined()) {
            const long long ms = timeout.as<long long>();  // text or a fraction throws
            if (ms < 0 || ms > kMaxFeedbackTimeoutMs)
                throw YAML::Exception(timeout.Mark(),
                                      "feedback_timeout_ms must be a whole number from 0 to " +
                                          std::to_string(kMaxFeedbackTimeoutMs));
            motor->setFeedbackTimeout(unsigned(ms));
            if (ms == 0)
                LOG_INFO("feedback_timeout_ms: 0, the feedback watch is off\r\n");
            else
                LOG_INFO("feedback_timeout_ms: {}\r\n", ms);
        }
        return motor;
    }
    if (vendor == "feetech") {
        const int baud = Lenient<int>(entry, "baudrate", 115200);
        LOG_INFO("id: {:#X}; baud: {}; device name: {}; inverse: {}\r\n", id, baud, devName,
                 inverse);
        std::string device = devName;
        return std::make_shared<feetechMotor>(unsigned(id), unsigned(baud), device, inverse);
    }
    return nullptr;
}
