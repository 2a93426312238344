#pragma once

// Settings of one CAN interface, by name, for the Damiao motors on it: how often its sender
// ticks, the pause after each frame, and whether frames go out as CAN-FD. Set them before the
// first motor on the interface inits: a sender reads its tick when it starts, a driver its
// format when it opens its socket, a motor the pause at every frame. Without settings an
// interface runs as it always has: a 5 ms minimum-gap tick, 100 µs after each frame, classic
// frames.
//
// In a configuration file they are the root key "can_interfaces":
//
//   can_interfaces:
//     can0: {tick_us: 1000, frame_gap_us: 50, can_fd: true}

#include <string>

#include "jointbus/common/export.h"

namespace jointbus {

struct CanInterfaceSettings {
    static constexpr int kMinTickUs = 500, kMaxTickUs = 5000;
    static constexpr int kMaxFrameGapUs = 1000;
    static constexpr int kDefaultFrameGapUs = 100;

    // 0: the 5 ms minimum-gap timer. 500 to 5000: a tick every tickUs on a fixed-rate schedule.
    int tickUs = 0;
    int frameGapUs = kDefaultFrameGapUs;  // 0 to 1000
    // CAN-FD frames with bit-rate switch, with the same 8-byte payloads; the driver refuses an
    // interface whose MTU is not CAN-FD's.
    bool canFd = false;
};

// "" when `settings` may be used, else what is wrong with it ("tick_us must be ...").
JOINTBUS_API std::string CheckCanInterfaceSettings(const CanInterfaceSettings& settings);
// Sets the settings of `interface`. 0, or -1 with an ERROR line and nothing changed (an empty
// name or a value out of range). Any thread.
JOINTBUS_API int SetCanInterfaceSettings(const std::string& interface,
                                         const CanInterfaceSettings& settings);
// The settings of `interface`; the defaults for one that was never set. Any thread.
JOINTBUS_API CanInterfaceSettings GetCanInterfaceSettings(const std::string& interface);

}  // namespace jointbus
