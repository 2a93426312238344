// The CAN driver on real SocketCAN: runs on the CAN bench (vcan interfaces).

#include "jointbus/driver/driver_can.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/can/error.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "proc_self.h"
#include "vcan.h"
#include "wait.h"

using namespace std::chrono;
using testsupport::CanPeer;
using testsupport::LogCapture;
using testsupport::OpenDescriptors;
using testsupport::Vcan;
using testsupport::WaitFor;

namespace {

struct Collector : ConsumerInterface {
    using ConsumerInterface::Consume;
    void Consume(CanFrame& f) override {
        std::lock_guard<std::mutex> lock(m);
        frames.push_back(f);
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m);
        return frames.size();
    }
    std::vector<CanFrame> Frames() {
        std::lock_guard<std::mutex> lock(m);
        return frames;
    }
    std::mutex m;
    std::vector<CanFrame> frames;
};

// Keeps sending frames with `id` until the consumer has more than `before` frames.
bool FramesFlowAgain(CanPeer& peer, Collector& c, uint32_t id, milliseconds limit) {
    const size_t before = c.Count();
    return WaitFor(
        [&] {
            peer.Send(id, "again");
            std::this_thread::sleep_for(milliseconds(50));
            return c.Count() > before;
        },
        limit);
}

}  // namespace

TEST(DriverCan, FramesReachTheConsumerInOrderThroughTheFilter) {
    Vcan bus;
    DriverCan driver(bus.name().c_str(), 0x11u, 0u);
    ASSERT_TRUE(driver.IsOpen());
    Collector c;
    driver.StartReceive(&c);
    CanPeer peer(bus.name());
    for (int i = 0; i < 20; ++i) {
        peer.Send(0x12, "other");
        peer.Send(0x11, std::string(1, char(i)));
    }
    peer.Send(0x111, "near");  // shares the low byte only
    ASSERT_TRUE(WaitFor([&] { return c.Count() >= 20; }, milliseconds(5000)));
    std::this_thread::sleep_for(milliseconds(100));
    auto frames = c.Frames();
    ASSERT_EQ(frames.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(frames[i].id, 0x11u);
        EXPECT_EQ(frames[i].len, 1);
        EXPECT_EQ(frames[i].data[0], i);
    }
}

TEST(DriverCan, OnlyTheFirstOfSeveralFiltersIsInstalled) {
    Vcan bus;
    const can_filter filters[2] = {{0x20, 0x7FF}, {0x30, 0x7FF}};
    DriverCan driver(bus.name().c_str(), filters, 2);
    Collector c;
    driver.StartReceive(&c);
    CanPeer peer(bus.name());
    peer.Send(0x30, "no");
    peer.Send(0x20, "yes");
    ASSERT_TRUE(WaitFor([&] { return c.Count() >= 1; }, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_EQ(c.Count(), 1u);
    EXPECT_EQ(c.Frames()[0].id, 0x20u);
}

TEST(DriverCan, CanWriteSendsOneFrame) {
    Vcan bus;
    DriverCan driver(bus.name().c_str(), 0x1u, 0u);
    CanPeer peer(bus.name());
    const unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(driver.CanWrite(0x101, data, 8));
    EXPECT_EQ(DriverCan::write_err_count.load(), 0);
    can_frame f{};
    ASSERT_TRUE(peer.Receive(f, 2000));
    EXPECT_EQ(f.can_id, 0x101u);
    EXPECT_EQ(f.can_dlc, 8);
    EXPECT_EQ(std::memcmp(f.data, data, 8), 0);
    EXPECT_TRUE(driver.CanWrite(0x201, data, 4));
    ASSERT_TRUE(peer.Receive(f, 2000));
    EXPECT_EQ(f.can_dlc, 4);
}

// A burst larger than the transmit queue: raw writes hit ENOBUFS, CanWrite waits and retries.
TEST(DriverCan, FullTransmitQueueIsBackPressureNotFailure) {
    Vcan bus;
    // First a bus slow enough (about 80 frames a second) that any sender fills the queue,
    // however slowly this machine runs: raw writes meet ENOBUFS.
    ASSERT_TRUE(bus.LimitToBusSpeed(10, 10));
    const unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    {
        CanPeer raw(bus.name());
        int full = 0;
        for (int i = 0; i < 100; ++i) {
            if (!raw.Send(0x101, std::string(8, 'x')) && errno == ENOBUFS) ++full;
        }
        EXPECT_GT(full, 0) << "the queue never filled";
    }
    // Then the speed of a real bus: a pause of 0.5 ms drains a few frames.
    ASSERT_TRUE(bus.LimitToBusSpeed(10));
    std::this_thread::sleep_for(milliseconds(200));
    DriverCan driver(bus.name().c_str(), 0x1u, 0u);
    DriverCan::write_err_count.store(0);
    int failed = 0;
    for (int i = 0; i < 100; ++i) failed += driver.CanWrite(0x101, data, 8) ? 0 : 1;
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(DriverCan::write_err_count.load(), 0);
}

// A batch on a queue that fills: what the call reports as sent is exactly what reaches the
// bus, in order, and every frame left over is counted as a failed write, not dropped silently.
TEST(DriverCan, ABatchSendsInOrderAndCountsWhatTheQueueRefused) {
    Vcan bus;
    ASSERT_TRUE(bus.LimitToBusSpeed(10, 10));
    CanPeer peer(bus.name());
    DriverCan driver(bus.name().c_str(), 0x1u, 0u);
    std::vector<CanFrame> frames(200);
    for (size_t i = 0; i < frames.size(); ++i) {
        frames[i].id = 0x100 + unsigned(i);
        frames[i].len = 8;
    }
    DriverCan::write_err_count.store(0);
    const int sent = driver.CanWriteBatch(frames.data(), int(frames.size()));
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, int(frames.size())) << "the queue never filled";
    EXPECT_EQ(DriverCan::write_err_count.load(), int(frames.size()) - sent);
    can_frame got{};
    for (int i = 0; i < sent; ++i) {
        ASSERT_TRUE(peer.Receive(got, 5000)) << "frame " << i;
        EXPECT_EQ(got.can_id, 0x100u + unsigned(i));
    }
    EXPECT_FALSE(peer.Receive(got, 300)) << "a frame counted as failed reached the bus";
    DriverCan::write_err_count.store(0);
}

TEST(DriverCan, HeartbeatFramesRefreshTheWatchAndAreKeptFromTheConsumer) {
    Vcan bus;
    const can_filter accept{0x10, 0x7F0};  // 0x10 to 0x1F
    DriverCan driver(bus.name().c_str(), &accept, 1);
    driver.AddHeartbeatId(0x15);
    driver.AddHeartbeatId(0x15);  // duplicates are refreshed together
    driver.SetHeartbeatTimeOut(0.5);
    Collector c;
    driver.StartReceive(&c);
    driver.StartHeartbeatCheck();
    CanPeer peer(bus.name());
    // Two seconds of heartbeats every 0.1 s keep the process alive.
    for (int i = 0; i < 20; ++i) {
        peer.Send(0x15, "hb");
        peer.Send(0x11, "data");
        std::this_thread::sleep_for(milliseconds(100));
    }
    ASSERT_TRUE(WaitFor([&] { return c.Count() >= 20; }, milliseconds(3000)));
    for (const auto& f : c.Frames()) EXPECT_EQ(f.id, 0x11u);
    driver.StopReceive();  // the watch ends with the driver's threads
}

TEST(DriverCanDeathTest, SilentHeartbeatEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Vcan bus;
    EXPECT_EXIT(
        {
            DriverCan driver(bus.name().c_str(), 0x15u, 0u);
            driver.AddHeartbeatId(0x15);
            driver.SetHeartbeatTimeOut(0.5);
            Collector c;
            driver.StartReceive(&c);
            driver.StartHeartbeatCheck();
            CanPeer peer(bus.name());
            for (int i = 0; i < 10; ++i) {
                peer.Send(0x15, "hb");
                std::this_thread::sleep_for(milliseconds(100));
            }
            // Silence from here: the watch must end the process within two periods.
            std::this_thread::sleep_for(milliseconds(5000));
            _exit(0);
        },
        ::testing::ExitedWithCode(1), "Heartbeat time out!!!");
}

TEST(DriverCan, BusOffErrorFrameResetsAndReopens) {
    Vcan bus;
    LogCapture log;
    DriverCan driver(bus.name().c_str(), 0x11u, 0u);
    Collector c;
    driver.StartReceive(&c);
    CanPeer peer(bus.name());
    can_frame other{};
    other.can_id = CAN_ERR_FLAG | CAN_ERR_CRTL;  // not bus-off: masked out, never acted on
    other.can_dlc = 8;
    peer.Send(other);
    can_frame busoff{};
    busoff.can_id = CAN_ERR_FLAG | CAN_ERR_BUSOFF;
    busoff.can_dlc = 8;
    ASSERT_TRUE(peer.Send(busoff));
    ASSERT_TRUE(
        WaitFor([&] { return log.Count("BUSOFF error, reset\n") == 1; }, milliseconds(3000)));
    EXPECT_TRUE(WaitFor([&] { return log.Count("close driver can\n") == 1; }, milliseconds(3000)));
    EXPECT_TRUE(FramesFlowAgain(peer, c, 0x11, milliseconds(10000)));
    EXPECT_TRUE(driver.IsOpen());
    EXPECT_EQ(log.Count("BUSOFF error, reset\n"), 1u);
    EXPECT_EQ(log.Count("in bad stat, restart"), 0u) << "the state restart's line is not ours";
}

// A driver destroyed during its bus-off reset, in the pause with the interface stopped,
// still starts the interface before it goes: the other motors on the bus need it.
TEST(DriverCan, DestroyedDuringABusOffResetLeavesTheInterfaceUp) {
    Vcan bus;
    LogCapture log;
    auto driver = std::make_unique<DriverCan>(bus.name().c_str(), 0x11u, 0u);
    Collector c;
    driver->StartReceive(&c);
    CanPeer peer(bus.name());
    can_frame busoff{};
    busoff.can_id = CAN_ERR_FLAG | CAN_ERR_BUSOFF;
    busoff.can_dlc = 8;
    ASSERT_TRUE(peer.Send(busoff));
    ASSERT_TRUE(WaitFor([&] { return log.Count("close driver can\n") == 1; }, milliseconds(30000)));
    std::this_thread::sleep_for(milliseconds(300));
    driver.reset();
    EXPECT_TRUE(WaitFor([&] { return bus.IsUp(); }, milliseconds(3000)));
}

// While writers and the reopening thread share the driver, the process keeps opening and
// closing other files: a descriptor number that the driver closed is never written through,
// so no frame ever lands in one of those files.
TEST(DriverCan, AClosedDescriptorIsNeverUsedForAnotherFile) {
    Vcan bus;
    DriverCan driver(bus.name().c_str(), 0x11u, 0u);
    can_frame frame{};
    frame.can_id = 0x22;
    frame.can_dlc = 8;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        while (!done) driver.Write(reinterpret_cast<const unsigned char*>(&frame), sizeof frame);
    });
    std::thread reopener([&] {
        for (int i = 0; i < 300; ++i) {
            driver.Close();
            driver.Open();
        }
        done = true;
    });
    int stray = 0, files = 0;
    while (!done) {
        int p[2];
        if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) break;
        ++files;
        std::this_thread::yield();
        char bytes[64];
        if (read(p[0], bytes, sizeof bytes) > 0) ++stray;
        close(p[0]);
        close(p[1]);
    }
    writer.join();
    reopener.join();
    EXPECT_GT(files, 0);
    EXPECT_EQ(stray, 0);
}

TEST(DriverCan, FailedWritesCountAndOneSuccessResets) {
    Vcan bus;
    DriverCan driver(bus.name().c_str(), 0x11u, 0u);
    driver.Close();
    DriverCan::write_err_count = 0;
    const unsigned char data[8] = {};
    for (int i = 0; i < 150; ++i) EXPECT_FALSE(driver.CanWrite(0x1, data, 8));
    EXPECT_EQ(DriverCan::write_err_count.load(), 150);
    ASSERT_EQ(driver.Open(), 0);
    EXPECT_TRUE(driver.CanWrite(0x1, data, 8));
    EXPECT_EQ(DriverCan::write_err_count.load(), 0);
}

// After a bus-off reset closed the socket, the receive loop's read fails and reports why:
// the error is the closed descriptor's, not whatever an earlier call left in errno.
TEST(DriverCan, AReadOnTheClosedSocketReportsABadDescriptor) {
    Vcan bus;
    DriverCan driver(bus.name().c_str(), 0x11u, 0u);
    driver.Close();
    unsigned char buf[16];
    errno = 0;
    EXPECT_EQ(driver.Read(buf, sizeof buf), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(DriverCan, The199thFailedWriteRestartsTheInterface) {
    Vcan bus;
    LogCapture log;
    DriverCan driver(bus.name().c_str(), 0x11u, 0u);
    Collector c;
    driver.StartReceive(&c);
    // Frames that go out on another interface in between neither reset this interface's
    // count nor add to it.
    Vcan other;
    DriverCan healthy(other.name().c_str(), 0x11u, 0u);
    // A write on a vcan does not fail, so fail it by closing the socket first.
    driver.Close();
    const unsigned char data[8] = {};
    for (int i = 0; i < 198; ++i) {
        EXPECT_FALSE(driver.CanWrite(0x1, data, 8));  // no restart yet
        EXPECT_TRUE(healthy.CanWrite(0x1, data, 8));
    }
    // Each healthy write reset the process-wide count, while this interface's own count went
    // on (its 198th failure logs the 197 before it).
    EXPECT_EQ(DriverCan::write_err_count.load(), 0);
    EXPECT_EQ(log.Count("write_err_count: 197\n"), 1u);
    EXPECT_EQ(log.Count("in bad stat, restart"), 0u);
    const auto t0 = steady_clock::now();
    EXPECT_FALSE(driver.CanWrite(0x1, data, 8));  // 199th: restart with two 5 s pauses
    EXPECT_GE(steady_clock::now() - t0, milliseconds(9000));
    EXPECT_EQ(log.Count(bus.name() + " in bad stat, restart...\n"), 1u);
    EXPECT_EQ(DriverCan::write_err_count.load(), 1);
    // The receive thread has reopened the socket meanwhile.
    EXPECT_TRUE(WaitFor([&] { return driver.IsOpen(); }, milliseconds(3000)));
    EXPECT_TRUE(driver.CanWrite(0x1, data, 8));
    EXPECT_EQ(DriverCan::write_err_count.load(), 0);
}

TEST(DriverCan, ReceiveLoopRecoversFromADeletedInterface) {
    Vcan bus;
    DriverCan driver(bus.name().c_str(), 0x11u, 0u);
    Collector c;
    driver.StartReceive(&c);
    const int fds = OpenDescriptors();
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_TRUE(bus.Delete());
        std::this_thread::sleep_for(milliseconds(1500));  // reopen fails at least once
        ASSERT_TRUE(bus.Add());
        CanPeer peer(bus.name());
        ASSERT_TRUE(FramesFlowAgain(peer, c, 0x11, milliseconds(8000))) << "cycle " << cycle;
    }
    // Then 100 cycles faster than the loop reopens: nothing leaks, and it still recovers.
    ASSERT_TRUE(bus.DeleteAndAddAgain(100));
    {
        CanPeer peer(bus.name());
        ASSERT_TRUE(FramesFlowAgain(peer, c, 0x11, milliseconds(8000)));
    }
    EXPECT_EQ(OpenDescriptors(), fds);
}

TEST(DriverCan, ReceiveLoopRecoversFromInterfaceDownAndUp) {
    Vcan bus;
    DriverCan driver(bus.name().c_str(), 0x11u, 0u);
    Collector c;
    driver.StartReceive(&c);
    CanPeer peer(bus.name());
    const int fds = OpenDescriptors();
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_TRUE(bus.Down());
        std::this_thread::sleep_for(milliseconds(300));
        ASSERT_TRUE(bus.Up());
        ASSERT_TRUE(FramesFlowAgain(peer, c, 0x11, milliseconds(8000))) << "cycle " << cycle;
    }
    for (int cycle = 0; cycle < 100; ++cycle) {
        ASSERT_TRUE(bus.Down());
        std::this_thread::sleep_for(milliseconds(10));
        ASSERT_TRUE(bus.Up());
    }
    ASSERT_TRUE(FramesFlowAgain(peer, c, 0x11, milliseconds(8000)));
    EXPECT_EQ(OpenDescriptors(), fds);
}

TEST(DriverCan, OpenRefusesUnusableInterfaces) {
    const int fds = OpenDescriptors();
    {
        LogCapture log;
        DriverCan longName("averyveryverylongname0", 0x1u, 0u);
        EXPECT_FALSE(longName.IsOpen());
        EXPECT_EQ(longName.Open(), -1);
        EXPECT_GE(
            log.Count("CAN interface name averyveryverylongname0 is longer than 15 characters"),
            1u);
        DriverCan missing("jbnosuch0", 0x1u, 0u);
        EXPECT_FALSE(missing.IsOpen());
        EXPECT_EQ(missing.Open(), -1);
    }
    EXPECT_EQ(OpenDescriptors(), fds);
}

// Opening bounds the interface state query with a real-time signal (SIGRTMAX - 1) only while
// the application has no use for it: an application's own handler stays in place.
TEST(DriverCan, AnApplicationsHandlerForTheQuerySignalIsKept) {
    static std::atomic<int> calls{0};
    struct sigaction mine {}, before{};
    mine.sa_handler = [](int) { ++calls; };
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(sigaction(SIGRTMAX - 1, &mine, &before), 0);
    {
        Vcan bus;
        DriverCan driver(bus.name().c_str(), 0x11u, 0u);
        EXPECT_TRUE(driver.IsOpen());
        EXPECT_EQ(driver.Open(), 0);
    }
    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGRTMAX - 1, &before, &now), 0);
    EXPECT_EQ(now.sa_handler, mine.sa_handler);
    EXPECT_EQ(calls.load(), 0);
}

TEST(DriverCan, ReadQueueOperationsOnAnEmptyQueue) {
    Vcan bus;
    DriverCan driver(bus.name().c_str(), 0x1u, 0u);
    CanFrame out;
    out.id = 0xABC;
    EXPECT_FALSE(driver.GetCanFrame(out));
    EXPECT_EQ(out.id, 0xABCu);
    EXPECT_FALSE(driver.DropOneCanFrame());
    EXPECT_EQ(driver.GetReadQueueSize(), 0u);
    driver.ClearReadQueue();
    EXPECT_EQ(driver.GetReadQueueSize(), 0u);
}

// Destroying a driver while its threads run must leave nothing behind: a probe for the memory
// and race checkers on the bench; everywhere it checks that the driver's threads have ended.
TEST(DriverCan, UnderCheckersDestroyingARunningDriverStopsItsThreads) {
    Vcan bus;
    CanPeer peer(bus.name());
    const int baseline = testsupport::ThreadCount();
    for (int round = 0; round < 5; ++round) {
        auto c = std::make_unique<Collector>();
        auto driver = std::make_unique<DriverCan>(bus.name().c_str(), 0x11u, 0u);
        driver->AddHeartbeatId(0x7FF);
        driver->SetHeartbeatTimeOut(60);
        driver->StartReceive(c.get());
        driver->StartReceive(c.get());  // a second start keeps one thread
        driver->StartHeartbeatCheck();
        for (int i = 0; i < 10; ++i) peer.Send(0x11, "x");
        std::this_thread::sleep_for(milliseconds(20));
        driver.reset();
        // A joined thread can stay listed for a moment while the kernel reaps it.
        EXPECT_TRUE(
            WaitFor([&] { return testsupport::ThreadCount() == baseline; }, milliseconds(3000)))
            << "round " << round;
        c.reset();  // no thread may call into the consumer any more
        for (int i = 0; i < 10; ++i) peer.Send(0x11, "y");
    }
}
