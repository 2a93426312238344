#pragma once

#include <linux/can.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "jointbus/common/can_frame.h"
#include "jointbus/common/consumer_interface.h"
#include "jointbus/common/hardware_io.h"

namespace jointbus_detail {
struct BusTally;
}

// SocketCAN transport: one raw socket bound to one interface with one receive filter, a
// receive thread that hands frames to a consumer and recovers the socket, a read queue and
// an optional heartbeat watch. The interface's bit rate is configured outside the library.
//
// Threads: the receive thread (StartReceive) and the heartbeat thread (StartHeartbeatCheck)
// belong to the driver; StopReceive() or the destructor stops and joins both, so the
// consumer may be destroyed once either has returned. The receive thread calls the virtual
// Open, Close and Read: a derived class calls StopReceive() in its own destructor.
class JOINTBUS_API DriverCan : public HardwareIO {
public:
    struct HeartbeatEntry {
        uint32_t id;
        bool alive;
    };

    // Filter on exactly the standard id `id`; the third argument is not used.
    DriverCan(const char* dev, unsigned int id, unsigned int unused);
    // Installs only the first of the filters at `filters` (can_id, can_mask), whatever count.
    DriverCan(const char* dev, const void* filters, int count);
    ~DriverCan() override;
    DriverCan(const DriverCan&) = delete;
    DriverCan& operator=(const DriverCan&) = delete;

    // (Re)opens the socket, restarting a bus-off or stopped interface first. 0 or -1.
    // Refuses interface names longer than 15 characters, and with can_fd set in the
    // interface's settings an interface whose MTU is not CAN-FD's (72); frames then go out as
    // CAN-FD with bit-rate switch.
    int Open() override;
    int Close() override;
    bool IsOpen() override;
    int Read(unsigned char* buf, int size) override;
    int Write(const unsigned char* data, int len) override;

    // Sends one frame; true when all of it was written. A full transmit queue (ENOBUFS) is
    // back-pressure, not a failure: the write is retried once after a 0.5 ms pause. Any
    // thread; may block about 10 s when the failure count triggers an interface restart: the
    // 199th, 399th, ... failed write in a row on this interface (successes on other
    // interfaces do not reset that count).
    bool CanWrite(unsigned int id, const unsigned char* data, unsigned char len);
    // Reads one frame: 16 on success (72 for a CAN-FD frame), -1 on failure (the socket is
    // then closed). Payloads beyond 8 bytes are cut to 8.
    int CanRead(unsigned int* id, unsigned char* data, unsigned char* len);
    // The pause after each frame that the interface's settings ask for, in µs (100 unless
    // set; see jointbus::CanInterfaceSettings). Any thread.
    int FrameGapUs() const;
    // The interface's tick in µs: tick_us where it is set, else the 5 ms timer's 5000. Any
    // thread.
    int TickUs() const;
    int CanFiltersConfig(const void* filters, int size);

    // Starts the receive thread (once; a second call only replaces the consumer).
    void StartReceive(ConsumerInterface* c);
    // Stops the receive and heartbeat threads and waits for them. Safe to call twice.
    void StopReceive();
    void Callback();  // receive loop, on the receive thread only

    // For a caller that waits on the socket itself instead of a receive thread (the engine of
    // a CAN interface, Damiao::Damiao_Thread): the consumer that ReadWaiting hands frames to.
    void SetConsumer(ConsumerInterface* c);
    // The socket, for the caller's poll: -1 while it is closed (Open reopens it).
    int Descriptor() const { return fd.load(); }
    // Reads every frame waiting on the socket, in batches and without blocking, and hands
    // each on as the receive thread does (heartbeat ids, then the consumer). A bus-off error
    // frame is not handed on: it sets *busOff, and the caller resets the interface
    // (ResetBusOff) once for all its sockets. Returns the frames handed on, or -1 when the
    // read failed: the socket is then closed.
    int ReadWaiting(bool* busOff);
    // Sends `count` frames with as few calls as the kernel allows (sendmmsg), in order. A
    // partial send goes on with the rest; a full transmit queue gets one 0.5 ms pause, as in
    // CanWrite. Every frame is counted as CanWrite counts it, sent or failed. Returns the
    // frames sent: the first that many of `frames`.
    int CanWriteBatch(const CanFrame* frames, int count);
    // Hands one frame on as if this driver had read it (heartbeat ids, then the consumer): for
    // an engine that reads one socket for many drivers.
    void Deliver(CanFrame& frame);
    // mute: the socket receives nothing, not even bus-off, while another socket reads for it.
    // false restores the driver's filter. Open() always restores it. 0, or -1 when closed or
    // refused.
    int MuteReceive(bool mute);
    // What the receive thread does on a bus-off error frame: logs it, closes the socket and
    // stops and starts the interface (about 2 s; a stop request cuts the pauses short).
    void ResetBusOff();
    // On the thread of a control cycle (jointbus::ControlCycle) no restart of the interface is
    // waited for, whether for a bus-off, too many failed writes or an open: the socket is
    // closed (an open fails) and the restart is owed to the interface. RestartOwed says so, on
    // any driver of the interface; RunOwedRestart, on the interface's bus thread, does it (the
    // pauses it would have had). Any thread.
    bool RestartOwed() const;
    bool RunOwedRestart();

    bool GetCanFrame(CanFrame& out);
    bool DropOneCanFrame();
    void ClearReadQueue();
    unsigned int GetReadQueueSize();

    void AddHeartbeatId(const unsigned int& id);
    void SetHeartbeatTimeOut(double seconds);
    void StartHeartbeatCheck();
    static void HeartbeatCallback(void* driver);

    // Consecutive failed frame writes of all drivers in the process. The interface restart
    // (see CanWrite) counts the failures of the driver's own interface alone.
    static std::atomic<int> write_err_count;

protected:
    // The socket. A test double may open something else that carries whole 16-byte frames
    // (a socket pair, for example) from an overriding Open and store it here.
    std::atomic<int> fd{-1};

private:
    void InitCommon(const char* dev);
    void RestartInterface(unsigned int pauseSec, bool interruptible);
    // RestartInterface, or on a control cycle's thread the restart owed (false then).
    bool RestartOrOwe(unsigned int pauseSec, bool interruptible);
    bool CloseDescriptor();  // closes fd under ioMutex; false when it was closed already
    bool WaitReadable();
    bool SleepUnlessStopped(long ms);  // false when a stop was requested
    void Poke();
    void HandOn(CanFrame& frame);  // heartbeat ids, then the consumer
    int BuildFrame(unsigned int id, const unsigned char* data, unsigned char len,
                   canfd_frame& frame) const;  // the bytes to write; returns their size
    bool CountWrite(bool sent);                // the counters of one frame's write

    char devName[32] = {};
    jointbus_detail::BusTally* tally = nullptr;  // this interface's counters, never freed
    can_filter rxFilter{};
    std::mutex rxMutex;  // heartbeat list, read queue, and the hand-over to the consumer
    std::vector<HeartbeatEntry> heartbeatList;
    double heartbeatTimeOut = 0;
    std::atomic<ConsumerInterface*> consumer{nullptr};
    std::deque<CanFrame> readQueue;

    std::mutex threadMutex;  // guards the thread handles
    std::thread rxThread;
    std::thread heartbeatThread;
    std::atomic<bool> stopping{false};
    std::mutex stopMutex;
    std::condition_variable stopWake;
    int wakeFd = -1;  // eventfd that ends the receive thread's wait for a frame
    std::mutex ioMutex;  // held by every call on fd and by every close of it
};
