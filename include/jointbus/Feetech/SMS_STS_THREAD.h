#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "jointbus/common/consumer_interface.h"
#include "jointbus/common/private_timer.h"

class feetechMotor;

namespace servo {

// The scheduler of one Feetech servo bus. Every 5 ms its tick reads the feedback of all
// servos with one SYNC READ, homes servos that asked for it, reads their torque-enable state
// with a second SYNC READ, then sends the mailbox commands: enable changes and velocity
// commands as single writes, all position commands together in one SYNC WRITE.
//
// All servos registered with one scheduler must share one serial bus: every serial port has a
// scheduler of its own (ForPort), on its own thread, so a silent port never holds up another.
// getInstance() is the process-wide scheduler, which serves the first port asked for. The tick
// holds servoMutex for its whole run, so registration and the mailbox operations wait for its
// end. The timer runs while at least one servo is registered: it stops (after the tick in
// progress) when the last servo leaves and starts again when a servo registers.
class JOINTBUS_API SMS_STS_THREAD : public ConsumerInterface, public PrivateTimer {
public:
    static SMS_STS_THREAD* getInstance();
    // The scheduler of serial port `port` (its device path), made on first use and never
    // destroyed.
    static SMS_STS_THREAD* ForPort(const std::string& port);

    SMS_STS_THREAD();
    ~SMS_STS_THREAD() override;  // stops the timer and waits for the tick in progress

    // An id already registered keeps its first servo (a WARN line says so when another servo
    // asks for it).
    void addFeetech(int id, feetechMotor* motor);
    // Removes the servo registered under `id` (only if it is `motor`, when given). Once this
    // returns the tick never visits it again.
    void removeFeetech(int id, const feetechMotor* motor = nullptr);

    // Mailbox operations by servo id (servo units); an unknown id does nothing. A command
    // passes the servo's limits and counts for its command watchdog, as the setters' do.
    void setPosVel(unsigned int id, short position, short speed);
    void setVel(unsigned int id, short speed, unsigned short acc);
    void setEnable(int id, bool enable);
    void SetAcceleration(int id, unsigned char acc);
    void ApplyPositionAsHome(int id);

    // Runs f() while no tick runs (servoMutex held), so that another user of a servo port,
    // a commissioning tool's register exchange for one, never interleaves with a tick.
    // f must not call back into the scheduler.
    template <typename F>
    auto BetweenTicks(F&& f) {
        std::lock_guard<std::mutex> lock(servoMutex);
        return f();
    }
    void Callback_SyncOpt();  // the tick; timer thread only
    void Callback();          // alternative tick polling each servo; not started by the library

    using ConsumerInterface::Consume;
    void Consume(unsigned char* data, unsigned int len) override;

private:
    static void StopAll();  // at exit: stops every scheduler's thread
    feetechMotor* FindLocked(int id);
    size_t ChunkLocked(size_t first);
    void ReadFeedbackLocked();
    void HomeLocked();
    void HomeOne(feetechMotor* m);
    void WarnIfTickTooShortLocked(unsigned int baud);
    void ReadEnableLocked();
    void SendCommandsLocked();

    std::mutex lifecycleMutex;  // registration and timer start/stop; taken before servoMutex
    std::mutex servoMutex;
    // Registered servos in registration order: the id order of every SYNC READ request and
    // the order in which the replies are read.
    std::vector<std::pair<int, feetechMotor*>> servos;
    // Command lists of one tick, kept between ticks so a tick does not allocate.
    std::vector<int> cmdIds;
    std::vector<short> cmdPositions, cmdSpeeds;
    std::vector<unsigned char> cmdAccs, cmdTimes;
    std::vector<int> chunkIds;
    bool warnedWireTime = false;  // guarded by servoMutex
};

}  // namespace servo
