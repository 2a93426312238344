// An arm at rest on the host: 6 Damiao motors (over the socket-pair transport double, as this
// kernel may have no CAN) and 1 Feetech servo (against the emulator on a pseudo-terminal at
// 1,000,000 baud), all enabled and given no commands. Reports the share of one core that the
// library's threads take, and their heap allocations per 5 ms tick; then the same arm while a
// trace recorder samples all 7 motors at 200 Hz into a file (its threads counted with the
// library's), so the difference is what recording costs.

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "feetech_emulator_process.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/common/trace_recorder.h"
#include "paired_can.h"
#include "pty.h"

using namespace std::chrono;

namespace {

bench::Row IdleArm(double seconds, bool record) {
    testsupport::TempDir dir;
    const std::string link = dir.File("ttyIDLE");
    testsupport::FeetechEmulatorProcess gripper(link, "1", 1000000);
    testsupport::Responder responder;
    const auto before = bench::Threads();
    std::vector<std::unique_ptr<testsupport::PairedMotor>> motors;
    for (unsigned i = 1; i <= 6; ++i) {
        motors.push_back(std::make_unique<testsupport::PairedMotor>(i, responder));
        motors.back()->init();
        motors.back()->setEnableStatus(true);
    }
    std::string device = link;
    feetechMotor servo(1, 1000000, device, false);
    servo.init();
    servo.setEnableStatus(true);
    TraceRecorder recorder;
    if (record) {
        for (auto& m : motors) recorder.addMotor(m.get());
        recorder.addMotor(&servo);
        recorder.start(dir.File("idle.csv"));
    }
    std::this_thread::sleep_for(milliseconds(1000));
    // The responder's threads play the motors: they are not the library's.
    std::set<int> library;
    const auto motorsSide = responder.ThreadIds();
    for (int id : bench::NewThreads(before, bench::Threads()))
        if (!motorsSide.count(id)) library.insert(id);
    const bench::ThreadMeter meter(library);
    const auto start = steady_clock::now();
    std::this_thread::sleep_for(duration<double>(seconds));
    const double secs = duration<double>(steady_clock::now() - start).count();
    bench::Row row;
    row.bench = record ? "idle arm on the host, recording all 7 at 200 Hz"
                       : "idle arm on the host: 6 Damiao + 1 servo enabled";
    row.n = 7;
    row.cpuPercent = 100.0 * meter.Cpu() / (secs * 1e6);
    row.allocsPerTick = meter.Allocs() / (secs / 0.005);
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = bench::Setup(argc, argv);
    bench::PrintMedianOfRuns([&] { return IdleArm(seconds, false); });
    bench::PrintMedianOfRuns([&] { return IdleArm(seconds, true); });
    return 0;
}
