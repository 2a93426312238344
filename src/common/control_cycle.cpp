#include "jointbus/common/control_cycle.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "DaMiao/damiao_membership.h"
#include "common/bus_drive.h"
#include "common/steady_ns.h"
#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/DaMiao/damiao_thread.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/Feetech/SMS_STS_THREAD.h"
#include "jointbus/common/logger.h"

namespace jointbus {

namespace {

// Bytes one servo tick moves on the line for n servos, at 10 bits a byte.
double ServoTickUs(size_t n, unsigned baud) {
    return double(24 + 39 * n) * 10.0 * 1e6 / double(baud);
}

// Makes the listed motors hold where they stand.
void Hold(const std::vector<CtrlMotorInterface*>& motors) {
    for (CtrlMotorInterface* m : motors) {
        double here = 0;
        if (m->getMotorPosition(here) == 0) m->setMotorPosition(here);
    }
}

}  // namespace

struct ControlCycle::Impl {
    std::vector<CtrlMotorInterface*> motors;
    ControlCycleOptions options;
    struct Can {
        Damiao::Damiao_Thread* sender;
        std::string name;
        std::vector<CtrlMotorInterface*> motors;
    };
    struct Port {
        servo::SMS_STS_THREAD* scheduler;
        std::string name;
        std::vector<CtrlMotorInterface*> motors;
        std::vector<feetechMotor*> servos;
        double wireUs = 0;  // its tick's line time
        int every = 1;  // served every `every` cycles
        int wait = 0;   // cycles until the next service
    };
    std::vector<Can> cans;    // in address order: their locks are taken in this order
    std::vector<Port> ports;
    std::vector<CtrlMotorInterface*> silent;
    std::vector<damiaoMotor*> silentDamiao;
    std::string error;
    bool started = false;
    int64_t lastCycleNs = 0;
    unsigned long long cycles = 0;

    int Fail(std::string why) {
        error = std::move(why);
        LOG_ERROR("control cycle: {}\r\n", error);
        return -1;
    }
    int Plan();
    void Release();
};

ControlCycle::ControlCycle(std::vector<CtrlMotorInterface*> motors, ControlCycleOptions options)
    : impl(new Impl) {
    impl->motors = std::move(motors);
    impl->options = options;
}

ControlCycle::~ControlCycle() {
    stop();
}

// Sorts the motors into the buses they are on; checks what can be checked without taking any.
int ControlCycle::Impl::Plan() {
    const ControlCycleOptions& o = options;
    if (o.watchdogMs < 1 || o.watchdogMs > 10000)
        return Fail("watchdog " + std::to_string(o.watchdogMs) + " ms, not 1 to 10000");
    if (o.deadlineUs < 1 || o.deadlineUs > 1000000)
        return Fail("deadline " + std::to_string(o.deadlineUs) + " us, not 1 to 1000000");
    if (o.periodUs < 100 || o.periodUs > 1000000)
        return Fail("period " + std::to_string(o.periodUs) + " us, not 100 to 1000000");
    if (motors.empty()) return Fail("no motors");
    cans.clear();
    ports.clear();
    for (size_t i = 0; i < motors.size(); ++i) {
        CtrlMotorInterface* m = motors[i];
        if (auto* joint = dynamic_cast<damiaoMotor*>(m)) {
            Damiao::Damiao_Thread* sender = Damiao::SenderOf(joint);
            if (sender == nullptr)
                return Fail("Damiao motor " + std::to_string(joint->motor_id) + " on " +
                            joint->dev_name + " is not initialised");
            auto can = std::find_if(cans.begin(), cans.end(),
                                    [&](const Can& c) { return c.sender == sender; });
            if (can == cans.end()) can = cans.insert(cans.end(), Can{sender, joint->dev_name, {}});
            can->motors.push_back(m);
        } else if (auto* servo = dynamic_cast<feetechMotor*>(m)) {
            if (servo->scheduler == nullptr)
                return Fail("Feetech servo " + std::to_string(servo->motor_id) + " on " +
                            servo->uartDevice + " is not initialised");
            auto port = std::find_if(ports.begin(), ports.end(), [&](const Port& p) {
                return p.scheduler == servo->scheduler;
            });
            if (port == ports.end())
                port = ports.insert(ports.end(), Port{servo->scheduler, servo->uartDevice, {}, {}});
            port->motors.push_back(m);
            port->servos.push_back(servo);
        } else if (m == nullptr) {
            return Fail("motor " + std::to_string(i) + " is null");
        } else {
            return Fail("motor " + std::to_string(i) + " is neither a Damiao motor nor a Feetech servo");
        }
    }
    std::sort(cans.begin(), cans.end(), [](const Can& a, const Can& b) {
        return std::less<const void*>()(a.sender, b.sender);
    });
    for (Port& p : ports) {
        const unsigned baud = p.servos.front()->uartBaud;
        const double wireUs = baud != 0 ? ServoTickUs(p.servos.size(), baud) : 0;
        p.wireUs = wireUs;
        p.every = std::max(1, int(std::ceil(wireUs / o.periodUs)));
        if (p.every > 1)
            LOG_INFO("control cycle: servo port {} needs {:.0f} us of line time a tick for {} "
                     "servo(s) at {} baud, more than the period of {} us: it is served every {} "
                     "cycles\r\n",
                     p.name, wireUs, p.servos.size(), baud, o.periodUs, p.every);
    }
    return 0;
}

int ControlCycle::start() {
    Impl& d = *impl;
    if (d.started) return 0;
    if (d.Plan() != 0) return -1;
    const int64_t watchdogNs = int64_t(d.options.watchdogMs) * 1000000;
    auto take = [&](const void* bus, const std::string& name,
                    const std::vector<CtrlMotorInterface*>& motors) {
        if (jointbus_detail::DriveBus(bus, &d, name, watchdogNs, [motors] { Hold(motors); }))
            return true;
        d.Release();
        d.Fail(name + " is driven by another control cycle");
        return false;
    };
    for (auto& c : d.cans)
        if (!take(c.sender, c.name, c.motors)) return -1;
    for (auto& p : d.ports)
        if (!take(p.scheduler, p.name, p.motors)) return -1;
    // A tick that was under way when the buses were taken ends before start() returns; the
    // ticks after it see the cycle and skip.
    for (auto& c : d.cans) std::lock_guard<std::mutex>{Damiao::DrivenAccess::Lock(*c.sender)};
    for (auto& p : d.ports) p.scheduler->BetweenTicks([] {});
    d.silent.reserve(d.motors.size());
    d.silentDamiao.reserve(d.motors.size());
    d.started = true;
    d.lastCycleNs = 0;
    LOG_INFO("control cycle: {} motor(s) on {} CAN interface(s) and {} servo port(s), "
             "watchdog {} ms, deadline {} us\r\n",
             d.motors.size(), d.cans.size(), d.ports.size(), d.options.watchdogMs,
             d.options.deadlineUs);
    return 0;
}

void ControlCycle::Impl::Release() {
    for (auto& c : cans) jointbus_detail::ReleaseBus(c.sender, this);
    for (auto& p : ports) jointbus_detail::ReleaseBus(p.scheduler, this);
}

void ControlCycle::stop() {
    Impl& d = *impl;
    if (!d.started) return;
    d.Release();
    d.started = false;
}

int ControlCycle::cycle() {
    Impl& d = *impl;
    if (!d.started) return -1;
    const int64_t now = SteadyNowNs();
    // The ramp's step follows the time since the last cycle; past the watchdog the bus
    // threads have ticked meanwhile.
    int periodUs = d.options.periodUs;
    if (d.lastCycleNs != 0)
        periodUs = int(std::min<int64_t>((now - d.lastCycleNs) / 1000,
                                         int64_t(d.options.watchdogMs) * 1000));
    d.lastCycleNs = now;
    for (auto& c : d.cans) jointbus_detail::MarkCycle(c.sender, now);
    for (auto& p : d.ports) jointbus_detail::MarkCycle(p.scheduler, now);
    d.silent.clear();
    d.silentDamiao.clear();
    const int64_t deadline = now + int64_t(d.options.deadlineUs) * 1000;
    {
        const jointbus_detail::DrivenScope scope(periodUs);
        for (auto& c : d.cans) Damiao::DrivenAccess::Lock(*c.sender).lock();
        for (auto& c : d.cans) Damiao::DrivenAccess::SendCycle(*c.sender);
        // The servo ports' exchanges take their line time while the CAN answers come in.
        for (auto& p : d.ports) {
            if (p.wait-- > 0) continue;
            p.wait = p.every - 1;
            // The reads of a servo that is offline end by the cycle's deadline, or by twice the
            // port's line time and the servos' return delay where that is later: a silent
            // servo costs its line time-outs once, as it goes offline, not in every cycle.
            const int64_t lineNs = int64_t(2 * p.wireUs * 1000) + 1000000;
            const jointbus_detail::SilentReadBound bound(
                std::max(deadline, SteadyNowNs() + lineNs));
            p.scheduler->Callback_SyncOpt();
            for (size_t k = 0; k < p.servos.size(); ++k) {
                double age = 0;
                if (p.servos[k]->getFeedbackAge(age) != 0 || age * 1e9 > double(SteadyNowNs() - now))
                    d.silent.push_back(p.motors[k]);
            }
        }
        // Each interface is let go once its answers are in.
        for (auto& c : d.cans) {
            Damiao::DrivenAccess::CollectCycle(*c.sender, deadline, d.silentDamiao);
            Damiao::DrivenAccess::Lock(*c.sender).unlock();
        }
    }
    for (damiaoMotor* m : d.silentDamiao) d.silent.push_back(m);
    ++d.cycles;
    return int(d.silent.size());
}

const std::vector<CtrlMotorInterface*>& ControlCycle::silent() const {
    return impl->silent;
}

const std::string& ControlCycle::error() const {
    return impl->error;
}

unsigned long long ControlCycle::cycles() const {
    return impl->cycles;
}

}  // namespace jointbus
