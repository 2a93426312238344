#include "jointbus/driver/driver_can.h"

#include <errno.h>
#include <libsocketcan.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "common/bus_drive.h"
#include "common/fatal_policy.h"
#include "common/bus_tally.h"
#include "common/realtime_threads.h"
#include "jointbus/common/fatal_policy.h"
#include "jointbus/common/logger.h"

std::atomic<int> DriverCan::write_err_count{0};

namespace {
constexpr int kFrameSize = sizeof(can_frame);  // 16
// A write that finds the interface's transmit queue full fails at once with ENOBUFS. The queue
// drains at bus speed (a frame takes 111 to 135 us at 1 Mbit/s), so a short pause and one retry
// ride out a briefly busy bus. The socket cannot be polled for this: it reports itself writable
// while the queue is full. The pause stays well under the 5 ms tick.
constexpr auto kFullQueuePause = std::chrono::microseconds(500);
constexpr int kSocketBuffer = 212992;
// Longest wait of a Read for readiness before it looks at the socket again (Read).
constexpr int kReadWaitMs = 100;
// Linux CAN netlink states that need a restart.
constexpr int kStateBusOff = 3;
constexpr int kStateStopped = 4;

// The interface state query sends the kernel a request by interface index and then reads until
// it has the answer. When the interface vanishes between the index lookup and the request (an
// adapter unplugged while the receive loop reopens), the kernel answers with an error that the
// query does not take as the end, and it reads forever: the receive thread would never reopen
// nor stop. So the query runs under a timer that signals this thread once a second; the
// signal's handler does nothing and does not restart the read, which then fails and ends the
// query. The signal is used only while nobody else in the process handles it.
const int kQuerySignal = SIGRTMAX - 1;

void IgnoreQuerySignal(int) {}

// Checked on every query: should the application take the signal over (or reset it, when its
// default would end the process) after the first query, the timer is not armed.
bool QuerySignalReady() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction old {};
        if (sigaction(kQuerySignal, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
        struct sigaction action {};
        action.sa_handler = IgnoreQuerySignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the blocked read returns EINTR
        sigaction(kQuerySignal, &action, nullptr);
    });
    struct sigaction now {};
    return sigaction(kQuerySignal, nullptr, &now) == 0 && now.sa_handler == IgnoreQuerySignal;
}

int CanStateWithin(const char* dev, int* state) {
    timer_t timer{};
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = kQuerySignal;
    event._sigev_un._tid = gettid();  // the thread to signal (glibc gives the field no other name)
    if (!QuerySignalReady() || timer_create(CLOCK_MONOTONIC, &event, &timer) != 0)
        return can_get_state(dev, state);
    // Repeats: a signal that lands before the read blocks is lost on it, the next one is not.
    const itimerspec every{{1, 0}, {1, 0}};
    timer_settime(timer, 0, &every, nullptr);
    const int result = can_get_state(dev, state);
    timer_delete(timer);
    return result;
}

int BufferSize(int s, int option) {
    int size = 0;
    socklen_t len = sizeof size;
    getsockopt(s, SOL_SOCKET, option, &size, &len);
    return size;
}

// Asks for a larger socket buffer (the result is not checked) and reads back what was set.
int GrowBuffer(int s, int option) {
    const int size = kSocketBuffer;
    setsockopt(s, SOL_SOCKET, option, &size, sizeof size);
    return BufferSize(s, option);
}

}  // namespace

DriverCan::DriverCan(const char* dev, unsigned int id, unsigned int) {
    rxFilter.can_id = id;
    rxFilter.can_mask = CAN_SFF_MASK;
    InitCommon(dev);
}

DriverCan::DriverCan(const char* dev, const void* filters, int) {
    std::memcpy(&rxFilter, filters, sizeof rxFilter);
    InitCommon(dev);
}

void DriverCan::InitCommon(const char* dev) {
    std::snprintf(devName, sizeof devName, "%s", dev ? dev : "");
    tally = jointbus_detail::TallyOf(devName);
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    LOG_DEBUG("device is {}\r\n", devName);
    Open();
}

DriverCan::~DriverCan() {
    StopReceive();
    CloseDescriptor();
    if (wakeFd >= 0) ::close(wakeFd);
}

// Descriptor numbers are reused by the kernel at once: a number closed by one thread while
// another is between loading it and its read or write would send that call to whatever file
// the process opens next (another bus, the servo tty). So every call on the socket and every
// close happen under ioMutex: while a call holds the lock, the number in `fd` is ours. Reads
// do not wait under the lock (see Read), so a waiting reader never holds up writers.
bool DriverCan::CloseDescriptor() {
    std::lock_guard<std::mutex> lock(ioMutex);
    const int old = fd.exchange(-1);
    if (old < 0) return false;
    ::close(old);
    return true;
}

int DriverCan::Open() {
    CloseDescriptor();
    // Why an open failed, for BusOpenError: the errno of the failing call, taken before
    // perror can change it.
    auto failed = [this](int err) {
        tally->openError.store(err, std::memory_order_relaxed);
        return -1;
    };

    if (std::strlen(devName) >= IFNAMSIZ) {
        LOG_ERROR("CAN interface name {} is longer than {} characters\n", devName, IFNAMSIZ - 1);
        return failed(ENAMETOOLONG);
    }
    int state = 0;
    if (CanStateWithin(devName, &state) == 0 && (state == kStateBusOff || state == kStateStopped)) {
        LOG_INFO("{} in bad stat, restart...\n", devName);
        if (!RestartOrOwe(1, true)) return failed(ENETDOWN);
    }
    const int s = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (s < 0) {
        const int err = errno;
        perror("socket can create error!\n");
        return failed(err);
    }
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, devName, std::strlen(devName));
    if (ioctl(s, SIOCGIFINDEX, &ifr) < 0) {
        const int err = errno;
        perror("can interface lookup error!");
        ::close(s);
        return failed(err);
    }
    const int on = 1, off = 0;
    if (tally->canFd.load()) {
        // CAN-FD frames need an interface that carries them: a classic MTU would fail every
        // write, so refuse it here, with what to do about it.
        ifreq mtu = ifr;  // its own request: the answer overwrites the index in `ifr`
        if (ioctl(s, SIOCGIFMTU, &mtu) < 0) {
            const int err = errno;
            perror("can interface MTU lookup error!");
            ::close(s);
            return failed(err);
        }
        if (mtu.ifr_mtu != int(CANFD_MTU)) {
            LOG_ERROR(
                "CAN interface {}: can_fd is set but its MTU is {}, not CAN-FD's {}: "
                "set it up for CAN-FD first (ip link set {} type can bitrate 1000000 "
                "dbitrate 5000000 fd on)\n",
                devName, mtu.ifr_mtu, CANFD_MTU, devName);
            ::close(s);
            return failed(EPROTONOSUPPORT);
        }
        if (setsockopt(s, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0) {
            const int err = errno;
            perror("can raw socket CAN_RAW_FD_FRAMES");
            ::close(s);
            return failed(err);
        }
    }
    setsockopt(s, SOL_CAN_RAW, CAN_RAW_LOOPBACK, &on, sizeof on);
    setsockopt(s, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &off, sizeof off);
    LOG_INFO("recv sock buffer num={}\n", BufferSize(s, SO_RCVBUF));
    LOG_INFO("recv sock buffer num 1={}\n", GrowBuffer(s, SO_RCVBUF));
    LOG_INFO("send sock buffer num={}\n", BufferSize(s, SO_SNDBUF));
    LOG_INFO("send sock buffer num 1={}\n", GrowBuffer(s, SO_SNDBUF));
    setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, &rxFilter, sizeof rxFilter);
    const can_err_mask_t errMask = CAN_ERR_BUSOFF;
    setsockopt(s, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errMask, sizeof errMask);

    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        const int err = errno;
        ::close(s);
        perror("bind can device error!");
        return failed(err);
    }
    {
        std::lock_guard<std::mutex> lock(ioMutex);
        fd.store(s);
    }
    tally->openError.store(0, std::memory_order_relaxed);
    return 0;
}

int DriverCan::Close() {
    if (!CloseDescriptor()) return 0;
    Poke();  // a receive thread waiting on the old socket re-checks and reopens
    LOG_INFO("close driver can\n");
    return 0;
}

bool DriverCan::IsOpen() {
    return fd.load() >= 0;
}

// Blocks until a frame comes, like a blocking read, but takes the frame under ioMutex without
// waiting there: it waits for readiness with the lock released and then reads what is there.
// The receive loop calls it only once poll has seen a frame, so it normally reads at once.
int DriverCan::Read(unsigned char* buf, int size) {
    while (true) {
        int f;
        {
            std::lock_guard<std::mutex> lock(ioMutex);
            f = fd.load();
            if (f < 0) {
                errno = EBADF;  // as a read on the closed socket would report
                return -1;
            }
            // A frame waits (or the socket has an error to report): read it, at once, with one
            // call that never blocks. A descriptor that is not a socket (a test double's)
            // is asked whether it is readable first.
            const ssize_t n = ::recv(f, buf, size_t(size), MSG_DONTWAIT);
            if (n >= 0 ||
                (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTSOCK && errno != EINTR))
                return int(n);
            if (errno == ENOTSOCK) {
                pollfd ready{f, POLLIN, 0};
                const int r = poll(&ready, 1, 0);
                if (r > 0 || (r < 0 && errno != EINTR)) return int(::read(f, buf, size_t(size)));
            }
        }
        // The number may be closed and even reused meanwhile: the wait then ends early or
        // late (at most after the bound), and the next pass reads the current socket. A stop
        // request ends the wait, so that StopReceive never waits on a read.
        pollfd p{f, POLLIN, 0};
        poll(&p, 1, kReadWaitMs);
        if (stopping.load()) return -1;
    }
}

int DriverCan::Write(const unsigned char* data, int len) {
    std::lock_guard<std::mutex> lock(ioMutex);
    const int f = fd.load();
    if (f < 0) return -1;
    return int(::write(f, data, size_t(len)));
}

int DriverCan::FrameGapUs() const {
    return tally->frameGapUs.load(std::memory_order_relaxed);
}

int DriverCan::TickUs() const {
    const int tickUs = tally->tickUs.load(std::memory_order_relaxed);
    return tickUs != 0 ? tickUs : 5000;
}

int DriverCan::CanFiltersConfig(const void* filters, int size) {
    std::lock_guard<std::mutex> lock(ioMutex);
    return setsockopt(fd.load(), SOL_CAN_RAW, CAN_RAW_FILTER, filters, socklen_t(size));
}

// Stops and starts the interface. A stop request (StopReceive, the destructor) cuts the pauses
// short but never skips the start: every motor on the bus needs the interface up again, and
// nothing else would bring it up on an interface without CAN state.
void DriverCan::RestartInterface(unsigned int pauseSec, bool interruptible) {
    can_do_stop(devName);
    if (interruptible) {
        SleepUnlessStopped(pauseSec * 1000L);
    } else {
        sleep(pauseSec);
    }
    can_do_start(devName);
    if (interruptible) {
        SleepUnlessStopped(pauseSec * 1000L);
    } else {
        sleep(pauseSec);
    }
}

int DriverCan::BuildFrame(unsigned int id, const unsigned char* data, unsigned char len,
                          canfd_frame& frame) const {
    // A classic frame is the first 16 bytes of a CAN-FD one: the same id, length and data.
    frame = canfd_frame{};
    frame.can_id = id;
    frame.len = len > CAN_MAX_DLEN ? CAN_MAX_DLEN : len;
    std::memcpy(frame.data, data, frame.len);
    if (!tally->canFd.load(std::memory_order_relaxed)) return kFrameSize;
    frame.flags = CANFD_BRS;
#ifdef CANFD_FDF
    frame.flags |= CANFD_FDF;
#endif
    return int(CANFD_MTU);
}

bool DriverCan::CanWrite(unsigned int id, const unsigned char* data, unsigned char len) {
    canfd_frame frame;
    const int size = BuildFrame(id, data, len, frame);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&frame);
    int n = Write(bytes, size);
    if (n < 0 && errno == ENOBUFS) {
        std::this_thread::sleep_for(kFullQueuePause);
        n = Write(bytes, size);
    }
    return CountWrite(n == size);
}

// The counters of one frame's write, and the interface restart after too many failures.
bool DriverCan::CountWrite(bool sent) {
    if (sent) {
        write_err_count.store(0);
        tally->consecutiveWriteErrors.store(0);
        tally->Sent();
        return true;
    }
    LOG_INFO("errno: {}\n", errno);
    write_err_count.fetch_add(1);
    tally->Failed();
    const int before = tally->consecutiveWriteErrors.fetch_add(1);
    LOG_INFO("write_err_count: {}\n", before);
    if ((before + 1) % 200 == 199) {
        perror("write error to much");
        Close();
        LOG_INFO("{} in bad stat, restart...\n", devName);
        RestartOrOwe(5, false);
    }
    return false;
}

int DriverCan::CanWriteBatch(const CanFrame* frames, int count) {
    constexpr int kBatch = 64;
    int sent = 0;
    bool paused = false;
    while (sent < count) {
        const int n = std::min(count - sent, kBatch);
        canfd_frame wire[kBatch];
        iovec iov[kBatch];
        mmsghdr msgs[kBatch];
        for (int i = 0; i < n; ++i) {
            const CanFrame& f = frames[sent + i];
            iov[i] = {&wire[i], size_t(BuildFrame(f.id, f.data, f.len, wire[i]))};
            msgs[i] = mmsghdr{};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int r;
        {
            std::lock_guard<std::mutex> lock(ioMutex);
            const int f = fd.load();
            if (f < 0) {
                errno = EBADF;
                r = -1;
            } else {
                r = sendmmsg(f, msgs, unsigned(n), 0);
            }
        }
        if (r > 0) {
            for (int i = 0; i < r; ++i) CountWrite(true);
            sent += r;  // a partial send goes on with the rest
            paused = false;
            continue;
        }
        // A full transmit queue is back-pressure: one pause, as for a single frame, then the
        // frames left are failures.
        if (r < 0 && errno == ENOBUFS && !paused) {
            paused = true;
            std::this_thread::sleep_for(kFullQueuePause);
            continue;
        }
        if (r == 0) errno = EIO;
        for (int i = sent; i < count; ++i) CountWrite(false);
        return sent;
    }
    return sent;
}

int DriverCan::CanRead(unsigned int* id, unsigned char* data, unsigned char* len) {
    // A socket that takes CAN-FD frames hands over either size; a classic one 16 bytes.
    canfd_frame frame{};
    const int size = tally->canFd.load(std::memory_order_relaxed) ? int(CANFD_MTU) : kFrameSize;
    const int n = Read(reinterpret_cast<unsigned char*>(&frame), size);
    if (n >= kFrameSize) {
        *id = frame.can_id;
        *len = frame.len > CAN_MAX_DLEN ? CAN_MAX_DLEN : frame.len;
        std::memcpy(data, frame.data, *len);
        return n;
    }
    if (n < 0) {
        perror("can raw socket read");
    } else {
        LOG_DEBUG("read: incomplete CAN frame\n");
    }
    CloseDescriptor();
    return -1;
}

void DriverCan::Poke() {
    if (wakeFd >= 0) {
        const uint64_t one = 1;
        if (::write(wakeFd, &one, sizeof one) < 0) {
            // The counter cannot overflow in practice; a failed poke only delays a wake-up.
        }
    }
}

bool DriverCan::SleepUnlessStopped(long ms) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopWake.wait_for(lock, std::chrono::milliseconds(ms),
                              [this] { return stopping.load(); });
}

// Blocks until a frame can be read, the socket is closed by another thread, or a stop is
// requested. Returns true when CanRead should be called.
bool DriverCan::WaitReadable() {
    const int f = fd.load();
    if (f < 0) return true;  // CanRead fails and the loop reopens the socket
    pollfd fds[2] = {{f, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) return false;
    if (fds[1].revents & POLLIN) {
        uint64_t count;
        if (::read(wakeFd, &count, sizeof count) < 0) {
            // Already drained by an earlier pass.
        }
        return false;
    }
    return true;
}

void DriverCan::StartReceive(ConsumerInterface* c) {
    std::lock_guard<std::mutex> control(threadMutex);
    consumer.store(c);
    if (!rxThread.joinable() && !stopping.load())
        rxThread = std::thread(&DriverCan::Callback, this);
}

void DriverCan::StopReceive() {
    std::lock_guard<std::mutex> control(threadMutex);
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopping.store(true);
        stopWake.notify_all();
    }
    Poke();
    if (rxThread.joinable()) rxThread.join();
    if (heartbeatThread.joinable()) heartbeatThread.join();
}

void DriverCan::Callback() {
    jointbus_detail::ApplyRealtimeOnce((std::string("CAN receive ") + devName).c_str());
    while (!stopping.load()) {
        if (!WaitReadable()) continue;
        if (stopping.load()) break;
        CanFrame frame;
        if (CanRead(&frame.id, frame.data, &frame.len) < 0) {
            if (!SleepUnlessStopped(1000)) break;
            Open();
            continue;
        }
        if (!(frame.id & CAN_ERR_FLAG)) {
            HandOn(frame);
        } else if (frame.id & CAN_ERR_BUSOFF) {
            ResetBusOff();
        }
    }
}

void DriverCan::HandOn(CanFrame& frame) {
    std::lock_guard<std::mutex> lock(rxMutex);
    bool watched = false;
    for (auto& entry : heartbeatList) {
        if (entry.id == frame.id) {
            entry.alive = true;
            watched = true;
        }
    }
    ConsumerInterface* c = consumer.load();
    if (!watched && c != nullptr) c->Consume(frame);
}

void DriverCan::ResetBusOff() {
    LOG_INFO("BUSOFF error, reset\n");
    Close();
    RestartOrOwe(1, true);
}

bool DriverCan::RestartOrOwe(unsigned int pauseSec, bool interruptible) {
    if (jointbus_detail::DrivenPeriodUs() == 0) {
        RestartInterface(pauseSec, interruptible);
        return true;
    }
    // The longer pause wins where two are owed.
    int owed = tally->restartOwedSec.load();
    while (owed < int(pauseSec) && !tally->restartOwedSec.compare_exchange_weak(owed, int(pauseSec))) {
    }
    return false;
}

bool DriverCan::RestartOwed() const {
    return tally->restartOwedSec.load(std::memory_order_relaxed) != 0;
}

bool DriverCan::RunOwedRestart() {
    const int pauseSec = tally->restartOwedSec.exchange(0);
    if (pauseSec == 0) return false;
    RestartInterface(unsigned(pauseSec), true);
    return true;
}

void DriverCan::Deliver(CanFrame& frame) {
    HandOn(frame);
}

int DriverCan::MuteReceive(bool mute) {
    std::lock_guard<std::mutex> lock(ioMutex);
    const int f = fd.load();
    if (f < 0) return -1;
    const can_err_mask_t errMask = mute ? 0 : CAN_ERR_BUSOFF;
    const int filtered = mute ? setsockopt(f, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0)
                              : setsockopt(f, SOL_CAN_RAW, CAN_RAW_FILTER, &rxFilter,
                                           sizeof rxFilter);
    return filtered | setsockopt(f, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errMask, sizeof errMask);
}

void DriverCan::SetConsumer(ConsumerInterface* c) {
    consumer.store(c);
}

int DriverCan::ReadWaiting(bool* busOff) {
    // Frames go to the consumer outside ioMutex, so that a consumer may write (a motor's
    // answer to a register request) without waiting on the reader.
    constexpr int kBatch = 16;
    canfd_frame frames[kBatch];
    int handed = 0;
    const int size = tally->canFd.load(std::memory_order_relaxed) ? int(CANFD_MTU) : kFrameSize;
    while (true) {
        int n;
        {
            std::lock_guard<std::mutex> lock(ioMutex);
            const int f = fd.load();
            if (f < 0) return -1;
            iovec iov[kBatch];
            mmsghdr msgs[kBatch];
            for (int i = 0; i < kBatch; ++i) {
                iov[i] = {&frames[i], size_t(size)};
                msgs[i] = mmsghdr{};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            n = recvmmsg(f, msgs, kBatch, MSG_DONTWAIT, nullptr);
            if (n < 0 && errno == ENOTSOCK) {
                // A test double's descriptor: one frame at a time, when one is there.
                pollfd ready{f, POLLIN, 0};
                if (poll(&ready, 1, 0) <= 0) return handed;
                const ssize_t got = ::read(f, &frames[0], size_t(size));
                n = got < 0 ? -1 : 1;
                msgs[0].msg_len = got < 0 ? 0 : unsigned(got);
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return handed;
            if (n < 0) perror("can raw socket read");
            for (int i = 0; i < n; ++i) {
                if (msgs[i].msg_len < unsigned(kFrameSize)) {
                    LOG_DEBUG("read: incomplete CAN frame\n");
                    n = -1;
                }
            }
        }
        if (n <= 0) {
            CloseDescriptor();
            return -1;
        }
        for (int i = 0; i < n; ++i) {
            CanFrame frame;
            frame.id = frames[i].can_id;
            frame.len = frames[i].len > CAN_MAX_DLEN ? CAN_MAX_DLEN : frames[i].len;
            std::memcpy(frame.data, frames[i].data, frame.len);
            if (!(frame.id & CAN_ERR_FLAG)) {
                HandOn(frame);
                ++handed;
            } else if (frame.id & CAN_ERR_BUSOFF) {
                *busOff = true;
            }
        }
        if (n < kBatch) return handed;
    }
}

bool DriverCan::GetCanFrame(CanFrame& out) {
    std::lock_guard<std::mutex> lock(rxMutex);
    if (readQueue.empty()) return false;
    out = readQueue.front();
    readQueue.pop_front();
    return true;
}

bool DriverCan::DropOneCanFrame() {
    std::lock_guard<std::mutex> lock(rxMutex);
    if (readQueue.empty()) return false;
    readQueue.pop_front();
    return true;
}

void DriverCan::ClearReadQueue() {
    std::deque<CanFrame> old;
    {
        std::lock_guard<std::mutex> lock(rxMutex);
        old.swap(readQueue);
    }
}

unsigned int DriverCan::GetReadQueueSize() {
    std::lock_guard<std::mutex> lock(rxMutex);
    return unsigned(readQueue.size());
}

void DriverCan::AddHeartbeatId(const unsigned int& id) {
    std::lock_guard<std::mutex> lock(rxMutex);
    heartbeatList.push_back({id, true});
}

void DriverCan::SetHeartbeatTimeOut(double seconds) {
    std::lock_guard<std::mutex> lock(rxMutex);
    heartbeatTimeOut = seconds;
}

void DriverCan::StartHeartbeatCheck() {
    std::lock_guard<std::mutex> control(threadMutex);
    if (!heartbeatThread.joinable() && !stopping.load())
        heartbeatThread = std::thread(&DriverCan::HeartbeatCallback, this);
}

void DriverCan::HeartbeatCallback(void* driver) {
    auto* self = static_cast<DriverCan*>(driver);
    while (!self->stopping.load()) {
        double period;
        {
            std::lock_guard<std::mutex> lock(self->rxMutex);
            for (auto& entry : self->heartbeatList) {
                if (entry.alive) {
                    entry.alive = false;
                } else {
                    errno = ETIMEDOUT;
                    perror("Heartbeat time out!!!\n");
                    // End at once: exit handlers would destroy objects that other threads
                    // are still using, and a crash there would hide the status.
                    if (jointbus::GetFatalPolicy() == jointbus::OnFatal::kExitProcess)
                        jointbus_detail::EndProcess();
                    LOG_ERROR("CAN heartbeat {:#x} on {} lost: every motor on {} is disabled\n",
                              entry.id, self->devName, self->devName);
                    jointbus_detail::OweBusDisable(self->devName);
                    entry.alive = true;  // while it stays lost: a line every other period
                }
            }
            period = self->heartbeatTimeOut;
        }
        if (!self->SleepUnlessStopped(long(period * 1000000) / 1000)) break;
    }
}
