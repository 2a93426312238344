// Plays one or more Damiao joint motors on a CAN interface, for tests and the simulated bench.
//
// Every frame addressed to a motor (its id, id|0x100 or id|0x200) is answered with one
// feedback frame on its master id. The rotor moves with a simple physical model of the
// motor's control mode. Faults are injected while it runs through commands on standard input.

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "motor_wire.h"

namespace {

const char* kUsage =
    "usage: damiao_emulator IFACE ID:MASTER[:MODEL[:MODE]]... [--trace]\n"
    "  e.g. damiao_emulator vcan0 1:0x11:4310:0 2:0x12:4340:256\n"
    "  stdin: fault ID CODE | powerloss ID | silent ID on|off | late ID MS | status | quit\n"
    "  --trace prints each frame received: rx NS ID LEN BYTES, then 'unanswered' while the\n"
    "  motor is silent (it stays on the bus, the others keep answering)\n";

using Clock = std::chrono::steady_clock;

constexpr double kInertia = 0.01;   // kg·m²
constexpr double kFriction = 0.05;  // N·m per rad/s

struct Motor {
    uint32_t id = 0, master = 0, mode = 0;
    int model = 4310;
    motor_wire::Limits r;
    bool enabled = false;
    double pos = 0, vel = 0, torque = 0, zero = 0;
    int fault = 0;
    bool powerLoss = false, silent = false;
    int lateMs = 0;
    motor_wire::MitTarget mit;
    bool haveCmd = false;
    float targetPos = 0, targetVel = 0;
    unsigned long long received = 0, answered = 0;  // frames addressed to it, feedback sent

    int State() const { return fault ? fault : (enabled ? 1 : 0); }

    void Step(double dt) {
        if (!enabled || fault || !haveCmd) {
            torque = 0;
            vel *= std::exp(-20.0 * dt);
        } else if (mode == motor_wire::kModeMit) {
            torque = mit.kp * (mit.p - (pos - zero)) + mit.kd * (mit.v - vel) + mit.t;
            torque = std::clamp(torque, -double(r.tmax), double(r.tmax));
            vel += (torque - kFriction * vel) / kInertia * dt;
        } else if (mode == motor_wire::kModePosSpeed) {
            const double gap = targetPos - (pos - zero);
            const double speed = std::fabs(targetVel);
            vel = std::fabs(gap) <= speed * dt ? gap / dt : (gap > 0 ? speed : -speed);
        } else {
            vel = targetVel;
        }
        pos += vel * dt;
    }
};

struct Pending {
    Clock::time_point due;
    can_frame frame;
};

int OpenSocket(const char* ifname) {
    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) {
        perror("damiao_emulator: socket");
        return -1;
    }
    // A deep receive queue, so that frames wait rather than drop while this process is not
    // scheduled (a loaded machine): a real motor never misses a frame on a healthy bus.
    const int deep = 8 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &deep, sizeof deep) < 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &deep, sizeof deep);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        perror("damiao_emulator: SIOCGIFINDEX");
        return -1;
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        perror("damiao_emulator: bind");
        return -1;
    }
    return fd;
}

bool ParseMotor(const std::string& text, Motor& m) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string p; std::getline(in, p, ':');) parts.push_back(p);
    if (parts.size() < 2 || parts.size() > 4) return false;
    try {
        m.id = uint32_t(std::stoul(parts[0], nullptr, 0));
        m.master = uint32_t(std::stoul(parts[1], nullptr, 0));
        if (parts.size() > 2) m.model = std::stoi(parts[2], nullptr, 0);
        if (parts.size() > 3) m.mode = uint32_t(std::stoul(parts[3], nullptr, 0));
    } catch (...) {
        return false;
    }
    return motor_wire::LimitsOfModel(m.model, m.r) &&
           (m.mode == motor_wire::kModeMit || m.mode == motor_wire::kModePosSpeed ||
            m.mode == motor_wire::kModeSpeed);
}

class Emulator {
public:
    Emulator(int socketFd, std::vector<Motor> played, bool traceFrames)
        : fd(socketFd), motors(std::move(played)), trace(traceFrames) {}

    int Run() {
        auto last = Clock::now();
        std::string input;
        bool stdinOpen = true;
        while (true) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
            poll(fds, 2, 1);
            const auto now = Clock::now();
            const double dt = std::chrono::duration<double>(now - last).count();
            last = now;
            for (auto& m : motors) {
                for (double left = dt; left > 1e-9; left -= 0.0002) m.Step(std::min(left, 0.0002));
            }
            if (fds[0].revents & (POLLIN | POLLERR)) {
                // Answer every frame that is waiting before the next physics step, so a
                // burst from many motors is not answered one frame per step. A socket error
                // (the interface went down) is consumed by the read so that poll waits again.
                // At most a bounded batch per pass, so that control commands on standard input
                // are never starved by a queue that a loaded machine lets grow.
                can_frame f{};
                for (int k = 0; k < 64 && recv(fd, &f, sizeof f, MSG_DONTWAIT) == ssize_t(sizeof f);
                     ++k)
                    HandleFrame(f, Clock::now());
            }
            if (fds[1].revents & (POLLIN | POLLHUP)) {
                char buf[256];
                const ssize_t n = read(0, buf, sizeof buf);
                if (n <= 0) {
                    stdinOpen = false;  // keep playing until killed
                } else {
                    input.append(buf, size_t(n));
                    for (auto nl = input.find('\n'); nl != std::string::npos;
                         nl = input.find('\n')) {
                        const std::string line = input.substr(0, nl);
                        input.erase(0, nl + 1);
                        if (!Command(line)) return 0;
                    }
                }
            }
            while (!pending.empty() && pending.front().due <= now) {
                Send(pending.front().frame);
                pending.pop_front();
            }
        }
    }

private:
    Motor* Find(uint32_t canId) {
        for (auto& m : motors) {
            if (canId == m.id || canId == (m.id | motor_wire::kModePosSpeed) ||
                canId == (m.id | motor_wire::kModeSpeed))
                return &m;
        }
        return nullptr;
    }

    Motor* ById(const std::string& text) {
        try {
            const uint32_t id = uint32_t(std::stoul(text, nullptr, 0));
            for (auto& m : motors)
                if (m.id == id) return &m;
        } catch (...) {
        }
        return nullptr;
    }

    void HandleFrame(const can_frame& f, Clock::time_point now) {
        if (f.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) return;
        Motor* m = Find(f.can_id);
        if (m == nullptr) return;
        ++m->received;
        if (trace) {
            std::printf("rx %lld %03X %d",
                        (long long)std::chrono::duration_cast<std::chrono::nanoseconds>(
                            now.time_since_epoch())
                            .count(),
                        f.can_id, f.can_dlc);
            for (int i = 0; i < f.can_dlc; ++i) std::printf(" %02X", f.data[i]);
            std::printf(m->silent ? " unanswered\n" : "\n");
            std::fflush(stdout);
        }
        const uint32_t offset = f.can_id & 0x300;
        bool special = f.can_dlc == 8;
        for (int i = 0; i < 7 && special; ++i) special = f.data[i] == 0xFF;
        if (special) {
            switch (f.data[7]) {
                case motor_wire::kCmdEnable:
                    m->enabled = m->fault == 0;
                    break;
                case motor_wire::kCmdDisable:
                    m->enabled = false;
                    m->haveCmd = false;
                    break;
                case motor_wire::kCmdZero:
                    m->zero = m->pos;
                    break;
                case motor_wire::kCmdClear:
                    m->fault = 0;
                    m->enabled = false;
                    break;
                default:
                    break;
            }
        } else if (m->enabled && !m->fault && offset == m->mode) {
            if (offset == motor_wire::kModeMit && f.can_dlc == 8) {
                m->mit = motor_wire::ReadMit(m->r, f.data);
                m->haveCmd = true;
            } else if (offset == motor_wire::kModePosSpeed && f.can_dlc == 8) {
                m->targetPos = motor_wire::ReadFloat(f.data);
                m->targetVel = motor_wire::ReadFloat(f.data + 4);
                m->haveCmd = true;
            } else if (offset == motor_wire::kModeSpeed && f.can_dlc >= 4) {
                m->targetVel = motor_wire::ReadFloat(f.data);
                m->haveCmd = true;
            }
        }
        if (m->silent) return;
        ++m->answered;
        can_frame reply{};
        reply.can_id = m->master;
        reply.can_dlc = 8;
        if (m->powerLoss) {
            m->powerLoss = false;
            std::memset(reply.data, 0xFF, 8);
            reply.data[0] = 0x00;  // state 0 with bytes 1 to 7 all 0xFF
        } else {
            motor_wire::WriteFeedback(m->r, m->State(), float(m->pos - m->zero), float(m->vel),
                                      float(m->torque), 0x1E, 35, reply.data);
        }
        if (m->lateMs > 0) {
            pending.push_back({now + std::chrono::milliseconds(m->lateMs), reply});
        } else {
            Send(reply);
        }
    }

    void Send(const can_frame& f) {
        if (write(fd, &f, sizeof f) != ssize_t(sizeof f)) perror("damiao_emulator: write");
    }

    // One control line; false on "quit".
    bool Command(const std::string& line) {
        std::istringstream in(line);
        std::string verb, id, arg;
        in >> verb >> id >> arg;
        if (verb == "quit") return false;
        if (verb == "status") {
            for (const auto& m : motors)
                std::printf(
                    "motor %u state=%d enabled=%d pos=%.4f vel=%.4f torque=%.4f received=%llu "
                    "answered=%llu\n",
                    m.id, m.State(), m.enabled ? 1 : 0, m.pos - m.zero, m.vel, m.torque, m.received,
                    m.answered);
            std::printf("end\n");
            std::fflush(stdout);
            return true;
        }
        Motor* m = ById(id);
        if (m == nullptr) {
            std::fprintf(stderr, "damiao_emulator: no motor %s in: %s\n", id.c_str(), line.c_str());
            return true;
        }
        if (verb == "fault") {
            m->fault = std::atoi(arg.c_str()) & 0xF;
            if (m->fault) m->enabled = false;
        } else if (verb == "powerloss") {
            m->powerLoss = true;
        } else if (verb == "silent") {
            m->silent = arg == "on";
        } else if (verb == "late") {
            m->lateMs = std::max(0, std::atoi(arg.c_str()));
        } else {
            std::fprintf(stderr, "damiao_emulator: unknown command: %s\n", line.c_str());
        }
        return true;
    }

    int fd;
    std::vector<Motor> motors;
    bool trace;
    std::deque<Pending> pending;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<Motor> motors;
    bool trace = false;
    const char* ifname = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--trace") {
            trace = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (ifname == nullptr) {
            ifname = argv[i];
        } else {
            Motor m;
            if (!ParseMotor(arg, m)) {
                std::fprintf(stderr, "damiao_emulator: bad motor '%s'\n%s", argv[i], kUsage);
                return 2;
            }
            motors.push_back(m);
        }
    }
    if (ifname == nullptr || motors.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const int fd = OpenSocket(ifname);
    if (fd < 0) return 1;
    std::printf("ready %zu motor(s) on %s\n", motors.size(), ifname);
    std::fflush(stdout);
    return Emulator(fd, std::move(motors), trace).Run();
}
