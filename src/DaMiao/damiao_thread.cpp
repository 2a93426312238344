#include "jointbus/DaMiao/damiao_thread.h"

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <vector>

#include "DaMiao/damiao_membership.h"
#include "common/bus_drive.h"
#include "common/bus_registry.h"
#include "common/realtime_threads.h"
#include "common/steady_ns.h"
#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/common/can_settings.h"
#include "jointbus/common/logger.h"
#include "jointbus/driver/driver_can.h"

namespace Damiao {

// What the engine of one interface keeps besides its motors. Used under the sender's
// motorsMutex only.
struct Engine {
    std::vector<damiaoMotor*> order;  // this tick's motors, in the order they send
    std::vector<char> answered;       // of `order`: a frame came on the motor's socket
    size_t current = 0;               // the motor whose frame goes out now
    std::vector<pollfd> fds;
    std::vector<size_t> fdMotor;      // of `fds`: the index in `order`
    DriverCan* busOff = nullptr;      // a socket that reported bus-off in this tick
    std::unordered_map<const damiaoMotor*, int64_t> closedSinceNs;  // sockets to reopen
    struct Homing {
        int64_t startNs;
        long long elapsedMs;
    };
    std::unordered_map<const damiaoMotor*, Homing> homing;  // driven homing under way
};

namespace {
constexpr int kTickMs = 5;

jointbus_detail::BusRegistry<Damiao_Thread>& Senders() {
    static auto* const senders = new jointbus_detail::BusRegistry<Damiao_Thread>;
    return *senders;
}

std::atomic<bool> exiting{false};  // set by the exit handler: no sender starts again

// Where each motor is registered. A motor leaves the sender it joined, whatever its public
// dev_name and motor_id say by then: a caller may change both between two inits, and a sender
// left holding the motor would drive it twice and, once it is destroyed, through a dangling
// pointer. Never destroyed, like the senders.
struct Membership {
    Damiao_Thread* sender;
    int id;
};
std::mutex membershipMutex;
std::unordered_map<const damiaoMotor*, Membership>& Memberships() {
    static auto* const memberships = new std::unordered_map<const damiaoMotor*, Membership>;
    return *memberships;
}

std::mutex enginesMutex;
std::unordered_map<const Damiao_Thread*, Engine>& Engines() {
    static auto* const engines = new std::unordered_map<const Damiao_Thread*, Engine>;
    return *engines;
}
Engine& EngineOf(const Damiao_Thread* sender) {
    std::lock_guard<std::mutex> lock(enginesMutex);
    return Engines()[sender];  // elements stay where they are while the map grows
}

// The engine whose tick runs on this thread, for the motors' pauses between frames.
thread_local Engine* tickEngine = nullptr;

constexpr int64_t kReopenNs = 1000000000;  // a closed socket is reopened a second later

bool FindMembership(const damiaoMotor* motor, Membership& out) {
    std::lock_guard<std::mutex> lock(membershipMutex);
    auto found = Memberships().find(motor);
    if (found == Memberships().end()) return false;
    out = found->second;
    return true;
}
}  // namespace

void LeaveSender(damiaoMotor* motor) {
    Membership member;
    if (FindMembership(motor, member)) member.sender->removeDamiao(member.id, motor);
}

Damiao_Thread* SenderOf(const damiaoMotor* motor) {
    Membership member;
    return FindMembership(motor, member) ? member.sender : nullptr;
}

void TakeAnswers(damiaoMotor* motor) {
    Engine* e = tickEngine;
    if (e == nullptr || motor->canDriver == nullptr || e->current >= e->order.size()) return;
    DrivenAccess::Read(*e, e->current, true);
}

Damiao_Thread* Damiao_Thread::getInstance() {
    // Never destroyed, so a motor that outlives main (a global, a static pointer) can still
    // deregister from its destructor. The tick threads must not run on into the teardown of
    // the process, though: an exit handler stops and joins them all. Registered once the
    // first sender exists, the handler runs before the destructors of every static object
    // built earlier, motors included.
    static Damiao_Thread* const instance = [] {
        auto* sender = new Damiao_Thread;
        std::atexit(StopAll);
        return sender;
    }();
    return instance;
}

Damiao_Thread* Damiao_Thread::ForInterface(const std::string& interface) {
    return Senders().For(interface, getInstance(), [](const std::string& bus) {
        LOG_INFO("Start DamiaoMotor Thread for {}.\n", bus);
        return new Damiao_Thread(OwnBus{});
    });
}

void Damiao_Thread::StopAll() {
    exiting.store(true);
    auto stop = [](Damiao_Thread* sender) {
        std::lock_guard<std::mutex> lifecycle(sender->lifecycleMutex);
        sender->timer.stop();
    };
    stop(getInstance());
    Senders().ForEach(stop);
}

Damiao_Thread::Damiao_Thread() {
    LOG_INFO("Start DamiaoMotor Thread.\n");
    Start();
}

Damiao_Thread::Damiao_Thread(OwnBus) : stopsWhenIdle(true) {}

void Damiao_Thread::Start() {
    if (!exiting.load()) timer.start(kTickMs, std::bind(&Damiao_Thread::Callback, this));
}

Damiao_Thread::~Damiao_Thread() {
    timer.stop();
    std::lock_guard<std::mutex> lock(motorsMutex);
    motors.clear();
    std::lock_guard<std::mutex> engines(enginesMutex);
    Engines().erase(this);
}

void Damiao_Thread::addDamiao(int id, damiaoMotor* motor) {
    // Out of its old place first, without this sender's locks held: two senders never wait
    // for each other.
    Membership old;
    if (motor != nullptr && FindMembership(motor, old) && (old.sender != this || old.id != id))
        old.sender->removeDamiao(old.id, motor);
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    bool first;
    {
        std::lock_guard<std::mutex> lock(motorsMutex);
        first = motors.empty();
        damiaoMotor*& slot = motors[id];
        if (slot != nullptr && slot != motor) {
            LOG_WARN("Damiao motor {} on {}: replaced by a later motor with the same id\r\n", id,
                     slot->dev_name);
            std::lock_guard<std::mutex> members(membershipMutex);
            Memberships().erase(slot);
        }
        slot = motor;
        if (motor != nullptr) {
            std::lock_guard<std::mutex> members(membershipMutex);
            Memberships()[motor] = Membership{this, id};
        }
    }
    // A sender serves one interface: the first motor to arrive brings the interface's tick.
    const int tickUs =
        motor != nullptr && first ? jointbus::GetCanInterfaceSettings(motor->dev_name).tickUs : 0;
    if (tickUs != 0)
        StartEvery(tickUs, motor->dev_name);
    else if (stopsWhenIdle)
        Start();  // no-op while running
}

// The fixed-rate schedule of an interface with tick_us, in place of the 5 ms timer (which the
// process-wide sender runs from its construction).
void Damiao_Thread::StartEvery(int tickUs, const std::string& interface) {
    if (exiting.load()) return;
    timer.stop();
    LOG_INFO("Damiao sender for {}: a tick every {} us, on a fixed-rate schedule\n", interface,
             tickUs);
    timer.startEvery(std::chrono::microseconds(tickUs), std::bind(&Damiao_Thread::Callback, this));
}

void Damiao_Thread::removeDamiao(int id, damiaoMotor* motor) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    bool idle;
    {
        std::lock_guard<std::mutex> lock(motorsMutex);
        auto found = motors.find(id);
        if (found != motors.end() && found->second == motor) {
            motors.erase(found);
            Engine& e = EngineOf(this);
            e.closedSinceNs.erase(motor);
            e.homing.erase(motor);
            std::lock_guard<std::mutex> members(membershipMutex);
            Memberships().erase(motor);
        }
        idle = motors.empty();
    }
    // Its last motor has left: the thread ends after the tick in progress.
    if (idle && stopsWhenIdle) timer.stop();
}

void Damiao_Thread::Callback() {
    jointbus_detail::ApplyRealtimeOnce("Damiao sender");
    if (jointbus_detail::TickSkipped(this)) return;  // a control cycle runs the ticks
    std::lock_guard<std::mutex> lock(motorsMutex);
    // A cycle may have taken the tick while this thread waited for the lock. (The hold of a
    // Damiao bus takes none of its locks.)
    if (jointbus_detail::TickSkipped(this)) return;
    const TickClock clock;  // one clock reading for the whole tick
    Engine& e = EngineOf(this);
    DrivenAccess::SendTick(*this, e, false);
    // Without pauses between frames the answers are collected after the last frame, until
    // every motor has answered or half the tick has gone.
    if (!e.order.empty() && e.order.front()->canDriver != nullptr &&
        e.order.front()->canDriver->FrameGapUs() == 0)
        DrivenAccess::Collect(e, TickOrNowNs() + e.order.front()->canDriver->TickUs() * 500LL);
    DrivenAccess::EndTick(e);
    ticks.fetch_add(1, std::memory_order_relaxed);
}

std::mutex& DrivenAccess::Lock(Damiao_Thread& sender) {
    return sender.motorsMutex;
}

void DrivenAccess::SendCycle(Damiao_Thread& sender) {
    const TickClock clock;
    SendTick(sender, EngineOf(&sender), true);
}

void DrivenAccess::CollectCycle(Damiao_Thread& sender, int64_t deadlineNs,
                                std::vector<damiaoMotor*>& silent) {
    Engine& e = EngineOf(&sender);
    Collect(e, deadlineNs);
    for (size_t i = 0; i < e.order.size(); ++i)
        if (!e.answered[i]) silent.push_back(e.order[i]);
    EndTick(e);
    sender.ticks.fetch_add(1, std::memory_order_relaxed);
}

// The engine's work, shared by the sender's own tick and a control cycle's.
void DrivenAccess::SendTick(Damiao_Thread& sender, Engine& e, bool driven) {
    e.order.clear();
    for (auto& entry : sender.motors) e.order.push_back(entry.second);
    e.answered.assign(e.order.size(), 0);
    e.busOff = nullptr;
    ReadAll(e);
    tickEngine = &e;
    for (size_t i = 0; i < e.order.size(); ++i) {
        e.current = i;
        damiaoMotor* m = e.order[i];
        m->WatchFeedback();
        if (m->homeTimeoutMs.load(std::memory_order_relaxed) != 0) {
            if (driven)
                HomeStep(e, m);
            else
                m->SetHomeCmd();
        } else if (m->enableReq.load(std::memory_order_relaxed) &&
                   m->reportedEnabled.load(std::memory_order_relaxed) &&
                   m->cmdPending.load(std::memory_order_relaxed)) {
            m->SetTargetPos();
        } else {
            m->SendStat();
        }
    }
    e.current = e.order.size();
    tickEngine = nullptr;
}

// Reads whatever waits on any of the motors' sockets (answers that came after their motor's
// pause, register answers, bus-off), and reopens sockets that have been closed for a second.
void DrivenAccess::ReadAll(Engine& e) {
    const int64_t now = SteadyNowNs();
    e.fds.clear();
    e.fdMotor.clear();
    for (size_t i = 0; i < e.order.size(); ++i) {
        DriverCan* driver = e.order[i]->canDriver;
        if (driver == nullptr) continue;
        int fd = driver->Descriptor();
        if (fd < 0) {
            auto since = e.closedSinceNs.emplace(e.order[i], now).first;
            if (now - since->second < kReopenNs) continue;
            if (driver->Open() != 0) {
                since->second = now;
                continue;
            }
            e.closedSinceNs.erase(since);
            fd = driver->Descriptor();
        }
        e.fds.push_back({fd, POLLIN, 0});
        e.fdMotor.push_back(i);
    }
    if (e.fds.empty() || poll(e.fds.data(), e.fds.size(), 0) <= 0) return;
    for (size_t k = 0; k < e.fds.size(); ++k)
        if (e.fds[k].revents != 0) Read(e, e.fdMotor[k], false);
}

void DrivenAccess::Read(Engine& e, size_t i, bool answer) {
    damiaoMotor* m = e.order[i];
    bool busOff = false;
    const int n = m->canDriver->ReadWaiting(&busOff);
    if (n > 0 && answer) e.answered[i] = 1;
    if (n < 0) e.closedSinceNs.emplace(m, SteadyNowNs());
    if (busOff) e.busOff = m->canDriver;
}

void DrivenAccess::Collect(Engine& e, int64_t deadlineNs) {
    while (true) {
        e.fds.clear();
        e.fdMotor.clear();
        for (size_t i = 0; i < e.order.size(); ++i) {
            DriverCan* driver = e.order[i]->canDriver;
            if (e.answered[i] || driver == nullptr || driver->Descriptor() < 0) continue;
            e.fds.push_back({driver->Descriptor(), POLLIN, 0});
            e.fdMotor.push_back(i);
        }
        const int64_t left = deadlineNs - SteadyNowNs();
        if (e.fds.empty() || left <= 0) return;
        const timespec wait{time_t(left / 1000000000), long(left % 1000000000)};
        const int r = ppoll(e.fds.data(), e.fds.size(), &wait, nullptr);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        for (size_t k = 0; k < e.fds.size(); ++k)
            if (e.fds[k].revents != 0) Read(e, e.fdMotor[k], true);
    }
}

// After the tick's frames: a driven homing step's check, and one reset of the interface for
// a bus-off, however many of its sockets reported it.
void DrivenAccess::EndTick(Engine& e) {
    for (damiaoMotor* m : e.order) {
        auto homing = e.homing.find(m);
        if (homing == e.homing.end()) continue;
        if (m->HomeCheck(homing->second.startNs, homing->second.elapsedMs) != damiaoMotor::kHoming)
            e.homing.erase(homing);
    }
    if (e.busOff == nullptr) return;
    e.busOff->ResetBusOff();
    // The other sockets saw the same error frame: it is over now.
    for (damiaoMotor* m : e.order) {
        bool stale = false;
        if (m->canDriver != nullptr && m->canDriver != e.busOff) m->canDriver->ReadWaiting(&stale);
    }
    e.busOff = nullptr;
}

// One homing step in a driven cycle: one save-zero frame; the check follows the answers.
void DrivenAccess::HomeStep(Engine& e, damiaoMotor* m) {
    if (e.homing.find(m) == e.homing.end()) {
        e.homing[m] = Engine::Homing{SteadyNowNs(), 0};
        m->inWindow = true;
        m->lastCmdPos = 0;
    }
    m->SendSpecial(kSaveZero);
}

}  // namespace Damiao
