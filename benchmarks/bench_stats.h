#pragma once

// Helpers for the benchmark programs: percentiles, the threads the library started and their
// CPU time and heap allocations, and the one report row every program prints.

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "jointbus/common/can_settings.h"

namespace bench {

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t at = std::min(v.size() - 1, size_t(p / 100.0 * double(v.size() - 1) + 0.5));
    return v[at];
}

inline double Mean(const std::vector<double>& v) {
    if (v.empty()) return NAN;
    double sum = 0;
    for (double x : v) sum += x;
    return sum / double(v.size());
}

// The process's threads by kernel id.
inline std::set<int> Threads() {
    std::set<int> ids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
        closedir(d);
    }
    return ids;
}

// Threads in `after` that were not in `before`: those the library started in between.
inline std::set<int> NewThreads(const std::set<int>& before, const std::set<int>& after) {
    std::set<int> fresh;
    for (int id : after)
        if (!before.count(id)) fresh.insert(id);
    return fresh;
}

// Voluntary context switches of the given threads so far (a thread that has ended counts 0).
inline long long VoluntarySwitches(const std::set<int>& threads) {
    long long total = 0;
    for (int id : threads) {
        std::ifstream status("/proc/self/task/" + std::to_string(id) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::atoll(line.c_str() + 24);
    }
    return total;
}

// CPU time of the given threads in microseconds (from the scheduler's nanosecond account).
inline double CpuMicros(const std::set<int>& threads) {
    double sum = 0;
    for (int id : threads) {
        std::ifstream in("/proc/self/task/" + std::to_string(id) + "/schedstat");
        double ns = 0;
        if (in >> ns) sum += ns / 1e3;
    }
    return sum;
}

// Heap allocations made by the given threads so far (counted by the benchmark binary's
// replacement of the global allocator, in alloc_counter.cpp).
unsigned long long Allocations(const std::set<int>& threads);

// The CPU time (µs) and heap allocations of the given threads since the meter was made.
class ThreadMeter {
public:
    explicit ThreadMeter(std::set<int> measured)
        : threads(std::move(measured)), cpu0(CpuMicros(threads)), allocs0(Allocations(threads)) {}
    double Cpu() const { return CpuMicros(threads) - cpu0; }
    double Allocs() const { return double(Allocations(threads) - allocs0); }

private:
    std::set<int> threads;
    double cpu0;
    unsigned long long allocs0;
};

// A CAN interface name not used before in this process ("prefix0", "prefix1", ...) with
// `settings`: each run gets a sender of its own, which reads its tick when it starts.
inline std::string FreshBus(const char* prefix, const jointbus::CanInterfaceSettings& settings) {
    static int serial = 0;
    const std::string bus = prefix + std::to_string(serial++);
    jointbus::SetCanInterfaceSettings(bus, settings);
    return bus;
}

// One row of the report; NAN marks a figure a row does not have.
struct Row {
    std::string bench;
    int n = 0;
    double tickMedian = NAN, tickP99 = NAN, periodMean = NAN, periodP99 = NAN;
    double latencyMedian = NAN, latencyP99 = NAN, framesPerSec = NAN;
    double wire = NAN, ratio = NAN, cpuPerTick = NAN, cpuPercent = NAN, allocsPerTick = NAN;
    double nsPerCall = NAN;
    double missedPercent = NAN;   // a client loop's cycles that missed their slot
    double feedbackPerSec = NAN;  // feedback frames delivered to a client, per motor
    double cpuRatio = NAN;        // the pure-Python loop's CPU per cycle over this row's
    double periodMedian = NAN, periodMax = NAN;  // of a fixed-rate tick
    double switchesPerTick = NAN;  // voluntary switches of the measured threads, per tick
    double threads = NAN;          // the library's threads
};

// The median of each figure over several runs of one row.
inline Row MedianRow(const std::vector<Row>& runs) {
    Row out = runs.front();
    auto median = [&](double Row::*field) {
        std::vector<double> v;
        for (const auto& r : runs)
            if (!std::isnan(r.*field)) v.push_back(r.*field);
        out.*field = Percentile(v, 50);
    };
    for (double Row::*f :
         {&Row::tickMedian, &Row::tickP99, &Row::periodMean, &Row::periodP99, &Row::latencyMedian,
          &Row::latencyP99, &Row::framesPerSec, &Row::wire, &Row::ratio, &Row::cpuPerTick,
          &Row::cpuPercent, &Row::allocsPerTick, &Row::nsPerCall, &Row::missedPercent,
          &Row::feedbackPerSec, &Row::cpuRatio, &Row::periodMedian, &Row::periodMax,
          &Row::switchesPerTick, &Row::threads})
        median(f);
    return out;
}

// Prints the row as a table line and, when JOINTBUS_BENCH_JSON names a file, appends it there
// as one JSON object per line.
inline void Print(const Row& r) {
    auto cell = [](double v, const char* format) {
        if (std::isnan(v)) return std::string("-");
        char text[32];
        std::snprintf(text, sizeof text, format, v);
        return std::string(text);
    };
    std::printf(
        "| %s | %d | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s "
        "| %s | %s | %s | %s |\n",
        r.bench.c_str(), r.n, cell(r.tickMedian, "%.0f").c_str(), cell(r.tickP99, "%.0f").c_str(),
        cell(r.periodMean, "%.0f").c_str(), cell(r.periodP99, "%.0f").c_str(),
        cell(r.latencyMedian, "%.0f").c_str(), cell(r.latencyP99, "%.0f").c_str(),
        cell(r.framesPerSec, "%.0f").c_str(), cell(r.wire, "%.0f").c_str(),
        cell(r.ratio, "%.2f").c_str(), cell(r.cpuPerTick, "%.0f").c_str(),
        cell(r.cpuPercent, "%.2f").c_str(), cell(r.allocsPerTick, "%.2f").c_str(),
        cell(r.nsPerCall, "%.1f").c_str(), cell(r.missedPercent, "%.2f").c_str(),
        cell(r.feedbackPerSec, "%.0f").c_str(), cell(r.cpuRatio, "%.1f").c_str(),
        cell(r.periodMedian, "%.0f").c_str(), cell(r.periodMax, "%.0f").c_str(),
        cell(r.switchesPerTick, "%.1f").c_str(), cell(r.threads, "%.0f").c_str());
    std::fflush(stdout);
    const char* path = std::getenv("JOINTBUS_BENCH_JSON");
    if (path == nullptr || *path == 0) return;
    auto json = [](double v) { return std::isnan(v) ? std::string("null") : std::to_string(v); };
    std::ofstream out(path, std::ios::app);
    out << "{\"bench\": \"" << r.bench << "\", \"n\": " << r.n
        << ", \"tick_median_us\": " << json(r.tickMedian)
        << ", \"tick_p99_us\": " << json(r.tickP99)
        << ", \"period_mean_us\": " << json(r.periodMean)
        << ", \"period_p99_us\": " << json(r.periodP99)
        << ", \"set_to_wire_median_us\": " << json(r.latencyMedian)
        << ", \"set_to_wire_p99_us\": " << json(r.latencyP99)
        << ", \"frames_per_s\": " << json(r.framesPerSec) << ", \"wire_us\": " << json(r.wire)
        << ", \"tick_over_wire\": " << json(r.ratio)
        << ", \"library_cpu_us_per_tick\": " << json(r.cpuPerTick)
        << ", \"library_cpu_percent\": " << json(r.cpuPercent)
        << ", \"allocations_per_tick\": " << json(r.allocsPerTick)
        << ", \"ns_per_call\": " << json(r.nsPerCall)
        << ", \"missed_percent\": " << json(r.missedPercent)
        << ", \"feedback_per_s\": " << json(r.feedbackPerSec)
        << ", \"python_cpu_over_this\": " << json(r.cpuRatio)
        << ", \"period_median_us\": " << json(r.periodMedian)
        << ", \"period_max_us\": " << json(r.periodMax)
        << ", \"voluntary_switches_per_tick\": " << json(r.switchesPerTick)
        << ", \"library_threads\": " << json(r.threads) << "}\n";
}

// Runs of each row: JOINTBUS_BENCH_RUNS, default 3.
inline int Runs() {
    const char* text = std::getenv("JOINTBUS_BENCH_RUNS");
    const int runs = text ? std::atoi(text) : 3;
    return runs > 0 ? runs : 1;
}

// Start of every benchmark program: the library logs nowhere (unless the caller says
// otherwise), and the first argument gives the seconds of each run (default 3).
inline double Setup(int argc, char** argv) {
    setenv("SPDLOG_STDOUT", "false", 0);
    setenv("SPDLOG_SYSTEMD", "false", 0);
    setenv("SPDLOG_LEVEL", "info", 0);
    return argc > 1 ? std::atof(argv[1]) : 3.0;
}

// Runs one row Runs() times, prints the median of each figure and returns it.
template <typename F>
Row PrintMedianOfRuns(F run) {
    std::vector<Row> runs;
    for (int r = 0; r < Runs(); ++r) runs.push_back(run());
    const Row median = MedianRow(runs);
    Print(median);
    return median;
}

}  // namespace bench
