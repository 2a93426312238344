#pragma once

// Records what motors do over time, for plots and for finding why a joint lags: a sampling
// thread reads every registered motor at a fixed rate (200 Hz by default) into a ring of
// samples allocated up front, and a writer thread turns them into lines of a file. The sampler
// never waits on the disk and allocates nothing per sample: when the writer falls behind and
// the ring is full, samples are dropped and counted, and the count ends the file.
//
// The file is CSV with a header line (or, when asked, one JSON object per line):
//   t            seconds on the steady clock since the recording started
//   id           the motor's motor_id
//   family       damiao, feetech, virtual or other
//   target       rad, the last commanded position target where the device keeps one, else
//                empty (JSON: null)
//   position     rad; velocity rad/s; torque N·m; temperature °C
//   enabled      1 when the motor reports its drive enabled, else 0
//   code         0, or the state code getEnableStatus gives (a fault's code, 5004 offline)
//   age          seconds since the motor's last feedback, where the device keeps it, else empty
//   bus          the motor's CAN interface or serial port (empty for other kinds), which tells
//                two motors with one id apart
// and a last line "# samples N, dropped M" (JSON: {"samples": N, "dropped": M}).
//
// Motors are read through getters that never wait on a bus, and a Damiao fault is read
// without its log line, so recording changes nothing of what the motors do. A VirtualMotor
// has no threads of its own and no locks: record one only while no other thread drives it.
//
// Threads: start() starts the sampler and the writer; stop() and the destructor join both.
// Registered motors must outlive the recording.

#include <memory>
#include <string>

#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/export.h"

class JOINTBUS_API TraceRecorder {
public:
    static constexpr double kDefaultRateHz = 200.0;
    static constexpr unsigned kDefaultRingSamples = 8192;

    // `ringSamples`: how many samples the ring holds (at least 2); at 200 Hz and 7 motors the
    // default covers about 5 s of a stalled disk.
    explicit TraceRecorder(unsigned ringSamples = kDefaultRingSamples);
    virtual ~TraceRecorder();  // stops a recording in progress
    TraceRecorder(const TraceRecorder&) = delete;
    TraceRecorder& operator=(const TraceRecorder&) = delete;

    // Registers a motor, in the order its rows appear in each sampling round. Not while
    // recording. 0, or -1 (null motor, or a recording runs).
    int addMotor(CtrlMotorInterface* motor);
    // Creates (or truncates) `path` and starts recording at `rateHz` (0.1 to 1000). 0, or -1
    // with an ERROR line naming the reason (no motor, bad rate, the file cannot be created, a
    // recording runs).
    int start(const std::string& path, double rateHz = kDefaultRateHz, bool jsonLines = false);
    // Stops sampling, writes the samples still in the ring and the count line, closes the
    // file. Returns at once when nothing is recording.
    void stop();

    bool recording() const;
    unsigned long long samples() const;  // written to the file, this recording
    unsigned long long dropped() const;  // lost because the ring was full, this recording
    const std::string& path() const;
    // Kernel thread id of the sampling thread while recording (0 otherwise), so that a
    // measurement can count its CPU time and allocations.
    int samplerThreadId() const;

protected:
    // Writes one block of the file. Writer thread only. Returns false when the write failed
    // (the recording then goes on, counting what it cannot write as dropped). A derived class
    // that overrides it calls stop() in its own destructor.
    virtual bool WriteOut(const char* data, size_t size);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
