// Motors at a 1 ms tick on the host's own kernel. First, a 7-motor arm: 7 Damiao motors over the socket-pair
// transport double on one interface with tick_us 1000 (and the default 100 µs after each
// frame), first under the normal scheduler, then with the bus threads under SCHED_FIFO.
// Reports the tick's achieved period (median, mean, p99, max, from the arrivals of one
// motor's frames), frames per second per motor, the time from setMotorPosition to the
// frame's arrival, and the library's CPU. Prints rows of the benchmark report; a SCHED_FIFO
// run that this machine does not permit is named so in its row. Then 2 interfaces × 7 motors
// at 1 kHz, once by the interfaces' own ticks without frame gaps and once through a control
// cycle that the benchmark's loop drives; the driven row's missed % counts incomplete cycles.

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "jointbus/common/can_settings.h"
#include "jointbus/common/control_cycle.h"
#include "jointbus/common/realtime.h"
#include "paired_can.h"

using namespace std::chrono;

namespace {

constexpr int kMotors = 7;
constexpr int kTickUs = 1000;

long long Now() {
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Set {
    long long ns;
    float target;
};

// The j-th target for motor 1: a triangle between 1 and 20 mrad in 1 mrad steps, each within
// one ramp step of the last at a 1 ms tick, so the latency is the tick's and not the ramp's.
float Target(int j) {
    const int v = j % 38;
    return 0.001f * float(v < 19 ? v + 1 : 39 - v);
}

// The tick's figures from motor 1's frames as the responder stamped them between start and
// end: achieved period, set-to-wire latency of each target in `sets`, frames per second, and
// the library's CPU per tick.
bench::Row Figures(testsupport::Responder& responder, const std::vector<Set>& sets,
                   long long start, long long end, double cpu) {
    std::vector<double> period, latency;
    std::vector<testsupport::Responder::Arrival> first;  // motor 1's frames
    for (const auto& a : responder.Arrivals())
        if (a.masterId == 0x11 && a.ns >= start && a.ns <= end) first.push_back(a);
    for (size_t i = 1; i < first.size(); ++i)
        period.push_back(double(first[i].ns - first[i - 1].ns) / 1e3);
    for (const auto& s : sets) {
        for (const auto& a : first) {
            if (a.ns > s.ns && std::fabs(a.pos - s.target) < 2e-4f) {
                latency.push_back(double(a.ns - s.ns) / 1e3);
                break;
            }
        }
    }
    const double secs = double(end - start) / 1e9;
    bench::Row row;
    row.periodMedian = bench::Percentile(period, 50);
    row.periodMean = bench::Mean(period);
    row.periodP99 = bench::Percentile(period, 99);
    if (!period.empty()) row.periodMax = *std::max_element(period.begin(), period.end());
    row.latencyMedian = bench::Percentile(latency, 50);
    row.latencyP99 = bench::Percentile(latency, 99);
    row.framesPerSec = double(first.size()) / secs;
    if (!period.empty()) row.cpuPerTick = cpu / double(period.size());
    row.cpuPercent = 100.0 * cpu / (secs * 1e6);
    return row;
}

bench::Row Run(double seconds, bool fifo) {
    jointbus::CanInterfaceSettings settings;
    settings.tickUs = kTickUs;
    const std::string bus = bench::FreshBus("fast", settings);
    jointbus::RealtimeSettings realtime;
    if (fifo) realtime.priority = 80;
    jointbus::SetRealtime(realtime);

    testsupport::Responder responder;
    const auto before = bench::Threads();
    std::vector<std::unique_ptr<testsupport::PairedMotor>> motors;
    for (unsigned i = 1; i <= kMotors; ++i) {
        motors.push_back(std::make_unique<testsupport::PairedMotor>(i, responder, bus));
        motors.back()->init();
        motors.back()->setEnableStatus(true);
        motors.back()->setMotorPosition(0.0);
    }
    std::this_thread::sleep_for(milliseconds(500));
    std::set<int> library;
    const auto others = responder.ThreadIds();
    for (int id : bench::NewThreads(before, bench::Threads()))
        if (!others.count(id)) library.insert(id);
    bool granted = true;
    for (int id : library) granted = granted && sched_getscheduler(id) == SCHED_FIFO;

    std::vector<Set> sets;
    sets.reserve(size_t(seconds * 100) + 16);
    const bench::ThreadMeter meter(library);
    responder.stamping = true;
    const long long start = Now();
    for (int k = 0; Now() - start < (long long)(seconds * 1e9); ++k) {
        // Each target differs from the last by less than a ramp step: its first frame is its own.
        const float target = Target(k);
        sets.push_back({Now(), target});
        motors[0]->setMotorPosition(target);
        std::this_thread::sleep_for(milliseconds(10));
    }
    const long long end = Now();
    responder.stamping = false;
    const double cpu = meter.Cpu();
    motors.clear();
    jointbus::SetRealtime(jointbus::RealtimeSettings());

    bench::Row row = Figures(responder, sets, start, end, cpu);
    row.bench = std::string("7-motor arm on the host, tick_us 1000, ") +
                (!fifo     ? "normal scheduler"
                 : granted ? "SCHED_FIFO 80"
                           : "SCHED_FIFO not permitted here");
    row.n = kMotors;
    return row;
}

// 2 interfaces × 7 motors at 1 kHz: either each interface's engine at tick_us 1000 without a
// frame gap, or a control cycle that this loop drives every millisecond (its thread counts as
// the library's then). A new target for motor 1 every 10 ms.
bench::Row RunTwoBuses(double seconds, bool driven) {
    jointbus::CanInterfaceSettings settings;
    settings.tickUs = kTickUs;
    settings.frameGapUs = 0;
    const std::string busA = bench::FreshBus("twoa", settings);
    const std::string busB = bench::FreshBus("twob", settings);
    testsupport::Responder responder;
    const auto before = bench::Threads();
    std::vector<std::unique_ptr<testsupport::PairedMotor>> motors;
    std::vector<CtrlMotorInterface*> raw;
    for (unsigned i = 1; i <= 2 * kMotors; ++i) {
        motors.push_back(
            std::make_unique<testsupport::PairedMotor>(i, responder, i <= kMotors ? busA : busB));
        motors.back()->init();
        motors.back()->setEnableStatus(true);
        motors.back()->setMotorPosition(0.0);
        raw.push_back(motors.back().get());
    }
    std::this_thread::sleep_for(milliseconds(500));
    std::set<int> library;
    const auto others = responder.ThreadIds();
    for (int id : bench::NewThreads(before, bench::Threads()))
        if (!others.count(id)) library.insert(id);
    jointbus::ControlCycleOptions options;
    options.periodUs = kTickUs;
    options.deadlineUs = kTickUs / 2;
    jointbus::ControlCycle cycle(raw, options);
    if (driven) {
        if (cycle.start() != 0) return bench::Row();
        library.insert(int(syscall(SYS_gettid)));
    }

    std::vector<Set> sets;
    sets.reserve(size_t(seconds * 100) + 16);
    long cycles = 0, incomplete = 0;
    const bench::ThreadMeter meter(library);
    responder.stamping = true;
    const long long start = Now();
    auto next = steady_clock::now();
    for (int k = 0; Now() - start < (long long)(seconds * 1e9); ++k) {
        if (k % 10 == 0) {
            const float target = Target(k / 10);
            sets.push_back({Now(), target});
            motors[0]->setMotorPosition(target);
        }
        if (driven) {
            ++cycles;
            if (cycle.cycle() > 0) ++incomplete;
        }
        next += microseconds(kTickUs);
        if (next < steady_clock::now()) next = steady_clock::now();
        std::this_thread::sleep_until(next);
    }
    const long long end = Now();
    responder.stamping = false;
    const double cpu = meter.Cpu();
    cycle.stop();
    motors.clear();
    bench::Row row = Figures(responder, sets, start, end, cpu);
    row.bench = driven ? "2 × 7 motors on the host at 1 kHz, driven cycle (deadline 500 us)"
                       : "2 × 7 motors on the host, tick_us 1000, frame_gap_us 0";
    row.n = 2 * kMotors;
    if (driven && cycles > 0) row.missedPercent = 100.0 * double(incomplete) / double(cycles);
    row.threads = double(library.size());
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = bench::Setup(argc, argv);
    bench::PrintMedianOfRuns([&] { return Run(seconds, false); });
    bench::PrintMedianOfRuns([&] { return Run(seconds, true); });
    bench::PrintMedianOfRuns([&] { return RunTwoBuses(seconds, false); });
    bench::PrintMedianOfRuns([&] { return RunTwoBuses(seconds, true); });
    return 0;
}
