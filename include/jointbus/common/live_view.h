#pragma once

// A live view of motors in a web browser: a local HTTP server with one page that shows a card
// per motor (family, bus, id, enabled, online, fault, feedback age, temperature, commands
// clamped by its limits), charts of its last 10 s (position with target, velocity, torque), a
// row per bus (frames sent per second, write failures, offline episodes) and a STOP button that
// holds and disables every motor. With control allowed at start, the page also enables,
// disables and moves motors: a target from the page is approached at 1 rad/s, a step each
// sample, never in one jump.
//
// The page works with no network access: its chart library comes from the installed
// dygraphs package (/usr/share/javascript/dygraphs). Samples reach it as Server-Sent Events
// from /events; /api/state gives the latest sample once, as JSON.
//
// Sampling reads the same getters as the trace recorder, which never wait on a bus, on a
// thread of the view's own, 25 times a second by default: a bus thread is never held up by
// the view or by a slow browser. A closing browser ends its stream at the next sample; a
// browser that stops reading is cut off after 2 s.
//
// Security: the server binds 127.0.0.1 unless another address is set, and there answers only
// requests whose Host names a loopback address. Every request that acts on motors (POST)
// carries the view's token in the X-Jointbus-Token header: the page served to a loopback
// client holds it; a client elsewhere opens url() (which carries ?token=) and is refused with
// 403 without it. Requests that act on single motors are refused with 403 unless control was
// allowed. No cross-origin access is granted. Requests over 4 KiB are refused.
//
// Threads: start() starts the sampler and the server (its own listening thread and a few
// workers); stop() and the destructor end every stream and join them all. Motors must
// outlive the view's run. A VirtualMotor has no locks: view one only while no other thread
// drives it.

#include <memory>
#include <string>

#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/export.h"

namespace jointbus {

class JOINTBUS_API LiveView {
public:
    static constexpr double kDefaultRateHz = 25.0;
    static constexpr const char* kDefaultAddress = "127.0.0.1";

    LiveView();
    ~LiveView();  // stops a view in progress
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Adds a motor, in the order its card appears. Not while serving. 0, or -1 (null motor,
    // or the view is serving).
    int addMotor(CtrlMotorInterface* motor);
    // Settings, before start(). The address to bind (an IPv4 or IPv6 address, default
    // 127.0.0.1); whether the page may enable, disable and move single motors (default no);
    // the sampling rate, 1 to 50 Hz (default 25); the folder of dygraph.min.js and
    // dygraph.min.css. Each returns 0, or -1 with nothing changed (while serving, or a rate
    // out of range).
    int setAddress(const std::string& address);
    int allowControl(bool allow);
    int setRate(double hz);
    int setAssetDir(const std::string& dir);

    // Starts serving on `port` (0: any free port). 0, or -1 with an ERROR line naming the
    // reason (no motor, the chart library is missing, the address cannot be bound, already
    // serving). Logs the URL at INFO.
    int start(int port);
    // Ends every stream, stops the server and the sampler. Returns at once when not serving.
    void stop();

    bool serving() const;
    int port() const;           // the bound port while serving, else 0
    std::string url() const;    // http://ADDRESS:PORT/, with ?token= off loopback
    std::string token() const;  // made anew at each start
    // How many samples (rounds of every motor) were taken this run, and how many event
    // streams are open now.
    unsigned long long samples() const;
    int streams() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace jointbus
