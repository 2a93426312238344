#pragma once

// A whole motor configuration file: reading it and building its motors with the factory,
// with the errors a user sees from the tools. Header-only, like the factory.
//
//   motor_init_para:
//     - {vendor: damiao, id: 1, master_id: 0x11, dev_name: can0, mode: 0, motor_model: 4310}
//     - {vendor: feetech, id: 1, dev_name: /dev/ttyUSB0, baudrate: 1000000}

#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "jointbus/common/can_settings.h"
#include "jointbus/common/motor_factory.h"
#include "jointbus/common/realtime.h"

// The key of an entry whose value the factory uses and that reads as NaN or an infinity
// (.nan, .inf, -.inf), or "" when there is none. No motor setting takes such a value, and a
// gain of NaN would drive a motor. Keys the factory ignores may hold anything.
inline std::string NonFiniteKey(const YAML::Node& entry) {
    if (!entry.IsMap()) return "";
    for (const char* key : MotorEntryKeys(entry)) {
        const YAML::Node value = entry[key];
        double number = 0;
        if (value.IsDefined() && value.IsScalar() && YAML::convert<double>::decode(value, number) &&
            !std::isfinite(number))
            return key;
    }
    return "";
}

// Reads the file at `path`; false with the message in `error` when it is missing or not YAML.
inline bool ReadMotorConfig(const std::string& path, YAML::Node& config, std::string& error) {
    if (access(path.c_str(), F_OK) != 0) {
        error = "config file " + path + " not found, exit...";
        return false;
    }
    try {
        config = YAML::LoadFile(path);
    } catch (const YAML::Exception& e) {
        error = "config file " + path + ": " + e.what();
        return false;
    }
    return true;
}

// Which motor an entry describes: its family, id and bus. Two entries with the same identity
// would drive one motor twice.
struct MotorIdentity {
    std::string vendor;
    int id = 0;
    std::string bus;
    size_t entry = 0;  // position in the list, from 1

    bool SameMotor(const MotorIdentity& other) const {
        return vendor == other.vendor && id == other.id && bus == other.bus;
    }
};

// The map under the root key `key`, for the readers below: `map` stays empty when the key
// is absent or empty; false with the message in `error` when it holds something else than a
// map (`what` says what it should map).
inline bool OptionalRootMap(const YAML::Node& config, const std::string& where, const char* key,
                            const char* what, YAML::Node& map, std::string& error) {
    const YAML::Node node = config.IsMap() ? config[key] : YAML::Node();
    if (!node.IsDefined() || node.IsNull()) return true;
    if (!node.IsMap()) {
        error = where + " must " + what;
        return false;
    }
    map = node;
    return true;
}

// A map key as text ("" for one that is not a scalar).
inline std::string KeyText(const YAML::Node& key) {
    return key.IsScalar() ? key.Scalar() : std::string();
}

// The file's "can_interfaces" map (interface name to tick_us, frame_gap_us and can_fd), each
// interface's settings read and checked into `out`: false with the message in `error` on an
// unknown key, a value that is not a whole number (true or false for can_fd) or one out of
// range. An absent map gives none.
inline bool ReadCanInterfaces(
    const YAML::Node& config, const std::string& path,
    std::vector<std::pair<std::string, jointbus::CanInterfaceSettings>>& out, std::string& error) {
    out.clear();
    const std::string where = "config file " + path + ": can_interfaces";
    YAML::Node map;
    if (!OptionalRootMap(config, where, "can_interfaces",
                         "map each interface's name to its settings", map, error))
        return false;
    for (const auto& item : map) {
        const std::string name = KeyText(item.first);
        if (name.empty()) {
            error = where + ": an interface without a name";
            return false;
        }
        const std::string at = where + ": " + name;
        if (!item.second.IsMap()) {
            error = at + " must be a map of tick_us, frame_gap_us and can_fd";
            return false;
        }
        jointbus::CanInterfaceSettings settings;
        for (const auto& field : item.second) {
            const std::string key = KeyText(field.first);
            bool ok = true;
            if (key == "tick_us") {
                ok = YAML::convert<int>::decode(field.second, settings.tickUs);
                if (ok && settings.tickUs == 0) {
                    error = at + ": tick_us must be from " +
                            std::to_string(jointbus::CanInterfaceSettings::kMinTickUs) + " to " +
                            std::to_string(jointbus::CanInterfaceSettings::kMaxTickUs) +
                            " (leave it out for the 5 ms timer), not 0";
                    return false;
                }
            } else if (key == "frame_gap_us") {
                ok = YAML::convert<int>::decode(field.second, settings.frameGapUs);
            } else if (key == "can_fd") {
                ok = YAML::convert<bool>::decode(field.second, settings.canFd);
            } else {
                error = at + ": unknown key \"" + key + "\" (tick_us, frame_gap_us, can_fd)";
                return false;
            }
            if (!ok) {
                error = at + ": " + key + " must be " +
                        (key == "can_fd" ? "true or false" : "a whole number");
                return false;
            }
        }
        const std::string problem = jointbus::CheckCanInterfaceSettings(settings);
        if (!problem.empty()) {
            error = at + ": " + problem;
            return false;
        }
        out.emplace_back(name, settings);
    }
    return true;
}

// The file's "realtime" map (priority, cpus, lock_memory) into `out`: false with the message
// in `error` on an unknown key, a value of the wrong kind or one out of range. An absent map
// gives the defaults (no option).
inline bool ReadRealtime(const YAML::Node& config, const std::string& path,
                         jointbus::RealtimeSettings& out, std::string& error) {
    out = jointbus::RealtimeSettings();
    const std::string at = "config file " + path + ": realtime";
    YAML::Node map;
    if (!OptionalRootMap(config, at, "realtime", "be a map of priority, cpus and lock_memory", map,
                         error))
        return false;
    for (const auto& field : map) {
        const std::string key = KeyText(field.first);
        bool ok = true;
        if (key == "priority") {
            ok = YAML::convert<int>::decode(field.second, out.priority);
            if (ok && out.priority == 0) {
                error = at +
                        ": priority must be from 1 to 99 (leave it out for the normal "
                        "scheduler), not 0";
                return false;
            }
        } else if (key == "cpus") {
            ok = field.second.IsSequence();
            for (size_t i = 0; ok && i < field.second.size(); ++i) {
                int cpu = 0;
                ok = YAML::convert<int>::decode(field.second[i], cpu);
                out.cpus.push_back(cpu);
            }
        } else if (key == "lock_memory") {
            ok = YAML::convert<bool>::decode(field.second, out.lockMemory);
        } else {
            error = at + ": unknown key \"" + key + "\" (priority, cpus, lock_memory)";
            return false;
        }
        if (!ok) {
            error = at + ": " + key + " must be " +
                    (key == "lock_memory" ? "true or false"
                     : key == "cpus"      ? "a list of CPU numbers"
                                          : "a whole number");
            return false;
        }
    }
    const std::string problem = jointbus::CheckRealtimeSettings(out);
    if (!problem.empty()) {
        error = at + ": " + problem;
        return false;
    }
    return true;
}

// What a user wrote in an entry of "motor_init_para" that the factory does not read: a vendor it
// does not build (the entry is skipped) or a key no family reads. Either is most likely a typo
// that would leave a motor undriven or at a default without a word.
struct EntryTypo {
    size_t entry = 0;     // the entry's position in the list, from 1
    bool vendor = false;  // an unknown vendor; else an unknown key
    std::string word;     // as written
    std::string closest;  // the nearest known word, "" when none is near

    std::string Text() const {
        const std::string hint = closest.empty() ? "" : " (did you mean \"" + closest + "\"?)";
        return "motor_init_para entry " + std::to_string(entry) +
               (vendor ? ": unknown vendor \"" + word + "\"" + hint + ", the entry is skipped"
                       : ": unknown key \"" + word + "\"" + hint + ", not read");
    }
};

namespace jointbus_config_detail {

// The edit distance of two words (insertions, deletions and substitutions).
inline size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known word nearest to `word`, if it is near enough to be what was meant.
template <class Words>
std::string Closest(const std::string& word, const Words& known) {
    std::string best;
    size_t bestDistance = std::max<size_t>(1, word.size() / 3) + 1;  // a third of it, or 1
    for (const auto& candidate : known) {
        const size_t d = EditDistance(word, candidate);
        if (d < bestDistance) {
            bestDistance = d;
            best = candidate;
        }
    }
    return best;
}

}  // namespace jointbus_config_detail

// The typos of the file's motor entries, in file order: an entry with a vendor that no family
// has, and each key of a known family's entry that the family does not read. An entry that is
// not a map, or has no vendor, is left to the builder (which skips it).
inline std::vector<EntryTypo> FindEntryTypos(YAML::Node config) {
    std::vector<EntryTypo> typos;
    const YAML::Node list = config.IsMap() ? config["motor_init_para"] : YAML::Node();
    if (!list.IsSequence()) return typos;
    std::vector<std::string> vendors;
    for (const auto& family : MotorFamilies()) vendors.emplace_back(family.vendor);
    size_t position = 0;
    for (const auto& entry : list) {
        ++position;
        if (!entry.IsMap() || !entry["vendor"].IsDefined()) continue;
        const std::string vendor = jointbus_factory_detail::VendorOf(entry);
        if (FindMotorFamily(vendor) == nullptr) {
            const YAML::Node written = entry["vendor"];
            typos.push_back({position, true, written.IsScalar() ? written.Scalar() : vendor,
                             jointbus_config_detail::Closest(vendor, vendors)});
            continue;
        }
        std::vector<std::string> keys;
        for (const char* key : MotorEntryKeys(entry)) keys.emplace_back(key);
        for (const auto& item : entry) {
            const std::string key = KeyText(item.first);
            if (std::find(keys.begin(), keys.end(), key) == keys.end())
                typos.push_back(
                    {position, false, key, jointbus_config_detail::Closest(key, keys)});
        }
    }
    return typos;
}

// Builds a motor for every entry of the file's "motor_init_para" list, in file order. Every
// entry is read before any motor is initialised (motors only open their bus in init), so a bad
// value stops the caller before anything reaches a bus: false with the message in `error`,
// and no motor. The same id may appear once on each bus; two entries of one vendor with the
// same id and dev_name are refused, naming both. True with no motors when the file defines
// none. Each motor takes the "safety" map of the file's root, with its entry's own "safety"
// on top (ApplySafety). The settings of "can_interfaces" and "realtime" are read, checked and
// set first (with jointbus::SetCanInterfaceSettings and jointbus::SetRealtime), so that they
// are in force when the motors are initialised. With `entries`, each motor's entry position in
// the list (from 1) is kept there, in the motors' order. `config` is taken as a mutable
// handle: looking up an absent key must not make it invalid.
inline bool BuildConfiguredMotors(YAML::Node config, const std::string& path,
                                  std::vector<std::shared_ptr<CtrlMotorInterface>>& motors,
                                  std::string& error, std::vector<size_t>* entries = nullptr) {
    motors.clear();
    if (entries != nullptr) entries->clear();
    try {
        std::vector<std::pair<std::string, jointbus::CanInterfaceSettings>> interfaces;
        if (!ReadCanInterfaces(config, path, interfaces, error)) return false;
        jointbus::RealtimeSettings realtime;
        if (!ReadRealtime(config, path, realtime, error)) return false;
        if (realtime.priority != 0 || !realtime.cpus.empty() || realtime.lockMemory)
            jointbus::SetRealtime(realtime);
        for (const auto& entry : interfaces)
            jointbus::SetCanInterfaceSettings(entry.first, entry.second);
        const YAML::Node list = config.IsMap() ? config["motor_init_para"] : YAML::Node();
        if (!list.IsSequence()) return true;
        std::vector<MotorIdentity> built;
        size_t position = 0;
        for (const auto& entry : list) {
            ++position;
            const std::string key = NonFiniteKey(entry);
            if (!key.empty()) {
                motors.clear();
                if (entries != nullptr) entries->clear();
                error = "config file " + path + ": " + key + " is NaN or inf, not a usable number";
                return false;
            }
            auto motor = MotorAllocate(entry);
            if (!motor) continue;
            jointbus_factory_detail::ApplySafety(config.IsMap() ? config["safety"] : YAML::Node(),
                                                 entry["safety"], *motor,
                                                 MotorFamilyOf(*motor)->name);
            const MotorIdentity identity{jointbus_factory_detail::VendorOf(entry),
                                         int(motor->motor_id), MotorBus(*motor), position};
            for (const auto& earlier : built) {
                if (!earlier.SameMotor(identity)) continue;
                motors.clear();
                if (entries != nullptr) entries->clear();
                error = "config file " + path + ": entries " + std::to_string(earlier.entry) +
                        " and " + std::to_string(identity.entry) + " are the same motor (" +
                        identity.vendor + " id " + std::to_string(identity.id) + " on " +
                        (identity.bus.empty() ? "no dev_name" : identity.bus) + ")";
                return false;
            }
            built.push_back(identity);
            motors.push_back(std::move(motor));
            if (entries != nullptr) entries->push_back(position);
        }
    } catch (const YAML::Exception& e) {
        motors.clear();
        if (entries != nullptr) entries->clear();
        error = "config file " + path + ": " + e.what();
        return false;
    }
    return true;
}
