// Heap allocations of the trace recorder's sampling thread, counted as the benchmarks count
// them (this binary replaces the global allocator): none per sample while recording.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "bench_stats.h"
#include "jointbus/common/trace_recorder.h"
#include "paired_can.h"
#include "pty.h"
#include "wait.h"

using namespace std::chrono;

TEST(TraceRecorderAllocations, NoneInTheSamplingThread) {
    testsupport::TempDir dir;
    testsupport::Responder responder;
    std::vector<std::unique_ptr<testsupport::PairedMotor>> motors;
    TraceRecorder recorder;
    for (unsigned id = 1; id <= 7; ++id) {
        motors.push_back(std::make_unique<testsupport::PairedMotor>(id, responder));
        ASSERT_EQ(motors.back()->init(), 0);
        motors.back()->setEnableStatus(true);
        recorder.addMotor(motors.back().get());
    }
    ASSERT_EQ(recorder.start(dir.File("trace.csv"), 200.0), 0);
    // Past the first rounds, then a steady stretch of at least 50 rounds.
    ASSERT_TRUE(testsupport::WaitFor([&] { return recorder.samples() >= 7 * 10; },
                                     milliseconds(10000)));
    const int sampler = recorder.samplerThreadId();
    ASSERT_NE(sampler, 0);
    const unsigned long long before = bench::Allocations({sampler});
    const unsigned long long samples = recorder.samples();
    ASSERT_TRUE(testsupport::WaitFor([&] { return recorder.samples() >= samples + 7 * 50; },
                                     milliseconds(10000)));
    EXPECT_EQ(bench::Allocations({sampler}) - before, 0u);
    recorder.stop();
    EXPECT_EQ(recorder.dropped(), 0u);
}
