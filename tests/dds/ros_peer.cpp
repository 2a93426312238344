// A ROS 2 peer without ROS, for the bridge's tests: a program of its own, built from its own
// IDL, that does what `ros2 topic echo` and `ros2 topic pub` would.
//
//   ros_peer echo DOMAIN COUNT            prints COUNT /joint_states messages, one per line
//   ros_peer joints DOMAIN NAMES POS [VEL [EFF]]   publishes a JointState on /joint_commands
//   ros_peer array DOMAIN VALUES          publishes a Float64MultiArray on
//                                         /forward_position_controller/commands
//
// Lists are comma-separated ("-" is an empty list; "nan" and "inf" are read as such). Exits 0
// when done, 1 when no bridge answered within 30 s, 2 on bad arguments.

#include <dds/dds.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "peer_msgs.h"

namespace {

constexpr auto kPatience = std::chrono::seconds(30);

std::vector<std::string> Split(const std::string& list) {
    std::vector<std::string> parts;
    if (list == "-") return parts;
    size_t from = 0;
    while (true) {
        const size_t comma = list.find(',', from);
        parts.push_back(list.substr(from, comma - from));
        if (comma == std::string::npos) return parts;
        from = comma + 1;
    }
}

std::vector<double> Numbers(const std::string& list) {
    std::vector<double> values;
    for (const auto& part : Split(list)) values.push_back(std::strtod(part.c_str(), nullptr));
    return values;
}

dds_sequence_double Sequence(std::vector<double>& values) {
    return {uint32_t(values.size()), uint32_t(values.size()), values.data(), false};
}

void PrintList(const char* label, const dds_sequence_double& values) {
    std::printf(" %s=", label);
    for (uint32_t i = 0; i < values._length; ++i)
        std::printf("%s%.6f", i ? "," : "", values._buffer[i]);
}

int Echo(dds_entity_t participant, long count) {
    const dds_entity_t topic = dds_create_topic(
        participant, &sensor_msgs_msg_dds__JointState__desc, "rt/joint_states", nullptr, nullptr);
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 10);
    const dds_entity_t reader = dds_create_reader(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    long seen = 0;
    while (seen < count && std::chrono::steady_clock::now() < deadline) {
        void* samples[1] = {nullptr};
        dds_sample_info_t info;
        if (dds_take(reader, samples, &info, 1, 1) <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        if (info.valid_data) {
            const auto* state = static_cast<const sensor_msgs_msg_dds__JointState_*>(samples[0]);
            std::printf("stamp=%d.%09u frame=%s names=", state->header.stamp.sec,
                        state->header.stamp.nanosec, state->header.frame_id);
            for (uint32_t i = 0; i < state->name._length; ++i)
                std::printf("%s%s", i ? "," : "", state->name._buffer[i]);
            PrintList("position", state->position);
            PrintList("velocity", state->velocity);
            PrintList("effort", state->effort);
            std::printf("\n");
            std::fflush(stdout);
            ++seen;
        }
        dds_return_loan(reader, samples, 1);
    }
    return seen == count ? 0 : 1;
}

// Waits until a reader matches, then writes the sample a few times (the command readers are
// best-effort, and a command repeated is the same command).
int Publish(dds_entity_t participant, const dds_topic_descriptor_t* type, const char* name,
            const void* sample) {
    const dds_entity_t topic = dds_create_topic(participant, type, name, nullptr, nullptr);
    const dds_entity_t writer = dds_create_writer(participant, topic, nullptr, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    dds_publication_matched_status_t matched{};
    while (dds_get_publication_matched_status(writer, &matched) == 0 && matched.current_count == 0) {
        if (std::chrono::steady_clock::now() >= deadline) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int i = 0; i < 3; ++i) {
        if (dds_write(writer, sample) != 0) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: ros_peer echo|joints|array DOMAIN ...\n", stderr);
        return 2;
    }
    const std::string verb = argv[1];
    const dds_entity_t participant =
        dds_create_participant(dds_domainid_t(std::atoi(argv[2])), nullptr, nullptr);
    if (participant < 0) {
        std::fprintf(stderr, "ros_peer: %s\n", dds_strretcode(participant));
        return 2;
    }
    int status = 2;
    if (verb == "echo") {
        status = Echo(participant, std::atol(argv[3]));
    } else if (verb == "joints" && argc >= 5) {
        std::vector<std::string> names = Split(argv[3]);
        std::vector<char*> namePointers;
        for (auto& name : names) namePointers.push_back(name.data());
        std::vector<double> position = Numbers(argv[4]);
        std::vector<double> velocity = Numbers(argc > 5 ? argv[5] : "-");
        std::vector<double> effort = Numbers(argc > 6 ? argv[6] : "-");
        sensor_msgs_msg_dds__JointState_ command{};
        command.header.frame_id = const_cast<char*>("");
        command.name = {uint32_t(names.size()), uint32_t(names.size()), namePointers.data(), false};
        command.position = Sequence(position);
        command.velocity = Sequence(velocity);
        command.effort = Sequence(effort);
        status = Publish(participant, &sensor_msgs_msg_dds__JointState__desc, "rt/joint_commands",
                         &command);
    } else if (verb == "array") {
        std::vector<double> data = Numbers(argv[3]);
        std_msgs_msg_dds__Float64MultiArray_ command{};
        command.data = Sequence(data);
        status = Publish(participant, &std_msgs_msg_dds__Float64MultiArray__desc,
                         "rt/forward_position_controller/commands", &command);
    }
    dds_delete(participant);
    return status;
}
