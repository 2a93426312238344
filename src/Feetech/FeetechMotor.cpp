#include "jointbus/Feetech/FeetechMotor.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>

#include "Feetech/feetech_limits.h"
#include "common/command_watchdog.h"
#include "common/motor_limits.h"
#include "common/param_file.h"
#include "common/steady_ns.h"
#include "jointbus/Feetech/FeetechDrvImpl.h"
#include "jointbus/Feetech/SMS_STS_THREAD.h"
#include "jointbus/common/bus_counters.h"
#include "jointbus/common/logger.h"
#include "jointbus/common/motor_reading.h"
#include "jointbus/common/result_codes.h"
#include "jointbus/driver/driver_uart.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFeedbackDegPerTick = 0.088;
constexpr double kCommandTicksPerDeg = 11.377777777777778;  // 4096 / 360
constexpr double kSpeedDegPerTick = 0.08784;
constexpr double kRadPerSecPerTick = 0.0015339807878856412;  // 2 pi / 4096
constexpr float kFilterWindowDeg = 10.0f;
constexpr float kFilterStepDeg = 2.55f;

// Truncates toward zero and saturates to [lo, hi]; the callers have refused NaN.
template <typename T>
T Saturate(double v, double lo, double hi) {
    return static_cast<T>(std::trunc(std::clamp(v, lo, hi)));
}

uint16_t GoalTicks(float deg) {
    return Saturate<uint16_t>((double(deg) + 180.0) * kCommandTicksPerDeg, 0, 4095);
}

// What observers read of a servo: its getters, with its target and feedback age.
const bool observable = jointbus::RegisterMotorFamilyObserver(
    {"feetech", jointbus::ClaimsAs<feetechMotor, &feetechMotor::uartDevice>,
     [](CtrlMotorInterface& motor, jointbus::MotorReading& r) {
         auto& servo = static_cast<feetechMotor&>(motor);
         jointbus::ReadThroughGetters(servo, r);
         r.hasTarget = servo.getTargetPosition(r.target) == 0;
         r.hasAge = servo.getFeedbackAge(r.age) == 0;
     }});

}  // namespace

feetechMotor::feetechMotor(unsigned int id, unsigned int baud, std::string& device, bool inv) {
    initfeetechMotor(id, baud, device, inv);
}

feetechMotor::feetechMotor(unsigned int id, bool inv) {
    paraId = id;
    paraInverse = inv;
    std::string path = JOINTBUS_PARAM_FILE;
    function_get_para(id, path);
    initfeetechMotor(paraId, paraBaud, paraDevice, paraInverse);
}

feetechMotor::feetechMotor(unsigned int id, std::string& path) {
    paraId = id;
    paraInverse = false;
    function_get_para(id, path);
    initfeetechMotor(paraId, paraBaud, paraDevice, false);
}

feetechMotor::~feetechMotor() {
    if (scheduler != nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // By the id it registered under (its engine's): a caller may have changed motor_id
        // since init, and a servo left in the scheduler would be ticked after it is gone.
        scheduler->removeFeetech(drv ? drv->servoId : int(motor_id), this);
    }
}

void feetechMotor::initfeetechMotor(unsigned int id, unsigned int baud, std::string& device,
                                    bool inv) {
    inverse = inv;
    motor_id = id;
    uartBaud = baud;
    uartDevice = device;
}

int feetechMotor::function_get_para(unsigned int id, std::string& path) {
    bool haveDevice = false;  // the device is logged even when a later key fails
    const ParamRead read =
        ReadParamEntry(path, "feetechmotor" + std::to_string(id), [&](const YAML::Node& entry) {
            paraDevice = entry["device"].as<std::string>();
            haveDevice = true;
            paraBaud = entry["baudrate"].as<uint32_t>();
        });
    if (haveDevice) LOG_INFO("The motor tty device is {}\r\n", paraDevice);
    if (read.result != 0)
        LOG_ERROR("YAML Error: {}\r\n", read.message);
    else
        LOG_INFO("Load motor yamlfile success!\r\n");
    return read.result;
}

int feetechMotor::init() {
    {
        std::lock_guard<std::mutex> lock(motorMutex);
        fbId = int(motor_id);
        cmdKind = 0;
        enableCmd = false;
        cmdPending = false;
    }
    auto port = DriverUart::GetUart(uartDevice, int(uartBaud));
    // A second init keeps the engine while port and id are the same. Otherwise the servo
    // leaves the scheduler of its old port first, which waits for the tick in progress: the
    // tick never uses an engine while it is replaced.
    if (!drv || drv->port != port || drv->servoId != int(motor_id)) {
        if (drv && scheduler != nullptr) scheduler->removeFeetech(drv->servoId, this);
        drv = std::make_shared<FeetechDrvImpl>(port, int(motor_id), 0);
    }
    scheduler = servo::SMS_STS_THREAD::ForPort(uartDevice);
    scheduler->addFeetech(int(motor_id), this);
    // A port that cannot be opened is reported, not passed off as ready. The servo stays
    // registered: its scheduler opens the port again and serves it once it is there.
    if (!port->IsOpen()) {
        const int err = jointbus::BusOpenError(uartDevice);
        LOG_ERROR("Feetech servo {} on {}: the port cannot be opened: {}\r\n", motor_id,
                  uartDevice, std::strerror(err != 0 ? err : ENOENT));
        return jointbus::kOffline;
    }
    return 0;
}

float feetechMotor::PresentDegLocked() const {
    const float deg = float(fbPosition * kFeedbackDegPerTick - 180.0);
    return inverse ? -deg : deg;
}

uint16_t feetechMotor::PresentGoalLocked() const {
    return GoalTicks(float(fbPosition * kFeedbackDegPerTick - 180.0));
}

float feetechMotor::FilterLocked(double rad) {
    float target = float(rad * 180.0 / kPi);
    if (inverse) target = -target;
    const float present = PresentDegLocked();
    float command;
    if (std::fabs(target - present) > kFilterWindowDeg) {
        if (tracking) {
            tracking = false;
            heldDeg = present;
        }
        command = heldDeg;
    } else {
        tracking = true;
        command = target;
    }
    if (online) {
        const float delta = command - lastCmdDeg;
        if (delta > kFilterStepDeg)
            command = lastCmdDeg + kFilterStepDeg;
        else if (delta < -kFilterStepDeg)
            command = lastCmdDeg - kFilterStepDeg;
        lastCmdDeg = command;
    }
    return command;
}

// Posts a position command: `withEnable` also asks for torque on (the three-argument forms).
int feetechMotor::PostPositionLocked(float deg, int16_t speed, uint16_t time, bool withEnable) {
    if (!online) return jointbus::kServoNotOnline;
    if (withEnable) enableCmd = true;
    goalPosition = GoalTicks(deg);
    goalSpeed = speed;
    acceleration = 0;
    goalTime = time;
    if (!cmdPending) {
        if (withEnable) LOG_INFO("Gripper cmd has update to FeetechMotor.\n");
        cmdPending = true;
        cmdKind = 1;
    }
    return 0;
}

int feetechMotor::setMotorPosition(double rad) {
    if (std::isnan(rad)) return kNotANumber;
    jointbus_detail::LimitCommand(*this, &rad, nullptr, nullptr);
    std::lock_guard<std::mutex> lock(motorMutex);
    return PostPositionLocked(FilterLocked(rad), 0, 0, false);
}

int feetechMotor::setMotorPosition(double rad, double) {
    return setMotorPosition(rad);
}

int feetechMotor::setMotorPosition(double rad, double speed, double time) {
    if (std::isnan(rad) || std::isnan(speed) || std::isnan(time)) return kNotANumber;
    jointbus_detail::LimitCommand(*this, &rad, &speed, nullptr);
    // A position command's speed is 0 to 32767: faster requests are saturated, never wrapped.
    const int16_t ticks = Saturate<int16_t>(std::fabs(speed) / kRadPerSecPerTick, 0, 32767);
    const uint16_t t = Saturate<uint16_t>(time, 0, 65535);
    std::lock_guard<std::mutex> lock(motorMutex);
    return PostPositionLocked(FilterLocked(rad), ticks, t, true);
}

int feetechMotor::setGripperStatus(double rad, double speed, double time) {
    if (std::isnan(rad) || std::isnan(speed) || std::isnan(time)) return kNotANumber;
    jointbus_detail::LimitCommand(*this, &rad, &speed, nullptr);
    float deg = float(rad * 180.0 / kPi);
    if (inverse) deg = -deg;
    const int16_t ticks =
        std::max<int16_t>(100, Saturate<int16_t>(std::fabs(speed) / kRadPerSecPerTick, 0, 32767));
    const uint16_t t = Saturate<uint16_t>(time, 0, 65535);
    std::lock_guard<std::mutex> lock(motorMutex);
    return PostPositionLocked(deg, ticks, t, true);
}

int feetechMotor::getMotorPosition(double& out) {
    std::lock_guard<std::mutex> lock(motorMutex);
    out = double(PresentDegLocked()) * kPi / 180.0;
    return 0;
}

int feetechMotor::setEnableStatus(bool enable) {
    LOG_INFO("Feetech motor {} setEnableStatus: {}.\r\n", motor_id, enable);
    jointbus_detail::RestartStep(*this);
    std::lock_guard<std::mutex> lock(motorMutex);
    enableCmd = enable;
    return 0;
}

int feetechMotor::getEnableStatus(bool& out) {
    std::lock_guard<std::mutex> lock(motorMutex);
    if (!online) return jointbus::kOffline;
    out = fbEnabled;
    return jointbus_detail::LatchedFaultOf(*this);
}

int feetechMotor::setHome(unsigned int timeoutSec) {
    jointbus_detail::RestartStep(*this);
    {
        std::lock_guard<std::mutex> lock(motorMutex);
        homeRequest = true;
        goalPosition = 2048;
        cmdPending = false;
    }
    const auto start = std::chrono::steady_clock::now();
    LOG_INFO("Feetech motor {} setHome.\r\n", motor_id);
    if (timeoutSec != 0) {
        while (homeRequest.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
            if (!homeRequest.load()) return 0;
            if (homeAbort.exchange(false)) {
                homeRequest = false;
                LOG_INFO("The servo {} setHome aborted.\n", motor_id);
                return jointbus::kHomingTimedOut;
            }
            if (elapsed >= timeoutSec) break;
        }
        if (!homeRequest.load()) return 0;
    }
    LOG_INFO("The servo {} setHome failed.\n", motor_id);
    return jointbus::kHomingTimedOut;
}

void feetechMotor::abortHome() {
    homeAbort.store(true);
}

void feetechMotor::NoteReply() {
    lastReplyNs.store(SteadyNowNs(), std::memory_order_relaxed);
}

int feetechMotor::getTargetPosition(double& out) {
    std::lock_guard<std::mutex> lock(motorMutex);
    if (cmdKind != 1) return jointbus::kOffline;
    const double deg = double(goalPosition) / kCommandTicksPerDeg - 180.0;
    out = (inverse ? -deg : deg) * kPi / 180.0;
    return 0;
}

int feetechMotor::getFeedbackAge(double& seconds) {
    const int64_t last = lastReplyNs.load(std::memory_order_relaxed);
    if (last == 0) return jointbus::kOffline;
    seconds = double(SteadyNowNs() - last) / 1e9;
    return 0;
}

int feetechMotor::getTorque(double& out) {
    std::lock_guard<std::mutex> lock(motorMutex);
    double torque = fbCurrent * 6.5 * 0.001 * 2.0 / 3.0;
    if (inverse) torque = -torque;
    if (fbLoad <= 0) torque = -torque;
    out = torque;
    return 0;
}

int feetechMotor::getVelocity(double& out) {
    std::lock_guard<std::mutex> lock(motorMutex);
    const double v = fbSpeed * kSpeedDegPerTick * kPi / 180.0;
    out = inverse ? -v : v;
    return 0;
}

int feetechMotor::setVelocity(double radPerSec) {
    if (std::isnan(radPerSec)) return kNotANumber;
    jointbus_detail::LimitCommand(*this, nullptr, &radPerSec, nullptr);
    const double v = inverse ? -radPerSec : radPerSec;
    int16_t ticks = Saturate<int16_t>(v / kRadPerSecPerTick, -32767, 32767);
    // The servo does not turn below 100 ticks/s: slower requests are raised to that.
    if (ticks >= 0 && ticks < 100) ticks = 100;
    if (ticks < 0 && ticks > -100) ticks = -100;
    std::lock_guard<std::mutex> lock(motorMutex);
    if (!online) return jointbus::kServoNotOnline;
    goalSpeed = ticks;
    acceleration = 50;
    if (!cmdPending) {
        cmdPending = true;
        cmdKind = 2;
    }
    return 0;
}

int feetechMotor::getMotorTemperature(int& out) {
    std::lock_guard<std::mutex> lock(motorMutex);
    out = fbTemperature;
    return 0;
}

int feetechMotor::setSpeed(double speed, double acc) {
    if (std::isnan(speed) || std::isnan(acc)) return kNotANumber;
    short ticks = Saturate<int16_t>(speed, -32767, 32767);
    jointbus_detail::LimitServoCommand(*this, nullptr, &ticks);
    std::lock_guard<std::mutex> lock(motorMutex);
    if (!online) return jointbus::kServoNotOnline;
    goalSpeed = ticks;
    acceleration = Saturate<uint8_t>(acc, 0, 255);
    if (!cmdPending) {
        cmdPending = true;
        cmdKind = 2;
    }
    return 0;
}

void feetechMotor::getState() {
    std::lock_guard<std::mutex> lock(motorMutex);
    state.positionDeg = float(fbPosition * kFeedbackDegPerTick - 180.0);
    state.speedDeg = float(fbSpeed * kSpeedDegPerTick);
    state.load = fbLoad;
    state.voltage = fbVoltage;
    state.temperature = fbTemperature;
    state.moving = fbMoving;
    state.current = fbCurrent;
    state.enabled = fbEnabled;
    state.online = online;
}

int feetechMotor::getCurrent(double& out) {
    std::lock_guard<std::mutex> lock(motorMutex);
    out = fbCurrent;
    return 0;
}

int feetechMotor::getLoad(int& out) {
    std::lock_guard<std::mutex> lock(motorMutex);
    out = fbLoad;
    return 0;
}

int feetechMotor::readStatus(int fromSync) {
    if (!drv) return 0;
    const int n = drv->FeedBack(fromSync ? 0 : int(motor_id));
    if (n == -1) return 0;
    // 0: nothing came (the read timed out, or the cache was read), which is no reply: the
    // feedback age of a servo that never answers must not look fresh.
    if (n > 0) NoteReply();
    std::lock_guard<std::mutex> lock(motorMutex);
    fbPosition = drv->ReadPos(-1);
    fbSpeed = drv->ReadSpeed(-1);
    fbLoad = drv->ReadLoad(-1);
    fbVoltage = drv->ReadVoltage(-1);
    fbTemperature = drv->ReadTemper(-1);
    fbMoving = drv->ReadMove(-1);
    fbCurrent = drv->ReadCurrent(-1);
    return 1;
}

int feetechMotor::readEnable(int fromSync) {
    if (!drv) return -1;
    const int value = drv->ReadTorque(fromSync ? 0 : int(motor_id));
    if (value != -1) NoteReply();
    return value;
}

int feetechMotor::setEnable(bool enable) {
    const int result = drv ? drv->EnableTorque(enable ? 1 : 0) : -1;
    std::lock_guard<std::mutex> lock(motorMutex);
    tracking = true;
    lastCmdDeg = PresentDegLocked();
    return result;
}

int feetechMotor::setHomeCmd() {
    const int result = drv ? drv->CalibrationOfs() : -1;
    std::lock_guard<std::mutex> lock(motorMutex);
    tracking = true;
    lastCmdDeg = 0;
    return result;
}

int feetechMotor::setTargetPos(short position, short speed, unsigned char acc,
                               unsigned short time) {
    return drv ? drv->WritePosEx(position, speed, acc, short(time)) : -1;
}

int feetechMotor::setTargetPosAsync(short position, short speed, unsigned char acc,
                                    unsigned short time) {
    return drv ? drv->RegWritePosEx(position, speed, acc, short(time)) : -1;
}

int feetechMotor::setTargetVel(short speed, unsigned char acc) {
    return drv ? drv->WriteSpe(speed, acc) : -1;
}

int feetechMotor::setPositionMode() {
    return drv ? drv->PositionMode() : -1;
}
int feetechMotor::setWheelMode() {
    return drv ? drv->WheelMode() : -1;
}
int feetechMotor::setAsyncAction() {
    return drv ? drv->RegWriteAction() : -1;
}

int feetechMotor::syncReadStatus(const std::unordered_set<int>& ids) {
    return drv ? drv->syncRead(ids, FeetechDrvImpl::kPresentPosition, 15) : -1;
}

int feetechMotor::syncReadStatus(const std::vector<int>& ids) {
    return drv ? drv->syncRead(ids, FeetechDrvImpl::kPresentPosition, 15) : -1;
}

int feetechMotor::syncReadEnable(const std::unordered_set<int>& ids) {
    return drv ? drv->syncRead(ids, FeetechDrvImpl::kTorqueEnable, 1) : -1;
}

int feetechMotor::syncReadEnable(const std::vector<int>& ids) {
    return drv ? drv->syncRead(ids, FeetechDrvImpl::kTorqueEnable, 1) : -1;
}

int feetechMotor::syncWrite(const std::vector<int>& ids, unsigned char addr, unsigned char len,
                            unsigned char* data) {
    return drv ? drv->syncWrite(ids, addr, len, data) : -1;
}

int feetechMotor::syncWritePos(const std::vector<int>& ids, const std::vector<short>& positions,
                               const std::vector<short>& speeds,
                               const std::vector<unsigned char>& accs,
                               const std::vector<unsigned char>& times) {
    return drv ? drv->syncWritePos(ids, positions, speeds, accs, times) : -1;
}

namespace jointbus_detail {

void LimitServoCommand(feetechMotor& servo, short* position, short* speed) {
    const double sign = servo.inverse ? -1.0 : 1.0;
    double rad = 0, radPerSec = 0;
    if (position != nullptr) rad = sign * (double(*position) / kCommandTicksPerDeg - 180.0) * kPi / 180.0;
    if (speed != nullptr) radPerSec = double(*speed) * kRadPerSecPerTick;
    const double askedRad = rad, askedSpeed = radPerSec;
    LimitCommand(servo, position != nullptr ? &rad : nullptr, speed != nullptr ? &radPerSec : nullptr,
                 nullptr);
    if (position != nullptr && rad != askedRad) *position = short(GoalTicks(float(sign * rad * 180.0 / kPi)));
    if (speed != nullptr && radPerSec != askedSpeed)
        *speed = Saturate<int16_t>(radPerSec / kRadPerSecPerTick, -32767, 32767);
}

}  // namespace jointbus_detail
