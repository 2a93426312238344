#include "joint_commands.h"

#include <cmath>

namespace jointbus_dds_detail {
namespace {

ParsedCommand Refuse(CommandFault fault, std::string cause) {
    ParsedCommand refused;
    refused.fault = fault;
    refused.cause = std::move(cause);
    return refused;
}

// The first value of `values` that is NaN or infinite, or -1.
long FirstNonFinite(Values values) {
    for (size_t i = 0; i < values.size; ++i)
        if (!std::isfinite(values.data[i])) return long(i);
    return -1;
}

}  // namespace

ParsedCommand ParseJointStateCommand(const std::vector<std::string>& jointNames,
                                     const std::vector<std::string>& names, Values position,
                                     Values velocity, Values effort) {
    const struct {
        const char* what;
        Values values;
    } arrays[] = {{"position", position}, {"velocity", velocity}, {"effort", effort}};
    for (const auto& array : arrays) {
        if (array.values.size != 0 && array.values.size != names.size())
            return Refuse(CommandFault::kArrayLength,
                          std::string(array.what) + " has " + std::to_string(array.values.size) +
                              " values for " + std::to_string(names.size()) +
                              " names (it must have none or one per name)");
        const long bad = FirstNonFinite(array.values);
        if (bad >= 0)
            return Refuse(CommandFault::kNotFinite, std::string(array.what) + " of \"" +
                                                        names[size_t(bad)] +
                                                        "\" is NaN or infinite");
    }
    if (position.size == 0 && velocity.size == 0)
        return Refuse(CommandFault::kNothingToApply,
                      names.empty() ? "no joint named"
                                    : "neither a position nor a velocity (an effort alone "
                                      "is not a command the joints take)");
    ParsedCommand parsed;
    std::vector<bool> seen(jointNames.size(), false);
    for (size_t i = 0; i < names.size(); ++i) {
        size_t joint = 0;
        while (joint < jointNames.size() && jointNames[joint] != names[i]) ++joint;
        if (joint == jointNames.size())
            return Refuse(CommandFault::kUnknownJoint, "unknown joint \"" + names[i] + "\"");
        if (seen[joint])
            return Refuse(CommandFault::kRepeatedJoint,
                          "joint \"" + names[i] + "\" is named twice");
        seen[joint] = true;
        JointCommand command;
        command.joint = joint;
        command.hasPosition = position.size != 0;
        command.hasVelocity = velocity.size != 0;
        command.hasEffort = effort.size != 0;
        if (command.hasPosition) command.position = position.data[i];
        if (command.hasVelocity) command.velocity = velocity.data[i];
        if (command.hasEffort) command.effort = effort.data[i];
        parsed.joints.push_back(command);
    }
    return parsed;
}

ParsedCommand ParseArrayCommand(size_t jointCount, Values positions) {
    if (positions.size != jointCount)
        return Refuse(CommandFault::kMultiArrayLength,
                      "Float64MultiArray has " + std::to_string(positions.size) +
                          " values for " + std::to_string(jointCount) + " joints");
    const long bad = FirstNonFinite(positions);
    if (bad >= 0)
        return Refuse(CommandFault::kNotFinite,
                      "Float64MultiArray value " + std::to_string(bad) + " is NaN or infinite");
    ParsedCommand parsed;
    for (size_t joint = 0; joint < jointCount; ++joint) {
        JointCommand command;
        command.joint = joint;
        command.hasPosition = true;
        command.position = positions.data[joint];
        parsed.joints.push_back(command);
    }
    return parsed;
}

}  // namespace jointbus_dds_detail
