// Damiao motors against the emulator on a real CAN interface.

#include <gtest/gtest.h>
#include <valgrind/valgrind.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <cstdlib>
#include <thread>

#include "damiao_emulator_process.h"
#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/DaMiao/damiao_codec.h"
#include "jointbus/DaMiao/damiao_thread.h"
#include "jointbus/common/can_settings.h"
#include "jointbus/common/command_watchdog.h"
#include "jointbus/common/control_cycle.h"
#include "jointbus/common/impedance.h"
#include "jointbus/common/stop_sequence.h"
#include "jointbus/driver/driver_can.h"
#include "log_capture.h"
#include "near.h"
#include "proc_self.h"
#include "vcan.h"
#include "wait.h"

using namespace std::chrono;
using testsupport::DamiaoEmulatorProcess;
using testsupport::IsEnabled;
using testsupport::LogCapture;
using testsupport::PositionOf;
using testsupport::Vcan;
using testsupport::VelocityOf;
using testsupport::WaitFor;
using testsupport::WaitNear;

namespace {

// Under valgrind every thread of the test runs many times slower and one at a time, so a
// receive thread can be kept from its feedback for longer than the 100 ms feedback watch:
// there the watch gets 2 s, except where a test is about the watch itself.
constexpr unsigned kWatchMsUnderValgrind = 2000;

std::unique_ptr<damiaoMotor> MakeMotor(const Vcan& bus, unsigned id, unsigned mode = 0,
                                       bool inverse = false, int model = 4310) {
    auto m =
        std::make_unique<damiaoMotor>(model, id, mode, 0x10 + id, bus.name(), inverse, 15.0f, 1.0f);
    if (RUNNING_ON_VALGRIND) m->setFeedbackTimeout(kWatchMsUnderValgrind);
    return m;
}

std::string MotorArg(unsigned id, unsigned mode = 0, int model = 4310) {
    return std::to_string(id) + ":" + std::to_string(0x10 + id) + ":" + std::to_string(model) +
           ":" + std::to_string(mode);
}

// Streams targets from `from` to `to` in small steps, as a control loop would: about 1 rad/s,
// and never more than 0.1 rad ahead of where the motor reports itself, so that the rotor's lag
// stays well inside the 0.2 rad window however slowly the machine runs the motor's threads
// (under valgrind the sender and the emulator can fall far behind this loop).
void Stream(damiaoMotor& m, double from, double to, double stepPerCall = 0.005) {
    const int n = int(std::ceil(std::fabs(to - from) / stepPerCall));
    for (int i = 1; i <= n; ++i) {
        const double target = from + (to - from) * i / n;
        WaitFor(
            [&] {
                double pos = 0;
                return m.getMotorPosition(pos) == 0 && std::fabs(pos - target) < 0.1;
            },
            milliseconds(2000));
        m.setMotorPosition(target);
        std::this_thread::sleep_for(milliseconds(5));
    }
}

bool EnableAndWait(damiaoMotor& m) {
    m.setEnableStatus(true);
    return WaitFor([&] { return IsEnabled(m); }, milliseconds(3000));
}

// One emulated motor on a bus of its own, the set-up of most single-motor tests: Start() inits
// and enables it.
struct OneMotor {
    explicit OneMotor(unsigned id, unsigned mode = 0, bool inverse = false, bool trace = false)
        : emu(bus.name(), {MotorArg(id, mode)}, trace), m(MakeMotor(bus, id, mode, inverse)) {}
    bool Start() { return m->init() == 0 && EnableAndWait(*m); }
    Vcan bus;
    DamiaoEmulatorProcess emu;
    std::unique_ptr<damiaoMotor> m;
};

// A frame the emulator received (with its trace on): steady-clock ns, the id and the bytes.
struct Received {
    long long ns;
    unsigned id;
    uint8_t data[8];
    bool Special(uint8_t kind) const {
        for (int i = 0; i < 7; ++i)
            if (data[i] != 0xFF) return false;
        return data[7] == kind;
    }
};

// The classic frames the emulator received from `from` on, in order.
std::vector<Received> ReceivedSince(DamiaoEmulatorProcess& emu, steady_clock::time_point from) {
    const long long fromNs = duration_cast<nanoseconds>(from.time_since_epoch()).count();
    std::vector<Received> out;
    std::istringstream text(emu.process().Out());
    for (std::string line; std::getline(text, line);) {
        Received r{};
        unsigned len = 0, b[8];
        if (std::sscanf(line.c_str(), "rx %lld %x %u %x %x %x %x %x %x %x %x", &r.ns, &r.id, &len,
                        &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11 ||
            r.ns < fromNs)
            continue;
        for (int i = 0; i < 8; ++i) r.data[i] = uint8_t(b[i]);
        out.push_back(r);
    }
    return out;
}

}  // namespace

TEST(DamiaoBench, InitAgainstAPresentMotor) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(1)});
    ASSERT_TRUE(emu.ready());
    auto m = MakeMotor(bus, 1);
    EXPECT_EQ(m->init(), 0);
    EXPECT_EQ(m->stateCode.load(), 0);
    bool enabled = true;
    EXPECT_EQ(m->getEnableStatus(enabled), 0);
    EXPECT_FALSE(enabled);
    EXPECT_TRUE(EnableAndWait(*m));
    EXPECT_TRUE(emu.Status(1).enabled);
    m->setEnableStatus(false);
    EXPECT_TRUE(WaitFor([&] { return !emu.Status(1).enabled; }, milliseconds(3000)));
}

TEST(DamiaoBench, InitAgainstAnAbsentMotor) {
    Vcan bus;
    auto m = MakeMotor(bus, 2);
    const auto t0 = steady_clock::now();
    EXPECT_EQ(m->init(), 0);  // about 20 resends, then offline (the interface is there)
    EXPECT_LT(steady_clock::now() - t0, milliseconds(2000));
    bool enabled;
    EXPECT_EQ(m->getEnableStatus(enabled), 5004);
}

TEST(DamiaoBench, MitModeFollowsStreamedTargets) {
    OneMotor t(1);
    ASSERT_TRUE(t.Start());
    Stream(*t.m, 0.0, 1.0);
    EXPECT_TRUE(
        WaitFor([&] { return std::fabs(t.emu.Status(1).pos - 1.0) < 0.02; }, milliseconds(5000)))
        << t.emu.Status(1).pos;
    EXPECT_TRUE(WaitNear(PositionOf(*t.m), 1.0, 0.02, milliseconds(3000)));
}

TEST(DamiaoBench, PositionSpeedModeFollows) {
    OneMotor t(3, 0x100);
    ASSERT_TRUE(t.Start());
    for (int i = 1; i <= 200; ++i) {
        t.m->setMotorPosition(0.005 * i, 2.0);
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_TRUE(
        WaitFor([&] { return std::fabs(t.emu.Status(3).pos - 1.0) < 0.05; }, milliseconds(5000)))
        << t.emu.Status(3).pos;
}

TEST(DamiaoBench, SpeedModeFollowsTheVelocity) {
    OneMotor t(4, 0x200, true);
    ASSERT_TRUE(t.Start());
    t.m->setVelocity(1.5);
    EXPECT_TRUE(
        WaitFor([&] { return std::fabs(t.emu.Status(4).vel + 1.5) < 0.05; }, milliseconds(3000)));
    EXPECT_TRUE(WaitNear(VelocityOf(*t.m), 1.5, 0.05,
                         milliseconds(3000)));  // reported in the caller's direction
}

TEST(DamiaoBench, InverseMirrorsPositions) {
    OneMotor t(5, 0, true);
    ASSERT_TRUE(t.Start());
    Stream(*t.m, 0.0, 0.5);
    EXPECT_TRUE(
        WaitFor([&] { return std::fabs(t.emu.Status(5).pos + 0.5) < 0.02; }, milliseconds(5000)));
    EXPECT_TRUE(WaitNear(PositionOf(*t.m), 0.5, 0.02, milliseconds(3000)));
}

TEST(DamiaoBench, FarTargetsAreHeldAndTheRampStepsPerTick) {
    OneMotor t(6, 0, false, true);
    ASSERT_TRUE(t.Start());
    t.m->setMotorPosition(1.0);  // far away: held at the present position
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_NEAR(t.emu.Status(6).pos, 0.0, 0.02);

    // A target 0.1 rad away is reached in steps of 0.0314 rad per tick.
    t.m->setMotorPosition(0.1);
    ASSERT_TRUE(
        WaitFor([&] { return std::fabs(t.emu.Status(6).pos - 0.1) < 0.02; }, milliseconds(3000)));
    Damiao::Ranges r;
    Damiao::RangesForModel(4310, r);
    std::vector<double> commanded;
    for (const auto& f : t.emu.Frames()) {
        unsigned id = 0, len = 0, b0 = 0, b1 = 0;
        if (std::sscanf(f.c_str(), "%x %u %x %x", &id, &len, &b0, &b1) == 4 && id == 6 &&
            len == 8 && !(b0 == 0xFF && b1 == 0xFF)) {
            commanded.push_back(Damiao::UintToFloat(int(b0 << 8 | b1), -12.5f, 12.5f, 16));
        }
    }
    ASSERT_GE(commanded.size(), 4u);
    // Drop the held frames; the first moving ones show the ramp.
    size_t first = 0;
    while (first + 1 < commanded.size() &&
           std::fabs(commanded[first + 1] - commanded[first]) < 1e-3)
        ++first;
    ASSERT_LT(first + 3, commanded.size());
    EXPECT_NEAR(commanded[first + 1] - commanded[first], 0.0314, 0.001);
    EXPECT_NEAR(commanded[first + 2] - commanded[first + 1], 0.0314, 0.001);
    EXPECT_NEAR(commanded.back(), 0.1, 0.001);
}

TEST(DamiaoBench, InjectedFaultsGiveTheirCodes) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(7), MotorArg(8)});
    auto m = MakeMotor(bus, 7);
    auto other = MakeMotor(bus, 8);
    ASSERT_EQ(m->init(), 0);
    ASSERT_EQ(other->init(), 0);
    const std::pair<int, int> faults[] = {{8, 4003},  {9, 4004},  {10, 4001}, {11, 4006},
                                          {12, 4005}, {13, 5003}, {14, 4002}};
    for (const auto& [state, code] : faults) {
        emu.Command("fault 7 " + std::to_string(state));
        bool on = false;
        EXPECT_TRUE(WaitFor([&] { return m->getEnableStatus(on) == code; }, milliseconds(2000)))
            << state;
        EXPECT_EQ(other->getEnableStatus(on), 0) << "the other motor is unaffected";
        emu.Command("fault 7 0");
        EXPECT_TRUE(WaitFor([&] { return m->getEnableStatus(on) == 0; }, milliseconds(2000)))
            << state;
    }
    // ClearErrors ends a fault at the motor itself.
    emu.Command("fault 7 9");
    bool on = false;
    ASSERT_TRUE(WaitFor([&] { return m->getEnableStatus(on) == 4004; }, milliseconds(2000)));
    m->ClearErrors();
    EXPECT_TRUE(WaitFor([&] { return m->getEnableStatus(on) == 0; }, milliseconds(2000)));
}

// Control frames (MIT, not the FF..FF specials) that the emulator received for motor `id`
// from frame `from` on (only those it left unanswered, when asked), up to the first special
// frame after one of them; and whether that special frame came.
struct ControlRun {
    size_t controls = 0;
    bool thenSpecial = false;
};
ControlRun ControlFramesUntilSpecial(const std::vector<std::string>& frames, size_t from,
                                     unsigned id, bool unansweredOnly = false) {
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%03X 8 ", id);
    ControlRun run;
    for (size_t i = from; i < frames.size(); ++i) {
        const std::string& f = frames[i];
        if (f.rfind(prefix, 0) != 0) continue;
        if (unansweredOnly && f.find(" unanswered") == std::string::npos) continue;
        if (f.find("FF FF FF FF FF FF FF") == std::string::npos) {
            ++run.controls;
        } else if (run.controls > 0) {
            run.thenSpecial = true;
            break;
        }
    }
    return run;
}

// A motor that stops answering while another on the bus keeps answering (so every write
// succeeds) goes offline after its feedback time-out, once, with its line; the other keeps
// its service. Back, it holds until a new target comes, then follows it.
TEST(DamiaoBench, SilentMotorGoesOfflineAndComesBack) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(9), MotorArg(10)}, true);
    auto m = MakeMotor(bus, 9);
    auto other = MakeMotor(bus, 10);
    m->setFeedbackTimeout(100);  // the default, also under valgrind
    ASSERT_EQ(m->init(), 0);
    ASSERT_EQ(other->init(), 0);
    ASSERT_TRUE(EnableAndWait(*m));
    ASSERT_TRUE(EnableAndWait(*other));
    Stream(*m, 0.0, 0.1);
    double age = -1;
    ASSERT_EQ(m->getFeedbackAge(age), 0);
    EXPECT_LT(age, 1.0);
    LogCapture log;
    const size_t before = emu.Frames().size();
    emu.Command("silent 9 on");
    bool on = false, otherStayed = true;
    ASSERT_TRUE(WaitFor(
        [&] {
            otherStayed = otherStayed && other->getEnableStatus(on) == 0;
            return m->getEnableStatus(on) == 5004;
        },
        milliseconds(3000)));
    EXPECT_TRUE(otherStayed);
    // Once per episode, never before the time-out.
    const std::string line = "Damiao motor 9 on " + bus.name() + ": no feedback for";
    ASSERT_TRUE(WaitFor([&] { return log.Count(line) == 1; }, milliseconds(3000)));
    std::smatch match;
    const std::string text = log.Text();
    ASSERT_TRUE(std::regex_search(
        text, match,
        std::regex("\\[ERROR\\] " + line +
                   " ([0-9]+) ms since the first unanswered frame \\(time-out 100 ms\\), the "
                   "last came ([0-9]+) ms ago, offline\n")))
        << text;
    EXPECT_GE(std::stoi(match[1]), 100);
    // Within the time-out and one tick: ticks are at least 5 ms apart, so the silent motor was
    // sent at most 21 control frames before the sender switched to holding it.
    ControlRun run;
    EXPECT_TRUE(WaitFor(
        [&] {
            run = ControlFramesUntilSpecial(emu.Frames(), before, 9, true);
            return run.thenSpecial;
        },
        milliseconds(3000)));
    EXPECT_LE(run.controls, 22u);
    EXPECT_EQ(other->getEnableStatus(on), 0) << "the other motor never went offline";
    EXPECT_EQ(log.Count("Damiao motor 10:"), 0u);

    // Back: online again, and held (no control frame) until a new target is set.
    const size_t beforeBack = emu.Frames().size();
    emu.Command("silent 9 off");
    ASSERT_TRUE(WaitFor([&] { return m->getEnableStatus(on) == 0 && on; }, milliseconds(3000)));
    ASSERT_TRUE(WaitFor([&] { return emu.Frames().size() > beforeBack + 40; }, milliseconds(3000)));
    EXPECT_EQ(ControlFramesUntilSpecial(emu.Frames(), beforeBack, 9).controls, 0u)
        << "the old target was resumed";
    Stream(*m, 0.1, 0.2);
    EXPECT_TRUE(
        WaitFor([&] { return std::fabs(emu.Status(9).pos - 0.2) < 0.02; }, milliseconds(5000)))
        << emu.Status(9).pos;
    EXPECT_EQ(log.Count(line), 1u);
}

// With the watch off (feedback_timeout_ms 0) a silent motor stays online with stale feedback,
// as before the watch existed: only failed writes take it offline.
TEST(DamiaoBench, FeedbackWatchOffKeepsASilentMotorOnline) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(11)});
    auto m = MakeMotor(bus, 11);
    m->setFeedbackTimeout(0);
    ASSERT_EQ(m->init(), 0);
    ASSERT_TRUE(EnableAndWait(*m));
    LogCapture log;
    emu.Command("silent 11 on");
    // Wait for the feedback to grow old enough that a watch would have fired.
    double age = 0;
    ASSERT_TRUE(
        WaitFor([&] { return m->getFeedbackAge(age) == 0 && age > 0.5; }, milliseconds(3000)));
    bool on = false;
    EXPECT_EQ(m->getEnableStatus(on), 0);
    EXPECT_EQ(log.Count("no feedback for"), 0u);
    emu.Command("silent 11 off");
}

// Frames on foreign ids, extended and remote frames that share a feedback id's low 11 bits,
// and repeated feedback: each motor keeps only its own feedback.
TEST(DamiaoBench, ForeignAndRepeatedFramesAreNeverCreditedToAnotherMotor) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(17), MotorArg(18)});
    auto a = MakeMotor(bus, 17);
    auto b = MakeMotor(bus, 18);
    ASSERT_EQ(a->init(), 0);
    ASSERT_EQ(b->init(), 0);
    testsupport::CanPeer peer(bus.name());
    Damiao::Ranges r;
    Damiao::RangesForModel(4310, r);
    can_frame marked{};
    marked.can_dlc = 8;
    Damiao::EncodeFeedback(r, 0, 2.5f, 0, 0, 30, marked.data);  // a position no motor is at
    double furthest = 0;
    for (int i = 0; i < 50; ++i) {
        marked.can_id = 0x10 + 18 + 0x100;  // foreign id sharing a feedback id's low byte
        peer.Send(marked);
        marked.can_id = (0x10 + 18) | CAN_EFF_FLAG;
        peer.Send(marked);
        marked.can_id = (0x10 + 18) | CAN_RTR_FLAG;
        peer.Send(marked);
        marked.can_id = 0x10 + 17;  // a's feedback id, repeated: a's own business
        peer.Send(marked);
        std::this_thread::sleep_for(milliseconds(2));
        double pos = 0;
        b->getMotorPosition(pos);
        furthest = std::max(furthest, std::fabs(pos));
    }
    EXPECT_LT(furthest, 0.1);
    bool on = false;
    EXPECT_EQ(a->getEnableStatus(on), 0);
    EXPECT_EQ(b->getEnableStatus(on), 0);
}

// On an interface with the CAN-FD MTU the emulator takes the motors' frames in either format
// and answers each in its own: FD (with the bit-rate switch) or classic. An FD frame longer
// than the motors' 8 bytes is none of theirs and gets no answer.
TEST(DamiaoBench, TheEmulatorAnswersEachFrameInItsOwnFormat) {
    Vcan bus;
    ASSERT_TRUE(bus.SetMtu(CANFD_MTU));
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(1)}, true);
    ASSERT_TRUE(emu.ready());
    testsupport::CanPeer peer(bus.name());
    ASSERT_TRUE(peer.EnableFd());
    const auto command = [](uint8_t last, uint8_t len) {
        canfd_frame f{};
        f.can_id = 1;
        f.len = len;
        f.flags = CANFD_BRS;
        std::memset(f.data, 0xFF, len);
        f.data[7] = last;
        return f;
    };
    canfd_frame got{};
    bool isFd = false;

    ASSERT_TRUE(peer.SendFd(command(0xFC, 8)));  // enable, in FD
    ASSERT_TRUE(peer.ReceiveAny(got, isFd, 3000));
    EXPECT_TRUE(isFd);
    EXPECT_EQ(got.can_id, 0x11u);
    EXPECT_EQ(got.len, 8);
    EXPECT_TRUE(got.flags & CANFD_BRS);
    EXPECT_EQ(got.data[0] >> 4, 1) << "the FD enable frame enabled the motor";

    ASSERT_TRUE(peer.Send(1, std::string(7, '\xFF') + '\xFD'));  // disable, classic
    ASSERT_TRUE(peer.ReceiveAny(got, isFd, 3000));
    EXPECT_FALSE(isFd);
    EXPECT_EQ(got.can_id, 0x11u);
    EXPECT_EQ(got.data[0] >> 4, 0) << "the classic disable frame disabled it";

    ASSERT_TRUE(peer.SendFd(command(0xFC, 12)));
    EXPECT_FALSE(peer.ReceiveAny(got, isFd, 300)) << "a 12-byte frame was answered";
    EXPECT_EQ(emu.Status(1).received, 2u);
    EXPECT_EQ(emu.Frames(), (std::vector<std::string>{"001 8 FF FF FF FF FF FF FF FC fd",
                                                       "001 8 FF FF FF FF FF FF FF FD"}));
}

// An interface set to CAN-FD, a faster tick and a shorter frame gap: every frame the motor
// sends reaches the emulator as CAN-FD and is answered, and the motor follows its targets.
TEST(DamiaoBench, CanFdFramesReachTheEmulatorAndAreAnswered) {
    Vcan bus;
    ASSERT_TRUE(bus.SetMtu(CANFD_MTU));
    jointbus::CanInterfaceSettings settings;
    settings.tickUs = 2000;
    settings.frameGapUs = 50;
    settings.canFd = true;
    ASSERT_EQ(jointbus::SetCanInterfaceSettings(bus.name(), settings), 0);
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(21)}, true);
    LogCapture log;
    auto m = MakeMotor(bus, 21);
    ASSERT_EQ(m->init(), 0);
    EXPECT_EQ(log.Count("Damiao sender for " + bus.name() + ": a tick every 2000 us"), 1u);
    ASSERT_TRUE(EnableAndWait(*m));
    Stream(*m, 0.0, 0.2);
    EXPECT_TRUE(
        WaitFor([&] { return std::fabs(emu.Status(21).pos - 0.2) < 0.02; }, milliseconds(5000)))
        << emu.Status(21).pos;
    const std::vector<std::string> frames = emu.Frames();
    ASSERT_GT(frames.size(), 40u);
    size_t classic = 0;
    for (const auto& f : frames) classic += f.size() < 3 || f.substr(f.size() - 3) != " fd";
    EXPECT_EQ(classic, 0u) << frames.front();
    const auto status = emu.Status(21);
    EXPECT_EQ(status.answered, status.received);
}

// can_fd on an interface with the classic MTU: the driver refuses it and says how to set it
// up; nothing reaches the bus, and the motor is offline as an absent one would be.
TEST(DamiaoBench, CanFdOnAClassicInterfaceIsRefused) {
    Vcan bus;
    ASSERT_TRUE(bus.SetMtu(CAN_MTU));  // a vcan starts with CAN-FD's
    jointbus::CanInterfaceSettings settings;
    settings.canFd = true;
    ASSERT_EQ(jointbus::SetCanInterfaceSettings(bus.name(), settings), 0);
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(22)});
    LogCapture log;
    auto m = MakeMotor(bus, 22);
    EXPECT_EQ(m->init(), 5004);  // the interface cannot be opened, and init says so
    bool enabled = false;
    EXPECT_EQ(m->getEnableStatus(enabled), 5004);
    EXPECT_GE(log.Count("[ERROR] CAN interface " + bus.name() +
                        ": can_fd is set but its MTU is 16, not CAN-FD's 72: set it up for "
                        "CAN-FD first (ip link set " +
                        bus.name() + " type can bitrate 1000000 dbitrate 5000000 fd on)"),
              1u)
        << log.Text();
    EXPECT_EQ(emu.Status(22).received, 0u);
}

// Writes fail on a dead bus (interface down): 20 in a row take each motor offline. When the
// bus is back the motors report again as requested but hold still until a new target comes.
// The driver's socket stays closed for a second after the read error, so the failures usually
// reach 199 and the interface restart (about 10 s) comes first.
TEST(DamiaoBench, DeadBusTakesMotorsOfflineAndTheyWaitForANewTarget) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(15), MotorArg(16)});
    auto m = MakeMotor(bus, 15);
    auto other = MakeMotor(bus, 16);
    ASSERT_EQ(m->init(), 0);
    ASSERT_EQ(other->init(), 0);
    ASSERT_TRUE(EnableAndWait(*m));
    ASSERT_TRUE(EnableAndWait(*other));
    Stream(*m, 0.0, 0.1);
    bool on = false;
    ASSERT_TRUE(bus.Down());
    EXPECT_TRUE(WaitFor(
        [&] { return m->getEnableStatus(on) == 5004 && other->getEnableStatus(on) == 5004; },
        milliseconds(2000)));
    ASSERT_TRUE(bus.Up());
    EXPECT_TRUE(WaitFor([&] { return m->getEnableStatus(on) == 0 && on; }, milliseconds(15000)));
    EXPECT_TRUE(WaitFor([&] { return other->getEnableStatus(on) == 0 && on; }, milliseconds(3000)));
    const double held = emu.Status(15).pos;
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_NEAR(emu.Status(15).pos, held, 0.02);
    Stream(*m, held, held + 0.15);
    EXPECT_TRUE(WaitFor([&] { return std::fabs(emu.Status(15).pos - (held + 0.15)) < 0.03; },
                        milliseconds(3000)));
}

// The child is forked without re-running the test, so it shares the parent's emulator.
TEST(DamiaoBenchDeathTest, PowerLossEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "fast");
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(11)});
    ASSERT_TRUE(emu.ready());
    EXPECT_EXIT(
        {
            auto m = MakeMotor(bus, 11);
            m->init();
            emu.Command("powerloss 11");
            std::this_thread::sleep_for(milliseconds(3000));
            _exit(0);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(DamiaoBench, HomingZeroesThePosition) {
    OneMotor t(12);
    ASSERT_TRUE(t.Start());
    Stream(*t.m, 0.0, 0.6);
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto s = t.emu.Status(12);  // settled, so nothing drifts after the zero is set
            return std::fabs(s.pos - 0.6) < 0.01 && std::fabs(s.vel) < 0.01;
        },
        milliseconds(5000)));
    t.m->setEnableStatus(false);  // home a disabled motor, as the bench tool does
    ASSERT_TRUE(WaitFor([&] { return !t.emu.Status(12).enabled; }, milliseconds(3000)));
    t.m->setHome(1000);
    EXPECT_TRUE(WaitFor([&] { return t.m->homeTimeoutMs.load() == 0; }, milliseconds(3000)));
    double pos = 1;
    t.m->getMotorPosition(pos);
    EXPECT_NEAR(pos, 0.0, 0.01);
    EXPECT_EQ(t.m->targetPos.load(), 0.0f);
}

TEST(DamiaoBench, TwoMotorsOnOneBusAreBothServedEveryTick) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(13), MotorArg(14)}, true);
    auto a = MakeMotor(bus, 13);
    auto b = MakeMotor(bus, 14);
    ASSERT_EQ(a->init(), 0);
    ASSERT_EQ(b->init(), 0);
    // b's init may have resent its disable frame while it waited for the answer, and those
    // frames may still be on their way when init returns. A status round trip first: the
    // emulator reads every frame already sent before it answers a command.
    emu.Status(14);
    const auto t0 = steady_clock::now();
    const size_t before = emu.Frames().size();
    size_t na = 0, nb = 0;
    auto count = [&] {
        na = nb = 0;
        const auto frames = emu.Frames();
        for (size_t i = before; i < frames.size(); ++i) {
            if (frames[i].rfind("00D ", 0) == 0) ++na;
            if (frames[i].rfind("00E ", 0) == 0) ++nb;
        }
        return na > 40 && nb > 40;
    };
    ASSERT_TRUE(WaitFor(count, milliseconds(3000)));
    const auto elapsedMs = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    // Every tick visits both motors, so they get the same number of frames; and never more
    // than one a tick of 5 ms (a frame or two may have been on the way at the start).
    EXPECT_LE(na > nb ? na - nb : nb - na, 3u) << na << " vs " << nb;
    EXPECT_LE(long(na), elapsedMs / 5 + 3) << elapsedMs << " ms";
}

// The sockets (the kernel's receiver ids) that take each id on `bus` through a filter.
std::map<std::string, std::set<std::string>> SocketsByFeedbackId(const Vcan& bus) {
    std::ifstream list("/proc/net/can/rcvlist_fil");
    std::map<std::string, std::set<std::string>> out;
    std::string device, id, mask, function, socket;
    for (std::string line; std::getline(list, line);) {
        std::istringstream in(line);
        if (in >> device >> id >> mask >> function >> socket && device == bus.name())
            out[id].insert(socket);
    }
    return out;
}

// A driven cycle writes its frames in one call over one socket for the interface and reads
// the answers there for every motor: each cycle puts exactly one frame per motor on the wire,
// in the motors' order, and each motor follows its own target. When the caller stops, the bus
// thread ticks on the motors' own sockets again, and their feedback still comes.
TEST(DamiaoBench, ADrivenCycleGoesOverOneSocketAndHandsTheTickBack) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(1), MotorArg(2), MotorArg(3)}, true);
    std::vector<std::unique_ptr<damiaoMotor>> motors;
    std::vector<CtrlMotorInterface*> listed;
    for (unsigned id = 1; id <= 3; ++id) {
        motors.push_back(MakeMotor(bus, id));
        ASSERT_EQ(motors.back()->init(), 0);
        ASSERT_TRUE(EnableAndWait(*motors.back()));
        listed.push_back(motors.back().get());
    }
    LogCapture log;
    jointbus::ControlCycleOptions options;
    options.deadlineUs = 1000000;  // every answer comes, however slowly this machine runs
    options.watchdogMs = 2000;     // and no pause between two cycles hands the tick back
    jointbus::ControlCycle cycle(listed, options);
    ASSERT_EQ(cycle.start(), 0) << cycle.error();
    emu.Status(3);  // the bus thread's frames have all arrived
    const size_t before = emu.Frames().size();
    const double targets[3] = {0.08, -0.06, 0.04};
    int cycles = 0, silent = 0;
    auto arrived = [&] {
        for (int i = 0; i < 3; ++i) {
            double pos = 0;
            if (motors[i]->getMotorPosition(pos) != 0 || std::fabs(pos - targets[i]) > 0.01)
                return false;
        }
        return true;
    };
    while (cycles < 3000 && !arrived()) {
        for (int i = 0; i < 3; ++i) motors[i]->setMotorPosition(targets[i]);
        silent += cycle.cycle() != 0;
        ++cycles;
        std::this_thread::sleep_for(microseconds(500));
    }
    EXPECT_TRUE(arrived()) << cycles << " cycles";
    EXPECT_EQ(silent, 0);
    emu.Status(3);
    const auto frames = emu.Frames();
    ASSERT_EQ(frames.size() - before, size_t(3 * cycles));
    std::set<std::string> first;
    for (size_t k = before; k < frames.size(); ++k) {
        if (k < before + 3) first.insert(frames[k].substr(0, 4));
        if (k >= before + 3) {
            ASSERT_EQ(frames[k].substr(0, 4), frames[k - 3].substr(0, 4)) << k;
        }
    }
    EXPECT_EQ(first.size(), 3u);
    // One socket takes all three feedback ids; the motors' own sockets take nothing.
    const auto driven = SocketsByFeedbackId(bus);
    ASSERT_EQ(driven.size(), 3u);
    for (const auto& id : driven) EXPECT_EQ(id.second, driven.begin()->second) << id.first;
    EXPECT_EQ(driven.begin()->second.size(), 1u);

    // No more cycles: after the watchdog the bus thread holds them and reads their sockets.
    ASSERT_TRUE(WaitFor([&] { return log.Count("control cycle: no cycle on") == 1; },
                        milliseconds(10000)));
    motors[0]->setMotorPosition(0.0);
    EXPECT_TRUE(WaitFor(
        [&] {
            double pos = 1;
            return motors[0]->getMotorPosition(pos) == 0 && std::fabs(pos) < 0.01;
        },
        milliseconds(5000)));
    std::this_thread::sleep_for(milliseconds(300));  // longer than the feedback watch
    for (auto& m : motors) EXPECT_TRUE(IsEnabled(*m));
    // Each motor's socket takes its id again, and the shared one takes nothing.
    const auto own = SocketsByFeedbackId(bus);
    std::set<std::string> sockets;
    for (const auto& id : own) {
        EXPECT_EQ(id.second.size(), 1u) << id.first;
        sockets.insert(id.second.begin(), id.second.end());
    }
    EXPECT_EQ(sockets.size(), 3u);
    cycle.stop();
}

// A motor replaced by a later one with the same id while a cycle drives its bus leaves the
// engine whole: its own socket listens again at once, and once it is destroyed, the bus going
// back to its own ticks touches nothing of it (memcheck would see that).
TEST(DamiaoBench, AMotorReplacedWhileACycleRunsLeavesItsEngine) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(1), MotorArg(2)}, true);
    auto old = MakeMotor(bus, 1);
    auto other = MakeMotor(bus, 2);
    ASSERT_EQ(old->init(), 0);
    ASSERT_EQ(other->init(), 0);
    ASSERT_TRUE(EnableAndWait(*other));
    jointbus::ControlCycleOptions options;
    options.deadlineUs = 1000000;
    options.watchdogMs = 2000;
    jointbus::ControlCycle cycle({other.get()}, options);  // drives both: they share the bus
    ASSERT_EQ(cycle.start(), 0) << cycle.error();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(cycle.cycle(), 0);
    const auto shared = SocketsByFeedbackId(bus);
    ASSERT_EQ(shared.size(), 2u);  // one socket takes both ids

    LogCapture log;
    auto later = MakeMotor(bus, 1);
    ASSERT_EQ(later->init(), 0);
    EXPECT_EQ(log.Count("replaced by a later motor with the same id"), 1u) << log.Text();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(cycle.cycle(), 0);
    // The shared socket and the replaced motor's own take its feedback id; the later motor's
    // is muted like the other's.
    const auto replaced = SocketsByFeedbackId(bus);
    ASSERT_EQ(replaced.size(), 2u);
    size_t listening = 0;
    for (const auto& id : replaced) listening += id.second.size();
    EXPECT_EQ(listening, 3u);

    old.reset();
    cycle.stop();  // the bus thread ticks on the motors' own sockets again
    ASSERT_TRUE(EnableAndWait(*later));
    later->setMotorPosition(0.05);
    EXPECT_TRUE(WaitFor(
        [&] {
            double pos = 0;
            return later->getMotorPosition(pos) == 0 && std::fabs(pos - 0.05) < 0.01;
        },
        milliseconds(5000)));
}

// The command watchdog on the wire, after a client's last command: the disabling motor gets a
// disable frame, never before its timeout, and is disabled; the holding one stays enabled and
// its frames carry where it stood.
TEST(DamiaoBench, TheCommandWatchdogsPoliciesAreWhatTheMotorsReceive) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(1), MotorArg(2)}, true);
    auto a = MakeMotor(bus, 1);
    auto b = MakeMotor(bus, 2);
    ASSERT_EQ(a->init(), 0);
    ASSERT_EQ(b->init(), 0);
    ASSERT_TRUE(EnableAndWait(*a));
    ASSERT_TRUE(EnableAndWait(*b));
    ASSERT_EQ(jointbus::SetCommandWatchdog(a.get(), {300, jointbus::OnCommandTimeout::kHold}), 0);
    ASSERT_EQ(jointbus::SetCommandWatchdog(b.get(), {300, jointbus::OnCommandTimeout::kDisable}),
              0);
    LogCapture log;
    auto lastCommand = steady_clock::now();  // just before b's last command
    for (int i = 1; i <= 20; ++i) {  // a client's commands, well inside the timeout
        std::this_thread::sleep_for(milliseconds(5));
        a->setMotorPosition(0.005 * i);
        lastCommand = steady_clock::now();
        b->setMotorPosition(0.0);
    }
    EXPECT_EQ(log.Count("command watchdog:"), 0u) << "a commanded motor was taken for silent";
    ASSERT_TRUE(WaitFor([&] { return log.Count("command watchdog:") == 2; }, milliseconds(5000)))
        << log.Text();
    const auto tripped = steady_clock::now();  // every frame of the holding motor's from here
    ASSERT_TRUE(WaitFor([&] { return !emu.Status(2).enabled; }, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(100));  // frames after the hold
    emu.Status(1);
    const long long from = duration_cast<nanoseconds>(lastCommand.time_since_epoch()).count();
    const long long held = duration_cast<nanoseconds>(tripped.time_since_epoch()).count();
    long long disableNs = -1;
    std::set<std::string> heldAfter;
    std::istringstream out(emu.process().Out());
    for (std::string line; std::getline(out, line);) {
        long long t = 0;
        char frame[64] = {};
        if (std::sscanf(line.c_str(), "rx %lld %63[^\n]", &t, frame) != 2 || t < from) continue;
        const std::string f = frame;
        if (disableNs < 0 && f == "002 8 FF FF FF FF FF FF FF FD") disableNs = t - from;
        if (f.rfind("001 ", 0) == 0 && t > held) heldAfter.insert(f.substr(4, 8));
    }
    ASSERT_GE(disableNs, 0) << "no disable frame";
    EXPECT_GE(disableNs, 300000000LL) << "disabled before its timeout";
    std::printf("command watchdog: the disable frame %.1f ms after the last command\n",
                double(disableNs) / 1e6);
    EXPECT_TRUE(IsEnabled(*a));
    ASSERT_EQ(heldAfter.size(), 1u) << "the held motor's frames changed";
    EXPECT_NEAR(PositionOf(*a)(), 0.1, 0.02);
    jointbus::SetCommandWatchdog(a.get(), {});
    jointbus::SetCommandWatchdog(b.get(), {});
}

// Each exit policy on the wire. The damping motor's frames carry kp 0 and its damping kd, with
// neither speed nor torque, until its disable frame, no sooner than its damping time; the
// holding motor's carry its own gains and where it stood. A third motor's command watchdog
// damps it the same way.
TEST(DamiaoBench, EachExitPolicyIsWhatTheMotorsReceive) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(1), MotorArg(2), MotorArg(3)}, true);
    std::vector<std::shared_ptr<damiaoMotor>> m;
    for (unsigned id = 1; id <= 3; ++id) {
        m.emplace_back(MakeMotor(bus, id));
        ASSERT_EQ(m.back()->init(), 0);
        ASSERT_TRUE(EnableAndWait(*m.back()));
    }
    ASSERT_EQ(jointbus::SetExitPolicy(m[0].get(), {jointbus::OnExit::kDampThenDisable, 200, 0.7}),
              0);
    ASSERT_EQ(jointbus::SetExitPolicy(m[2].get(), {jointbus::OnExit::kHoldThenDisable, 200, 0.4}),
              0);
    m[0]->setMotorPosition(0.05);
    m[1]->setMotorPosition(-0.05);
    ASSERT_TRUE(WaitNear(PositionOf(*m[0]), 0.05, 0.01, milliseconds(3000)));
    ASSERT_TRUE(WaitNear(PositionOf(*m[1]), -0.05, 0.01, milliseconds(3000)));
    const auto start = steady_clock::now();
    ASSERT_EQ(jointbus::SetCommandWatchdog(m[2].get(), {100, jointbus::OnCommandTimeout::kDamp}),
              0);
    EXPECT_EQ(HoldAndDisable({m[0], m[1]}), 0);
    ASSERT_TRUE(WaitFor([&] { return !emu.Status(3).enabled; }, milliseconds(3000)));
    jointbus::SetCommandWatchdog(m[2].get(), {});

    Damiao::Ranges r;
    Damiao::RangesForModel(4310, r);
    long long firstNs[4] = {}, disableNs[4] = {};
    for (const Received& f : ReceivedSince(emu, start)) {
        if (f.id < 1 || f.id > 3) continue;
        if (f.Special(Damiao::kDisable) && disableNs[f.id] == 0) disableNs[f.id] = f.ns;
        if (f.Special(f.data[7])) continue;
        EXPECT_EQ(disableNs[f.id], 0) << "motor " << f.id << ": a command after its disable";
        const Damiao::MitCommand c = Damiao::DecodeMit(r, f.data);
        // A tick under way when the policies were set still sends the motors' own commands.
        if (f.id != 2 && firstNs[f.id] == 0 && c.kp > 0.2) continue;
        if (firstNs[f.id] == 0) firstNs[f.id] = f.ns;
        const float kd[4] = {0, 0.7f, 1.0f, 0.4f};
        EXPECT_NEAR(c.kp, f.id == 2 ? 15.0 : 0.0, 0.2) << "motor " << f.id;
        EXPECT_NEAR(c.kd, kd[f.id], 0.01) << "motor " << f.id;
        EXPECT_NEAR(c.t, 0.0, 0.01) << "motor " << f.id;
        if (f.id == 2) {
            EXPECT_NEAR(c.p, -0.05, 0.01);
        }
    }
    for (int id : {1, 3}) {
        ASSERT_NE(firstNs[id], 0) << "motor " << id << " was never damped";
        ASSERT_NE(disableNs[id], 0) << "motor " << id << " was never disabled";
        EXPECT_GE(disableNs[id] - firstNs[id], 190000000LL) << "motor " << id << " damped too short";
    }
    EXPECT_NE(disableNs[2], 0);
}

// Two joints loaded like arm links, held at the horizontal: the one with its weight fed forward
// stays there, the one held by its stiffness alone sags. At the end the damped joint sinks
// slowly, never faster than the damping lets it, and the joint that is only disabled falls.
TEST(DamiaoBench, AWeightFedForwardHoldsALoadedJointAndDampingLetsItSinkSlowly) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(1), MotorArg(2)});
    std::vector<std::shared_ptr<CtrlMotorInterface>> m;
    for (unsigned id = 1; id <= 2; ++id) {
        auto motor = std::shared_ptr<damiaoMotor>(MakeMotor(bus, id));
        ASSERT_EQ(motor->init(), 0);
        ASSERT_TRUE(EnableAndWait(*motor));
        motor->setMotorPosition(0.0);
        m.push_back(motor);
    }
    constexpr double kLoad = 1.5;  // N·m at the horizontal
    emu.Command("gravity 1 " + std::to_string(kLoad));
    emu.Command("gravity 2 " + std::to_string(kLoad));
    // Held by kp 15 alone, a joint sags to where its stiffness carries the load: 0.1 rad down.
    for (int k = 0; k < 2; ++k)
        ASSERT_TRUE(WaitNear(PositionOf(*m[k]), -kLoad / 15.0, 0.02, milliseconds(3000)));
    ASSERT_EQ(jointbus::SetImpedance(m[0].get(), {0.0, 0.0, 4.0, 0.3, kLoad}), 0);
    EXPECT_TRUE(WaitNear(PositionOf(*m[0]), 0.0, 0.01, milliseconds(3000)));

    ASSERT_EQ(jointbus::SetExitPolicy(m[0].get(), {jointbus::OnExit::kDampThenDisable, 300, 1.0}),
              0);
    double fastest[2] = {0, 0}, lowestDamped = 0;
    for (int k = 0; k < 2; ++k) {
        std::atomic<bool> done{false};
        std::thread stopper([&] {
            HoldAndDisable({m[k]});
            done.store(true);
        });
        // The damped joint while it damps; the other once it is let go.
        while (!done.load()) {
            const auto status = emu.Status(k + 1);
            if (status.enabled != (k == 0)) continue;
            fastest[k] = std::max(fastest[k], std::fabs(status.vel));
            if (k == 0) lowestDamped = std::min(lowestDamped, status.pos);
        }
        stopper.join();
    }
    // Damped, the joint cannot go faster than its weight over kd (1.5 rad/s); free, it swings.
    EXPECT_LT(lowestDamped, -0.05) << "the damped joint did not sink while enabled";
    EXPECT_LT(fastest[0], 1.6);
    EXPECT_GT(fastest[1], 3.0);
}

// Destroying motors while the sender and their receive threads are busy leaves nothing that
// still calls into them: a probe for the memory and race checkers, which run this one too;
// everywhere it checks that no receive thread outlives its motor.
TEST(DamiaoBench, UnderCheckersDestroyingMotorsDuringTraffic) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(15), MotorArg(16)});
    {
        auto warmUp = MakeMotor(bus, 15);  // starts the process-wide sender
        ASSERT_EQ(warmUp->init(), 0);
    }
    const int baseline = testsupport::ThreadCount();
    for (int round = 0; round < 3; ++round) {
        auto a = MakeMotor(bus, 15);
        auto b = MakeMotor(bus, 16);
        ASSERT_EQ(a->init(), 0);
        ASSERT_EQ(b->init(), 0);
        a->setEnableStatus(true);
        b->setHome(50);
        std::this_thread::sleep_for(milliseconds(100));
        a.reset();
        std::this_thread::sleep_for(milliseconds(20));
        b.reset();
    }
    auto never = MakeMotor(bus, 17);  // destroyed before init
    never.reset();
    EXPECT_TRUE(WaitFor([&] { return testsupport::ThreadCount() <= baseline; }, milliseconds(3000)))
        << testsupport::ThreadCount() << " threads, " << baseline << " before";
}

// Two arms with the same ids on two interfaces: each interface has its own sender, so all
// four motors are driven to their own targets. The same (interface, id) once more replaces the
// earlier motor, and says so.
TEST(DamiaoBench, TheSameIdsOnTwoInterfacesAreAllDriven) {
    Vcan left, right;
    DamiaoEmulatorProcess leftEmu(left.name(), {MotorArg(1), MotorArg(2)});
    DamiaoEmulatorProcess rightEmu(right.name(), {MotorArg(1), MotorArg(2)});
    ASSERT_TRUE(leftEmu.ready() && rightEmu.ready());
    std::vector<std::unique_ptr<damiaoMotor>> motors;
    for (const Vcan* bus : {&left, &right})
        for (unsigned id : {1u, 2u}) motors.push_back(MakeMotor(*bus, id));
    for (auto& m : motors) ASSERT_EQ(m->init(), 0);
    EXPECT_NE(Damiao::Damiao_Thread::ForInterface(left.name()),
              Damiao::Damiao_Thread::ForInterface(right.name()));
    for (auto& m : motors) ASSERT_TRUE(EnableAndWait(*m));
    const double targets[] = {0.2, -0.1, -0.2, 0.1};  // left 1, left 2, right 1, right 2
    std::vector<std::thread> streams;
    for (size_t k = 0; k < motors.size(); ++k)
        streams.emplace_back([&, k] { Stream(*motors[k], 0.0, targets[k]); });
    for (auto& t : streams) t.join();
    for (size_t k = 0; k < motors.size(); ++k) {
        DamiaoEmulatorProcess& emu = k < 2 ? leftEmu : rightEmu;
        const unsigned id = unsigned(k % 2) + 1;
        EXPECT_TRUE(WaitFor([&] { return std::fabs(emu.Status(id).pos - targets[k]) < 0.03; },
                            milliseconds(5000)))
            << "motor " << k << " at " << emu.Status(id).pos;
    }

    LogCapture log;
    auto twin = MakeMotor(left, 1);
    ASSERT_EQ(twin->init(), 0);
    EXPECT_EQ(log.Count("[WARN] Damiao motor 1 on " + left.name() +
                        ": replaced by a later motor with the same id\r\n"),
              1u);
    EXPECT_EQ(log.Count("replaced"), 1u) << "the other interface's motor 1 is not touched";
}

// While one interface is down, restarting and sitting out its pauses, the sender of another
// keeps its pace: its motor gets a frame every tick (count the ticks it missed), and it goes
// on while the downed interface's sender is stuck in its restart.
TEST(DamiaoBench, ADownedInterfaceNeverHoldsUpAnother) {
    Vcan healthy, failing;
    DamiaoEmulatorProcess healthyEmu(healthy.name(), {MotorArg(1)});
    DamiaoEmulatorProcess failingEmu(failing.name(), {MotorArg(1)});
    ASSERT_TRUE(healthyEmu.ready() && failingEmu.ready());
    auto a = MakeMotor(healthy, 1);
    auto b = MakeMotor(failing, 1);
    ASSERT_EQ(a->init(), 0);
    ASSERT_EQ(b->init(), 0);
    Damiao::Damiao_Thread* sender = Damiao::Damiao_Thread::ForInterface(healthy.name());
    Damiao::Damiao_Thread* stuck = Damiao::Damiao_Thread::ForInterface(failing.name());
    ASSERT_TRUE(WaitFor([&] { return healthyEmu.Status(1).received > 20; }, milliseconds(5000)));

    LogCapture log;
    const unsigned long long ticks0 = sender->Ticks();
    const unsigned long long frames0 = healthyEmu.Status(1).received;
    ASSERT_TRUE(failing.Down());
    // Its writes fail; the 199th failure in a row restarts the interface, which takes the
    // sender of that interface about 10 s.
    ASSERT_TRUE(WaitFor([&] { return log.Count(failing.name() + " in bad stat, restart...") == 1; },
                        milliseconds(60000)));
    // The restart holds its sender inside one tick, for two 5 s pauses: that sender's next
    // tick marks the restart's end. Meanwhile the healthy sender went on (at 5 ms a tick,
    // 10 s are 2000 frames: 20 is a bound no machine misses).
    const unsigned long long stuckTicks = stuck->Ticks();
    const unsigned long long framesAtRestart = healthyEmu.Status(1).received;
    ASSERT_TRUE(WaitFor([&] { return stuck->Ticks() > stuckTicks; }, milliseconds(60000)));
    EXPECT_GE(healthyEmu.Status(1).received, framesAtRestart + 20);
    std::this_thread::sleep_for(milliseconds(2000));
    failing.Up();
    // Every tick of the healthy sender put its frame on the wire: once the emulator has read
    // what is on the way, it has them all (a frame may have been on the way at the start).
    const unsigned long long ticks = sender->Ticks() - ticks0;
    unsigned long long frames = 0;
    WaitFor(
        [&] {
            frames = healthyEmu.Status(1).received - frames0;
            return frames + 1 >= ticks;
        },
        milliseconds(10000));
    std::printf("while %s was down: %llu ticks of %s's sender, %llu frames to its motor\n",
                failing.name().c_str(), ticks, healthy.name().c_str(), frames);
    EXPECT_GE(frames + 1, ticks) << (ticks - frames) << " ticks missed";
    EXPECT_EQ(log.Count(healthy.name() + " in bad stat"), 0u);
    bool on = false;
    EXPECT_EQ(a->getEnableStatus(on), 0);
}

// Destroying one interface's motors while another's are driven leaves the other's sender
// running and its motors served.
TEST(DamiaoBench, MotorsDestroyedOnOneInterfaceWhileAnotherRuns) {
    Vcan kept, dropped;
    DamiaoEmulatorProcess keptEmu(kept.name(), {MotorArg(1), MotorArg(2)});
    DamiaoEmulatorProcess droppedEmu(dropped.name(), {MotorArg(1), MotorArg(2)});
    auto a = MakeMotor(kept, 1);
    auto b = MakeMotor(kept, 2);
    ASSERT_EQ(a->init(), 0);
    ASSERT_EQ(b->init(), 0);
    ASSERT_TRUE(EnableAndWait(*a));
    Damiao::Damiao_Thread* sender = Damiao::Damiao_Thread::ForInterface(kept.name());
    for (int round = 0; round < 3; ++round) {
        auto c = MakeMotor(dropped, 1);
        auto d = MakeMotor(dropped, 2);
        ASSERT_EQ(c->init(), 0);
        ASSERT_EQ(d->init(), 0);
        c->setEnableStatus(true);
        d->setHome(50);
        const unsigned long long ticks = sender->Ticks();
        c.reset();
        d.reset();
        EXPECT_TRUE(WaitFor([&] { return sender->Ticks() > ticks + 5; }, milliseconds(5000)));
    }
    const unsigned long long before = droppedEmu.Status(1).received;
    Stream(*a, 0.0, 0.1);
    EXPECT_TRUE(WaitFor([&] { return std::fabs(keptEmu.Status(1).pos - 0.1) < 0.03; },
                        milliseconds(5000)));
    EXPECT_EQ(droppedEmu.Status(1).received, before) << "a destroyed motor is sent nothing";
}

namespace {

// What two motors with default interface settings receive, each motor's frames in order with
// a run of one frame counted once, then the library's log lines (repeats counted once, the
// bus's name as BUS, overrun warnings and blank lines left out, the numbers of the lines after
// an overrun warning as if it had not been written).
std::string DefaultRun(const Vcan& bus, DamiaoEmulatorProcess& emu) {
    LogCapture log;
    {
        auto a = MakeMotor(bus, 1);
        auto b = MakeMotor(bus, 2);
        EXPECT_EQ(a->init(), 0);
        EXPECT_EQ(b->init(), 0);
        emu.Status(2);
        EXPECT_TRUE(EnableAndWait(*a));
        EXPECT_TRUE(EnableAndWait(*b));
        a->setMotorPosition(0.05);
        b->setMotorPosition(-0.05);
        EXPECT_TRUE(WaitNear(PositionOf(*a), 0.05, 0.01, milliseconds(3000)));
        EXPECT_TRUE(WaitNear(PositionOf(*b), -0.05, 0.01, milliseconds(3000)));
        a->setEnableStatus(false);
        b->setEnableStatus(false);
        EXPECT_TRUE(WaitFor([&] { return !IsEnabled(*a) && !IsEnabled(*b); }, milliseconds(3000)));
        emu.Status(2);
    }
    std::string out;
    for (const char* id : {"001 ", "002 "}) {
        std::string last;
        for (const auto& frame : emu.Frames()) {
            if (frame.rfind(id, 0) != 0 || frame == last) continue;
            out += frame + "\n";
            last = frame;
        }
    }
    out += "--- log\n";
    std::string text = log.Text(), line, last;
    for (size_t at; (at = text.find(bus.name())) != std::string::npos;)
        text.replace(at, bus.name().size(), "BUS");
    std::istringstream lines(text);
    int late = 0;  // overrun lines left out: the numbers of the lines after them close up
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find("Duration:") != std::string::npos ||
            line.find("runs late") != std::string::npos) {
            ++late;
            continue;
        }
        if (line.empty() || line == last) continue;
        last = line;
        char* rest = nullptr;
        const long number = std::strtol(line.c_str(), &rest, 10);
        if (late > 0 && rest != line.c_str() && *rest == ' ') {
            char renumbered[24];
            std::snprintf(renumbered, sizeof renumbered, "%3ld", number - late);
            line = renumbered + std::string(rest);
        }
        out += line + "\n";
    }
    return out;
}

}  // namespace

// With no interface settings the wire and the log are what they were before each interface's
// sender read its motors' answers itself: the expected text was recorded with that library.
// JOINTBUS_PRINT_TRACE=1 prints this run's text.
TEST(DamiaoBench, DefaultsPutTheSameFramesAndLogLinesAsBefore) {
    Vcan bus;
    DamiaoEmulatorProcess emu(bus.name(), {MotorArg(1), MotorArg(2)}, true);
    const std::string run = DefaultRun(bus, emu);
    if (std::getenv("JOINTBUS_PRINT_TRACE") != nullptr) std::printf("%s", run.c_str());
    const char* before = R"(001 8 FF FF FF FF FF FF FF FD
001 8 FF FF FF FF FF FF FF FC
001 8 80 51 7F F0 7A 33 37 FF
001 8 80 82 7F F0 7A 33 37 FF
001 8 FF FF FF FF FF FF FF FD
002 8 FF FF FF FF FF FF FF FD
002 8 FF FF FF FF FF FF FF FC
002 8 7F AC 7F F0 7A 33 37 FF
002 8 7F 7C 7F F0 7A 33 37 FF
002 8 FF FF FF FF FF FF FF FD
--- log
  1 [DEBUG] device is BUS
  2 [INFO] recv sock buffer num=212992
  3 [INFO] recv sock buffer num 1=425984
  4 [INFO] send sock buffer num=212992
  5 [INFO] send sock buffer num 1=425984
  6 [INFO] Start DamiaoMotor Thread.
  7 [DEBUG] device is BUS
  8 [INFO] recv sock buffer num=212992
  9 [INFO] recv sock buffer num 1=425984
 10 [INFO] send sock buffer num=212992
 11 [INFO] send sock buffer num 1=425984
 12 [INFO] enable status: true
 13 [INFO] enable status: true
 14 [INFO] enable status: false
 15 [INFO] enable status: false
)";
    EXPECT_EQ(run, before);
}
