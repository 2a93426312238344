// Feetech scheduler against the emulator paced at 1,000,000 baud with no return delay, for
// 1, 6 and 12 servos: the tick duration seen on the line (from the feedback SYNC READ's
// arrival to the end of the tick's last packet on the line) beside the wire time of the tick's
// bytes (24 + 39 N bytes at 10 bits each), their ratio, and the CPU time and heap allocations of
// the library's threads per tick. Prints rows of the benchmark report.

#include <unistd.h>

#include <chrono>
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

bench::Row Run(int n, double seconds) {
    testsupport::TempDir dir;
    const std::string link = dir.File("ttyBENCH");
    std::string ids;
    for (int i = 1; i <= n; ++i) ids += (i > 1 ? "," : "") + std::to_string(i);
    std::vector<std::string> args = {testsupport::SelfDir() + "/feetech_emulator",
                                     link,
                                     ids,
                                     "--baud",
                                     "1000000",
                                     "--delay-us",
                                     "0",
                                     "--trace"};
    testsupport::ChildProcess emu(args);
    emu.WaitForOutput("ready", std::chrono::seconds(10));
    const auto before = bench::Threads();
    std::vector<std::unique_ptr<feetechMotor>> servos;
    for (int i = 1; i <= n; ++i) {
        servos.push_back(
            std::make_unique<feetechMotor>(i, 1000000, const_cast<std::string&>(link), false));
        servos.back()->init();
        servos.back()->setEnableStatus(true);
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

    // Each tick starts with the feedback SYNC READ (82 38) and ends with its last packet.
    std::vector<double> duration;
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
    bench::Row row;
    row.bench = "Feetech scheduler, pty at 1 Mbaud";
    row.n = n;
    row.wire = double(24 + 39 * n) * 10.0;  // µs at 1,000,000 baud
    row.tickMedian = bench::Percentile(duration, 50);
    row.tickP99 = bench::Percentile(duration, 99);
    row.ratio = row.tickMedian / row.wire;
    const double ticks = double(duration.size());
    if (ticks > 0) {
        row.cpuPerTick = cpu / ticks;
        row.allocsPerTick = allocs / ticks;
        row.cpuPercent = 100.0 * cpu / (double(end - start) / 1e3);
    }
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = bench::Setup(argc, argv);
    for (int n : {1, 6, 12}) bench::PrintMedianOfRuns([&] { return Run(n, seconds); });
    return 0;
}
