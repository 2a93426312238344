// Client loops on the CAN bench (figures, not tests): a 200 Hz control loop that reads and
// commands 1, 6, 12 and 16 Damiao motors (an emulator answers every frame) three ways, in one
// run against the same emulator:
//   - in pure Python with python3-can doing the bus work in the interpreter
//     (benchmarks/client_loops.py python-can), the reference the library is measured against,
//   - in C++ through the library: with defaults, with frame_gap_us 0, and driving a control
//     cycle,
//   - a floor: a bare C++ loop that makes only the system calls a batched cycle needs,
//   - in Python through the jointbus module (benchmarks/client_loops.py module).
// Each loop commands a saw-tooth of distinct targets (0 to 0.099 rad in 1 mrad steps), so the
// emulator's time stamp of motor 1's frames gives each target's set-to-wire latency.
// Each row: CPU per cycle of the client process (the C++ row: the loop's thread and the
// library's threads; the benchmark's own helper threads are left out), its share of a core,
// the loop period, command frames motor 1 received per second during the loop, feedback
// frames delivered to the client per motor per second (the pure-Python loop counts what it
// received; the emulator answers every frame, so for the library's rows it is the frame
// rate), set-to-wire latency, cycles that missed their 5 ms slot, and for the library's rows
// how many times less CPU they take than the pure-Python loop.
//   client_loop_bench [SECONDS]

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "client_loop.h"
#include "damiao_emulator_process.h"
#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/DaMiao/damiao_codec.h"
#include "jointbus/DaMiao/damiao_thread.h"
#include "jointbus/common/can_settings.h"
#include "jointbus/common/control_cycle.h"
#include "jointbus/common/stop_sequence.h"
#include "vcan.h"

namespace {

// `sender`: the thread of the library's Damiao sender, started once for the whole program.
// `gapUs`: the interface's frame_gap_us (100 by default); `driven`: the loop drives a control
// cycle after setting its targets.
bench::Loop CppLoop(const std::string& iface, int n, double seconds, const std::set<int>& sender,
                    int gapUs = 100, bool driven = false) {
    jointbus::CanInterfaceSettings settings;
    settings.frameGapUs = gapUs;
    jointbus::SetCanInterfaceSettings(iface, settings);
    const auto before = bench::Threads();
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    std::vector<CtrlMotorInterface*> raw;
    for (int id = 1; id <= n; ++id) {
        motors.push_back(std::make_shared<damiaoMotor>(4310, unsigned(id), 0, unsigned(0x10 + id),
                                                       iface, false, 15.0f, 1.0f));
        motors.back()->init();
        motors.back()->setEnableStatus(true);
        raw.push_back(motors.back().get());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto library = bench::NewThreads(before, bench::Threads());
    library.insert(sender.begin(), sender.end());
    jointbus::ControlCycleOptions options;
    options.periodUs = 5000;
    jointbus::ControlCycle cycle(raw, options);
    bench::Loop loop;
    if (!driven || cycle.start() == 0)
        loop = bench::RunCppLoop(motors, library, seconds, [&] { if (driven) cycle.cycle(); });
    cycle.stop();
    HoldAndDisable(motors);
    jointbus::SetCanInterfaceSettings(iface, jointbus::CanInterfaceSettings());
    return loop;
}

// The floor: a bare loop on one thread with only the system calls a batched cycle needs: one
// CAN socket filtered on the motors' feedback ids, one sendmmsg of every motor's frame, then
// poll and recvmmsg until every motor has answered, then the sleep to the next cycle.
bench::Loop FloorLoop(const std::string& iface, int n, double seconds) {
    bench::Loop loop;
    const int s = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (s < 0) return loop;
    std::vector<can_filter> filters;
    for (int id = 1; id <= n; ++id) filters.push_back({canid_t(0x10 + id), CAN_SFF_MASK});
    setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, filters.data(),
               socklen_t(filters.size() * sizeof(can_filter)));
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = int(if_nametoindex(iface.c_str()));
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        return loop;
    }
    Damiao::Ranges ranges;
    Damiao::RangesForModel(4310, ranges);
    const size_t count = size_t(n);
    std::vector<can_frame> out(count), in(count);
    std::vector<iovec> outIov(count), inIov(count);
    std::vector<mmsghdr> outMsg(count), inMsg(count);
    for (size_t i = 0; i < count; ++i) {
        outIov[i] = {&out[i], sizeof(can_frame)};
        inIov[i] = {&in[i], sizeof(can_frame)};
    }
    loop.sets.reserve(size_t(seconds * 220) + 16);
    loop.feedback = 0;
    const bench::ThreadMeter meter({int(syscall(SYS_gettid))});
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
        const double target = bench::Target(loop.cycles);
        loop.sets.push_back({bench::NowNs(), target});
        for (size_t i = 0; i < count; ++i) {
            out[i] = can_frame{};
            out[i].can_id = canid_t(i + 1);
            out[i].can_dlc = 8;
            Damiao::EncodeMit(ranges, float(target), 0, 15.0f, 1.0f, 0, out[i].data);
            outMsg[i] = mmsghdr{};
            outMsg[i].msg_hdr.msg_iov = &outIov[i];
            outMsg[i].msg_hdr.msg_iovlen = 1;
        }
        if (sendmmsg(s, outMsg.data(), unsigned(n), 0) != n) break;
        int left = n;
        pollfd wait{s, POLLIN, 0};
        while (left > 0 && poll(&wait, 1, 100) > 0) {
            for (size_t i = 0; i < count; ++i) {
                inMsg[i] = mmsghdr{};
                inMsg[i].msg_hdr.msg_iov = &inIov[i];
                inMsg[i].msg_hdr.msg_iovlen = 1;
            }
            const int got = recvmmsg(s, inMsg.data(), unsigned(left), MSG_DONTWAIT, nullptr);
            if (got <= 0) break;
            loop.feedback += got;
            left -= got;
        }
        bench::EndCycle(loop, next);
    }
    loop.cpuUs = meter.Cpu();
    close(s);
    return loop;
}

// Motor 1's frames as the emulator time-stamped them: (ns, position field), the special frames
// (enable, disable) with field kSpecial.
constexpr unsigned kSpecial = ~0u;

std::vector<std::pair<long long, unsigned>> WireFrames(testsupport::DamiaoEmulatorProcess& emu) {
    std::vector<std::pair<long long, unsigned>> frames;
    std::istringstream in(emu.process().Out());
    for (std::string line; std::getline(in, line);) {
        long long t;
        unsigned id, len, b0, b1, b2;
        if (std::sscanf(line.c_str(), "rx %lld %x %u %x %x %x", &t, &id, &len, &b0, &b1, &b2) ==
                6 &&
            id == 1)
            frames.emplace_back(t,
                                b0 == 0xFF && b1 == 0xFF && b2 == 0xFF ? kSpecial : b0 << 8 | b1);
    }
    return frames;
}

// Set-to-wire latencies in µs: for each target, the first frame after it that carries it (one
// field step of rounding either way, as clients encode in double or single precision).
std::vector<double> Latencies(const std::vector<bench::Set>& sets,
                              const std::vector<std::pair<long long, unsigned>>& frames) {
    std::vector<double> out;
    size_t from = 0;
    for (const auto& s : sets) {
        const int field = int(Damiao::FloatToUint(float(s.target), -12.5f, 12.5f, 16));
        while (from < frames.size() && frames[from].first < s.t) ++from;
        for (size_t k = from; k < frames.size() && frames[k].first - s.t < 100000000LL; ++k) {
            if (std::abs(int(frames[k].second) - field) <= 1) {
                out.push_back(double(frames[k].first - s.t) / 1e3);
                break;
            }
        }
    }
    return out;
}

bench::Row Measure(const char* name, int n, double seconds, testsupport::DamiaoEmulatorProcess& emu,
                   const std::function<bench::Loop()>& run) {
    const bench::Loop loop = run();
    bench::Row row = bench::LoopRow(name, n, seconds, loop);
    if (loop.cycles <= 0) return row;
    const auto frames = WireFrames(emu);
    if (loop.sets.size() > 1) {
        const long long from = loop.sets.front().t, to = loop.sets.back().t;
        long inLoop = 0;
        for (const auto& f : frames) inLoop += f.first >= from && f.first <= to;
        row.framesPerSec = double(inLoop) / (double(to - from) / 1e9);
    }
    row.feedbackPerSec =
        loop.feedback >= 0 ? double(loop.feedback) / n / seconds : row.framesPerSec;
    const auto latency = Latencies(loop.sets, frames);
    row.latencyMedian = bench::Percentile(latency, 50);
    row.latencyP99 = bench::Percentile(latency, 99);
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = bench::Setup(argc, argv);
    const auto base = bench::Threads();
    Damiao::Damiao_Thread::getInstance();
    const auto sender = bench::NewThreads(base, bench::Threads());
    for (int n : {1, 6, 12, 16}) {
        testsupport::Vcan bus;
        std::vector<std::string> args;
        for (int id = 1; id <= n; ++id)
            args.push_back(std::to_string(id) + ":" + std::to_string(0x10 + id) + ":4310:0");
        testsupport::DamiaoEmulatorProcess emu(bus.name(), args, false, 1);
        if (!emu.ready()) {
            std::fprintf(stderr, "client_loop_bench: the emulator did not start\n");
            return 1;
        }
        const bench::Row python = bench::PrintMedianOfRuns([&] {
            return Measure("client loop 200 Hz, pure Python (python3-can)", n, seconds, emu,
                           [&] { return bench::RunPythonLoop("python-can", bus.name(), n, seconds); });
        });
        auto versus = [&](bench::Row row) {
            row.cpuRatio = python.cpuPerTick / row.cpuPerTick;
            return row;
        };
        bench::PrintMedianOfRuns([&] {
            return versus(Measure("client loop 200 Hz, C++ (library)", n, seconds, emu,
                                  [&] { return CppLoop(bus.name(), n, seconds, sender); }));
        });
        bench::PrintMedianOfRuns([&] {
            return versus(Measure("client loop 200 Hz, C++ (library), frame_gap_us 0", n, seconds,
                                  emu, [&] { return CppLoop(bus.name(), n, seconds, sender, 0); }));
        });
        bench::PrintMedianOfRuns([&] {
            return versus(
                Measure("client loop 200 Hz, C++ (library), driven cycle", n, seconds, emu,
                        [&] { return CppLoop(bus.name(), n, seconds, sender, 100, true); }));
        });
        bench::PrintMedianOfRuns([&] {
            return versus(Measure("client loop 200 Hz, floor (one socket, sendmmsg, recvmmsg)", n,
                                  seconds, emu, [&] { return FloorLoop(bus.name(), n, seconds); }));
        });
        bench::PrintMedianOfRuns([&] {
            return versus(Measure("client loop 200 Hz, Python module", n, seconds, emu,
                                  [&] { return bench::RunPythonLoop("module", bus.name(), n, seconds); }));
        });
    }
    return 0;
}
