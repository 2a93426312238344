// A CAN interface's settings: their bounds, the table they live in, and the configuration
// file's "can_interfaces" map.

#include "jointbus/common/can_settings.h"

#include <gtest/gtest.h>

#include "jointbus/common/motor_config.h"
#include "log_capture.h"

using jointbus::CanInterfaceSettings;
using testsupport::LogCapture;

namespace {
CanInterfaceSettings Make(int tickUs, int frameGapUs, bool canFd = false) {
    CanInterfaceSettings s;
    s.tickUs = tickUs;
    s.frameGapUs = frameGapUs;
    s.canFd = canFd;
    return s;
}
}  // namespace

TEST(CanInterfaceSettings, BoundsAreInclusiveAndEveryRefusalSaysWhy) {
    for (const auto& ok : {Make(0, 100), Make(500, 0), Make(5000, 1000), Make(1000, 50, true)})
        EXPECT_EQ(jointbus::CheckCanInterfaceSettings(ok), "") << ok.tickUs << " " << ok.frameGapUs;
    EXPECT_EQ(jointbus::CheckCanInterfaceSettings(Make(499, 100)),
              "tick_us must be from 500 to 5000 (or absent for the 5 ms timer), not 499");
    EXPECT_EQ(jointbus::CheckCanInterfaceSettings(Make(5001, 100)),
              "tick_us must be from 500 to 5000 (or absent for the 5 ms timer), not 5001");
    EXPECT_NE(jointbus::CheckCanInterfaceSettings(Make(-1000, 100)), "");
    EXPECT_EQ(jointbus::CheckCanInterfaceSettings(Make(0, -1)),
              "frame_gap_us must be from 0 to 1000, not -1");
    EXPECT_EQ(jointbus::CheckCanInterfaceSettings(Make(0, 1001)),
              "frame_gap_us must be from 0 to 1000, not 1001");
}

TEST(CanInterfaceSettings, SetKeepsEachInterfaceApartAndARefusalChangesNothing) {
    const CanInterfaceSettings defaults = jointbus::GetCanInterfaceSettings("jbunit_never_set");
    EXPECT_EQ(defaults.tickUs, 0);
    EXPECT_EQ(defaults.frameGapUs, 100);
    EXPECT_FALSE(defaults.canFd);

    ASSERT_EQ(jointbus::SetCanInterfaceSettings("jbunit_a", Make(1000, 20, true)), 0);
    LogCapture log;
    EXPECT_EQ(jointbus::SetCanInterfaceSettings("jbunit_a", Make(100, 20)), -1);
    EXPECT_EQ(log.Count("[ERROR] CAN interface jbunit_a: tick_us must be from 500 to 5000"), 1u);
    EXPECT_EQ(jointbus::SetCanInterfaceSettings("", Make(1000, 20)), -1);
    const CanInterfaceSettings a = jointbus::GetCanInterfaceSettings("jbunit_a");
    EXPECT_EQ(a.tickUs, 1000);
    EXPECT_EQ(a.frameGapUs, 20);
    EXPECT_TRUE(a.canFd);
    EXPECT_EQ(jointbus::GetCanInterfaceSettings("jbunit_b").tickUs, 0) << "another interface";
}

// The map is read and set before any motor is built; a bad value anywhere in it refuses the
// whole file, and nothing of it is set.
TEST(CanInterfaceSettings, TheConfigurationFileSetsThemOrRefusesTheFile) {
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    std::string error;
    ASSERT_TRUE(BuildConfiguredMotors(
        YAML::Load("can_interfaces:\n"
                   "  jbunit_c: {tick_us: 2000, frame_gap_us: 0, can_fd: true}\n"
                   "  jbunit_d: {can_fd: false}\n"
                   "motor_init_para:\n"
                   "  - {vendor: damiao, id: 1, dev_name: jbunit_c}\n"),
        "m.yaml", motors, error))
        << error;
    EXPECT_EQ(motors.size(), 1u);
    const CanInterfaceSettings c = jointbus::GetCanInterfaceSettings("jbunit_c");
    EXPECT_EQ(c.tickUs, 2000);
    EXPECT_EQ(c.frameGapUs, 0);
    EXPECT_TRUE(c.canFd);
    EXPECT_EQ(jointbus::GetCanInterfaceSettings("jbunit_d").frameGapUs, 100);

    EXPECT_FALSE(BuildConfiguredMotors(
        YAML::Load("can_interfaces:\n"
                   "  jbunit_e: {tick_us: 1000}\n"
                   "  jbunit_f: {frame_gap_us: 2000}\n"
                   "motor_init_para:\n"
                   "  - {vendor: damiao, id: 1, dev_name: jbunit_e}\n"),
        "m.yaml", motors, error));
    EXPECT_EQ(error,
              "config file m.yaml: can_interfaces: jbunit_f: frame_gap_us must be from 0 to "
              "1000, not 2000");
    EXPECT_TRUE(motors.empty());
    EXPECT_EQ(jointbus::GetCanInterfaceSettings("jbunit_e").tickUs, 0);

    // Absent or empty: nothing to set, the motors are built as ever.
    EXPECT_TRUE(BuildConfiguredMotors(YAML::Load("can_interfaces:\nmotor_init_para:\n"
                                                 "  - {vendor: damiao, id: 1}\n"),
                                      "m.yaml", motors, error))
        << error;
}
