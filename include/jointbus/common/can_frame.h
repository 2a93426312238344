#pragma once

#include <cstdint>

// One received CAN frame as handed to a consumer; copied by value.
struct CanFrame {
    uint8_t data[8] = {};  // payload; only the first len bytes are meaningful
    uint8_t len = 0;       // 0 to 8
    uint32_t id = 0;       // SocketCAN identifier word, flag bits included (bit 29: error frame)
};
