// The Damiao motor's logic without a bus: feedback decoding, fault codes, direction, the
// position window and ramp, the offline rule and torque unwrapping. Frames and timing are
// covered against the emulator on the CAN bench.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <functional>

#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/DaMiao/damiao_registers.h"
#include "jointbus/common/can_settings.h"
#include "jointbus/common/motor_limits.h"
#include "jointbus/driver/driver_can.h"
#include "log_capture.h"

using testsupport::LogCapture;

namespace {

// Feeds one feedback frame with the given state and values (4310 ranges).
void Feed(damiaoMotor& m, int state, float pos, float vel = 0, float torque = 0, int temp = 30) {
    Damiao::Ranges r;
    Damiao::RangesForModel(4310, r);
    CanFrame f;
    f.id = m.master_id;
    f.len = 8;
    Damiao::EncodeFeedback(r, state, pos, vel, torque, temp, f.data);
    m.Consume(f);
}

damiaoMotor Motor(bool inverse = false) {
    return damiaoMotor(4310, 1, 0, 0x11, "can0", inverse, 15.0f, 1.0f);
}

}  // namespace

TEST(DamiaoMotor, ConstructionSetsModelRangesAndIdleState) {
    damiaoMotor m(4340, 3, 0x100, 0x13, "can1", true, 20.0f, 2.0f);
    EXPECT_EQ(m.motor_id, 3u);
    EXPECT_TRUE(m.inverse);
    EXPECT_EQ(m.mode, 0x100u);
    EXPECT_EQ(m.master_id, 0x13u);
    EXPECT_EQ(m.dev_name, "can1");
    EXPECT_EQ(m.T_MAX, 28);
    EXPECT_EQ(m.maxSpeed, 3.768);
    EXPECT_EQ(m.stateCode.load(), -1);
    EXPECT_TRUE(m.inWindow);
    bool enabled = true;
    EXPECT_EQ(m.getEnableStatus(enabled), 5004);
    EXPECT_TRUE(enabled);  // untouched
}

TEST(DamiaoMotor, UnknownModelIsRefusedAtInit) {
    LogCapture log;
    damiaoMotor m(1234, 5, 0, 0x15, "can0", false, 15.0f, 1.0f);
    EXPECT_EQ(log.Count("unknown motor model 1234"), 1u);
    EXPECT_EQ(m.init(), damiaoMotor::kUnknownModel);
    EXPECT_EQ(m.canDriver, nullptr);  // never opened a bus
}

TEST(DamiaoMotor, SettersStoreTargetsInTheMotorsFrame) {
    auto m = Motor(true);
    m.setMotorPosition(1.0, 2.0, 3.0);
    EXPECT_EQ(m.targetPos.load(), -1.0f);
    EXPECT_EQ(m.targetVel.load(), -2.0f);
    EXPECT_EQ(m.targetTorque.load(), -3.0f);
    EXPECT_TRUE(m.cmdPending.load());
    m.setMotorPosition(0.5);  // velocity back to 0
    EXPECT_EQ(m.targetVel.load(), 0.0f);
    m.setVelocity(4.0);  // position unchanged
    EXPECT_EQ(m.targetPos.load(), -0.5f);
    EXPECT_EQ(m.targetVel.load(), -4.0f);
    m.setEnableStatus(false);
    EXPECT_FALSE(m.cmdPending.load());
}

TEST(DamiaoMotor, NotANumberIsRefused) {
    auto m = Motor();
    m.setMotorPosition(0.25);
    EXPECT_EQ(m.setMotorPosition(std::nan("")), damiaoMotor::kNotANumber);
    EXPECT_EQ(m.setMotorPosition(0.1, std::nan("")), damiaoMotor::kNotANumber);
    EXPECT_EQ(m.setMotorPosition(0.1, 0.0, std::nan("")), damiaoMotor::kNotANumber);
    EXPECT_EQ(m.setVelocity(std::nan("")), damiaoMotor::kNotANumber);
    EXPECT_EQ(m.targetPos.load(), 0.25f);
    EXPECT_EQ(m.targetVel.load(), 0.0f);
}

TEST(DamiaoMotor, FeedbackIsReportedInTheCallersFrame) {
    auto m = Motor(true);
    Feed(m, 1, -1.0f, 2.0f, 0.5f, 41);
    double pos = 0, vel = 0, torque = 0;
    int temp = 0;
    m.getMotorPosition(pos);
    m.getVelocity(vel);
    m.getTorque(torque);
    m.getMotorTemperature(temp);
    EXPECT_NEAR(pos, 1.0, 1e-3);
    EXPECT_NEAR(vel, -2.0, 0.02);
    EXPECT_NEAR(torque, -0.5, 0.01);
    EXPECT_EQ(temp, 41);
    bool enabled = false;
    EXPECT_EQ(m.getEnableStatus(enabled), 0);
    EXPECT_TRUE(enabled);
    int code = -5;
    EXPECT_EQ(m.getEnableStatus(code), 0);
    EXPECT_EQ(code, 1);
}

// A short frame, and frames that share the feedback id's low 11 bits but are not standard
// data frames (the socket's filter lets extended and remote frames through), are not feedback.
TEST(DamiaoMotor, OnlyFullStandardDataFramesAreFeedback) {
    auto m = Motor();
    CanFrame f;
    for (auto& b : f.data) b = 0xFF;
    f.data[0] = 0;  // would match the power-loss pattern if decoded
    f.id = m.master_id;
    f.len = 7;
    m.Consume(f);
    f.len = 8;
    f.id = m.master_id | CAN_EFF_FLAG;
    m.Consume(f);
    f.id = m.master_id | CAN_RTR_FLAG;
    m.Consume(f);
    EXPECT_FALSE(m.online.load());
    EXPECT_EQ(m.stateCode.load(), -1);
}

// A commissioning tool's register answers arrive on the feedback id; decoded as feedback they
// would report the motor disabled at the far end of its range.
TEST(DamiaoMotor, RegisterAnswersOnTheFeedbackIdAreNotFeedback) {
    auto m = Motor();
    Feed(m, 1, 1.0f);
    CanFrame f;
    f.id = m.master_id;
    f.len = 8;
    for (auto cmd : {Damiao::kRegisterRead, Damiao::kRegisterWrite}) {
        Damiao::EncodeRegisterRequest(m.motor_id, cmd, Damiao::kRegCtrlMode, 1, f.data);
        m.Consume(f);
    }
    double pos = 0;
    bool enabled = false;
    EXPECT_EQ(m.getMotorPosition(pos), 0);
    EXPECT_NEAR(pos, 1.0, 1e-3);
    EXPECT_EQ(m.getEnableStatus(enabled), 0);
    EXPECT_TRUE(enabled);
}

TEST(DamiaoMotor, FaultCodesAndMessages) {
    const struct {
        int state, result;
        const char* text;
    } cases[] = {{8, 4003, "超压"},     {9, 4004, "欠压"},          {10, 4001, "过流"},
                 {11, 4006, "mos过温"}, {12, 4005, "电机线圈过温"}, {13, 5003, "通讯丢失"},
                 {14, 4002, "过载"}};
    for (const auto& c : cases) {
        auto m = Motor();
        LogCapture log;
        Feed(m, c.state, 0.0f);
        EXPECT_EQ(log.Count("nodeID_: 1 occur error: " + std::to_string(c.state) + "\r\n"), 1u);
        bool enabled = false;
        int code = -7;
        for (int call = 0; call < 2; ++call) {
            EXPECT_EQ(m.getEnableStatus(enabled), c.result) << c.state;
            EXPECT_EQ(m.getEnableStatus(code), c.result) << c.state;
        }
        EXPECT_FALSE(enabled);
        EXPECT_EQ(code, -7);
        EXPECT_EQ(log.Count(std::string("nodeID_:1  ") + c.text + "\r\n"), 4u) << c.state;
    }
}

TEST(DamiaoMotor, UndefinedStateCodes) {
    auto m = Motor();
    Feed(m, 5, 0.0f);
    bool enabled = false;
    int code = -3;
    EXPECT_EQ(m.getEnableStatus(enabled), 0);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(m.getEnableStatus(code), 0);
    EXPECT_EQ(code, -3);
    LogCapture log;
    Feed(m, 15, 0.0f);
    EXPECT_EQ(m.getEnableStatus(enabled), 0);
    EXPECT_EQ(log.Count("occur error: 15"), 1u);
}

TEST(DamiaoMotorDeathTest, PowerLossEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto m = Motor();
    CanFrame f;
    f.len = 8;
    for (auto& b : f.data) b = 0xFF;
    f.data[0] = 0x10;  // enabled: not the pattern
    m.Consume(f);
    EXPECT_TRUE(m.online.load());
    f.data[0] = 0x00;
    EXPECT_EXIT(m.Consume(f), ::testing::ExitedWithCode(1), "");
}

TEST(DamiaoMotor, TwentyFailedWritesTakeTheMotorOffline) {
    auto m = Motor();
    Feed(m, 1, 0.0f);
    m.setMotorPosition(0.1);
    for (int i = 0; i < 19; ++i) m.ErrCntIncrement();
    EXPECT_TRUE(m.online.load());
    m.ErrCntIncrement();
    EXPECT_FALSE(m.online.load());
    EXPECT_FALSE(m.reportedEnabled.load());
    EXPECT_FALSE(m.cmdPending.load());
    EXPECT_EQ(m.stateCode.load(), 0);
    bool enabled;
    EXPECT_EQ(m.getEnableStatus(enabled), 5004);
    Feed(m, 1, 0.0f);  // feedback brings it back
    EXPECT_TRUE(m.online.load());
    EXPECT_EQ(m.errCount.load(), 0);
}

TEST(DamiaoMotor, TorqueUnwrapping) {
    auto m = Motor();
    double out = 0;
    m.TorqueProtect(5, out);
    EXPECT_EQ(out, 5);
    m.TorqueProtect(-9, out);
    EXPECT_EQ(out, 11);
}

// An observer (the trace recorder) reads the torque as the client would, but leaves the
// unwrapping memory alone: the client's own readings are the same with or without it.
TEST(DamiaoMotor, PeekingTheTorqueChangesNoLaterReading) {
    auto watched = Motor(true), alone = Motor(true);
    const float torques[] = {4.0f, -9.0f, 9.5f, -3.0f};
    for (float t : torques) {
        Feed(watched, 1, 0.0f, 0.0f, t);
        Feed(alone, 1, 0.0f, 0.0f, t);
        double peeked = 0, first = 0, second = 0;
        for (int i = 0; i < 3; ++i) watched.peekTorque(peeked);
        watched.getTorque(first);
        alone.getTorque(second);
        EXPECT_EQ(first, second) << "torque " << t;
        EXPECT_EQ(peeked, first) << "torque " << t;
    }
}

namespace {
// A transport whose every write fails: its descriptor is the read end of a pipe, which never
// becomes readable either.
class FailingCan : public DriverCan {
public:
    explicit FailingCan(const can_filter& filter, const char* interface = "none0")
        : DriverCan(interface, &filter, 8) {
        FailingCan::Open();
    }
    ~FailingCan() override {
        StopReceive();
        if (writeEnd >= 0) close(writeEnd);
    }
    int Open() override {
        if (fd.load() >= 0) return 0;
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return -1;
        fd.store(ends[0]);
        writeEnd = ends[1];
        return 0;
    }

private:
    int writeEnd = -1;
};
}  // namespace

// A clear-error frame that cannot be written counts towards the offline rule like any other;
// without a transport there is nothing to count.
TEST(DamiaoMotor, FailedClearErrorWritesCount) {
    auto idle = Motor();
    Feed(idle, 1, 0.0f);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(idle.ClearErrors(), 0);
    EXPECT_EQ(idle.errCount.load(), 0);
    EXPECT_TRUE(idle.online.load());

    auto m = Motor();
    const can_filter filter{m.master_id, CAN_SFF_MASK};
    m.canDriver = new FailingCan(filter);  // the motor owns it from here
    Feed(m, 1, 0.0f);
    for (int i = 0; i < 19; ++i) m.ClearErrors();
    EXPECT_EQ(m.errCount.load(), 19);
    EXPECT_TRUE(m.online.load());
    m.ClearErrors();
    EXPECT_FALSE(m.online.load());
    bool enabled;
    EXPECT_EQ(m.getEnableStatus(enabled), jointbus::kOffline);
}

// Without a bus the frames fail, but the window and ramp decisions are all visible.
TEST(DamiaoMotor, WindowHoldsFarTargetsAndTheRampLimitsSteps) {
    auto m = Motor();
    Feed(m, 1, 0.0f);
    m.SendStat();  // the ramp starts where the motor stands (0 reads as -0.00019)
    const float start = m.lastCmdPos;
    EXPECT_NEAR(start, 0.0f, 1e-3);
    const float step = float(0.5 * 12.56 / 200);
    m.setMotorPosition(0.1);
    m.SetTargetPos();
    EXPECT_NEAR(m.lastCmdPos, start + step, 1e-6);
    m.SetTargetPos();
    m.SetTargetPos();
    EXPECT_NEAR(m.lastCmdPos, start + 3 * step, 1e-6);
    m.SetTargetPos();
    EXPECT_NEAR(m.lastCmdPos, 0.1f, 1e-6);

    // Each episode of holding says so once, naming the motor, its bus, distance and window.
    testsupport::LogCapture log;
    const std::string held = "[WARN] Damiao motor 1 on can0: target 0.300 rad away, beyond the "
                             "0.2 rad window: holding at 0.100 until a target within the window "
                             "comes\r\n";
    Feed(m, 1, 0.1f);
    m.setMotorPosition(0.1 + 0.3);  // 0.3 away: hold where it stands
    m.SetTargetPos();
    EXPECT_FALSE(m.inWindow);
    EXPECT_NEAR(m.holdPos, 0.1f, 1e-3);
    EXPECT_NEAR(m.lastCmdPos, 0.1f, 1e-3);
    Feed(m, 1, 0.05f);
    m.SetTargetPos();  // still far: keeps the held position
    EXPECT_NEAR(m.lastCmdPos, 0.1f, 1e-3);
    EXPECT_EQ(log.Count(held), 1u) << log.Text();
    m.setMotorPosition(0.2);  // within 0.2 of the present position: follow again
    m.SetTargetPos();
    EXPECT_TRUE(m.inWindow);
    EXPECT_NEAR(m.lastCmdPos, 0.1f + step, 1e-3);
    Feed(m, 1, 0.1f);
    m.setMotorPosition(0.4);  // a second episode, a second line
    m.SetTargetPos();
    EXPECT_EQ(log.Count(held), 2u) << log.Text();
    EXPECT_EQ(log.Count("[WARN]"), 2u);
}

// The ramp is a speed, not a step per tick: on an interface with a 1 ms tick a step is a fifth
// of a 5 ms tick's, so the slew rate stays half the model's top speed whatever the tick.
TEST(DamiaoMotor, TheRampFollowsTheInterfacesTick) {
    jointbus::CanInterfaceSettings fast;
    fast.tickUs = 1000;
    ASSERT_EQ(jointbus::SetCanInterfaceSettings("rampfast0", fast), 0);
    auto m = Motor();
    const can_filter filter{m.master_id, CAN_SFF_MASK};
    m.canDriver = new FailingCan(filter, "rampfast0");  // the motor owns it from here
    Feed(m, 1, 0.0f);
    m.SendStat();
    const float start = m.lastCmdPos;
    m.setMotorPosition(0.1);
    m.SetTargetPos();
    EXPECT_NEAR(m.lastCmdPos - start, 0.5 * 12.56 * 0.001, 1e-6);
}

// The step limit measures from the last target let through, but never holds a motor away from
// where it stands: a target within a step of the present position passes, and homing, an enable
// or disable, or an offline episode measures from the present position again.
TEST(DamiaoMotor, TheStepLimitNeverMeasuresFromAStaleTarget) {
    auto m = Motor();
    jointbus::MotorLimits limits;
    limits.step = 0.05;
    ASSERT_EQ(jointbus::SetMotorLimits(&m, limits), 0);
    auto walkTo = [&](double to) {
        for (double p = 0.05; p <= to + 1e-9; p += 0.05) {
            Feed(m, 1, float(p - 0.05));
            m.setMotorPosition(p);
        }
        Feed(m, 1, float(to));
    };
    auto offline = [&] {
        for (int i = 0; i < 20; ++i) m.ErrCntIncrement();
    };
    struct {
        const char* what;
        std::function<void()> event;
        double present, asked, sent;
    } const cases[] = {
        {"stay after homing", [&] { m.setHome(1000); }, 0.0, 0.0, 0.0},
        {"move after homing", [&] { m.setHome(1000); }, 0.0, 0.3, 0.05},
        {"move after a disable", [&] { m.setEnableStatus(false); }, 0.2, 0.4, 0.25},
        {"move after an enable", [&] { m.setEnableStatus(true); }, 0.2, 0.4, 0.25},
        {"move after an offline episode", offline, 0.1, 0.3, 0.15},
        {"a hold while the target ran ahead", [] {}, 0.3, 0.3, 0.3},
    };
    for (const auto& c : cases) {
        walkTo(0.5);
        c.event();
        Feed(m, 1, float(c.present));  // where it stands now, in its present frame
        // Asked again and again, as a loop that means "stay" or "go there" would.
        for (int i = 0; i < 5 && (i == 0 || c.asked == c.sent); ++i) {
            m.setMotorPosition(c.asked);
            EXPECT_NEAR(m.targetPos.load(), c.sent, 1e-3) << c.what << ", command " << i;
        }
    }
    EXPECT_EQ(jointbus::SetMotorLimits(&m, jointbus::MotorLimits{}), 0);
}

// At the default 5 ms tick the ramp's step is half the model's top speed over 200 ticks, to
// the bit, for every model.
TEST(DamiaoMotor, TheRampStepAtFiveMillisecondsIsExact) {
    for (const int model : {4310, 4340, 6006}) {
        damiaoMotor m(model, 1, 0, 0x11, "can0", false, 15.0f, 1.0f);
        Feed(m, 1, 0.0f);
        m.fbPosition.store(0.0f);
        m.lastCmdPos = 0.0f;
        m.setMotorPosition(0.1);
        m.SetTargetPos();
        EXPECT_EQ(m.lastCmdPos, float(0.5 * m.maxSpeed / 200)) << model;
    }
}

// Limits clamp what a caller commands: the position range, then the largest step from the last
// target let through (the present position at first), the speed and the torque. Each kind
// warns once per episode; every clamped command counts. The ramp takes the velocity limit.
TEST(DamiaoMotor, LimitsClampEveryCommandAndWarnOncePerEpisode) {
    auto m = Motor();
    Feed(m, 1, 0.0f);
    jointbus::MotorLimits limits;
    limits.positionMin = -0.5;
    limits.positionMax = 0.5;
    limits.step = 0.2;
    limits.velocity = 1.0;
    limits.torque = 2.0;
    ASSERT_EQ(jointbus::SetMotorLimits(&m, limits), 0);
    LogCapture log;
    struct {
        double asked, sent;
    } const steps[] = {{1.0, 0.2}, {1.0, 0.4}, {1.0, 0.5}, {0.0, 0.0}, {0.3, 0.2}, {2.0, 0.4}};
    for (const auto& s : steps) {
        m.setMotorPosition(s.asked);
        EXPECT_NEAR(m.targetPos.load(), s.sent, 1e-3) << s.asked;  // "0" reads as -0.0002
    }
    EXPECT_EQ(jointbus::MotorLimitHits(&m), 5u);  // all but "stay where you stand"
    EXPECT_EQ(log.Count("is beyond the position limit [-0.5, 0.5]"), 2u) << log.Text();
    EXPECT_EQ(log.Count("is more than the step limit 0.2 rad"), 2u) << log.Text();
    EXPECT_EQ(log.Count("[WARN] damiao motor 1 on can0: target 1.000 rad is beyond"), 1u);
    m.setMotorPosition(0.5, 5.0, -9.0);
    EXPECT_EQ(m.targetVel.load(), 1.0f);
    EXPECT_EQ(m.targetTorque.load(), -2.0f);
    m.setVelocity(-3.0);
    EXPECT_EQ(m.targetVel.load(), -1.0f);
    // The ramp moves at the velocity limit: 1 rad/s is 0.005 rad a 5 ms tick.
    jointbus::MotorLimits speedOnly;
    speedOnly.velocity = 1.0;
    ASSERT_EQ(jointbus::SetMotorLimits(&m, speedOnly), 0);
    m.setMotorPosition(0.1);
    m.SendStat();
    const float start = m.lastCmdPos;
    m.SetTargetPos();
    EXPECT_NEAR(m.lastCmdPos - start, 0.005, 1e-6);
    EXPECT_EQ(jointbus::SetMotorLimits(&m, jointbus::MotorLimits{}), 0);  // cleared
    m.setMotorPosition(0.9);
    EXPECT_NEAR(m.targetPos.load(), 0.9, 1e-6);
}
