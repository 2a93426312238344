#pragma once

// Damiao motors on the host without CAN: a transport double carries whole frames over a socket
// pair to a responder thread that answers like a motor. Used where the race and memory checkers
// must see the motor's threads, and to measure the library's threads on the host kernel.

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/driver/driver_can.h"

namespace testsupport {

// Answers every frame with a feedback frame: enabled after an enable frame, at the position
// of the last MIT frame, zeroed by a save-zero frame. Ends when the driver closes its end.
class Responder {
public:
    ~Responder();
    // One serving thread per attached driver; called from motor init, one at a time.
    void Attach(int fd, uint32_t masterId);
    std::set<int> ThreadIds();  // kernel ids of the serving threads
    std::atomic<int> frames{0};

    // While `stamping` is on, every frame's arrival: steady-clock ns, the feedback id of the
    // motor it is for, and the position of an MIT frame (NaN for a special frame).
    struct Arrival {
        long long ns;
        uint32_t masterId;
        float pos;
    };
    std::atomic<bool> stamping{false};
    std::vector<Arrival> Arrivals();

private:
    void Serve(int fd, uint32_t masterId);
    std::mutex arrivalsMutex;
    std::vector<Arrival> arrivals;
    std::vector<std::thread> workers;
    std::mutex idsMutex;
    std::set<int> ids;
};

class PairedCan : public DriverCan {
public:
    PairedCan(const char* dev, const can_filter& filter, Responder& r);
    ~PairedCan() override;
    int Open() override;

private:
    Responder& responder;
    uint32_t masterId;
};

class PairedMotor : public damiaoMotor {
public:
    // `interface` only names the motor's bus (its sender); frames go over the socket pair.
    PairedMotor(unsigned id, Responder& r, const std::string& interface = "none0");
    ~PairedMotor() override;

protected:
    DriverCan* CreateDriver(const can_filter& filter) override;

private:
    Responder& responder;
};

}  // namespace testsupport
