// The DDS bridge (figures, not tests): 7 Damiao motors over the socket-pair double, bridged to
// a DDS domain of the run's own, with /joint_states at 100 Hz and at 1 kHz. Each row: the CPU
// of the bridge (its thread and the DDS threads it started) per published state and as a
// share of a core, and command-to-wire latency: a JointState command for the first joint is
// written in this process every 20 ms, and the latency runs to the first frame that carries
// its target on that motor's socket. The motors' own threads are left out, as they run
// without the bridge too. The floor for that latency is the motor's tick: a target leaves on
// the next one (5 ms by default).
//   dds_bridge_bench [SECONDS]

#include <dds/dds.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "client_loop.h"
#include "jointbus/common/stop_sequence.h"
#include "jointbus/dds/joint_bridge.h"
#include "paired_can.h"
#include "peer_msgs.h"

namespace {

constexpr int kMotors = 7;

bench::Row BridgeRow(double rateHz, double seconds) {
    const std::string bus = bench::FreshBus("dds", jointbus::CanInterfaceSettings());
    testsupport::Responder responder;
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    jointbus::JointBridge bridge;
    for (int id = 1; id <= kMotors; ++id) {
        motors.push_back(std::make_shared<testsupport::PairedMotor>(unsigned(id), responder, bus));
        motors.back()->init();
        motors.back()->setEnableStatus(true);
        bridge.addJoint("joint" + std::to_string(id), motors.back().get());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int domain = 150 + int(getpid() % 80);
    jointbus::JointBridgeOptions options;
    options.domain = domain;
    options.rate_hz = rateHz;
    const auto before = bench::Threads();
    bench::Row row;
    row.bench = "DDS bridge, 7 motors, states at " + std::to_string(int(rateHz)) + " Hz";
    row.n = kMotors;
    if (bridge.start(options) != 0) return row;
    const std::set<int> bridgeThreads = bench::NewThreads(before, bench::Threads());

    // The commanding peer: its threads come after the bridge's, so they are not counted.
    const dds_entity_t participant = dds_create_participant(dds_domainid_t(domain), nullptr, nullptr);
    const dds_entity_t topic = dds_create_topic(participant, &sensor_msgs_msg_dds__JointState__desc,
                                                "rt/joint_commands", nullptr, nullptr);
    const dds_entity_t writer = dds_create_writer(participant, topic, nullptr, nullptr);
    dds_publication_matched_status_t matched{};
    for (int i = 0; i < 2000 && (dds_get_publication_matched_status(writer, &matched) != 0 ||
                                 matched.current_count == 0);
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    char name[] = "joint1";
    char* names[] = {name};
    std::vector<bench::Set> sets;
    const uint64_t published0 = bridge.published();
    const bench::ThreadMeter meter(bridgeThreads);
    responder.stamping = true;
    const auto start = std::chrono::steady_clock::now();
    for (long k = 1; std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds);
         ++k) {
        double target = bench::Target(k);
        sensor_msgs_msg_dds__JointState_ command{};
        command.header.frame_id = const_cast<char*>("");
        command.name = {1, 1, names, false};
        command.position = {1, 1, &target, false};
        sets.push_back({bench::NowNs(), target});
        dds_write(writer, &command);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = meter.Cpu();
    responder.stamping = false;
    const uint64_t published = bridge.published() - published0;
    dds_delete(participant);
    bridge.stop();
    HoldAndDisable(motors);
    motors.clear();

    row.cpuPercent = cpu / (elapsed * 1e6) * 100.0;
    if (published > 0) row.cpuPerTick = cpu / double(published);
    row.periodMean = published > 0 ? elapsed * 1e6 / double(published) : NAN;
    std::vector<testsupport::Responder::Arrival> first;
    for (const auto& a : responder.Arrivals())
        if (a.masterId == 0x11) first.push_back(a);
    const std::vector<double> latency = bench::SetToWireUs(sets, first);
    row.latencyMedian = bench::Percentile(latency, 50);
    row.latencyP99 = bench::Percentile(latency, 99);
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = bench::Setup(argc, argv);
    for (double rate : {100.0, 1000.0})
        bench::PrintMedianOfRuns([&] { return BridgeRow(rate, seconds); });
    return 0;
}
