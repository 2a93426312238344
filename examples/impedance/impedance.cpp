// A 1 kHz impedance loop in MIT mode that drives its bus itself: three Damiao joints follow a
// slow sine through their stiffness (kp) and damping (kd), with the sine's velocity as feed-
// forward. Each period the loop sets the targets and runs one control cycle, which sends the
// frames at once and returns with this cycle's feedback. Ctrl-C (or SECONDS) stops it; the
// joints are held and disabled, and the loop's figures are printed.
//
//   impedance INTERFACE [SECONDS]
//
// Against the emulator: damiao_emulator vcan0 1:0x11:4310:0 2:0x12:4310:0 3:0x13:4310:0

#include <jointbus/DaMiao/DaMiaoMotor.h>
#include <jointbus/common/control_cycle.h>
#include <jointbus/common/stop_sequence.h>

#include <algorithm>
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
constexpr double kAmplitude = 0.1;  // rad
constexpr double kHz = 0.5;         // of the sine
constexpr float kKp = 20.0f, kKd = 0.5f;

std::atomic<bool> stop{false};

void OnSignal(int) {
    stop.store(true);
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[size_t(p / 100.0 * double(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: impedance INTERFACE [SECONDS]\n");
        return 2;
    }
    const std::string bus = argv[1];
    const double seconds = argc > 2 ? std::atof(argv[2]) : 1e9;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    std::vector<std::shared_ptr<CtrlMotorInterface>> joints;
    std::vector<CtrlMotorInterface*> raw;
    for (unsigned id = 1; id <= 3; ++id) {
        auto joint = std::make_shared<damiaoMotor>(4310, id, 0, 0x10 + id, bus, false, kKp, kKd);
        if (joint->init() != 0) {
            std::fprintf(stderr, "impedance: joint %u on %s does not answer\n", id, bus.c_str());
            return 1;
        }
        joint->setEnableStatus(true);
        joints.push_back(joint);
        raw.push_back(joint.get());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // enabled by the bus's ticks
    std::vector<double> start(joints.size());
    for (size_t k = 0; k < joints.size(); ++k) joints[k]->getMotorPosition(start[k]);

    jointbus::ControlCycleOptions options;
    options.periodUs = kPeriodUs;
    options.deadlineUs = kPeriodUs * 9 / 10;
    jointbus::ControlCycle cycle(raw, options);
    if (cycle.start() != 0) {
        std::fprintf(stderr, "impedance: %s\n", cycle.error().c_str());
        return 1;
    }
    std::vector<double> periods, errors;
    long cycles = 0, silentCycles = 0;
    const auto t0 = std::chrono::steady_clock::now();
    auto next = t0;
    auto last = t0;
    while (!stop.load()) {
        const auto now = std::chrono::steady_clock::now();
        const double t = std::chrono::duration<double>(now - t0).count();
        if (t >= seconds) break;
        if (cycles > 0) periods.push_back(std::chrono::duration<double, std::micro>(now - last).count());
        last = now;
        const double w = 2 * M_PI * kHz;
        for (size_t k = 0; k < joints.size(); ++k) {
            double q = 0;
            joints[k]->getMotorPosition(q);
            const double target = start[k] + kAmplitude * std::sin(w * t);
            errors.push_back(std::fabs(q - target));
            // Position, velocity feed-forward and no torque: the motor's kp and kd do the rest.
            joints[k]->setMotorPosition(target, kAmplitude * w * std::cos(w * t), 0.0);
        }
        if (cycle.cycle() > 0) ++silentCycles;
        ++cycles;
        next += std::chrono::microseconds(kPeriodUs);
        if (next < std::chrono::steady_clock::now()) next = std::chrono::steady_clock::now();
        std::this_thread::sleep_until(next);
    }
    cycle.stop();
    HoldAndDisable(joints);
    std::printf(
        "impedance: %ld cycles at %d Hz, %ld with a silent joint; period median %.0f us, p99 "
        "%.0f us; tracking error median %.4f rad\n",
        cycles, 1000000 / kPeriodUs, silentCycles, Percentile(periods, 50),
        Percentile(periods, 99), Percentile(errors, 50));
    return 0;
}
