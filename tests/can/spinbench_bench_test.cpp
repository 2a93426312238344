// spinbench end to end against the Damiao emulator on a real CAN interface.

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <regex>
#include <thread>

#include "child_process.h"
#include "damiao_emulator_process.h"
#include "feetech_emulator_process.h"
#include "pty.h"
#include "subprocess.h"
#include "vcan.h"
#include "wait.h"

using namespace std::chrono;
using testsupport::ChildProcess;
using testsupport::DamiaoEmulatorProcess;
using testsupport::TempDir;
using testsupport::Vcan;
using testsupport::WaitFor;

namespace {

const std::map<std::string, std::string> kEnv = {
    {"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}};

std::string Config(const TempDir& dir, const Vcan& bus, const std::string& extra = "") {
    const std::string path = dir.File("motor.yaml");
    std::ofstream(path) << "motor_init_para:\n"
                           "  - vendor: damiao\n"
                           "    id: 1\n"
                           "    master_id: 0x11\n"
                           "    motor_model: 4310\n"
                           "    kp: 50\n"
                           "    kd: 2\n"
                           "    dev_name: "
                        << bus.name() << "\n"
                        << extra;
    return path;
}

// A Damiao joint on its own vcan bus and a Feetech gripper on a pseudo-terminal, both emulated.
struct MixedArm {
    Vcan bus;
    TempDir dir;
    const std::string gripperLink = dir.File("ttyGRIP");
    DamiaoEmulatorProcess joints{bus.name(), {"1:0x11:4310:0"}};
    testsupport::FeetechEmulatorProcess gripper{gripperLink, "1", 1000000};
    bool ready() const { return joints.ready() && gripper.ready(); }
    // The configuration of both motors, joint first.
    std::string Config() const {
        return ::Config(dir, bus,
                        "  - vendor: feetech\n    id: 1\n    baudrate: 1000000\n    dev_name: " +
                            gripperLink + "\n");
    }
};

std::vector<std::string> Tool(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::SelfDir() + "/../bin/spinbench");
    return args;
}

std::vector<double> SetPositions(const std::string& out) {
    std::vector<double> values;
    static const std::regex line(R"(\[INFO\] , set pos: (-?[0-9.]+)\n)");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
        values.push_back(std::stod((*it)[1]));
    return values;
}

}  // namespace

TEST(SpinbenchBench, TargetModeStopsAtTheTargetAndStopsInOrderOnSigint) {
    Vcan bus;
    TempDir dir;
    DamiaoEmulatorProcess emu(bus.name(), {"1:0x11:4310:0"});
    ASSERT_TRUE(emu.ready());
    ChildProcess tool(Tool({"-m", "2", "-p", "1.0", "-s", "1", "-f", "10", "-c", Config(dir, bus)}),
                      kEnv);
    ASSERT_NE(tool.WaitForOutput("set pos: 1.257", seconds(20)), std::string::npos) << tool.Out();
    std::this_thread::sleep_for(milliseconds(300));
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(seconds(20)), 0) << tool.Out();
    const std::string out = tool.Out();
    const auto values = SetPositions(out);
    ASSERT_GE(values.size(), 10u);
    // Each tick logs the value twice in every mode but 3.
    const std::vector<double> expect = {0.314, 0.314, 0.628, 0.628, 0.942,
                                        0.942, 1.257, 1.257, 1.257};
    for (size_t i = 0; i < expect.size(); ++i) EXPECT_NEAR(values[i], expect[i], 1e-9) << i;
    const auto signal = out.find("Get exit signal...\r\n");
    const auto disable = out.find("enable status: false\r\n");
    const auto exit = out.find("program exit...\r\n");
    ASSERT_NE(signal, std::string::npos);
    ASSERT_NE(disable, std::string::npos);
    ASSERT_NE(exit, std::string::npos);
    EXPECT_LT(signal, disable);
    EXPECT_LT(disable, exit);
    EXPECT_FALSE(emu.Status(1).enabled);
}

TEST(SpinbenchBench, SmallStepsMoveTheRotor) {
    Vcan bus;
    TempDir dir;
    DamiaoEmulatorProcess emu(bus.name(), {"1:0x11:4310:0"}, true);
    // 0.2 * pi / 50 = 0.0126 rad per tick: well inside the window.
    ChildProcess tool(Tool({"-m", "1", "-s", "0.2", "-f", "50", "-c", Config(dir, bus)}), kEnv);
    EXPECT_TRUE(WaitFor([&] { return emu.Status(1).pos > 0.3; }, seconds(20))) << emu.Status(1).pos;
    tool.Signal(SIGTERM);
    EXPECT_EQ(tool.Wait(seconds(20)), 0);
    EXPECT_NE(tool.Out().find("program exit...\r\n"), std::string::npos);
    // MIT frames reached the wire for motor 1.
    size_t mit = 0;
    for (const auto& f : emu.Frames())
        if (f.rfind("001 8 ", 0) == 0 && f.find("FF FF FF FF FF FF FF") == std::string::npos) ++mit;
    EXPECT_GT(mit, 20u);
}

TEST(SpinbenchBench, ReadStatusModeSendsNoPositions) {
    Vcan bus;
    TempDir dir;
    DamiaoEmulatorProcess emu(bus.name(), {"1:0x11:4310:0"});
    ChildProcess tool(Tool({"-m", "3", "-f", "20", "-c", Config(dir, bus)}), kEnv);
    ASSERT_NE(tool.WaitForOutput("motor ID: 1, curpos:", seconds(20)), std::string::npos);
    std::this_thread::sleep_for(milliseconds(500));
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(seconds(20)), 0);
    const auto values = SetPositions(tool.Out());
    ASSERT_GE(values.size(), 3u);
    EXPECT_NEAR(values[1] - values[0], 0.314, 1e-3);  // one set-position line per tick
    EXPECT_NEAR(emu.Status(1).pos, 0.0, 0.01);
}

// A signal during the start-up still ends with every created motor held and disabled, and a
// motor that never answers does not hang the stop.
TEST(SpinbenchBench, SignalDuringStartUpAndAnAbsentMotor) {
    Vcan bus;
    TempDir dir;
    DamiaoEmulatorProcess emu(bus.name(), {"1:0x11:4310:0"});
    const std::string absent =
        "  - vendor: damiao\n    id: 9\n    master_id: 0x19\n    dev_name: " + bus.name() +
        "\n    motor_model: 4310\n";
    ChildProcess tool(Tool({"-m", "0", "-c", Config(dir, bus, absent)}), kEnv);
    // "run mode" is logged once the handlers are installed, before any motor is created.
    ASSERT_NE(tool.WaitForOutput("run mode", seconds(20)), std::string::npos);
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(seconds(30)), 0) << tool.Out();
    const std::string out = tool.Out();
    EXPECT_NE(out.find("Get exit signal...\r\n"), std::string::npos);
    EXPECT_NE(out.find("program exit...\r\n"), std::string::npos);
    EXPECT_FALSE(emu.Status(1).enabled);
}

// SIGINT at each step of the start-up: the rest of the start-up is skipped and every motor
// created ends held and disabled.
TEST(SpinbenchBench, SignalAtEveryStartUpStepEndsWithEveryMotorDisabled) {
    MixedArm arm;
    ASSERT_TRUE(arm.ready());
    auto& joints = arm.joints;
    auto& gripper = arm.gripper;
    for (const char* step : {"run mode", "Allocate Motor: feetech", "enable status: true",
                             "Feetech motor 1 setHome.", "curpos"}) {
        ChildProcess tool(Tool({"-m", "1", "-s", "0.05", "-c", arm.Config()}), kEnv);
        ASSERT_NE(tool.WaitForOutput(step, seconds(30)), std::string::npos) << step;
        tool.Signal(SIGINT);
        EXPECT_EQ(tool.Wait(seconds(30)), 0) << step << tool.Out();
        EXPECT_NE(tool.Out().find("program exit...\r\n"), std::string::npos) << step;
        EXPECT_FALSE(joints.Status(1).enabled) << step;
        EXPECT_EQ(gripper.Status(1).torque, 0) << step;
    }
}

// A Damiao joint and a Feetech gripper from one file: created in file order, homed, enabled,
// moved, and held and disabled at the stop.
TEST(SpinbenchBench, MixedArmWithBothEmulators) {
    MixedArm arm;
    ASSERT_TRUE(arm.ready());
    auto& joints = arm.joints;
    auto& gripper = arm.gripper;
    for (const char* mode : {"0", "1", "2", "3"}) {
        ChildProcess tool(
            Tool({"-m", mode, "-p", "0.5", "-s", "0.2", "-f", "20", "-c", arm.Config()}), kEnv);
        ASSERT_NE(tool.WaitForOutput("curpos", seconds(30)), std::string::npos)
            << mode << tool.Out();
        std::this_thread::sleep_for(milliseconds(1500));
        tool.Signal(SIGINT);
        EXPECT_EQ(tool.Wait(seconds(30)), 0) << mode;
        const std::string out = tool.Out();
        const auto damiao = out.find("Allocate Motor: damiao");
        const auto servo = out.find("Allocate Motor: feetech");
        ASSERT_NE(servo, std::string::npos);
        EXPECT_LT(damiao, servo);
        EXPECT_NE(out.find("Feetech motor 1 setEnableStatus: true."), std::string::npos);
        EXPECT_NE(out.find("Feetech motor 1 setEnableStatus: false."), std::string::npos);
        EXPECT_NE(out.find("program exit...\r\n"), std::string::npos);
        EXPECT_FALSE(joints.Status(1).enabled) << mode;
        EXPECT_TRUE(WaitFor([&] { return gripper.Status(1).torque == 0; }, seconds(3))) << mode;
        if (std::string(mode) != "3") {
            EXPECT_GT(gripper.Status(1).goal, 2048) << mode;  // the gripper was commanded
        }
    }
}
