#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "jointbus/common/consumer_interface.h"
#include "jointbus/common/hardware_io.h"

// Serial transport over one tty in raw 8N1. Servos on one half-duplex bus share one port, so
// ports come from the process-wide registry GetUart, one per device name.
//
// Locks: mapmtx (registry) may be held while a port's portMutex is taken, never the reverse.
// portMutex guards fd and every use of the device; it is not recursive, and Consume runs with
// it held, so a consumer must not call back into the same port.
class JOINTBUS_API DriverUart : public HardwareIO {
public:
    DriverUart(const std::string& name, int baud);
    ~DriverUart() override;
    DriverUart(const DriverUart&) = delete;
    DriverUart& operator=(const DriverUart&) = delete;

    int Open() override;   // 0, or -1 on failure
    int Close() override;  // always 0
    bool IsOpen() override;
    // Reads up to len bytes within ioTimeoutMs; 0 when the port is closed.
    int Read(unsigned char* buf, int len) override;
    // Discards unread input, then writes len bytes once; 0 when the port is closed.
    int Write(const unsigned char* buf, int len) override;
    // Records the rate and applies it to an open port: 1 when open, -1 when closed.
    virtual int SetBaudRate(int baud);

    // Request and reply under one lock: discards input and writes txLen bytes (if any), then
    // reads up to rxLen bytes into the same buffer. 0 when the port is closed.
    int Read2(unsigned char* buf, int txLen, int rxLen);
    // Callers hold portMutex. readSCS reads exactly len bytes within one time budget and
    // returns the count (fewer on time-out) or -1; readOnce waits once and reads once.
    int readSCS(unsigned char* buf, int len);
    // A short look at what the line carries next: reads up to len bytes within `budget`; a
    // time-out is no error and is not logged. 0 when the port is closed.
    int ReadBriefly(unsigned char* buf, int len, std::chrono::microseconds budget);
    int readOnce(unsigned char* buf, int len);
    int rFlushSCS();
    void wFlushSCS();
    // Gives back bytes that a reader took but that belong to the next reader (a reply that
    // ran into the next one on a shared bus); the next read returns them first. Discarded
    // with the rest of the unread input before each write.
    void Unread(const unsigned char* data, int len);

    // Starts the receive thread if none runs (null consumer allowed: the thread then only
    // re-opens a closed port once a second). A second call only replaces the consumer.
    void StartReceive(ConsumerInterface* c);
    // Stops the receive thread and waits for it; returns at once when none runs.
    void StopRecieve();
    void Callback();  // receive thread body

    static std::shared_ptr<DriverUart> GetUart(const std::string& name, int baud);

    const std::string devName;
    std::atomic<int> baudRate;  // read by GetUart without the port's lock
    int64_t ioTimeoutMs = 100;

private:
    enum class Table { kOpen, kSetBaudRate };
    static speed_t SpeedFor(int baud, Table table);
    int ApplySpeedLocked(Table table);
    void CloseLocked();
    int WriteLocked(const unsigned char* buf, int len, const char* call);
    int ReadWithinLocked(unsigned char* buf, int len, std::chrono::microseconds budget,
                         bool logTimeout);
    void SleepUnlessStopped(int ms);

    int fd = -1;  // guarded by portMutex
    termios savedAttr{};
    termios workAttr{};
    unsigned char txPending[256] = {};
    int txPendingLen = 0;
    unsigned char rxPushback[256] = {};  // guarded by portMutex
    int rxPushbackLen = 0;
    std::mutex portMutex;

    std::mutex threadMutex;  // guards rxThread; taken before portMutex, never inside it
    std::thread rxThread;
    std::atomic<bool> rxStop{false};
    std::atomic<ConsumerInterface*> consumer{nullptr};
    std::mutex sleepMutex;
    std::condition_variable sleepWake;

    // The registry: one port per device name, kept until the process ends.
    struct Registry {
        std::unordered_map<std::string, std::shared_ptr<DriverUart>> uart_devs;
        std::mutex mapmtx;
    };
    static Registry& Ports();
};
