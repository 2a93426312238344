// Feetech scheduler against the emulator paced at 1,000,000 baud with no return delay, for
// 1, 6 and 12 servos: the tick duration seen on the line (from the feedback SYNC READ's
// arrival to the end of the tick's last packet on the line) beside the wire time of the tick's
// bytes (24 + 39 N bytes at 10 bits each), their ratio, and the CPU time and heap allocations of
// the library's threads per tick. Then 6 servos on each of two ports (a leader and a follower
// arm), each port with its own scheduler: the same figures per port. Also the leader-to-follower
// lag: a scripted hand moves the leader's servos (torque off), a 200 Hz loop reads them and sets
// the follower's, and the row gives the follower's position error (median, p99, in the tick
// columns, mrad) and the delay that lines its path up with the leader's (set-to-wire columns:
// the median and worst joint, µs). Prints rows of the benchmark report.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "feetech_emulator_process.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "pty.h"
#include "subprocess.h"

using namespace std::chrono;

namespace {

long long Now() {
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// An emulator playing servos 1..n on a pseudo-terminal, paced at 1 Mbaud.
std::unique_ptr<testsupport::ChildProcess> Emulator(const std::string& link, int n, bool trace) {
    std::string ids;
    for (int i = 1; i <= n; ++i) ids += (i > 1 ? "," : "") + std::to_string(i);
    std::vector<std::string> args = {testsupport::SelfDir() + "/feetech_emulator",
                                     link,
                                     ids,
                                     "--baud",
                                     "1000000",
                                     "--delay-us",
                                     "0"};
    if (trace) args.push_back("--trace");
    auto emu = std::make_unique<testsupport::ChildProcess>(args);
    emu->WaitForOutput("ready", std::chrono::seconds(10));
    return emu;
}

// Each tick starts with the feedback SYNC READ (82 38) and ends with its last packet: adds the
// tick durations (µs) an emulator saw between start and end.
void TickDurations(testsupport::ChildProcess& emu, long long start, long long end,
                   std::vector<double>& duration) {
    long long tickStart = -1, tickEnd = -1;
    std::istringstream in(emu.Out());
    for (std::string line; std::getline(in, line);) {
        long long t;
        unsigned instr, first;
        size_t len;
        if (std::sscanf(line.c_str(), "rx %lld %x %x %zu", &t, &instr, &first, &len) != 4 ||
            t < start || t > end)
            continue;
        // The emulator takes a request off the line from its arrival, for its bytes at 1 Mbaud.
        const long long packetEnd = t + (long long)(len * 10 * 1000);
        if (instr == 0x82 && first == 0x38) {
            if (tickStart >= 0) duration.push_back(double(tickEnd - tickStart) / 1e3);
            tickStart = t;
        }
        tickEnd = packetEnd;
    }
}

// n servos on each of `ports` ports; with more than one port the figures are per port.
bench::Row Run(int n, double seconds, int ports = 1) {
    testsupport::TempDir dir;
    std::vector<std::string> links;
    std::vector<std::unique_ptr<testsupport::ChildProcess>> emus;
    for (int p = 0; p < ports; ++p) {
        links.push_back(dir.File("ttyBENCH" + std::to_string(p)));
        emus.push_back(Emulator(links.back(), n, true));
    }
    const auto before = bench::Threads();
    std::vector<std::unique_ptr<feetechMotor>> servos;
    for (auto& link : links) {
        for (int i = 1; i <= n; ++i) {
            servos.push_back(std::make_unique<feetechMotor>(i, 1000000, link, false));
            servos.back()->init();
            servos.back()->setEnableStatus(true);
        }
    }
    std::this_thread::sleep_for(milliseconds(500));
    const bench::ThreadMeter library(bench::NewThreads(before, bench::Threads()));
    const long long start = Now();
    int k = 0;
    while (Now() - start < (long long)(seconds * 1e9)) {
        for (auto& s : servos) s->setMotorPosition((k % 2 ? 1.0 : 0.0) * 3.14159 / 180);
        ++k;
        std::this_thread::sleep_for(milliseconds(5));
    }
    const long long end = Now();
    const double cpu = library.Cpu();
    const double allocs = library.Allocs();
    servos.clear();

    std::vector<double> duration;
    for (auto& emu : emus) TickDurations(*emu, start, end, duration);
    bench::Row row;
    row.bench = ports == 1 ? "Feetech scheduler, pty at 1 Mbaud"
                           : "Feetech schedulers, " + std::to_string(ports) +
                                 " ptys at 1 Mbaud, per port";
    row.n = n;
    row.wire = double(24 + 39 * n) * 10.0;  // µs at 1,000,000 baud
    row.tickMedian = bench::Percentile(duration, 50);
    row.tickP99 = bench::Percentile(duration, 99);
    row.ratio = row.tickMedian / row.wire;
    const double ticks = double(duration.size());
    if (ticks > 0) {
        row.cpuPerTick = cpu / ticks;
        row.allocsPerTick = allocs / ticks;
        row.cpuPercent = 100.0 * cpu / (double(end - start) / 1e3) / ports;
    }
    return row;
}

// The shift in cycles (0..maxShift) at which the follower's path is nearest the leader's.
size_t BestShift(const std::vector<double>& leader, const std::vector<double>& follower,
                 size_t maxShift) {
    size_t best = 0;
    double bestCost = INFINITY;
    for (size_t shift = 0; shift <= maxShift && shift < leader.size(); ++shift) {
        double sum = 0;
        for (size_t i = 0; i + shift < leader.size(); ++i)
            sum += std::fabs(leader[i] - follower[i + shift]);
        const double cost = sum / double(leader.size() - shift);
        if (cost < bestCost) bestCost = cost, best = shift;
    }
    return best;
}

// Leader and follower, 6 servos each, the follower set from the leader at 200 Hz.
bench::Row Teleop(double seconds) {
    constexpr int n = 6;
    constexpr double hz = 200.0;
    // A servo holds still for a target more than 10 degrees from where it stands: a follower
    // that is far from the leader closes in by steps of at most this much (rad).
    constexpr double kStep = 0.08;
    testsupport::TempDir dir;
    std::string leaderLink = dir.File("ttyLEADER"), followerLink = dir.File("ttyFOLLOWER");
    auto leaderEmu = Emulator(leaderLink, n, false);
    auto followerEmu = Emulator(followerLink, n, false);
    std::vector<std::unique_ptr<feetechMotor>> leader, follower;
    for (int i = 1; i <= n; ++i) {
        leader.push_back(std::make_unique<feetechMotor>(i, 1000000, leaderLink, false));
        leader.back()->init();
        follower.push_back(std::make_unique<feetechMotor>(i, 1000000, followerLink, false));
        follower.back()->init();
        // The hand: up to 20 degrees at a pace of its own per joint.
        leaderEmu->WriteLine("hand " + std::to_string(i) + " " + std::to_string(100 + 25 * i) +
                             " " + std::to_string(1500 + 400 * i));
    }
    // Each follower holds where it stands once it is online, then gets its torque.
    for (auto& m : follower) {
        for (int tries = 0; tries < 1000 && m->setMotorPosition(0.0) != 0; ++tries)
            std::this_thread::sleep_for(milliseconds(5));
        m->setEnableStatus(true);
    }
    std::vector<std::vector<double>> leaderPath(n), followerPath(n);
    std::vector<double> errors;
    const auto period = duration_cast<steady_clock::duration>(duration<double>(1.0 / hz));
    auto deadline = steady_clock::now();
    const long long warmUp = Now() + 1000000000LL;  // the follower catches up first
    const long long start = warmUp;
    while (Now() - start < (long long)(seconds * 1e9)) {
        const bool measured = Now() >= warmUp;
        for (size_t k = 0; k < size_t(n); ++k) {
            double target = 0, present = 0;
            leader[k]->getMotorPosition(target);
            follower[k]->getMotorPosition(present);
            if (measured) {
                leaderPath[k].push_back(target);
                followerPath[k].push_back(present);
                errors.push_back(std::fabs(target - present) * 1e3);
            }
            follower[k]->setMotorPosition(present + std::clamp(target - present, -kStep, kStep));
        }
        deadline += period;
        std::this_thread::sleep_until(deadline);
    }
    std::vector<double> delays;
    for (size_t k = 0; k < size_t(n); ++k)
        delays.push_back(double(BestShift(leaderPath[k], followerPath[k], size_t(hz * 0.3))) *
                         1e6 / hz);
    leader.clear();
    follower.clear();
    bench::Row row;
    row.bench = "Leader to follower, 2 ptys, 200 Hz: error mrad, delay µs";
    row.n = n;
    row.tickMedian = bench::Percentile(errors, 50);
    row.tickP99 = bench::Percentile(errors, 99);
    row.latencyMedian = bench::Percentile(delays, 50);
    row.latencyP99 = bench::Percentile(delays, 100);
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = bench::Setup(argc, argv);
    for (int n : {1, 6, 12}) bench::PrintMedianOfRuns([&] { return Run(n, seconds); });
    bench::PrintMedianOfRuns([&] { return Run(6, seconds, 2); });
    bench::PrintMedianOfRuns([&] { return Teleop(seconds); });
    return 0;
}
