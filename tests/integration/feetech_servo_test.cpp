// Feetech servos through the scheduler, against the emulator on a pseudo-terminal.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "feetech_emulator_process.h"
#include "hex.h"
#include "jointbus/Feetech/FeetechDrvImpl.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/Feetech/SMS_STS_THREAD.h"
#include "jointbus/common/command_watchdog.h"
#include "jointbus/common/control_cycle.h"
#include "jointbus/common/motor_limits.h"
#include "jointbus/driver/driver_uart.h"
#include "log_capture.h"
#include "near.h"
#include "pty.h"
#include "servo_bus.h"
#include "wait.h"

using namespace std::chrono;
using testsupport::FeetechEmulatorProcess;
using testsupport::IsEnabled;
using testsupport::IsOnline;
using testsupport::LogCapture;
using testsupport::Pty;
using testsupport::ServoBus;
using testsupport::TempDir;
using testsupport::WaitFor;

using testsupport::Bytes;
using testsupport::Hex;
namespace {

constexpr double kPi = 3.14159265358979323846;

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Posts small position steps (within the filter) towards `deg`, as a control loop would.
void MoveTo(feetechMotor& m, double deg) {
    for (int i = 0; i < 200; ++i) {
        double rad = 0;
        m.getMotorPosition(rad);
        const double now = rad * 180 / kPi;
        if (std::fabs(now - deg) < 1.0) return;
        const double step = std::clamp(deg - now, -5.0, 5.0);
        m.setMotorPosition((now + step) * kPi / 180);
        std::this_thread::sleep_for(milliseconds(20));
    }
}

}  // namespace

TEST(FeetechServo, FeedbackEnableAndPositionCommands) {
    ServoBus bus("1");
    auto& emu = bus.emu;
    ASSERT_TRUE(emu.ready());
    feetechMotor servo(1, 1000000, bus.device, false);
    ASSERT_EQ(servo.init(), 0);
    EXPECT_TRUE(WaitFor([&] { return IsOnline(servo); }, milliseconds(3000)));
    double rad = 1;
    servo.getMotorPosition(rad);
    EXPECT_NEAR(rad * 180 / kPi, 2048 * 0.088 - 180, 0.01);

    EXPECT_EQ(servo.setEnableStatus(true), 0);
    EXPECT_TRUE(WaitFor([&] { return IsEnabled(servo); }, milliseconds(3000)));
    EXPECT_EQ(emu.Status(1).torque, 1);

    MoveTo(servo, 20.0);
    EXPECT_TRUE(
        WaitFor([&] { return std::fabs(emu.Status(1).pos - 2048 - 228) < 15; }, milliseconds(5000)))
        << emu.Status(1).pos;
    servo.getMotorPosition(rad);
    EXPECT_NEAR(rad * 180 / kPi, 20.0, 2.0);

    servo.setEnableStatus(false);
    EXPECT_TRUE(WaitFor([&] { return emu.Status(1).torque == 0; }, milliseconds(3000)));
}

TEST(FeetechServo, VelocityCommandsTurnTheServo) {
    ServoBus bus("2");
    auto& emu = bus.emu;
    feetechMotor servo(2, 1000000, bus.device, true);
    ASSERT_EQ(servo.init(), 0);
    servo.setEnableStatus(true);
    ASSERT_TRUE(WaitFor([&] { return IsEnabled(servo); }, milliseconds(3000)));
    EXPECT_EQ(servo.setVelocity(0.5), 0);  // inverse: the servo turns the other way
    EXPECT_TRUE(WaitFor([&] { return emu.Status(2).speed < -300; }, milliseconds(3000)))
        << emu.Status(2).speed;
    double vel = 0;
    EXPECT_TRUE(WaitFor(
        [&] {
            servo.getVelocity(vel);
            return vel > 0.4;
        },
        milliseconds(3000)))
        << vel;
}

TEST(FeetechServo, HomingThroughTheScheduler) {
    ServoBus bus("3");
    auto& emu = bus.emu;
    feetechMotor servo(3, 1000000, bus.device, false);
    ASSERT_EQ(servo.init(), 0);
    servo.setEnableStatus(true);
    ASSERT_TRUE(WaitFor([&] { return IsEnabled(servo); }, milliseconds(3000)));
    MoveTo(servo, 10.0);
    ASSERT_TRUE(WaitFor([&] { return emu.Status(3).pos > 2100; }, milliseconds(5000)));
    EXPECT_EQ(servo.setHome(5), 0);
    EXPECT_EQ(emu.Status(3).pos, 2048);
    EXPECT_TRUE(WaitFor([&] { return IsEnabled(servo); }, milliseconds(3000))) << "re-enabled";

    LogCapture log;
    EXPECT_EQ(servo.setHome(0), 3006);  // no wait; the scheduler still homes it
    EXPECT_EQ(log.Count("Feetech motor 3 setHome.\r\n"), 1u);
    EXPECT_EQ(log.Count("The servo 3 setHome failed.\n"), 1u);
    EXPECT_TRUE(WaitFor([&] { return !servo.homeRequest.load(); }, milliseconds(3000)));
}

// A silent servo goes offline with its error lines and comes back when it answers again. It
// is read before the other servo, whose reply to the same SYNC READ it receives and hands on:
// the other servo never misses a tick.
TEST(FeetechServo, SilentServoGoesOfflineAndComesBack) {
    ServoBus bus("4,5");
    auto& emu = bus.emu;
    feetechMotor a(4, 1000000, bus.device, false);
    feetechMotor b(5, 1000000, bus.device, false);
    ASSERT_EQ(a.init(), 0);
    ASSERT_EQ(b.init(), 0);
    ASSERT_TRUE(WaitFor([&] { return IsOnline(a) && IsOnline(b); }, milliseconds(3000)));
    LogCapture log;
    emu.Command("silent 4 on");
    bool bStayed = true;
    EXPECT_TRUE(WaitFor(
        [&] {
            bStayed = bStayed && IsOnline(b);
            return !IsOnline(a);
        },
        milliseconds(3000)));
    const auto until = steady_clock::now() + milliseconds(500);
    while (steady_clock::now() < until) {
        bStayed = bStayed && IsOnline(b);
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_TRUE(bStayed);
    EXPECT_EQ(log.Count("servo 5 reply"), 0u);
    EXPECT_EQ(a.setMotorPosition(0.0), 5002);
    EXPECT_GE(log.Count("[ERROR] servo nodeid:4 read error!\r\n"), 1u);
    EXPECT_GE(log.Count("nodeID mismatch, msg: 5, , node: 4"), 1u);
    emu.Command("silent 4 off");
    EXPECT_TRUE(WaitFor([&] { return IsOnline(a); }, milliseconds(3000)));
}

TEST(FeetechServo, CorruptRepliesAreRejectedAndTheCacheKept) {
    ServoBus bus("6,7");
    auto& emu = bus.emu;
    feetechMotor a(6, 1000000, bus.device, false);
    feetechMotor b(7, 1000000, bus.device, false);
    ASSERT_EQ(a.init(), 0);
    ASSERT_EQ(b.init(), 0);
    ASSERT_TRUE(WaitFor([&] { return IsOnline(a) && IsOnline(b); }, milliseconds(3000)));
    double before = 0;
    a.getMotorPosition(before);
    const struct {
        const char* fault;
        const char* line;
    } faults[] = {{"badsum 6", "servo 6 reply rejected: checksum"},
                  {"wrongid 6", "nodeID mismatch, msg: 7, , node: 6"},
                  {"truncate 6", "servo 6 reply"},         // runs into servo 7: bad checksum
                  {"trickle 6", "serial read timedout"}};  // a byte per 20 ms: past the budget
    for (const auto& f : faults) {
        LogCapture log;
        emu.Command(std::string(f.fault) + " on");
        EXPECT_TRUE(WaitFor([&] { return log.Count(f.line) >= 1; }, milliseconds(3000))) << f.fault;
        double now = 0;
        a.getMotorPosition(now);
        EXPECT_EQ(now, before) << f.fault;
        EXPECT_TRUE(IsOnline(b)) << f.fault;
        emu.Command(std::string(f.fault) + " off");
        EXPECT_TRUE(WaitFor([&] { return IsOnline(a); }, milliseconds(3000))) << f.fault;
    }
    LogCapture log;
    emu.Command("garbage on");
    std::this_thread::sleep_for(milliseconds(200));
    emu.Command("garbage off");
    EXPECT_TRUE(WaitFor([&] { return IsOnline(a) && IsOnline(b); }, milliseconds(3000)));
}

TEST(FeetechServo, SixServosShareOneBus) {
    ServoBus bus("11,12,13,14,15,16");
    auto& emu = bus.emu;
    std::vector<std::unique_ptr<feetechMotor>> servos;
    for (unsigned id = 11; id <= 16; ++id) {
        servos.push_back(std::make_unique<feetechMotor>(id, 1000000, bus.device, false));
        ASSERT_EQ(servos.back()->init(), 0);
        servos.back()->setEnableStatus(true);
    }
    for (auto& s : servos) ASSERT_TRUE(WaitFor([&] { return IsEnabled(*s); }, milliseconds(3000)));
    for (int i = 0; i < 3; ++i) {
        for (auto& s : servos) s->setMotorPosition((i + 1) * 2.0 * kPi / 180);
        std::this_thread::sleep_for(milliseconds(50));
    }
    for (unsigned id = 11; id <= 16; ++id)
        EXPECT_TRUE(
            WaitFor([&] { return emu.Status(int(id)).goal > 2048 + 60; }, milliseconds(3000)))
            << id;
}

// Destroying a servo only removes that servo; the scheduler serves the others and takes up
// servos registered later.
TEST(FeetechServo, RemovingAServoKeepsTheOthersServed) {
    ServoBus bus("21,22");
    auto& emu = bus.emu;
    feetechMotor keep(21, 1000000, bus.device, false);
    ASSERT_EQ(keep.init(), 0);
    {
        feetechMotor gone(22, 1000000, bus.device, false);
        ASSERT_EQ(gone.init(), 0);
        ASSERT_TRUE(WaitFor([&] { return IsOnline(gone); }, milliseconds(3000)));
        gone.motor_id = 99;  // changed after init: it still leaves under the id it came with
    }
    keep.setEnableStatus(true);
    EXPECT_TRUE(WaitFor([&] { return emu.Status(21).torque == 1; }, milliseconds(3000)));
    feetechMotor later(22, 1000000, bus.device, false);
    ASSERT_EQ(later.init(), 0);
    EXPECT_TRUE(WaitFor([&] { return IsOnline(later); }, milliseconds(3000)));
}

TEST(FeetechServo, PortVanishesAndComesBack) {
    ServoBus bus("31");
    auto& emu = bus.emu;
    feetechMotor servo(31, 1000000, bus.device, false);
    ASSERT_EQ(servo.init(), 0);
    ASSERT_TRUE(WaitFor([&] { return IsOnline(servo); }, milliseconds(3000)));
    emu.Command("vanish");
    EXPECT_TRUE(WaitFor([&] { return !IsOnline(servo); }, milliseconds(3000)));
    // While the bus.device is gone the threads wait between attempts: a spinning loop would take
    // a whole core. The bound is generous, for a loaded machine; under a sanitizer every tick
    // costs many times its CPU, so the measure means nothing there.
    if (!testsupport::kUnderSanitizer) {
        const double cpu0 = ProcessCpuSeconds();
        std::this_thread::sleep_for(milliseconds(1200));
        EXPECT_LT(ProcessCpuSeconds() - cpu0, 0.4);
    }
    emu.Command("reappear");
    EXPECT_TRUE(WaitFor([&] { return IsOnline(servo); }, milliseconds(5000)));
}

// The position filter and the servo units, without a bus.
TEST(FeetechServo, PositionFilterAndRateLimit) {
    std::string device = "/nonexistent/tty";
    feetechMotor m(40, 115200, device, false);
    m.online = true;
    m.fbPosition = 2045;  // reads as -0.04°
    EXPECT_EQ(m.setMotorPosition(5.0 * kPi / 180), 0);
    EXPECT_EQ(m.goalPosition, 2077);  // 2.55° after the rate limit
    m.cmdPending = false;
    m.setMotorPosition(5.0 * kPi / 180);
    EXPECT_EQ(m.goalPosition, uint16_t((5.0 + 180) * 11.377777777777778));
    // 10.5° away: hold the present position (after the rate limit)
    m.lastCmdDeg = float(2045 * 0.088 - 180);
    m.setMotorPosition(10.5 * kPi / 180);
    EXPECT_FALSE(m.tracking);
    EXPECT_EQ(m.goalPosition, uint16_t((2045 * 0.088 - 180 + 180) * 11.377777777777778));
    m.setMotorPosition(0.0);
    EXPECT_TRUE(m.tracking);
    EXPECT_EQ(m.setMotorPosition(std::nan("")), feetechMotor::kNotANumber);
    m.online = false;
    EXPECT_EQ(m.setMotorPosition(0.0), 5002);
}

TEST(FeetechServo, UnitsAndSpeedLimits) {
    std::string device = "/nonexistent/tty";
    feetechMotor m(41, 115200, device, false);
    m.online = true;
    m.setVelocity(0.0);
    EXPECT_EQ(m.goalSpeed, 100);
    EXPECT_EQ(m.cmdKind, 2);
    m.setVelocity(-0.1);
    EXPECT_EQ(m.goalSpeed, -100);
    m.cmdPending = false;
    m.fbPosition = 2048;
    m.setMotorPosition(0.0, 60.0, 7.0);  // 60 rad/s would wrap a 16-bit speed
    EXPECT_EQ(m.goalSpeed, 32767);
    EXPECT_EQ(m.goalTime, 7);
    EXPECT_TRUE(m.enableCmd);
    EXPECT_EQ(m.cmdKind, 1);
    m.setVelocity(1.0);  // pending position command keeps its kind
    EXPECT_EQ(m.cmdKind, 1);
    // Infinities saturate: the gripper command goes to the end of the range at top speed; a
    // position setter holds the servo (the target is too far away), and velocities saturate.
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(m.setGripperStatus(inf, -inf, inf), 0);
    EXPECT_EQ(m.goalPosition, 4095);
    EXPECT_EQ(m.goalSpeed, 32767);
    EXPECT_EQ(m.goalTime, 65535);
    EXPECT_EQ(m.setGripperStatus(-inf, 0, -inf), 0);
    EXPECT_EQ(m.goalPosition, 0);
    EXPECT_EQ(m.goalTime, 0);
    EXPECT_EQ(m.setMotorPosition(inf), 0);
    EXPECT_NEAR(m.goalPosition, 2048, 3);  // held where it is
    EXPECT_EQ(m.setVelocity(-inf), 0);
    EXPECT_EQ(m.goalSpeed, -32767);
    m.fbCurrent = 300;
    m.fbLoad = -20;
    double torque = 0;
    m.getTorque(torque);
    EXPECT_NEAR(torque, -1.3, 1e-9);
    bool on;
    m.online = false;
    EXPECT_EQ(m.getEnableStatus(on), 5004);
    EXPECT_EQ(m.readStatus(0), 0);
    EXPECT_EQ(m.readEnable(0), -1);
    EXPECT_EQ(m.setTargetPos(1, 1, 1, 1), -1);
}

// Every way of commanding a servo passes its limits: the gripper command and the raw speed
// command clamp as the setters do.
TEST(FeetechServo, TheGripperAndRawSpeedCommandsPassTheLimits) {
    std::string device = "/nonexistent/tty";
    feetechMotor m(42, 115200, device, false);
    m.online = true;
    m.fbPosition = 2048;
    jointbus::MotorLimits limits;
    limits.positionMin = -0.3;
    limits.positionMax = 0.3;
    limits.velocity = 1.0;
    ASSERT_EQ(jointbus::SetMotorLimits(&m, limits), 0);
    EXPECT_EQ(m.setGripperStatus(1.0, 50.0, 0), 0);
    EXPECT_EQ(m.goalPosition, uint16_t((0.3 * 180 / kPi + 180) * 11.377777777777778));
    EXPECT_EQ(m.goalSpeed, 651);  // 1 rad/s in ticks per second
    EXPECT_EQ(m.setSpeed(-32767, 0), 0);
    EXPECT_EQ(m.goalSpeed, -651);
    EXPECT_EQ(jointbus::MotorLimitHits(&m), 2u);
}

// Commands through the scheduler's mailbox (by id, in servo units) pass the servo's limits too,
// and each one keeps its command watchdog quiet while they stream.
TEST(FeetechServo, MailboxCommandsPassTheLimitsAndFeedTheWatchdog) {
    ServoBus bus("43");
    feetechMotor servo(43, 1000000, bus.device, false);
    ASSERT_EQ(servo.init(), 0);
    ASSERT_TRUE(WaitFor([&] { return IsOnline(servo); }, milliseconds(3000)));
    jointbus::MotorLimits limits;
    limits.positionMin = -0.3;
    limits.positionMax = 0.3;
    ASSERT_EQ(jointbus::SetMotorLimits(&servo, limits), 0);
    ASSERT_EQ(jointbus::SetCommandWatchdog(&servo, {500, jointbus::OnCommandTimeout::kDisable}), 0);
    servo.setEnableStatus(true);
    ASSERT_TRUE(WaitFor([&] { return IsEnabled(servo); }, milliseconds(3000)));
    // Longer than the watchdog's timeout in all, a command every 10 ms.
    const auto start = steady_clock::now();
    while (steady_clock::now() - start < milliseconds(800)) {
        servo.scheduler->setPosVel(43, 4095, 500);
        std::this_thread::sleep_for(milliseconds(10));
    }
    double target = 0;
    ASSERT_EQ(servo.getTargetPosition(target), 0);
    EXPECT_NEAR(target, 0.3, 0.002);
    EXPECT_EQ(jointbus::CommandTimeouts(&servo), 0u);
    EXPECT_TRUE(IsEnabled(servo));
}

// A silent servo in a fast control cycle costs its line time-outs once, as it goes offline: from
// then on the cycle reports it silent, its reads ending by the cycle's bound, and says so once,
// not once a cycle; the other servo on the port answers in every cycle.
TEST(FeetechServo, ASilentServoInAControlCycleIsReportedNotWaitedFor) {
    ServoBus bus("44,45");
    feetechMotor quiet(44, 1000000, bus.device, false), other(45, 1000000, bus.device, false);
    ASSERT_EQ(quiet.init(), 0);
    ASSERT_EQ(other.init(), 0);
    ASSERT_TRUE(WaitFor([&] { return IsOnline(quiet) && IsOnline(other); }, milliseconds(3000)));
    jointbus::ControlCycleOptions options;
    options.watchdogMs = 10000;
    options.periodUs = 2000;  // the port's tick fits: it is served in every cycle
    jointbus::ControlCycle cycle({&quiet, &other}, options);
    ASSERT_EQ(cycle.start(), 0) << cycle.error();
    LogCapture log;
    bus.emu.Command("silent 44 on");
    int quietSilent = 0, otherSilent = 0;
    for (int i = 0; i < 300; ++i) {
        cycle.cycle();
        for (CtrlMotorInterface* m : cycle.silent()) {
            quietSilent += m == &quiet;
            otherSilent += m == &other;
        }
        std::this_thread::sleep_for(microseconds(500));
    }
    EXPECT_GE(quietSilent, 290);
    EXPECT_EQ(otherSilent, 0);
    EXPECT_LE(log.Count("serial read timedout"), 2u) << "only as it goes offline";
    EXPECT_EQ(log.Count("servo nodeid:44 read error!"), 1u) << log.Text().substr(0, 2000);
    EXPECT_EQ(log.Count("servo nodeid:45"), 0u);
    bus.emu.Command("silent 44 off");
    bool back = false;
    for (int i = 0; i < 3000 && !back; ++i) {
        back = cycle.cycle() == 0;
        std::this_thread::sleep_for(microseconds(500));
    }
    EXPECT_TRUE(back);
}

TEST(FeetechParamFile, ConstructorsReadTheServosEntry) {
    TempDir dir;
    std::string path = dir.File("motor_.yaml");
    std::ofstream(path) << "feetechmotor7:\n  device: /dev/ttyUSB0\n  baudrate: 1000000\n"
                           "feetechmotor8:\n  device: /dev/ttyUSB1\n  baudrate: -5\n"
                           "feetechmotor9:\n  device:\n  baudrate: 0x1C200\n";
    LogCapture log;
    feetechMotor a(7, path);
    EXPECT_EQ(a.uartDevice, "/dev/ttyUSB0");
    EXPECT_EQ(a.uartBaud, 1000000u);
    EXPECT_EQ(log.Count("[INFO] The motor tty device is /dev/ttyUSB0\r\n"), 1u);
    EXPECT_EQ(log.Count("[INFO] Load motor yamlfile success!\r\n"), 1u);
    feetechMotor b(8, path);
    EXPECT_EQ(b.paraDevice, "/dev/ttyUSB1");
    EXPECT_EQ(b.uartBaud, 0u);
    EXPECT_EQ(log.Count("[ERROR] YAML Error: "), 1u);
    feetechMotor c(9, path);
    EXPECT_EQ(c.uartDevice, "null");
    EXPECT_EQ(c.uartBaud, 115200u);
    feetechMotor d(10, path);
    EXPECT_EQ(d.uartDevice, "");
    EXPECT_EQ(log.Count("[ERROR] YAML Error: "), 2u);
    std::string missing = dir.File("none.yaml");
    EXPECT_EQ(d.function_get_para(10, missing), -1);
    EXPECT_EQ(log.Count("bad file"), 1u);
}

// 24 + 39 N bytes a tick: one servo at 115200 baud needs 5.47 ms, more than the tick.
TEST(FeetechServo, SlowBusIsReportedOnce) {
    std::string device = "/nonexistent/ttySLOW";
    LogCapture log;
    {
        feetechMotor fast(51, 1000000, device, false);
        fast.init();
        EXPECT_EQ(log.Count("ms of line time per tick"), 0u);
    }
    feetechMotor a(52, 115200, device, false);
    feetechMotor b(53, 115200, device, false);
    a.init();
    b.init();
    EXPECT_EQ(log.Count("[WARN] 1 servo(s) at 115200 baud need 5.47 ms of line time per tick, "
                        "more than the 5 ms tick\r\n"),
              1u)
        << log.Text();
    EXPECT_EQ(log.Count("ms of line time per tick"), 1u);
}

// One tick for one servo with a position command pending, byte for byte, against a servo
// played by the test on the far end of a pseudo-terminal.
TEST(FeetechServo, OneTickOnTheLine) {
    TempDir dir;
    Pty line(dir.File("ttyONE"));
    std::atomic<bool> done{false};
    std::mutex m;
    std::vector<std::string> requests;
    std::thread servoSide([&] {
        auto reply = [&](std::vector<unsigned char> data) {
            std::vector<unsigned char> p = {0xFF, 0xFF, 0x01,
                                            static_cast<unsigned char>(data.size() + 2), 0};
            p.insert(p.end(), data.begin(), data.end());
            p.push_back(FeetechDrvImpl::calcChecksum(p.data() + 2, unsigned(p.size() - 2)));
            line.WriteMaster(std::string(p.begin(), p.end()));
        };
        std::string pending;
        // A stray byte must not shift every packet after it: each starts at an FF FF (a last
        // byte is kept, as it may be the first FF).
        auto resync = [&] {
            if (!pending.empty())
                pending.erase(0, std::min(pending.find("\xFF\xFF"), pending.size() - 1));
        };
        while (!done) {
            pending += line.ReadMaster(256, 20);
            for (resync(); pending.size() >= 4 &&
                           pending.size() >= size_t(static_cast<unsigned char>(pending[3])) + 4;
                 resync()) {
                const size_t len = size_t(static_cast<unsigned char>(pending[3])) + 4;
                const std::string packet = pending.substr(0, len);
                pending.erase(0, len);
                {
                    std::lock_guard<std::mutex> lock(m);
                    requests.push_back(packet);
                }
                const auto instr = static_cast<unsigned char>(packet[4]);
                const auto reg = static_cast<unsigned char>(packet[5]);
                if (instr == 0x82 && reg == 0x38) {
                    std::vector<unsigned char> block(15, 0);
                    block[0] = 0x00;
                    block[1] = 0x08;  // position 2048
                    reply(block);
                } else if (instr == 0x82 && reg == 0x28) {
                    reply({1});  // torque on
                } else if (instr == 0x03) {
                    reply({});
                }
            }
        }
    });
    std::string device = line.path();
    {
        feetechMotor servo(1, 1000000, device, false);
        servo.init();
        servo.setEnableStatus(true);
        ASSERT_TRUE(WaitFor([&] { return IsEnabled(servo); }, milliseconds(3000)));
        ASSERT_EQ(servo.setMotorPosition(0.0), 0);
        const std::string write = Bytes({0xFF, 0xFF, 0xFE, 0x0C, 0x83, 0x29, 0x07, 0x01});
        size_t at = 0;
        const bool sent = WaitFor(
            [&] {
                std::lock_guard<std::mutex> lock(m);
                for (at = 2; at < requests.size(); ++at)
                    if (requests[at].rfind(write, 0) == 0) return true;
                return false;
            },
            milliseconds(10000));
        EXPECT_TRUE(sent);
        if (sent) {
            std::lock_guard<std::mutex> lock(m);
            EXPECT_EQ(Hex(requests[at - 2]),
                      "FF FF FE 05 82 38 0F 01 " +
                          Hex(Bytes({0xFF & ~(0xFE + 0x05 + 0x82 + 0x38 + 0x0F + 0x01)})));
            EXPECT_EQ(Hex(requests[at - 1]),
                      "FF FF FE 05 82 28 01 01 " +
                          Hex(Bytes({0xFF & ~(0xFE + 0x05 + 0x82 + 0x28 + 0x01 + 0x01)})));
            // acc 0, goal 2048 (0x0800), time 0, speed 0
            EXPECT_EQ(Hex(requests[at]).substr(0, 44),
                      "FF FF FE 0C 83 29 07 01 00 00 08 00 00 00 00");
        }
        std::lock_guard<std::mutex> servoLock(servo.motorMutex);
        EXPECT_FALSE(servo.cmdPending);
    }
    done = true;
    servoSide.join();
}

// init() again while the scheduler ticks: with the same port the engine is kept; a new port
// replaces it only while the servo is out of the scheduler. The servo is served throughout.
TEST(FeetechServo, InitAgainWhileTheSchedulerTicks) {
    ServoBus bus("6");
    feetechMotor servo(6, 1000000, bus.device, false);
    ASSERT_EQ(servo.init(), 0);
    ASSERT_TRUE(WaitFor([&] { return IsOnline(servo); }, milliseconds(10000)));
    const FeetechDrvImpl* engine = servo.drv.get();
    for (int i = 0; i < 30; ++i) ASSERT_EQ(servo.init(), 0);
    EXPECT_EQ(servo.drv.get(), engine) << "same port: the engine is kept";
    for (int i = 0; i < 10; ++i) {
        servo.uartDevice = i % 2 ? bus.link : bus.dir.File("ttyNONE");
        ASSERT_EQ(servo.init(), i % 2 ? 0 : 5004);  // a port that is not there is reported
    }
    EXPECT_EQ(servo.drv->port->devName, bus.link);
    EXPECT_TRUE(WaitFor([&] { return IsOnline(servo); }, milliseconds(10000)));
    servo.setEnableStatus(true);
    EXPECT_TRUE(WaitFor([&] { return IsEnabled(servo); }, milliseconds(10000)));
}

TEST(FeetechScheduler, NullServoIsRefused) {
    LogCapture log;
    auto* scheduler = servo::SMS_STS_THREAD::getInstance();
    scheduler->addFeetech(77, nullptr);
    EXPECT_EQ(log.Count("[ERROR] servo id:77 not registered: no servo given\r\n"), 1u);
    EXPECT_EQ(log.Count("servo id:77 init"), 0u);
    scheduler->setEnable(77, true);  // no entry: nothing to touch
}

// setHome waits for the scheduler; abortHome cuts the wait short from another thread and
// withdraws the request. An abort with no wait in progress ends the next wait at once.
TEST(FeetechServo, AbortHomeEndsTheWait) {
    Pty silent;  // no servo answers: the homing never completes
    std::string device = silent.path();
    feetechMotor servo(8, 1000000, device, false);
    ASSERT_EQ(servo.init(), 0);
    LogCapture log;
    std::thread aborter([&] {
        WaitFor([&] { return log.Count("Feetech motor 8 setHome.") == 1; }, milliseconds(30000));
        servo.abortHome();
    });
    EXPECT_EQ(servo.setHome(200), 3006);
    aborter.join();
    EXPECT_EQ(log.Count("The servo 8 setHome aborted.\n"), 1u);
    EXPECT_FALSE(servo.homeRequest.load());
    servo.abortHome();
    EXPECT_EQ(servo.setHome(200), 3006);
    EXPECT_EQ(log.Count("The servo 8 setHome aborted.\n"), 2u);
}

// The scheduler's mailbox by servo id, as the servo's own setters use it: each operation
// reaches the servo it names on the next ticks and no other; an unknown id changes nothing.
TEST(FeetechScheduler, MailboxOperationsReachTheNamedServoOnly) {
    ServoBus bus("61,62");
    auto& emu = bus.emu;
    feetechMotor a(61, 1000000, bus.device, false);
    feetechMotor b(62, 1000000, bus.device, false);
    ASSERT_EQ(a.init(), 0);
    ASSERT_EQ(b.init(), 0);
    ASSERT_TRUE(WaitFor([&] { return IsOnline(a) && IsOnline(b); }, milliseconds(3000)));
    servo::SMS_STS_THREAD* scheduler = servo::SMS_STS_THREAD::ForPort(bus.device);
    const int goal62 = emu.Status(62).goal;

    scheduler->setEnable(99, true);  // no such servo
    scheduler->setPosVel(99, 2100, 100);
    scheduler->setVel(99, 300, 0);
    scheduler->SetAcceleration(99, 9);
    scheduler->ApplyPositionAsHome(99);

    scheduler->setEnable(61, true);
    EXPECT_TRUE(WaitFor([&] { return emu.Status(61).torque == 1; }, milliseconds(3000)));
    scheduler->setPosVel(61, 2148, -500);  // the speed is taken as a magnitude
    EXPECT_TRUE(WaitFor([&] { return emu.Status(61).goal == 2148; }, milliseconds(3000)))
        << emu.Status(61).goal;
    EXPECT_TRUE(
        WaitFor([&] { return std::abs(emu.Status(61).pos - 2148) < 5; }, milliseconds(5000)));
    scheduler->SetAcceleration(61, 20);
    {
        std::lock_guard<std::mutex> lock(a.motorMutex);
        EXPECT_EQ(a.acceleration, 20);
    }
    // A velocity command is posted and taken by the next tick (what it does on the line is
    // VelocityCommandsTurnTheServo's subject).
    scheduler->setVel(61, 400, 50);
    EXPECT_TRUE(WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(a.motorMutex);
            return a.cmdKind == 2 && a.goalSpeed == 400 && a.acceleration == 50 && !a.cmdPending;
        },
        milliseconds(3000)));

    // The other servo saw none of it.
    EXPECT_EQ(emu.Status(62).torque, 0);
    EXPECT_EQ(emu.Status(62).goal, goal62);
    {
        std::lock_guard<std::mutex> lock(b.motorMutex);
        EXPECT_EQ(b.acceleration, 0);
    }
    // Homing by id: the servo moved away is zeroed where it stands.
    scheduler->setEnable(62, true);
    scheduler->setPosVel(62, 2200, 500);
    ASSERT_TRUE(WaitFor([&] { return emu.Status(62).pos > 2150; }, milliseconds(5000)));
    scheduler->ApplyPositionAsHome(62);
    EXPECT_TRUE(WaitFor([&] { return !b.homeRequest.load(); }, milliseconds(3000)));
    EXPECT_TRUE(WaitFor([&] { return emu.Status(62).pos == 2048; }, milliseconds(3000)))
        << emu.Status(62).pos;
}

// A leader and a follower arm reuse their ids on two ports: each port has its own scheduler,
// so both servos 1 are driven, and a port whose servo falls silent holds up only itself. A
// second servo 1 on the same port is the same servo: it is refused with a WARN line.
TEST(FeetechServo, TheSameIdOnTwoPortsIsServedOnEach) {
    ServoBus left("1"), right("1");
    feetechMotor a(1, 1000000, left.device, false);
    feetechMotor b(1, 1000000, right.device, false);
    ASSERT_EQ(a.init(), 0);
    ASSERT_EQ(b.init(), 0);
    EXPECT_NE(servo::SMS_STS_THREAD::ForPort(left.device),
              servo::SMS_STS_THREAD::ForPort(right.device));
    ASSERT_TRUE(WaitFor([&] { return IsOnline(a) && IsOnline(b); }, milliseconds(10000)));
    // The emulated servos' goal register starts at 0: each gets its middle to hold before its
    // torque comes on, or a slow machine sees it run off first.
    ASSERT_EQ(a.setMotorPosition(0.0), 0);
    ASSERT_EQ(b.setMotorPosition(0.0), 0);
    a.setEnableStatus(true);
    b.setEnableStatus(true);
    ASSERT_TRUE(WaitFor([&] { return IsEnabled(a) && IsEnabled(b); }, milliseconds(10000)));
    MoveTo(a, 20);
    MoveTo(b, -20);
    // 20 degrees is about 227 ticks either side of the middle.
    EXPECT_TRUE(WaitFor([&] { return std::abs(left.emu.Status(1).pos - 2275) < 15; },
                        milliseconds(5000)))
        << left.emu.Status(1).pos;
    EXPECT_TRUE(WaitFor([&] { return std::abs(right.emu.Status(1).pos - 1821) < 15; },
                        milliseconds(5000)))
        << right.emu.Status(1).pos;

    {
        LogCapture log;
        std::string same = left.device;
        feetechMotor twin(1, 1000000, same, false);
        ASSERT_EQ(twin.init(), 0);
        EXPECT_EQ(log.Count("[WARN] servo id:1 on " + left.device +
                            ": already registered, the later servo is not served\r\n"),
                  1u);
    }  // leaving, the twin takes nothing of the first servo with it

    right.emu.Command("silent 1 on");
    ASSERT_TRUE(WaitFor([&] { return !IsOnline(b); }, milliseconds(5000)));
    // Each port's scheduler does its own work: the silent port's keeps asking and gets no
    // answer, while the live port's goes on asking too and every request there is answered.
    const auto leftBefore = left.emu.Status(1);
    const auto rightBefore = right.emu.Status(1);
    bool leftStayed = true;
    EXPECT_TRUE(WaitFor(
        [&] {
            leftStayed = leftStayed && IsOnline(a);
            return right.emu.Status(1).requests >= rightBefore.requests + 6 &&
                   left.emu.Status(1).requests >= leftBefore.requests + 6;
        },
        milliseconds(30000)));
    const auto leftAfter = left.emu.Status(1);
    const auto rightAfter = right.emu.Status(1);
    EXPECT_EQ(leftAfter.answered - leftBefore.answered, leftAfter.requests - leftBefore.requests);
    EXPECT_EQ(rightAfter.answered, rightBefore.answered);
    EXPECT_TRUE(leftStayed);
    MoveTo(a, 0);
    EXPECT_TRUE(WaitFor([&] { return std::abs(left.emu.Status(1).pos - 2048) < 15; },
                        milliseconds(5000)))
        << left.emu.Status(1).pos;
    EXPECT_FALSE(IsOnline(b));
    right.emu.Command("silent 1 off");
    EXPECT_TRUE(WaitFor([&] { return IsOnline(b); }, milliseconds(10000)));
}
