// The Damiao motor with all its threads (client, sender, receive) on the host, so the race
// and memory checkers of the sanitizer builds see them: a transport double carries whole
// frames over a socket pair to a responder that answers like a motor.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/driver/driver_can.h"
#include "wait.h"

using namespace std::chrono;
using testsupport::WaitFor;

namespace {

// Answers every frame with a feedback frame: enabled after an enable frame, at the position
// of the last MIT frame, zeroed by a save-zero frame. Ends when the driver closes its end.
class Responder {
public:
    ~Responder() {
        for (auto& w : workers) w.join();
    }
    // One serving thread per attached driver; called from motor init, one at a time.
    void Attach(int fd, uint32_t masterId) {
        workers.emplace_back([this, fd, masterId] { Serve(fd, masterId); });
    }
    std::atomic<int> frames{0};

private:
    void Serve(int fd, uint32_t masterId) {
        Damiao::Ranges r;
        Damiao::RangesForModel(4310, r);
        bool enabled = false;
        float pos = 0;
        can_frame f{};
        while (read(fd, &f, sizeof f) == ssize_t(sizeof f)) {
            ++frames;
            bool special = f.can_dlc == 8;
            for (int i = 0; i < 7 && special; ++i) special = f.data[i] == 0xFF;
            if (special && f.data[7] == Damiao::kEnable) enabled = true;
            if (special && f.data[7] == Damiao::kDisable) enabled = false;
            if (special && f.data[7] == Damiao::kSaveZero) pos = 0;
            if (!special && enabled) pos = Damiao::DecodeMit(r, f.data).p;
            can_frame reply{};
            reply.can_id = masterId;
            reply.can_dlc = 8;
            Damiao::EncodeFeedback(r, enabled ? 1 : 0, pos, 0, 0, 30, reply.data);
            if (write(fd, &reply, sizeof reply) < 0) break;
        }
        close(fd);
    }
    std::vector<std::thread> workers;
};

class PairedCan : public DriverCan {
public:
    PairedCan(const char* dev, const can_filter& filter, Responder& r)
        : DriverCan(dev, &filter, 8), responder(r), masterId(filter.can_id) {
        PairedCan::Open();
    }
    ~PairedCan() override { StopReceive(); }
    int Open() override {
        if (fd.load() >= 0) return 0;
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return -1;
        fd.store(pair[0]);
        responder.Attach(pair[1], masterId);
        return 0;
    }

private:
    Responder& responder;
    uint32_t masterId;
};

class PairedMotor : public damiaoMotor {
public:
    PairedMotor(unsigned id, Responder& r)
        : damiaoMotor(4310, id, 0, 0x10 + id, "none0", false, 15.0f, 1.0f), responder(r) {}
    ~PairedMotor() override { Shutdown(); }

protected:
    DriverCan* CreateDriver(const can_filter& filter) override {
        return new PairedCan(dev_name.c_str(), filter, responder);
    }

private:
    Responder& responder;
};

}  // namespace

TEST(DamiaoThreads, InitEnableStreamHomeAndDestroy) {
    Responder responder;
    {
        PairedMotor m(1, responder);
        ASSERT_EQ(m.init(), 0);
        EXPECT_EQ(m.stateCode.load(), 0);
        m.setEnableStatus(true);
        ASSERT_TRUE(WaitFor(
            [&] {
                bool on = false;
                return m.getEnableStatus(on) == 0 && on;
            },
            milliseconds(3000)));
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
        EXPECT_TRUE(WaitFor(
            [&] {
                m.getMotorPosition(pos);
                return std::fabs(pos - 0.3) < 0.01;
            },
            milliseconds(3000)))
            << pos;
        m.setEnableStatus(false);
        m.setHome(200);
        EXPECT_TRUE(WaitFor([&] { return m.homeTimeoutMs.load() == 0; }, milliseconds(3000)));
        m.getMotorPosition(pos);
        EXPECT_NEAR(pos, 0.0, 0.001);
    }  // destroyed while the sender still visits it
    EXPECT_GT(responder.frames.load(), 10);
}

TEST(DamiaoThreads, SeveralMotorsDestroyedDuringTraffic) {
    Responder responder;
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
}
