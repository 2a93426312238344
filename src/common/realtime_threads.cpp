#include "common/realtime_threads.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "jointbus/common/logger.h"
#include "jointbus/common/realtime.h"

namespace {

std::mutex& SettingsMutex() {
    static auto* const mutex = new std::mutex;
    return *mutex;
}

jointbus::RealtimeSettings& Settings() {  // under SettingsMutex
    static auto* const settings = new jointbus::RealtimeSettings;
    return *settings;
}

}  // namespace

namespace jointbus {

std::string CheckRealtimeSettings(const RealtimeSettings& s) {
    if (s.priority < 0 || s.priority > RealtimeSettings::kMaxPriority)
        return fmt::format("priority must be from 1 to {} (0 or absent: no SCHED_FIFO), not {}",
                           RealtimeSettings::kMaxPriority, s.priority);
    const long cpus = sysconf(_SC_NPROCESSORS_CONF);
    for (int cpu : s.cpus)
        if (cpu < 0 || cpu >= cpus || cpu >= CPU_SETSIZE)
            return fmt::format("cpus: this machine has CPUs 0 to {}, not {}", cpus - 1, cpu);
    return "";
}

int SetRealtime(const RealtimeSettings& settings) {
    const std::string problem = CheckRealtimeSettings(settings);
    if (!problem.empty()) {
        LOG_ERROR("realtime: {}\r\n", problem);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(SettingsMutex());
        Settings() = settings;
    }
    if (settings.lockMemory) {
        if (mlockall(MCL_CURRENT | MCL_FUTURE) == 0)
            LOG_INFO("realtime: memory locked (mlockall)\r\n");
        else
            LOG_WARN(
                "realtime: memory not locked: mlockall: {} (needs CAP_IPC_LOCK or a "
                "larger memlock limit); the run goes on\r\n",
                std::strerror(errno));
    }
    return 0;
}

}  // namespace jointbus

namespace jointbus_detail {

void ApplyRealtimeOnce(const char* thread) {
    thread_local bool applied = false;
    if (applied) return;
    applied = true;
    jointbus::RealtimeSettings s;
    {
        std::lock_guard<std::mutex> lock(SettingsMutex());
        s = Settings();
    }
    if (s.priority > 0) {
        sched_param param{};
        param.sched_priority = s.priority;
        const int err = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        if (err == 0)
            LOG_INFO("realtime: {} thread runs SCHED_FIFO at priority {}\r\n", thread, s.priority);
        else
            LOG_WARN(
                "realtime: {} thread stays on the normal scheduler: SCHED_FIFO {}: {} "
                "(needs CAP_SYS_NICE or an rtprio limit); the run goes on\r\n",
                thread, s.priority, std::strerror(err));
    }
    if (!s.cpus.empty()) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int cpu : s.cpus) CPU_SET(cpu, &set);
        const int err = pthread_setaffinity_np(pthread_self(), sizeof set, &set);
        if (err == 0)
            LOG_INFO("realtime: {} thread runs on CPUs {}\r\n", thread, fmt::join(s.cpus, ","));
        else
            LOG_WARN("realtime: {} thread runs on any CPU: CPUs {}: {}; the run goes on\r\n",
                     thread, fmt::join(s.cpus, ","), std::strerror(err));
    }
}

}  // namespace jointbus_detail
