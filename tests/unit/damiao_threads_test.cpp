// The Damiao motor with all its threads (client, sender, receive) on the host, so the race
// and memory checkers of the sanitizer builds see them, over the socket-pair transport double.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "jointbus/DaMiao/damiao_thread.h"
#include "log_capture.h"
#include "near.h"
#include "paired_can.h"
#include "proc_self.h"
#include "wait.h"

using namespace std::chrono;
using testsupport::IsEnabled;
using testsupport::PairedMotor;
using testsupport::PositionOf;
using testsupport::Responder;
using testsupport::WaitFor;
using testsupport::WaitNear;

TEST(DamiaoThreads, InitEnableStreamHomeAndDestroy) {
    Responder responder;
    {
        PairedMotor m(1, responder);
        ASSERT_EQ(m.init(), 0);
        EXPECT_EQ(m.stateCode.load(), 0);
        m.setEnableStatus(true);
        ASSERT_TRUE(WaitFor([&] { return IsEnabled(m); }, milliseconds(3000)));
        // The client streams targets while it reads everything back.
        for (int i = 1; i <= 60; ++i) {
            m.setMotorPosition(0.005 * i);
            double pos, vel, torque;
            int temp;
            m.getMotorPosition(pos);
            m.getVelocity(vel);
            m.getTorque(torque);
            m.getMotorTemperature(temp);
            std::this_thread::sleep_for(milliseconds(2));
        }
        double pos = 0;
        EXPECT_TRUE(WaitNear(PositionOf(m), 0.3, 0.01, milliseconds(3000)));
        m.setEnableStatus(false);
        m.setHome(200);
        EXPECT_TRUE(WaitFor([&] { return m.homeTimeoutMs.load() == 0; }, milliseconds(3000)));
        m.getMotorPosition(pos);
        EXPECT_NEAR(pos, 0.0, 0.001);
    }  // destroyed while the sender still visits it
    EXPECT_GT(responder.frames.load(), 10);
}

// Mostly a probe for the race and memory checkers; everywhere it checks that no receive
// thread outlives its motor.
TEST(DamiaoThreads, UnderCheckersSeveralMotorsDestroyedDuringTraffic) {
    Responder responder;
    {
        PairedMotor warmUp(2, responder);  // starts the process-wide sender
        ASSERT_EQ(warmUp.init(), 0);
    }
    const int baseline = testsupport::ThreadCount();
    for (int round = 0; round < 5; ++round) {
        auto a = std::make_unique<PairedMotor>(2, responder);
        auto b = std::make_unique<PairedMotor>(3, responder);
        ASSERT_EQ(a->init(), 0);
        ASSERT_EQ(b->init(), 0);
        a->setEnableStatus(true);
        b->setMotorPosition(0.1);
        std::this_thread::sleep_for(milliseconds(30));
        (round % 2 ? a : b).reset();
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_TRUE(WaitFor([&] { return testsupport::ThreadCount() <= baseline; }, milliseconds(3000)))
        << testsupport::ThreadCount() << " threads, " << baseline << " before";
}

// Motors with one id on two interfaces are registered with two senders and both driven; the
// motors of one interface come and go while the other's are streamed, and a sender whose last
// motor has gone ends its thread. A probe for the race and memory checkers as well.
TEST(DamiaoThreads, TwoInterfacesWithTheSameIds) {
    Responder responder;
    PairedMotor kept(1, responder, "pairA");
    ASSERT_EQ(kept.init(), 0);
    Damiao::Damiao_Thread* senderA = Damiao::Damiao_Thread::ForInterface("pairA");
    Damiao::Damiao_Thread* senderB = Damiao::Damiao_Thread::ForInterface("pairB");
    EXPECT_NE(senderA, senderB);
    EXPECT_EQ(Damiao::Damiao_Thread::ForInterface("pairA"), senderA);
    kept.setEnableStatus(true);
    ASSERT_TRUE(WaitFor([&] { return IsEnabled(kept); }, milliseconds(3000)));
    const int baseline = testsupport::ThreadCount();
    std::atomic<bool> streaming{true};
    std::thread stream([&] {
        for (int i = 0; streaming.load(); ++i) {
            kept.setMotorPosition(0.2 * std::sin(i * 0.01));
            std::this_thread::sleep_for(milliseconds(2));
        }
        kept.setMotorPosition(0.25);
    });
    for (int round = 0; round < 5; ++round) {
        auto same = std::make_unique<PairedMotor>(1, responder, "pairB");
        auto other = std::make_unique<PairedMotor>(2, responder, "pairB");
        ASSERT_EQ(same->init(), 0);
        ASSERT_EQ(other->init(), 0);
        same->setEnableStatus(true);
        ASSERT_TRUE(WaitFor([&] { return IsEnabled(*same); }, milliseconds(3000)));
        same->setMotorPosition(-0.1);
        EXPECT_TRUE(WaitNear(PositionOf(*same), -0.1, 0.01, milliseconds(3000)));
        const unsigned long long ticks = senderB->Ticks();
        EXPECT_TRUE(WaitFor([&] { return senderB->Ticks() > ticks; }, milliseconds(3000)));
        (round % 2 ? same : other).reset();
    }
    streaming = false;
    stream.join();
    EXPECT_TRUE(WaitNear(PositionOf(kept), 0.25, 0.01, milliseconds(3000)));
    // pairB's sender has no motors left: its thread ends, with the motors' receive threads.
    EXPECT_TRUE(WaitFor([&] { return testsupport::ThreadCount() <= baseline; }, milliseconds(3000)))
        << testsupport::ThreadCount() << " threads, " << baseline << " before";
    const unsigned long long idle = senderB->Ticks();
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(senderB->Ticks(), idle);
}

// A caller may give the motor another interface between two inits (dev_name is public, and
// initdamiaoMotor sets it too): the motor leaves the sender it joined, so the first
// interface's sender neither drives it twice nor visits it once it is destroyed (the address
// checker would see that). A later motor with the same id on the first interface replaces
// nothing.
TEST(DamiaoThreads, AMotorMovedToAnotherInterfaceLeavesItsFirstSender) {
    Responder responder;
    auto moved = std::make_unique<PairedMotor>(5, responder, "pairC");
    ASSERT_EQ(moved->init(), 0);
    // Only the name: the motor's other fields are read by its receive thread meanwhile.
    moved->dev_name = "pairD";
    ASSERT_EQ(moved->init(), 0);
    Damiao::Damiao_Thread* senderC = Damiao::Damiao_Thread::ForInterface("pairC");
    testsupport::LogCapture log;
    PairedMotor successor(5, responder, "pairC");
    ASSERT_EQ(successor.init(), 0);
    EXPECT_EQ(log.Count("replaced"), 0u) << log.Text();
    moved.reset();
    successor.setEnableStatus(true);
    EXPECT_TRUE(WaitFor([&] { return IsEnabled(successor); }, milliseconds(3000)));
    const unsigned long long ticks = senderC->Ticks();
    EXPECT_TRUE(WaitFor([&] { return senderC->Ticks() > ticks + 2; }, milliseconds(3000)));
}

// Another thread sends clear-error frames ("any thread") while init() runs again and again,
// replacing the transport each time: the frames go through the driver in service or through
// none, never through one being deleted. Under the checkers this is a race and
// use-after-free probe; everywhere it checks that the motor still answers afterwards.
TEST(DamiaoThreads, ClearErrorsWhileInitRunsAgain) {
    Responder responder;
    PairedMotor m(4, responder);
    ASSERT_EQ(m.init(), 0);
    std::atomic<bool> done{false};
    std::atomic<int> cleared{0};
    std::thread clearer([&] {
        while (!done) {
            m.ClearErrors();
            ++cleared;
        }
    });
    // The clearing thread is under way before the inits begin, however the threads are
    // scheduled; then both run side by side.
    ASSERT_TRUE(WaitFor([&] { return cleared.load() > 0; }, milliseconds(3000)));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(m.init(), 0) << i;
    done = true;
    clearer.join();
    m.setEnableStatus(true);
    EXPECT_TRUE(WaitFor([&] { return IsEnabled(m); }, milliseconds(10000)));
}

namespace {

// A transport double whose descriptor is the read end of a pipe, not a socket: the receive
// thread must still read each whole frame, in order.
class PipeCan : public DriverCan {
public:
    PipeCan() : DriverCan("none0", 0x11, 0) { PipeCan::Open(); }
    ~PipeCan() override {
        StopReceive();
        if (writeEnd >= 0) close(writeEnd);
    }
    int Open() override {
        if (fd.load() >= 0) return 0;
        int ends[2];
        if (pipe(ends) != 0) return -1;
        fd.store(ends[0]);
        writeEnd = ends[1];
        return 0;
    }
    int writeEnd = -1;
};

struct Collector : ConsumerInterface {
    using ConsumerInterface::Consume;
    void Consume(CanFrame& frame) override {
        std::lock_guard<std::mutex> lock(mutex);
        ids.push_back(frame.id);
    }
    std::vector<uint32_t> Ids() {
        std::lock_guard<std::mutex> lock(mutex);
        return ids;
    }
    std::mutex mutex;
    std::vector<uint32_t> ids;
};

}  // namespace

TEST(DamiaoThreads, ReceiveThreadReadsFramesFromADescriptorThatIsNoSocket) {
    PipeCan can;
    Collector collector;
    can.StartReceive(&collector);
    for (uint32_t id : {0x11u, 0x12u, 0x13u}) {
        can_frame f{};
        f.can_id = id;
        f.can_dlc = 8;
        ASSERT_EQ(write(can.writeEnd, &f, sizeof f), ssize_t(sizeof f));
    }
    ASSERT_TRUE(
        testsupport::WaitFor([&] { return collector.Ids().size() == 3; }, std::chrono::seconds(5)));
    EXPECT_EQ(collector.Ids(), (std::vector<uint32_t>{0x11, 0x12, 0x13}));
    can.StopReceive();
}
