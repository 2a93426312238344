#include "common/bus_tally.h"

#include <mutex>
#include <unordered_map>

#include "jointbus/common/bus_counters.h"

namespace jointbus_detail {

BusTally* TallyOf(const std::string& bus) {
    static std::mutex mutex;
    static auto* const tallies = new std::unordered_map<std::string, BusTally>;
    std::lock_guard<std::mutex> lock(mutex);
    return &(*tallies)[bus];
}

}  // namespace jointbus_detail

namespace jointbus {

BusCounters ReadBusCounters(const std::string& bus) {
    const jointbus_detail::BusTally* t = jointbus_detail::TallyOf(bus);
    BusCounters c;
    c.framesSent = t->framesSent.load(std::memory_order_relaxed);
    c.writeFailures = t->writeFailures.load(std::memory_order_relaxed);
    c.offlineEpisodes = t->offlineEpisodes.load(std::memory_order_relaxed);
    return c;
}

}  // namespace jointbus
