#pragma once

// Motors as ROS 2 joints over DDS, with no ROS installed: a JointBridge publishes the state of
// its joints as sensor_msgs/JointState and takes commands as sensor_msgs/JointState (matched by
// name) and std_msgs/Float64MultiArray (positions in the joints' order), on the topics and
// with the type names, encoding (XCDR1) and QoS that ROS 2's DDS layer uses. It lives in
// libjointbus-dds.so (pkg-config jointbus-dds), so a program that drives motors without it
// never loads DDS.
//
// Commands reach the motors through their ordinary setters, so the motors' limits and ramps
// apply. A joint whose command stops coming holds the last one. A command that cannot be
// applied whole (an unknown name, arrays of a length that fits neither rule, a value that is
// NaN or infinite, a Float64MultiArray of the wrong length) moves nothing: it is counted and a
// WARN names the cause, at most once a second per cause. A command that a motor's setter
// refuses (an offline servo, say) is counted refused too, and the WARN names the joint and its
// code.
//
// Threads: start() starts one thread that publishes at the rate asked for and applies each
// command as it arrives; stop() and the destructor join it (DDS has threads of its own, which
// the participant's deletion ends). Motors must outlive the bridge's run. A VirtualMotor has no
// locks: bridge one only while no other thread drives it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/export.h"

namespace jointbus {

struct JointBridgeOptions {
    int domain = -1;  // the DDS domain, 0 to 232; -1: ROS_DOMAIN_ID, else 0
    double rate_hz = 100.0;  // /joint_states, 1 to 10000 Hz
    std::string states_topic = "/joint_states";  // ROS names; DDS adds "rt"
    std::string commands_topic = "/joint_commands";
    std::string array_topic = "/forward_position_controller/commands";
    std::string frame_id;  // the header's frame_id
};

class JOINTBUS_API JointBridge {
public:
    JointBridge();
    ~JointBridge();  // stops a bridge in progress
    JointBridge(const JointBridge&) = delete;
    JointBridge& operator=(const JointBridge&) = delete;

    // Adds a joint, in the order it is published. Not while running. 0, or -1 (null motor, an
    // empty or repeated name, or the bridge is running).
    int addJoint(const std::string& name, CtrlMotorInterface* motor);

    // Joins the domain and starts publishing. 0, or -1 with an ERROR line naming the reason
    // (no joint, an option out of range, a topic name that is not a ROS name, one topic for two
    // uses, DDS refused).
    int start(const JointBridgeOptions& options = JointBridgeOptions());
    // Stops publishing and leaves the domain. Returns at once when not running.
    void stop();

    bool running() const;
    int domain() const;  // the domain joined, while running; else -1
    // This run's counts: states published, commands applied to the motors, commands refused.
    uint64_t published() const;
    uint64_t commandsApplied() const;
    uint64_t commandsRefused() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// The joint name of each motor that BuildConfiguredMotors built from `config`, where `entries`
// holds each motor's entry position in "motor_init_para" (from 1). An entry's "name" is its
// joint's name; without one the name is <vendor>_<id>, with _<bus> added where two motors
// would share it (the bus's last path part, "can0" or "ttyUSB0"). True with one name per motor;
// false with `error` naming both entries of a repeated name, or an entry whose name is not
// text.
JOINTBUS_API bool JointNames(const YAML::Node& config, const std::vector<size_t>& entries,
                             const std::vector<std::shared_ptr<CtrlMotorInterface>>& motors,
                             std::vector<std::string>& names, std::string& error);

// The DDS topic of a ROS topic name: "rt" + the absolute name ("/joint_states" gives
// "rt/joint_states", "joint_states" too). "" for a name ROS would refuse (empty, a character
// other than letters, digits, '_' and '/', a part that starts with a digit, "//", or a
// trailing '/').
JOINTBUS_API std::string DdsTopicName(const std::string& rosName);

}  // namespace jointbus
