#include "common/bus_drive.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "common/steady_ns.h"
#include "jointbus/common/logger.h"

namespace jointbus_detail {

namespace {

struct Drive {
    const void* owner;
    std::string name;
    int64_t watchdogNs;
    std::function<void()> hold;
    int64_t lastCycleNs;  // 0: the watchdog ran out, the bus thread ticks
};

// Held while a hold runs, so that ReleaseBus waits for it.
std::mutex drivesMutex;
std::unordered_map<const void*, Drive>& Drives() {
    static auto* const drives = new std::unordered_map<const void*, Drive>;
    return *drives;
}
// The bus threads look no further while no bus is driven.
std::atomic<int> driven{0};

thread_local int drivenPeriodUs = 0;
thread_local int64_t readDeadlineNs = 0;
thread_local int64_t silentReadBoundNs = 0;

}  // namespace

bool DriveBus(const void* bus, const void* owner, const std::string& name, int64_t watchdogNs,
              std::function<void()> hold) {
    std::lock_guard<std::mutex> lock(drivesMutex);
    auto found = Drives().find(bus);
    if (found != Drives().end()) return found->second.owner == owner;
    // The watchdog runs from the take-over: a caller that never cycles is noticed too.
    Drives().emplace(bus, Drive{owner, name, watchdogNs, std::move(hold), SteadyNowNs()});
    driven.fetch_add(1);
    return true;
}

void ReleaseBus(const void* bus, const void* owner) {
    std::lock_guard<std::mutex> lock(drivesMutex);
    auto found = Drives().find(bus);
    if (found == Drives().end() || found->second.owner != owner) return;
    Drives().erase(found);
    driven.fetch_sub(1);
}

void MarkCycle(const void* bus, int64_t nowNs) {
    std::lock_guard<std::mutex> lock(drivesMutex);
    auto found = Drives().find(bus);
    if (found != Drives().end()) found->second.lastCycleNs = nowNs;
}

bool TickSkipped(const void* bus) {
    if (driven.load(std::memory_order_relaxed) == 0 || DrivenPeriodUs() != 0) return false;
    std::lock_guard<std::mutex> lock(drivesMutex);
    auto found = Drives().find(bus);
    if (found == Drives().end() || found->second.lastCycleNs == 0) return false;
    Drive& drive = found->second;
    const int64_t silentNs = SteadyNowNs() - drive.lastCycleNs;
    if (silentNs < drive.watchdogNs) return true;
    drive.lastCycleNs = 0;
    LOG_WARN("control cycle: no cycle on {} for {} ms, the bus thread ticks again and every "
             "motor holds where it stands\r\n",
             drive.name, silentNs / 1000000);
    drive.hold();
    return false;
}

DrivenScope::DrivenScope(int periodUs) {
    drivenPeriodUs = periodUs > 0 ? periodUs : 1;
}

DrivenScope::~DrivenScope() {
    drivenPeriodUs = 0;
}

SilentReadBound::SilentReadBound(int64_t boundNs) {
    silentReadBoundNs = boundNs;
}

SilentReadBound::~SilentReadBound() {
    silentReadBoundNs = 0;
}

int64_t SilentReadBoundNs() {
    return silentReadBoundNs;
}

ReadDeadline::ReadDeadline(int64_t deadlineNs) {
    readDeadlineNs = deadlineNs;
}

ReadDeadline::~ReadDeadline() {
    readDeadlineNs = 0;
}

int64_t ReadDeadlineNs() {
    return readDeadlineNs;
}

int DrivenPeriodUs() {
    return drivenPeriodUs;
}

}  // namespace jointbus_detail
