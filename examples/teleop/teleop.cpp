// Leader and follower, the C++ twin of examples/python/teleop.py: a leader arm with its torque
// off is moved by hand and read at 200 Hz, and a follower arm with the same ids on another
// port tracks it. Ctrl-C (or SECONDS) stops it; the follower is held and disabled, and the lag
// is printed: position error (median, p99) and the delay that lines the paths up best.
//
//   teleop examples/config/sim_teleop.yaml /tmp/jointbus-sim-leader /tmp/jointbus-sim-follower [SECONDS]

#include <jointbus/common/motor_config.h>
#include <jointbus/common/stop_sequence.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Motors = std::vector<std::shared_ptr<CtrlMotorInterface>>;
constexpr double kHz = 200.0;
constexpr double kStep = 0.08;  // rad: the largest step towards the leader per cycle

std::atomic<bool> stop{false};

void OnSignal(int) {
    stop.store(true);
}

// The motors on `bus`, by id.
Motors OnBus(const Motors& motors, const std::string& bus) {
    Motors found;
    for (const auto& m : motors)
        if (MotorBus(*m) == bus) found.push_back(m);
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a->motor_id < b->motor_id; });
    return found;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p / 100 * double(values.size())))];
}

// The shift in cycles (0..maxShift) at which the follower's path is nearest the leader's.
size_t BestDelay(const std::vector<double>& leader, const std::vector<double>& follower,
                 size_t maxShift) {
    size_t best = 0;
    double bestCost = INFINITY;
    for (size_t shift = 0; shift <= maxShift && shift < leader.size(); ++shift) {
        double sum = 0;
        for (size_t i = 0; i + shift < leader.size(); ++i)
            sum += std::fabs(leader[i] - follower[i + shift]);
        const double cost = sum / double(leader.size() - shift);
        if (cost < bestCost) bestCost = cost, best = shift;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: teleop CONFIG LEADER_PORT FOLLOWER_PORT [SECONDS]\n");
        return 2;
    }
    const std::string leaderPort = argv[2], followerPort = argv[3];
    const double seconds = argc > 4 ? std::atof(argv[4]) : 0.0;
    YAML::Node config;
    std::string error;
    Motors motors;
    if (!ReadMotorConfig(argv[1], config, error) ||
        !BuildConfiguredMotors(config, argv[1], motors, error)) {
        std::fprintf(stderr, "teleop: %s\n", error.c_str());
        return 2;
    }
    const Motors leader = OnBus(motors, leaderPort), follower = OnBus(motors, followerPort);
    bool paired = !leader.empty() && leader.size() == follower.size();
    for (size_t k = 0; paired && k < leader.size(); ++k)
        paired = leader[k]->motor_id == follower[k]->motor_id;
    if (!paired) {
        std::fprintf(stderr, "teleop: the arms on %s and %s do not pair up by id\n",
                     leaderPort.c_str(), followerPort.c_str());
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    for (const auto& m : leader) m->init();  // torque stays off: the hand moves it
    for (const auto& m : follower) {
        m->init();
        // Once it answers, the follower holds where it stands when its torque comes on.
        double present = 0;
        int result = -1;
        for (int tries = 0; tries < 500 && result != 0; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            m->getMotorPosition(present);
            result = m->setMotorPosition(present);
        }
        if (result != 0) {
            std::fprintf(stderr, "teleop: follower servo %u on %s does not answer (%d)\n",
                         m->motor_id, followerPort.c_str(), result);
            return 1;
        }
        m->setEnableStatus(true);
    }
    std::printf("teleop: %zu joints, leader %s, follower %s, %g Hz, Ctrl-C stops\n",
                leader.size(), leaderPort.c_str(), followerPort.c_str(), kHz);
    std::fflush(stdout);

    const size_t n = leader.size();
    std::vector<std::vector<double>> leaderPath(n), followerPath(n);
    std::vector<double> errors;
    unsigned long cycles = 0, missed = 0;
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / kHz));
    const auto start = std::chrono::steady_clock::now();
    auto deadline = start;
    while (!stop.load() &&
           (seconds <= 0 || std::chrono::steady_clock::now() - start <
                                std::chrono::duration<double>(seconds))) {
        for (size_t k = 0; k < n; ++k) {
            double target = 0, present = 0;
            leader[k]->getMotorPosition(target);
            follower[k]->getMotorPosition(present);
            leaderPath[k].push_back(target);
            followerPath[k].push_back(present);
            errors.push_back(std::fabs(target - present));
            // A servo holds still for a target more than 10 degrees from where it stands: a
            // follower far from the leader closes in by steps. 5002 while a servo is offline:
            // it gets the next cycle's.
            follower[k]->setMotorPosition(present + std::clamp(target - present, -kStep, kStep));
        }
        ++cycles;
        deadline += period;
        if (deadline > std::chrono::steady_clock::now()) {
            std::this_thread::sleep_until(deadline);
        } else {
            ++missed;
            deadline = std::chrono::steady_clock::now();
        }
    }
    std::vector<double> delaysMs;
    for (size_t k = 0; k < n; ++k)
        delaysMs.push_back(double(BestDelay(leaderPath[k], followerPath[k], size_t(kHz * 0.3))) *
                           1000.0 / kHz);
    std::sort(delaysMs.begin(), delaysMs.end());
    std::printf(
        "teleop: %lu cycles, %lu missed their slot; follower error median %.4f rad, p99 %.4f "
        "rad; delay median %.0f ms, worst joint %.0f ms\n",
        cycles, missed, Percentile(errors, 50), Percentile(errors, 99), Percentile(delaysMs, 50),
        delaysMs.back());
    std::fflush(stdout);
    return HoldAndDisable(follower) == 0 ? 0 : 1;
}
