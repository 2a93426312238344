#include "jointbus/common/virtual_motor.h"

#include <gtest/gtest.h>

#include <cstring>

#include "jointbus/common/consumer_interface.h"
#include "jointbus/common/version.h"

TEST(VirtualMotor, FreshMotorReadsRest) {
    VirtualMotor m;
    CtrlMotorInterface& motor = m;
    double pos = -1, vel = -1, torque = -1;
    int temp = 0;
    bool enabled = true;
    EXPECT_EQ(motor.getMotorPosition(pos), 0);
    EXPECT_EQ(motor.getVelocity(vel), 0);
    EXPECT_EQ(motor.getTorque(torque), 0);
    EXPECT_EQ(motor.getMotorTemperature(temp), 0);
    EXPECT_EQ(motor.getEnableStatus(enabled), 0);
    EXPECT_EQ(pos, 0.0);
    EXPECT_EQ(vel, 0.0);
    EXPECT_EQ(torque, 0.0);
    EXPECT_EQ(temp, 25);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(motor.motor_id, 0u);
    EXPECT_FALSE(motor.inverse);
}

TEST(VirtualMotor, EachReadAdvancesOneStepAtTheCommandedVelocity) {
    VirtualMotor m(7, true);
    CtrlMotorInterface& motor = m;
    EXPECT_EQ(motor.motor_id, 7u);
    motor.setVelocity(2.0);
    double pos = 0, vel = -1;
    for (int i = 0; i < 100; ++i) motor.getMotorPosition(pos);
    EXPECT_NEAR(pos, 1.0, 1e-9);  // inverse never reverses the virtual motor
    motor.getVelocity(vel);
    EXPECT_EQ(vel, 0.0);
}

TEST(VirtualMotor, PositionJumpsKeepTheVelocity) {
    VirtualMotor m;
    CtrlMotorInterface& motor = m;
    motor.setVelocity(1.0);
    motor.setMotorPosition(1.5, 9.0);
    double pos = 0;
    motor.getMotorPosition(pos);
    EXPECT_NEAR(pos, 1.505, 1e-12);
    motor.setMotorPosition(-3.0, 1.0, 2.0);
    EXPECT_EQ(m.position, -3.0);
    EXPECT_EQ(m.velocity, 1.0);
    motor.setHome(12345);
    EXPECT_EQ(m.position, 0.0);
    motor.setEnableStatus(true);
    bool enabled = false;
    motor.getEnableStatus(enabled);
    EXPECT_TRUE(enabled);
}

// Clients compiled against the library call virtual operations by slot, so reordering them
// breaks every client binary. A pointer to a virtual member holds 1 + its byte offset in the
// table; the destructor takes the first two slots.
template <typename F>
static long Slot(F f) {
    long raw = 0;
    std::memcpy(&raw, &f, sizeof raw);
    return (raw - 1) / long(sizeof(void*));
}

TEST(MotorInterface, SlotOrderIsFixed) {
    using C = CtrlMotorInterface;
    EXPECT_EQ(Slot(&C::init), 2);
    EXPECT_EQ(Slot(static_cast<int (C::*)(double)>(&C::setMotorPosition)), 3);
    EXPECT_EQ(Slot(static_cast<int (C::*)(double, double)>(&C::setMotorPosition)), 4);
    EXPECT_EQ(Slot(static_cast<int (C::*)(double, double, double)>(&C::setMotorPosition)), 5);
    EXPECT_EQ(Slot(&C::getMotorPosition), 6);
    EXPECT_EQ(Slot(&C::setEnableStatus), 7);
    EXPECT_EQ(Slot(&C::getEnableStatus), 8);
    EXPECT_EQ(Slot(&C::setHome), 9);
    EXPECT_EQ(Slot(&C::getTorque), 10);
    EXPECT_EQ(Slot(&C::getVelocity), 11);
    EXPECT_EQ(Slot(&C::setVelocity), 12);
    EXPECT_EQ(Slot(&C::getMotorTemperature), 13);
    EXPECT_EQ(
        Slot(static_cast<void (ConsumerInterface::*)(CanFrame&)>(&ConsumerInterface::Consume)), 2);
    EXPECT_EQ(Slot(static_cast<void (ConsumerInterface::*)(unsigned char*, unsigned int)>(
                  &ConsumerInterface::Consume)),
              3);
}

TEST(ConsumerInterface, OverridingOneKindLeavesTheOtherEmpty) {
    struct FrameOnly : ConsumerInterface {
        using ConsumerInterface::Consume;
        void Consume(CanFrame&) override { ++frames; }
        int frames = 0;
    } c;
    ConsumerInterface& base = c;
    CanFrame f;
    unsigned char bytes[2] = {1, 2};
    base.Consume(f);
    base.Consume(bytes, 2);
    EXPECT_EQ(c.frames, 1);
}

TEST(Version, LineIsFormedOnceAndNamesTheLibrary) {
    const char* a = get_lib_version();
    const char* b = get_lib_version();
    EXPECT_EQ(a, b);
    const std::string line = a;
    EXPECT_EQ(line.rfind("jointbus version: 1.0.0.", 0), 0u) << line;
    // 7 lowercase hex digits, then ", compile time: Mmm dd yyyy hh:mm:ss"
    const std::string rev = line.substr(24, 7);
    EXPECT_EQ(rev.find_first_not_of("0123456789abcdef"), std::string::npos) << line;
    EXPECT_EQ(line.substr(31, 16), ", compile time: ");
    EXPECT_EQ(line.size(), 31u + 16u + 20u) << line;
    EXPECT_LT(line.size(), 128u);
}
