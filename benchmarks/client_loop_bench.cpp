// Client loops on the CAN bench (figures, not tests): a 200 Hz control loop that reads and
// commands 6 Damiao motors (an emulator answers every frame) three ways, in one run:
//   - in C++ through the library,
//   - in Python through the jointbus module (benchmarks/client_loops.py module),
//   - in pure Python with python3-can doing the bus work in the interpreter
//     (benchmarks/client_loops.py python-can), the reference the library is measured against.
// Each row: whole-process CPU per cycle and share of a core, loop period, feedback frames the
// client received per motor per second (python-can only: the library's loops read the last
// feedback the library decoded), cycles that missed their 5 ms slot.
//   client_loop_bench [SECONDS]

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "damiao_emulator_process.h"
#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/common/stop_sequence.h"
#include "subprocess.h"
#include "vcan.h"

namespace {

constexpr int kMotors = 6;
constexpr auto kPeriod = std::chrono::microseconds(5000);

struct Loop {
    long cycles = 0, missed = 0, feedback = -1;
    double cpuUs = 0;
};

double ProcessCpuUs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

Loop CppLoop(const std::string& iface, double seconds) {
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    for (unsigned id = 1; id <= kMotors; ++id) {
        motors.push_back(
            std::make_shared<damiaoMotor>(4310, id, 0, 0x10 + id, iface, false, 15.0f, 1.0f));
        motors.back()->init();
        motors.back()->setEnableStatus(true);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Loop loop;
    const double cpu0 = ProcessCpuUs();
    const auto start = std::chrono::steady_clock::now();
    auto deadline = start;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
        const double t =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (auto& m : motors) {
            double p, v, tq;
            m->getMotorPosition(p);
            m->getVelocity(v);
            m->getTorque(tq);
        }
        for (auto& m : motors) m->setMotorPosition(0.1 * std::sin(t));
        ++loop.cycles;
        deadline += kPeriod;
        if (deadline > std::chrono::steady_clock::now()) {
            std::this_thread::sleep_until(deadline);
        } else {
            ++loop.missed;
            deadline = std::chrono::steady_clock::now();
        }
    }
    loop.cpuUs = ProcessCpuUs() - cpu0;
    HoldAndDisable(motors);
    return loop;
}

Loop PythonLoop(const char* mode, const std::string& iface, double seconds) {
    const std::string cmd =
        "PYTHONPATH=" + testsupport::SelfDir() + "/../python /usr/bin/python3 " +
        JOINTBUS_SOURCE_DIR "/benchmarks/client_loops.py " + mode + " " + iface + " " +
        std::to_string(seconds) + " " + std::to_string(kMotors) + " 2>/dev/null";
    Loop loop;
    if (FILE* out = popen(cmd.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, out) != nullptr)
            std::sscanf(line, "cycles=%ld missed=%ld cpu_us=%lf feedback=%ld", &loop.cycles,
                        &loop.missed, &loop.cpuUs, &loop.feedback);
        pclose(out);
    }
    return loop;
}

bench::Row RowOf(const char* name, const Loop& loop, double seconds) {
    bench::Row row;
    row.bench = name;
    row.n = kMotors;
    if (loop.cycles <= 0) return row;
    row.periodMean = seconds * 1e6 / double(loop.cycles);
    row.cpuPerTick = loop.cpuUs / double(loop.cycles);
    row.cpuPercent = loop.cpuUs / (seconds * 1e6) * 100.0;
    row.missedPercent = 100.0 * double(loop.missed) / double(loop.cycles);
    if (loop.feedback >= 0) row.framesPerSec = double(loop.feedback) / kMotors / seconds;
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = bench::Setup(argc, argv);
    testsupport::Vcan bus;
    std::vector<std::string> args;
    for (int id = 1; id <= kMotors; ++id)
        args.push_back(std::to_string(id) + ":" + std::to_string(0x10 + id) + ":4310:0");
    testsupport::DamiaoEmulatorProcess emu(bus.name(), args);
    if (!emu.ready()) {
        std::fprintf(stderr, "client_loop_bench: the emulator did not start\n");
        return 1;
    }
    bench::PrintMedianOfRuns([&] {
        return RowOf("client loop 200 Hz, C++ (library)", CppLoop(bus.name(), seconds), seconds);
    });
    bench::PrintMedianOfRuns([&] {
        return RowOf("client loop 200 Hz, Python module", PythonLoop("module", bus.name(), seconds),
                     seconds);
    });
    bench::PrintMedianOfRuns([&] {
        return RowOf("client loop 200 Hz, pure Python (python3-can)",
                     PythonLoop("python-can", bus.name(), seconds), seconds);
    });
    return 0;
}
