// The cost of logging that is filtered out: one DEBUG log call and one packet hex dump with
// DEBUG lines off (the level is info). Prints rows of the benchmark report.

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench_stats.h"
#include "jointbus/Feetech/FeetechDrvImpl.h"
#include "jointbus/common/logger.h"

namespace {

constexpr int kCalls = 2000000;

template <typename F>
bench::Row Measure(const char* name, F call) {
    const bench::ThreadMeter self({int(syscall(SYS_gettid))});
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kCalls; ++i) call(i);
    const auto t1 = std::chrono::steady_clock::now();
    bench::Row row;
    row.bench = name;
    row.n = 1;
    row.nsPerCall = std::chrono::duration<double, std::nano>(t1 - t0).count() / kCalls;
    row.allocsPerTick = self.Allocs() / kCalls;
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    bench::Setup(argc, argv);
    setenv("SPDLOG_LEVEL", "info", 1);  // DEBUG lines off, whatever the caller's setting
    FeetechDrvImpl drv(nullptr, 1, 0);
    unsigned char reply[21] = {0xFF, 0xFF, 0x01, 0x11, 0x00, 0x00, 0x08};
    bench::PrintMedianOfRuns([] {
        return Measure("DEBUG log call, filtered out", [](int i) {
            LOG_DEBUG("servo {} position {} speed {}\r\n", i, i * 2, 0.5 * i);
        });
    });
    bench::PrintMedianOfRuns([&] {
        return Measure("packet hex dump, DEBUG off",
                       [&](int) { drv.printHex(reply, sizeof reply, true, "<-"); });
    });
    return 0;
}
