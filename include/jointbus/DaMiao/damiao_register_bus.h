#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "jointbus/DaMiao/damiao_codec.h"
#include "jointbus/common/export.h"

namespace Damiao {

// Register exchanges with Damiao motors on one CAN interface, for commissioning, over a raw
// socket of its own. Requests go to CAN id 0x7FF; answers come on the motor's feedback id,
// where the motors skip them when their sender reads them, so running motors on the same bus keep
// their service. Calls are serialised; each waits at most `waitMs` for its answer.
//
// A feedback id of kAnyFeedbackId accepts the answer on whatever id it comes (a motor whose
// feedback id is not known yet); the answer is still matched by command id and register.
class JOINTBUS_API RegisterBus {
public:
    static constexpr int kAnyFeedbackId = -1;
    static constexpr int kDefaultWaitMs = 50;
    // How long Store waits at least for the motor to answer again after writing its flash.
    static constexpr int kStoreWaitMs = 500;

    explicit RegisterBus(const std::string& interface);
    ~RegisterBus();
    RegisterBus(const RegisterBus&) = delete;
    RegisterBus& operator=(const RegisterBus&) = delete;

    // 0 when the socket is open, else jointbus::kBusNotOpen with the failing call in error().
    int status() const;
    std::string error() const;

    // Reads register `rid`: 0, or kNoReply.
    int Read(uint32_t commandId, int feedbackId, uint8_t rid, uint32_t& value,
             int waitMs = kDefaultWaitMs);
    // Writes register `rid` in RAM and confirms it by reading it back (through the new ids
    // when the write changes MST_ID or ESC_ID): 0, kRegisterRefused (read-only, unknown, or
    // a value outside the register's range; nothing sent), kNoReply or kWriteNotConfirmed.
    int Write(uint32_t commandId, int feedbackId, uint8_t rid, uint32_t value,
              int waitMs = kDefaultWaitMs);
    // Asks the motor to copy all its registers to flash, then confirms it still answers.
    // Flash endures a limited number of writes: store only when asked to.
    int Store(uint32_t commandId, int feedbackId, int waitMs = kStoreWaitMs);
    // The state the motor reports in its feedback (0 disabled, 1 enabled, above 7 a fault).
    // It is asked with a stop command of a mode it is not in (after reading CTRL_MODE), which
    // a motor answers with feedback but does not obey.
    int ReadState(uint32_t commandId, int feedbackId, int& state, int waitMs = kDefaultWaitMs);
    // Makes the present position the motor's zero (the 0xFE frame, in the motor's mode).
    int SetZero(uint32_t commandId, int feedbackId, int waitMs = kDefaultWaitMs);

private:
    // Sends a request and waits for its answer; `replyId` is the feedback id or any.
    int ExchangeLocked(uint32_t commandId, int replyId, RegisterCommand cmd, uint8_t rid,
                       uint32_t value, uint32_t& answer, int waitMs);
    // Sends a motor frame and waits for its feedback state.
    int FeedbackLocked(uint32_t canId, const uint8_t* data, uint8_t len, uint32_t commandId,
                       int feedbackId, int& state, int waitMs);
    // The mode offset and feedback id of the motor (its CTRL_MODE and MST_ID registers).
    int ModeAndFeedbackLocked(uint32_t commandId, int& feedbackId, uint32_t& offset, int waitMs);
    bool SendLocked(uint32_t canId, const uint8_t* data, uint8_t len);
    void DrainLocked();

    mutable std::mutex mutex;
    int fd = -1;
    std::string failure;
};

}  // namespace Damiao
