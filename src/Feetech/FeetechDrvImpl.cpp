#include "jointbus/Feetech/FeetechDrvImpl.h"

#include <errno.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "jointbus/common/logger.h"
#include "jointbus/driver/driver_uart.h"

namespace {

constexpr unsigned kMaxSyncReadIds = FeetechDrvImpl::kBufferSize - 8;  // 120
constexpr int kStatusReply = 6;                                        // FF FF id 02 status chk
constexpr int kFeedbackBlock = 15;                                     // registers 56 to 70

}  // namespace

FeetechDrvImpl::FeetechDrvImpl(std::shared_ptr<DriverUart> p, int id, unsigned int s)
    : servoId(id), spare(s), port(std::move(p)) {}

int FeetechDrvImpl::initCmdData(unsigned char* buf, unsigned int size, unsigned char instruction,
                                unsigned char id) {
    if (buf == nullptr || size < 6) return -1;
    buf[0] = 0xFF;
    buf[1] = 0xFF;
    buf[2] = id;
    buf[3] = 0;
    buf[4] = instruction;
    return 5;
}

int FeetechDrvImpl::appendCmdData(unsigned char* dst, unsigned int dstSize, unsigned char* src,
                                  unsigned int srcLen) {
    if (dst == nullptr || src == nullptr || dstSize < srcLen) return -1;
    std::memcpy(dst, src, srcLen);
    return int(srcLen);
}

unsigned char FeetechDrvImpl::calcChecksum(unsigned char* data, unsigned int len) {
    unsigned sum = 0;
    for (unsigned i = 0; i < len; ++i) sum += data[i];
    return static_cast<unsigned char>(~sum & 0xFF);
}

int FeetechDrvImpl::genCmdData(unsigned char* buf, unsigned int size, unsigned char instruction,
                               unsigned char id, unsigned char* params, unsigned char n) {
    if (params == nullptr) n = 0;
    if (buf == nullptr || unsigned(n) + 6 > size) return -1;
    initCmdData(buf, size, instruction, id);
    buf[3] = static_cast<unsigned char>(n + 2);
    if (n > 0) std::memcpy(buf + 5, params, n);
    buf[5 + n] = calcChecksum(buf + 2, 3u + n);
    return n + 6;
}

int FeetechDrvImpl::finalizeCmdData(unsigned char* buf, unsigned int pos) {
    if (buf == nullptr || pos <= 4 || pos >= kBufferSize) return 0;
    buf[3] = static_cast<unsigned char>(pos - 3);
    buf[pos] = calcChecksum(buf + 2, pos - 2);
    return int(pos + 1);
}

unsigned short FeetechDrvImpl::EncodeSigned(short v) {
    if (v < 0) return static_cast<unsigned short>((-int(v)) | 0x8000);
    return static_cast<unsigned short>(v);
}

int FeetechDrvImpl::DecodeSigned(unsigned int word, unsigned int signBit) {
    const unsigned int mask = 1u << signBit;
    if (word & mask) return -int(word & ~mask & 0xFFFF);
    return int(word);
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

bool FeetechDrvImpl::CheckReply(const unsigned char* buf, int count, int expect) {
    if (count >= 3 && (buf[0] != 0xFF || buf[1] != 0xFF || buf[2] != servoId)) {
        LOG_ERROR("nodeID mismatch, msg: {}, , node: {}\r\n", int(buf[2]), servoId);
        return false;
    }
    if (count != expect || buf[3] != expect - 4) {
        LOG_ERROR("servo {} reply of {} bytes rejected: expected {}\r\n", servoId, count, expect);
        return false;
    }
    const unsigned char sum =
        calcChecksum(const_cast<unsigned char*>(buf) + 2, unsigned(expect - 3));
    if (buf[expect - 1] != sum) {
        LOG_ERROR("servo {} reply rejected: checksum {:#04x}, expected {:#04x}\r\n", servoId,
                  buf[expect - 1], sum);
        return false;
    }
    return true;
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

namespace {
// Low and high byte of a word.
inline void PutWord(unsigned char* at, unsigned short w) {
    at[0] = static_cast<unsigned char>(w & 0xFF);
    at[1] = static_cast<unsigned char>(w >> 8);
}
}  // namespace

// Registers 41 to 47 (acceleration, goal position, goal time, goal speed) in one packet.
int FeetechDrvImpl::WritePosition(unsigned char instruction, short position, short speed,
                                  unsigned char acc, short time) {
    if (!port) return -1;
    unsigned char buf[kBufferSize] = {};
    initCmdData(buf, kBufferSize, instruction, static_cast<unsigned char>(servoId));
    buf[5] = kAcceleration;
    buf[6] = acc;
    PutWord(buf + 7, EncodeSigned(position));
    PutWord(buf + 9, static_cast<unsigned short>(time));
    PutWord(buf + 11, EncodeSigned(speed));
    const int count = WriteExchange(buf, finalizeCmdData(buf, 13));
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
    unsigned char params[2] = {reg, value};
    return WriteExchange(
        buf, genCmdData(buf, kBufferSize, kWrite, static_cast<unsigned char>(servoId), params, 2));
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
    unsigned char speedParams[3] = {kGoalSpeed, 0, 0};
    PutWord(speedParams + 1, EncodeSigned(speed));
    const int second = WriteExchange(
        buf,
        genCmdData(buf, kBufferSize, kWrite, static_cast<unsigned char>(servoId), speedParams, 3));
    return second > 0 ? second : 0;
}

int FeetechDrvImpl::RegWriteAction() {
    if (!port) return -1;
    unsigned char buf[kBufferSize] = {};
    return SendPacket(buf, genCmdData(buf, kBufferSize, kAction, kBroadcast, nullptr, 0));
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
    initCmdData(buf, kBufferSize, kSyncRead, kBroadcast);
    buf[5] = addr;
    buf[6] = len;
    unsigned pos = 7;
    for (int id : ids) buf[pos++] = static_cast<unsigned char>(id);
    return SendPacket(buf, finalizeCmdData(buf, pos));
}

int FeetechDrvImpl::syncWrite(const std::vector<int>& ids, unsigned char addr, unsigned char len,
                              unsigned char* data) {
    if (ids.empty()) return 0;
    if (!port || (data == nullptr && len > 0)) return -1;
    const size_t perPacket = (kBufferSize - 8) / (size_t(len) + 1);
    if (perPacket == 0) return -1;
    int result = 0;
    for (size_t first = 0; first < ids.size(); first += perPacket) {
        const size_t last = std::min(ids.size(), first + perPacket);
        unsigned char buf[kBufferSize] = {};
        initCmdData(buf, kBufferSize, kSyncWrite, kBroadcast);
        buf[5] = addr;
        buf[6] = len;
        unsigned pos = 7;
        for (size_t k = first; k < last; ++k) {
            buf[pos++] = static_cast<unsigned char>(ids[k]);
            if (len > 0) std::memcpy(buf + pos, data + k * len, len);
            pos += len;
        }
        result = SendPacket(buf, finalizeCmdData(buf, pos));
        if (result <= 0) return result;
    }
    return result;
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
    constexpr size_t kBlock = 7;                                    // registers 41 to 47
    constexpr size_t perPacket = (kBufferSize - 8) / (kBlock + 1);  // 15
    int result = 0;
    for (size_t first = 0; first < n; first += perPacket) {
        const size_t last = std::min(n, first + perPacket);
        unsigned char buf[kBufferSize] = {};
        initCmdData(buf, kBufferSize, kSyncWrite, kBroadcast);
        buf[5] = kAcceleration;
        buf[6] = kBlock;
        unsigned pos = 7;
        for (size_t k = first; k < last; ++k) {
            buf[pos++] = static_cast<unsigned char>(ids[k]);
            buf[pos++] = accs.empty() ? 0 : accs[k];
            PutWord(buf + pos, positions.empty() ? 0 : EncodeSigned(positions[k]));
            pos += 2;
            buf[pos++] = times.empty() ? 0 : times[k];
            buf[pos++] = 0;
            PutWord(buf + pos, speeds.empty() ? 0 : EncodeSigned(speeds[k]));
            pos += 2;
        }
        result = SendPacket(buf, finalizeCmdData(buf, pos));
        if (result <= 0) return result;
    }
    return result;
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
        unsigned char params[2] = {reg, count};
        const int length =
            genCmdData(buf, kBufferSize, kRead, static_cast<unsigned char>(servoId), params, 2);
        printHex(buf, unsigned(length), true, "->");
        n = port->Read2(buf, length, expect);
    } else {
        n = port->Read(buf, expect);
    }
    if (n <= 0) return n;
    n = SkipToHeader(buf, n, expect);
    printHex(buf, unsigned(n), true, "<-");
    if (CheckReply(buf, n, expect)) return n;
    if (!request && IsWholeReply(buf, n, expect)) {
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
    if (more == n && IsWholeReply(both + n, n, n) && both[n + 2] == buf[2]) {
        port->Unread(both + n, n);  // this servo used the other's id: hand on the real reply
    } else {
        port->Unread(both, n + more);
    }
}

bool FeetechDrvImpl::IsWholeReply(const unsigned char* buf, int n, int expect) {
    return n == expect && buf[0] == 0xFF && buf[1] == 0xFF && buf[3] == expect - 4 &&
           buf[expect - 1] ==
               calcChecksum(const_cast<unsigned char*>(buf) + 2, unsigned(expect - 3));
}

// Bytes before the first header (line noise) are dropped and the reply completed from the
// line, so that noise between replies costs nothing.
int FeetechDrvImpl::SkipToHeader(unsigned char* buf, int n, int expect) {
    int start = 0;
    while (start + 1 < n && !(buf[start] == 0xFF && buf[start + 1] == 0xFF)) ++start;
    if (start == 0 || start + 1 >= n) return n;
    std::memmove(buf, buf + start, size_t(n - start));
    n -= start;
    const int more = port->Read(buf + n, expect - n);
    return more > 0 ? n + more : n;
}

// A rejected reply may have run into the next servo's reply (a truncated answer on a shared
// bus): the bytes from the next header on are given back to the port for the next reader.
void FeetechDrvImpl::GiveBackNextReply(const unsigned char* buf, int n) {
    for (int i = 2; i + 1 < n; ++i) {
        if (buf[i] == 0xFF && buf[i + 1] == 0xFF) {
            port->Unread(buf + i, n - i);
            return;
        }
    }
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
    cached = width == 1 ? buf[5] : DecodeSigned(unsigned(buf[5] | buf[6] << 8), signBit);
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
    const int n = ReadReply(buf, mode == Mode::kRequest, kPresentPosition, kFeedbackBlock,
                            5 + kFeedbackBlock + 1);
    if (n <= 0) return n;
    std::lock_guard<std::mutex> lock(cacheMutex);
    lastStatus = buf[4];
    presentPosition = DecodeSigned(unsigned(buf[5] | buf[6] << 8));
    presentSpeed = DecodeSigned(unsigned(buf[7] | buf[8] << 8));
    presentLoad = DecodeSigned(unsigned(buf[9] | buf[10] << 8), 10);
    presentVoltage = buf[11];
    presentTemperature = buf[12];
    servoStatus = buf[14];
    moving = buf[15];
    presentCurrent = DecodeSigned(unsigned(buf[18] | buf[19] << 8));
    return n;
}
