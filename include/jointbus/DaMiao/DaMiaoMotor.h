#pragma once

#include <linux/can.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "jointbus/DaMiao/damiao_codec.h"
#include "jointbus/common/consumer_interface.h"
#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/result_codes.h"

class DriverCan;
namespace Damiao {
struct DrivenAccess;
}

// Settings of a motor built from the library's parameter file.
struct DamiaoPara {
    uint32_t id = 0;
    uint32_t mode = 0;  // MIT until the file says otherwise
    uint32_t master_id = 0;
    std::string dev_name;
    bool inverse = false;
    float kp = 15.0f;
    float kd = 1.0f;
    uint32_t feedbackTimeoutMs = 100;  // key feedback_timeout_ms; 0 switches the watch off
};

// One Damiao joint motor on a CAN bus. Client calls only store targets and requests; the
// sender of its CAN interface (Damiao::Damiao_Thread) turns them into one frame per motor
// every 5 ms and reads the answers on the motor's socket, which Consume() decodes. The motor
// has no receive thread of its own.
//
// Units: rad, rad/s, N·m. With `inverse`, values change sign between caller and motor; all
// stored values are in the motor's frame.
//
// Result codes (all listed in jointbus/common/result_codes.h): 0 success; 2001 init: no disabled
// state within 0.5 s; 2002 init refused: the motor model is unknown, so its value ranges are not
// known and no frame may be sent; 2003 a setter was given NaN: nothing is stored (infinite and
// out-of-range values are saturated to the model's ranges when the frame is built); 3006 homing not
// confirmed in time; 4001 over-current; 4002 overload; 4003 over-voltage; 4004 under-voltage; 4005
// coil over-temperature; 4006 MOS over-temperature; 5003 communication lost (reported by the
// motor); 5004 no feedback / offline, and from init when the motor did not answer because its
// interface cannot be opened: it stays registered and comes online once the interface is there.
//
// Feedback watch: on a real bus a write succeeds whenever any node acknowledges the frame, so
// failed writes do not show a motor that lost power or hangs. A motor that has been sent
// frames for longer than its feedback time-out (default 100 ms, 20 ticks) without one
// feedback frame in that time goes offline exactly as after 20 failed writes: getEnableStatus
// returns 5004, an ERROR line is logged once per episode, and when feedback comes back the
// motor holds still until a new target is set. setFeedbackTimeout(0) switches the watch off.
//
// Destroying a motor deregisters it from the sender (waiting for its tick) first, then reads the
// answers to its last frames that are still on their way (a quiet spell of four ticks, at least
// 20 ms; up to its feedback time-out for an answer its last tick did not get).
class JOINTBUS_API damiaoMotor : public CtrlMotorInterface, public ConsumerInterface {
public:
    static constexpr int kUnknownModel = jointbus::kUnknownModel;
    static constexpr int kNotANumber = jointbus::kDamiaoNotANumber;

    damiaoMotor(int model, unsigned int id, unsigned int mode, unsigned int master_id,
                std::string dev_name, bool inverse, float kp, float kd);
    // Reads the interface and the mode of motor `id` from the library's parameter file.
    damiaoMotor(int model, unsigned int id, unsigned int master_id, bool inverse);
    ~damiaoMotor() override;
    damiaoMotor(const damiaoMotor&) = delete;
    damiaoMotor& operator=(const damiaoMotor&) = delete;

    int init() override;
    int setMotorPosition(double p) override;
    int setMotorPosition(double p, double v) override;
    int setMotorPosition(double p, double v, double t) override;
    int getMotorPosition(double& out) override;
    int setEnableStatus(bool on) override;
    int getEnableStatus(bool& out) override;
    int setHome(unsigned int ms) override;
    int getTorque(double& out) override;
    int getVelocity(double& out) override;
    int setVelocity(double v) override;
    int getMotorTemperature(int& out) override;

    // Like getEnableStatus(bool&) but reports the state code.
    int getEnableStatus(int& out);

    // The feedback time-out in milliseconds (0: no watch, offline only after failed writes).
    // Any thread; takes effect at the sender's next tick.
    void setFeedbackTimeout(unsigned int ms);
    unsigned int getFeedbackTimeout() const;
    // Seconds since the last accepted feedback frame: 0, or 5004 (seconds untouched) when
    // none has come since the motor was created. Any thread.
    int getFeedbackAge(double& seconds);
    // The feedback watch, once per tick before the motor's frame. Sender thread only.
    void WatchFeedback();
    // getEnableStatus(bool&) without the fault's log line, for observers. Any thread.
    int peekEnableStatus(bool& out) const;
    // The caller's last position target (rad, the caller's direction). Any thread; 0.
    int getTargetPosition(double& out) const;
    // getTorque without its side effect: the reading is unwrapped against the last one a
    // client read, but that memory is left as it is, so an observer does not change what the
    // client's own getTorque returns. Any thread; 0.
    int peekTorque(double& out) const;

    // Feedback decoding. The thread that runs the tick (or init), with the driver's rxMutex
    // held; does not block.
    using ConsumerInterface::Consume;
    void Consume(CanFrame& frame) override;

    // One tick's work. The thread that runs the tick only; each sends one frame and pauses
    // 100 µs (then reads the motor's answers; no pause in a control cycle), except
    // SetHomeCmd, which blocks for the whole homing (up to homeTimeoutMs).
    int SetTargetPos();
    int SendStat();
    int SetHomeCmd();

    int ClearErrors();  // sends the clear-error frame; any thread
    void ErrCntIncrement();
    int TorqueProtect(float t, double& out);
    unsigned int float_to_uint(float x, float x_min, float x_max, int bits);
    float uint_to_float(int x_int, float x_min, float x_max, int bits);

    void MIT_CtrlMotor(unsigned short id, float p, float v, float kp, float kd, float t);
    void PosSpeed_CtrlMotor(unsigned short id, float p, float v);
    void Speed_CtrlMotor(unsigned short id, float v);

    void initdamiaoMotor(unsigned int id, unsigned int mode, unsigned int master_id,
                         std::string dev_name, bool inverse, float kp, float kd);
    // Reads the entry "damiaomotor<id>" of the parameter file at `path` into `para`:
    // 0, or -1 on any error of the YAML reader.
    int function_get_para(unsigned int id, std::string& path);

    // Ranges of the model (single precision at each use).
    double P_MIN = 0, P_MAX = 0, V_MIN = 0, V_MAX = 0, KP_MIN = 0, KP_MAX = 0, KD_MIN = 0,
           KD_MAX = 0, T_MIN = 0, T_MAX = 0;
    double maxSpeed = 0;
    int model = 0;
    uint32_t mode = 0;
    uint32_t master_id = 0;
    std::string dev_name;
    float kp = 0, kd = 0;

    // Written and read by several threads (client, sender, a control cycle's caller).
    std::atomic<bool> online{false};
    std::atomic<bool> reportedEnabled{false};
    std::atomic<float> lastTorque{0};
    // Sender thread only.
    float lastCmdPos = 0;
    float holdPos = 0;
    bool inWindow = true;

    std::atomic<int> errCount{0};
    std::mutex fbMutex;
    std::atomic<float> fbPosition{0}, fbVelocity{0}, fbTorque{0};
    std::atomic<int> errCode{0};
    std::atomic<int> stateCode{-1};
    std::atomic<int> temperature{0};
    DriverCan* canDriver = nullptr;  // owned; created by init
    std::atomic<float> targetPos{0}, targetVel{0}, targetTorque{0};
    std::atomic<bool> enableReq{false};
    std::atomic<uint32_t> homeTimeoutMs{0};
    std::atomic<bool> cmdPending{false};
    std::mutex writeMutex;

    DamiaoPara para;

protected:
    // Creates the motor's transport, filtered on its feedback id. Overridden by test doubles
    // that carry frames without a CAN interface.
    virtual DriverCan* CreateDriver(const can_filter& filter);
    // Deregisters from the sender (waiting for its tick) and stops and deletes the transport,
    // so no thread calls into the motor any more. The destructor calls it; a derived class
    // calls it from its own destructor, before its part of the object goes.
    void Shutdown();

private:
    friend struct Damiao::DrivenAccess;
    static constexpr int kHoming = 1;  // HomeCheck: homing goes on
    // After a save-zero frame and its answer: 0 once the motor reads zero within the time-out,
    // kHomingTimedOut when it did not in time, else kHoming. `elapsedMs` is the time homing
    // had taken at the check before.
    int HomeCheck(int64_t startNs, long long& elapsedMs);
    void SetModel(int m);
    void GoOffline();  // what the 20-failed-writes rule and the feedback watch do
    std::atomic<uint32_t> feedbackTimeoutMs{100};
    std::atomic<int64_t> lastFeedbackNs{0};     // steady clock; 0 before the first feedback
    std::atomic<int64_t> firstUnansweredNs{0};  // first frame sent since the last feedback
    std::atomic<bool> feedbackLost{false};      // an episode is under way (logged once)
    // 5004 when offline, a fault's code (its message logged), else 0 with the state code.
    int StatusResult(int& code, bool logFault) const;
    void SendSpecial(Damiao::SpecialFrame kind);  // under writeMutex, counts a failure
    void PauseAfterFrame();  // the interface's frame gap (100 µs unless set)
    int TickUs();            // the interface's tick (5000 µs unless set)
    enum class WriteResult { kSent, kFailed, kNoDriver };
    // Writes one frame under writeMutex; with `countFailure`, a failed write (or no driver)
    // counts towards the offline rule.
    WriteResult WriteFrame(uint32_t id, const uint8_t* frame, uint8_t len, bool countFailure);
    float Sign() const { return inverse ? -1.0f : 1.0f; }
    float UnwrapTorque(float t) const;
    Damiao::Ranges ranges;
    bool knownModel = false;
};
