// Plays one or more Damiao joint motors on a CAN interface, for tests and the simulated bench.
//
// Every frame addressed to a motor (its id, id|0x100 or id|0x200) is answered with one
// feedback frame on its master id. The rotor moves with a simple physical model of the
// motor's control mode. Faults are injected while it runs through commands on standard input.
// On an interface with the CAN-FD MTU it also takes CAN-FD frames, and answers each frame in
// its own format: an FD frame with an FD frame (bit-rate switch set), a classic one classic.

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
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "motor_wire.h"

namespace {

const char* kUsage =
    "usage: damiao_emulator IFACE ID:MASTER[:MODEL[:MODE]]... [--state FILE]\n"
    "                       [--trace | --trace-id ID]\n"
    "  e.g. damiao_emulator vcan0 1:0x11:4310:0 2:0x12:4340:256\n"
    "  MODE is the offset of the mode's frames: 0 MIT, 256 position-speed, 512 speed\n"
    "  --state FILE keeps the stored registers: read at start when it exists, written on\n"
    "  every store (0xAA) request\n"
    "  stdin: fault ID CODE | powerloss ID | silent ID on|off | late ID MS | status |\n"
    "         regs | powercycle ID | gravity ID NM | quit\n"
    "  gravity ID NM loads the joint like an arm link: a torque of -NM*cos(position),\n"
    "  horizontal at 0; the joint falls when nothing holds it (0 removes the load)\n"
    "  --trace prints each frame received: rx NS ID LEN BYTES, then 'unanswered' while the\n"
    "  motor is silent; --trace-id ID only those of one motor (a light load for benchmarks)\n"
    "  An FD frame is traced with ' fd' after its bytes and answered in FD\n"
    "  (a silent motor stays on the bus, the others keep answering)\n";

using Clock = std::chrono::steady_clock;

constexpr double kInertia = 0.01;   // kg·m²
constexpr double kFriction = 0.05;  // N·m per rad/s

// The registers a motor keeps in flash; the running copy is the motor's own fields.
struct Stored {
    uint32_t id = 0, master = 0, mode = 0, timeout = 0, canRate = 4;
    motor_wire::Limits r;
};

struct Motor {
    uint32_t id = 0, master = 0, mode = 0;  // ESC_ID, MST_ID, and the mode as a frame offset
    uint32_t timeout = 0;                   // TIMEOUT in 50 us units; 0 is off
    uint32_t canRate = 4;                   // CAN bit rate code: 4 is 1 Mbit/s
    int model = 4310;
    motor_wire::Limits r;
    Stored flash;
    unsigned long long stores = 0, registerRequests = 0;
    Clock::time_point lastHeard{};
    bool enabled = false;
    double pos = 0, vel = 0, torque = 0, zero = 0;
    int fault = 0;
    bool powerLoss = false, silent = false;
    int lateMs = 0;
    double gravity = 0;  // N·m of the link's weight at the horizontal; 0: no load
    motor_wire::MitTarget mit;
    bool haveCmd = false;
    float targetPos = 0, targetVel = 0;
    unsigned long long received = 0, answered = 0;  // frames addressed to it, feedback sent

    int State() const { return fault ? fault : (enabled ? 1 : 0); }

    Stored Registers() const { return {id, master, mode, timeout, canRate, r}; }
    void Restore(const Stored& s) {
        id = s.id, master = s.master, mode = s.mode, timeout = s.timeout, canRate = s.canRate;
        r = s.r;
    }

    // A register's value as it travels (floats by their bits); false for an unknown register.
    bool Get(uint8_t rid, uint32_t& value) const {
        switch (rid) {
            case motor_wire::kRegMasterId:
                value = master;
                return true;
            case motor_wire::kRegEscId:
                value = id;
                return true;
            case motor_wire::kRegTimeout:
                value = timeout;
                return true;
            case motor_wire::kRegCtrlMode:
                value = motor_wire::ModeRegisterOf(mode);
                return true;
            case motor_wire::kRegPmax:
                value = motor_wire::BitsOf(r.pmax);
                return true;
            case motor_wire::kRegVmax:
                value = motor_wire::BitsOf(r.vmax);
                return true;
            case motor_wire::kRegTmax:
                value = motor_wire::BitsOf(r.tmax);
                return true;
            case motor_wire::kRegCanRate:
                value = canRate;
                return true;
            case motor_wire::kRegSwVersion:
                value = motor_wire::kSwVersion;
                return true;
            default:
                return false;
        }
    }

    // Writes a register in RAM; false (nothing changed) for an unknown or read-only register
    // or a value out of its range.
    bool Set(uint8_t rid, uint32_t value) {
        const float f = motor_wire::FloatOf(value);
        const bool positive = f > 0 && f < 1e6f;
        switch (rid) {
            case motor_wire::kRegMasterId:
                if (value > 0x7FF) return false;
                master = value;
                return true;
            case motor_wire::kRegEscId:
                if (value == 0 || value > 0x7FF) return false;
                id = value;
                return true;
            case motor_wire::kRegTimeout:
                timeout = value;
                return true;
            case motor_wire::kRegCtrlMode:
                if (value < 1 || value > 4) return false;
                mode = motor_wire::ModeOffsetOf(value);
                haveCmd = false;
                return true;
            case motor_wire::kRegPmax:
                if (!positive) return false;
                r.pmax = f;
                return true;
            case motor_wire::kRegVmax:
                if (!positive) return false;
                r.vmax = f;
                return true;
            case motor_wire::kRegTmax:
                if (!positive) return false;
                r.tmax = f;
                return true;
            case motor_wire::kRegCanRate:
                if (value > 4) return false;
                canRate = value;
                return true;
            default:
                return false;
        }
    }

    void Step(double dt) {
        const double load = -gravity * std::cos(pos - zero);
        if (!enabled || fault || !haveCmd) {
            torque = 0;
            if (gravity == 0)
                vel *= std::exp(-20.0 * dt);
            else
                vel += (load - kFriction * vel) / kInertia * dt;  // nothing holds the link
        } else if (mode == motor_wire::kModeMit) {
            torque = mit.kp * (mit.p - (pos - zero)) + mit.kd * (mit.v - vel) + mit.t;
            torque = std::clamp(torque, -double(r.tmax), double(r.tmax));
            vel += (torque + load - kFriction * vel) / kInertia * dt;
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
    bool canFd;  // answered in CAN-FD
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
    // FD frames too, where the interface carries them; a kernel without CAN-FD refuses the
    // option and the emulator stays classic.
    const int one = 1;
    setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &one, sizeof one);
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
    if (!motor_wire::LimitsOfModel(m.model, m.r) || (m.mode & ~0x300u) != 0) return false;
    m.flash = m.Registers();
    return true;
}

// The state file: one line per motor, in command-line order, with its stored registers.
void LoadState(const std::string& path, std::vector<Motor>& motors) {
    std::ifstream in(path);
    size_t k = 0;
    for (std::string line; std::getline(in, line) && k < motors.size(); ++k) {
        Stored s;
        if (std::sscanf(
                line.c_str(),
                "motor id=%u master=%u mode=%u timeout=%u can_br=%u pmax=%f vmax=%f tmax=%f", &s.id,
                &s.master, &s.mode, &s.timeout, &s.canRate, &s.r.pmax, &s.r.vmax, &s.r.tmax) != 8)
            break;
        motors[k].flash = s;
        motors[k].Restore(s);
    }
}

void SaveState(const std::string& path, const std::vector<Motor>& motors) {
    if (path.empty()) return;
    std::ofstream out(path + ".new");
    for (const auto& m : motors) {
        const Stored& s = m.flash;
        out << "motor id=" << s.id << " master=" << s.master << " mode=" << s.mode
            << " timeout=" << s.timeout << " can_br=" << s.canRate << " pmax=" << s.r.pmax
            << " vmax=" << s.r.vmax << " tmax=" << s.r.tmax << "\n";
    }
    out.close();
    if (std::rename((path + ".new").c_str(), path.c_str()) != 0)
        std::perror("damiao_emulator: state file");
}

class Emulator {
public:
    Emulator(int socketFd, std::vector<Motor> played, bool traceFrames, uint32_t onlyId,
             std::string statePath)
        : fd(socketFd),
          motors(std::move(played)),
          trace(traceFrames),
          traceId(onlyId),
          state(std::move(statePath)) {}

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
                // The motor's own communication watch: heard nothing for TIMEOUT x 50 us.
                if (m.timeout > 0 && m.enabled &&
                    now - m.lastHeard > std::chrono::microseconds(50LL * m.timeout)) {
                    m.enabled = false;
                    m.fault = motor_wire::kStateCommunicationLost;
                }
            }
            if (fds[0].revents & (POLLIN | POLLERR)) {
                // Answer every frame that is waiting before the next physics step, so a
                // burst from many motors is not answered one frame per step. A socket error
                // (the interface went down) is consumed by the read so that poll waits again.
                // At most a bounded batch per pass, so that control commands on standard input
                // are never starved by a queue that a loaded machine lets grow.
                for (int k = 0; k < 64; ++k) {
                    canfd_frame f{};
                    const ssize_t n = recv(fd, &f, sizeof f, MSG_DONTWAIT);
                    if (n != ssize_t(CAN_MTU) && n != ssize_t(CANFD_MTU)) break;
                    HandleFrame(f, n == ssize_t(CANFD_MTU), Clock::now());
                }
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
                Send(pending.front().frame, pending.front().canFd);
                pending.pop_front();
            }
        }
    }

private:
    // The motor a frame is for: its command id plus the offset of any mode.
    Motor* Find(uint32_t canId) {
        for (auto& m : motors) {
            if ((canId & ~0x300u) == m.id) return &m;
        }
        return nullptr;
    }

    Motor* ByCommandId(uint32_t id) {
        for (auto& m : motors)
            if (m.id == id) return &m;
        return nullptr;
    }

    Motor* ById(const std::string& text) {
        try {
            return ByCommandId(uint32_t(std::stoul(text, nullptr, 0)));
        } catch (...) {
            return nullptr;
        }
    }

    // `inFd`: the frame came as CAN-FD. The motors' protocol has payloads of at most 8 bytes, in
    // either format; a longer FD frame is none of theirs.
    void HandleFrame(const canfd_frame& in, bool inFd, Clock::time_point now) {
        if (in.len > CAN_MAX_DLEN) return;
        can_frame f{};
        f.can_id = in.can_id;
        f.can_dlc = in.len;
        std::memcpy(f.data, in.data, in.len);
        if (f.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) return;
        if (f.can_id == motor_wire::kRegisterCanId) {
            HandleRegister(f, inFd);
            return;
        }
        Motor* m = Find(f.can_id);
        if (m == nullptr) return;
        ++m->received;
        m->lastHeard = now;
        if (trace && (traceId == 0 || m->id == traceId)) {
            std::printf("rx %lld %03X %d",
                        (long long)std::chrono::duration_cast<std::chrono::nanoseconds>(
                            now.time_since_epoch())
                            .count(),
                        f.can_id, f.can_dlc);
            for (int i = 0; i < f.can_dlc; ++i) std::printf(" %02X", f.data[i]);
            if (inFd) std::printf(" fd");
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
            pending.push_back({now + std::chrono::milliseconds(m->lateMs), reply, inFd});
        } else {
            Send(reply, inFd);
        }
    }

    // A register request [id_lo, id_hi, cmd, rid, d0..d3] for the motor with that command id.
    // Reads and accepted writes are answered on the feedback id in the same layout; a store
    // keeps the registers (and the state file) and answers nothing.
    void HandleRegister(const can_frame& f, bool inFd) {
        if (f.can_dlc != 8) return;
        Motor* m = ByCommandId(uint32_t(f.data[0] | f.data[1] << 8));
        if (m == nullptr) return;
        ++m->registerRequests;
        if (m->silent) return;
        const uint8_t cmd = f.data[2], rid = f.data[3];
        uint32_t value = 0;
        bool answer = false;
        if (cmd == motor_wire::kRegRead) {
            answer = m->Get(rid, value);
        } else if (cmd == motor_wire::kRegWrite) {
            value = motor_wire::ReadU32(f.data + 4);
            // The echo goes out on the feedback id in force before the write.
            can_frame echo{};
            echo.can_id = m->master;
            if (m->Set(rid, value)) {
                echo.can_dlc = 8;
                std::memcpy(echo.data, f.data, 8);
                Send(echo, inFd);
            }
            return;
        } else if (cmd == motor_wire::kRegStore) {
            m->flash = m->Registers();
            ++m->stores;
            SaveState(state, motors);
            return;
        }
        if (!answer) return;
        can_frame reply{};
        reply.can_id = m->master;
        reply.can_dlc = 8;
        std::memcpy(reply.data, f.data, 4);
        motor_wire::PutU32(value, reply.data + 4);
        Send(reply, inFd);
    }

    // A classic frame, or the same frame as CAN-FD with the bit-rate switch.
    void Send(const can_frame& f, bool asFd) {
        if (!asFd) {
            if (write(fd, &f, sizeof f) != ssize_t(sizeof f)) perror("damiao_emulator: write");
            return;
        }
        canfd_frame out{};
        out.can_id = f.can_id;
        out.len = f.can_dlc;
        out.flags = CANFD_BRS;
#ifdef CANFD_FDF
        out.flags |= CANFD_FDF;
#endif
        std::memcpy(out.data, f.data, f.can_dlc);
        if (write(fd, &out, sizeof out) != ssize_t(sizeof out)) perror("damiao_emulator: write");
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
        if (verb == "regs") {
            for (const auto& m : motors)
                std::printf(
                    "regs %u master=%u timeout=%u mode=%u pmax=%g vmax=%g tmax=%g can_br=%u "
                    "stores=%llu requests=%llu\n",
                    m.id, m.master, m.timeout, motor_wire::ModeRegisterOf(m.mode), m.r.pmax,
                    m.r.vmax, m.r.tmax, m.canRate, m.stores, m.registerRequests);
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
        } else if (verb == "powercycle") {
            // Power off and on: RAM registers come back from flash, the motor disabled.
            m->Restore(m->flash);
            m->enabled = m->haveCmd = false;
            m->fault = 0;
        } else if (verb == "late") {
            m->lateMs = std::max(0, std::atoi(arg.c_str()));
        } else if (verb == "gravity") {
            m->gravity = std::atof(arg.c_str());
        } else {
            std::fprintf(stderr, "damiao_emulator: unknown command: %s\n", line.c_str());
        }
        return true;
    }

    int fd;
    std::vector<Motor> motors;
    bool trace;
    uint32_t traceId = 0;  // 0: every motor's frames
    std::string state;     // the state file, or empty
    std::deque<Pending> pending;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<Motor> motors;
    bool trace = false;
    uint32_t traceId = 0;
    const char* ifname = nullptr;
    std::string state;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--trace") {
            trace = true;
        } else if (arg == "--trace-id" && i + 1 < argc) {
            trace = true;
            traceId = uint32_t(std::strtoul(argv[++i], nullptr, 0));
        } else if (arg == "--state" && i + 1 < argc) {
            state = argv[++i];
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
    if (!state.empty()) LoadState(state, motors);
    const int fd = OpenSocket(ifname);
    if (fd < 0) return 1;
    std::printf("ready %zu motor(s) on %s\n", motors.size(), ifname);
    std::fflush(stdout);
    return Emulator(fd, std::move(motors), trace, traceId, state).Run();
}
