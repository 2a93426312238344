#include "jointbus/driver/driver_uart.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/bus_drive.h"
#include "common/bus_tally.h"
#include "common/realtime_threads.h"
#include "jointbus/common/logger.h"

DriverUart::Registry& DriverUart::Ports() {
    // The logger is created first so that it is destroyed after the ports, whose destructors
    // still log when the process exits.
    vantrel::Logger::Instance();
    static Registry registry;
    return registry;
}

namespace {

struct RateEntry {
    int rate;
    speed_t constant;
};

// Every rate from 9600 up that the terminal interface has a constant for.
constexpr RateEntry kRates[] = {
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

DriverUart::DriverUart(const std::string& name, int baud) : devName(name), baudRate(baud) {}

DriverUart::~DriverUart() {
    StopRecieve();
    if (IsOpen()) Close();
}

speed_t DriverUart::SpeedFor(int baud, Table table) {
    for (const auto& entry : kRates) {
        if (entry.rate == baud) return entry.constant;
    }
    // No constant for this rate: the historical fallbacks, which differ between the tables.
    speed_t fallback = B115200;
    if (table == Table::kSetBaudRate) fallback = baud < 57600 ? B19200 : B230400;
    LOG_ERROR("serial speed {} is not supported, using {}\r\n", baud,
              fallback == B115200  ? 115200
              : fallback == B19200 ? 19200
                                   : 230400);
    return fallback;
}

int DriverUart::ApplySpeedLocked(Table table) {
    const speed_t speed = SpeedFor(baudRate.load(), table);
    cfsetispeed(&workAttr, speed);
    cfsetospeed(&workAttr, speed);
    return 0;
}

int DriverUart::Open() {
    std::lock_guard<std::mutex> lock(portMutex);
    if (fd != -1) {
        ::close(fd);
        fd = -1;
    }
    jointbus_detail::BusTally* tally = jointbus_detail::TallyOf(devName);
    if (devName.empty()) {
        tally->openError.store(ENOENT, std::memory_order_relaxed);
        return -1;
    }
    fd = ::open(devName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        tally->openError.store(errno, std::memory_order_relaxed);  // before perror
        perror("open:");
        fd = -1;
        return -1;
    }
    tally->openError.store(0, std::memory_order_relaxed);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    tcgetattr(fd, &savedAttr);
    tcgetattr(fd, &workAttr);
    ApplySpeedLocked(Table::kOpen);
    LOG_INFO("serial speed {}\n", baudRate.load());
    workAttr.c_cflag &= ~(CSIZE | CSTOPB | PARENB);
    workAttr.c_cflag |= CS8 | CREAD | CLOCAL;
    cfmakeraw(&workAttr);
    workAttr.c_iflag &= ~(BRKINT | INPCK | ISTRIP | ICRNL | IXON);
    if (tcsetattr(fd, TCSANOW, &workAttr) != 0) {
        perror("tcsetattr:");
        return -1;
    }
    return 0;
}

void DriverUart::CloseLocked() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
        LOG_ERROR("Uart {} closed...\r\n", devName);
    }
}

int DriverUart::Close() {
    std::lock_guard<std::mutex> lock(portMutex);
    CloseLocked();
    return 0;
}

bool DriverUart::IsOpen() {
    std::lock_guard<std::mutex> lock(portMutex);
    return fd > 0;
}

int DriverUart::SetBaudRate(int baud) {
    std::lock_guard<std::mutex> lock(portMutex);
    baudRate = baud;
    if (fd == -1) return -1;
    tcgetattr(fd, &savedAttr);
    tcgetattr(fd, &workAttr);
    ApplySpeedLocked(Table::kSetBaudRate);
    tcsetattr(fd, TCSANOW, &workAttr);
    return 1;
}

int DriverUart::readSCS(unsigned char* buf, int len) {
    return ReadWithinLocked(buf, len, std::chrono::milliseconds(ioTimeoutMs), true);
}

int DriverUart::ReadBriefly(unsigned char* buf, int len, std::chrono::microseconds budget) {
    std::lock_guard<std::mutex> lock(portMutex);
    if (fd < 0) return 0;
    return ReadWithinLocked(buf, len, budget, false);
}

int DriverUart::ReadWithinLocked(unsigned char* buf, int len, std::chrono::microseconds budget,
                                 bool logTimeout) {
    using namespace std::chrono;
    auto deadline = steady_clock::now() + budget;
    // A control cycle's reads end by its deadline: a silent servo must not hold up the cycle
    // (it is reported silent), and that is no time-out of the line to log.
    bool cut = false;
    if (const int64_t cycleNs = jointbus_detail::ReadDeadlineNs()) {
        const steady_clock::time_point cycleEnd{nanoseconds(cycleNs)};
        cut = cycleEnd < deadline;
        if (cut) deadline = cycleEnd;
    }
    int count = std::min(len, rxPushbackLen);
    if (count > 0) {
        std::memcpy(buf, rxPushback, size_t(count));
        std::memmove(rxPushback, rxPushback + count, size_t(rxPushbackLen - count));
        rxPushbackLen -= count;
    }
    while (count < len) {
        const auto left = duration_cast<microseconds>(deadline - steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        // Round up so that a fraction of a millisecond left still waits.
        const int ready = left > 0 ? poll(&p, 1, int((left + 999) / 1000)) : 0;
        if (ready == 0) {
            if (logTimeout && !cut) LOG_ERROR("serial read timedout\r\n");
            return count;
        }
        if (ready < 0) {
            if (errno == EINTR) continue;
            LOG_ERROR("serial select error: {}\r\n", strerror(errno));
            ::close(fd);
            fd = -1;
            return -1;
        }
        const ssize_t n = ::read(fd, buf + count, size_t(len - count));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            LOG_ERROR("serial read error: {}\r\n", strerror(errno));
            ::close(fd);
            fd = -1;
            return -1;
        }
        // End of file after a ready wait: nothing more will come within this call.
        if (n == 0) return count;
        count += int(n);
    }
    return count;
}

int DriverUart::readOnce(unsigned char* buf, int len) {
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, int(ioTimeoutMs));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        LOG_ERROR("serial read timedout\r\n");
        return 0;
    }
    if (ready < 0) {
        LOG_ERROR("serial select error: {}\r\n", strerror(errno));
        ::close(fd);
        fd = -1;
        return -1;
    }
    const ssize_t n = ::read(fd, buf, size_t(len));
    if (n >= 0) return int(n);
    if (errno == EAGAIN) return 0;
    LOG_ERROR("serial read error: {}\r\n", strerror(errno));
    ::close(fd);
    fd = -1;
    return -1;
}

int DriverUart::Read(unsigned char* buf, int len) {
    std::lock_guard<std::mutex> lock(portMutex);
    if (fd < 0) return 0;
    return readSCS(buf, len);
}

// Discards unread input and writes; a failed write closes the port, naming the call.
int DriverUart::WriteLocked(const unsigned char* buf, int len, const char* call) {
    rFlushSCS();
    const ssize_t n = ::write(fd, buf, size_t(len));
    jointbus_detail::BusTally* tally = jointbus_detail::TallyOf(devName);
    if (n == len) tally->Sent();
    if (n < 0) {
        tally->Failed();
        ::close(fd);
        fd = -1;
        LOG_ERROR("Uart {} {} failed, close...\r\n", devName, call);
    }
    return int(n);
}

int DriverUart::Write(const unsigned char* buf, int len) {
    std::lock_guard<std::mutex> lock(portMutex);
    if (fd < 0) return 0;
    return WriteLocked(buf, len, "write");
}

int DriverUart::Read2(unsigned char* buf, int txLen, int rxLen) {
    std::lock_guard<std::mutex> lock(portMutex);
    if (fd < 0) return 0;
    int written = 0;
    if (txLen > 0) {
        written = WriteLocked(buf, txLen, "Read2");
        if (written < 0) return written;
    }
    if (rxLen > 0) return readSCS(buf, rxLen);
    return written;
}

int DriverUart::rFlushSCS() {
    rxPushbackLen = 0;
    return tcflush(fd, TCIFLUSH);
}

void DriverUart::Unread(const unsigned char* data, int len) {
    std::lock_guard<std::mutex> lock(portMutex);
    len = std::min(len, int(sizeof rxPushback) - rxPushbackLen);
    if (len <= 0) return;
    std::memmove(rxPushback + len, rxPushback, size_t(rxPushbackLen));
    std::memcpy(rxPushback, data, size_t(len));
    rxPushbackLen += len;
}

void DriverUart::wFlushSCS() {
    if (txPendingLen == 0) return;
    if (::write(fd, txPending, size_t(txPendingLen)) < 0) {
        ::close(fd);
        fd = -1;
        LOG_ERROR("Uart {} write failed, close...\r\n", devName);
    }
    txPendingLen = 0;
}

void DriverUart::StartReceive(ConsumerInterface* c) {
    std::lock_guard<std::mutex> control(threadMutex);
    {
        std::lock_guard<std::mutex> lock(portMutex);
        rxStop.store(false);
        consumer.store(c);
    }
    if (!rxThread.joinable()) rxThread = std::thread(&DriverUart::Callback, this);
}

void DriverUart::StopRecieve() {
    std::lock_guard<std::mutex> control(threadMutex);
    if (!rxThread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(sleepMutex);
        rxStop.store(true);
        sleepWake.notify_all();
    }
    rxThread.join();
}

void DriverUart::SleepUnlessStopped(int ms) {
    std::unique_lock<std::mutex> lock(sleepMutex);
    sleepWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return rxStop.load(); });
}

void DriverUart::Callback() {
    jointbus_detail::ApplyRealtimeOnce(("serial receive " + devName).c_str());
    unsigned char buffer[1024] = {};
    while (!rxStop.load()) {
        if (!IsOpen()) {
            LOG_ERROR("Uart {} closed, try open...\r\n", devName);
            Open();
            SleepUnlessStopped(1000);
            continue;
        }
        ConsumerInterface* c = consumer.load();
        if (c == nullptr) {
            SleepUnlessStopped(1000);
            continue;
        }
        std::unique_lock<std::mutex> lock(portMutex);
        const int n = fd >= 0 ? readOnce(buffer, sizeof buffer) : -1;
        if (n > 0) {
            c->Consume(buffer, unsigned(n));
            continue;
        }
        LOG_ERROR("Uart {} read error, close...\r\n", devName);
        lock.unlock();
        Close();
    }
}

std::shared_ptr<DriverUart> DriverUart::GetUart(const std::string& name, int baud) {
    Registry& registry = Ports();
    std::lock_guard<std::mutex> lock(registry.mapmtx);
    auto found = registry.uart_devs.find(name);
    if (found != registry.uart_devs.end()) {
        LOG_INFO("Uart {} already opened, reuse it.\r\n", name);
        std::shared_ptr<DriverUart> port = found->second;
        if (baud != port->baudRate) LOG_ERROR("Baud rate mismatch: {} != uart_ptr->baudRate", baud);
        return port;
    }
    auto port = std::make_shared<DriverUart>(name, baud);
    port->Open();
    registry.uart_devs[name] = port;
    return port;
}
