#include "jointbus/DaMiao/damiao_thread.h"

#include <chrono>
#include <cstdlib>
#include <functional>

#include "DaMiao/damiao_membership.h"
#include "common/bus_registry.h"
#include "common/realtime_threads.h"
#include "common/steady_ns.h"
#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/common/can_settings.h"
#include "jointbus/common/logger.h"

namespace Damiao {

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
    std::lock_guard<std::mutex> lock(motorsMutex);
    const TickClock clock;  // one clock reading for the whole tick
    for (auto& entry : motors) {
        damiaoMotor* m = entry.second;
        m->WatchFeedback();
        if (m->homeTimeoutMs.load(std::memory_order_relaxed) != 0) {
            m->SetHomeCmd();
        } else if (m->enableReq.load(std::memory_order_relaxed) &&
                   m->reportedEnabled.load(std::memory_order_relaxed) &&
                   m->cmdPending.load(std::memory_order_relaxed)) {
            m->SetTargetPos();
        } else {
            m->SendStat();
        }
    }
    ticks.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace Damiao
