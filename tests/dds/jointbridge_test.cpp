// The bridge program as a ROS 2 system meets it: a peer process of its own (ros_peer) echoes
// its states and drives its servos, emulated on a pseudo-terminal, through both command
// topics; bad options and names; the stop on SIGINT; and, as root, across two network
// namespaces.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "feetech_emulator_process.h"
#include "pty.h"
#include "subprocess.h"
#include "wait.h"

namespace {

using testsupport::ChildProcess;
using testsupport::RunProcess;
using testsupport::TempDir;

const std::map<std::string, std::string> kEnv = {
    {"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}};

// The sanitizers' settings (their suppressions) for a peer run without the test's environment.
std::map<std::string, std::string> PeerEnv() {
    std::map<std::string, std::string> env;
    for (const char* name : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char* value = std::getenv(name)) env[name] = value;
    return env;
}

std::string Bin(const std::string& name) { return testsupport::SelfDir() + "/../bin/" + name; }

// A domain of the test's own, apart from other runs on the machine.
std::string Domain() { return std::to_string(20 + getpid() % 200); }

std::string Write(const TempDir& dir, const std::string& name, const std::string& text) {
    const std::string path = dir.File(name);
    std::ofstream(path) << text;
    return path;
}

// Two servos on one emulated port: id 1 named "grip", id 2 with the default name.
struct ServoArm {
    ServoArm()
        : link(dir.File("ttyARM")),
          servos(link, "1,2", 1000000),
          config(Write(dir, "arm.yaml",
                       "motor_init_para:\n"
                       "  - {vendor: feetech, id: 1, name: grip, baudrate: 1000000, dev_name: " +
                           link + "}\n  - {vendor: feetech, id: 2, baudrate: 1000000, dev_name: " +
                           link + "}\n")) {}
    TempDir dir;
    std::string link;
    testsupport::FeetechEmulatorProcess servos;
    std::string config;
};

// A servo's goal, in ticks from home (2048 ticks per half turn). A servo holds a target more
// than 10° from where it stands, so the commands here stay nearer.
int Goal(testsupport::FeetechEmulatorProcess& servos, int id) {
    return servos.Status(id).goal - 2048;
}

TEST(Jointbridge, APeerProcessSeesTheStatesAndDrivesTheJointsThroughBothTopics) {
    ServoArm arm;
    ASSERT_TRUE(arm.servos.ready());
    const std::string domain = Domain();
    ChildProcess bridge({Bin("jointbridge"), "-c", arm.config, "--domain", domain, "--frame-id",
                         "base"},
                        kEnv);
    ASSERT_NE(bridge.WaitForOutput("joint bridge: 2 joints on DDS domain " + domain,
                                   std::chrono::seconds(60)),
              std::string::npos)
        << bridge.Out() << bridge.Err();

    const auto echo = RunProcess({Bin("ros_peer"), "echo", domain, "3"}, PeerEnv(), 60);
    EXPECT_EQ(echo.status, 0) << echo.err;
    EXPECT_NE(echo.out.find("frame=base names=grip,feetech_2 position="), std::string::npos)
        << echo.out;

    EXPECT_EQ(RunProcess({Bin("ros_peer"), "joints", domain, "grip", "0.1"}, PeerEnv(), 60).status, 0);
    EXPECT_TRUE(testsupport::WaitFor([&] { return Goal(arm.servos, 1) > 40; },
                                     std::chrono::seconds(10)))
        << Goal(arm.servos, 1);
    EXPECT_EQ(RunProcess({Bin("ros_peer"), "array", domain, "-0.05,0.1"}, PeerEnv(), 60).status, 0);
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return Goal(arm.servos, 1) < -20 && Goal(arm.servos, 2) > 40; },
        std::chrono::seconds(10)))
        << Goal(arm.servos, 1) << " " << Goal(arm.servos, 2);

    // Bad commands move nothing, and the bridge goes on serving.
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"joints", domain, "grip,knee", "0.1,0.1"},
          {"joints", domain, "grip", "nan"},
          {"array", domain, "0.1"}})
        EXPECT_EQ(RunProcess({Bin("ros_peer"), bad[0], bad[1], bad[2], bad.size() > 3 ? bad[3] : "-"}, PeerEnv(), 60)
                      .status,
                  0);
    ASSERT_NE(bridge.WaitForOutput("refused, nothing moved: Float64MultiArray has 1 values for "
                                   "2 joints",
                                   std::chrono::seconds(30)),
              std::string::npos)
        << bridge.Out();
    EXPECT_NE(bridge.Out().find("unknown joint \"knee\""), std::string::npos);
    EXPECT_NE(bridge.Out().find("position of \"grip\" is NaN or infinite"), std::string::npos);
    EXPECT_EQ(RunProcess({Bin("ros_peer"), "echo", domain, "1"}, PeerEnv(), 60).status, 0);
    const int goal1 = Goal(arm.servos, 1);
    EXPECT_LT(goal1, -20);

    // SIGINT: publishing stops, then every servo is held and disabled on the wire.
    bridge.Signal(SIGINT);
    EXPECT_EQ(bridge.Wait(std::chrono::seconds(60)), 0) << bridge.Out();
    const std::string out = bridge.Out();
    EXPECT_LT(out.find("jointbridge: published"), out.find("Feetech motor 1 setEnableStatus: false"))
        << out;
    EXPECT_NE(out.find("program exit..."), std::string::npos);
    EXPECT_EQ(arm.servos.Status(1).torque, 0);
    EXPECT_EQ(arm.servos.Status(2).torque, 0);
}

TEST(Jointbridge, BadOptionsExit2AndUnusableFilesExit255BeforeAnyMotorMoves) {
    TempDir dir;
    const std::string servo = "{vendor: feetech, id: 1, baudrate: 1000000, dev_name: " +
                              dir.File("none") + "}";
    const std::string ok = Write(dir, "ok.yaml", "motor_init_para:\n  - " + servo + "\n");
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int status;
        const char* says;
    } cases[] = {
        {{"--domain", "233"}, {}, 2, "--domain must be a whole number from 0 to 232, not \"233\""},
        {{"--rate", "0"}, {}, 2, "--rate must be 1 to 10000 Hz, not \"0\""},
        {{"--states-topic", "joint states"}, {}, 2, "\"joint states\" is not a ROS topic name"},
        {{"--view", "x"}, {}, 2, "--view must be a whole number"},
        {{"--commands-topic", "/joint_states"}, {}, 2, "topics must differ"},
        {{"stray"}, {}, 2, "unexpected argument \"stray\""},
        {{}, {{"ROS_DOMAIN_ID", "abc"}}, 2, "ROS_DOMAIN_ID must be a whole number"},
        {{"-c", dir.File("missing.yaml")}, {}, 255, "missing.yaml"},
        {{"-c", Write(dir, "twice.yaml",
                      "motor_init_para:\n  - {vendor: feetech, id: 1, name: j, dev_name: /a}\n"
                      "  - {vendor: feetech, id: 2, name: j, dev_name: /a}\n")},
         {}, 255, "entries 1 and 2 have the same joint name \"j\""},
    };
    for (auto& c : cases) {
        std::vector<std::string> args = {Bin("jointbridge")};
        if (c.args.empty() || c.args[0] != "-c") args.insert(args.end(), {"-c", ok});
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto env = kEnv;
        env.insert(c.env.begin(), c.env.end());
        const auto result = RunProcess(args, env);
        EXPECT_EQ(result.status, c.status) << c.says << "\n" << result.out << result.err;
        EXPECT_NE((result.out + result.err).find(c.says), std::string::npos)
            << result.out << result.err;
        EXPECT_EQ(result.out.find("setHome"), std::string::npos) << c.says;
    }
}

// As root: the bridge in one network namespace, the peer in another, joined by a veth pair;
// states cross. Namespaces of the test's own, removed at the end.
TEST(Jointbridge, StatesCrossTwoNetworkNamespaces) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    const std::string tag = std::to_string(getpid());
    const std::string a = "jbA" + tag, b = "jbB" + tag;
    const std::string setup =
        "ip netns add " + a + " && ip netns add " + b + " && ip link add va" + tag +
        " netns " + a + " type veth peer name vb" + tag + " netns " + b +
        " && ip -n " + a + " addr add 10.77.0.1/24 dev va" + tag + " && ip -n " + b +
        " addr add 10.77.0.2/24 dev vb" + tag + " && ip -n " + a + " link set va" + tag +
        " up && ip -n " + b + " link set vb" + tag + " up && ip -n " + a +
        " link set lo up && ip -n " + b + " link set lo up";
    struct Cleanup {
        std::string a, b;
        ~Cleanup() { RunProcess({"/bin/sh", "-c", "ip netns del " + a + "; ip netns del " + b}, {}); }
    } cleanup{a, b};
    const auto made = RunProcess({"/bin/sh", "-c", setup}, {});
    if (made.status != 0) GTEST_SKIP() << "network namespaces unavailable: " << made.err;

    ServoArm arm;
    ASSERT_TRUE(arm.servos.ready());
    const std::string domain = Domain();
    // The shell and ip exec in turn, so the signal below reaches the bridge itself.
    ChildProcess bridge({"/bin/sh", "-c", "exec ip netns exec " + a + " " + Bin("jointbridge") +
                                              " -c " + arm.config + " --domain " + domain},
                        kEnv);
    ASSERT_NE(bridge.WaitForOutput("joint bridge: 2 joints", std::chrono::seconds(60)),
              std::string::npos)
        << bridge.Out() << bridge.Err();
    const auto echo = RunProcess(
        {"/bin/sh", "-c", "exec ip netns exec " + b + " " + Bin("ros_peer") + " echo " + domain + " 2"},
        PeerEnv(), 60);
    EXPECT_EQ(echo.status, 0) << echo.err;
    EXPECT_NE(echo.out.find("names=grip,feetech_2"), std::string::npos) << echo.out;
    bridge.Signal(SIGINT);
    EXPECT_EQ(bridge.Wait(std::chrono::seconds(60)), 0);
}

}  // namespace
