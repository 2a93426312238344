// Damiao sender against the emulator on a vcan interface (run it on the CAN bench): for 1,
// 6, 12 and 16 motors, the tick duration and period seen on the wire, the time from
// setMotorPosition to the frame's arrival at the emulator, frames per second, and the CPU time
// and heap allocations of the library's threads per tick. Prints rows of the benchmark report.

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

bench::Row Run(int n, double seconds) {
    testsupport::Vcan bus;
    std::vector<std::string> motorArgs;
    for (int i = 1; i <= n; ++i)
        motorArgs.push_back(std::to_string(i) + ":" + std::to_string(0x40 + i) + ":4310:0");
    testsupport::DamiaoEmulatorProcess emu(bus.name(), motorArgs, true);
    const auto before = bench::Threads();
    std::vector<std::unique_ptr<damiaoMotor>> motors;
    for (int i = 1; i <= n; ++i) {
        motors.push_back(
            std::make_unique<damiaoMotor>(4310, i, 0, 0x40 + i, bus.name(), false, 15.0f, 1.0f));
        motors.back()->init();
        motors.back()->setEnableStatus(true);
        motors.back()->setMotorPosition(0.0);
    }
    std::this_thread::sleep_for(milliseconds(500));

    struct Set {
        long long t;
        unsigned id;
        unsigned pos;
    };
    std::vector<Set> sets;
    sets.reserve(size_t(seconds * 100) + 16);
    const bench::ThreadMeter library(bench::NewThreads(before, bench::Threads()));
    const long long start = Now();
    int k = 0;
    while (Now() - start < (long long)(seconds * 1e9)) {
        const int m = k % n;
        const float target = (k / n) % 2 ? 0.01f : -0.01f;  // within one ramp step
        sets.push_back({Now(), unsigned(m + 1), Damiao::FloatToUint(target, -12.5f, 12.5f, 16)});
        motors[m]->setMotorPosition(target);
        ++k;
        std::this_thread::sleep_for(milliseconds(20));
    }
    const long long end = Now();
    const double cpu = library.Cpu();
    const double allocs = library.Allocs();
    motors.clear();

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
    // A tick sends one frame per motor: a tick ends where a motor's id comes again.
    std::vector<double> duration, period;
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
    std::vector<double> latency;
    for (const auto& s : sets) {
        for (const auto& f : frames) {
            if (f.t > s.t && f.id == s.id && !f.special && f.pos == s.pos) {
                latency.push_back(double(f.t - s.t) / 1e3);
                break;
            }
        }
    }
    const double secs = double(end - start) / 1e9;
    bench::Row row;
    row.bench = "Damiao sender, vcan";
    row.n = n;
    row.tickMedian = bench::Percentile(duration, 50);
    row.tickP99 = bench::Percentile(duration, 99);
    row.periodMean = bench::Mean(period);
    row.periodP99 = bench::Percentile(period, 99);
    row.latencyMedian = bench::Percentile(latency, 50);
    row.latencyP99 = bench::Percentile(latency, 99);
    row.framesPerSec = 2.0 * double(frames.size()) / secs;
    const double ticks = double(period.size());
    if (ticks > 0) {
        row.cpuPerTick = cpu / ticks;
        row.allocsPerTick = allocs / ticks;
    }
    row.cpuPercent = 100.0 * cpu / (secs * 1e6);
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = bench::Setup(argc, argv);
    for (int n : {1, 6, 12, 16}) bench::PrintMedianOfRuns([&] { return Run(n, seconds); });
    return 0;
}
