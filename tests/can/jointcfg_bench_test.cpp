// The commissioning tool and the register API against the Damiao emulator on a real CAN
// interface: scan, the setters and --store, check, register traffic on a bus that spinbench
// drives, and the API's results.

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "child_process.h"
#include "damiao_emulator_process.h"
#include "jointbus/DaMiao/damiao_codec.h"
#include "jointbus/DaMiao/damiao_register_bus.h"
#include "jointbus/DaMiao/damiao_registers.h"
#include "jointbus/common/result_codes.h"
#include "jointbus/driver/driver_can.h"
#include "pty.h"
#include "subprocess.h"
#include "vcan.h"
#include "wait.h"

using namespace std::chrono;
using testsupport::ChildProcess;
using testsupport::DamiaoEmulatorProcess;
using testsupport::TempDir;
using testsupport::Vcan;

namespace {

// Generous waits: the emulator answers at once, but the bench may not run it at once.
testsupport::ProcessResult Jointcfg(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::SelfDir() + "/../bin/jointcfg");
    args.insert(args.end(), {"--wait-ms", "300"});
    return testsupport::RunProcess(args, {}, 120);
}

std::string Entry(const Vcan& bus, int id, int master, int mode, int model) {
    return "  - {vendor: damiao, id: " + std::to_string(id) +
           ", master_id: " + std::to_string(master) + ", mode: " + std::to_string(mode) +
           ", motor_model: " + std::to_string(model) + ", dev_name: " + bus.name() + "}\n";
}

}  // namespace

// Mixed ids, modes and models: scan lists exactly those, with what their registers hold.
TEST(JointcfgBench, ScanFindsExactlyTheEmulatedMotors) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {"1:0x11:4310:0", "3:0x23:4340:512", "6:0x16:6006:256"});
    ASSERT_TRUE(emu.ready());
    auto r = Jointcfg({"scan", "-i", bus.name(), "--ids", "1-8", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* motor :
         {"{\"id\": 1, \"master_id\": 17, \"mode\": \"mit\", \"state\": 0, \"sw_ver\": 5014, "
          "\"pmax\": 12.5, \"vmax\": 30, \"tmax\": 10",
          "{\"id\": 3, \"master_id\": 35, \"mode\": \"speed\", \"state\": 0, \"sw_ver\": 5014, "
          "\"pmax\": 12.5, \"vmax\": 10, \"tmax\": 28",
          "{\"id\": 6, \"master_id\": 22, \"mode\": \"pos-speed\", \"state\": 0"})
        EXPECT_NE(r.out.find(motor), std::string::npos) << motor << "\n" << r.out;
    size_t found = 0;
    for (auto at = r.out.find("\"id\""); at != std::string::npos; at = r.out.find("\"id\"", at + 1))
        ++found;
    EXPECT_EQ(found, 3u) << r.out;
    EXPECT_EQ(emu.Status(1).received, emu.Status(1).answered);

    auto table = Jointcfg({"scan", "-i", bus.name(), "--ids", "1-4"});
    EXPECT_NE(table.out.find("0x3    0x23    speed      disabled  5014"), std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("2 motor(s) on " + bus.name()), std::string::npos) << table.out;
}

// Each setter changes the motor's register and reads it back; only --store reaches flash;
// an enabled motor and a taken id are refused with nothing written.
TEST(JointcfgBench, SettersChangeTheRegistersAndOnlyStoreReachesFlash) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {"1:0x11:4310:0", "2:0x12:4310:0"});
    ASSERT_TRUE(emu.ready());
    const std::string iface = bus.name();
    EXPECT_EQ(Jointcfg({"set-mode", "-i", iface, "--id", "1", "speed"}).status, 0);
    EXPECT_EQ(emu.Registers(1).mode, 3u);
    EXPECT_EQ(emu.Registers(1).stores, 0u);
    emu.Command("powercycle 1");
    EXPECT_EQ(emu.Registers(1).mode, 1u) << "without --store the write is gone at power-off";

    auto timeout = Jointcfg({"set-timeout", "-i", iface, "--id", "1", "100", "--store"});
    EXPECT_EQ(timeout.status, 0) << timeout.err;
    EXPECT_EQ(emu.Registers(1).timeout, 2000u);
    EXPECT_EQ(emu.Registers(1).stores, 1u);
    EXPECT_EQ(Jointcfg({"set", "-i", iface, "--id", "1", "VMAX", "20"}).status, 0);
    EXPECT_EQ(emu.Registers(1).vmax, 20.0f);
    EXPECT_EQ(Jointcfg({"set", "-i", iface, "--id", "1", "MST_ID", "0x21"}).status, 0);
    EXPECT_EQ(emu.Registers(1).master, 0x21u);
    auto get = Jointcfg({"get", "-i", iface, "--id", "1", "--master", "0x21", "TIMEOUT"});
    EXPECT_EQ(get.out, "2000\n") << get.err;

    auto taken = Jointcfg({"set-id", "-i", iface, "--id", "1", "2"});
    EXPECT_EQ(taken.status, 1);
    EXPECT_NE(taken.err.find("id 2 is already taken"), std::string::npos) << taken.err;
    EXPECT_EQ(Jointcfg({"set-id", "-i", iface, "--id", "1", "5"}).status, 0);
    EXPECT_EQ(emu.Registers(5).master, 0x21u);
    EXPECT_EQ(Jointcfg({"set-zero", "-i", iface, "--id", "5"}).status, 0);
    const auto baud = Jointcfg({"set-baud", "-i", iface, "--id", "5", "500000"});
    EXPECT_EQ(baud.status, 0);
    EXPECT_EQ(emu.Registers(5).canRate, 3u);
    EXPECT_NE(baud.err.find("warning: the change of rate is made on " + iface +
                            "'s present bit rate"),
              std::string::npos)
        << baud.err;
    auto fd = Jointcfg({"set-baud", "-i", iface, "--id", "5", "5000000"});
    EXPECT_EQ(fd.status, 2) << "a rate the tool does not know is refused, nothing written";
    EXPECT_EQ(emu.Registers(5).canRate, 3u);

    // Enable motor 2 the way a controller would: the setters now refuse it.
    DriverCan can(iface.c_str(), 0x12, 0);
    ASSERT_EQ(can.Open(), 0);
    uint8_t enable[8];
    Damiao::EncodeSpecial(Damiao::kEnable, enable);
    ASSERT_TRUE(can.CanWrite(2, enable, 8));
    ASSERT_TRUE(testsupport::WaitFor([&] { return emu.Status(2).enabled; }, seconds(5)));
    const auto before = emu.Registers(2);
    auto refused = Jointcfg({"set-mode", "-i", iface, "--id", "2", "speed", "--store"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Damiao motor 2 is enabled: disable it first"), std::string::npos)
        << refused.err;
    EXPECT_EQ(emu.Registers(2).mode, before.mode);
    EXPECT_EQ(emu.Registers(2).stores, 0u);
    EXPECT_TRUE(emu.Status(2).enabled) << "the state probe must not change the motor";

    // Bad input: status 2 and no request on the bus.
    const auto requests = emu.Registers(2).requests;
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"set", "-i", iface, "--id", "2", "CTRL_MODE", "9"},
                                               {"set", "-i", iface, "--id", "2", "sw_ver", "1"},
                                               {"set", "-i", iface, "--id", "2", "KP", "1"},
                                               {"set-id", "-i", iface, "--id", "2", "0x800"},
                                               {"set-baud", "-i", iface, "--id", "2", "115200"},
                                               {"get", "-i", iface, "--id", "0x900", "PMAX"},
                                               {"get", "-i", "nosuchcan0", "--id", "2", "PMAX"}}) {
        auto r = Jointcfg(args);
        EXPECT_EQ(r.status, 2) << args[0] << " " << args[5] << ": " << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_EQ(emu.Registers(2).requests, requests);
}

// check: each kind of mismatch gets its own line and a non-zero status; a matching file 0.
TEST(JointcfgBench, CheckReportsEachKindOfMismatch) {
    Vcan bus;
    TempDir dir;
    DamiaoEmulatorProcess emu(
        bus.name(), {"1:0x11:4310:0", "2:0x12:4310:512", "4:0x24:4310:0", "5:0x15:4340:0"});
    ASSERT_TRUE(emu.ready());
    const std::string path = dir.File("motor.yaml");
    std::ofstream(path) << "motor_init_para:\n"
                        << Entry(bus, 1, 0x11, 0, 4310) << Entry(bus, 2, 0x12, 512, 4310)
                        << Entry(bus, 4, 0x24, 0, 4310) << Entry(bus, 5, 0x15, 0, 4340);
    auto good = Jointcfg({"check", "-c", path});
    EXPECT_EQ(good.status, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("4 of 4 motor(s) match"), std::string::npos) << good.out;

    std::ofstream(path) << "motor_init_para:\n"
                        << Entry(bus, 1, 0x11, 0, 4310) << Entry(bus, 2, 0x12, 0, 4310)
                        << Entry(bus, 4, 0x14, 0, 4310) << Entry(bus, 5, 0x15, 0, 4310)
                        << Entry(bus, 7, 0x17, 0, 4310);
    auto bad = Jointcfg({"check", "-c", path});
    EXPECT_EQ(bad.status, 1);
    for (const char* line :
         {"[ ok ] damiao 0x1 on", "mode speed, configured mit", "feedback id 0x24, configured 0x14",
          "ranges PMAX 12.5 VMAX 10 TMAX 28, model 4310 has 12.5 30 10", "[FAIL] damiao 0x7 on",
          "missing: no answer", "1 of 5 motor(s) match"})
        EXPECT_NE(bad.out.find(line), std::string::npos) << line << "\n" << bad.out;
}

// check: an interface of can_interfaces gets a line with its MTU against can_fd. An
// interface set up for CAN-FD matches either setting; a classic one only can_fd false.
TEST(JointcfgBench, CheckReportsAnInterfacesCanFdModeAgainstTheConfiguration) {
    Vcan fd, classic;
    ASSERT_TRUE(classic.SetMtu(CAN_MTU));
    TempDir dir;
    DamiaoEmulatorProcess emuFd(fd.name(), {"1:0x11:4310:0"});
    DamiaoEmulatorProcess emuClassic(classic.name(), {"1:0x11:4310:0"});
    ASSERT_TRUE(emuFd.ready() && emuClassic.ready());
    const std::string path = dir.File("motor.yaml");
    auto write = [&](bool classicFd) {
        std::ofstream(path) << "can_interfaces:\n"
                            << "  " << fd.name() << ": {can_fd: true, tick_us: 1000}\n"
                            << "  " << classic.name()
                            << ": {can_fd: " << (classicFd ? "true" : "false") << "}\n"
                            << "motor_init_para:\n"
                            << Entry(fd, 1, 0x11, 0, 4310) << Entry(classic, 1, 0x11, 0, 4310);
    };
    write(false);
    auto good = Jointcfg({"check", "-c", path});
    EXPECT_EQ(good.status, 0) << good.out << good.err;
    for (const std::string& line : std::vector<std::string>{
             "[ ok ] interface " + fd.name(), "CAN-FD (MTU 72), configured can_fd true",
             "[ ok ] interface " + classic.name(), "classic (MTU 16), configured can_fd false",
             std::string("2 of 2 motor(s) match")})
        EXPECT_NE(good.out.find(line), std::string::npos) << line << "\n" << good.out;

    write(true);
    auto bad = Jointcfg({"check", "-c", path, "--json"});
    EXPECT_EQ(bad.status, 1) << bad.out;
    for (const std::string& line : std::vector<std::string>{
             "\"ok\": false, \"interfaces\": [",
             "{\"interface\": \"" + classic.name() +
                 "\", \"ok\": false, "
                 "\"detail\": \"classic (MTU 16), configured can_fd true: ip link set " +
                 classic.name() + " type can bitrate 1000000 dbitrate 5000000 fd on\"}"})
        EXPECT_NE(bad.out.find(line), std::string::npos) << line << "\n" << bad.out;
}

// Register traffic on the bus of a running spinbench, on its own motor and on another: its
// motor keeps answering at the rate it had before, stays enabled, and spinbench reports no
// fault or lost feedback.
TEST(JointcfgBench, RegisterTrafficBesideSpinbenchLeavesItsServiceIntact) {
    Vcan bus;
    TempDir dir;
    DamiaoEmulatorProcess emu(bus.name(), {"1:0x11:4310:0", "2:0x12:4310:0"});
    ASSERT_TRUE(emu.ready());
    const std::string path = dir.File("motor.yaml");
    std::ofstream(path) << "motor_init_para:\n" << Entry(bus, 1, 0x11, 0, 4310);
    ChildProcess tool(
        {testsupport::SelfDir() + "/../bin/spinbench", "-m", "3", "-f", "20", "-c", path},
        {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}});
    ASSERT_NE(tool.WaitForOutput("motor ID: 1, curpos:", seconds(20)), std::string::npos)
        << tool.Out();

    // Frames the motor received over a quiet stretch and over one of register traffic.
    auto received = [&] { return emu.Status(1).received; };
    const auto quietStart = received();
    const auto t0 = steady_clock::now();
    std::this_thread::sleep_for(seconds(2));
    const auto quiet = received() - quietStart;
    const auto quietTime = steady_clock::now() - t0;

    const auto busyStart = received();
    const auto t1 = steady_clock::now();
    int answered = 0, asked = 0;
    while (steady_clock::now() - t1 < quietTime) {
        ++asked;
        auto r = Jointcfg({"get", "-i", bus.name(), "--id", asked % 2 ? "1" : "2", "CTRL_MODE"});
        answered += r.status == 0 && r.out == "1\n";
    }
    const auto busy = received() - busyStart;
    EXPECT_EQ(answered, asked);
    EXPECT_GT(busy, quiet / 2) << "quiet " << quiet << ", with register traffic " << busy;
    EXPECT_TRUE(emu.Status(1).enabled);

    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(seconds(20)), 0);
    const std::string out = tool.Out();
    for (const char* bad : {"lost", "offline", "error", "ERROR"})
        EXPECT_EQ(out.find(bad), std::string::npos) << bad << "\n" << out;
}

// The register API itself: a distinct result for silence, refusals that send nothing, a new
// feedback id confirmed where the motor now answers, and the motor-side time-out it sets.
TEST(DamiaoRegisterBus, NoReplyRefusalsAndIdChanges) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {"1:0x11:4310:0"});
    ASSERT_TRUE(emu.ready());
    Damiao::RegisterBus registers(bus.name());
    ASSERT_EQ(registers.status(), jointbus::kOk);

    uint32_t value = 7;
    EXPECT_EQ(
        registers.Read(9, Damiao::RegisterBus::kAnyFeedbackId, Damiao::kRegCtrlMode, value, 300),
        jointbus::kNoReply);
    EXPECT_EQ(registers.Read(1, 0x11, Damiao::kRegCtrlMode, value, 300), jointbus::kOk);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(registers.Read(1, 0x12, Damiao::kRegCtrlMode, value, 300), jointbus::kNoReply)
        << "an answer on another feedback id is not this motor's";

    const auto requests = emu.Registers(1).requests;
    EXPECT_EQ(registers.Write(1, 0x11, Damiao::kRegSwVersion, 1), jointbus::kRegisterRefused);
    EXPECT_EQ(registers.Write(1, 0x11, Damiao::kRegCtrlMode, 9), jointbus::kRegisterRefused);
    EXPECT_EQ(registers.Write(1, 0x11, 99, 1), jointbus::kRegisterRefused);
    EXPECT_EQ(emu.Registers(1).requests, requests) << "a refused write sends nothing";

    EXPECT_EQ(registers.Write(1, 0x11, Damiao::kRegMasterId, 0x31, 300), jointbus::kOk);
    EXPECT_EQ(emu.Registers(1).master, 0x31u);
    EXPECT_EQ(registers.Read(1, 0x31, Damiao::kRegMasterId, value, 300), jointbus::kOk);
    EXPECT_EQ(value, 0x31u);

    // TIMEOUT 2000 x 50 us: an enabled motor that hears nothing for 100 ms disables itself and
    // reports state 13.
    EXPECT_EQ(registers.Write(1, 0x31, Damiao::kRegTimeout, 2000, 300), jointbus::kOk);
    DriverCan can(bus.name().c_str(), 0x31, 0);
    ASSERT_EQ(can.Open(), 0);
    uint8_t enable[8];
    Damiao::EncodeSpecial(Damiao::kEnable, enable);
    ASSERT_TRUE(can.CanWrite(1, enable, 8));
    EXPECT_TRUE(testsupport::WaitFor([&] { return emu.Status(1).state == 13; }, seconds(5)))
        << emu.Status(1).state;
    int state = -1;
    EXPECT_EQ(registers.ReadState(1, 0x31, state, 300), jointbus::kOk);
    EXPECT_EQ(state, 13);
}
