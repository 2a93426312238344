// An arm at rest on the host: 6 Damiao motors (over the socket-pair transport double, as this
// kernel may have no CAN) and 1 Feetech servo (against the emulator on a pseudo-terminal at
// 1,000,000 baud), all enabled and given no commands. Reports the share of one core that the
// library's threads take, and their heap allocations per 5 ms tick; then the same arm while a
// trace recorder samples all 7 motors at 200 Hz into a file (its threads counted with the
// library's), so the difference is what recording costs; and again while the live view serves
// one page (an event-stream client in this process, not counted), so the difference is what
// the view costs.

#include <httplib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "feetech_emulator_process.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/common/live_view.h"
#include "jointbus/common/trace_recorder.h"
#include "paired_can.h"
#include "pty.h"

using namespace std::chrono;

namespace {

enum class Observer { kNone, kRecorder, kView };

bench::Row IdleArm(double seconds, Observer observer) {
    testsupport::TempDir dir;
    const std::string link = dir.File("ttyIDLE");
    testsupport::FeetechEmulatorProcess gripper(link, "1", 1000000);
    testsupport::Responder responder;
    const auto before = bench::Threads();
    std::vector<std::unique_ptr<testsupport::PairedMotor>> motors;
    for (unsigned i = 1; i <= 6; ++i) {
        motors.push_back(std::make_unique<testsupport::PairedMotor>(i, responder));
        motors.back()->init();
        motors.back()->setEnableStatus(true);
    }
    std::string device = link;
    feetechMotor servo(1, 1000000, device, false);
    servo.init();
    servo.setEnableStatus(true);
    TraceRecorder recorder;
    jointbus::LiveView view;
    if (observer == Observer::kRecorder) {
        for (auto& m : motors) recorder.addMotor(m.get());
        recorder.addMotor(&servo);
        recorder.start(dir.File("idle.csv"));
    }
    // The page: reads the event stream as a browser does, until the view ends it.
    std::atomic<int> pageTid{0};
    std::atomic<unsigned long long> pageBytes{0};
    std::thread page;
    if (observer == Observer::kView) {
        for (auto& m : motors) view.addMotor(m.get());
        view.addMotor(&servo);
        view.start(0);
        page = std::thread([&] {
            pageTid = int(syscall(SYS_gettid));
            httplib::Client client("127.0.0.1", view.port());
            client.Get("/events", [&](const char*, size_t size) {
                pageBytes += size;
                return true;
            });
        });
    }
    std::this_thread::sleep_for(milliseconds(1000));
    // The responder's threads play the motors, and the page is the browser's: neither is the
    // library's.
    std::set<int> library;
    auto others = responder.ThreadIds();
    others.insert(pageTid.load());
    for (int id : bench::NewThreads(before, bench::Threads()))
        if (!others.count(id)) library.insert(id);
    const bench::ThreadMeter meter(library);
    const auto start = steady_clock::now();
    std::this_thread::sleep_for(duration<double>(seconds));
    const double secs = duration<double>(steady_clock::now() - start).count();
    bench::Row row;
    row.bench = observer == Observer::kRecorder ? "idle arm on the host, recording all 7 at 200 Hz"
                : observer == Observer::kView
                    ? "idle arm on the host, live view of all 7 at 25 Hz with one page"
                    : "idle arm on the host: 6 Damiao + 1 servo enabled";
    row.n = 7;
    row.cpuPercent = 100.0 * meter.Cpu() / (secs * 1e6);
    row.allocsPerTick = meter.Allocs() / (secs / 0.005);
    if (observer == Observer::kView) {
        view.stop();  // ends the page's stream
        page.join();
        if (pageBytes.load() == 0) std::fprintf(stderr, "idle_arm_bench: the page got nothing\n");
    }
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = bench::Setup(argc, argv);
    bench::PrintMedianOfRuns([&] { return IdleArm(seconds, Observer::kNone); });
    bench::PrintMedianOfRuns([&] { return IdleArm(seconds, Observer::kRecorder); });
    bench::PrintMedianOfRuns([&] { return IdleArm(seconds, Observer::kView); });
    return 0;
}
