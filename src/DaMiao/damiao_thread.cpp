#include "jointbus/DaMiao/damiao_thread.h"

#include <cstdlib>
#include <functional>

#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "common/steady_ns.h"
#include "jointbus/common/logger.h"

namespace Damiao {

Damiao_Thread* Damiao_Thread::getInstance() {
    // Never destroyed, so a motor that outlives main (a global, a static pointer) can still
    // deregister from its destructor. The tick thread must not run on into the teardown of
    // the process, though: an exit handler stops and joins it. Registered once the sender
    // exists, the handler runs before the destructors of every static object built earlier,
    // motors included.
    static Damiao_Thread* const instance = [] {
        auto* sender = new Damiao_Thread;
        std::atexit([] { getInstance()->timer.stop(); });
        return sender;
    }();
    return instance;
}

Damiao_Thread::Damiao_Thread() {
    LOG_INFO("Start DamiaoMotor Thread.\n");
    timer.start(5, std::bind(&Damiao_Thread::Callback, this));
}

Damiao_Thread::~Damiao_Thread() {
    timer.stop();
    std::lock_guard<std::mutex> lock(motorsMutex);
    motors.clear();
}

void Damiao_Thread::addDamiao(int id, damiaoMotor* motor) {
    std::lock_guard<std::mutex> lock(motorsMutex);
    motors[id] = motor;
}

void Damiao_Thread::removeDamiao(int id, damiaoMotor* motor) {
    std::lock_guard<std::mutex> lock(motorsMutex);
    auto found = motors.find(id);
    if (found != motors.end() && found->second == motor) motors.erase(found);
}

void Damiao_Thread::Callback() {
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
}

}  // namespace Damiao
