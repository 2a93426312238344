#include "jointbus/dds/joint_bridge.h"

#include <dds/dds.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>

#include "joint_commands.h"
#include "jointbus/common/logger.h"
#include "jointbus/common/motor_factory.h"
#include "ros_msgs.h"

namespace jointbus {

using jointbus_dds_detail::CommandFault;
using jointbus_dds_detail::JointCommand;
using jointbus_dds_detail::ParsedCommand;
using jointbus_dds_detail::Values;

namespace {

constexpr int kMaxDomain = 232;  // the largest domain ROS 2 maps to ports
constexpr size_t kTakeBatch = 16;

using Clock = std::chrono::steady_clock;

// What a joint's position setter does with a velocity and an effort.
enum class SetterKind {
    kSpeedAndTorque,  // (position, speed) and (position, speed, torque): a Damiao motor
    kSpeedOnly,       // (position, speed, time): a Feetech servo takes no torque
};

struct Joint {
    std::string name;
    CtrlMotorInterface* motor = nullptr;
    SetterKind kind = SetterKind::kSpeedAndTorque;
};

// A participant and everything under it, deleted as one.
struct Participant {
    dds_entity_t handle = 0;
    ~Participant() { Close(); }
    void Close() {
        if (handle > 0) dds_delete(handle);
        handle = 0;
    }
};

// The domain asked for: the option, else ROS_DOMAIN_ID, else 0; -1 when out of range.
int ChooseDomain(int option) {
    if (option >= 0) return option <= kMaxDomain ? option : -1;
    if (option != -1) return -1;
    const char* env = std::getenv("ROS_DOMAIN_ID");
    if (env == nullptr || *env == '\0') return 0;
    char* end = nullptr;
    const long value = std::strtol(env, &end, 10);
    return *end == '\0' && value >= 0 && value <= kMaxDomain ? int(value) : -1;
}

dds_qos_t* MakeQos(dds_reliability_kind_t reliability) {
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, reliability, DDS_MSECS(100));
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1);
    return qos;
}

Values ValuesOf(const dds_sequence_double& sequence) {
    return {sequence._buffer, sequence._length};
}

}  // namespace

struct JointBridge::Impl {
    std::vector<Joint> joints;
    std::vector<std::string> jointNames;

    std::mutex lifecycle;  // start and stop
    std::thread worker;
    std::atomic<bool> isRunning{false};
    std::atomic<int> joinedDomain{-1};
    std::atomic<uint64_t> published{0}, applied{0}, refused{0};

    // Owned by the worker while it runs.
    Participant participant;
    dds_entity_t stateWriter = 0, commandReader = 0, arrayReader = 0, waitset = 0, wake = 0;
    std::array<Clock::time_point, size_t(CommandFault::kCount)> lastWarn{};
    std::vector<char*> nameBuffer;
    std::vector<double> positions, velocities, efforts;
    std::string frameId;

    bool Open(const JointBridgeOptions& options, int domain);
    void Run(Clock::duration period);
    void Publish();
    void TakeCommands(dds_entity_t reader);
    void Apply(const ParsedCommand& command);
    void Refuse(const ParsedCommand& command);
    bool WarnNow(CommandFault fault);  // at most one WARN per cause per second
};

bool JointBridge::Impl::Open(const JointBridgeOptions& options, int domain) {
    const std::string statesTopic = DdsTopicName(options.states_topic);
    const std::string commandsTopic = DdsTopicName(options.commands_topic);
    const std::string arrayTopic = DdsTopicName(options.array_topic);
    for (const auto& [rosName, ddsName] : {std::make_pair(&options.states_topic, &statesTopic),
                                           std::make_pair(&options.commands_topic, &commandsTopic),
                                           std::make_pair(&options.array_topic, &arrayTopic)}) {
        if (ddsName->empty()) {
            LOG_ERROR("joint bridge: \"{}\" is not a ROS topic name\r\n", *rosName);
            return false;
        }
    }
    if (commandsTopic == statesTopic || arrayTopic == statesTopic || arrayTopic == commandsTopic) {
        // On one topic the bridge would take its own states for commands.
        LOG_ERROR("joint bridge: the states, commands and array topics must differ\r\n");
        return false;
    }
    participant.handle = dds_create_participant(dds_domainid_t(domain), nullptr, nullptr);
    if (participant.handle < 0) {
        LOG_ERROR("joint bridge: cannot join DDS domain {}: {}\r\n", domain,
                  dds_strretcode(participant.handle));
        return false;
    }
    const dds_entity_t pp = participant.handle;
    const dds_entity_t stateTopic = dds_create_topic(
        pp, &sensor_msgs_msg_dds__JointState__desc, statesTopic.c_str(), nullptr, nullptr);
    const dds_entity_t commandTopic = dds_create_topic(
        pp, &sensor_msgs_msg_dds__JointState__desc, commandsTopic.c_str(), nullptr, nullptr);
    const dds_entity_t arrayTopicHandle = dds_create_topic(
        pp, &std_msgs_msg_dds__Float64MultiArray__desc, arrayTopic.c_str(), nullptr, nullptr);
    dds_qos_t* reliable = MakeQos(DDS_RELIABILITY_RELIABLE);
    dds_qos_t* bestEffort = MakeQos(DDS_RELIABILITY_BEST_EFFORT);
    if (stateTopic > 0) stateWriter = dds_create_writer(pp, stateTopic, reliable, nullptr);
    if (commandTopic > 0) commandReader = dds_create_reader(pp, commandTopic, bestEffort, nullptr);
    if (arrayTopicHandle > 0)
        arrayReader = dds_create_reader(pp, arrayTopicHandle, bestEffort, nullptr);
    dds_delete_qos(reliable);
    dds_delete_qos(bestEffort);
    waitset = dds_create_waitset(pp);
    wake = dds_create_guardcondition(pp);
    const dds_entity_t commandCondition =
        commandReader > 0 ? dds_create_readcondition(commandReader, DDS_ANY_STATE) : -1;
    const dds_entity_t arrayCondition =
        arrayReader > 0 ? dds_create_readcondition(arrayReader, DDS_ANY_STATE) : -1;
    for (dds_entity_t entity : {stateTopic, commandTopic, arrayTopicHandle, stateWriter,
                                commandReader, arrayReader, waitset, wake, commandCondition,
                                arrayCondition}) {
        if (entity < 0) {
            LOG_ERROR("joint bridge: DDS refused a topic, reader or writer: {}\r\n",
                      dds_strretcode(entity));
            return false;
        }
    }
    if (dds_waitset_attach(waitset, wake, 0) != 0 ||
        dds_waitset_attach(waitset, commandCondition, commandReader) != 0 ||
        dds_waitset_attach(waitset, arrayCondition, arrayReader) != 0) {
        LOG_ERROR("joint bridge: DDS refused the wait set\r\n");
        return false;
    }
    frameId = options.frame_id;
    nameBuffer.clear();
    for (auto& name : jointNames) nameBuffer.push_back(const_cast<char*>(name.c_str()));
    positions.assign(joints.size(), 0.0);
    velocities.assign(joints.size(), 0.0);
    efforts.assign(joints.size(), 0.0);
    lastWarn.fill(Clock::time_point());
    LOG_INFO("joint bridge: {} joints on DDS domain {}: states on {} at {} Hz, commands on {} "
             "and {}\r\n",
             joints.size(), domain, statesTopic, options.rate_hz, commandsTopic, arrayTopic);
    return true;
}

void JointBridge::Impl::Run(Clock::duration period) {
    Clock::time_point next = Clock::now();
    std::array<dds_attach_t, 3> triggered{};
    while (true) {
        const auto now = Clock::now();
        if (now >= next) {
            Publish();
            next += period;
            if (next <= now) next = now + period;  // fell behind: keep the rate, not the debt
        }
        const dds_duration_t wait =
            std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now()).count();
        const dds_return_t n =
            dds_waitset_wait(waitset, triggered.data(), triggered.size(), std::max<dds_duration_t>(wait, 0));
        bool stop = false;
        for (dds_return_t i = 0; i < n; ++i) {
            if (triggered[size_t(i)] == 0)
                stop = true;
            else
                TakeCommands(dds_entity_t(triggered[size_t(i)]));
        }
        if (n < 0)
            LOG_ERROR("joint bridge: DDS wait failed ({}): states and commands stop\r\n",
                      dds_strretcode(n));
        if (stop || n < 0) return;
    }
}

void JointBridge::Impl::Publish() {
    // The stamp is the time of the oldest feedback among the joints: every value is at least
    // that fresh. A motor that keeps no feedback age counts as read now.
    double oldest = 0;
    for (size_t i = 0; i < joints.size(); ++i) {
        CtrlMotorInterface& motor = *joints[i].motor;
        motor.getMotorPosition(positions[i]);
        motor.getVelocity(velocities[i]);
        motor.getTorque(efforts[i]);
        double age = 0;
        if (MotorFeedbackAge(motor, age) == 0) oldest = std::max(oldest, age);
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const int64_t stampNs =
        int64_t(now.tv_sec) * 1000000000 + now.tv_nsec - int64_t(std::llround(oldest * 1e9));
    sensor_msgs_msg_dds__JointState_ message{};
    message.header.stamp.sec = int32_t(stampNs / 1000000000);
    message.header.stamp.nanosec = uint32_t(stampNs % 1000000000);
    message.header.frame_id = const_cast<char*>(frameId.c_str());
    const auto n = uint32_t(joints.size());
    message.name = {n, n, nameBuffer.data(), false};
    message.position = {n, n, positions.data(), false};
    message.velocity = {n, n, velocities.data(), false};
    message.effort = {n, n, efforts.data(), false};
    if (dds_write(stateWriter, &message) == 0) published.fetch_add(1, std::memory_order_relaxed);
}

void JointBridge::Impl::TakeCommands(dds_entity_t reader) {
    std::array<void*, kTakeBatch> samples{};
    std::array<dds_sample_info_t, kTakeBatch> infos{};
    while (true) {
        samples.fill(nullptr);  // null: DDS lends its own samples
        const dds_return_t n =
            dds_take(reader, samples.data(), infos.data(), kTakeBatch, kTakeBatch);
        if (n <= 0) return;
        for (dds_return_t i = 0; i < n; ++i) {
            if (!infos[size_t(i)].valid_data) continue;
            ParsedCommand command;
            if (reader == arrayReader) {
                const auto* array =
                    static_cast<const std_msgs_msg_dds__Float64MultiArray_*>(samples[size_t(i)]);
                command = jointbus_dds_detail::ParseArrayCommand(joints.size(),
                                                                 ValuesOf(array->data));
            } else {
                const auto* state =
                    static_cast<const sensor_msgs_msg_dds__JointState_*>(samples[size_t(i)]);
                std::vector<std::string> names;
                for (uint32_t k = 0; k < state->name._length; ++k)
                    names.emplace_back(state->name._buffer[k] ? state->name._buffer[k] : "");
                command = jointbus_dds_detail::ParseJointStateCommand(
                    jointNames, names, ValuesOf(state->position), ValuesOf(state->velocity),
                    ValuesOf(state->effort));
            }
            if (command.fault == CommandFault::kNone)
                Apply(command);
            else
                Refuse(command);
        }
        dds_return_loan(reader, samples.data(), n);
        if (size_t(n) < kTakeBatch) return;
    }
}

void JointBridge::Impl::Apply(const ParsedCommand& command) {
    // A motor may still refuse its part (offline, a NaN it sees differently): the command then
    // counts as refused, and the first refusal is named.
    std::string refusal;
    for (const JointCommand& c : command.joints) {
        const Joint& joint = joints[c.joint];
        CtrlMotorInterface& motor = *joint.motor;
        int result;
        if (!c.hasPosition) {
            result = motor.setVelocity(c.velocity);
        } else if (joint.kind == SetterKind::kSpeedOnly) {
            if (c.hasVelocity)
                result = motor.setMotorPosition(c.position, c.velocity, 0.0);
            else
                result = motor.setMotorPosition(c.position);
        } else if (c.hasEffort) {
            result = motor.setMotorPosition(c.position, c.velocity, c.effort);
        } else if (c.hasVelocity) {
            result = motor.setMotorPosition(c.position, c.velocity);
        } else {
            result = motor.setMotorPosition(c.position);
        }
        if (result != 0 && refusal.empty())
            refusal = "joint \"" + joint.name + "\" refused it with code " + std::to_string(result);
    }
    if (refusal.empty()) {
        applied.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    refused.fetch_add(1, std::memory_order_relaxed);
    if (WarnNow(CommandFault::kMotorRefused))
        LOG_WARN("joint bridge: command not applied whole: {}\r\n", refusal);
}

void JointBridge::Impl::Refuse(const ParsedCommand& command) {
    refused.fetch_add(1, std::memory_order_relaxed);
    if (WarnNow(command.fault))
        LOG_WARN("joint bridge: command refused, nothing moved: {}\r\n", command.cause);
}

bool JointBridge::Impl::WarnNow(CommandFault fault) {
    Clock::time_point& last = lastWarn[size_t(fault)];
    const auto now = Clock::now();
    if (last != Clock::time_point() && now - last < std::chrono::seconds(1)) return false;
    last = now;
    return true;
}

JointBridge::JointBridge() : impl(std::make_unique<Impl>()) {}

JointBridge::~JointBridge() { stop(); }

int JointBridge::addJoint(const std::string& name, CtrlMotorInterface* motor) {
    std::lock_guard<std::mutex> lock(impl->lifecycle);
    if (motor == nullptr || name.empty() || impl->isRunning.load()) return -1;
    if (std::find(impl->jointNames.begin(), impl->jointNames.end(), name) !=
        impl->jointNames.end())
        return -1;
    const MotorFamily* family = MotorFamilyOf(*motor);
    const bool servo = family != nullptr && std::string(family->vendor) == "feetech";
    impl->joints.push_back({name, motor, servo ? SetterKind::kSpeedOnly
                                               : SetterKind::kSpeedAndTorque});
    impl->jointNames.push_back(name);
    return 0;
}

int JointBridge::start(const JointBridgeOptions& options) {
    std::lock_guard<std::mutex> lock(impl->lifecycle);
    if (impl->isRunning.load()) {
        LOG_ERROR("joint bridge: already running\r\n");
        return -1;
    }
    if (impl->joints.empty()) {
        LOG_ERROR("joint bridge: no joint to bridge\r\n");
        return -1;
    }
    if (!(options.rate_hz >= 1.0 && options.rate_hz <= 10000.0)) {
        LOG_ERROR("joint bridge: the rate must be 1 to 10000 Hz, not {}\r\n", options.rate_hz);
        return -1;
    }
    const int domain = ChooseDomain(options.domain);
    if (domain < 0) {
        LOG_ERROR("joint bridge: the DDS domain must be 0 to {} (--domain or ROS_DOMAIN_ID)\r\n",
                  kMaxDomain);
        return -1;
    }
    if (!impl->Open(options, domain)) {
        impl->participant.Close();
        return -1;
    }
    impl->published = 0;
    impl->applied = 0;
    impl->refused = 0;
    impl->joinedDomain = domain;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / options.rate_hz));
    impl->worker = std::thread([this, period] { impl->Run(period); });
    impl->isRunning = true;
    return 0;
}

void JointBridge::stop() {
    std::lock_guard<std::mutex> lock(impl->lifecycle);
    if (!impl->isRunning.load()) return;
    dds_set_guardcondition(impl->wake, true);
    impl->worker.join();
    impl->participant.Close();
    impl->joinedDomain = -1;
    impl->isRunning = false;
}

bool JointBridge::running() const { return impl->isRunning.load(); }
int JointBridge::domain() const { return impl->joinedDomain.load(); }
uint64_t JointBridge::published() const { return impl->published.load(); }
uint64_t JointBridge::commandsApplied() const { return impl->applied.load(); }
uint64_t JointBridge::commandsRefused() const { return impl->refused.load(); }

std::string DdsTopicName(const std::string& rosName) {
    std::string name = rosName;
    if (!name.empty() && name[0] != '/') name.insert(name.begin(), '/');
    if (name.size() < 2 || name.back() == '/') return "";
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '/') {
            if (i + 1 < name.size() && (name[i + 1] == '/' || std::isdigit(name[i + 1])))
                return "";
        } else if (!std::isalnum(c) && c != '_') {
            return "";
        }
    }
    return "rt" + name;
}

}  // namespace jointbus
