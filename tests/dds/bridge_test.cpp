// The DDS bridge in one process: reading commands (pure), names, and the bridge on a domain of
// its own, seen through a reader and writers built from the test's own IDL.

#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "joint_commands.h"
#include "jointbus/common/virtual_motor.h"
#include "jointbus/dds/joint_bridge.h"
#include "log_capture.h"
#include "peer_msgs.h"
#include "wait.h"

namespace {

using jointbus_dds_detail::CommandFault;
using jointbus_dds_detail::ParseArrayCommand;
using jointbus_dds_detail::ParseJointStateCommand;
using jointbus_dds_detail::Values;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(JointCommands, EachMessageIsTakenWholeOrRefusedWithItsCause) {
    const std::vector<std::string> joints = {"shoulder", "elbow", "wrist"};
    struct Case {
        const char* what;
        std::vector<std::string> names;
        std::vector<double> position, velocity, effort;
        CommandFault fault;
    } cases[] = {
        {"positions by name, in any order", {"wrist", "shoulder"}, {1, 2}, {}, {}, CommandFault::kNone},
        {"all three arrays", {"elbow"}, {1}, {0.5}, {0.25}, CommandFault::kNone},
        {"velocity alone", {"elbow"}, {}, {0.5}, {}, CommandFault::kNone},
        {"unknown name", {"elbow", "knee"}, {1, 2}, {}, {}, CommandFault::kUnknownJoint},
        {"a name twice", {"elbow", "elbow"}, {1, 2}, {}, {}, CommandFault::kRepeatedJoint},
        {"short position array", {"elbow", "wrist"}, {1}, {}, {}, CommandFault::kArrayLength},
        {"long effort array", {"elbow"}, {1}, {}, {1, 2}, CommandFault::kArrayLength},
        {"NaN position", {"elbow"}, {kNaN}, {}, {}, CommandFault::kNotFinite},
        {"infinite velocity", {"elbow"}, {1}, {kInf}, {}, CommandFault::kNotFinite},
        {"effort alone", {"elbow"}, {}, {}, {1}, CommandFault::kNothingToApply},
        {"no names, no values", {}, {}, {}, {}, CommandFault::kNothingToApply},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseJointStateCommand(
            joints, c.names, {c.position.data(), c.position.size()},
            {c.velocity.data(), c.velocity.size()}, {c.effort.data(), c.effort.size()});
        EXPECT_EQ(parsed.fault, c.fault) << c.what << ": " << parsed.cause;
        EXPECT_EQ(parsed.joints.empty(), c.fault != CommandFault::kNone) << c.what;
        EXPECT_EQ(parsed.cause.empty(), c.fault == CommandFault::kNone) << c.what;
    }
    const std::vector<double> position = {0.5, -0.5};
    const auto byName = ParseJointStateCommand(joints, {"wrist", "shoulder"},
                                               {position.data(), 2}, {}, {});
    ASSERT_EQ(byName.joints.size(), 2u);
    EXPECT_EQ(byName.joints[0].joint, 2u);
    EXPECT_EQ(byName.joints[0].position, 0.5);
    EXPECT_EQ(byName.joints[1].joint, 0u);
    EXPECT_FALSE(byName.joints[1].hasVelocity);

    const std::vector<double> three = {1, 2, 3}, two = {1, 2}, bad = {1, kNaN, 3};
    EXPECT_EQ(ParseArrayCommand(3, {three.data(), 3}).joints.size(), 3u);
    EXPECT_EQ(ParseArrayCommand(3, {two.data(), 2}).fault, CommandFault::kMultiArrayLength);
    EXPECT_EQ(ParseArrayCommand(3, {bad.data(), 3}).fault, CommandFault::kNotFinite);
}

TEST(JointBridgeNames, TopicsAndJointNamesFollowTheRosRules) {
    EXPECT_EQ(jointbus::DdsTopicName("/joint_states"), "rt/joint_states");
    EXPECT_EQ(jointbus::DdsTopicName("joint_states"), "rt/joint_states");
    EXPECT_EQ(jointbus::DdsTopicName("/arm2/joint_commands"), "rt/arm2/joint_commands");
    for (const char* bad : {"", "/", "/a b", "//x", "/x/", "/2x", "/x-y"})
        EXPECT_EQ(jointbus::DdsTopicName(bad), "") << bad;

    auto motor = [](unsigned id) { return std::make_shared<VirtualMotor>(id, false); };
    const YAML::Node config = YAML::Load(
        "motor_init_para:\n"
        "  - {vendor: damiao, id: 1}\n"
        "  - {vendor: damiao, id: 2, name: elbow}\n"
        "  - {vendor: feetech, id: 3, name: \"\"}\n");
    std::vector<std::string> names;
    std::string error;
    ASSERT_TRUE(jointbus::JointNames(config, {1, 2}, {motor(1), motor(2)}, names, error)) << error;
    EXPECT_EQ(names, (std::vector<std::string>{"motor_1", "elbow"}));
    EXPECT_FALSE(jointbus::JointNames(config, {3}, {motor(3)}, names, error));
    EXPECT_NE(error.find("entry 3: name must be a non-empty text"), std::string::npos) << error;
    const YAML::Node twice = YAML::Load(
        "motor_init_para:\n  - {vendor: damiao, id: 1, name: wrist}\n"
        "  - {vendor: damiao, id: 2, name: wrist}\n");
    EXPECT_FALSE(jointbus::JointNames(twice, {1, 2}, {motor(1), motor(2)}, names, error));
    EXPECT_NE(error.find("entries 1 and 2 have the same joint name \"wrist\""), std::string::npos)
        << error;
}

// A motor that the bridge's thread and the test may share: it reports fixed values and
// counts the setter calls.
class RecordingMotor : public VirtualMotor {
public:
    RecordingMotor(double p, double v, double t) : reading{p, v, t} {}
    int getMotorPosition(double& p) override { return Get(reading[0], p); }
    int getVelocity(double& v) override { return Get(reading[1], v); }
    int getTorque(double& t) override { return Get(reading[2], t); }
    int setMotorPosition(double p) override { return Set({p}); }
    int setMotorPosition(double p, double v) override { return Set({p, v}); }
    int setMotorPosition(double p, double v, double t) override { return Set({p, v, t}); }
    int setVelocity(double v) override { return Set({kNaN, v}); }
    std::vector<std::vector<double>> Calls() const {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }

private:
    int Get(double value, double& out) {
        out = value;
        return 0;
    }
    int Set(std::vector<double> call) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(std::move(call));
        return result;
    }

public:
    std::atomic<int> result{0};  // what every setter returns

private:
    const double reading[3];
    mutable std::mutex mutex;
    std::vector<std::vector<double>> calls;
};

class BridgeOnADomain : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(bridge.addJoint("shoulder", &shoulder), 0);
        ASSERT_EQ(bridge.addJoint("elbow", &elbow), 0);
        EXPECT_EQ(bridge.addJoint("elbow", &elbow), -1);  // a repeated name
        options.domain = domain;
        options.frame_id = "arm";
        ASSERT_EQ(bridge.start(options), 0);
        participant = dds_create_participant(dds_domainid_t(domain), nullptr, nullptr);
        ASSERT_GT(participant, 0);
    }
    void TearDown() override {
        bridge.stop();
        if (participant > 0) dds_delete(participant);
    }
    dds_entity_t Writer(const dds_topic_descriptor_t* type, const char* name) {
        const dds_entity_t topic = dds_create_topic(participant, type, name, nullptr, nullptr);
        const dds_entity_t writer = dds_create_writer(participant, topic, nullptr, nullptr);
        dds_publication_matched_status_t matched{};
        EXPECT_TRUE(testsupport::WaitFor([&] {
            return dds_get_publication_matched_status(writer, &matched) == 0 &&
                   matched.current_count > 0;
        }, std::chrono::seconds(20)));
        return writer;
    }

    // A random domain, so that parallel runs and other tests never meet.
    const int domain = 100 + int(getpid() % 100);
    jointbus::JointBridgeOptions options;
    RecordingMotor shoulder{0.5, 0.0, 0.125}, elbow{-1.25, 2.0, -0.5};
    jointbus::JointBridge bridge;
    dds_entity_t participant = 0;
};

// The bytes on the wire, assembled here from the CDR rules: a little-endian encapsulation
// header, then each member at its natural alignment counted from the body's start.
struct Cdr {
    std::vector<uint8_t> bytes = {0x00, 0x01, 0x00, 0x00};
    void Align(size_t n) {
        while ((bytes.size() - 4) % n != 0) bytes.push_back(0);
    }
    template <typename T>
    void Put(T value) {
        Align(sizeof(T));
        uint8_t raw[sizeof(T)];
        std::memcpy(raw, &value, sizeof(T));
        bytes.insert(bytes.end(), raw, raw + sizeof(T));
    }
    void String(const std::string& text) {
        Put(uint32_t(text.size() + 1));
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
    }
    void Doubles(const std::vector<double>& values) {
        Put(uint32_t(values.size()));
        for (double v : values) Put(v);
    }
};

TEST_F(BridgeOnADomain, PublishesJointStatesInXcdr1AsRos2Reads) {
    const dds_entity_t topic = dds_create_topic(
        participant, &sensor_msgs_msg_dds__JointState__desc, "rt/joint_states", nullptr, nullptr);
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
    const dds_entity_t reader = dds_create_reader(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    std::vector<uint8_t> wire;
    ASSERT_TRUE(testsupport::WaitFor([&] {
        ddsi_serdata* data = nullptr;
        dds_sample_info_t info;
        if (dds_takecdr(reader, &data, 1, &info, DDS_ANY_STATE) != 1) return false;
        wire.resize(ddsi_serdata_size(data));
        ddsi_serdata_to_ser(data, 0, wire.size(), wire.data());
        ddsi_serdata_unref(data);
        return info.valid_data;
    }, std::chrono::seconds(20)));

    Cdr expected;
    ASSERT_GE(wire.size(), 12u);
    int32_t sec;
    uint32_t nanosec;
    std::memcpy(&sec, &wire[4], 4);
    std::memcpy(&nanosec, &wire[8], 4);
    EXPECT_GT(sec, 1700000000);  // a wall-clock stamp, as ROS 2 stamps its messages
    EXPECT_LT(nanosec, 1000000000u);
    expected.Put(sec);
    expected.Put(nanosec);
    expected.String("arm");
    expected.Put(uint32_t(2));
    expected.String("shoulder");
    expected.String("elbow");
    expected.Doubles({0.5, -1.25});
    expected.Doubles({0.0, 2.0});
    expected.Doubles({0.125, -0.5});
    EXPECT_EQ(wire, expected.bytes);
}

TEST_F(BridgeOnADomain, BadCommandsMoveNothingAndTheBridgeServesOn) {
    testsupport::LogCapture log;
    const dds_entity_t joints =
        Writer(&sensor_msgs_msg_dds__JointState__desc, "rt/joint_commands");
    const dds_entity_t array =
        Writer(&std_msgs_msg_dds__Float64MultiArray__desc, "rt/forward_position_controller/commands");
    auto sendJoints = [&](std::vector<std::string> names, std::vector<double> position,
                          std::vector<double> velocity) {
        std::vector<char*> pointers;
        for (auto& name : names) pointers.push_back(name.data());
        sensor_msgs_msg_dds__JointState_ command{};
        command.header.frame_id = const_cast<char*>("");
        command.name = {uint32_t(names.size()), uint32_t(names.size()), pointers.data(), false};
        command.position = {uint32_t(position.size()), uint32_t(position.size()), position.data(), false};
        command.velocity = {uint32_t(velocity.size()), uint32_t(velocity.size()), velocity.data(), false};
        ASSERT_EQ(dds_write(joints, &command), 0);
    };
    auto sendArray = [&](std::vector<double> data) {
        std_msgs_msg_dds__Float64MultiArray_ command{};
        command.data = {uint32_t(data.size()), uint32_t(data.size()), data.data(), false};
        ASSERT_EQ(dds_write(array, &command), 0);
    };
    // Best-effort readers may lose a sample, so each is sent again (every quarter second or
    // so) until the bridge has counted it.
    auto until = [&](auto send, auto counter, uint64_t count) {
        int polls = 0;
        return testsupport::WaitFor([&] {
            if ((bridge.*counter)() >= count) return true;
            if (polls++ % 50 == 0) send();
            return false;
        }, std::chrono::seconds(20));
    };
    using jointbus::JointBridge;
    uint64_t refused = 0;
    for (const auto& send : std::vector<std::function<void()>>{
             [&] { sendJoints({"shoulder", "knee"}, {1, 2}, {}); },
             [&] { sendJoints({"shoulder", "elbow"}, {1}, {}); },
             [&] { sendJoints({"elbow"}, {kNaN}, {}); },
             [&] { sendJoints({"elbow"}, {}, {}); },
             [&] { sendArray({1, 2, 3}); },
             [&] { sendArray({1, kInf}); }}) {
        ASSERT_TRUE(until(send, &JointBridge::commandsRefused, ++refused));
        refused = bridge.commandsRefused();
    }
    EXPECT_TRUE(shoulder.Calls().empty());
    EXPECT_TRUE(elbow.Calls().empty());
    EXPECT_EQ(bridge.commandsApplied(), 0u);
    EXPECT_GE(log.Count("unknown joint \"knee\""), 1u) << log.Text();
    EXPECT_GE(log.Count("Float64MultiArray has 3 values for 2 joints"), 1u) << log.Text();

    ASSERT_TRUE(until([&] { sendJoints({"elbow"}, {0.75}, {1.5}); },
                      &JointBridge::commandsApplied, 1));
    ASSERT_TRUE(until([&] { sendArray({0.25, -0.25}); }, &JointBridge::commandsApplied,
                      bridge.commandsApplied() + 1));
    const auto elbowCalls = elbow.Calls();
    ASSERT_FALSE(elbowCalls.empty());
    EXPECT_EQ(elbowCalls.front(), (std::vector<double>{0.75, 1.5}));
    EXPECT_EQ(elbowCalls.back(), (std::vector<double>{-0.25}));
    EXPECT_EQ(shoulder.Calls().back(), (std::vector<double>{0.25}));
    const uint64_t published = bridge.published();
    EXPECT_TRUE(testsupport::WaitFor([&] { return bridge.published() > published; },
                                     std::chrono::seconds(20)));

    // A motor that refuses its part (offline, say): the command is counted refused, not applied.
    elbow.result = 5002;
    const uint64_t applied = bridge.commandsApplied();
    ASSERT_TRUE(until([&] { sendArray({0.2, -0.2}); }, &JointBridge::commandsRefused,
                      bridge.commandsRefused() + 1));
    EXPECT_EQ(bridge.commandsApplied(), applied);
    EXPECT_GE(log.Count("command not applied whole: joint \"elbow\" refused it with code 5002"),
              1u)
        << log.Text();
}

TEST(JointBridge, RefusesToStartWithoutJointsOrWithBadOptions) {
    testsupport::LogCapture log;
    jointbus::JointBridge bridge;
    EXPECT_EQ(bridge.start(), -1);
    EXPECT_EQ(bridge.addJoint("a", nullptr), -1);
    VirtualMotor motor;
    ASSERT_EQ(bridge.addJoint("a", &motor), 0);
    jointbus::JointBridgeOptions options;
    options.rate_hz = 0;
    EXPECT_EQ(bridge.start(options), -1);
    options = {};
    options.domain = 233;
    EXPECT_EQ(bridge.start(options), -1);
    options = {};
    options.states_topic = "/a b";
    EXPECT_EQ(bridge.start(options), -1);
    options = {};
    options.commands_topic = "joint_states";  // it would take its own states for commands
    EXPECT_EQ(bridge.start(options), -1);
    EXPECT_FALSE(bridge.running());
    EXPECT_NE(log.Text().find("no joint to bridge"), std::string::npos);
    EXPECT_NE(log.Text().find("\"/a b\" is not a ROS topic name"), std::string::npos);
    EXPECT_NE(log.Text().find("topics must differ"), std::string::npos);
}

}  // namespace
