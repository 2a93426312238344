// Holds a gravity-loaded joint with gravity compensation in MIT mode: each 1 ms cycle feeds the
// link's weight forward as torque, G·cos(q), with a soft stiffness and some damping on top, so
// the joint stays where it was lifted to while a push would still move it. At the end the joint
// damps for half a second, so that it sinks slowly instead of falling, and is disabled.
//
//   gravity INTERFACE LOAD_NM [SECONDS]
//
// Against the emulator: damiao_emulator vcan0 1:0x11:4310:0, then "gravity 1 LOAD_NM" on its
// standard input.

#include <jointbus/DaMiao/DaMiaoMotor.h>
#include <jointbus/common/control_cycle.h>
#include <jointbus/common/impedance.h>
#include <jointbus/common/stop_sequence.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kPeriodUs = 1000;
constexpr double kLift = 0.5;  // rad above where the joint stands at the start
constexpr double kKp = 4.0, kKd = 0.3;

std::atomic<bool> stop{false};

void OnSignal(int) {
    stop.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: gravity INTERFACE LOAD_NM [SECONDS]\n");
        return 2;
    }
    const std::string bus = argv[1];
    const double load = std::atof(argv[2]);
    const double seconds = argc > 3 ? std::atof(argv[3]) : 1e9;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    auto joint = std::make_shared<damiaoMotor>(4310, 1, 0, 0x11, bus, false, 20.0f, 1.0f);
    if (joint->init() != 0) {
        std::fprintf(stderr, "gravity: joint 1 on %s does not answer\n", bus.c_str());
        return 1;
    }
    jointbus::ExitPolicy exit;
    exit.onExit = jointbus::OnExit::kDampThenDisable;
    exit.dampMs = 500;
    exit.dampKd = 1.0;
    jointbus::SetExitPolicy(joint.get(), exit);
    double start = 0;
    joint->getMotorPosition(start);
    joint->setEnableStatus(true);

    jointbus::ControlCycleOptions options;
    options.periodUs = kPeriodUs;
    options.deadlineUs = kPeriodUs * 9 / 10;
    jointbus::ControlCycle cycle({joint.get()}, options);
    if (cycle.start() != 0) {
        std::fprintf(stderr, "gravity: %s\n", cycle.error().c_str());
        return 1;
    }
    const double hold = start + kLift;
    double worst = 0, q = start;
    long cycles = 0;
    const auto t0 = std::chrono::steady_clock::now();
    auto next = t0;
    while (!stop.load()) {
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (t >= seconds) break;
        joint->getMotorPosition(q);
        // Lift over the first second, then hold; the weight is fed forward all along.
        const double target = start + kLift * std::min(1.0, t);
        jointbus::ImpedanceCommand c;
        c.position = target;
        c.kp = kKp;
        c.kd = kKd;
        c.torque = load * std::cos(q);
        jointbus::SetImpedance(joint.get(), c);
        cycle.cycle();
        ++cycles;
        if (t > 1.5) worst = std::max(worst, std::fabs(q - hold));
        next += std::chrono::microseconds(kPeriodUs);
        if (next < std::chrono::steady_clock::now()) next = std::chrono::steady_clock::now();
        std::this_thread::sleep_until(next);
    }
    cycle.stop();
    std::printf("gravity: %ld cycles; held at %.3f rad against a %.2f N·m load, largest drift "
                "%.4f rad\n",
                cycles, q, load, worst);
    std::fflush(stdout);
    return HoldAndDisable({joint}) == 0 ? 0 : 1;
}
