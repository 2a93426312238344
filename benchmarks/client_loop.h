#pragma once

// The 200 Hz client loop of the client-loop benchmarks, in C++ through the library and, by
// way of benchmarks/client_loops.py, in Python: each cycle reads every motor and commands
// every motor the cycle's target, a saw-tooth of distinct values.

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "jointbus/common/ctrl_motor_interface.h"
#include "pty.h"
#include "subprocess.h"

namespace bench {

struct Set {
    long long t;  // steady clock, ns
    double target;
};

struct Loop {
    long cycles = 0, missed = 0, feedback = -1;  // feedback: frames the client itself received
    double cpuUs = 0;
    std::vector<Set> sets;  // the targets, when each was set
};

inline long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The target of cycle k: 0 to 0.099 rad in 1 mrad steps, never more than 0.1 rad from the last.
inline double Target(long k) {
    return 0.001 * double(k % 100);
}

// Set-to-wire latencies (µs): for each target, the first of the motor's arrivals (time-ordered
// `ns`, steady clock, and `pos`) after it that carries it, within one field step (as the Python
// loop truncates where the library rounds) and within 100 ms.
template <class Arrival>
std::vector<double> SetToWireUs(const std::vector<Set>& sets, const std::vector<Arrival>& arrivals) {
    std::vector<double> latency;
    size_t from = 0;
    for (const auto& s : sets) {
        while (from < arrivals.size() && arrivals[from].ns < s.t) ++from;
        for (size_t k = from; k < arrivals.size() && arrivals[k].ns - s.t < 100000000LL; ++k) {
            if (std::fabs(double(arrivals[k].pos) - s.target) < 4e-4) {
                latency.push_back(double(arrivals[k].ns - s.t) / 1e3);
                break;
            }
        }
    }
    return latency;
}

// Ends a cycle of a 200 Hz loop: counts it, and sleeps until `next` moves on by the period,
// or counts a miss and starts the next slot now when the cycle overran it.
inline void EndCycle(Loop& loop, std::chrono::steady_clock::time_point& next) {
    ++loop.cycles;
    next += std::chrono::microseconds(5000);
    if (next > std::chrono::steady_clock::now()) {
        std::this_thread::sleep_until(next);
    } else {
        ++loop.missed;
        next = std::chrono::steady_clock::now();
    }
}

// The C++ loop over motors that are enabled already, for `seconds`. Its CPU is that of the
// calling thread and of `library` (the library's threads that serve these motors).
// `cycle`, when given, runs after the targets are set (a driven control cycle).
inline Loop RunCppLoop(const std::vector<std::shared_ptr<CtrlMotorInterface>>& motors,
                       std::set<int> library, double seconds,
                       const std::function<void()>& cycle = nullptr) {
    library.insert(int(syscall(SYS_gettid)));
    Loop loop;
    loop.sets.reserve(size_t(seconds * 220) + 16);
    const ThreadMeter meter(library);
    const auto start = std::chrono::steady_clock::now();
    auto deadline = start;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
        for (auto& m : motors) {
            double p, v, tq;
            m->getMotorPosition(p);
            m->getVelocity(v);
            m->getTorque(tq);
        }
        const double target = Target(loop.cycles);
        loop.sets.push_back({NowNs(), target});
        for (auto& m : motors) m->setMotorPosition(target);
        if (cycle) cycle();
        EndCycle(loop, deadline);
    }
    loop.cpuUs = meter.Cpu();
    return loop;
}

// A loop's row with the figures every client loop has: its period and CPU per cycle, its
// share of a core and the cycles that missed their slot.
inline Row LoopRow(const char* name, int n, double seconds, const Loop& loop) {
    Row row;
    row.bench = name;
    row.n = n;
    if (loop.cycles <= 0) return row;
    row.periodMean = seconds * 1e6 / double(loop.cycles);
    row.cpuPerTick = loop.cpuUs / double(loop.cycles);
    row.cpuPercent = loop.cpuUs / (seconds * 1e6) * 100.0;
    row.missedPercent = 100.0 * double(loop.missed) / double(loop.cycles);
    return row;
}

// Runs benchmarks/client_loops.py MODE BUS SECONDS N and reads back its counts and targets.
inline Loop RunPythonLoop(const char* mode, const std::string& bus, int n, double seconds) {
    testsupport::TempDir dir;
    const std::string setsFile = dir.File("sets.txt");
    const std::string cmd = "PYTHONPATH=" + testsupport::SelfDir() +
                            "/../python /usr/bin/python3 " JOINTBUS_SOURCE_DIR
                            "/benchmarks/client_loops.py " +
                            mode + " " + bus + " " + std::to_string(seconds) + " " +
                            std::to_string(n) + " " + setsFile + " 2>/dev/null";
    Loop loop;
    if (FILE* out = popen(cmd.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, out) != nullptr)
            std::sscanf(line, "cycles=%ld missed=%ld cpu_us=%lf feedback=%ld", &loop.cycles,
                        &loop.missed, &loop.cpuUs, &loop.feedback);
        pclose(out);
    }
    std::ifstream in(setsFile);
    for (Set s; in >> s.t >> s.target;) loop.sets.push_back(s);
    return loop;
}

}  // namespace bench
