#include "jointbus/DaMiao/DaMiaoMotor.h"

#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "DaMiao/damiao_impedance.h"
#include "common/bus_drive.h"
#include "common/bus_tally.h"
#include "common/command_watchdog.h"
#include "common/fatal_policy.h"
#include "common/motor_limits.h"
#include "common/param_file.h"
#include "common/steady_ns.h"
#include "DaMiao/damiao_membership.h"
#include "jointbus/DaMiao/damiao_thread.h"
#include "jointbus/common/bus_counters.h"
#include "jointbus/common/can_settings.h"
#include "jointbus/common/command_watchdog.h"
#include "jointbus/common/fatal_policy.h"
#include "jointbus/common/logger.h"
#include "jointbus/common/motor_reading.h"
#include "jointbus/common/result_codes.h"
#include "jointbus/driver/driver_can.h"

namespace {

constexpr float kWindow = 0.2f;     // rad: largest target distance still followed
constexpr int kOfflineErrors = 20;  // consecutive failed writes
constexpr long long kDisableWaitNs = 499999999;  // "more than 0.5 s"
constexpr auto kDisablePoll = std::chrono::milliseconds(5);
constexpr auto kHomePause = std::chrono::milliseconds(10);
constexpr float kHomeDone = 0.001f;

constexpr auto relaxed = std::memory_order_relaxed;

// What observers read of a Damiao motor: torque and fault are peeked, so an observer changes
// neither the client's torque unwrap nor the log.
const bool observable = jointbus::RegisterMotorFamilyObserver(
    {"damiao", jointbus::ClaimsAs<damiaoMotor, &damiaoMotor::dev_name>,
     [](CtrlMotorInterface& motor, jointbus::MotorReading& r) {
         auto& joint = static_cast<damiaoMotor&>(motor);
         r = jointbus::MotorReading{};
         joint.getMotorPosition(r.position);
         joint.getVelocity(r.velocity);
         joint.peekTorque(r.torque);
         joint.getMotorTemperature(r.temperature);
         r.code = joint.peekEnableStatus(r.enabled);
         r.hasTarget = joint.getTargetPosition(r.target) == 0;
         r.hasAge = joint.getFeedbackAge(r.age) == 0;
     }});

}  // namespace

damiaoMotor::damiaoMotor(int model_, unsigned int id, unsigned int mode_, unsigned int master_id_,
                         std::string dev_name_, bool inverse_, float kp_, float kd_) {
    initdamiaoMotor(id, mode_, master_id_, std::move(dev_name_), inverse_, kp_, kd_);
    SetModel(model_);
}

damiaoMotor::damiaoMotor(int model_, unsigned int id, unsigned int master_id_, bool inverse_) {
    para.id = id;
    para.master_id = master_id_;
    para.inverse = inverse_;
    std::string path = JOINTBUS_PARAM_FILE;
    function_get_para(id, path);
    initdamiaoMotor(para.id, para.mode, para.master_id, para.dev_name, para.inverse, para.kp,
                    para.kd);
    setFeedbackTimeout(para.feedbackTimeoutMs);
    SetModel(model_);
}

damiaoMotor::~damiaoMotor() {
    Shutdown();
}

void damiaoMotor::Shutdown() {
    Damiao::LeaveSender(this);
    DriverCan* driver;
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        driver = canDriver;
    }
    if (driver == nullptr) return;
    driver->StopReceive();
    {
        // Any thread may be writing through the driver (ClearErrors): it goes only once no
        // writer holds it, and later writers find none.
        std::lock_guard<std::mutex> lock(writeMutex);
        canDriver = nullptr;
    }
    delete driver;
}

void damiaoMotor::initdamiaoMotor(unsigned int id, unsigned int mode_, unsigned int master_id_,
                                  std::string dev_name_, bool inverse_, float kp_, float kd_) {
    motor_id = id;
    inverse = inverse_;
    mode = mode_;
    master_id = master_id_;
    dev_name = std::move(dev_name_);
    kp = kp_;
    kd = kd_;
}

void damiaoMotor::SetModel(int m) {
    model = m;
    knownModel = Damiao::RangesForModel(m, ranges);
    if (!knownModel)
        LOG_ERROR("Damiao motor {}: unknown motor model {}, it will not be driven\r\n", motor_id,
                  m);
    P_MIN = ranges.P_MIN, P_MAX = ranges.P_MAX;
    V_MIN = ranges.V_MIN, V_MAX = ranges.V_MAX;
    KP_MIN = ranges.KP_MIN, KP_MAX = ranges.KP_MAX;
    KD_MIN = ranges.KD_MIN, KD_MAX = ranges.KD_MAX;
    T_MIN = ranges.T_MIN, T_MAX = ranges.T_MAX;
    maxSpeed = ranges.maxSpeed;
}

int damiaoMotor::function_get_para(unsigned int id, std::string& path) {
    bool haveDevice = false;  // the device is logged even when a later key fails
    const ParamRead read =
        ReadParamEntry(path, "damiaomotor" + std::to_string(id), [&](const YAML::Node& entry) {
            para.dev_name = entry["device"].as<std::string>();
            haveDevice = true;
            para.mode = uint32_t(entry["mode"].as<int32_t>());
            if (entry["feedback_timeout_ms"].IsDefined())
                para.feedbackTimeoutMs = entry["feedback_timeout_ms"].as<uint32_t>();
        });
    if (haveDevice) LOG_INFO("The motor can device is {}\r\n", para.dev_name);
    if (read.result != 0)
        LOG_ERROR("YAML Error:  {}\r\n", read.message);
    else
        LOG_INFO("Load motor yamlfile success\r\n!");
    return read.result;
}

unsigned int damiaoMotor::float_to_uint(float x, float x_min, float x_max, int bits) {
    return Damiao::FloatToUint(x, x_min, x_max, bits);
}

float damiaoMotor::uint_to_float(int x_int, float x_min, float x_max, int bits) {
    return Damiao::UintToFloat(x_int, x_min, x_max, bits);
}

DriverCan* damiaoMotor::CreateDriver(const can_filter& filter) {
    return new DriverCan(dev_name.c_str(), &filter, 8);
}

int damiaoMotor::init() {
    if (!knownModel) {
        LOG_ERROR("Damiao motor {}: unknown motor model {}, init refused\r\n", motor_id, model);
        return kUnknownModel;
    }
    Shutdown();  // a second init replaces the first driver instead of leaking its thread
    enableReq = false;
    targetPos = 0;
    targetVel = 0;
    targetTorque = 0;
    errCount = 0;

    const can_filter filter{master_id, CAN_SFF_MASK};
    DriverCan* driver = CreateDriver(filter);
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        canDriver = driver;
    }
    // No receive thread: until the motor joins its interface's engine, init reads the answers
    // itself.
    driver->SetConsumer(this);
    auto readAnswers = [driver] {
        bool busOff = false;
        driver->ReadWaiting(&busOff);
        if (busOff) driver->ResetBusOff();
    };

    SendSpecial(Damiao::kDisable);
    const auto start = std::chrono::steady_clock::now();
    while (stateCode.load(relaxed) != 0) {
        const auto waited = std::chrono::steady_clock::now() - start;
        if (std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count() > kDisableWaitNs) {
            std::fprintf(stderr, "disable motor %d failed\n", int(motor_id));
            return jointbus::kInitNotDisabled;
        }
        std::this_thread::sleep_for(kDisablePoll);
        readAnswers();
        if (stateCode.load(relaxed) == 0) break;
        // Every resend counts as an error, whatever the write's result: a motor that never
        // answers goes offline after 20.
        uint8_t frame[8];
        Damiao::EncodeSpecial(Damiao::kDisable, frame);
        WriteFrame(mode | motor_id, frame, 8, false);
        ErrCntIncrement();
    }
    firstUnansweredNs.store(0, relaxed);  // the watch starts with the sender's first frame
    Damiao::Damiao_Thread::ForInterface(dev_name)->addDamiao(int(motor_id), this);
    // A motor on an interface that cannot be opened is reported, not passed off as ready (an
    // absent motor on a working interface is not: it may only be slow to answer, and the
    // feedback watch reports it). It stays registered, so it is polled and comes online once
    // the interface is there.
    if (!online.load(relaxed) && !driver->IsOpen()) {
        const int err = jointbus::BusOpenError(dev_name);
        LOG_ERROR("Damiao motor {} on {}: no answer, the interface cannot be opened: {}\r\n",
                  motor_id, dev_name, std::strerror(err != 0 ? err : ENODEV));
        return jointbus::kOffline;
    }
    return 0;
}

int damiaoMotor::setMotorPosition(double p) {
    return setMotorPosition(p, 0.0);
}

int damiaoMotor::setMotorPosition(double p, double v) {
    if (std::isnan(p) || std::isnan(v)) return kNotANumber;
    jointbus_detail::LimitCommand(*this, &p, &v, nullptr);
    jointbus_detail::OwnGains(*this, false);
    targetPos.store(Sign() * float(p), relaxed);
    targetVel.store(Sign() * float(v), relaxed);
    cmdPending.store(true, relaxed);
    return 0;
}

int damiaoMotor::setMotorPosition(double p, double v, double t) {
    if (std::isnan(p) || std::isnan(v) || std::isnan(t)) return kNotANumber;
    jointbus_detail::LimitCommand(*this, nullptr, nullptr, &t);  // position and speed below
    targetTorque.store(Sign() * float(t), relaxed);
    return setMotorPosition(p, v);
}

int damiaoMotor::setVelocity(double v) {
    if (std::isnan(v)) return kNotANumber;
    jointbus_detail::LimitCommand(*this, nullptr, &v, nullptr);
    jointbus_detail::OwnGains(*this, false);
    targetVel.store(Sign() * float(v), relaxed);
    cmdPending.store(true, relaxed);
    return 0;
}

int damiaoMotor::getMotorPosition(double& out) {
    out = Sign() * double(fbPosition.load(relaxed));
    return 0;
}

int damiaoMotor::getVelocity(double& out) {
    out = Sign() * double(fbVelocity.load(relaxed));
    return 0;
}

int damiaoMotor::getTorque(double& out) {
    TorqueProtect(fbTorque.load(relaxed), out);
    out = Sign() * out;
    return 0;
}

int damiaoMotor::getMotorTemperature(int& out) {
    out = temperature.load(relaxed);
    return 0;
}

int damiaoMotor::setEnableStatus(bool on) {
    // The request first, then the end of any damping: a tick in between must not take a
    // damped motor that is being disabled for one to command at its own gains.
    enableReq.store(on, relaxed);
    if (!on) cmdPending.store(false, relaxed);
    jointbus_detail::OwnGains(*this, true);
    jointbus_detail::RestartStep(*this);
    LOG_INFO("enable status: {}\r\n", on);
    return 0;
}

namespace {

// The motor's fault states, with the message logged and the result returned for each.
struct FaultState {
    int state;
    const char* text;
    int result;
};
constexpr FaultState kFaultStates[] = {
    {8, "nodeID_:{}  超压\r\n", jointbus::kOverVoltage},
    {9, "nodeID_:{}  欠压\r\n", jointbus::kUnderVoltage},
    {10, "nodeID_:{}  过流\r\n", jointbus::kOverCurrent},
    {11, "nodeID_:{}  mos过温\r\n", jointbus::kMosOverTemperature},
    {12, "nodeID_:{}  电机线圈过温\r\n", jointbus::kCoilOverTemperature},
    {13, "nodeID_:{}  通讯丢失\r\n", jointbus::kCommunicationLost},
    {14, "nodeID_:{}  过载\r\n", jointbus::kOverload},
};

// Return code and message of a fault state code; 0 when the code is no known fault.
int FaultResult(int code, const char*& text) {
    for (const auto& fault : kFaultStates) {
        if (fault.state == code) {
            text = fault.text;
            return fault.result;
        }
    }
    return 0;
}

}  // namespace

int damiaoMotor::StatusResult(int& code, bool logFault) const {
    if (!online.load(relaxed)) return jointbus::kOffline;
    code = errCode.load(relaxed);
    const char* text = nullptr;
    const int result = FaultResult(code, text);
    if (result != 0 && logFault) LOG_ERROR(fmt::runtime(text), motor_id);
    return result != 0 ? result : jointbus_detail::LatchedFaultOf(*this);
}

int damiaoMotor::peekEnableStatus(bool& out) const {
    int code = 0;
    if (const int result = StatusResult(code, false)) return result;
    out = reportedEnabled.load(relaxed);
    return 0;
}

int damiaoMotor::getTargetPosition(double& out) const {
    out = Sign() * double(targetPos.load(relaxed));
    return 0;
}

int damiaoMotor::getEnableStatus(bool& out) {
    int code = 0;
    if (const int result = StatusResult(code, true)) return result;
    out = reportedEnabled.load(relaxed);
    return 0;
}

int damiaoMotor::getEnableStatus(int& out) {
    int code = 0;
    if (const int result = StatusResult(code, true)) return result;
    if (code == 0 || code == 1) out = stateCode.load(relaxed);
    return 0;
}

int damiaoMotor::setHome(unsigned int ms) {
    jointbus_detail::RestartStep(*this);
    homeTimeoutMs.store(ms, relaxed);
    return 0;
}

void damiaoMotor::Consume(CanFrame& frame) {
    // A short frame would be decoded from stale bytes. The socket's filter (id, mask 0x7FF)
    // also passes extended and remote frames whose low 11 bits match: they are not feedback.
    if (frame.len < 8 || (frame.id & (CAN_EFF_FLAG | CAN_RTR_FLAG))) return;
    // A register answer to a commissioning tool arrives on the feedback id too; it is not
    // feedback.
    if (Damiao::IsAnyRegisterReply(frame.data, motor_id)) return;
    const Damiao::Feedback fb = Damiao::DecodeFeedback(ranges, frame.data);
    stateCode.store(fb.state, relaxed);
    reportedEnabled.store(fb.state != 0, relaxed);
    std::lock_guard<std::mutex> lock(fbMutex);
    lastFeedbackNs.store(SteadyNowNs(), relaxed);
    firstUnansweredNs.store(0, relaxed);
    feedbackLost.store(false, relaxed);
    fbPosition.store(fb.position, relaxed);
    fbVelocity.store(fb.velocity, relaxed);
    fbTorque.store(fb.torque, relaxed);
    temperature.store(fb.temperature, relaxed);
    if (!online.exchange(true, relaxed)) {
        // Back from an offline episode: a window hold and the ramp start afresh from here. The
        // hold position from before may be far from where the motor stands now (it may have
        // been moved, or have moved on before its feedback was lost), and holding there
        // would move it back.
        inWindow = true;
        lastCmdPos = fb.position;
    }
    errCode.store(fb.state, relaxed);
    errCount.store(0, relaxed);
    if (fb.state > 7) LOG_ERROR("nodeID_: {} occur error: {}\r\n", motor_id, fb.state);
    if (Damiao::IsPowerLoss(frame.data)) {
        LOG_ERROR("The Damiao motor get pow again. The angle has error.\r\n");
        // End at once: exit handlers would tear down objects other threads still use.
        if (jointbus::GetFatalPolicy() == jointbus::OnFatal::kExitProcess)
            jointbus_detail::EndProcess();
        if (jointbus::LatchedFault(this) != jointbus::kPowerLossLatched) {
            LOG_ERROR("Damiao motor {} on {}: power lost, latched fault {}: every motor on {} "
                      "is disabled, until the fault is cleared\r\n",
                      motor_id, dev_name, int(jointbus::kPowerLossLatched), dev_name);
            jointbus_detail::LatchFault(*this, jointbus::kPowerLossLatched);
        }
        setEnableStatus(false);
        jointbus_detail::OweBusDisable(dev_name);
    }
}

int damiaoMotor::SetTargetPos() {
    const float cur = fbPosition.load(relaxed);
    const jointbus_detail::MitGains g = mode == Damiao::kMit
                                            ? jointbus_detail::TickGains(*this, kp, kd)
                                            : jointbus_detail::MitGains{kp, kd, false};
    if (g.damping) {
        // Only kd acts: no target to ramp to, no window to keep; the next target starts here.
        lastCmdPos = cur;
        inWindow = true;
        MIT_CtrlMotor(uint16_t(motor_id), cur, 0, 0, g.kd, 0);
        PauseAfterFrame();
        return 0;
    }
    const float target = targetPos.load(relaxed);
    float value;
    if (std::fabs(target - cur) <= kWindow) {
        inWindow = true;
        value = target;
    } else if (inWindow) {
        // An episode begins: the arm stops here until a target within the window comes, which
        // after an offline episode (the target ran ahead) may be never. Say so, once.
        inWindow = false;
        holdPos = cur;
        value = cur;
        LOG_WARN("Damiao motor {} on {}: target {:.3f} rad away, beyond the {:.1f} rad window: "
                 "holding at {:.3f} until a target within the window comes\r\n",
                 motor_id, dev_name, std::fabs(target - cur), kWindow, Sign() * cur);
    } else {
        value = holdPos;
    }
    if (online.load(relaxed)) {
        // The ramp is a speed, half the model's top speed: its step follows the interface's
        // tick, so a faster tick does not slew faster (at 5 ms, the step of ever).
        // In double until the step itself: at 5 ms it is 0.5 * maxSpeed / 200, to the bit.
        const double speed = std::min(0.5 * maxSpeed, jointbus_detail::RampLimit(*this));
        const float step = float(speed / (1e6 / TickUs()));
        if (value - lastCmdPos > step) value = lastCmdPos + step;
        if (value - lastCmdPos < -step) value = lastCmdPos - step;
        lastCmdPos = value;
    }
    const float vel = targetVel.load(relaxed);
    switch (mode) {
        case Damiao::kMit:
            // A hold is a hold: the caller's speed would pull the motor off it by kd·v/kp.
            if (!inWindow) {
                MIT_CtrlMotor(uint16_t(motor_id), value, 0, g.kp, g.kd, targetTorque.load(relaxed));
                break;
            }
            MIT_CtrlMotor(uint16_t(motor_id), value, vel, g.kp, g.kd, targetTorque.load(relaxed));
            break;
        case Damiao::kPosSpeed:
            PosSpeed_CtrlMotor(uint16_t(motor_id | Damiao::kPosSpeed), value, vel);
            break;
        case Damiao::kSpeed:
            Speed_CtrlMotor(uint16_t(motor_id | Damiao::kSpeed), vel);
            break;
        default:
            break;
    }
    PauseAfterFrame();
    return 0;
}

int damiaoMotor::SendStat() {
    lastCmdPos = fbPosition.load(relaxed);
    inWindow = true;
    if (canDriver != nullptr) {
        SendSpecial(enableReq.load(relaxed) ? Damiao::kEnable : Damiao::kDisable);
        PauseAfterFrame();
    }
    return 0;
}

int damiaoMotor::SetHomeCmd() {
    inWindow = true;
    lastCmdPos = 0;
    const int64_t start = SteadyNowNs();
    long long elapsed = 0;
    while (true) {
        SendSpecial(Damiao::kSaveZero);
        PauseAfterFrame();
        std::this_thread::sleep_for(kHomePause);
        Damiao::TakeAnswers(this);
        const int result = HomeCheck(start, elapsed);
        if (result != kHoming) return result;
    }
}

int damiaoMotor::HomeCheck(int64_t startNs, long long& elapsedMs) {
    const uint32_t limit = homeTimeoutMs.load(relaxed);
    if (online.load(relaxed) && fbPosition.load(relaxed) < kHomeDone) {
        homeTimeoutMs.store(0, relaxed);
        jointbus_detail::RestartStep(*this);  // a target set while homing was in the old frame
        if (limit > elapsedMs) {
            targetPos.store(0, relaxed);
            return 0;
        }
        return jointbus::kHomingTimedOut;
    }
    elapsedMs = (SteadyNowNs() - startNs) / 1000000;
    if (limit <= elapsedMs) {
        homeTimeoutMs.store(0, relaxed);
        return jointbus::kHomingTimedOut;
    }
    return kHoming;
}

int damiaoMotor::ClearErrors() {
    jointbus::ClearLatchedFault(this);
    uint8_t frame[8];
    Damiao::EncodeSpecial(Damiao::kClearError, frame);
    // Before init (or after the driver went) there is nothing to send and nothing to count; a
    // write that fails counts towards the offline rule like any other.
    const WriteResult result = WriteFrame(mode | motor_id, frame, 8, false);
    if (result == WriteResult::kNoDriver) return 0;
    if (result == WriteResult::kFailed) ErrCntIncrement();
    PauseAfterFrame();
    return 0;
}

// The interface's tick (5000 µs unless set), or in a control cycle the time since the last.
int damiaoMotor::TickUs() {
    if (const int drivenUs = jointbus_detail::DrivenPeriodUs()) return drivenUs;
    std::lock_guard<std::mutex> lock(writeMutex);
    return canDriver != nullptr ? canDriver->TickUs() : 5000;
}

// The pause after every frame: 100 µs, or the interface's frame_gap_us; none in a control
// cycle, which sends its frames at once. The engine reads the motor's answer after it.
void damiaoMotor::PauseAfterFrame() {
    if (jointbus_detail::DrivenPeriodUs() != 0) return;
    int gapUs = jointbus::CanInterfaceSettings::kDefaultFrameGapUs;
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        if (canDriver != nullptr) gapUs = canDriver->FrameGapUs();
    }
    if (gapUs <= 0) return;
    std::this_thread::sleep_for(std::chrono::microseconds(gapUs));
    Damiao::TakeAnswers(this);
}

void damiaoMotor::SendSpecial(Damiao::SpecialFrame kind) {
    uint8_t frame[8];
    Damiao::EncodeSpecial(kind, frame);
    WriteFrame(mode | motor_id, frame, 8, true);
}

damiaoMotor::WriteResult damiaoMotor::WriteFrame(uint32_t id, const uint8_t* frame, uint8_t len,
                                                 bool countFailure) {
    WriteResult result;
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        if (firstUnansweredNs.load(relaxed) == 0) firstUnansweredNs.store(TickOrNowNs(), relaxed);
        if (canDriver == nullptr)
            result = WriteResult::kNoDriver;
        else if (Damiao::QueueFrame(this, id, frame, len, countFailure))
            return WriteResult::kSent;  // the tick's batched write counts a failure
        else
            result =
                canDriver->CanWrite(id, frame, len) ? WriteResult::kSent : WriteResult::kFailed;
    }
    if (countFailure && result != WriteResult::kSent) ErrCntIncrement();
    return result;
}

void damiaoMotor::ErrCntIncrement() {
    if (errCount.fetch_add(1, relaxed) + 1 == kOfflineErrors) GoOffline();
}

// Offline: the state reads 5004, and the pending target is dropped, so that when the motor
// answers again it holds still until the caller sets a new target.
void damiaoMotor::GoOffline() {
    stateCode.store(0, relaxed);
    reportedEnabled.store(false, relaxed);
    if (online.exchange(false, relaxed)) {
        jointbus_detail::TallyOf(dev_name)->WentOffline();
        jointbus_detail::RestartStep(*this);
    }
    cmdPending.store(false, relaxed);
}

void damiaoMotor::setFeedbackTimeout(unsigned int ms) {
    feedbackTimeoutMs.store(ms, relaxed);
}

unsigned int damiaoMotor::getFeedbackTimeout() const {
    return feedbackTimeoutMs.load(relaxed);
}

int damiaoMotor::getFeedbackAge(double& seconds) {
    const int64_t last = lastFeedbackNs.load(relaxed);
    if (last == 0) return jointbus::kOffline;
    seconds = double(SteadyNowNs() - last) / 1e9;
    return 0;
}

void damiaoMotor::WatchFeedback() {
    const int64_t limitNs = int64_t(feedbackTimeoutMs.load(relaxed)) * 1000000;
    if (limitNs == 0 || !online.load(relaxed)) return;
    // Under fbMutex, so that a feedback frame decoded meanwhile is not overruled.
    std::lock_guard<std::mutex> lock(fbMutex);
    const int64_t since = firstUnansweredNs.load(relaxed);
    if (since == 0) return;  // every frame answered: nothing to time
    const int64_t now = TickOrNowNs();
    if (now - since <= limitNs) return;
    GoOffline();
    if (!feedbackLost.exchange(true, relaxed))
        LOG_ERROR(
            "Damiao motor {} on {}: no feedback for {} ms since the first unanswered frame "
            "(time-out {} ms), the last came {} ms ago, offline",
            motor_id, dev_name, (now - since) / 1000000, limitNs / 1000000,
            (now - lastFeedbackNs.load(relaxed)) / 1000000);
}

// A torque reading more than T_MAX away from the last one has wrapped around the encoding's
// range: unwrap it by one whole range.
float damiaoMotor::UnwrapTorque(float t) const {
    const float d = t - lastTorque.load(relaxed);
    const float tmax = float(T_MAX);
    if (d < -tmax) return t + 2 * tmax;
    if (d > tmax) return t - 2 * tmax;
    return t;
}

int damiaoMotor::TorqueProtect(float t, double& out) {
    const float result = UnwrapTorque(t);
    lastTorque.store(result, relaxed);
    out = result;
    return 0;
}

int damiaoMotor::peekTorque(double& out) const {
    out = Sign() * double(UnwrapTorque(fbTorque.load(relaxed)));
    return 0;
}

void damiaoMotor::MIT_CtrlMotor(unsigned short id, float p, float v, float kp_, float kd_,
                                float t) {
    uint8_t frame[8];
    Damiao::EncodeMit(ranges, p, v, kp_, kd_, t, frame);
    WriteFrame(id, frame, 8, true);
}

void damiaoMotor::PosSpeed_CtrlMotor(unsigned short id, float p, float v) {
    uint8_t frame[8];
    Damiao::EncodePosSpeed(ranges, p, v, frame);
    WriteFrame(id, frame, 8, true);
}

void damiaoMotor::Speed_CtrlMotor(unsigned short id, float v) {
    uint8_t frame[4];
    Damiao::EncodeSpeed(ranges, v, frame);
    WriteFrame(id, frame, 4, true);
}
