// The engine of a CAN interface under a driven cycle, with motors that answer inside the write
// of their frame: no responder thread, so what the engine finds on each socket, and when, is
// the test's script alone. A long watchdog keeps the bus thread out of the way.

#include "jointbus/common/control_cycle.h"

#include <gtest/gtest.h>
#include <linux/can/error.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "jointbus/DaMiao/damiao_codec.h"
#include "jointbus/DaMiao/damiao_thread.h"
#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/common/command_watchdog.h"
#include "jointbus/common/fatal_policy.h"
#include "jointbus/common/impedance.h"
#include "jointbus/common/motor_limits.h"
#include "jointbus/common/result_codes.h"
#include "jointbus/common/virtual_motor.h"
#include "jointbus/driver/driver_can.h"
#include "log_capture.h"
#include "wait.h"

namespace {

constexpr int kModel = 4310;

Damiao::Ranges Ranges() {
    Damiao::Ranges r;
    Damiao::RangesForModel(kModel, r);
    return r;
}

// One interface's motors. Each written frame goes to the script, which answers, holds the
// answer back, or says nothing; every frame is kept in `wire`.
struct Bus {
    struct Frame {
        uint32_t masterId;
        can_frame frame;
    };
    std::mutex mutex;  // the bus thread writes too, before a cycle takes its tick
    std::vector<Frame> wire;
    std::map<uint32_t, int> peers;  // feedback id -> the motor's end of its socket pair
    std::map<uint32_t, float> position;
    std::function<void(uint32_t masterId, const can_frame&)> script = [this](uint32_t id,
                                                                               const can_frame& f) {
        Answer(id, f);
    };

    static bool Special(const can_frame& f, uint8_t kind) {
        for (int i = 0; i < 7; ++i)
            if (f.data[i] != 0xFF) return false;
        return f.data[7] == kind;
    }
    // The motor's answer to `f`: disabled after a disable frame, else enabled at its position.
    void Answer(uint32_t id, const can_frame& f) {
        if (Special(f, Damiao::kSaveZero)) position[id] = 0;
        if (!Special(f, f.data[7]) && f.can_dlc == 8)
            position[id] = Damiao::DecodeMit(Ranges(), f.data).p;
        Feedback(id, Special(f, Damiao::kDisable) ? 0 : 1, position[id]);
    }
    void Feedback(uint32_t id, int state, float p) {
        can_frame reply{};
        reply.can_id = id;
        reply.can_dlc = 8;
        Damiao::EncodeFeedback(Ranges(), state, p, 0, 0, 30, reply.data);
        Put(id, reply);
    }
    // A frame for a motor whose socket is closed (after a bus-off reset) is lost, as on a bus.
    void Put(uint32_t id, const can_frame& f) {
        if (write(peers[id], &f, sizeof f) != ssize_t(sizeof f)) return;
    }
    size_t Count(uint32_t id) {
        std::lock_guard<std::mutex> lock(mutex);
        size_t n = 0;
        for (const auto& f : wire) n += f.masterId == id;
        return n;
    }
};

class ScriptedCan : public DriverCan {
public:
    ScriptedCan(const char* dev, const can_filter& filter, Bus& b)
        : DriverCan(dev, &filter, 8), bus(b), masterId(filter.can_id) {
        ScriptedCan::Open();
    }
    ~ScriptedCan() override {
        StopReceive();
        if (peer >= 0) close(peer);
    }
    int Open() override {
        if (fd.load() >= 0) return 0;
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return -1;
        if (peer >= 0) close(peer);
        fd.store(pair[0]);
        peer = pair[1];
        bus.peers[masterId] = peer;
        return 0;
    }
    int Write(const unsigned char* data, int len) override {
        can_frame f{};
        std::memcpy(&f, data, sizeof f);
        std::lock_guard<std::mutex> lock(bus.mutex);
        bus.wire.push_back({masterId, f});
        bus.script(masterId, f);
        return len;
    }

private:
    Bus& bus;
    uint32_t masterId;
    int peer = -1;
};

class ScriptedMotor : public damiaoMotor {
public:
    ScriptedMotor(unsigned id, Bus& b, const std::string& interface)
        : damiaoMotor(kModel, id, 0, 0x10 + id, interface, false, 15.0f, 1.0f), bus(b) {}
    ~ScriptedMotor() override { Shutdown(); }

protected:
    DriverCan* CreateDriver(const can_filter& filter) override {
        return new ScriptedCan(dev_name.c_str(), filter, bus);
    }

private:
    Bus& bus;
};

// Two enabled motors on one scripted interface under a started cycle.
struct Driven {
    Bus bus;
    std::unique_ptr<ScriptedMotor> a, b;
    std::unique_ptr<jointbus::ControlCycle> cycle;
    explicit Driven(const std::string& interface, jointbus::ControlCycleOptions o = Long()) {
        a = std::make_unique<ScriptedMotor>(1, bus, interface);
        b = std::make_unique<ScriptedMotor>(2, bus, interface);
        EXPECT_EQ(a->init(), 0);
        EXPECT_EQ(b->init(), 0);
        cycle = std::make_unique<jointbus::ControlCycle>(
            std::vector<CtrlMotorInterface*>{a.get(), b.get()}, o);
        EXPECT_EQ(cycle->start(), 0) << cycle->error();
        a->setEnableStatus(true);
        b->setEnableStatus(true);
        EXPECT_EQ(cycle->cycle(), 0);  // the enable frames, answered enabled
    }
    // The test's script may use the test's locals, which are gone by now: the bus thread,
    // which ticks again once the cycle stops, gets a silent bus.
    ~Driven() {
        std::lock_guard<std::mutex> lock(bus.mutex);
        bus.script = [](uint32_t, const can_frame&) {};
    }
    static jointbus::ControlCycleOptions Long() {
        jointbus::ControlCycleOptions o;
        o.watchdogMs = 10000;
        o.deadlineUs = 1000000;  // answers come inside the write: never waited for
        return o;
    }
};

double Position(CtrlMotorInterface& m) {
    double p = NAN;
    m.getMotorPosition(p);
    return p;
}

}  // namespace

// Answers held back and delivered in the reverse order, next to one of the other motor's, are
// each credited to their own motor, and the cycle ends when both have answered.
TEST(ControlCycle, EachMotorGetsItsOwnAnswerWhateverTheOrder) {
    Driven d("script0");
    std::vector<uint32_t> held;
    const std::map<uint32_t, float> at = {{0x11, 0.01f}, {0x12, -0.02f}};
    d.bus.script = [&](uint32_t id, const can_frame&) {
        held.push_back(id);
        if (held.size() < 2) return;
        for (auto it = held.rbegin(); it != held.rend(); ++it) d.bus.Feedback(*it, 1, at.at(*it));
        held.clear();
    };
    const size_t a = d.bus.Count(0x11), b = d.bus.Count(0x12);
    d.a->setMotorPosition(0.0);
    d.b->setMotorPosition(0.0);
    EXPECT_EQ(d.cycle->cycle(), 0);
    EXPECT_TRUE(d.cycle->silent().empty());
    EXPECT_NEAR(Position(*d.a), 0.01, 1e-3);
    EXPECT_NEAR(Position(*d.b), -0.02, 1e-3);
    EXPECT_EQ(d.bus.Count(0x11) - a, 1u) << "one frame per motor per cycle";
    EXPECT_EQ(d.bus.Count(0x12) - b, 1u);
}

// The bus thread's own tick, with its pauses between frames, reads an answer that came after its
// motor's pause in the same tick: once a tick has ended, each motor reports that tick's answer.
// Here the first motor's answer always comes with the second motor's frame, after its pause.
TEST(ControlCycle, ADefaultTickReadsTheAnswersThatCameAfterTheirPause) {
    Bus bus;
    ScriptedMotor a(1, bus, "script11"), b(2, bus, "script11");
    Damiao::Damiao_Thread* sender = Damiao::Damiao_Thread::ForInterface("script11");
    std::map<unsigned long long, float> sent;  // by the tick that sent it: the late answer
    uint32_t first = 0;                         // the motor whose frame goes first
    bool held = false;
    int n = 0;
    ASSERT_EQ(a.init(), 0);
    ASSERT_EQ(b.init(), 0);
    std::unique_lock<std::mutex> scripting(bus.mutex);
    bus.script = [&](uint32_t id, const can_frame& f) {
        if (!held) {
            first = id;
            held = true;
            return;
        }
        bus.Answer(id, f);
        const float value = 0.001f * float(++n % 500);
        sent[sender->Ticks()] = value;
        bus.Feedback(first, 1, value);
        held = false;
    };
    scripting.unlock();
    int samples = 0, stale = 0;
    for (int i = 0; i < 400 && samples < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(700));
        const unsigned long long tick = sender->Ticks();
        uint32_t late;
        {
            std::lock_guard<std::mutex> lock(bus.mutex);
            late = first;
        }
        const double p = Position(late == 0x11 ? a : b);
        if (sender->Ticks() != tick) continue;  // a tick ended meanwhile: no telling which
        std::lock_guard<std::mutex> lock(bus.mutex);
        auto last = sent.find(tick - 1);
        if (last == sent.end() || first != late) continue;
        ++samples;
        // The tick now under way may have read its own answer already.
        auto current = sent.find(tick);
        const bool fresh = std::fabs(p - last->second) < 4e-4 ||
                           (current != sent.end() && std::fabs(p - current->second) < 4e-4);
        stale += !fresh;
    }
    {
        std::lock_guard<std::mutex> lock(bus.mutex);
        bus.script = [](uint32_t, const can_frame&) {};
    }
    EXPECT_GE(samples, 20);
    EXPECT_EQ(stale, 0) << "of " << samples;
}

// Answers that are in by the time the cycle looks are taken even when its deadline passed
// before it looked (here: the write of each frame outlasts the 1 µs deadline).
TEST(ControlCycle, AnswersWaitingAtAPassedDeadlineAreTaken) {
    jointbus::ControlCycleOptions o = Driven::Long();
    o.deadlineUs = 1;
    Driven d("script10", o);
    d.bus.script = [&](uint32_t id, const can_frame& f) {
        d.bus.Answer(id, f);
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
        while (std::chrono::steady_clock::now() < until) {
        }
    };
    d.a->setMotorPosition(0.0);
    d.b->setMotorPosition(0.0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(d.cycle->cycle(), 0);
        EXPECT_TRUE(d.cycle->silent().empty());
    }
}

// The first cycle's ramp step is the model's ramp speed over the period the caller announced;
// a homing request is one save-zero frame per cycle and ends once the motor reads zero.
TEST(ControlCycle, TheRampFollowsThePeriodAndHomingStepsOncePerCycle) {
    jointbus::ControlCycleOptions o = Driven::Long();
    o.periodUs = 2000;
    Driven d("script1", o);
    // The ramp step of the next cycle depends on the time since this one: a fresh cycle
    // object starts from the announced period.
    d.cycle = std::make_unique<jointbus::ControlCycle>(
        std::vector<CtrlMotorInterface*>{d.a.get(), d.b.get()}, o);
    ASSERT_EQ(d.cycle->start(), 0);
    d.a->setMotorPosition(0.1);
    ASSERT_EQ(d.cycle->cycle(), 0);
    const double step = 0.5 * Ranges().maxSpeed * 2000e-6;
    EXPECT_NEAR(d.bus.position[0x11], step, 1e-3);  // one step from zero, to the encoding's grain

    d.bus.position[0x12] = 0.3;
    d.b->setHome(10000);
    ASSERT_EQ(d.cycle->cycle(), 0);
    EXPECT_EQ(d.b->homeTimeoutMs.load(), 0u) << "zero read back after one step";
    EXPECT_TRUE(Bus::Special(d.bus.wire.back().frame, Damiao::kSaveZero) ||
                Bus::Special(d.bus.wire[d.bus.wire.size() - 2].frame, Damiao::kSaveZero));
    EXPECT_NEAR(Position(*d.b), 0.0, 1e-3);
}

// A motor that never answers is listed after each cycle, which waits for it until its deadline;
// its feedback watch then takes it offline. A bus-off seen on both sockets in one cycle resets
// the interface once.
TEST(ControlCycle, SilenceIsReportedAndABusOffResetsTheInterfaceOnce) {
    jointbus::ControlCycleOptions o = Driven::Long();
    o.deadlineUs = 2000;
    Driven d("script2", o);
    d.b->setFeedbackTimeout(1);
    d.bus.script = [&](uint32_t id, const can_frame& f) {
        if (id == 0x11) d.bus.Answer(id, f);
    };
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(d.cycle->cycle(), 1);
        ASSERT_EQ(d.cycle->silent().size(), 1u);
        EXPECT_EQ(d.cycle->silent()[0], d.b.get());
    }
    bool enabled = false;
    EXPECT_EQ(d.b->getEnableStatus(enabled), jointbus::kOffline);
    EXPECT_EQ(d.a->getEnableStatus(enabled), 0);

    testsupport::LogCapture log;
    can_frame busOff{};
    busOff.can_id = CAN_ERR_FLAG | CAN_ERR_BUSOFF;
    busOff.can_dlc = 8;
    d.bus.script = [&](uint32_t id, const can_frame& f) {
        d.bus.Answer(id, f);
        if (id == 0x11) {
            d.bus.Put(0x11, busOff);
            d.bus.Put(0x12, busOff);
        }
    };
    d.cycle->cycle();
    EXPECT_EQ(log.Count("BUSOFF error, reset\n"), 1u) << log.Text();
}

// A bus-off in a cycle over two interfaces: the restart is the faulty interface's bus
// thread's, so cycles go on meanwhile, its motors silent and the other interface's answering in
// every one; once it is back, its motors answer again.
TEST(ControlCycle, ABusOffRestartsOnTheBusThreadWhileCyclesGoOn) {
    Bus faulty, healthy;
    ScriptedMotor a(1, faulty, "script12"), b(2, healthy, "script13");
    ASSERT_EQ(a.init(), 0);
    ASSERT_EQ(b.init(), 0);
    jointbus::ControlCycle cycle({&a, &b}, Driven::Long());
    ASSERT_EQ(cycle.start(), 0) << cycle.error();
    a.setEnableStatus(true);
    b.setEnableStatus(true);
    ASSERT_EQ(cycle.cycle(), 0);
    testsupport::LogCapture log;
    can_frame busOff{};
    busOff.can_id = CAN_ERR_FLAG | CAN_ERR_BUSOFF;
    busOff.can_dlc = 8;
    bool once = true;
    {
        std::lock_guard<std::mutex> lock(faulty.mutex);
        faulty.script = [&](uint32_t id, const can_frame& f) {
            faulty.Answer(id, f);
            if (once) faulty.Put(id, busOff);
            once = false;
        };
    }
    int during = 0, healthySilent = 0, cycles = 0;
    for (; cycles < 100000 && log.Count("the interface is restarted") == 0; ++cycles) {
        const bool restarting = log.Count("script12: restarting the interface") == 1;
        cycle.cycle();
        for (CtrlMotorInterface* m : cycle.silent()) healthySilent += m == &b;
        during += restarting && log.Count("the interface is restarted") == 0;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_EQ(log.Count("BUSOFF error, reset\n"), 1u) << log.Text();
    EXPECT_EQ(log.Count("the interface is restarted"), 1u);
    EXPECT_GE(during, 1) << "no cycle ran while the interface restarted";
    EXPECT_EQ(healthySilent, 0) << "of " << cycles;
    bool back = false;
    for (int i = 0; i < 20 && !back; ++i) back = cycle.cycle() == 0;
    EXPECT_TRUE(back);
    cycle.stop();
    std::lock_guard<std::mutex> lock(faulty.mutex);
    faulty.script = [](uint32_t, const can_frame&) {};
}

// A window hold holds: its frames carry no speed, whatever the caller's. And a hold position
// is never older than the offline episode that came after it: a motor that comes back where it
// was moved meanwhile is held there, not sent back.
TEST(ControlCycle, AHoldIsWhereTheMotorStandsWithoutTheCallersSpeed) {
    jointbus::ControlCycleOptions o = Driven::Long();
    o.deadlineUs = 2000;  // the silent motor is not waited for long
    Driven d("script14", o);
    auto last = [&] {
        for (auto it = d.bus.wire.rbegin(); it != d.bus.wire.rend(); ++it)
            if (it->masterId == 0x11 && !Bus::Special(it->frame, it->frame.data[7]))
                return Damiao::DecodeMit(Ranges(), it->frame.data);
        return Damiao::MitCommand{NAN, NAN, NAN, NAN, NAN};
    };
    for (int i = 0; i < 200 && std::fabs(Position(*d.a) - 0.05) > 0.002; ++i) {
        d.a->setMotorPosition(0.05, 1.0);
        ASSERT_EQ(d.cycle->cycle(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the ramp follows the time
    }
    EXPECT_NEAR(last().v, 1.0, 0.02) << "following: the caller's speed";
    d.a->setMotorPosition(0.6, 1.0);  // beyond the window
    ASSERT_EQ(d.cycle->cycle(), 0);
    EXPECT_NEAR(last().p, 0.05, 0.01);
    EXPECT_NEAR(last().v, 0.0, 0.02) << "holding: no speed";

    // Offline, and moved meanwhile; back, and still asked for a far target.
    d.a->setFeedbackTimeout(1);
    {
        std::lock_guard<std::mutex> lock(d.bus.mutex);
        d.bus.script = [&](uint32_t id, const can_frame& f) {
            if (id != 0x11) d.bus.Answer(id, f);
        };
    }
    bool enabled = false;
    for (int i = 0; i < 100 && d.a->getEnableStatus(enabled) != jointbus::kOffline; ++i) {
        d.cycle->cycle();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(d.a->getEnableStatus(enabled), jointbus::kOffline);
    {
        std::lock_guard<std::mutex> lock(d.bus.mutex);
        d.bus.position[0x11] = 0.3f;
        d.bus.script = [&](uint32_t id, const can_frame& f) {
            if (id == 0x11 && !Bus::Special(f, f.data[7])) {
                d.bus.Feedback(id, 1, d.bus.position[id]);  // it stays where it was put
                return;
            }
            d.bus.Answer(id, f);
        };
    }
    for (int i = 0; i < 3; ++i) {
        d.a->setMotorPosition(0.9, 1.0);
        d.cycle->cycle();
    }
    EXPECT_NEAR(Position(*d.a), 0.3, 0.01);
    EXPECT_NEAR(last().p, 0.3, 0.01) << "held where it stands now, not where it stood before";
    EXPECT_NEAR(last().v, 0.0, 0.02);
    std::lock_guard<std::mutex> lock(d.bus.mutex);
    d.bus.script = [](uint32_t, const can_frame&) {};
}

// Where the process is to outlive a motor's power loss, the motor latches 4009 and its whole
// bus is disabled at the end of the cycle that saw it; clearing the errors clears the latch.
TEST(ControlCycle, APowerLossCanDisableItsBusInsteadOfEndingTheProcess) {
    Driven d("script15");
    jointbus::SetFatalPolicy(jointbus::OnFatal::kDisableBus);
    testsupport::LogCapture log;
    {
        std::lock_guard<std::mutex> lock(d.bus.mutex);
        d.bus.script = [&](uint32_t id, const can_frame& f) {
            if (id != 0x11) return d.bus.Answer(id, f);
            can_frame lost{};
            lost.can_id = id;
            lost.can_dlc = 8;
            for (int i = 1; i < 8; ++i) lost.data[i] = 0xFF;  // the power-loss pattern
            d.bus.Put(id, lost);
        };
    }
    d.a->setMotorPosition(0.0);
    d.b->setMotorPosition(0.0);
    d.cycle->cycle();
    {
        std::lock_guard<std::mutex> lock(d.bus.mutex);
        d.bus.script = [](uint32_t, const can_frame&) {};
    }
    bool enabled = true;
    EXPECT_EQ(d.a->getEnableStatus(enabled), jointbus::kPowerLossLatched);
    EXPECT_FALSE(d.a->enableReq.load());
    EXPECT_FALSE(d.b->enableReq.load()) << "the other motor on its bus";
    EXPECT_EQ(log.Count("power lost, latched fault 4009: every motor on script15 is disabled"),
              1u)
        << log.Text();
    d.a->ClearErrors();
    EXPECT_EQ(jointbus::LatchedFault(d.a.get()), 0);
    jointbus::SetFatalPolicy(jointbus::OnFatal::kExitProcess);
}

// Each bus is its own lock domain: while one bus's tick is held up inside its write (its
// sender's lock held all the while), another bus's thread goes on ticking.
TEST(ControlCycle, ATickOfOneBusGoesOnWhileAnotherBusIsHeldUp) {
    Bus stuck, free;
    ScriptedMotor a(1, stuck, "script16"), b(2, free, "script17");
    ASSERT_EQ(a.init(), 0);
    ASSERT_EQ(b.init(), 0);
    Damiao::Damiao_Thread* other = Damiao::Damiao_Thread::ForInterface("script17");
    std::mutex gate;
    std::condition_variable opened;
    bool held = false, release = false;
    unsigned long long ticksWhileHeld = 0;
    {
        std::lock_guard<std::mutex> lock(stuck.mutex);
        stuck.script = [&](uint32_t id, const can_frame& f) {
            std::unique_lock<std::mutex> wait(gate);
            if (!release) {
                held = true;
                opened.notify_all();
                const unsigned long long before = other->Ticks();
                opened.wait_for(wait, std::chrono::seconds(20), [&] {
                    return release || other->Ticks() >= before + 5;
                });
                ticksWhileHeld = other->Ticks() - before;
                release = true;
            }
            stuck.Answer(id, f);
        };
    }
    {
        std::unique_lock<std::mutex> wait(gate);
        opened.wait_for(wait, std::chrono::seconds(20), [&] { return held; });
    }
    // The held tick checks the other bus's count whenever it is woken; wake it until it lets go.
    for (int i = 0; i < 4000; ++i) {
        {
            std::lock_guard<std::mutex> lock(gate);
            if (release) break;
        }
        opened.notify_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(held);
    EXPECT_GE(ticksWhileHeld, 5u);
    std::lock_guard<std::mutex> lock(stuck.mutex);
    stuck.script = [](uint32_t, const can_frame&) {};
}

// A caller that stops cycling gets the bus thread back after the watchdog, with one WARN and
// the motors holding where they stand; the next cycle takes the tick again. A motor on the bus
// that the cycle does not list is driven too, and may go while the cycle runs.
TEST(ControlCycle, ASilentCallerHandsTheTickBackAndTheMotorsHold) {
    jointbus::ControlCycleOptions o = Driven::Long();
    o.watchdogMs = 20;
    Driven d("script3", o);
    auto extra = std::make_unique<ScriptedMotor>(3, d.bus, "script3");
    ASSERT_EQ(extra->init(), 0);
    d.a->setMotorPosition(0.05);
    ASSERT_EQ(d.cycle->cycle(), 0);
    extra.reset();  // it reads the answers still on their way: the watchdog may run out meanwhile
    ASSERT_EQ(d.cycle->cycle(), 0);
    testsupport::LogCapture log;
    d.a->setMotorPosition(0.15);  // never cycled: the hold replaces it
    ASSERT_TRUE(testsupport::WaitFor([&] { return log.Count("[WARN] control cycle: no cycle on script3") == 1; },
                                     std::chrono::milliseconds(3000)))
        << log.Text();
    double target = NAN;
    d.a->getTargetPosition(target);
    EXPECT_NEAR(target, Position(*d.a), 1e-6);
    EXPECT_EQ(d.cycle->cycle(), 0);
    EXPECT_EQ(log.Count("[WARN] control cycle: no cycle on"), 1u);
}

// A motor that leaves its bus keeps the answer to its last frame, which came after the cycle
// gave up on it: the engine reads the motor's socket once more on the way out.
TEST(ControlCycle, AMotorLeavingItsBusTakesItsLateAnswer) {
    jointbus::ControlCycleOptions o = Driven::Long();
    o.deadlineUs = 2000;
    Driven d("script6", o);
    d.bus.script = [&](uint32_t id, const can_frame& f) {
        if (id == 0x11) d.bus.Answer(id, f);
    };
    ASSERT_EQ(d.cycle->cycle(), 1);
    d.bus.Feedback(0x12, 1, 0.25f);
    Damiao::Damiao_Thread::ForInterface("script6")->removeDamiao(2, d.b.get());
    EXPECT_NEAR(Position(*d.b), 0.25, 1e-3);

    // One still on its way when the motor leaves is waited for, up to the motor's feedback
    // time-out, on the leaving thread.
    d.a->setFeedbackTimeout(500);
    ASSERT_EQ(d.cycle->cycle(), 0);
    d.bus.script = [&](uint32_t, const can_frame&) {};
    ASSERT_EQ(d.cycle->cycle(), 1);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past half a tick
        d.bus.Feedback(0x11, 1, -0.25f);
    });
    Damiao::Damiao_Thread::ForInterface("script6")->removeDamiao(1, d.a.get());
    late.join();
    EXPECT_NEAR(Position(*d.a), -0.25, 1e-3);
}

// What start() refuses, and that a refused start takes no bus.
TEST(ControlCycle, StartRefusesWhatItCannotDrive) {
    Bus bus;
    ScriptedMotor fresh(1, bus, "script4");
    VirtualMotor virt;
    Driven d("script5");
    jointbus::ControlCycleOptions badWatchdog;
    badWatchdog.watchdogMs = 0;
    struct Case {
        std::vector<CtrlMotorInterface*> motors;
        jointbus::ControlCycleOptions options;
        const char* error;
    } cases[] = {
        {{}, {}, "no motors"},
        {{d.a.get()}, badWatchdog, "watchdog 0 ms, not 1 to 10000"},
        {{&fresh}, {}, "Damiao motor 1 on script4 is not initialised"},
        {{&virt}, {}, "motor 0 is neither a Damiao motor nor a Feetech servo"},
        {{d.b.get()}, {}, "script5 is driven by another control cycle"},
    };
    for (const auto& c : cases) {
        jointbus::ControlCycle cycle(c.motors, c.options);
        EXPECT_EQ(cycle.start(), -1) << c.error;
        EXPECT_EQ(cycle.error(), c.error);
        EXPECT_EQ(cycle.cycle(), -1);
    }
    EXPECT_EQ(d.cycle->cycle(), 0) << "the refused starts left the first cycle's bus alone";
}

// A caller that goes quiet: after the command watchdog's time the next tick applies each
// motor's policy once, with one WARN each: the holding motor's frame carries where it stands,
// the other is disabled. (What re-arms the watch: CommandWatch's own test.)
TEST(ControlCycle, TheCommandWatchdogHoldsOrDisablesASilentMotorOnce) {
    Driven d("script5");
    jointbus::CommandWatchdog hold{1, jointbus::OnCommandTimeout::kHold};
    jointbus::CommandWatchdog off{1, jointbus::OnCommandTimeout::kDisable};
    ASSERT_EQ(jointbus::SetCommandWatchdog(d.a.get(), hold), 0);
    ASSERT_EQ(jointbus::SetCommandWatchdog(d.b.get(), off), 0);
    d.a->setMotorPosition(0.1);
    d.b->setMotorPosition(0.0);
    ASSERT_EQ(d.cycle->cycle(), 0);  // seen enabled: the watch starts
    const double at = d.bus.position[0x11];  // one ramp step towards 0.1
    testsupport::LogCapture log;
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));  // past the 1 ms watchdog
        d.cycle->cycle();
    }
    EXPECT_EQ(log.Count("command watchdog: damiao motor 1 on script5: no command for 1 ms, it "
                        "holds where it stands"),
              1u)
        << log.Text();
    EXPECT_EQ(log.Count("command watchdog: damiao motor 2 on script5: no command for 1 ms, it "
                        "is disabled"),
              1u);
    EXPECT_EQ(jointbus::CommandTimeouts(d.a.get()), 1u);
    EXPECT_EQ(jointbus::CommandTimeouts(d.b.get()), 1u);
    EXPECT_NEAR(d.bus.position[0x11], at, 1e-3) << "the held motor went on towards 0.1";
    EXPECT_TRUE(Bus::Special(d.bus.wire.back().frame, Damiao::kDisable) ||
                Bus::Special(d.bus.wire[d.bus.wire.size() - 2].frame, Damiao::kDisable));
    bool enabled = true;
    EXPECT_EQ(d.b->getEnableStatus(enabled), 0);
    EXPECT_FALSE(enabled);

    jointbus::SetCommandWatchdog(d.a.get(), jointbus::CommandWatchdog{});
    jointbus::SetCommandWatchdog(d.b.get(), jointbus::CommandWatchdog{});
}

// An impedance or torque command carries its own gains until a plain setter brings the
// motor's own back, and its torque passes the torque limit. Damping, whether the exit's or the
// command watchdog's, sends kp 0 and the damping kd with neither speed nor torque, whatever
// the caller asks meanwhile, and disables the motor once its time is over.
TEST(ControlCycle, ImpedanceTorqueAndDampingFramesCarryTheirGains) {
    Driven d("script7");
    auto last = [&](uint32_t id) {
        for (auto it = d.bus.wire.rbegin(); it != d.bus.wire.rend(); ++it)
            if (it->masterId == id && !Bus::Special(it->frame, it->frame.data[7]))
                return Damiao::DecodeMit(Ranges(), it->frame.data);
        return Damiao::MitCommand{NAN, NAN, NAN, NAN, NAN};
    };
    auto expect = [&](uint32_t id, float kp, float kd, float v, float t, const char* what) {
        const Damiao::MitCommand m = last(id);
        EXPECT_NEAR(m.kp, kp, 0.2) << what;
        EXPECT_NEAR(m.kd, kd, 0.01) << what;
        EXPECT_NEAR(m.v, v, 0.02) << what;
        EXPECT_NEAR(m.t, t, 0.01) << what;
    };
    jointbus::MotorLimits limits;
    limits.torque = 2.0;
    ASSERT_EQ(jointbus::SetMotorLimits(d.a.get(), limits), 0);

    ASSERT_EQ(jointbus::SetImpedance(d.a.get(), {0.0, 0.5, 40, 2, 1.0}), 0);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(d.cycle->cycle(), 0);
        expect(0x11, 40, 2, 0.5, 1.0, "impedance, kept from cycle to cycle");
    }
    ASSERT_EQ(jointbus::SetTorqueCommand(d.a.get(), 5.0), 0);
    ASSERT_EQ(d.cycle->cycle(), 0);
    expect(0x11, 0, 0, 0, 2.0, "torque only, clamped to the limit");
    d.a->setMotorPosition(0.0, 0.0, 0.0);
    ASSERT_EQ(d.cycle->cycle(), 0);
    expect(0x11, 15, 1, 0, 0, "a plain setter: the motor's own gains");

    VirtualMotor virt;
    EXPECT_EQ(jointbus::SetImpedance(&virt, {}), -1);
    EXPECT_EQ(jointbus::SetImpedance(d.a.get(), {0, 0, 600, 1, 0}), -1) << "kp beyond 500";
    EXPECT_EQ(jointbus::SetImpedance(d.a.get(), {NAN, 0, 1, 1, 0}), jointbus::kDamiaoNotANumber);
    for (const double inf : {INFINITY, -INFINITY}) {
        EXPECT_EQ(jointbus::SetImpedance(d.a.get(), {0, inf, 1, 1, 0}),
                  jointbus::kDamiaoNotANumber);
        EXPECT_EQ(jointbus::SetTorqueCommand(d.a.get(), inf), jointbus::kDamiaoNotANumber);
    }

    // Motor 1 damps for its exit; motor 2's command watchdog damps it.
    ASSERT_EQ(jointbus::SetExitPolicy(d.a.get(), {jointbus::OnExit::kDampThenDisable, 5, 0.5}),
              0);
    ASSERT_EQ(jointbus::SetExitPolicy(d.b.get(), {jointbus::OnExit::kHoldThenDisable, 5, 0.8}),
              0);
    ASSERT_EQ(jointbus::SetCommandWatchdog(d.b.get(), {1, jointbus::OnCommandTimeout::kDamp}), 0);
    EXPECT_EQ(jointbus::StartExitDamping(d.b.get()), 0) << "its exit is a hold";
    EXPECT_EQ(jointbus::StartExitDamping(d.a.get()), 5);
    d.a->setMotorPosition(0.3, 1.0, 1.0);  // no effect while it damps
    ASSERT_EQ(d.cycle->cycle(), 0);  // seen enabled: motor 2's watch starts
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    ASSERT_EQ(d.cycle->cycle(), 0);
    expect(0x11, 0, 0.5, 0, 0, "exit damping");
    expect(0x12, 0, 0.8, 0, 0, "the command watchdog's damping");
    std::this_thread::sleep_for(std::chrono::milliseconds(6));
    d.cycle->cycle();
    d.cycle->cycle();
    bool enabled = true;
    EXPECT_EQ(d.a->getEnableStatus(enabled), 0);
    EXPECT_FALSE(enabled) << "disabled once the damping time is over";
    EXPECT_EQ(d.b->getEnableStatus(enabled), 0);
    EXPECT_FALSE(enabled);

    jointbus::SetCommandWatchdog(d.b.get(), jointbus::CommandWatchdog{});
}

// A motor that pushes at its torque limit for stall_ms latches 4007 once, with one ERROR, and
// is disabled; one at its temperature limit latches 4008 and holds. Each stays until cleared.
TEST(ControlCycle, AStallOrAnOverTemperatureLatchesUntilCleared) {
    Driven d("script8");
    int hot = 75;  // motor 2's temperature
    d.bus.script = [&](uint32_t id, const can_frame& f) {
        if (!Bus::Special(f, f.data[7])) d.bus.position[id] = Damiao::DecodeMit(Ranges(), f.data).p;
        can_frame reply{};
        reply.can_id = id;
        reply.can_dlc = 8;
        Damiao::EncodeFeedback(Ranges(), Bus::Special(f, Damiao::kDisable) ? 0 : 1,
                               d.bus.position[id], 0, id == 0x11 ? 4.2f : 0.0f,
                               id == 0x11 ? 30 : hot, reply.data);
        d.bus.Put(id, reply);
    };
    jointbus::MotorLimits limits;
    limits.torque = 4.0;
    ASSERT_EQ(jointbus::SetMotorLimits(d.a.get(), limits), 0);
    EXPECT_EQ(jointbus::SetFaultWatch(d.b.get(), {1, 0, jointbus::OnCommandTimeout::kHold}), -1)
        << "a stall watch needs a torque limit";
    ASSERT_EQ(jointbus::SetFaultWatch(d.a.get(), {1, 0, jointbus::OnCommandTimeout::kDisable}), 0);
    ASSERT_EQ(jointbus::SetFaultWatch(d.b.get(), {0, 70, jointbus::OnCommandTimeout::kHold}), 0);
    testsupport::LogCapture log;
    d.a->setMotorPosition(0.0);
    d.b->setMotorPosition(0.0);
    ASSERT_EQ(d.cycle->cycle(), 0);  // motor 1 reports the torque
    ASSERT_EQ(d.cycle->cycle(), 0);  // seen by the watch: the stall time starts
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (int i = 0; i < 3; ++i) d.cycle->cycle();
    EXPECT_EQ(log.Count("latched fault 4007: damiao motor 1 on script8: stalled, torque 4.2"), 1u)
        << log.Text();
    EXPECT_EQ(log.Count("latched fault 4008: damiao motor 2 on script8: temperature 75 °C"), 1u);
    bool enabled = false;
    EXPECT_EQ(d.a->getEnableStatus(enabled), jointbus::kStallLatched);
    EXPECT_EQ(d.b->getEnableStatus(enabled), jointbus::kTemperatureLatched);
    EXPECT_TRUE(d.b->reportedEnabled.load()) << "hold keeps it enabled";

    hot = 30;
    d.cycle->cycle();  // cooled down: the fault stays latched
    EXPECT_EQ(jointbus::LatchedFault(d.b.get()), jointbus::kTemperatureLatched);
    d.a->ClearErrors();
    jointbus::ClearLatchedFault(d.b.get());
    d.cycle->cycle();
    EXPECT_EQ(d.a->getEnableStatus(enabled), 0);
    EXPECT_FALSE(enabled) << "its policy disabled it";
    EXPECT_EQ(d.b->getEnableStatus(enabled), 0);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(log.Count("latched fault 40"), 2u);
    jointbus::SetFaultWatch(d.a.get(), {});
    jointbus::SetFaultWatch(d.b.get(), {});
}

// Bumpless enable: a joint moved by hand while disabled is held where it stands once enabled
// again, with no command given; a target given before the enable is brought within the step
// limit of there. A joint without it gets enable frames and no command, as ever.
TEST(ControlCycle, ABumplessEnableHoldsWhereTheJointStands) {
    Driven d("script9");
    auto lastMit = [&](uint32_t id) {
        for (auto it = d.bus.wire.rbegin(); it != d.bus.wire.rend(); ++it)
            if (it->masterId == id) return !Bus::Special(it->frame, it->frame.data[7]);
        return false;
    };
    ASSERT_EQ(jointbus::SetBumplessEnable(d.a.get(), true), 0);
    const struct {
        double before;  // a target set while disabled, NaN for none
        double holds;   // where the joint ends up
    } cases[] = {{NAN, 0.3}, {0.6, 0.4}};
    jointbus::MotorLimits limits;
    limits.step = 0.1;
    ASSERT_EQ(jointbus::SetMotorLimits(d.a.get(), limits), 0);
    for (const auto& c : cases) {
        d.a->setEnableStatus(false);
        d.b->setEnableStatus(false);
        d.cycle->cycle();
        d.bus.position[0x11] = d.bus.position[0x12] = 0.3f;  // moved by hand
        if (!std::isnan(c.before)) d.a->setMotorPosition(c.before);
        d.a->setEnableStatus(true);
        d.b->setEnableStatus(true);
        // Every command on the way stays between where it stood and where it is to hold.
        for (int i = 0; i < 20; ++i) {
            d.cycle->cycle();
            EXPECT_GE(d.bus.position[0x11], 0.3 - 1e-3) << "cycle " << i;
            EXPECT_LE(d.bus.position[0x11], c.holds + 1e-3) << "cycle " << i;
        }
        EXPECT_TRUE(lastMit(0x11));
        double target = NAN;
        d.a->getTargetPosition(target);
        EXPECT_NEAR(target, c.holds, 1e-3) << "target before: " << c.before;
        EXPECT_FALSE(lastMit(0x12)) << "no bumpless enable, no command";
    }
    jointbus::SetBumplessEnable(d.a.get(), false);
}
