#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/result_codes.h"

class FeetechDrvImpl;
namespace servo {
class SMS_STS_THREAD;
}

// One Feetech SMS/STS serial bus servo (the gripper). Setters convert to servo units and
// leave the command in a mailbox; the scheduler of its serial port (servo::SMS_STS_THREAD)
// sends it on its next 5 ms tick and writes the feedback back. Getters only convert the last
// feedback.
//
// Units: rad and rad/s at the interface; ticks inside (tick 2048 is 0°; 0.088° per feedback
// tick, 360/4096° per command tick). Position targets pass a filter: a target more than 10°
// from the present position is not followed (the servo holds where it was), and accepted
// targets move by at most 2.55° per call. Goal positions are kept within ticks 0 to 4095 and
// speeds within the 16-bit range (a position command's speed is 0 to 32767).
//
// Result codes (all listed in jointbus/common/result_codes.h): 0 success; 3006 homing not done in
// time; 5002 setter refused, the servo is not online; 5004 not online (getEnableStatus), and from
// init when the port cannot be opened (the servo stays registered and is served once it is); 5005 a
// setter was given NaN (nothing posted; infinite and out-of-range values are saturated to the
// ranges above, and an infinite position target is too far away, so the servo holds). Direct bus
// operations return the engine's results, or -1 before init().
//
// Locks: the scheduler's servoMutex before motorMutex; motorMutex is never held across bus
// traffic.
class JOINTBUS_API feetechMotor : public CtrlMotorInterface {
public:
    static constexpr int kNotANumber = jointbus::kFeetechNotANumber;

    feetechMotor(unsigned int id, unsigned int baud, std::string& device, bool inverse);
    // From the library's default parameter file, and from the file at `path`.
    feetechMotor(unsigned int id, bool inverse);
    feetechMotor(unsigned int id, std::string& path);
    ~feetechMotor() override;  // deregisters from the scheduler, waiting for its tick
    feetechMotor(const feetechMotor&) = delete;
    feetechMotor& operator=(const feetechMotor&) = delete;

    void initfeetechMotor(unsigned int id, unsigned int baud, std::string& device, bool inverse);
    int function_get_para(unsigned int id, std::string& path);

    int init() override;
    int setMotorPosition(double rad) override;
    int setMotorPosition(double rad, double unused) override;
    int setMotorPosition(double rad, double speed, double time) override;
    int getMotorPosition(double& out) override;
    int setEnableStatus(bool enable) override;
    int getEnableStatus(bool& out) override;
    int setHome(unsigned int timeoutSec) override;  // blocks, polling every 10 ms
    // Cuts a waiting setHome short: it withdraws the homing request and returns 3006 within
    // one poll. With no setHome waiting, the next one returns so at once. Any thread, and a
    // signal handler too (it only stores a lock-free flag).
    void abortHome();
    // Seconds since the servo's last accepted reply (feedback or torque-enable read): 0, or
    // 5004 (seconds untouched) when none has come since the servo was created. Any thread.
    // The scheduler takes a servo offline at the first torque-enable read it misses.
    int getFeedbackAge(double& seconds);
    // The goal of the last position command posted (rad, the caller's direction): 0, or 5004
    // (out untouched) when the last command was none or a velocity. Any thread.
    int getTargetPosition(double& out);
    int getTorque(double& out) override;
    int getVelocity(double& out) override;
    int setVelocity(double radPerSec) override;
    int getMotorTemperature(int& out) override;

    int setGripperStatus(double rad, double speed, double time);
    int setSpeed(double speed, double acc);
    void getState();
    int getCurrent(double& out);
    int getLoad(int& out);

    // Bus operations, called from the scheduler's thread (they block on the serial line).
    int readStatus(int fromSync);
    int readEnable(int fromSync);
    int setEnable(bool enable);
    int setHomeCmd();
    int setTargetPos(short position, short speed, unsigned char acc, unsigned short time);
    int setTargetPosAsync(short position, short speed, unsigned char acc, unsigned short time);
    int setTargetVel(short speed, unsigned char acc);
    int setPositionMode();
    int setWheelMode();
    int setAsyncAction();
    int syncReadStatus(const std::unordered_set<int>& ids);
    int syncReadStatus(const std::vector<int>& ids);
    int syncReadEnable(const std::unordered_set<int>& ids);
    int syncReadEnable(const std::vector<int>& ids);
    int syncWrite(const std::vector<int>& ids, unsigned char addr, unsigned char len,
                  unsigned char* data);
    int syncWritePos(const std::vector<int>& ids, const std::vector<short>& positions,
                     const std::vector<short>& speeds, const std::vector<unsigned char>& accs,
                     const std::vector<unsigned char>& times);

    struct State {
        float positionDeg = 0, speedDeg = 0;
        int load = 0, voltage = 0, temperature = 0, moving = 0, current = 0;
        bool enabled = false, online = false;
    };

    servo::SMS_STS_THREAD* scheduler = nullptr;
    State state;
    int fbId = 0;
    // Feedback and mailbox: guarded by motorMutex.
    int fbPosition = 0, fbSpeed = 0, fbLoad = 0, fbVoltage = 0, fbTemperature = 0, fbMoving = 0,
        fbCurrent = 0;
    bool fbEnabled = false;
    bool online = false;
    uint16_t goalPosition = 0;
    int16_t goalSpeed = 0;
    uint16_t goalTime = 0;
    bool cmdPending = false;
    int cmdKind = 0;
    bool enableCmd = false;
    std::atomic<bool> homeRequest{false};  // polled by setHome without the lock
    uint8_t acceleration = 0;
    std::mutex motorMutex;
    std::shared_ptr<FeetechDrvImpl> drv;
    // Position filter: guarded by motorMutex.
    bool tracking = true;
    float heldDeg = 0;
    float lastCmdDeg = 0;
    uint32_t uartBaud = 0;
    std::string uartDevice;

    uint32_t paraId = 0;
    std::string paraDevice;
    uint32_t paraBaud = 0;
    bool paraInverse = false;

    // The goal position register's value for where the servo stands. Under motorMutex.
    uint16_t PresentGoalLocked() const;

private:
    std::atomic<bool> homeAbort{false};
    std::atomic<int64_t> lastReplyNs{0};  // steady clock; 0 before the first reply
    void NoteReply();
    float PresentDegLocked() const;  // present position in degrees, caller's direction
    float FilterLocked(double rad);  // the position filter; returns the command in degrees
    int PostPositionLocked(float deg, int16_t speed, uint16_t time, bool withEnable);
};
