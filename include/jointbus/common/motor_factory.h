#pragma once

// Builds motors from the entries of a YAML motor configuration file. Header-only: it is
// compiled into the program that includes it, and its log lines name this header.
//
// Keys of an entry: "vendor" (required; "damiao" or "feetech", case-insensitive), "id",
// "dev_name", "inverse", "name" (the joint's name, read by the DDS bridge only); for Damiao
// motors "mode", "master_id", "kp", "kd", "motor_model";
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
#include "jointbus/common/command_watchdog.h"
#include "jointbus/common/impedance.h"
#include "jointbus/common/motor_limits.h"

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

// The entry's vendor in lower case, as the reader converts it (a null value reads "null");
// "" when it has none that reads as text.
inline std::string VendorOf(const YAML::Node& entry) {
    const YAML::Node node = entry["vendor"];
    std::string vendor = node.IsDefined() && (node.IsScalar() || node.IsNull())
                             ? node.as<std::string>()
                             : "";
    for (auto& c : vendor) c = char(std::tolower(static_cast<unsigned char>(c)));
    return vendor;
}

// The keys every entry shares; MotorAllocate reads them before it picks the family.
struct CommonKeys {
    int id = 0;
    std::string devName;
    bool inverse = false;
};

// The entry's "limits" map ({position: [min, max], velocity, torque, step}), checked against
// the model's ranges and set on `motor`; no map, no limits. A family that takes no torque limit
// passes maxTorque 0. A bad key or value throws YAML::Exception naming it.
inline void ApplyLimits(const YAML::Node& entry, CtrlMotorInterface& motor, const char* what,
                        double maxPosition, double maxVelocity, double maxTorque) {
    const YAML::Node node = entry["limits"];
    if (!node.IsDefined() || node.IsNull()) return;
    const std::string at = "limits of " + std::string(what) + " " + std::to_string(motor.motor_id);
    auto fail = [&](const YAML::Node& where, const std::string& message) {
        throw YAML::Exception(where.Mark(), at + ": " + message);
    };
    if (!node.IsMap()) fail(node, "must be a map of position, velocity, torque and step");
    jointbus::MotorLimits limits;
    for (const auto& item : node) {
        const std::string key = item.first.as<std::string>();
        const YAML::Node value = item.second;
        if (key == "position") {
            if (!value.IsSequence() || value.size() != 2) fail(value, "position must be [min, max]");
            limits.positionMin = value[0].as<double>();
            limits.positionMax = value[1].as<double>();
            if (limits.positionMin < -maxPosition || limits.positionMax > maxPosition)
                fail(value, "position is beyond the model's range of +-" +
                                fmt::format("{:g}", maxPosition) + " rad");
        } else if (key == "velocity") {
            limits.velocity = value.as<double>();
            if (limits.velocity > maxVelocity)
                fail(value, fmt::format("velocity {:g} is beyond the model's {:g} rad/s",
                                        limits.velocity, maxVelocity));
        } else if (key == "torque") {
            if (maxTorque == 0) fail(item.first, "a servo takes no torque limit");
            limits.torque = value.as<double>();
            if (limits.torque > maxTorque)
                fail(value, fmt::format("torque {:g} is beyond the model's {:g} N·m",
                                        limits.torque, maxTorque));
        } else if (key == "step") {
            limits.step = value.as<double>();
        } else {
            fail(item.first, "unknown key \"" + key + "\" (position, velocity, torque, step)");
        }
    }
    const std::string wrong = jointbus::CheckMotorLimits(limits);
    if (!wrong.empty()) fail(node, wrong);
    jointbus::SetMotorLimits(&motor, limits);
    LOG_INFO("{} {}: limits position [{:g}, {:g}], velocity {:g}, torque {:g}, step {:g}\r\n",
             what, motor.motor_id, limits.positionMin, limits.positionMax, limits.velocity,
             limits.torque, limits.step);
}

// The "safety" map ({command_timeout_ms, on_command_timeout, on_exit, damp_ms, damp_kd,
// stall_ms, max_temperature, on_fault, bumpless_enable}): the file's root map, with the entry's own on top of
// it, key by key. No timeout, no watchdog; no on_exit, today's hold and disable; neither
// stall_ms nor max_temperature, no fault watch. A bad key or value throws YAML::Exception
// naming it.
inline void ApplySafety(const YAML::Node& root, const YAML::Node& own, CtrlMotorInterface& motor,
                        const char* what) {
    jointbus::CommandWatchdog watchdog;
    jointbus::ExitPolicy exit;
    bool exitGiven = false;
    jointbus::FaultWatch faults;
    bool faultsGiven = false;
    bool bumpless = false;
    const YAML::Node* last = nullptr;  // the map that said the last word, for its position
    const std::pair<const YAML::Node*, std::string> maps[] = {
        {&root, "safety"},
        {&own, "safety of " + std::string(what) + " " + std::to_string(motor.motor_id)}};
    auto* damiao = dynamic_cast<damiaoMotor*>(&motor);
    const bool canDamp = damiao != nullptr && damiao->mode == Damiao::kMit;
    for (const auto& map : maps) {
        const YAML::Node& node = *map.first;
        const std::string& at = map.second;  // a plain name: lambdas take no structured binding
        if (!node.IsDefined() || node.IsNull()) continue;
        last = &node;
        auto fail = [&](const YAML::Node& where, const std::string& message) {
            throw YAML::Exception(where.Mark(), at + ": " + message);
        };
        if (!node.IsMap())
            fail(node, "must be a map of command_timeout_ms, on_command_timeout, on_exit, "
                       "damp_ms, damp_kd, stall_ms, max_temperature, on_fault and "
                       "bumpless_enable");
        // hold, disable or damp, for on_command_timeout and on_fault alike.
        auto policyOf = [&](const YAML::Node& value, const std::string& key) {
            const std::string policy = value.as<std::string>();
            if (policy == "hold") return jointbus::OnCommandTimeout::kHold;
            if (policy == "disable") return jointbus::OnCommandTimeout::kDisable;
            if (policy == "damp" && canDamp) return jointbus::OnCommandTimeout::kDamp;
            if (policy == "damp")
                fail(value, key + " damp: only a Damiao motor in MIT mode can damp (hold or "
                                  "disable)");
            fail(value, key + " must be hold, disable or damp, not \"" + policy + "\"");
            return jointbus::OnCommandTimeout::kHold;  // not reached
        };
        for (const auto& item : node) {
            const std::string key = item.first.as<std::string>();
            const YAML::Node value = item.second;
            if (key == "command_timeout_ms") {
                const long long ms = value.as<long long>();  // text or a fraction throws
                if (ms < 0 || ms > jointbus::CommandWatchdog::kMaxTimeoutMs)
                    fail(value, "command_timeout_ms must be a whole number from 0 to " +
                                    std::to_string(jointbus::CommandWatchdog::kMaxTimeoutMs));
                watchdog.timeoutMs = int(ms);
            } else if (key == "on_command_timeout") {
                watchdog.policy = policyOf(value, key);
            } else if (key == "on_fault") {
                faults.onFault = policyOf(value, key);
                faultsGiven = true;
            } else if (key == "bumpless_enable") {
                bumpless = value.as<bool>();
            } else if (key == "stall_ms") {
                faults.stallMs = value.as<int>();
                faultsGiven = true;
            } else if (key == "max_temperature") {
                faults.maxTemperature = value.as<int>();
                faultsGiven = true;
            } else if (key == "on_exit") {
                const std::string policy = value.as<std::string>();
                if (policy == "hold_then_disable")
                    exit.onExit = jointbus::OnExit::kHoldThenDisable;
                else if (policy == "damp_then_disable")
                    exit.onExit = jointbus::OnExit::kDampThenDisable;
                else
                    fail(value, "on_exit must be hold_then_disable or damp_then_disable, not \"" +
                                    policy + "\"");
                exitGiven = true;
            } else if (key == "damp_ms") {
                const long long ms = value.as<long long>();
                if (ms < 1 || ms > jointbus::ExitPolicy::kMaxDampMs)
                    fail(value, "damp_ms must be a whole number from 1 to " +
                                    std::to_string(jointbus::ExitPolicy::kMaxDampMs));
                exit.dampMs = int(ms);
                exitGiven = true;
            } else if (key == "damp_kd") {
                exit.dampKd = value.as<double>();
                if (!(exit.dampKd >= 0)) fail(value, "damp_kd must be 0 or more");
                exitGiven = true;
            } else {
                fail(item.first, "unknown key \"" + key +
                                     "\" (command_timeout_ms, on_command_timeout, on_exit, "
                                     "damp_ms, damp_kd, stall_ms, max_temperature, on_fault, "
                                     "bumpless_enable)");
            }
        }
    }
    // A check across keys, named by the entry's map, at the position of the map that said last.
    auto refuse = [&](const std::string& wrong) {
        throw YAML::Exception(last->Mark(), maps[1].second + ": " + wrong);
    };
    if (exitGiven) {
        const std::string wrong = jointbus::CheckExitPolicy(&motor, exit);
        if (!wrong.empty()) refuse(wrong);
        jointbus::SetExitPolicy(&motor, exit);
        const bool damps = exit.onExit == jointbus::OnExit::kDampThenDisable;
        LOG_INFO("{} {}: on exit {}\r\n", what, motor.motor_id,
                 !damps    ? std::string("hold, then disable")
                 : canDamp ? fmt::format("damp for {} ms with kd {:g}, then disable",
                                         exit.dampMs, exit.dampKd < 0 ? damiao->kd : exit.dampKd)
                           : std::string("hold, then disable (only MIT mode damps)"));
    }
    if (bumpless) {
        jointbus::SetBumplessEnable(&motor, true);
        LOG_INFO("{} {}: bumpless enable\r\n", what, motor.motor_id);
    }
    if (faultsGiven) {
        const std::string wrong = jointbus::CheckFaultWatch(&motor, faults);
        if (!wrong.empty()) refuse(wrong);
        jointbus::SetFaultWatch(&motor, faults);
        LOG_INFO("{} {}: fault watch: stall {} ms, max temperature {} °C\r\n", what,
                 motor.motor_id, faults.stallMs, faults.maxTemperature);
    }
    if (watchdog.timeoutMs == 0) return;
    jointbus::SetCommandWatchdog(&motor, watchdog);
    LOG_INFO("{} {}: command watchdog {} ms, then {}\r\n", what, motor.motor_id,
             watchdog.timeoutMs,
             watchdog.policy == jointbus::OnCommandTimeout::kHold      ? "hold"
             : watchdog.policy == jointbus::OnCommandTimeout::kDisable ? "disable"
                                                                       : "damp, then disable");
}

inline std::shared_ptr<CtrlMotorInterface> MakeDamiao(const YAML::Node& entry,
                                                      const CommonKeys& common) {
    const int mode = Required<int>(entry, "mode", 0);
    const int masterId = Required<int>(entry, "master_id", 0);
    const float kp = Lenient<float>(entry, "kp", 15.0f);
    const float kd = Lenient<float>(entry, "kd", 1.0f);
    const int model = Lenient<int>(entry, "motor_model", 4340);
    LOG_INFO("id: {:#X}; master_id: {:#X}; mode: {}; strdev: {}, inverse: {}\r\n", common.id,
             masterId, mode, common.devName, common.inverse);
    LOG_INFO("motor_model: {}\r\n", model);
    auto motor =
        std::make_shared<damiaoMotor>(model, unsigned(common.id), unsigned(mode),
                                      unsigned(masterId), common.devName, common.inverse, kp, kd);
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
    ApplyLimits(entry, *motor, "Damiao motor", motor->P_MAX, motor->V_MAX, motor->T_MAX);
    return motor;
}

inline std::shared_ptr<CtrlMotorInterface> MakeFeetech(const YAML::Node& entry,
                                                       const CommonKeys& common) {
    const int baud = Lenient<int>(entry, "baudrate", 115200);
    LOG_INFO("id: {:#X}; baud: {}; device name: {}; inverse: {}\r\n", common.id, baud,
             common.devName, common.inverse);
    std::string device = common.devName;
    auto motor = std::make_shared<feetechMotor>(unsigned(common.id), unsigned(baud), device,
                                                common.inverse);
    constexpr double kServoHalfTurn = 3.141592653589793;  // its range is -180 to 180 degrees
    ApplyLimits(entry, *motor, "Feetech servo", kServoHalfTurn, jointbus::MotorLimits::kNone, 0);
    return motor;
}

template <typename Device>
bool IsA(const CtrlMotorInterface& motor) {
    return dynamic_cast<const Device*>(&motor) != nullptr;
}

template <typename Device>
int FeedbackAgeOf(CtrlMotorInterface& motor, double& seconds) {
    return static_cast<Device&>(motor).getFeedbackAge(seconds);
}

inline std::string DamiaoBus(const CtrlMotorInterface& motor) {
    return static_cast<const damiaoMotor&>(motor).dev_name;
}

inline std::string FeetechBus(const CtrlMotorInterface& motor) {
    return static_cast<const feetechMotor&>(motor).uartDevice;
}

// Cuts a waiting setHome short; only stores a lock-free flag, so a signal handler may call it.
inline void AbortServoHome(CtrlMotorInterface* motor) {
    static_cast<feetechMotor*>(motor)->abortHome();
}

}  // namespace jointbus_factory_detail

// One motor family of the configuration file. A new family is one entry of MotorFamilies().
struct MotorFamily {
    const char* vendor;  // the entry's "vendor", lower case
    const char* name;    // for messages: "Damiao motor", "Feetech servo"
    // The keys its maker reads, besides "vendor", "id", "dev_name" and "inverse".
    std::vector<const char*> keys;
    // Builds the motor of an entry (no operation of the motor called); a bad value throws
    // YAML::Exception.
    std::shared_ptr<CtrlMotorInterface> (*make)(const YAML::Node& entry,
                                                const jointbus_factory_detail::CommonKeys& common);
    bool (*owns)(const CtrlMotorInterface& motor);  // whether a motor is of this family
    // Seconds since the motor's last feedback: 0, or non-zero when there is none yet.
    int (*feedbackAge)(CtrlMotorInterface& motor, double& seconds);
    // For a family whose setHome waits until the motor is home (minutes, not milliseconds):
    // cuts that wait short, and may be called from a signal handler. Null for the others.
    void (*abortHome)(CtrlMotorInterface* motor);
    // The bus the motor is on: its CAN interface or serial port.
    std::string (*bus)(const CtrlMotorInterface& motor);
};

inline const std::vector<MotorFamily>& MotorFamilies() {
    using namespace jointbus_factory_detail;
    static const std::vector<MotorFamily> families = {
        {"damiao",
         "Damiao motor",
         {"mode", "master_id", "kp", "kd", "motor_model", "feedback_timeout_ms", "limits"},
         MakeDamiao,
         IsA<damiaoMotor>,
         FeedbackAgeOf<damiaoMotor>,
         nullptr,
         DamiaoBus},
        {"feetech",
         "Feetech servo",
         {"baudrate", "limits"},
         MakeFeetech,
         IsA<feetechMotor>,
         FeedbackAgeOf<feetechMotor>,
         AbortServoHome,
         FeetechBus},
    };
    return families;
}

// The family of a vendor name (lower case), or null.
inline const MotorFamily* FindMotorFamily(const std::string& vendor) {
    for (const auto& family : MotorFamilies())
        if (vendor == family.vendor) return &family;
    return nullptr;
}

// The family a motor belongs to, or null (a motor the factory does not build).
inline const MotorFamily* MotorFamilyOf(const CtrlMotorInterface& motor) {
    for (const auto& family : MotorFamilies())
        if (family.owns(motor)) return &family;
    return nullptr;
}

// The keys whose values MotorAllocate uses for `entry`, by its vendor: none for an entry it
// does not build a motor from.
inline std::vector<const char*> MotorEntryKeys(const YAML::Node& entry) {
    if (!entry.IsMap()) return {};
    const MotorFamily* family = FindMotorFamily(jointbus_factory_detail::VendorOf(entry));
    if (family == nullptr) return {};
    std::vector<const char*> keys = {"vendor", "id", "dev_name", "inverse", "name", "safety"};
    keys.insert(keys.end(), family->keys.begin(), family->keys.end());
    return keys;
}

// Seconds since the motor's last feedback, for the kinds of motor that keep that age: 0, or
// non-zero when the motor has none to offer (no feedback yet, or a kind without it).
inline int MotorFeedbackAge(CtrlMotorInterface& motor, double& seconds) {
    const MotorFamily* family = MotorFamilyOf(motor);
    return family != nullptr ? family->feedbackAge(motor, seconds) : -1;
}

// The bus a motor is on (its CAN interface or serial port); "" for a kind the factory does
// not build.
inline std::string MotorBus(const CtrlMotorInterface& motor) {
    const MotorFamily* family = MotorFamilyOf(motor);
    return family != nullptr ? family->bus(motor) : std::string();
}

// Whether the motor's setHome waits until it is home, and so may take minutes.
inline bool MotorHomesSlowly(const CtrlMotorInterface& motor) {
    const MotorFamily* family = MotorFamilyOf(motor);
    return family != nullptr && family->abortHome != nullptr;
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

    CommonKeys common;
    common.id = Required<int>(entry, "id", 0);
    common.devName = Required<std::string>(entry, "dev_name", "");
    common.inverse = Lenient<bool>(entry, "inverse", false);
    const MotorFamily* family = FindMotorFamily(vendor);
    return family != nullptr ? family->make(entry, common) : nullptr;
}
