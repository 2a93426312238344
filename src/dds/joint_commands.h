#pragma once

// Reading a command message into per-joint commands: pure, no DDS and no motors, so that every
// rule can be tested alone. A command is applied whole or not at all.

#include <cstddef>
#include <string>
#include <vector>

namespace jointbus_dds_detail {

// A view of a message's array of doubles.
struct Values {
    const double* data = nullptr;
    size_t size = 0;
};

struct JointCommand {
    size_t joint = 0;  // index into the bridge's joints
    bool hasPosition = false, hasVelocity = false, hasEffort = false;
    double position = 0, velocity = 0, effort = 0;
};

// Why a command was refused; one WARN per cause per second.
enum class CommandFault {
    kNone,
    kUnknownJoint,    // a name that is not a joint of the bridge
    kRepeatedJoint,   // a name twice in one message
    kArrayLength,     // a value array neither empty nor one value per name
    kNotFinite,       // NaN or infinite
    kNothingToApply,  // no position and no velocity (an effort alone, or no values)
    kMultiArrayLength,  // a Float64MultiArray with other than one value per joint
    kMotorRefused,    // taken, but a motor's setter refused its part
    kCount
};

struct ParsedCommand {
    CommandFault fault = CommandFault::kNone;
    std::string cause;  // for the WARN line, when refused
    std::vector<JointCommand> joints;  // when accepted, in the message's order
};

// A sensor_msgs/JointState command: joints matched by name; each value array either empty or
// one value per name (as ROS 2's topic-based hardware interface packs them).
ParsedCommand ParseJointStateCommand(const std::vector<std::string>& jointNames,
                                     const std::vector<std::string>& names, Values position,
                                     Values velocity, Values effort);

// A std_msgs/Float64MultiArray: one position per joint, in the joints' order.
ParsedCommand ParseArrayCommand(size_t jointCount, Values positions);

}  // namespace jointbus_dds_detail
