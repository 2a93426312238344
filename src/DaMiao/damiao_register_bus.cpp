#include "jointbus/DaMiao/damiao_register_bus.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "jointbus/DaMiao/damiao_registers.h"
#include "jointbus/common/result_codes.h"

namespace Damiao {

namespace {

using Clock = std::chrono::steady_clock;

// Receives frames until `match` accepts one or `waitMs` has passed; true when accepted.
template <typename Match>
bool ReceiveUntil(int fd, int waitMs, Match match) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    while (true) {
        can_frame f{};
        while (recv(fd, &f, sizeof f, MSG_DONTWAIT) == ssize_t(sizeof f)) {
            if ((f.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) == 0 && f.can_dlc == 8 &&
                match(f))
                return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, int(left));
    }
}

const jointbus::RegisterInfo* Describe(uint8_t rid) {
    for (const auto& r : kRegisters)
        if (r.address == rid) return &r;
    return nullptr;
}

}  // namespace

RegisterBus::RegisterBus(const std::string& interface) {
    if (interface.empty() || interface.size() >= IFNAMSIZ) {
        failure = "CAN interface name '" + interface + "' must have 1 to 15 characters";
        return;
    }
    const int s = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (s < 0) {
        failure = std::string("socket(PF_CAN): ") + std::strerror(errno);
        return;
    }
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, interface.c_str(), interface.size());
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    if (ioctl(s, SIOCGIFINDEX, &ifr) < 0) {
        failure = "CAN interface " + interface + ": " + std::strerror(errno);
        ::close(s);
        return;
    }
    addr.can_ifindex = ifr.ifr_ifindex;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        failure = "bind to " + interface + ": " + std::strerror(errno);
        ::close(s);
        return;
    }
    fd = s;
}

RegisterBus::~RegisterBus() {
    if (fd >= 0) ::close(fd);
}

int RegisterBus::status() const {
    return fd >= 0 ? jointbus::kOk : jointbus::kBusNotOpen;
}

std::string RegisterBus::error() const {
    std::lock_guard<std::mutex> lock(mutex);
    return failure;
}

bool RegisterBus::SendLocked(uint32_t canId, const uint8_t* data, uint8_t len) {
    can_frame f{};
    f.can_id = canId;
    f.can_dlc = len;
    std::memcpy(f.data, data, len);
    // A full transmit queue is back-pressure: try again for a few milliseconds.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (::write(fd, &f, sizeof f) == ssize_t(sizeof f)) return true;
        if (errno != ENOBUFS) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    failure = std::string("write to CAN: ") + std::strerror(errno);
    return false;
}

// Frames that came before the request cannot answer it.
void RegisterBus::DrainLocked() {
    can_frame f{};
    while (recv(fd, &f, sizeof f, MSG_DONTWAIT) == ssize_t(sizeof f)) {
    }
}

int RegisterBus::ExchangeLocked(uint32_t commandId, int replyId, RegisterCommand cmd, uint8_t rid,
                                uint32_t value, uint32_t& answer, int waitMs) {
    if (fd < 0) return jointbus::kBusNotOpen;
    DrainLocked();
    uint8_t request[8];
    EncodeRegisterRequest(commandId, cmd, rid, value, request);
    if (!SendLocked(kRegisterCanId, request, 8)) return jointbus::kNoReply;
    const bool answered = ReceiveUntil(fd, waitMs, [&](const can_frame& f) {
        if (f.can_id == kRegisterCanId) return false;  // another tool's request
        if (replyId != kAnyFeedbackId && f.can_id != uint32_t(replyId)) return false;
        if (!IsRegisterReply(f.data, commandId, cmd, rid)) return false;
        answer = RegisterValue(f.data);
        return true;
    });
    return answered ? jointbus::kOk : jointbus::kNoReply;
}

int RegisterBus::Read(uint32_t commandId, int feedbackId, uint8_t rid, uint32_t& value,
                      int waitMs) {
    std::lock_guard<std::mutex> lock(mutex);
    return ExchangeLocked(commandId, feedbackId, kRegisterRead, rid, 0, value, waitMs);
}

int RegisterBus::Write(uint32_t commandId, int feedbackId, uint8_t rid, uint32_t value,
                       int waitMs) {
    const jointbus::RegisterInfo* info = Describe(rid);
    if (info == nullptr || !jointbus::AcceptsWrite(*info, value)) return jointbus::kRegisterRefused;
    std::lock_guard<std::mutex> lock(mutex);
    if (fd < 0) return jointbus::kBusNotOpen;
    DrainLocked();
    uint8_t request[8];
    EncodeRegisterRequest(commandId, kRegisterWrite, rid, value, request);
    if (!SendLocked(kRegisterCanId, request, 8)) return jointbus::kNoReply;
    // The write takes effect at once: a new feedback or command id is where the motor is now.
    const uint32_t readId = rid == kRegEscId ? value : commandId;
    const int replyId =
        rid == kRegMasterId && feedbackId != kAnyFeedbackId ? int(value) : feedbackId;
    uint32_t back = 0;
    const int result = ExchangeLocked(readId, replyId, kRegisterRead, rid, 0, back, waitMs);
    if (result != jointbus::kOk) return result;
    return back == value ? jointbus::kOk : jointbus::kWriteNotConfirmed;
}

int RegisterBus::Store(uint32_t commandId, int feedbackId, int waitMs) {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd < 0) return jointbus::kBusNotOpen;
    uint8_t request[8];
    EncodeRegisterStore(commandId, request);
    if (!SendLocked(kRegisterCanId, request, 8)) return jointbus::kNoReply;
    // Writing flash keeps the motor busy for a moment: ask until it answers again.
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    uint32_t mode = 0;
    do {
        if (ExchangeLocked(commandId, feedbackId, kRegisterRead, kRegCtrlMode, 0, mode, 20) ==
            jointbus::kOk)
            return jointbus::kOk;
    } while (Clock::now() < deadline);
    return jointbus::kNoReply;
}

int RegisterBus::ModeAndFeedbackLocked(uint32_t commandId, int& feedbackId, uint32_t& offset,
                                       int waitMs) {
    uint32_t value = 0;
    int result =
        ExchangeLocked(commandId, feedbackId, kRegisterRead, kRegCtrlMode, 0, value, waitMs);
    if (result != jointbus::kOk) return result;
    if (!ModeOffsetOf(value, offset)) offset = kMit;  // a mode this library does not know
    if (feedbackId != kAnyFeedbackId) return jointbus::kOk;
    result = ExchangeLocked(commandId, feedbackId, kRegisterRead, kRegMasterId, 0, value, waitMs);
    if (result == jointbus::kOk) feedbackId = int(value);
    return result;
}

int RegisterBus::FeedbackLocked(uint32_t canId, const uint8_t* data, uint8_t len,
                                uint32_t commandId, int feedbackId, int& state, int waitMs) {
    DrainLocked();
    if (!SendLocked(canId, data, len)) return jointbus::kNoReply;
    const bool answered = ReceiveUntil(fd, waitMs, [&](const can_frame& f) {
        if (f.can_id != uint32_t(feedbackId) || IsAnyRegisterReply(f.data, commandId)) return false;
        state = f.data[0] >> 4;
        return true;
    });
    return answered ? jointbus::kOk : jointbus::kNoReply;
}

int RegisterBus::ReadState(uint32_t commandId, int feedbackId, int& state, int waitMs) {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd < 0) return jointbus::kBusNotOpen;
    uint32_t offset = 0;
    int result = ModeAndFeedbackLocked(commandId, feedbackId, offset, waitMs);
    if (result != jointbus::kOk) return result;
    // A speed command of 0 (or, to a motor in speed mode, a position-speed command with
    // speed 0): even a motor that obeyed it would only stop.
    uint8_t data[8] = {};
    const bool speedMode = offset == kSpeed;
    return FeedbackLocked(commandId | (speedMode ? kPosSpeed : kSpeed), data, speedMode ? 8 : 4,
                          commandId, feedbackId, state, waitMs);
}

int RegisterBus::SetZero(uint32_t commandId, int feedbackId, int waitMs) {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd < 0) return jointbus::kBusNotOpen;
    uint32_t offset = 0;
    int result = ModeAndFeedbackLocked(commandId, feedbackId, offset, waitMs);
    if (result != jointbus::kOk) return result;
    uint8_t data[8];
    EncodeSpecial(kSaveZero, data);
    int state = 0;
    return FeedbackLocked(commandId | offset, data, 8, commandId, feedbackId, state, waitMs);
}

}  // namespace Damiao
