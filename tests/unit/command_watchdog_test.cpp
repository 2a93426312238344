// The command watch and the fault latch alone, with the time given: when each trips, and what
// starts it again.

#include "common/command_watchdog.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Step {
    enum { kTick, kCommand } what;
    bool enabled;  // for a tick
    int64_t atMs;
    bool trips;
};

TEST(CommandWatch, TripsOncePerSilenceOfAnEnabledMotor) {
    constexpr int64_t kMs = 1000000;
    const std::vector<Step> steps = {
        {Step::kCommand, true, 0, false},    // a command before the enable counts for nothing
        {Step::kTick, false, 500, false},    // disabled: never trips
        {Step::kTick, true, 600, false},     // seen enabled: the watch starts at 600
        {Step::kTick, true, 700, false},     // the timeout itself is not yet a silence
        {Step::kTick, true, 701, true},      // past it: trips
        {Step::kTick, true, 900, false},     // once
        {Step::kCommand, true, 950, false},  // a command re-arms it
        {Step::kTick, true, 1050, false},
        {Step::kTick, true, 1051, true},
        {Step::kTick, false, 1100, false},   // disabled (the policy, or the caller)
        {Step::kTick, true, 5000, false},    // enabled again: counts from here
        {Step::kTick, true, 5101, true},
    };
    jointbus_detail::CommandWatch watch;
    watch.timeoutNs = 100 * kMs;
    for (const Step& s : steps) {
        if (s.what == Step::kCommand) {
            watch.Note(s.atMs * kMs);
            continue;
        }
        EXPECT_EQ(watch.Check(s.enabled, s.atMs * kMs), s.trips) << "at " << s.atMs << " ms";
    }
}

// Readings of torque (limit 4 N·m, stall 300 ms) and temperature (limit 70 °C) over time.
TEST(FaultLatch, LatchesAStallOrAnOverTemperatureOnceUntilCleared) {
    constexpr int64_t kMs = 1000000;
    const struct {
        double torque;
        int temperature;
        int64_t atMs;
        int latches;
    } readings[] = {
        {4.0, 30, 0, 0},      // at the limit: the stall time starts
        {-4.5, 30, 299, 0},   // either sign counts, not yet long enough
        {3.9, 30, 350, 0},    // below it: starts again
        {4.0, 30, 400, 0},
        {4.2, 30, 700, jointbus::kStallLatched},
        {4.2, 80, 800, 0},    // latched already: nothing new
    };
    jointbus_detail::FaultLatch latch;
    latch.stallNs = 300 * kMs;
    latch.torqueLimit = 4.0;
    latch.maxTemperature = 70;
    for (const auto& r : readings)
        EXPECT_EQ(latch.Check(r.torque, r.temperature, r.atMs * kMs), r.latches)
            << "at " << r.atMs << " ms";
    latch.latched = 0;  // cleared
    latch.atLimit = false;
    EXPECT_EQ(latch.Check(0.0, 70, 900 * kMs), jointbus::kTemperatureLatched) << "at the limit";
}

}  // namespace
