// Damiao feedback frames: decoding for every model, and a motor consuming them (a frame of any
// length, as the receive loop hands it over). The power-loss pattern ends the process by
// design, so it is only recognised here, never consumed.

#include <cmath>
#include <cstdint>
#include <cstring>

#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/DaMiao/damiao_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static damiaoMotor motor(4310, 3, 0, 0x13, "", false, 15.0f, 1.0f);
    if (size < 1) return 0;
    static const int models[] = {4310, 4340, 6006, 0};
    Damiao::Ranges r{};
    if (Damiao::RangesForModel(models[data[0] % 4], r)) {
        uint8_t frame[8] = {};
        std::memcpy(frame, data + 1, std::min<size_t>(size - 1, 8));
        const Damiao::Feedback fb = Damiao::DecodeFeedback(r, frame);
        if (!std::isfinite(fb.position) || !std::isfinite(fb.velocity) || !std::isfinite(fb.torque))
            __builtin_trap();
        if (Damiao::IsPowerLoss(frame)) return 0;
    }
    CanFrame f;
    f.id = 0x13;
    f.len = uint8_t(std::min<size_t>(size - 1, 8));
    std::memcpy(f.data, data + 1, f.len);
    if (f.len == 8 && Damiao::IsPowerLoss(f.data)) return 0;
    motor.Consume(f);
    double value = 0;
    bool enabled = false;
    motor.getMotorPosition(value);
    motor.getVelocity(value);
    motor.getTorque(value);
    motor.getEnableStatus(enabled);
    return 0;
}
