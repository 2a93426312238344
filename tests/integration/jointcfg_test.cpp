// The commissioning tool and the servo register API against the servo emulator on a
// pseudo-terminal: what scan finds, what each setter leaves in the servo, what is kept over a
// power cycle, and bad input refused before anything is written.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/Feetech/feetech_register_port.h"
#include "jointbus/Feetech/feetech_registers.h"
#include "jointbus/common/result_codes.h"
#include "near.h"
#include "servo_bus.h"
#include "subprocess.h"
#include "wait.h"

using testsupport::RunProcess;
using testsupport::ServoBus;

namespace {

// Generous waits: the emulator answers at once, but a loaded machine may not run it at once.
testsupport::ProcessResult Jointcfg(std::vector<std::string> args, int waitMs = 300) {
    args.insert(args.begin(), testsupport::SelfDir() + "/../bin/jointcfg");
    args.insert(args.end(), {"--wait-ms", std::to_string(waitMs)});
    return RunProcess(args, {}, 120);
}

}  // namespace

// Servos at two line speeds: each is found at its own speed only, with its model and firmware;
// servo 4, given no speed, hears only its baud register's 1 Mbaud, as a real servo does.
TEST(Jointcfg, ScanFindsEachServoAtItsBaud) {
    ServoBus bus("1:1000000,3:115200,4", 0);
    ASSERT_TRUE(bus.emu.ready());
    // Every id and baud tried waits out its silence: a short range and wait keep it brief.
    auto one = Jointcfg({"scan", "-p", bus.link, "--ids", "0-4"}, 250);
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find("1    1000000  777    3.10      position  off"), std::string::npos)
        << one.out;
    EXPECT_NE(one.out.find("2 servo(s) on"), std::string::npos) << one.out;

    auto all = Jointcfg({"scan", "-p", bus.link, "--ids", "0-4", "--all-bauds", "--json"}, 250);
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("{\"id\": 1, \"baud\": 1000000, \"model\": 777, \"firmware\": \"3.10\""),
              std::string::npos)
        << all.out;
    EXPECT_NE(all.out.find("{\"id\": 3, \"baud\": 115200,"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("{\"id\": 4, \"baud\": 1000000,"), std::string::npos) << all.out;
    size_t found = 0;
    for (size_t at = all.out.find("\"id\""); at != std::string::npos;
         at = all.out.find("\"id\"", at + 1))
        ++found;
    EXPECT_EQ(found, 3u) << all.out;
}

// A setter changes the servo at once; only --store keeps an EEPROM register over a power
// cycle, with the lock closed again after.
TEST(Jointcfg, SettersWriteAndOnlyStoreKeeps) {
    ServoBus bus("1:1000000,2:1000000", 0);
    ASSERT_TRUE(bus.emu.ready());
    auto mode = Jointcfg({"set-mode", "-p", bus.link, "--id", "1", "speed"});
    EXPECT_EQ(mode.status, 0) << mode.err;
    EXPECT_EQ(bus.emu.Status(1).mode, 1);
    EXPECT_EQ(bus.emu.Eeprom(1).writes, 0u);
    bus.emu.Command("powercycle");
    EXPECT_EQ(bus.emu.Status(1).mode, 0) << "a write without --store lasts until power-off";

    auto offset = Jointcfg({"set", "-p", bus.link, "--id", "1", "offset", "-300", "--store"});
    EXPECT_EQ(offset.status, 0) << offset.err;
    auto got = Jointcfg({"get", "-p", bus.link, "--id", "1", "offset"});
    EXPECT_EQ(got.out, "-300\n");
    EXPECT_EQ(bus.emu.Eeprom(1).offset, -300);
    EXPECT_EQ(bus.emu.Eeprom(1).lock, 1) << "the lock is closed after the write";

    auto taken = Jointcfg({"set-id", "-p", bus.link, "--id", "1", "2", "--store"});
    EXPECT_EQ(taken.status, 1);
    EXPECT_NE(taken.err.find("id 2 is already taken"), std::string::npos) << taken.err;

    auto id = Jointcfg({"set-id", "-p", bus.link, "--id", "1", "7", "--store"});
    EXPECT_EQ(id.status, 0) << id.err;
    auto baud = Jointcfg({"set-baud", "-p", bus.link, "--id", "7", "115200", "--store"});
    EXPECT_EQ(baud.status, 0) << baud.err;
    EXPECT_NE(baud.out.find("reach it with -b 115200"), std::string::npos) << baud.out;
    bus.emu.Command("powercycle");
    auto after = Jointcfg({"scan", "-p", bus.link, "-b", "115200", "--ids", "0-10", "--json"});
    EXPECT_NE(after.out.find("{\"id\": 7, \"baud\": 115200,"), std::string::npos) << after.out;
    EXPECT_EQ(after.out.find("\"id\": 1,"), std::string::npos) << after.out;

    // A servo with its torque on is not configured; switching the torque off is allowed.
    auto on = Jointcfg({"set", "-p", bus.link, "--id", "2", "torque_enable", "1"});
    EXPECT_EQ(on.status, 0) << on.err;
    auto busy = Jointcfg({"set-mode", "-p", bus.link, "--id", "2", "speed"});
    EXPECT_EQ(busy.status, 1);
    EXPECT_NE(busy.err.find("torque on"), std::string::npos) << busy.err;
    EXPECT_EQ(bus.emu.Status(2).mode, 0);
    auto off = Jointcfg({"set", "-p", bus.link, "--id", "2", "torque_enable", "0"});
    EXPECT_EQ(off.status, 0) << off.err;
}

// A servo that answers 40 ms late is still read and written when --wait-ms allows for it:
// every exchange of a setter (lock, write, lock, read-back) waits as long as the first.
TEST(Jointcfg, ASlowServoIsReadAndWrittenWithinTheGivenWait) {
    ServoBus bus("1", 1000000, 40000);
    ASSERT_TRUE(bus.emu.ready());
    auto got = Jointcfg({"get", "-p", bus.link, "--id", "1", "torque_enable"}, 2000);
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out, "0\n");
    auto set = Jointcfg({"set", "-p", bus.link, "--id", "1", "offset", "-5", "--store"}, 2000);
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(bus.emu.Eeprom(1).offset, -5);
    EXPECT_EQ(bus.emu.Eeprom(1).lock, 1);
}

// Help: the commands, the storing rule with its reason, and each command's own options.
TEST(Jointcfg, HelpNamesEveryCommandAndTheFlashRule) {
    auto help = RunProcess({testsupport::SelfDir() + "/../bin/jointcfg", "-h"}, {});
    EXPECT_EQ(help.status, 0);
    for (const char* text :
         {"scan", "get REG", "set REG VAL", "set-id NEW", "set-mode M", "set-zero",
          "set-timeout MS", "set-baud RATE", "check", "Only --store keeps", "about 10,000"})
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
    auto scan = RunProcess({testsupport::SelfDir() + "/../bin/jointcfg", "scan", "-h"}, {});
    EXPECT_EQ(scan.status, 0);
    EXPECT_NE(scan.out.find("--all-bauds"), std::string::npos) << scan.out;
    EXPECT_NE(scan.out.find("-i IFACE"), std::string::npos) << scan.out;
    auto none = RunProcess({testsupport::SelfDir() + "/../bin/jointcfg"}, {});
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("usage: jointcfg"), std::string::npos);
}

// Bad input: a clear message, status 2, and not one packet on the line.
TEST(Jointcfg, BadInputIsRefusedBeforeAnythingIsSent) {
    ServoBus bus("1:1000000", 0);
    ASSERT_TRUE(bus.emu.ready());
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"set", "-p", bus.link, "--id", "1", "colour", "3"}, "unknown register 'colour'"},
        {{"set", "-p", bus.link, "--id", "1", "mode", "9"}, "9 is out of range for mode (0 to 3)"},
        {{"set", "-p", bus.link, "--id", "1", "offset", "1.5"}, "not a whole-number value"},
        {{"set", "-p", bus.link, "--id", "1", "model", "5"}, "model is read only"},
        {{"set-id", "-p", bus.link, "--id", "1", "254"}, "new id '254' is out of range"},
        {{"get", "-p", bus.link, "--id", "300", "id"}, "a servo id is 0 to 253"},
        {{"set-baud", "-p", bus.link, "--id", "1", "9600"}, "rate '9600' is not one"},
        {{"set-timeout", "-p", bus.link, "--id", "1", "100"}, "applies to Damiao motors"},
        {{"get", "-p", bus.dir.File("nothing"), "--id", "1", "id"}, "cannot open serial port"},
        {{"get", "--id", "1", "id"}, "give one bus"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
    };
    for (const auto& c : cases) {
        auto r = Jointcfg(c.args);
        EXPECT_EQ(r.status, 2) << c.args[0] << " " << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(bus.emu.Status(1).requests, 0u);
}

// check: one line per servo with its mark, the summary, and status 0 only when all match.
TEST(Jointcfg, CheckReportsWrongBaudAndMissingServo) {
    ServoBus bus("1:1000000,2:115200", 0);
    ASSERT_TRUE(bus.emu.ready());
    const std::string path = bus.dir.File("motor.yaml");
    auto entry = [&](int id, int baud) {
        return "  - {vendor: feetech, id: " + std::to_string(id) +
               ", baudrate: " + std::to_string(baud) + ", dev_name: " + bus.link + "}\n";
    };
    std::ofstream(path) << "motor_init_para:\n" << entry(1, 1000000) << entry(2, 115200);
    auto good = Jointcfg({"check", "-c", path});
    EXPECT_EQ(good.status, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("2 of 2 motor(s) match"), std::string::npos) << good.out;

    std::ofstream(path) << "motor_init_para:\n"
                        << entry(1, 1000000) << entry(2, 1000000) << entry(5, 1000000);
    auto bad = Jointcfg({"check", "-c", path});
    EXPECT_EQ(bad.status, 1);
    // JSON for scripts: strings escaped, even a path with a quote in it.
    const std::string quoted = bus.dir.File("arm\"2.yaml");
    std::ofstream(quoted) << "motor_init_para:\n" << entry(1, 1000000) << entry(2, 1000000);
    auto json = Jointcfg({"check", "-c", quoted, "--json"});
    EXPECT_EQ(json.status, 1);
    EXPECT_NE(
        json.out.find("{\"config\": \"" + bus.dir.File("arm\\\"2.yaml") + "\", \"ok\": false"),
        std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("{\"motor\": \"feetech 1 on " + bus.link + "\", \"ok\": true"),
              std::string::npos)
        << json.out;
    EXPECT_NE(bad.out.find("[ ok ] feetech 1 on"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("answers at 115200 baud, configured 1000000"), std::string::npos)
        << bad.out;
    EXPECT_NE(bad.out.find("[FAIL] feetech 5 on"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("missing: no answer at any baud"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("1 of 3 motor(s) match"), std::string::npos) << bad.out;
}

// Register exchanges on the port of a running servo happen between the scheduler's ticks:
// every exchange is answered and the running servo never goes offline.
TEST(FeetechRegisterPort, ExchangesBesideARunningServoLeaveItOnline) {
    ServoBus bus("1,2", 1000000);
    ASSERT_TRUE(bus.emu.ready());
    feetechMotor servo(1, 1000000, bus.device, false);
    ASSERT_EQ(servo.init(), 0);
    ASSERT_TRUE(testsupport::WaitFor([&] { return testsupport::IsOnline(servo); },
                                     std::chrono::seconds(5)));
    Feetech::RegisterPort port(bus.link, 1000000);
    ASSERT_EQ(port.status(), jointbus::kOk);
    int answered = 0, offline = 0;
    for (int k = 0; k < 100; ++k) {
        uint8_t model[2] = {};
        if (port.Read(2, Feetech::kModel, 2, model, 500) == jointbus::kOk && model[0] == 777 % 256)
            ++answered;
        if (!testsupport::IsOnline(servo)) ++offline;
    }
    EXPECT_EQ(answered, 100);
    EXPECT_EQ(offline, 0);
    // A read-only register is refused before anything is sent.
    const auto* model = jointbus::FindRegister(Feetech::kServoRegisters, "model");
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(port.WriteValue(2, *model, 5, true), jointbus::kRegisterRefused);
}
