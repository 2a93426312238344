// Damiao sender against the emulator on a vcan interface (run it on the CAN bench): for 1,
// 6, 12 and 16 motors, the tick duration and period seen on the wire, the time from
// setMotorPosition to the frame's arrival at the emulator, frames per second, and the CPU time
// and heap allocations of the library's threads per tick. Then 8 motors on each of two
// interfaces (two arms), each served by its own sender: the same figures per bus, to set
// against 16 motors on one. Last, interfaces with settings of their own: 7 motors at a tick of
// 1000 µs, and 8 motors with CAN-FD frames at 500 µs without a pause between frames. Prints
// rows of the benchmark report.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "damiao_emulator_process.h"
#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/common/can_settings.h"
#include "vcan.h"

using namespace std::chrono;

namespace {

long long Now() {
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Frame {
    long long t;
    unsigned id;
    unsigned pos;  // position field of an MIT frame
    bool special;
};

struct Set {
    long long t;
    unsigned id;
    unsigned pos;
};

// The frames an emulator received between start and end.
std::vector<Frame> FramesOf(testsupport::DamiaoEmulatorProcess& emu, long long start,
                            long long end) {
    std::vector<Frame> frames;
    std::istringstream in(emu.process().Out());
    for (std::string line; std::getline(in, line);) {
        long long t;
        unsigned id, len, b[8] = {};
        if (std::sscanf(line.c_str(), "rx %lld %x %u %x %x %x %x %x %x %x %x", &t, &id, &len, &b[0],
                        &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) >= 3 &&
            t >= start && t <= end) {
            bool special = len == 8;
            for (int i = 0; i < 7 && special; ++i) special = b[i] == 0xFF;
            frames.push_back({t, id & 0xFF, (b[0] << 8) | b[1], special});
        }
    }
    return frames;
}

// Adds one bus's tick durations and periods (µs) and its set-to-wire latencies.
void Analyse(const std::vector<Frame>& frames, const std::vector<Set>& sets, int n,
             std::vector<double>& duration, std::vector<double>& period,
             std::vector<double>& latency) {
    // A tick sends one frame per motor: a tick ends where a motor's id comes again.
    std::vector<bool> seen(size_t(n) + 1, false);
    long long tickStart = -1, last = -1;
    for (const auto& f : frames) {
        if (f.id > unsigned(n)) continue;
        if (tickStart < 0 || seen[f.id]) {
            if (tickStart >= 0) {
                duration.push_back(double(last - tickStart) / 1e3);
                period.push_back(double(f.t - tickStart) / 1e3);
            }
            std::fill(seen.begin(), seen.end(), false);
            tickStart = f.t;
        }
        seen[f.id] = true;
        last = f.t;
    }
    for (const auto& s : sets) {
        for (const auto& f : frames) {
            if (f.t > s.t && f.id == s.id && !f.special && f.pos == s.pos) {
                latency.push_back(double(f.t - s.t) / 1e3);
                break;
            }
        }
    }
}

// n motors on each of `buses` interfaces; with more than one bus the figures are per bus.
// With `settings`, every interface has them.
bench::Row Run(int n, double seconds, int buses = 1,
               const jointbus::CanInterfaceSettings* settings = nullptr) {
    std::vector<std::unique_ptr<testsupport::Vcan>> vcans;
    std::vector<std::unique_ptr<testsupport::DamiaoEmulatorProcess>> emus;
    std::vector<std::string> motorArgs;
    for (int i = 1; i <= n; ++i)
        motorArgs.push_back(std::to_string(i) + ":" + std::to_string(0x40 + i) + ":4310:0");
    for (int b = 0; b < buses; ++b) {
        vcans.push_back(std::make_unique<testsupport::Vcan>());
        if (settings != nullptr) jointbus::SetCanInterfaceSettings(vcans.back()->name(), *settings);
        emus.push_back(std::make_unique<testsupport::DamiaoEmulatorProcess>(vcans.back()->name(),
                                                                            motorArgs, true));
    }
    const auto before = bench::Threads();
    std::vector<std::unique_ptr<damiaoMotor>> motors;  // bus by bus, ids 1..n on each
    for (int b = 0; b < buses; ++b) {
        for (int i = 1; i <= n; ++i) {
            motors.push_back(std::make_unique<damiaoMotor>(
                4310, i, 0, 0x40 + i, vcans[size_t(b)]->name(), false, 15.0f, 1.0f));
            motors.back()->init();
            motors.back()->setEnableStatus(true);
            motors.back()->setMotorPosition(0.0);
        }
    }
    std::this_thread::sleep_for(milliseconds(500));

    std::vector<std::vector<Set>> sets(static_cast<size_t>(buses));
    for (auto& busSets : sets) busSets.reserve(size_t(seconds * 100) + 16);
    const bench::ThreadMeter library(bench::NewThreads(before, bench::Threads()));
    const long long start = Now();
    int k = 0;
    const int total = n * buses;
    while (Now() - start < (long long)(seconds * 1e9)) {
        const int m = k % total;
        const float target = (k / total) % 2 ? 0.01f : -0.01f;  // within one ramp step
        sets[size_t(m / n)].push_back(
            {Now(), unsigned(m % n + 1), Damiao::FloatToUint(target, -12.5f, 12.5f, 16)});
        motors[size_t(m)]->setMotorPosition(target);
        ++k;
        std::this_thread::sleep_for(milliseconds(20));
    }
    const long long end = Now();
    const double cpu = library.Cpu();
    const double allocs = library.Allocs();
    motors.clear();

    std::vector<double> duration, period, latency;
    size_t frameCount = 0;
    for (int b = 0; b < buses; ++b) {
        const std::vector<Frame> frames = FramesOf(*emus[size_t(b)], start, end);
        frameCount += frames.size();
        Analyse(frames, sets[size_t(b)], n, duration, period, latency);
    }
    const double secs = double(end - start) / 1e9;
    bench::Row row;
    row.bench = buses == 1 ? "Damiao sender, vcan"
                           : "Damiao senders, " + std::to_string(buses) + " vcan, per bus";
    if (settings != nullptr)
        row.bench = std::string(settings->canFd ? "Damiao sender, CAN-FD vcan" : row.bench) +
                    ", tick_us " + std::to_string(settings->tickUs) + ", frame_gap_us " +
                    std::to_string(settings->frameGapUs);
    row.n = n;
    row.tickMedian = bench::Percentile(duration, 50);
    row.tickP99 = bench::Percentile(duration, 99);
    row.periodMean = bench::Mean(period);
    row.periodP99 = bench::Percentile(period, 99);
    row.latencyMedian = bench::Percentile(latency, 50);
    row.latencyP99 = bench::Percentile(latency, 99);
    row.framesPerSec = 2.0 * double(frameCount) / secs / buses;
    const double ticks = double(period.size());
    if (ticks > 0) {
        row.cpuPerTick = cpu / ticks;
        row.allocsPerTick = allocs / ticks;
    }
    row.cpuPercent = 100.0 * cpu / (secs * 1e6) / buses;
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = bench::Setup(argc, argv);
    for (int n : {1, 6, 12, 16}) bench::PrintMedianOfRuns([&] { return Run(n, seconds); });
    bench::PrintMedianOfRuns([&] { return Run(8, seconds, 2); });
    jointbus::CanInterfaceSettings fast;
    fast.tickUs = 1000;
    bench::PrintMedianOfRuns([&] { return Run(7, seconds, 1, &fast); });
    jointbus::CanInterfaceSettings fd;
    fd.tickUs = 500;
    fd.frameGapUs = 0;
    fd.canFd = true;
    bench::PrintMedianOfRuns([&] { return Run(8, seconds, 1, &fd); });
    return 0;
}
