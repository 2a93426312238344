#include "common/bus_tally.h"

#include <fmt/format.h>

#include <mutex>
#include <unordered_map>

#include "jointbus/common/bus_counters.h"
#include "jointbus/common/can_settings.h"
#include "jointbus/common/logger.h"

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

int BusOpenError(const std::string& bus) {
    return jointbus_detail::TallyOf(bus)->openError.load(std::memory_order_relaxed);
}

}  // namespace jointbus

namespace jointbus {

std::string CheckCanInterfaceSettings(const CanInterfaceSettings& s) {
    if (s.tickUs != 0 && (s.tickUs < CanInterfaceSettings::kMinTickUs ||
                          s.tickUs > CanInterfaceSettings::kMaxTickUs))
        return fmt::format("tick_us must be from {} to {} (or absent for the 5 ms timer), not {}",
                           CanInterfaceSettings::kMinTickUs, CanInterfaceSettings::kMaxTickUs,
                           s.tickUs);
    if (s.frameGapUs < 0 || s.frameGapUs > CanInterfaceSettings::kMaxFrameGapUs)
        return fmt::format("frame_gap_us must be from 0 to {}, not {}",
                           CanInterfaceSettings::kMaxFrameGapUs, s.frameGapUs);
    return "";
}

int SetCanInterfaceSettings(const std::string& interface, const CanInterfaceSettings& settings) {
    const std::string problem =
        interface.empty() ? "no interface named" : CheckCanInterfaceSettings(settings);
    if (!problem.empty()) {
        LOG_ERROR("CAN interface {}: {}\r\n", interface, problem);
        return -1;
    }
    jointbus_detail::BusTally* t = jointbus_detail::TallyOf(interface);
    t->tickUs.store(settings.tickUs);
    t->frameGapUs.store(settings.frameGapUs);
    t->canFd.store(settings.canFd);
    return 0;
}

CanInterfaceSettings GetCanInterfaceSettings(const std::string& interface) {
    const jointbus_detail::BusTally* t = jointbus_detail::TallyOf(interface);
    CanInterfaceSettings s;
    s.tickUs = t->tickUs.load();
    s.frameGapUs = t->frameGapUs.load();
    s.canFd = t->canFd.load();
    return s;
}

}  // namespace jointbus
