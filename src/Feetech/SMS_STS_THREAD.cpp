#include "jointbus/Feetech/SMS_STS_THREAD.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "Feetech/feetech_limits.h"
#include "common/bus_drive.h"
#include "common/bus_registry.h"
#include "common/bus_tally.h"
#include "common/command_watchdog.h"
#include "common/motor_limits.h"
#include "common/realtime_threads.h"
#include "common/steady_ns.h"
#include "jointbus/Feetech/FeetechDrvImpl.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/common/logger.h"
#include "jointbus/driver/driver_uart.h"

namespace servo {

namespace {
constexpr int kTickMs = 5;

// The tick opens a closed port again, at most once a second, so that a port needs no thread
// of its own for it. When each port last tried, by scheduler.
std::mutex reopenMutex;
std::unordered_map<const SMS_STS_THREAD*, int64_t>& ReopenTries() {
    static auto* const tries = new std::unordered_map<const SMS_STS_THREAD*, int64_t>;
    return *tries;
}

void ReopenIfClosed(const SMS_STS_THREAD* scheduler, feetechMotor& servo) {
    DriverUart* port = servo.drv ? servo.drv->port.get() : nullptr;
    if (port == nullptr || port->IsOpen()) return;
    const int64_t now = SteadyNowNs();
    {
        std::lock_guard<std::mutex> lock(reopenMutex);
        int64_t& last = ReopenTries()[scheduler];
        if (last != 0 && now - last < 1000000000) return;
        last = now;
    }
    LOG_ERROR("Uart {} closed, try open...\r\n", port->devName);
    port->Open();
}
constexpr size_t kSyncReadIds = 120;  // ids that one SYNC READ packet holds

// A servo's mailbox, copied under its motorMutex so that the bus traffic it causes runs
// without the lock.
struct Mailbox {
    bool pending, enable;
    int kind;
    uint16_t position, time;
    int16_t speed;
    uint8_t acc;
};

// The caller holds m.motorMutex.
Mailbox CopyMailboxLocked(const feetechMotor& m) {
    return {m.cmdPending, m.enableCmd, m.cmdKind,     m.goalPosition,
            m.goalTime,   m.goalSpeed, m.acceleration};
}
}  // namespace

namespace {
jointbus_detail::BusRegistry<SMS_STS_THREAD>& Schedulers() {
    static auto* const schedulers = new jointbus_detail::BusRegistry<SMS_STS_THREAD>;
    return *schedulers;
}

std::atomic<bool> exiting{false};  // set by the exit handler: no scheduler starts again

// A servo that did not answer: counts an offline episode on its port when it was online. Under
// the servo's motorMutex, in a tick. The port's name comes from the engine, which init never
// replaces during a tick; uartDevice is the caller's to change between inits.
void MarkOffline(feetechMotor& m) {
    if (m.online && m.drv && m.drv->port)
        jointbus_detail::TallyOf(m.drv->port->devName)->WentOffline();
    if (m.online) jointbus_detail::RestartStep(m);
    m.online = false;
}

// The bound of a read from `m` in a driven cycle: the cycle's, for a servo that is offline
// (silent); 0, the line's own time-out, for one that answers and elsewhere.
int64_t ReadBoundFor(feetechMotor& m) {
    const int64_t bound = jointbus_detail::SilentReadBoundNs();
    if (bound == 0) return 0;
    std::lock_guard<std::mutex> lock(m.motorMutex);
    return m.online ? 0 : bound;
}

// Whether a servo's missed reply is worth a line: always on the scheduler's own tick; in a
// control cycle, which may run a thousand times a second, only while it was online.
bool SayMissed(feetechMotor& m) {
    if (jointbus_detail::DrivenPeriodUs() == 0) return true;
    std::lock_guard<std::mutex> lock(m.motorMutex);
    return m.online;
}
}  // namespace

SMS_STS_THREAD* SMS_STS_THREAD::getInstance() {
    // Never destroyed, so a servo that outlives main can still deregister from its
    // destructor; an exit handler, registered once the first scheduler exists and so run
    // before the destructors of every static object built earlier, stops and joins the tick
    // threads.
    static SMS_STS_THREAD* const instance = [] {
        auto* scheduler = new SMS_STS_THREAD;
        std::atexit(StopAll);
        return scheduler;
    }();
    return instance;
}

SMS_STS_THREAD* SMS_STS_THREAD::ForPort(const std::string& port) {
    return Schedulers().For(port, getInstance(), [](const std::string&) {
        return new SMS_STS_THREAD;
    });
}

void SMS_STS_THREAD::StopAll() {
    exiting.store(true);
    auto stop = [](SMS_STS_THREAD* scheduler) {
        std::lock_guard<std::mutex> lifecycle(scheduler->lifecycleMutex);
        scheduler->stop();
    };
    stop(getInstance());
    Schedulers().ForEach(stop);
}

SMS_STS_THREAD::SMS_STS_THREAD() {
    start(kTickMs, std::bind(&SMS_STS_THREAD::Callback_SyncOpt, this));
}

SMS_STS_THREAD::~SMS_STS_THREAD() {
    stop();
    std::lock_guard<std::mutex> lock(reopenMutex);
    ReopenTries().erase(this);
}

feetechMotor* SMS_STS_THREAD::FindLocked(int id) {
    for (auto& entry : servos)
        if (entry.first == id) return entry.second;
    return nullptr;
}

void SMS_STS_THREAD::addFeetech(int id, feetechMotor* motor) {
    if (motor == nullptr) {
        LOG_ERROR("servo id:{} not registered: no servo given\r\n", id);
        return;
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    {
        std::lock_guard<std::mutex> lock(servoMutex);
        if (feetechMotor* first = FindLocked(id)) {
            if (first != motor)
                LOG_WARN("servo id:{} on {}: already registered, the later servo is not served\r\n",
                         id, motor->uartDevice);
        } else {
            servos.emplace_back(id, motor);
        }
        // Room for every servo in the tick's lists now, so that not even the first command
        // makes a tick allocate.
        const size_t n = servos.size();
        cmdIds.reserve(n);
        cmdPositions.reserve(n);
        cmdSpeeds.reserve(n);
        cmdAccs.reserve(n);
        cmdTimes.reserve(n);
        chunkIds.reserve(std::min(n, kSyncReadIds));
        LOG_ERROR("servo id:{} init...\r\n", id);
        WarnIfTickTooShortLocked(motor->uartBaud);
    }
    if (!exiting.load())  // no-op while running
        start(kTickMs, std::bind(&SMS_STS_THREAD::Callback_SyncOpt, this));
}

// One tick moves (8+N) + 21N + (8+N) + 7N + (8+9N) = 24 + 39N bytes for N servos, at 10 bits
// a byte. Says so once when that no longer fits the tick, so overruns have an explanation.
void SMS_STS_THREAD::WarnIfTickTooShortLocked(unsigned int baud) {
    if (warnedWireTime || baud == 0) return;
    const double wireMs = double(24 + 39 * servos.size()) * 10.0 * 1000.0 / double(baud);
    if (wireMs < kTickMs) return;
    warnedWireTime = true;
    LOG_WARN(
        "{} servo(s) at {} baud need {:.2f} ms of line time per tick, more than the {} ms tick\r\n",
        servos.size(), baud, wireMs, kTickMs);
}

void SMS_STS_THREAD::removeFeetech(int id, const feetechMotor* motor) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    bool empty;
    {
        std::lock_guard<std::mutex> lock(servoMutex);
        auto found = std::find_if(servos.begin(), servos.end(), [&](const auto& entry) {
            return entry.first == id && (motor == nullptr || entry.second == motor);
        });
        if (found != servos.end()) servos.erase(found);
        LOG_ERROR("servo id:{} remove...\r\n", id);
        empty = servos.empty();
    }
    // The last servo has left: stop the loop and wait for the tick in progress.
    if (empty) stop();
}

void SMS_STS_THREAD::setPosVel(unsigned int id, short position, short speed) {
    std::lock_guard<std::mutex> lock(servoMutex);
    if (feetechMotor* m = FindLocked(int(id))) {
        jointbus_detail::LimitServoCommand(*m, &position, &speed);
        std::lock_guard<std::mutex> motorLock(m->motorMutex);
        m->goalPosition = uint16_t(position);
        // A position command's speed is a magnitude (0 to 32767).
        m->goalSpeed = int16_t(std::min(std::abs(int(speed)), 32767));
        m->cmdPending = true;
        m->cmdKind = 1;
    }
}

void SMS_STS_THREAD::setVel(unsigned int id, short speed, unsigned short acc) {
    std::lock_guard<std::mutex> lock(servoMutex);
    if (feetechMotor* m = FindLocked(int(id))) {
        jointbus_detail::LimitServoCommand(*m, nullptr, &speed);
        std::lock_guard<std::mutex> motorLock(m->motorMutex);
        m->goalSpeed = speed;
        m->acceleration = uint8_t(acc & 0xFF);
        m->cmdPending = true;
        m->cmdKind = 2;
    }
}

void SMS_STS_THREAD::setEnable(int id, bool enable) {
    std::lock_guard<std::mutex> lock(servoMutex);
    if (feetechMotor* m = FindLocked(id)) {
        std::lock_guard<std::mutex> motorLock(m->motorMutex);
        m->enableCmd = enable;
    }
}

void SMS_STS_THREAD::SetAcceleration(int id, unsigned char acc) {
    std::lock_guard<std::mutex> lock(servoMutex);
    if (feetechMotor* m = FindLocked(id)) {
        std::lock_guard<std::mutex> motorLock(m->motorMutex);
        m->acceleration = acc;
    }
}

void SMS_STS_THREAD::ApplyPositionAsHome(int id) {
    std::lock_guard<std::mutex> lock(servoMutex);
    if (feetechMotor* m = FindLocked(id)) m->homeRequest = true;
}

// Puts the ids of the servos from `first` into chunkIds, as many as one SYNC READ holds;
// returns the index after the last of them.
size_t SMS_STS_THREAD::ChunkLocked(size_t first) {
    const size_t last = std::min(servos.size(), first + kSyncReadIds);
    chunkIds.clear();
    for (size_t k = first; k < last; ++k) chunkIds.push_back(servos[k].first);
    return last;
}

// Reads the feedback block of every servo: one SYNC READ per 120 servos, each followed by
// the replies of its servos in request order.
void SMS_STS_THREAD::ReadFeedbackLocked() {
    for (size_t first = 0; first < servos.size(); first += kSyncReadIds) {
        const size_t last = ChunkLocked(first);
        servos.front().second->syncReadStatus(chunkIds);
        for (size_t k = first; k < last; ++k) {
            feetechMotor* m = servos[k].second;
            const jointbus_detail::ReadDeadline bound(ReadBoundFor(*m));
            if (m->readStatus(1) == 0 && SayMissed(*m))
                LOG_ERROR("Feetech motor {} read error.\r\n", servos[k].first);
        }
    }
}

// Writes the calibration; once the servo has answered, the request is done and the torque is
// switched on again if it is wanted. Without an answer it is tried again next tick.
void SMS_STS_THREAD::HomeOne(feetechMotor* m) {
    if (m->setHomeCmd() <= 0) return;
    jointbus_detail::RestartStep(*m);  // a target set while homing was in the old frame
    m->homeRequest = false;
    bool enable;
    {
        std::lock_guard<std::mutex> motorLock(m->motorMutex);
        enable = m->enableCmd;
    }
    if (enable) m->setEnable(true);
}

void SMS_STS_THREAD::HomeLocked() {
    for (auto& entry : servos)
        if (entry.second->homeRequest.load()) HomeOne(entry.second);
}

void SMS_STS_THREAD::ReadEnableLocked() {
    for (size_t first = 0; first < servos.size(); first += kSyncReadIds) {
        const size_t last = ChunkLocked(first);
        servos.back().second->syncReadEnable(chunkIds);
        for (size_t k = first; k < last; ++k) {
            feetechMotor* m = servos[k].second;
            int value;
            {
                const jointbus_detail::ReadDeadline bound(ReadBoundFor(*m));
                value = m->readEnable(1);
            }
            const bool say = value != -1 || SayMissed(*m);
            std::lock_guard<std::mutex> motorLock(m->motorMutex);
            if (value == -1) {
                MarkOffline(*m);
                if (say) LOG_ERROR("servo nodeid:{} read error!\r\n", m->fbId);
            } else {
                m->online = true;
                m->fbEnabled = value != 0;
            }
        }
    }
}

void SMS_STS_THREAD::SendCommandsLocked() {
    cmdIds.clear();
    cmdPositions.clear();
    cmdSpeeds.clear();
    cmdAccs.clear();
    cmdTimes.clear();
    for (auto& [id, m] : servos) {
        jointbus_detail::WatchCommands(*m, SteadyNowNs());
        Mailbox box;
        bool enabled;
        {
            std::lock_guard<std::mutex> motorLock(m->motorMutex);
            box = CopyMailboxLocked(*m);
            enabled = m->fbEnabled;
        }
        // Bumpless: the goal becomes where the servo stands, and its torque goes on next tick.
        if (box.enable && !enabled && !box.pending &&
            jointbus_detail::SeedGoalFirst(*m, true)) {
            std::lock_guard<std::mutex> motorLock(m->motorMutex);
            cmdIds.push_back(id);
            cmdPositions.push_back(short(m->PresentGoalLocked()));
            cmdSpeeds.push_back(0);
            cmdAccs.push_back(box.acc);
            cmdTimes.push_back(0);
            continue;  // its mailbox stays as it is
        }
        if (box.enable == enabled) jointbus_detail::SeedGoalFirst(*m, false);
        if (box.enable != enabled) m->setEnable(box.enable);
        if (box.enable && box.pending) {
            if (box.kind == 1 && box.speed >= 0) {
                cmdIds.push_back(id);
                cmdPositions.push_back(short(box.position));
                cmdSpeeds.push_back(box.speed);
                cmdAccs.push_back(box.acc);
                cmdTimes.push_back(uint8_t(box.time & 0xFF));
            } else if (box.kind == 1) {
                LOG_ERROR("servo {} position command with speed {} dropped\r\n", id, box.speed);
            } else if (box.kind == 2) {
                m->setTargetVel(box.speed, box.acc);
            }
        }
        std::lock_guard<std::mutex> motorLock(m->motorMutex);
        m->cmdPending = false;
    }
    if (!cmdIds.empty())
        servos.back().second->syncWritePos(cmdIds, cmdPositions, cmdSpeeds, cmdAccs, cmdTimes);
}

void SMS_STS_THREAD::Callback_SyncOpt() {
    // A control cycle runs the ticks on its caller's thread, which keeps its own scheduling.
    if (jointbus_detail::DrivenPeriodUs() == 0) jointbus_detail::ApplyRealtimeOnce("servo scheduler");
    if (jointbus_detail::TickSkipped(this)) return;
    std::lock_guard<std::mutex> lock(servoMutex);
    if (servos.empty()) return;
    ReopenIfClosed(this, *servos.front().second);
    ReadFeedbackLocked();
    HomeLocked();
    ReadEnableLocked();
    SendCommandsLocked();
}

void SMS_STS_THREAD::Callback() {
    std::lock_guard<std::mutex> lock(servoMutex);
    feetechMotor* last = nullptr;
    for (auto& [id, m] : servos) {
        last = m;
        if (m == nullptr) continue;
        jointbus_detail::WatchCommands(*m, SteadyNowNs());
        if (m->readStatus(0) == 0) {
            LOG_ERROR("Feetech motor {} read error.\r\n", id);
            continue;
        }
        if (m->homeRequest.load()) {
            HomeOne(m);
        } else {
            const int value = m->readEnable(0);
            Mailbox box;
            {
                std::lock_guard<std::mutex> motorLock(m->motorMutex);
                if (value == -1) {
                    MarkOffline(*m);
                    LOG_ERROR("servo nodeid:{} read error!\r\n", m->fbId);
                    continue;
                }
                m->fbEnabled = value != 0;
                m->online = true;
                box = CopyMailboxLocked(*m);
            }
            if ((value != 0) != box.enable) m->setEnable(box.enable);
            if (box.enable && box.pending) {
                if (box.kind == 1 && box.speed >= 0)
                    m->setTargetPosAsync(short(box.position), box.speed, box.acc, box.time);
                if (box.kind == 2) m->setTargetVel(box.speed, box.acc);
            }
        }
        std::lock_guard<std::mutex> motorLock(m->motorMutex);
        m->cmdPending = false;
    }
    if (last != nullptr) last->setAsyncAction();
}

// Walks raw bus bytes packet by packet; the packets are not used further.
void SMS_STS_THREAD::Consume(unsigned char* data, unsigned int len) {
    if (data == nullptr || len == 0) return;
    unsigned int i = 0;
    while (len - i >= 2) {
        if (data[i] == 0xFF && data[i + 1] == 0xFF) {
            if (i + 3 >= len) {
                LOG_ERROR("SMS_STS_THREAD invalid consume data size..\r\n");
                return;
            }
            const unsigned int end = i + data[i + 3] + 4;
            if (end > len) {
                LOG_ERROR("SMS_STS_THREAD invalid consume data size..\r\n");
                return;
            }
            i = end;
        } else {
            ++i;
        }
    }
}

}  // namespace servo
