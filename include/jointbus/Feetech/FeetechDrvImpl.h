#pragma once

#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "jointbus/Feetech/feetech_codec.h"
#include "jointbus/common/consumer_interface.h"
#include "jointbus/common/export.h"

class DriverUart;

// The Feetech SMS/STS packet protocol for one servo on a shared serial port: the servo's
// register reads and writes, the broadcast SYNC READ / SYNC WRITE / ACTION, and a cache of the
// last decoded feedback. Packets are built and checked by the codec (feetech_codec.h); the
// static builders below are that codec under their historical names.
//
// Every reply is checked before it is used: header, id, length byte, checksum and the
// number of bytes received. A reply that fails any check is rejected with an ERROR line and
// -1; the cache is left unchanged.
//
// Requests are built in a 128-byte buffer. A SYNC WRITE of more servos than one packet holds
// (15 for positions) and a SYNC READ of more than 120 ids are sent as several packets, in
// order, so every servo is still served.
//
// Any thread may call an engine; a SYNC READ request and its replies must come from one
// thread with no other traffic between them (the scheduler's tick does all of it).
class JOINTBUS_API FeetechDrvImpl {
public:
    static constexpr unsigned kBufferSize = Feetech::kMaxPacket;
    enum Instruction : unsigned char {
        kRead = Feetech::kRead,
        kWrite = Feetech::kWrite,
        kRegWrite = Feetech::kRegWrite,
        kAction = Feetech::kAction,
        kSyncRead = Feetech::kSyncRead,
        kSyncWrite = Feetech::kSyncWrite
    };
    enum Register : unsigned char {
        kMode = Feetech::kMode,
        kTorqueEnable = Feetech::kTorqueEnable,
        kAcceleration = Feetech::kAcceleration,
        kGoalPosition = Feetech::kGoalPosition,
        kGoalTime = Feetech::kGoalTime,
        kGoalSpeed = Feetech::kGoalSpeed,
        kLock = Feetech::kLock,
        kPresentPosition = Feetech::kPresentPosition,
        kPresentSpeed = Feetech::kPresentSpeed,
        kPresentLoad = Feetech::kPresentLoad,
        kPresentVoltage = Feetech::kPresentVoltage,
        kPresentTemperature = Feetech::kPresentTemperature,
        kServoStatus = Feetech::kServoStatus,
        kMoving = Feetech::kMoving,
        kPresentCurrent = Feetech::kPresentCurrent
    };
    static constexpr unsigned char kBroadcast = Feetech::kBroadcast;
    static constexpr unsigned char kCalibrate = Feetech::kCalibrate;  // written to register 40

    FeetechDrvImpl(std::shared_ptr<DriverUart> port, int id, unsigned int spare);

    // Packet building on a caller's buffer.
    static int initCmdData(unsigned char* buf, unsigned int size, unsigned char instruction,
                           unsigned char id);
    static int appendCmdData(unsigned char* dst, unsigned int dstSize, unsigned char* src,
                             unsigned int srcLen);
    static unsigned char calcChecksum(unsigned char* data, unsigned int len);
    static int genCmdData(unsigned char* buf, unsigned int size, unsigned char instruction,
                          unsigned char id, unsigned char* params, unsigned char n);
    static int finalizeCmdData(unsigned char* buf, unsigned int pos);
    // Sign-magnitude words: bit 15 (or bit 10 for the load) holds the sign.
    static unsigned short EncodeSigned(short v);
    static int DecodeSigned(unsigned int word, unsigned int signBit = 15);

    int WritePosEx(short position, short speed, unsigned char acc, short time);
    int RegWritePosEx(short position, short speed, unsigned char acc, short time);
    int PositionMode();
    int WheelMode();
    int EnableTorque(unsigned char enable);
    int CalibrationOfs();
    int unLockEprom();
    int LockEprom();
    int WriteSpe(short speed, unsigned char acc);
    int RegWriteAction();
    int syncRead(const std::unordered_set<int>& ids, unsigned char addr, unsigned char len);
    int syncRead(const std::vector<int>& ids, unsigned char addr, unsigned char len);
    int syncWrite(const std::vector<int>& ids, unsigned char addr, unsigned char len,
                  unsigned char* data);
    int syncWritePos(const std::vector<int>& ids, const std::vector<short>& positions,
                     const std::vector<short>& speeds, const std::vector<unsigned char>& accs,
                     const std::vector<unsigned char>& times);
    void Start(ConsumerInterface* consumer);
    void printHex(unsigned char* data, unsigned int len, bool withTime, const char* prefix);

    // Reads: id == servoId requests and reads the reply; id 0 only reads a reply (the answer
    // to a SYNC READ); id -1 answers from the cache.
    int FeedBack(int id);
    int ReadPos(int id);
    int ReadSpeed(int id);
    int ReadLoad(int id);
    int ReadVoltage(int id);
    int ReadTemper(int id);
    int ReadMove(int id);
    int ReadCurrent(int id);
    int ReadTorque(int id);

    int lastStatus = 0;
    int servoId;
    unsigned int spare;
    int presentSpeed = 0;
    int presentPosition = 0;
    int presentLoad = 0;
    int presentVoltage = 0;
    int presentTemperature = 0;
    int presentCurrent = 0;
    int servoStatus = 0;
    int moving = 0;
    std::mutex cacheMutex;
    std::shared_ptr<DriverUart> port;

private:
    enum class Mode { kRequest, kReceiveOnly, kCache };
    Mode ModeFor(int id, bool anyIdReceives = false) const;
    // One addressed write exchange; returns the reply count, or -1 for a rejected reply.
    int WriteExchange(unsigned char* buf, int length);
    int WriteRegister(unsigned char reg, unsigned char value);
    int WritePosition(unsigned char instruction, short position, short speed, unsigned char acc,
                      short time);
    // Reads a reply of `expect` bytes (requesting it first when asked); returns the count, 0
    // or a negative port result when nothing came, -1 when the reply was rejected.
    int ReadReply(unsigned char* buf, bool request, unsigned char reg, unsigned char count,
                  int expect);
    bool CheckReply(const unsigned char* buf, int count, int expect);
    int SkipToHeader(unsigned char* buf, int n, int expect);
    void HandOnReply(const unsigned char* buf, int n);
    void GiveBackNextReply(const unsigned char* buf, int n);
    int ReadRegister(int id, unsigned char reg, int& cached, int width, unsigned int signBit,
                     bool anyIdReceives);
    int SendPacket(unsigned char* buf, int length);
};
