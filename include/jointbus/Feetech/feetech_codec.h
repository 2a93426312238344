#pragma once

// Feetech SMS/STS packets: pure building and checking, no I/O, no locks, no logging.
//
// Packet: FF FF id length instruction/status params... checksum, where length = params + 2
// and checksum = ~(id + length + instruction + params) & 0xFF. Multi-byte values are sent
// low byte first; signed values are sign-magnitude (bit 15, or bit 10 for the load).
//
// Builders write into a caller's buffer and return the packet's length, or -1 when the buffer
// is missing or too small; nothing is written past `size`.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Feetech {

// Largest packet the library builds (and its request buffers' size).
constexpr size_t kMaxPacket = 128;
constexpr uint8_t kBroadcast = 0xFE;
constexpr uint8_t kCalibrate = 0x80;  // written to the torque-enable register

enum Instruction : uint8_t {
    kPing = 0x01,
    kRead = 0x02,
    kWrite = 0x03,
    kRegWrite = 0x04,
    kAction = 0x05,
    kSyncRead = 0x82,
    kSyncWrite = 0x83
};

enum Register : uint8_t {
    kFirmwareMajor = 0,  // EEPROM, below kEepromEnd: kept only while the lock is open
    kFirmwareMinor = 1,
    kModel = 3,
    kId = 5,
    kBaud = 6,
    kReturnDelay = 7,
    kMinAngle = 9,
    kMaxAngle = 11,
    kOffset = 31,
    kMode = 33,
    kEepromEnd = 40,
    kTorqueEnable = 40,  // RAM from here on
    kAcceleration = 41,
    kGoalPosition = 42,
    kGoalTime = 44,
    kGoalSpeed = 46,
    kLock = 55,
    kPresentPosition = 56,
    kPresentSpeed = 58,
    kPresentLoad = 60,
    kPresentVoltage = 62,
    kPresentTemperature = 63,
    kServoStatus = 65,
    kMoving = 66,
    kPresentCurrent = 69
};

// Reply sizes: a status packet without data, and the feedback block (registers 56 to 70).
constexpr int kStatusReply = 6;
constexpr uint8_t kFeedbackBlock = 15;
constexpr int kFeedbackReply = 6 + kFeedbackBlock;
// Registers 41 to 47 (acceleration, goal position, goal time, goal speed) of a position write.
constexpr uint8_t kPositionBlock = 7;
// Ids one SYNC READ packet holds.
constexpr size_t kMaxSyncReadIds = kMaxPacket - 8;

// The NOT of the 8-bit sum of `len` bytes (0xFF for none).
inline uint8_t Checksum(const uint8_t* data, size_t len) {
    unsigned sum = 0;
    for (size_t i = 0; i < len; ++i) sum += data[i];
    return uint8_t(~sum & 0xFF);
}

inline uint16_t EncodeSigned(int16_t v) {
    if (v < 0) return uint16_t((-int(v)) | 0x8000);
    return uint16_t(v);
}

inline int DecodeSigned(unsigned word, unsigned signBit = 15) {
    const unsigned mask = 1u << signBit;
    if (word & mask) return -int(word & ~mask & 0xFFFF);
    return int(word);
}

inline void PutWord(uint8_t* at, uint16_t w) {
    at[0] = uint8_t(w & 0xFF);
    at[1] = uint8_t(w >> 8);
}

inline unsigned GetWord(const uint8_t* at) {
    return unsigned(at[0] | at[1] << 8);
}

// Header, id, a zero length byte and the instruction; returns 5, the next free index.
inline int Begin(uint8_t* buf, size_t size, uint8_t instruction, uint8_t id) {
    if (buf == nullptr || size < 6) return -1;
    buf[0] = 0xFF;
    buf[1] = 0xFF;
    buf[2] = id;
    buf[3] = 0;
    buf[4] = instruction;
    return 5;
}

// Closes a packet built up to index `pos` (where the checksum goes): sets the length byte and
// the checksum, and returns the packet's length; 0 when pos is 4 or less or past the buffer.
inline int Finish(uint8_t* buf, size_t pos, size_t size) {
    if (buf == nullptr || pos <= 4 || pos >= size) return 0;
    buf[3] = uint8_t(pos - 3);
    buf[pos] = Checksum(buf + 2, pos - 2);
    return int(pos + 1);
}

// A whole packet of `n` parameter bytes (none when params is null).
inline int MakePacket(uint8_t* buf, size_t size, uint8_t instruction, uint8_t id,
                      const uint8_t* params, size_t n) {
    if (params == nullptr) n = 0;
    if (buf == nullptr || n + 6 > size) return -1;
    Begin(buf, size, instruction, id);
    buf[3] = uint8_t(n + 2);
    if (n > 0) std::memcpy(buf + 5, params, n);
    buf[5 + n] = Checksum(buf + 2, 3 + n);
    return int(n + 6);
}

// PING: the servo answers with a status packet without data.
inline int MakePing(uint8_t* buf, size_t size, uint8_t id) {
    return MakePacket(buf, size, kPing, id, nullptr, 0);
}

// READ of `count` bytes from register `reg`; the reply is 6 + count bytes.
inline int MakeRead(uint8_t* buf, size_t size, uint8_t id, uint8_t reg, uint8_t count) {
    const uint8_t params[2] = {reg, count};
    return MakePacket(buf, size, kRead, id, params, 2);
}

// WRITE of `n` bytes from register `reg` on (at most kMaxPacket - 7 bytes).
inline int MakeWrite(uint8_t* buf, size_t size, uint8_t id, uint8_t reg, const uint8_t* data,
                     size_t n) {
    if (data == nullptr && n > 0) return -1;
    uint8_t params[kMaxPacket];
    if (n + 1 > sizeof params) return -1;
    params[0] = reg;
    if (n > 0) std::memcpy(params + 1, data, n);
    return MakePacket(buf, size, kWrite, id, params, n + 1);
}

// ACTION to every servo: those holding a REG WRITE apply it.
inline int MakeAction(uint8_t* buf, size_t size) {
    return MakePacket(buf, size, kAction, kBroadcast, nullptr, 0);
}

// The 7 bytes of registers 41 to 47: acceleration, position, time, speed.
inline void PutPositionBlock(uint8_t* at, uint8_t acc, int16_t position, uint16_t time,
                             int16_t speed) {
    at[0] = acc;
    PutWord(at + 1, EncodeSigned(position));
    PutWord(at + 3, time);
    PutWord(at + 5, EncodeSigned(speed));
}

// WRITE (or REG WRITE) of a position block to one servo.
inline int MakePositionWrite(uint8_t* buf, size_t size, uint8_t instruction, uint8_t id,
                             int16_t position, int16_t speed, uint8_t acc, uint16_t time) {
    if (buf == nullptr || size < 14) return -1;
    Begin(buf, size, instruction, id);
    buf[5] = kAcceleration;
    PutPositionBlock(buf + 6, acc, position, time, speed);
    return Finish(buf, 13, size);
}

// SYNC READ of `len` bytes from `addr` for `n` ids; each servo answers in turn with a status
// packet of 6 + len bytes. -1 when the ids do not fit one packet.
template <typename Id>
int MakeSyncRead(uint8_t* buf, size_t size, uint8_t addr, uint8_t len, const Id* ids, size_t n) {
    if (buf == nullptr || n + 8 > size) return -1;
    Begin(buf, size, kSyncRead, kBroadcast);
    buf[5] = addr;
    buf[6] = len;
    size_t pos = 7;
    for (size_t k = 0; k < n; ++k) buf[pos++] = uint8_t(ids[k]);
    return Finish(buf, pos, size);
}

// Servos one SYNC WRITE packet of kMaxPacket bytes holds for `len` data bytes each.
inline size_t SyncWriteIdsPerPacket(uint8_t len) {
    return (kMaxPacket - 8) / (size_t(len) + 1);
}

// Sends a SYNC WRITE of `len` bytes from `addr` to `n` servos in as many packets as it needs,
// in id order. fill(k, block) writes the `len` bytes of servo k; send(packet, length) puts a
// packet on the line and returns a count, <= 0 for a failure, which ends the run. Returns the
// last send's result, 0 for no ids, -1 when `len` leaves no room.
template <typename Id, typename Fill, typename Send>
int SyncWrite(uint8_t addr, uint8_t len, const Id* ids, size_t n, Fill&& fill, Send&& send) {
    if (n == 0) return 0;
    const size_t perPacket = SyncWriteIdsPerPacket(len);
    if (perPacket == 0) return -1;
    int result = 0;
    for (size_t first = 0; first < n; first += perPacket) {
        const size_t last = n < first + perPacket ? n : first + perPacket;
        uint8_t buf[kMaxPacket] = {};
        Begin(buf, sizeof buf, kSyncWrite, kBroadcast);
        buf[5] = addr;
        buf[6] = len;
        size_t pos = 7;
        // The second bound never ends the loop early (perPacket ids always fit); it tells the
        // optimiser that every block lies inside the buffer.
        for (size_t k = first; k < last && pos + 1 + len < sizeof buf; ++k) {
            buf[pos++] = uint8_t(ids[k]);
            fill(k, buf + pos);
            pos += len;
        }
        result = send(buf, Finish(buf, pos, sizeof buf));
        if (result <= 0) return result;
    }
    return result;
}

// What is wrong with a reply, if anything.
enum class ReplyFault {
    kNone,
    kHeaderOrId,  // no FF FF header, or another servo's id
    kLength,      // not `expect` bytes, or a length byte that does not say so
    kChecksum
};

// Checks a reply of `n` bytes that should be `expect` bytes long from servo `id` (any id when
// id is negative).
inline ReplyFault CheckReply(const uint8_t* buf, int n, int expect, int id) {
    if (n >= 3 && (buf[0] != 0xFF || buf[1] != 0xFF || (id >= 0 && buf[2] != id)))
        return ReplyFault::kHeaderOrId;
    if (n != expect || expect < 6 || buf[3] != expect - 4) return ReplyFault::kLength;
    if (buf[expect - 1] != Checksum(buf + 2, size_t(expect - 3))) return ReplyFault::kChecksum;
    return ReplyFault::kNone;
}

// Index of the first FF FF header at or after `from`, or -1.
inline int FindHeader(const uint8_t* buf, int n, int from = 0) {
    for (int i = from; i + 1 < n; ++i)
        if (buf[i] == 0xFF && buf[i + 1] == 0xFF) return i;
    return -1;
}

// The feedback block of a checked reply to a read of registers 56 to 70.
struct Feedback {
    int status = 0;
    int position = 0, speed = 0, load = 0;
    int voltage = 0, temperature = 0;
    int servoStatus = 0, moving = 0, current = 0;
};

inline Feedback ParseFeedback(const uint8_t* reply) {
    Feedback fb;
    fb.status = reply[4];
    fb.position = DecodeSigned(GetWord(reply + 5));
    fb.speed = DecodeSigned(GetWord(reply + 7));
    fb.load = DecodeSigned(GetWord(reply + 9), 10);
    fb.voltage = reply[11];
    fb.temperature = reply[12];
    fb.servoStatus = reply[14];
    fb.moving = reply[15];
    fb.current = DecodeSigned(GetWord(reply + 18));
    return fb;
}

}  // namespace Feetech
