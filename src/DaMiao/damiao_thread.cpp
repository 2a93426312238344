#include "jointbus/DaMiao/damiao_thread.h"

#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

#include "DaMiao/damiao_impedance.h"
#include "DaMiao/damiao_membership.h"
#include "common/bus_drive.h"
#include "common/bus_registry.h"
#include "common/command_watchdog.h"
#include "common/fatal_policy.h"
#include "common/realtime_threads.h"
#include "common/steady_ns.h"
#include "runtime/motor_runtime.h"
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

    // One socket for the whole interface when a tick sends without pauses (frame_gap_us: 0, or
    // a control cycle): its frames go out in one sendmmsg and the answers come in by
    // recvmmsg, filtered on every motor's feedback id, while the motors' own sockets are
    // muted. Only over real CAN sockets: a test double's transport keeps a socket per motor.
    struct Router : ConsumerInterface {
        Engine* engine = nullptr;
        void Consume(CanFrame& frame) override { DrivenAccess::Route(*engine, frame); }
    };
    std::unique_ptr<DriverCan> socket;
    Router router;
    int filteredFd = -1;                 // the shared socket that `filters` went to
    std::vector<can_filter> filters;     // one per feedback id
    std::vector<can_filter> wanted;      // this tick's, kept to spare an allocation a tick
    int64_t socketClosedNs = 0;          // when the shared socket was found closed
    std::vector<const DriverCan*> checked;  // the drivers last found to be CAN sockets
    bool allCan = false;
    bool muted = false;                  // the tick reads the shared socket
    std::unordered_set<DriverCan*> mutedDrivers;
    bool batching = false;               // the current motor's frames wait for Flush
    std::vector<CanFrame> batch;
    std::vector<size_t> batchMotor;      // of `batch`: the index in `order`
    std::vector<char> batchCounted;      // of `batch`: a failure counts towards offline

    // A restart of the interface that a control cycle owed it (DriverCan::RestartOwed): the
    // bus thread does it (ServeRestart) with restartMutex held, which a motor takes to leave;
    // until it is done the cycles send nothing on the interface and report its motors silent.
    std::atomic<bool> restartWanted{false};
    std::mutex restartMutex;
    bool down = false;                   // this cycle: the interface waits for its restart

    // Each seated motor's runtime, which the tick reaches without the registry: by motor, and
    // in the tick's order (remade only when the order changes).
    std::unordered_map<const damiaoMotor*, jointbus_detail::MotorRuntime*> seats;
    std::vector<damiaoMotor*> runtimeOrder;
    std::vector<jointbus_detail::MotorRuntime*> runtimes;
};

namespace {
constexpr int kTickMs = 5;

jointbus_detail::BusRegistry<Damiao_Thread>& Senders() {
    static auto* const senders = new jointbus_detail::BusRegistry<Damiao_Thread>;
    return *senders;
}

std::atomic<bool> exiting{false};  // set by the exit handler: no sender starts again

// Where each motor is registered is its runtime's seat: a motor leaves the sender it joined,
// whatever its public dev_name and motor_id say by then. A caller may change both between two
// inits, and a sender left holding the motor would drive it twice and, once it is destroyed,
// through a dangling pointer.
struct Membership {
    Damiao_Thread* sender;
    int id;
};

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
    jointbus_detail::RuntimeLock lock(motor);
    const jointbus_detail::MotorRuntime* rt = lock.Find();
    if (rt == nullptr || rt->seat.bus == nullptr) return false;
    out = Membership{static_cast<Damiao_Thread*>(rt->seat.bus), rt->seat.id};
    return true;
}

// Seats `motor` on `sender` under `id`, or (sender null) takes its seat away. The motor's
// runtime, which its engine's ticks reach directly from here on (null when it leaves).
jointbus_detail::MotorRuntime* SeatOn(const damiaoMotor* motor, Damiao_Thread* sender, int id) {
    jointbus_detail::RuntimeLock lock(motor);
    if (sender == nullptr) {
        if (jointbus_detail::MotorRuntime* rt = lock.Find()) rt->seat = {};
        return nullptr;
    }
    jointbus_detail::MotorRuntime& rt = lock.Make();
    rt.seat = {sender, id};
    return &rt;
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

bool QueueFrame(damiaoMotor* motor, uint32_t id, const uint8_t* data, uint8_t len,
                bool countFailure) {
    Engine* e = tickEngine;
    if (e == nullptr || !e->batching || e->current >= e->order.size() ||
        e->order[e->current] != motor)
        return false;
    CanFrame frame;
    frame.id = id;
    frame.len = len > 8 ? 8 : len;
    std::memcpy(frame.data, data, frame.len);
    e->batch.push_back(frame);
    e->batchMotor.push_back(e->current);
    e->batchCounted.push_back(countFailure);
    return true;
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
    std::lock_guard<std::mutex> restart(EngineOf(this).restartMutex);  // a motor it replaces leaves
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    bool first;
    {
        std::lock_guard<std::mutex> lock(motorsMutex);
        first = motors.empty();
        damiaoMotor*& slot = motors[id];
        if (slot != nullptr && slot != motor) {
            LOG_WARN("Damiao motor {} on {}: replaced by a later motor with the same id\r\n", id,
                     slot->dev_name);
            // It leaves as by removeDamiao: the engine keeps nothing of it (its muted socket
            // above all), since the caller may destroy it as soon as this returns.
            DrivenAccess::Leave(*this, EngineOf(this), slot);
        }
        slot = motor;
        if (motor != nullptr) {
            Engine& e = EngineOf(this);
            e.seats[motor] = SeatOn(motor, this, id);
            e.runtimeOrder.clear();  // a later motor may stand where a gone one stood
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
    LateAnswers late = LateAnswers::kNone;
    {
        // Not while an owed restart runs: its driver may be this motor's.
        std::lock_guard<std::mutex> restart(EngineOf(this).restartMutex);
        std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
        bool idle;
        {
            std::lock_guard<std::mutex> lock(motorsMutex);
            auto found = motors.find(id);
            if (found != motors.end() && found->second == motor) {
                late = DrivenAccess::Leave(*this, EngineOf(this), motor);
                motors.erase(found);
            }
            idle = motors.empty();
        }
        // Its last motor has left: the thread ends after the tick in progress.
        if (idle && stopsWhenIdle) timer.stop();
    }
    if (late != LateAnswers::kNone) DrivenAccess::AwaitLateAnswers(motor, late);
}

void Damiao_Thread::Callback() {
    jointbus_detail::ApplyRealtimeOnce("Damiao sender");
    DrivenAccess::ServeRestart(*this);
    if (jointbus_detail::TickSkipped(this)) return;  // a control cycle runs the ticks
    std::lock_guard<std::mutex> lock(motorsMutex);
    // A cycle may have taken the tick while this thread waited for the lock. (The hold of a
    // Damiao bus takes none of its locks.)
    if (jointbus_detail::TickSkipped(this)) return;
    const TickClock clock;  // one clock reading for the whole tick
    Engine& e = EngineOf(this);
    DrivenAccess::SendTick(*this, e, false);
    // The answers are collected after the last frame, until every motor has answered or half
    // the tick has gone: an answer that came after its motor's pause is read in this tick, not
    // the next. With pauses, only online motors are waited for, so that a motor that is gone
    // does not lengthen every tick; the wire is the same.
    if (!e.order.empty() && e.order.front()->canDriver != nullptr) {
        if (e.order.front()->canDriver->FrameGapUs() != 0)
            for (size_t i = 0; i < e.order.size(); ++i)
                if (!e.order[i]->online.load(std::memory_order_relaxed)) e.answered[i] = 1;
        DrivenAccess::Collect(e, TickOrNowNs() + e.order.front()->canDriver->TickUs() * 500LL);
    }
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
    if (!e.down) Collect(e, deadlineNs);
    for (size_t i = 0; i < e.order.size(); ++i)
        if (!e.answered[i]) silent.push_back(e.order[i]);
    if (e.down) return;
    EndTick(e);  // a bus-off reset is owed to the bus thread from here
    if (Owed(e)) e.restartWanted.store(true);
    sender.ticks.fetch_add(1, std::memory_order_relaxed);
}

bool DrivenAccess::Owed(Engine& e) {
    const DriverCan* driver = e.socket != nullptr        ? e.socket.get()
                              : !e.order.empty()         ? e.order.front()->canDriver
                                                         : nullptr;
    return driver != nullptr && driver->RestartOwed();
}

// On the bus thread: a restart that a control cycle owed the interface, without the sender's
// lock, so that the cycles go on (reporting the interface's motors silent) while it runs.
void DrivenAccess::ServeRestart(Damiao_Thread& sender) {
    Engine& e = EngineOf(&sender);
    if (!e.restartWanted.load()) return;
    std::lock_guard<std::mutex> restart(e.restartMutex);
    DriverCan* driver = nullptr;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(sender.motorsMutex);
        if (!sender.motors.empty()) {
            name = sender.motors.begin()->second->dev_name;
            driver = e.socket != nullptr ? e.socket.get() : sender.motors.begin()->second->canDriver;
        }
    }
    if (driver != nullptr && driver->RestartOwed()) {
        LOG_INFO("Damiao sender for {}: restarting the interface; a control cycle reports its "
                 "motors silent meanwhile\n",
                 name);
        driver->RunOwedRestart();
        LOG_INFO("Damiao sender for {}: the interface is restarted\n", name);
    }
    std::lock_guard<std::mutex> lock(sender.motorsMutex);
    // Back: the sockets closed meanwhile are reopened at once, not a second after they are seen.
    const int64_t due = SteadyNowNs() - kReopenNs;
    for (auto& entry : sender.motors)
        if (entry.second->canDriver != nullptr && entry.second->canDriver->Descriptor() < 0)
            e.closedSinceNs[entry.second] = due;
    if (e.socketClosedNs != 0) e.socketClosedNs = due;
    e.restartWanted.store(false);
}

// The engine's work, shared by the sender's own tick and a control cycle's.
void DrivenAccess::SendTick(Damiao_Thread& sender, Engine& e, bool driven) {
    e.order.clear();
    for (auto& entry : sender.motors) e.order.push_back(entry.second);
    e.answered.assign(e.order.size(), 0);
    e.busOff = nullptr;
    // An interface that waits for its restart takes no frames and is not read (a reopen would
    // owe another restart): its motors are silent for this cycle.
    e.down = driven && (e.restartWanted.load() || Owed(e));
    if (e.down) {
        e.restartWanted.store(true);
        return;
    }
    if (e.runtimeOrder != e.order) {
        e.runtimeOrder = e.order;
        e.runtimes.clear();
        for (damiaoMotor* m : e.order) e.runtimes.push_back(e.seats[m]);
    }
    const bool batched = driven || (!e.order.empty() && e.order.front()->canDriver != nullptr &&
                                    e.order.front()->canDriver->FrameGapUs() == 0);
    SetMuted(e, batched && UseShared(e));
    ReadAll(e);
    tickEngine = &e;
    e.batching = e.muted;
    for (size_t i = 0; i < e.order.size(); ++i) {
        e.current = i;
        damiaoMotor* m = e.order[i];
        const jointbus_detail::TickRuntime seat(m, e.runtimes[i]);
        m->WatchFeedback();
        jointbus_detail::WatchCommands(*m, TickOrNowNs());
        jointbus_detail::WatchDamping(*m, TickOrNowNs());
        if (jointbus_detail::EnabledAnew(*m, m->enableReq.load(std::memory_order_relaxed) &&
                                                 m->reportedEnabled.load(std::memory_order_relaxed)))
            jointbus_detail::HoldWhereEnabled(*m);
        if (m->homeTimeoutMs.load(std::memory_order_relaxed) != 0) {
            if (driven) {
                HomeStep(e, m);
            } else {
                // Homing waits for answers between its frames: they go out one by one, after
                // the frames before them.
                Flush(e);
                e.batching = false;
                m->SetHomeCmd();
                e.batching = e.muted;
            }
        } else if (m->enableReq.load(std::memory_order_relaxed) &&
                   m->reportedEnabled.load(std::memory_order_relaxed) &&
                   m->cmdPending.load(std::memory_order_relaxed)) {
            m->SetTargetPos();
        } else {
            m->SendStat();
        }
    }
    Flush(e);
    e.batching = false;
    e.current = e.order.size();
    tickEngine = nullptr;
}

// Whether this tick can go over one socket for the interface, opening it (again) if need be.
bool DrivenAccess::UseShared(Engine& e) {
    if (e.order.empty()) return false;
    // Are the motors' sockets CAN sockets? Asked again only when the drivers change.
    bool same = e.checked.size() == e.order.size();
    for (size_t i = 0; same && i < e.order.size(); ++i)
        same = e.checked[i] == e.order[i]->canDriver;
    if (!same) {
        e.checked.clear();
        e.allCan = true;
        for (damiaoMotor* m : e.order) {
            int domain = -1;
            socklen_t size = sizeof domain;
            const int fd = m->canDriver != nullptr ? m->canDriver->Descriptor() : -1;
            // (A sender that a client fills itself may serve motors of several interfaces.)
            if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0 ||
                domain != AF_CAN || m->dev_name != e.order.front()->dev_name) {
                e.allCan = false;
                // A closed socket may be a CAN socket after all: asked again next tick.
                if (fd < 0) return false;
            }
            e.checked.push_back(m->canDriver);
        }
    }
    if (!e.allCan) return false;

    std::vector<can_filter>& filters = e.wanted;
    filters.clear();
    for (damiaoMotor* m : e.order) {
        const can_filter f{m->master_id, CAN_SFF_MASK};
        bool known = false;
        for (const can_filter& k : filters) known = known || k.can_id == f.can_id;
        if (!known) filters.push_back(f);
    }
    const int64_t now = SteadyNowNs();
    if (e.socket == nullptr) {
        e.router.engine = &e;
        e.socket.reset(new DriverCan(e.order.front()->dev_name.c_str(), &filters.front(), 1));
        e.socket->SetConsumer(&e.router);
        e.filteredFd = -1;
    } else if (e.socket->Descriptor() < 0) {
        if (e.socketClosedNs == 0) e.socketClosedNs = now;
        if (now - e.socketClosedNs < kReopenNs) return false;
        e.filteredFd = -1;
        if (e.socket->Open() != 0) {
            e.socketClosedNs = now;
            return false;
        }
    }
    if (e.socket->Descriptor() < 0) {
        e.socketClosedNs = now;
        return false;
    }
    e.socketClosedNs = 0;
    if (e.filteredFd != e.socket->Descriptor() || filters.size() != e.filters.size() ||
        !std::equal(filters.begin(), filters.end(), e.filters.begin(),
                    [](const can_filter& a, const can_filter& b) {
                        return a.can_id == b.can_id;
                    })) {
        if (e.socket->MuteReceive(false) != 0 ||
            e.socket->CanFiltersConfig(filters.data(), int(filters.size() * sizeof(can_filter))) !=
                0)
            return false;
        e.filters = filters;
        e.filteredFd = e.socket->Descriptor();
    }
    return true;
}

// Moves the reading between the motors' sockets and the shared one. The side that takes over
// listens before the other is muted and read out, so no answer is lost; one that came in
// between is handed on twice, which changes nothing (the same feedback again).
void DrivenAccess::SetMuted(Engine& e, bool muted) {
    if (muted) {
        for (damiaoMotor* m : e.order) {
            DriverCan* d = m->canDriver;
            if (d == nullptr || d->Descriptor() < 0 || e.mutedDrivers.count(d) != 0) continue;
            bool busOff = false;
            d->ReadWaiting(&busOff);
            if (busOff) e.busOff = d;
            if (d->MuteReceive(true) == 0) e.mutedDrivers.insert(d);
        }
    } else if (e.muted) {
        for (DriverCan* d : e.mutedDrivers) d->MuteReceive(false);
        e.mutedDrivers.clear();
        if (e.socket->MuteReceive(true) == 0) e.filteredFd = -1;
        ReadShared(e);
    }
    e.muted = muted;
}

void DrivenAccess::ReadShared(Engine& e) {
    if (e.socket == nullptr || e.socket->Descriptor() < 0) return;
    bool busOff = false;
    if (e.socket->ReadWaiting(&busOff) < 0) e.socketClosedNs = SteadyNowNs();
    if (busOff) e.busOff = e.socket.get();
}

// Hands a frame read on the shared socket to every motor whose own socket would have taken it.
void DrivenAccess::Route(Engine& e, CanFrame& frame) {
    for (size_t i = 0; i < e.order.size(); ++i) {
        damiaoMotor* m = e.order[i];
        if ((frame.id & CAN_SFF_MASK) != (m->master_id & CAN_SFF_MASK) || m->canDriver == nullptr)
            continue;
        CanFrame copy = frame;
        m->canDriver->Deliver(copy);
        e.answered[i] = 1;
    }
}

void DrivenAccess::Flush(Engine& e) {
    if (e.batch.empty()) return;
    const size_t sent = size_t(e.socket->CanWriteBatch(e.batch.data(), int(e.batch.size())));
    for (size_t k = sent; k < e.batch.size(); ++k)
        if (e.batchCounted[k]) e.order[e.batchMotor[k]]->ErrCntIncrement();
    e.batch.clear();
    e.batchMotor.clear();
    e.batchCounted.clear();
}

// Reads whatever waits on any of the motors' sockets (answers that came after their motor's
// pause, register answers, bus-off), and reopens sockets that have been closed for a second.
void DrivenAccess::ReadAll(Engine& e) {
    const int64_t now = SteadyNowNs();
    if (e.muted) {
        // The motors' sockets take nothing now; one that closed is reopened to be muted
        // again, ready for ticks with pauses.
        for (damiaoMotor* m : e.order) {
            DriverCan* driver = m->canDriver;
            if (driver == nullptr || driver->Descriptor() >= 0) continue;
            auto since = e.closedSinceNs.emplace(m, now).first;
            if (now - since->second < kReopenNs) continue;
            if (driver->Open() != 0) {
                since->second = now;
                continue;
            }
            e.closedSinceNs.erase(since);
            if (driver->MuteReceive(true) == 0)
                e.mutedDrivers.insert(driver);
            else
                e.mutedDrivers.erase(driver);
        }
        ReadShared(e);
        return;
    }
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
    if (e.muted) {
        Flush(e);
        ReadShared(e);
        return;
    }
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
        if (e.muted) {
            bool all = true;
            for (char a : e.answered) all = all && a;
            const int fd = e.socket->Descriptor();
            if (!all && fd >= 0) e.fds.push_back({fd, POLLIN, 0});
        }
        for (size_t i = 0; !e.muted && i < e.order.size(); ++i) {
            DriverCan* driver = e.order[i]->canDriver;
            if (e.answered[i] || driver == nullptr || driver->Descriptor() < 0) continue;
            e.fds.push_back({driver->Descriptor(), POLLIN, 0});
            e.fdMotor.push_back(i);
        }
        if (e.fds.empty()) return;
        // Past the deadline (a caller preempted, or another interface's wait took it all),
        // the answers already waiting are still taken: one look that does not wait.
        const int64_t left = std::max<int64_t>(deadlineNs - SteadyNowNs(), 0);
        const timespec wait{time_t(left / 1000000000), long(left % 1000000000)};
        const int r = ppoll(e.fds.data(), e.fds.size(), &wait, nullptr);
        if (r < 0 && errno == EINTR && left > 0) continue;
        if (r <= 0) return;
        if (e.muted) {
            ReadShared(e);
        } else {
            for (size_t k = 0; k < e.fds.size(); ++k)
                if (e.fds[k].revents != 0) Read(e, e.fdMotor[k], true);
        }
        if (left == 0) return;
    }
}

// After the tick's frames: a driven homing step's check, and one reset of the interface for
// a bus-off, however many of its sockets reported it.
void DrivenAccess::EndTick(Engine& e) {
    // A fault the process outlives (jointbus::SetFatalPolicy) disables the whole bus.
    if (!e.order.empty() && jointbus_detail::TakeBusDisable(e.order.front()->dev_name))
        for (damiaoMotor* m : e.order) m->setEnableStatus(false);
    for (damiaoMotor* m : e.order) {
        auto homing = e.homing.find(m);
        if (homing == e.homing.end()) continue;
        if (m->HomeCheck(homing->second.startNs, homing->second.elapsedMs) != damiaoMotor::kHoming)
            e.homing.erase(homing);
    }
    if (e.busOff == nullptr) return;
    e.busOff->ResetBusOff();
    if (e.busOff == e.socket.get()) e.socketClosedNs = SteadyNowNs();
    // The other sockets saw the same error frame: it is over now.
    for (damiaoMotor* m : e.order) {
        bool stale = false;
        if (m->canDriver != nullptr && m->canDriver != e.busOff) m->canDriver->ReadWaiting(&stale);
    }
    e.busOff = nullptr;
}

// A motor leaves its engine. The answers to its last frames may wait on a socket, or still be on
// their way (on a loaded bus, more than one): its own socket listens again first (an answer
// from then on lands there, ready for another engine too), then what has come is read, as its
// own receive thread would have read it. What may still come is read by the caller on the
// motor's socket (AwaitLateAnswers) once the sender's lock is let go, so that the bus is not
// held up meanwhile.
LateAnswers DrivenAccess::Release(Damiao_Thread& sender, Engine& e, damiaoMotor* m) {
    DriverCan* driver = m->canDriver;
    if (driver == nullptr) return LateAnswers::kNone;
    // The last tick's order may name motors that have left since: only the pointer is compared.
    const auto last = std::find(e.order.begin(), e.order.end(), m);
    const bool unanswered = last != e.order.end() && !e.answered[size_t(last - e.order.begin())];
    e.order.clear();
    for (auto& entry : sender.motors) e.order.push_back(entry.second);
    const size_t i = size_t(std::find(e.order.begin(), e.order.end(), m) - e.order.begin());
    e.answered.assign(e.order.size(), 1);
    e.answered[i] = unanswered ? 0 : 1;
    if (e.mutedDrivers.erase(driver) != 0) driver->MuteReceive(false);
    if (e.muted) ReadShared(e);
    if (driver->Descriptor() >= 0) {
        bool busOff = false;
        if (driver->ReadWaiting(&busOff) > 0) e.answered[i] = 1;
        if (busOff) e.busOff = driver;
    }
    if (e.busOff != nullptr) EndTick(e);  // a bus-off read here is not lost to the next tick
    const LateAnswers late = driver->Descriptor() < 0                   ? LateAnswers::kNone
                             : !e.answered[i]                           ? LateAnswers::kExpected
                             : m->online.load(std::memory_order_relaxed) ? LateAnswers::kMaybe
                                                                         : LateAnswers::kNone;
    e.order.clear();  // nothing of this tick is read after it
    e.answered.clear();
    return late;
}

// The answers still on their way to a leaving motor, read on its own socket by the thread that
// took it off its bus, without the sender's lock: until none has come for a quiet spell (four
// ticks, at least 20 ms), and for no longer than the motor's feedback time-out (at most 0.5 s),
// after which it would have counted as silent. An answer that is `kExpected` is waited for that
// long.
void DrivenAccess::AwaitLateAnswers(damiaoMotor* m, LateAnswers late) {
    DriverCan* driver = m->canDriver;
    if (driver == nullptr) return;
    const unsigned timeoutMs = m->getFeedbackTimeout();
    const int capMs = int(std::min(timeoutMs != 0 ? timeoutMs : 100u, 500u));
    const int quietMs = std::max(20, 4 * driver->TickUs() / 1000);
    const int64_t endNs = SteadyNowNs() + int64_t(capMs) * 1000000;
    int waitMs = late == LateAnswers::kExpected ? capMs : quietMs;
    while (true) {
        const int64_t leftMs = (endNs - SteadyNowNs()) / 1000000;
        pollfd p{driver->Descriptor(), POLLIN, 0};
        if (p.fd < 0 || leftMs <= 0 || poll(&p, 1, int(std::min<int64_t>(waitMs, leftMs))) <= 0)
            return;
        bool busOff = false;  // the interface's engine sees a bus-off on its own sockets too
        if (driver->ReadWaiting(&busOff) < 0) return;
        waitMs = quietMs;
    }
}

// Everything the engine and the registry keep of `m`, which is still in sender.motors. With
// the sender's motorsMutex held.
LateAnswers DrivenAccess::Leave(Damiao_Thread& sender, Engine& e, damiaoMotor* m) {
    const LateAnswers late = Release(sender, e, m);
    e.closedSinceNs.erase(m);
    e.homing.erase(m);
    SeatOn(m, nullptr, 0);
    e.seats.erase(m);
    e.runtimeOrder.clear();
    return late;
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
