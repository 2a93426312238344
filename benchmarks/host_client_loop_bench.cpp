// Client loops on the host's own kernel (figures, not tests): the 200 Hz loop that reads and
// commands 6 and 12 Damiao motors, over the socket-pair transport double (one SOCK_SEQPACKET
// pair per motor, a responder thread answering each frame like the motor), three ways:
//   - in pure Python with python-can's messages and its socketcan framing and reading code
//     over the inherited sockets (benchmarks/client_loops.py python-can-pair), the same loop
//     as the CAN bench's reference and the reference here,
//   - in pure Python framing with struct and reading with non-blocking calls (socket-pair),
//     the leanest a Python loop can be,
//   - in C++ through the library, with the default frame gap, with frame_gap_us 0, and with
//     a control cycle that the loop drives,
//   - and the floor: a bare C++ loop on one thread making only the system calls of a cycle.
// A first row counts the library's threads for 2 interfaces of 7 motors and 2 servo ports.
// The CAN bench's client-loop rows pay the user-mode kernel's costly system calls; these show
// what each loop costs where a system call is cheap. Each row: CPU per cycle of the client (the
// Python process; the C++ loop's thread and the library's threads, the responder left out),
// its share of a core, the loop period, frames motor 1 received per second, feedback frames
// per motor per second, set-to-wire latency, missed cycles, and for the library's rows how many
// times less CPU they take than the reference.
//   host_client_loop_bench [SECONDS]

#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "client_loop.h"
#include "jointbus/common/can_settings.h"
#include "jointbus/common/control_cycle.h"
#include "jointbus/DaMiao/damiao_codec.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/common/stop_sequence.h"
#include "paired_can.h"

namespace {

// Motor 1's arrivals as the responder stamped them, during the loop.
std::vector<testsupport::Responder::Arrival> FirstMotor(testsupport::Responder& responder,
                                                        const bench::Loop& loop) {
    std::vector<testsupport::Responder::Arrival> out;
    if (loop.sets.size() < 2) return out;
    for (const auto& a : responder.Arrivals())
        if (a.masterId == 0x11 && a.ns >= loop.sets.front().t && a.ns <= loop.sets.back().t)
            out.push_back(a);
    return out;
}

bench::Row Measure(const char* name, int n, double seconds, testsupport::Responder& responder,
                   const bench::Loop& loop) {
    bench::Row row = bench::LoopRow(name, n, seconds, loop);
    if (loop.cycles <= 0) return row;
    const auto first = FirstMotor(responder, loop);
    if (!first.empty()) {
        const double span = double(loop.sets.back().t - loop.sets.front().t) / 1e9;
        row.framesPerSec = double(first.size()) / span;
    }
    // The responder answers every frame: for the library that is the feedback it delivers.
    row.feedbackPerSec = loop.feedback >= 0 ? double(loop.feedback) / n / seconds : row.framesPerSec;
    const std::vector<double> latency = bench::SetToWireUs(loop.sets, first);
    row.latencyMedian = bench::Percentile(latency, 50);
    row.latencyP99 = bench::Percentile(latency, 99);
    return row;
}

// `mode`: socket-pair (struct framing) or python-can-pair (python-can's framing).
bench::Row PythonRow(const char* mode, int n, double seconds) {
    testsupport::Responder responder;
    std::vector<int> theirs;
    std::string fds;
    for (int id = 1; id <= n; ++id) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) {
            std::perror("host_client_loop_bench: socketpair");
            break;
        }
        responder.Attach(pair[1], uint32_t(0x10 + id));
        theirs.push_back(pair[0]);
        fds += (fds.empty() ? "" : ",") + std::to_string(pair[0]);
    }
    bench::Loop loop;  // no cycles (an empty row) without a socket for every motor
    responder.stamping = true;
    if (int(theirs.size()) == n) loop = bench::RunPythonLoop(mode, fds, n, seconds);
    responder.stamping = false;
    for (int fd : theirs) close(fd);  // the responder's threads end when every copy is closed
    return Measure(std::string(mode) == "socket-pair"
                       ? "host client loop 200 Hz, pure Python (socket pair, struct framing)"
                       : "host client loop 200 Hz, pure Python (socket pair, python-can framing)",
                   n, seconds, responder, loop);
}

// `gapUs`: the interface's frame_gap_us (100 by default); `driven`: the loop drives a control
// cycle after setting its targets.
bench::Row CppRow(int n, double seconds, int gapUs, bool driven) {
    jointbus::CanInterfaceSettings settings;
    settings.frameGapUs = gapUs;
    const std::string bus = bench::FreshBus("loop", settings);
    testsupport::Responder responder;
    const auto before = bench::Threads();
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    for (int id = 1; id <= n; ++id) {
        motors.push_back(std::make_shared<testsupport::PairedMotor>(unsigned(id), responder, bus));
        motors.back()->init();
        motors.back()->setEnableStatus(true);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::set<int> library;
    const auto others = responder.ThreadIds();
    for (int id : bench::NewThreads(before, bench::Threads()))
        if (!others.count(id)) library.insert(id);
    std::vector<CtrlMotorInterface*> raw;
    for (auto& m : motors) raw.push_back(m.get());
    jointbus::ControlCycleOptions options;
    options.periodUs = 5000;
    jointbus::ControlCycle cycle(raw, options);
    if (driven && cycle.start() != 0) return bench::Row();
    std::set<int> switching = library;
    switching.insert(int(syscall(SYS_gettid)));  // the loop's thread runs a driven cycle
    const long long switches0 = bench::VoluntarySwitches(switching);
    responder.stamping = true;
    const bench::Loop loop =
        bench::RunCppLoop(motors, library, seconds, [&] { if (driven) cycle.cycle(); });
    responder.stamping = false;
    const long long switches = bench::VoluntarySwitches(switching) - switches0;
    cycle.stop();
    HoldAndDisable(motors);
    motors.clear();
    bench::Row row =
        Measure(driven        ? "host client loop 200 Hz, C++ (library), driven cycle"
                : gapUs == 100 ? "host client loop 200 Hz, C++ (library)"
                               : "host client loop 200 Hz, C++ (library), frame_gap_us 0",
                n, seconds, responder, loop);
    // Less the loop's own sleep once a cycle: what is left is the bus's.
    if (loop.cycles > 0) row.switchesPerTick = double(switches) / double(loop.cycles) - 1.0;
    row.threads = double(library.size());
    return row;
}

// The floor: a bare loop on one thread with only the system calls a cycle needs, over the same
// sockets as the Python rows: one write per motor, then a wait for the answers and one read
// each, then the sleep to the next cycle.
bench::Row FloorRow(int n, double seconds) {
    testsupport::Responder responder;
    std::vector<pollfd> fds;
    for (int id = 1; id <= n; ++id) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) return bench::Row();
        responder.Attach(pair[1], uint32_t(0x10 + id));
        fds.push_back({pair[0], POLLIN, 0});
    }
    Damiao::Ranges ranges;
    Damiao::RangesForModel(4310, ranges);
    std::vector<pollfd> waiting(fds.size());
    bench::Loop loop;
    loop.sets.reserve(size_t(seconds * 220) + 16);
    loop.feedback = 0;
    const bench::ThreadMeter meter({int(syscall(SYS_gettid))});
    responder.stamping = true;
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
        const double target = bench::Target(loop.cycles);
        loop.sets.push_back({bench::NowNs(), target});
        can_frame frame{};
        frame.can_dlc = 8;
        Damiao::EncodeMit(ranges, float(target), 0, 15.0f, 1.0f, 0, frame.data);
        for (int i = 0; i < n; ++i) {
            frame.can_id = uint32_t(i + 1);
            if (write(fds[size_t(i)].fd, &frame, sizeof frame) < 0) break;
        }
        size_t left = fds.size();
        waiting = fds;
        while (left > 0 && poll(waiting.data(), waiting.size(), 100) > 0) {
            for (auto& w : waiting) {
                if (!(w.revents & POLLIN)) continue;
                can_frame answer;
                if (read(w.fd, &answer, sizeof answer) == ssize_t(sizeof answer)) ++loop.feedback;
                w.fd = -1;  // answered: poll passes over it
                --left;
            }
        }
        bench::EndCycle(loop, next);
    }
    loop.cpuUs = meter.Cpu();
    responder.stamping = false;
    for (const auto& f : fds) close(f.fd);
    return Measure("host client loop 200 Hz, floor (bare system calls, one thread)", n, seconds,
                   responder, loop);
}

// The library's threads for 14 Damiao motors on 2 interfaces and 2 servo ports (ports that
// cannot be opened: their schedulers run all the same).
bench::Row ThreadsRow() {
    testsupport::Responder responder;
    const auto before = bench::Threads();
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    for (const char* prefix : {"thra", "thrb"}) {
        const std::string bus = bench::FreshBus(prefix, jointbus::CanInterfaceSettings());
        for (unsigned id = 1; id <= 7; ++id) {
            motors.push_back(std::make_shared<testsupport::PairedMotor>(id, responder, bus));
            motors.back()->init();
        }
    }
    for (std::string port : {"/nonexistent/jointbus-ttyA", "/nonexistent/jointbus-ttyB"}) {
        motors.push_back(std::make_shared<feetechMotor>(1u, 1000000u, port, false));
        motors.back()->init();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto others = responder.ThreadIds();
    bench::Row row;
    row.bench = "library threads, 14 Damiao motors on 2 interfaces and 2 servo ports";
    row.n = int(motors.size());
    row.threads = 0;
    for (int id : bench::NewThreads(before, bench::Threads()))
        if (!others.count(id)) ++row.threads;
    motors.clear();
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = bench::Setup(argc, argv);
    bench::Print(ThreadsRow());
    for (int n : {6, 12}) {
        const bench::Row python =
            bench::PrintMedianOfRuns([&] { return PythonRow("python-can-pair", n, seconds); });
        bench::PrintMedianOfRuns([&] { return PythonRow("socket-pair", n, seconds); });
        bench::PrintMedianOfRuns([&] {
            bench::Row row = FloorRow(n, seconds);
            row.cpuRatio = python.cpuPerTick / row.cpuPerTick;
            return row;
        });
        for (int way : {0, 1, 2}) {
            bench::PrintMedianOfRuns([&] {
                bench::Row row = CppRow(n, seconds, way == 0 ? 100 : 0, way == 2);
                row.cpuRatio = python.cpuPerTick / row.cpuPerTick;
                return row;
            });
        }
    }
    return 0;
}
