// The serial port against real pseudo-terminals.

#include "jointbus/driver/driver_uart.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "log_capture.h"
#include "pty.h"
#include "proc_self.h"
#include "wait.h"

using namespace std::chrono;
using testsupport::LogCapture;
using testsupport::Pty;
using testsupport::TempDir;
using testsupport::ThreadCount;
using testsupport::WaitFor;

namespace {

speed_t SpeedOf(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    close(fd);
    return cfgetospeed(&t);
}

struct Collector : ConsumerInterface {
    using ConsumerInterface::Consume;
    void Consume(unsigned char* data, unsigned int len) override {
        std::lock_guard<std::mutex> lock(m);
        bytes.append(reinterpret_cast<char*>(data), len);
    }
    std::string Bytes() {
        std::lock_guard<std::mutex> lock(m);
        return bytes;
    }
    std::mutex m;
    std::string bytes;
};

}  // namespace

TEST(DriverUart, OpenAppliesRaw8N1AndTheRequestedSpeed) {
    Pty pty;
    DriverUart port(pty.path(), 1000000);
    ASSERT_EQ(port.Open(), 0);
    EXPECT_TRUE(port.IsOpen());
    int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B1000000));
    EXPECT_EQ(cfgetispeed(&t), speed_t(B1000000));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB), 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (BRKINT | INPCK | ISTRIP | ICRNL | IXON), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

// Every rate that has a terminal constant opens and is set at that rate; others keep the old
// fallbacks with an ERROR line naming the rate.
TEST(DriverUart, BaudRatesMapToTheirOwnConstants) {
    Pty pty;
    {
        DriverUart port(pty.path(), 230400);
        ASSERT_EQ(port.Open(), 0);
        EXPECT_EQ(SpeedOf(pty.slavePath()), speed_t(B230400));
        EXPECT_EQ(port.SetBaudRate(1000000), 1);
        EXPECT_EQ(SpeedOf(pty.slavePath()), speed_t(B1000000));
        EXPECT_EQ(port.SetBaudRate(4000000), 1);
        EXPECT_EQ(SpeedOf(pty.slavePath()), speed_t(B4000000));
    }
    LogCapture log;
    DriverUart odd(pty.path(), 300);
    ASSERT_EQ(odd.Open(), 0);
    EXPECT_EQ(SpeedOf(pty.slavePath()), speed_t(B115200));
    EXPECT_EQ(log.Count("serial speed 300 is not supported, using 115200"), 1u);
    EXPECT_EQ(odd.SetBaudRate(12345), 1);
    EXPECT_EQ(SpeedOf(pty.slavePath()), speed_t(B19200));
    EXPECT_EQ(odd.SetBaudRate(70000), 1);
    EXPECT_EQ(SpeedOf(pty.slavePath()), speed_t(B230400));
}

TEST(DriverUart, SetBaudRateOnAClosedPortIsUsedByTheNextOpen) {
    Pty pty;
    DriverUart port(pty.path(), 115200);
    EXPECT_EQ(port.SetBaudRate(500000), -1);
    ASSERT_EQ(port.Open(), 0);
    EXPECT_EQ(SpeedOf(pty.slavePath()), speed_t(B500000));
}

TEST(DriverUart, RegistryReusesOnePortPerName) {
    Pty pty;
    LogCapture log;
    auto a = DriverUart::GetUart(pty.path(), 115200);
    auto b = DriverUart::GetUart(pty.path(), 1000000);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_TRUE(a->IsOpen());
    EXPECT_EQ(a->baudRate.load(), 115200);
    EXPECT_EQ(log.Count("Uart " + pty.path() + " already opened, reuse it.\r\n"), 1u);
    EXPECT_EQ(log.Count("Baud rate mismatch: 1000000 != uart_ptr->baudRate"), 1u);
    a->Close();
}

TEST(DriverUart, MissingDeviceIsRegisteredClosed) {
    auto a = DriverUart::GetUart("/nonexistent/ttyJOINTBUS", 115200);
    ASSERT_TRUE(a);
    EXPECT_FALSE(a->IsOpen());
    EXPECT_EQ(DriverUart::GetUart("/nonexistent/ttyJOINTBUS", 115200).get(), a.get());
}

TEST(DriverUart, ClosedPortIOReturnsZeroSilently) {
    DriverUart port("", 115200);
    EXPECT_EQ(port.Open(), -1);
    LogCapture log;
    unsigned char buf[8] = {1, 2, 3};
    EXPECT_EQ(port.Read(buf, 8), 0);
    EXPECT_EQ(port.Write(buf, 3), 0);
    EXPECT_EQ(port.Read2(buf, 3, 3), 0);
    EXPECT_EQ(port.Close(), 0);
    EXPECT_EQ(log.Text(), "");
}

TEST(DriverUart, ReadReturnsPartialCountAfterItsBudget) {
    Pty pty;
    DriverUart port(pty.path(), 115200);
    ASSERT_EQ(port.Open(), 0);
    LogCapture log;
    pty.WriteMaster("abcd");
    unsigned char buf[10] = {};
    const auto t0 = steady_clock::now();
    EXPECT_EQ(port.Read(buf, 10), 4);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(90));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "abcd");
    EXPECT_EQ(log.Count("serial read timedout\r\n"), 1u);
    EXPECT_TRUE(port.IsOpen());
}

TEST(DriverUart, ReadCollectsBytesArrivingInPieces) {
    Pty pty;
    DriverUart port(pty.path(), 115200);
    ASSERT_EQ(port.Open(), 0);
    std::thread writer([&] {
        for (char c : std::string("123456")) {
            pty.WriteMaster(std::string(1, c));
            std::this_thread::sleep_for(milliseconds(3));
        }
    });
    unsigned char buf[6] = {};
    EXPECT_EQ(port.Read(buf, 6), 6);
    writer.join();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "123456");
}

TEST(DriverUart, Read2SendsThenReadsIntoTheSameBuffer) {
    Pty pty;
    DriverUart port(pty.path(), 115200);
    ASSERT_EQ(port.Open(), 0);
    std::thread peer([&] {
        if (pty.ReadMaster(3, 2000) == "req") pty.WriteMaster("reply");
    });
    unsigned char buf[8] = {'r', 'e', 'q'};
    EXPECT_EQ(port.Read2(buf, 3, 5), 5);
    peer.join();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "reply");

    // Nothing to receive: the count written. Nothing to send: only a read, and the input
    // already waiting is not discarded.
    unsigned char out[2] = {'o', 'k'};
    EXPECT_EQ(port.Read2(out, 2, 0), 2);
    EXPECT_EQ(pty.ReadMaster(2, 1000), "ok");
    pty.WriteMaster("xy");
    std::this_thread::sleep_for(milliseconds(20));
    unsigned char in[2] = {};
    EXPECT_EQ(port.Read2(in, 0, 2), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 2), "xy");
}

TEST(DriverUart, WriteDiscardsStaleInput) {
    Pty pty;
    DriverUart port(pty.path(), 115200);
    ASSERT_EQ(port.Open(), 0);
    pty.WriteMaster("stale");
    std::this_thread::sleep_for(milliseconds(20));
    unsigned char msg[1] = {'!'};
    EXPECT_EQ(port.Write(msg, 1), 1);
    pty.WriteMaster("new");
    unsigned char buf[3] = {};
    EXPECT_EQ(port.Read(buf, 3), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "new");
}

// A file that reports end of file must end the read at once, not spin for the budget.
TEST(DriverUart, EndOfFileEndsTheRead) {
    TempDir dir;
    const std::string file = dir.File("empty");
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    DriverUart port(file, 115200);
    EXPECT_EQ(port.Open(), -1);  // not a terminal: the attributes cannot be applied
    ASSERT_TRUE(port.IsOpen());
    port.ioTimeoutMs = 5000;
    unsigned char buf[4];
    const auto t0 = steady_clock::now();
    EXPECT_EQ(port.Read(buf, 4), 0);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(2500));
}

// Descriptors of 1024 and above cannot be waited on with a descriptor set.
TEST(DriverUart, WaitsWorkOnHighDescriptors) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_max < 1200) GTEST_SKIP() << "descriptor limit too low";
    const rlimit saved = lim;
    lim.rlim_cur = std::max<rlim_t>(lim.rlim_cur, 1200);
    setrlimit(RLIMIT_NOFILE, &lim);
    std::vector<int> fillers;
    for (int fd = dup(0); fd >= 0 && fd < 1030; fd = dup(0)) fillers.push_back(fd);
    {
        Pty pty;
        DriverUart port(pty.path(), 115200);
        ASSERT_EQ(port.Open(), 0);
        pty.WriteMaster("hi");
        unsigned char buf[2] = {};
        EXPECT_EQ(port.Read(buf, 2), 2);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 2), "hi");
    }
    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(DriverUart, FailedWriteClosesAndTheReceiveThreadReopens) {
    TempDir dir;
    const std::string link = dir.File("ttyBUS");
    auto first = std::make_unique<Pty>(link);
    DriverUart port(link, 115200);
    ASSERT_EQ(port.Open(), 0);
    LogCapture log;
    port.StartReceive(nullptr);
    first->CloseMaster();  // the device vanishes: writes fail with an I/O error
    unsigned char msg[1] = {'x'};
    EXPECT_LT(port.Write(msg, 1), 0);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(log.Count("Uart " + link + " write failed, close...\r\n"), 1u);

    Pty second(link);  // and reappears under the same name
    EXPECT_TRUE(WaitFor([&] { return port.IsOpen(); }, milliseconds(3000)));
    EXPECT_GE(log.Count("Uart " + link + " closed, try open...\r\n"), 1u);
    port.StopRecieve();
    EXPECT_EQ(port.Write(msg, 1), 1);
    EXPECT_EQ(second.ReadMaster(1, 1000), "x");
}

TEST(DriverUart, ReceiveThreadHandsBytesToTheConsumer) {
    Pty pty;
    DriverUart port(pty.path(), 115200);
    ASSERT_EQ(port.Open(), 0);
    Collector c;
    port.StartReceive(&c);
    const int running =
        ThreadCount();      // a sanitizer may add a thread of its own on the first start
    port.StartReceive(&c);  // one thread only; the consumer is replaced
    EXPECT_EQ(ThreadCount(), running);
    pty.WriteMaster("hello");
    EXPECT_TRUE(WaitFor([&] { return c.Bytes() == "hello"; }, milliseconds(2000))) << c.Bytes();
    const auto t0 = steady_clock::now();
    port.StopRecieve();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(1500));
    EXPECT_EQ(ThreadCount(), running - 1);
    port.StopRecieve();  // none running: returns at once
}

TEST(DriverUart, SilenceWithAConsumerClosesAndReopens) {
    Pty pty;
    DriverUart port(pty.path(), 115200);
    ASSERT_EQ(port.Open(), 0);
    LogCapture log;
    Collector c;
    port.StartReceive(&c);
    EXPECT_TRUE(
        WaitFor([&] { return log.Count("read error, close...") >= 1; }, milliseconds(2000)));
    EXPECT_TRUE(WaitFor([&] { return port.IsOpen(); }, milliseconds(2000)));
    port.StopRecieve();
}
