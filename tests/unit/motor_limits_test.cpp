// The per-motor settings as every kind of motor meets them: the library's own kinds (the
// virtual motor among them) apply each one, a client's own kind is refused them, and nothing of
// them outlives the motor.

#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <thread>

#include "jointbus/common/command_watchdog.h"
#include "jointbus/common/motor_limits.h"
#include "jointbus/common/virtual_motor.h"
#include "log_capture.h"

namespace {

// A client's own kind of motor: it never calls into the library from its setters.
struct ClientMotor : CtrlMotorInterface {
    int init() override { return 0; }
    int setMotorPosition(double p) override { return position = p, 0; }
    int setMotorPosition(double p, double) override { return position = p, 0; }
    int setMotorPosition(double p, double, double) override { return position = p, 0; }
    int getMotorPosition(double& p) override { return p = position, 0; }
    int setEnableStatus(bool) override { return 0; }
    int getEnableStatus(bool& e) override { return e = true, 0; }
    int setHome(unsigned int) override { return 0; }
    int getTorque(double& t) override { return t = 0, 0; }
    int getVelocity(double& v) override { return v = 0, 0; }
    int setVelocity(double) override { return 0; }
    int getMotorTemperature(int& t) override { return t = 25, 0; }
    double position = 0;
};

jointbus::MotorLimits Range(double min, double max) {
    jointbus::MotorLimits l;
    l.positionMin = min;
    l.positionMax = max;
    return l;
}

}  // namespace

TEST(MotorSettings, AVirtualMotorHonoursItsLimitsAndWatchdog) {
    VirtualMotor m;
    ASSERT_EQ(jointbus::SetMotorLimits(&m, Range(-0.1, 0.1)), 0);
    m.setMotorPosition(5.0);
    EXPECT_EQ(m.position, 0.1);
    EXPECT_EQ(jointbus::MotorLimitHits(&m), 1u);

    ASSERT_EQ(jointbus::SetCommandWatchdog(&m, {1, jointbus::OnCommandTimeout::kDisable}), 0);
    m.setEnableStatus(true);
    double pos = 0;
    m.getMotorPosition(pos);  // seen enabled: the watch starts
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    m.getMotorPosition(pos);  // past the timeout without a command
    EXPECT_FALSE(m.enabled);
    EXPECT_EQ(jointbus::CommandTimeouts(&m), 1u);
}

// A motor made where another was destroyed starts with no settings of the other's.
TEST(MotorSettings, AMotorAtAReusedAddressInheritsNothing) {
    alignas(VirtualMotor) unsigned char storage[sizeof(VirtualMotor)];
    auto* first = new (storage) VirtualMotor;
    ASSERT_EQ(jointbus::SetMotorLimits(first, Range(-0.1, 0.1)), 0);
    ASSERT_EQ(jointbus::SetCommandWatchdog(first, {200, jointbus::OnCommandTimeout::kDisable}), 0);
    ASSERT_EQ(jointbus::SetBumplessEnable(first, true), 0);
    first->~VirtualMotor();
    auto* second = new (storage) VirtualMotor;
    EXPECT_EQ(jointbus::GetMotorLimits(second).positionMax, jointbus::MotorLimits::kNone);
    EXPECT_EQ(jointbus::GetCommandWatchdog(second).timeoutMs, 0);
    EXPECT_FALSE(jointbus::GetBumplessEnable(second));
    second->setMotorPosition(5.0);
    EXPECT_EQ(second->position, 5.0);
    second->~VirtualMotor();
}

// A setting a motor would never apply is refused with the reason; clearing one is harmless.
TEST(MotorSettings, AClientsOwnKindIsRefusedEverySetting) {
    ClientMotor m;
    testsupport::LogCapture log;
    EXPECT_EQ(jointbus::SetMotorLimits(&m, Range(-0.1, 0.1)), -1);
    EXPECT_EQ(jointbus::SetCommandWatchdog(&m, {200, jointbus::OnCommandTimeout::kHold}), -1);
    EXPECT_EQ(jointbus::SetFaultWatch(&m, {0, 80, jointbus::OnCommandTimeout::kDisable}), -1);
    EXPECT_EQ(jointbus::SetBumplessEnable(&m, true), -1);
    EXPECT_EQ(log.Count("is of a kind the library does not drive"), 4u) << log.Text();
    EXPECT_EQ(jointbus::SetMotorLimits(&m, jointbus::MotorLimits{}), 0);
    EXPECT_EQ(jointbus::SetCommandWatchdog(&m, {}), 0);
    EXPECT_EQ(jointbus::SetBumplessEnable(&m, false), 0);
    m.setMotorPosition(5.0);
    EXPECT_EQ(m.position, 5.0);
}
