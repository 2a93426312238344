// Real-time options: their bounds, and the bus threads that take them when they start.

#include "jointbus/common/realtime.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>

#include <set>
#include <string>

#include "jointbus/common/motor_config.h"
#include "log_capture.h"
#include "paired_can.h"
#include "wait.h"

using jointbus::RealtimeSettings;
using testsupport::LogCapture;
using testsupport::PairedMotor;
using testsupport::Responder;

namespace {
// Kernel ids of this process's threads that run SCHED_FIFO.
std::set<int> FifoThreads() {
    std::set<int> ids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return ids;
    while (const dirent* e = readdir(dir)) {
        const int tid = std::atoi(e->d_name);
        if (tid > 0 && sched_getscheduler(tid) == SCHED_FIFO) ids.insert(tid);
    }
    closedir(dir);
    return ids;
}
}  // namespace

TEST(Realtime, BoundsAndTheConfigurationFile) {
    RealtimeSettings s;
    EXPECT_EQ(jointbus::CheckRealtimeSettings(s), "");
    s.priority = 100;
    EXPECT_EQ(jointbus::CheckRealtimeSettings(s),
              "priority must be from 1 to 99 (0 or absent: no SCHED_FIFO), not 100");
    s.priority = 99;
    s.cpus = {0, 100000};
    EXPECT_NE(jointbus::CheckRealtimeSettings(s).find("cpus: this machine has CPUs 0 to"),
              std::string::npos);
    LogCapture log;
    EXPECT_EQ(jointbus::SetRealtime(s), -1);
    EXPECT_EQ(log.Count("[ERROR] realtime: cpus: this machine has CPUs 0 to"), 1u);

    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"realtime: 80\n", "realtime must be a map of priority, cpus and lock_memory"},
        {"realtime: {priority: 0}\n", "priority must be from 1 to 99 (leave it out"},
        {"realtime: {priority: -5}\n", "priority must be from 1 to 99 (0 or absent"},
        {"realtime: {priority: high}\n", "priority must be a whole number"},
        {"realtime: {cpus: 2}\n", "cpus must be a list of CPU numbers"},
        {"realtime: {cpus: [x]}\n", "cpus must be a list of CPU numbers"},
        {"realtime: {cpus: [-1]}\n", "cpus: this machine has CPUs 0 to"},
        {"realtime: {lock_memory: maybe}\n", "lock_memory must be true or false"},
        {"realtime: {nice: 5}\n", "unknown key \"nice\" (priority, cpus, lock_memory)"},
    };
    for (const auto& c : cases) {
        RealtimeSettings read;
        std::string error;
        EXPECT_FALSE(ReadRealtime(YAML::Load(c.text), "m.yaml", read, error)) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << error;
        EXPECT_EQ(error.rfind("config file m.yaml: realtime", 0), 0u) << error;
    }
    RealtimeSettings read;
    std::string error;
    ASSERT_TRUE(ReadRealtime(YAML::Load("realtime: {priority: 80, cpus: [0], lock_memory: false}"),
                             "m.yaml", read, error))
        << error;
    EXPECT_EQ(read.priority, 80);
    EXPECT_EQ(read.cpus, std::vector<int>{0});
    EXPECT_FALSE(read.lockMemory);
}

// The engine of an interface started after SetRealtime takes the options, or says why not and
// runs on; threads that started before keep the normal scheduler. The engine reads the
// motors' answers itself: no receive thread starts.
TEST(Realtime, BusThreadsTakeTheOptionsWhenTheyStart) {
    const std::set<int> before = FifoThreads();
    RealtimeSettings s;
    s.priority = 1;
    s.cpus = {0};
    LogCapture log;
    ASSERT_EQ(jointbus::SetRealtime(s), 0);
    Responder responder;
    PairedMotor motor(1, responder, "rtbus0");
    ASSERT_EQ(motor.init(), 0);
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return log.Count("realtime: Damiao sender thread") >= 1; },
        std::chrono::milliseconds(3000)));
    EXPECT_EQ(log.Count("realtime: CAN receive"), 0u) << log.Text();
    const size_t granted = log.Count("thread runs SCHED_FIFO at priority 1\r\n");
    const size_t refused = log.Count("thread stays on the normal scheduler: SCHED_FIFO 1: ");
    EXPECT_EQ(granted + refused, 1u) << log.Text();
    std::set<int> fifo = FifoThreads();
    for (int tid : before) fifo.erase(tid);
    EXPECT_EQ(fifo.size(), granted) << "the threads that said so run SCHED_FIFO";
    for (int tid : fifo) {
        cpu_set_t set;
        ASSERT_EQ(sched_getaffinity(tid, sizeof set, &set), 0);
        EXPECT_EQ(CPU_COUNT(&set), 1);
        EXPECT_TRUE(CPU_ISSET(0, &set));
    }
    EXPECT_EQ(log.Count("realtime: Damiao sender thread runs on CPUs 0\r\n") +
                  log.Count("realtime: Damiao sender thread runs on any CPU"),
              1u);
    ASSERT_EQ(jointbus::SetRealtime(RealtimeSettings()), 0);
}
