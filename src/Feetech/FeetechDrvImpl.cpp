#include "jointbus/Feetech/FeetechDrvImpl.h"

#include <errno.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "jointbus/common/logger.h"
#include "jointbus/driver/driver_uart.h"

using Feetech::kFeedbackBlock;
using Feetech::kFeedbackReply;
using Feetech::kMaxSyncReadIds;
using Feetech::kStatusReply;

FeetechDrvImpl::FeetechDrvImpl(std::shared_ptr<DriverUart> p, int id, unsigned int s)
    : servoId(id), spare(s), port(std::move(p)) {}

int FeetechDrvImpl::initCmdData(unsigned char* buf, unsigned int size, unsigned char instruction,
                                unsigned char id) {
    return Feetech::Begin(buf, size, instruction, id);
}

int FeetechDrvImpl::appendCmdData(unsigned char* dst, unsigned int dstSize, unsigned char* src,
                                  unsigned int srcLen) {
    if (dst == nullptr || src == nullptr || dstSize < srcLen) return -1;
    std::memcpy(dst, src, srcLen);
    return int(srcLen);
}

unsigned char FeetechDrvImpl::calcChecksum(unsigned char* data, unsigned int len) {
    return Feetech::Checksum(data, len);
}

int FeetechDrvImpl::genCmdData(unsigned char* buf, unsigned int size, unsigned char instruction,
                               unsigned char id, unsigned char* params, unsigned char n) {
    return Feetech::MakePacket(buf, size, instruction, id, params, n);
}

int FeetechDrvImpl::finalizeCmdData(unsigned char* buf, unsigned int pos) {
    return Feetech::Finish(buf, pos, kBufferSize);
}

unsigned short FeetechDrvImpl::EncodeSigned(short v) {
    return Feetech::EncodeSigned(v);
}

int FeetechDrvImpl::DecodeSigned(unsigned int word, unsigned int signBit) {
    return Feetech::DecodeSigned(word, signBit);
}

void FeetechDrvImpl::printHex(unsigned char* data, unsigned int len, bool withTime,
                              const char* prefix) {
    // The dump is only composed when DEBUG lines are shown.
    if (vantrel::Logger::Instance().level > vantrel::Logger::kDebug) return;
    std::string text;
    text.reserve(len * 3 + 32);
    if (withTime) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
        text += std::to_string(ms);
        text += ' ';
    }
    if (prefix != nullptr) {
        text += prefix;
        text += ' ';
    }
    static const char digits[] = "0123456789abcdef";
    for (unsigned i = 0; i < len; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xF];
        text += ' ';
        if ((i & 0xF) == 0xF) text += '\n';
    }
    LOG_DEBUG("{}\r\n", text);
}

// Logs why a reply is rejected; true when it is sound.
bool FeetechDrvImpl::CheckReply(const unsigned char* buf, int count, int expect) {
    switch (Feetech::CheckReply(buf, count, expect, servoId)) {
        case Feetech::ReplyFault::kNone:
            return true;
        case Feetech::ReplyFault::kHeaderOrId:
            LOG_ERROR("nodeID mismatch, msg: {}, , node: {}\r\n", int(buf[2]), servoId);
            return false;
        case Feetech::ReplyFault::kLength:
            if (count == expect && count >= 4)  // the right size, but its length byte disagrees
                LOG_ERROR("servo {} reply of {} bytes rejected: its length byte says {}, "
                          "expected {}\r\n",
                          servoId, count, int(buf[3]), expect - 4);
            else
                LOG_ERROR("servo {} reply of {} bytes rejected: expected {}\r\n", servoId, count,
                          expect);
            return false;
        case Feetech::ReplyFault::kChecksum:
            LOG_ERROR("servo {} reply rejected: checksum {:#04x}, expected {:#04x}\r\n", servoId,
                      buf[expect - 1], Feetech::Checksum(buf + 2, size_t(expect - 3)));
            return false;
    }
    return false;
}

int FeetechDrvImpl::SendPacket(unsigned char* buf, int length) {
    printHex(buf, unsigned(length), true, "->");
    return port->Write(buf, length);
}

int FeetechDrvImpl::WriteExchange(unsigned char* buf, int length) {
    printHex(buf, unsigned(length), true, "->");
    const int count = port->Read2(buf, length, kStatusReply);
    if (count <= 0) return count;
    printHex(buf, unsigned(count), true, "<-");
    if (!CheckReply(buf, count, kStatusReply)) return -1;
    lastStatus = buf[4];
    return count;
}

// Registers 41 to 47 (acceleration, goal position, goal time, goal speed) in one packet.
int FeetechDrvImpl::WritePosition(unsigned char instruction, short position, short speed,
                                  unsigned char acc, short time) {
    if (!port) return -1;
    unsigned char buf[kBufferSize] = {};
    const int count = WriteExchange(
        buf, Feetech::MakePositionWrite(buf, kBufferSize, instruction, uint8_t(servoId), position,
                                        speed, acc, uint16_t(time)));
    return count > 0 ? count : -1;
}

int FeetechDrvImpl::WritePosEx(short position, short speed, unsigned char acc, short time) {
    return WritePosition(kWrite, position, speed, acc, time);
}

int FeetechDrvImpl::RegWritePosEx(short position, short speed, unsigned char acc, short time) {
    return WritePosition(kRegWrite, position, speed, acc, time);
}

// Writes one byte to a register: FF FF id 04 03 reg value chk, and reads the status reply.
int FeetechDrvImpl::WriteRegister(unsigned char reg, unsigned char value) {
    if (!port) return -1;
    unsigned char buf[kBufferSize] = {};
    return WriteExchange(buf,
                         Feetech::MakeWrite(buf, kBufferSize, uint8_t(servoId), reg, &value, 1));
}

int FeetechDrvImpl::PositionMode() {
    return WriteRegister(kMode, 0);
}
int FeetechDrvImpl::WheelMode() {
    return WriteRegister(kMode, 1);
}
int FeetechDrvImpl::EnableTorque(unsigned char enable) {
    return WriteRegister(kTorqueEnable, enable);
}
int FeetechDrvImpl::CalibrationOfs() {
    return WriteRegister(kTorqueEnable, kCalibrate);
}
int FeetechDrvImpl::unLockEprom() {
    return WriteRegister(kLock, 0);
}
int FeetechDrvImpl::LockEprom() {
    return WriteRegister(kLock, 1);
}

int FeetechDrvImpl::WriteSpe(short speed, unsigned char acc) {
    if (!port) return -1;
    if (WriteRegister(kAcceleration, acc) <= 0) {
        LOG_ERROR("WriteSpe error: {}\r\n", strerror(errno));
        return 0;
    }
    unsigned char buf[kBufferSize] = {};
    unsigned char word[2];
    Feetech::PutWord(word, Feetech::EncodeSigned(speed));
    const int second = WriteExchange(
        buf, Feetech::MakeWrite(buf, kBufferSize, uint8_t(servoId), kGoalSpeed, word, 2));
    return second > 0 ? second : 0;
}

int FeetechDrvImpl::RegWriteAction() {
    if (!port) return -1;
    unsigned char buf[kBufferSize] = {};
    return SendPacket(buf, Feetech::MakeAction(buf, kBufferSize));
}

int FeetechDrvImpl::syncRead(const std::unordered_set<int>& ids, unsigned char addr,
                             unsigned char len) {
    return syncRead(std::vector<int>(ids.begin(), ids.end()), addr, len);
}

// The servos answer a SYNC READ while the next request would discard their replies, so a
// request that does not fit one packet is refused; the scheduler sends large buses in parts.
int FeetechDrvImpl::syncRead(const std::vector<int>& ids, unsigned char addr, unsigned char len) {
    if (ids.empty()) return 0;
    if (!port) return -1;
    if (ids.size() > kMaxSyncReadIds) {
        LOG_ERROR("SYNC READ of {} ids refused: at most {} fit one packet\r\n", ids.size(),
                  kMaxSyncReadIds);
        return -1;
    }
    unsigned char buf[kBufferSize] = {};
    return SendPacket(buf,
                      Feetech::MakeSyncRead(buf, kBufferSize, addr, len, ids.data(), ids.size()));
}

int FeetechDrvImpl::syncWrite(const std::vector<int>& ids, unsigned char addr, unsigned char len,
                              unsigned char* data) {
    if (ids.empty()) return 0;
    if (!port || (data == nullptr && len > 0)) return -1;
    return Feetech::SyncWrite(
        addr, len, ids.data(), ids.size(),
        [&](size_t k, uint8_t* block) {
            if (len > 0) std::memcpy(block, data + k * len, len);
        },
        [this](uint8_t* packet, int length) { return SendPacket(packet, length); });
}

int FeetechDrvImpl::syncWritePos(const std::vector<int>& ids, const std::vector<short>& positions,
                                 const std::vector<short>& speeds,
                                 const std::vector<unsigned char>& accs,
                                 const std::vector<unsigned char>& times) {
    if (ids.empty()) return 0;
    if (!port) return -1;
    const size_t n = ids.size();
    auto fits = [n](size_t size) { return size == 0 || size == n; };
    if (!fits(accs.size()) || !fits(positions.size()) || !fits(speeds.size()) ||
        !fits(times.size())) {
        LOG_ERROR("PVA parameter mismatch with IDs.\r\n");
        return -1;
    }
    return Feetech::SyncWrite(
        Feetech::kAcceleration, Feetech::kPositionBlock, ids.data(), n,
        [&](size_t k, uint8_t* block) {
            Feetech::PutPositionBlock(block, accs.empty() ? 0 : accs[k],
                                      positions.empty() ? 0 : positions[k],
                                      times.empty() ? 0 : times[k], speeds.empty() ? 0 : speeds[k]);
        },
        [this](uint8_t* packet, int length) { return SendPacket(packet, length); });
}

void FeetechDrvImpl::Start(ConsumerInterface* consumer) {
    if (port) port->StartReceive(consumer);
}

FeetechDrvImpl::Mode FeetechDrvImpl::ModeFor(int id, bool anyIdReceives) const {
    if (id == servoId) return Mode::kRequest;
    if (id == -1) return Mode::kCache;
    if (id == 0 || anyIdReceives) return Mode::kReceiveOnly;
    return Mode::kCache;
}

int FeetechDrvImpl::ReadReply(unsigned char* buf, bool request, unsigned char reg,
                              unsigned char count, int expect) {
    int n;
    if (request) {
        const int length = Feetech::MakeRead(buf, kBufferSize, uint8_t(servoId), reg, count);
        printHex(buf, unsigned(length), true, "->");
        n = port->Read2(buf, length, expect);
    } else {
        n = port->Read(buf, expect);
    }
    if (n <= 0) return n;
    n = SkipToHeader(buf, n, expect);
    printHex(buf, unsigned(n), true, "<-");
    if (CheckReply(buf, n, expect)) return n;
    if (!request && Feetech::CheckReply(buf, n, expect, -1) == Feetech::ReplyFault::kNone) {
        HandOnReply(buf, n);
    } else {
        GiveBackNextReply(buf, n);
    }
    return -1;
}

// Answers to a SYNC READ come in request order, so a sound reply for another servo means either
// that this servo stayed silent (the reply belongs to a servo read later) or that it answered
// under another servo's id (that servo's own reply follows at once). A short look at the line
// tells which, and the servo the bytes belong to gets its own reply.
void FeetechDrvImpl::HandOnReply(const unsigned char* buf, int n) {
    // Twice the reply's line time plus 1 ms for the servo's return delay.
    const int baud = std::max(port->baudRate.load(), 9600);
    const auto budget = std::chrono::microseconds(1000 + 2LL * n * 10 * 1000000 / baud);
    unsigned char both[2 * kBufferSize];
    std::memcpy(both, buf, size_t(n));
    const int more = std::max(0, port->ReadBriefly(both + n, n, budget));
    if (more == n && Feetech::CheckReply(both + n, n, n, buf[2]) == Feetech::ReplyFault::kNone) {
        port->Unread(both + n, n);  // this servo used the other's id: hand on the real reply
    } else {
        port->Unread(both, n + more);
    }
}

// Bytes before the first header (line noise) are dropped and the reply completed from the
// line, so that noise between replies costs nothing.
int FeetechDrvImpl::SkipToHeader(unsigned char* buf, int n, int expect) {
    const int start = Feetech::FindHeader(buf, n);
    if (start <= 0) return n;
    std::memmove(buf, buf + start, size_t(n - start));
    n -= start;
    const int more = port->Read(buf + n, expect - n);
    return more > 0 ? n + more : n;
}

// A rejected reply may have run into the next servo's reply (a truncated answer on a shared
// bus): the bytes from the next header on are given back to the port for the next reader.
void FeetechDrvImpl::GiveBackNextReply(const unsigned char* buf, int n) {
    const int next = Feetech::FindHeader(buf, n, 2);
    if (next > 0) port->Unread(buf + next, n - next);
}

// Reads a one- or two-byte register (two-byte values are sign-magnitude with `signBit`) and
// caches it; answers from the cache for id -1, for another servo's id, and when nothing came.
int FeetechDrvImpl::ReadRegister(int id, unsigned char reg, int& cached, int width,
                                 unsigned int signBit, bool anyIdReceives) {
    const Mode mode = ModeFor(id, anyIdReceives);
    if (mode == Mode::kCache || !port) {
        if (!port && id != -1) return -1;
        std::lock_guard<std::mutex> lock(cacheMutex);
        return cached;
    }
    unsigned char buf[kBufferSize] = {};
    const int n =
        ReadReply(buf, mode == Mode::kRequest, reg, static_cast<unsigned char>(width), 6 + width);
    std::lock_guard<std::mutex> lock(cacheMutex);
    if (n == -1) return -1;
    if (n <= 0) return cached;
    lastStatus = buf[4];
    cached = width == 1 ? buf[5] : Feetech::DecodeSigned(Feetech::GetWord(buf + 5), signBit);
    return cached;
}

int FeetechDrvImpl::ReadPos(int id) {
    return ReadRegister(id, kPresentPosition, presentPosition, 2, 15, false);
}
int FeetechDrvImpl::ReadSpeed(int id) {
    return ReadRegister(id, kPresentSpeed, presentSpeed, 2, 15, true);
}
int FeetechDrvImpl::ReadLoad(int id) {
    return ReadRegister(id, kPresentLoad, presentLoad, 2, 10, false);
}
int FeetechDrvImpl::ReadVoltage(int id) {
    return ReadRegister(id, kPresentVoltage, presentVoltage, 1, 0, false);
}
int FeetechDrvImpl::ReadTemper(int id) {
    return ReadRegister(id, kPresentTemperature, presentTemperature, 1, 0, false);
}
int FeetechDrvImpl::ReadMove(int id) {
    return ReadRegister(id, kMoving, moving, 1, 0, false);
}

// The argument only selects the cache (-1); any other value requests from this servo.
int FeetechDrvImpl::ReadCurrent(int id) {
    return ReadRegister(id == -1 ? -1 : servoId, kPresentCurrent, presentCurrent, 2, 15, false);
}

// Not cached: the torque-enable byte. Any id but this servo's reads without a request.
int FeetechDrvImpl::ReadTorque(int id) {
    if (!port) return -1;
    unsigned char buf[kBufferSize] = {};
    const int n = ReadReply(buf, id == servoId, kTorqueEnable, 1, 7);
    if (n <= 0) return -1;
    std::lock_guard<std::mutex> lock(cacheMutex);
    lastStatus = buf[4];
    return buf[5];
}

int FeetechDrvImpl::FeedBack(int id) {
    if (!port) return -1;
    const Mode mode = ModeFor(id);
    if (mode == Mode::kCache) return 0;
    unsigned char buf[kBufferSize] = {};
    const int n =
        ReadReply(buf, mode == Mode::kRequest, kPresentPosition, kFeedbackBlock, kFeedbackReply);
    if (n <= 0) return n;
    const Feetech::Feedback fb = Feetech::ParseFeedback(buf);
    std::lock_guard<std::mutex> lock(cacheMutex);
    lastStatus = fb.status;
    presentPosition = fb.position;
    presentSpeed = fb.speed;
    presentLoad = fb.load;
    presentVoltage = fb.voltage;
    presentTemperature = fb.temperature;
    servoStatus = fb.servoStatus;
    moving = fb.moving;
    presentCurrent = fb.current;
    return n;
}
