// Plays one or more Feetech SMS/STS bus servos on a pseudo-terminal, for tests and the
// simulated bench. The slave side is published under a symbolic link given on the command
// line; the library opens that path like a real serial device.
//
// Replies are paced like a real line: each request's and reply's bytes take 10 bits at the
// baud rate, plus the servo's return delay. Faults are injected through commands on
// standard input.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* kUsage =
    "usage: feetech_emulator LINK ID[,ID...] [--baud N] [--delay-us N] [--trace]\n"
    "  e.g. feetech_emulator /tmp/ttyGRIP 1,2 --baud 1000000\n"
    "  stdin: silent|badsum|wrongid|truncate|trickle ID on|off | garbage on|off |\n"
    "         vanish | reappear | status | quit\n";

using Clock = std::chrono::steady_clock;

enum : uint8_t {
    kRead = 0x02,
    kWrite = 0x03,
    kRegWrite = 0x04,
    kAction = 0x05,
    kSyncRead = 0x82,
    kSyncWrite = 0x83,
    kBroadcast = 0xFE
};
enum : uint8_t {
    kRegMode = 33,
    kRegTorque = 40,
    kRegAcc = 41,
    kRegGoal = 42,
    kRegGoalSpeed = 46,
    kRegPosition = 56,
    kRegSpeed = 58,
    kRegLoad = 60,
    kRegVoltage = 62,
    kRegTemperature = 63,
    kRegMoving = 66,
    kRegCurrent = 69
};

uint8_t Checksum(const uint8_t* d, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += d[i];
    return uint8_t(~sum);
}

int Word(const uint8_t* regs, int at) {
    return regs[at] | regs[at + 1] << 8;
}
int SignedWord(const uint8_t* regs, int at) {
    const int w = Word(regs, at);
    return (w & 0x8000) ? -(w & 0x7FFF) : w;
}
void PutSigned(uint8_t* regs, int at, int v) {
    const int w = v < 0 ? ((-v) | 0x8000) : v;
    regs[at] = uint8_t(w);
    regs[at + 1] = uint8_t(w >> 8);
}

struct Servo {
    int id = 1;
    uint8_t regs[256] = {};
    double pos = 2048;                  // ticks
    std::vector<uint8_t> pendingWrite;  // REG WRITE: start register, data
    bool silent = false, badsum = false, wrongid = false, truncate = false, trickle = false;
    unsigned long long requests = 0, answered = 0;  // packets that want a reply, replies sent

    Servo() {
        regs[kRegVoltage] = 120;
        regs[kRegTemperature] = 30;
        Sync(0);
    }

    // Moves the rotor towards the goal (position mode) or at the goal speed (wheel mode).
    void Step(double dt) {
        double speed = 0;
        if (regs[kRegTorque] == 1) {
            const int goalSpeed = SignedWord(regs, kRegGoalSpeed);
            if (regs[kRegMode] == 1) {
                speed = goalSpeed;
            } else {
                const double limit = goalSpeed == 0 ? 3000 : std::abs(goalSpeed);
                const double gap = Word(regs, kRegGoal) - pos;
                speed = std::fabs(gap) <= limit * dt ? gap / std::max(dt, 1e-6)
                                                     : std::copysign(limit, gap);
            }
        }
        pos = std::clamp(pos + speed * dt, 0.0, 4095.0);
        Sync(speed);
    }

    void Sync(double speed) {
        PutSigned(regs, kRegPosition, int(std::lround(pos)));
        PutSigned(regs, kRegSpeed, int(std::lround(speed)));
        const int load = int(std::lround(std::clamp(speed / 10, -1000.0, 1000.0)));
        const int w = load < 0 ? ((-load) | 0x400) : load;
        regs[kRegLoad] = uint8_t(w);
        regs[kRegLoad + 1] = uint8_t(w >> 8);
        regs[kRegMoving] = std::fabs(speed) > 1 ? 1 : 0;
        PutSigned(regs, kRegCurrent,
                  int(std::lround(std::fabs(speed) / 20)) + (regs[kRegTorque] == 1 ? 10 : 0));
    }

    void Write(int start, const uint8_t* data, int n) {
        for (int i = 0; i < n && start + i < 256; ++i) {
            const int reg = start + i;
            if (reg == kRegTorque && data[i] == 128) {
                pos = 2048;  // calibration: the present position becomes the middle
                PutSigned(regs, kRegGoal, 2048);
                continue;
            }
            regs[reg] = data[i];
        }
        if (start <= kRegGoal + 1 && start + n > kRegGoal) {
            // Goal positions are sign-magnitude on the wire; the servo works in 0..4095.
            PutSigned(regs, kRegGoal, std::clamp(SignedWord(regs, kRegGoal), 0, 4095));
        }
        Sync(SignedWord(regs, kRegSpeed));
    }
};

class Emulator {
public:
    Emulator(std::string linkPath, std::vector<Servo> played, long baudRate, long delayUs,
             bool traceOn)
        : link(std::move(linkPath)),
          servos(std::move(played)),
          baud(baudRate),
          returnDelayUs(delayUs),
          trace(traceOn) {}

    bool OpenPty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            perror("feetech_emulator: posix_openpt");
            return false;
        }
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        char name[128];
        ptsname_r(master, name, sizeof name);
        // Keep the slave open ourselves so the line stays up between the library's opens.
        slaveHold = open(name, O_RDWR | O_NOCTTY);
        const std::string tmp = link + ".new";
        unlink(tmp.c_str());
        if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
            perror("feetech_emulator: symlink");
            return false;
        }
        return true;
    }

    void ClosePty() {
        if (slaveHold >= 0) close(slaveHold);
        if (master >= 0) close(master);
        master = slaveHold = -1;
        input.clear();
    }

    int Run() {
        auto last = Clock::now();
        std::string commands;
        bool stdinOpen = true;
        while (true) {
            pollfd fds[2] = {{master, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
            poll(fds, 2, 1);
            const auto now = Clock::now();
            const double dt = std::chrono::duration<double>(now - last).count();
            last = now;
            for (auto& s : servos) s.Step(dt);
            if (master >= 0 && (fds[0].revents & POLLIN)) {
                uint8_t buf[512];
                const ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) {
                    input.insert(input.end(), buf, buf + n);
                    Parse();
                }
            }
            if (fds[1].revents & (POLLIN | POLLHUP)) {
                char buf[256];
                const ssize_t n = read(0, buf, sizeof buf);
                if (n <= 0) {
                    stdinOpen = false;
                } else {
                    commands.append(buf, size_t(n));
                    for (auto nl = commands.find('\n'); nl != std::string::npos;
                         nl = commands.find('\n')) {
                        const std::string line = commands.substr(0, nl);
                        commands.erase(0, nl + 1);
                        if (!Command(line)) return 0;
                    }
                }
            }
        }
    }

private:
    Servo* Find(int id) {
        for (auto& s : servos)
            if (s.id == id) return &s;
        return nullptr;
    }

    void Parse() {
        while (true) {
            size_t start = 0;
            while (start + 1 < input.size() && !(input[start] == 0xFF && input[start + 1] == 0xFF))
                ++start;
            input.erase(input.begin(), input.begin() + long(start));
            if (input.size() < 4) return;
            const size_t length = size_t(input[3]) + 4;
            if (input.size() < length) return;
            std::vector<uint8_t> packet(input.begin(), input.begin() + long(length));
            input.erase(input.begin(), input.begin() + long(length));
            if (packet[length - 1] != Checksum(packet.data() + 2, length - 3)) continue;
            // A request starts crossing the line when it arrives, or when the line is free.
            lineFree = std::max(lineFree, Clock::now());
            if (trace) {
                // Arrival of each request: instruction, first parameter, length in bytes.
                std::printf("rx %lld %02X %02X %zu\n",
                            (long long)std::chrono::duration_cast<std::chrono::nanoseconds>(
                                Clock::now().time_since_epoch())
                                .count(),
                            packet[4], length > 6 ? packet[5] : 0, length);
                std::fflush(stdout);
            }
            Handle(packet);
        }
    }

    void Sleep(double seconds) {
        if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }

    // Waits while `bytes` cross the line after `silence` seconds, from the moment the line was
    // last free. The line keeps its own clock: a wait that wakes late does not delay the
    // replies after it, which follow each other back to back as on a real bus.
    void Pace(size_t bytes, double silence = 0) {
        const double seconds = silence + WireTime(bytes);
        if (seconds <= 0) return;
        lineFree +=
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        std::this_thread::sleep_until(lineFree);
    }

    double WireTime(size_t bytes) const {
        return baud > 0 ? double(bytes) * 10.0 / double(baud) : 0;
    }

    void Reply(Servo& s, const uint8_t* data, int n) {
        ++s.requests;
        if (s.silent) return;
        ++s.answered;
        std::vector<uint8_t> out = {0xFF, 0xFF, uint8_t(s.wrongid ? s.id + 1 : s.id),
                                    uint8_t(n + 2), 0};
        out.insert(out.end(), data, data + n);
        out.push_back(Checksum(out.data() + 2, out.size() - 2));
        if (s.badsum) out.back() ^= 0x5A;
        if (s.truncate) out.resize(out.size() - 2);
        if (garbage) out.insert(out.begin(), {0x00, 0x13, 0xFF, 0x42});
        Pace(out.size(), returnDelayUs / 1e6);
        if (s.trickle) {
            for (uint8_t byte : out) {
                Write(&byte, 1);
                Sleep(0.02);
            }
            return;
        }
        Write(out.data(), out.size());
    }

    void Write(const uint8_t* data, size_t n) {
        if (master >= 0 && write(master, data, n) < 0) perror("feetech_emulator: write");
    }

    void Handle(const std::vector<uint8_t>& p) {
        Pace(p.size());  // the request's own time on the line
        const int id = p[2];
        const uint8_t instruction = p[4];
        const uint8_t* params = p.data() + 5;
        const int n = int(p.size()) - 6;
        if (instruction == kSyncRead && id == kBroadcast && n >= 2) {
            for (int k = 2; k < n; ++k) {
                if (Servo* s = Find(params[k])) Reply(*s, s->regs + params[0], params[1]);
            }
            return;
        }
        if (instruction == kSyncWrite && id == kBroadcast && n >= 2) {
            const int len = params[1];
            for (int k = 2; k + len < n + 1 && k + 1 + len <= n; k += len + 1) {
                if (Servo* s = Find(params[k])) s->Write(params[0], params + k + 1, len);
            }
            return;
        }
        if (instruction == kAction && id == kBroadcast) {
            for (auto& s : servos) {
                if (!s.pendingWrite.empty())
                    s.Write(s.pendingWrite[0], s.pendingWrite.data() + 1,
                            int(s.pendingWrite.size()) - 1);
                s.pendingWrite.clear();
            }
            return;
        }
        Servo* s = Find(id);
        if (s == nullptr) return;
        if (instruction == kRead && n == 2) {
            Reply(*s, s->regs + params[0], params[1]);
        } else if (instruction == kWrite && n >= 1) {
            s->Write(params[0], params + 1, n - 1);
            Reply(*s, nullptr, 0);
        } else if (instruction == kRegWrite && n >= 1) {
            s->pendingWrite.assign(params, params + n);
            Reply(*s, nullptr, 0);
        }
    }

    bool Command(const std::string& line) {
        std::istringstream in(line);
        std::string verb, a, b;
        in >> verb >> a >> b;
        if (verb == "quit") return false;
        if (verb == "status") {
            for (auto& s : servos)
                std::printf(
                    "servo %d pos=%d goal=%d torque=%d mode=%d speed=%d requests=%llu "
                    "answered=%llu\n",
                    s.id, SignedWord(s.regs, kRegPosition), Word(s.regs, kRegGoal),
                    s.regs[kRegTorque], s.regs[kRegMode], SignedWord(s.regs, kRegSpeed), s.requests,
                    s.answered);
            std::printf("end\n");
            std::fflush(stdout);
            return true;
        }
        if (verb == "garbage") {
            garbage = a == "on";
        } else if (verb == "vanish") {
            ClosePty();
            unlink(link.c_str());
        } else if (verb == "reappear") {
            ClosePty();
            OpenPty();
        } else if (Servo* s = Find(std::atoi(a.c_str()))) {
            const bool on = b == "on";
            if (verb == "silent")
                s->silent = on;
            else if (verb == "badsum")
                s->badsum = on;
            else if (verb == "wrongid")
                s->wrongid = on;
            else if (verb == "truncate")
                s->truncate = on;
            else if (verb == "trickle")
                s->trickle = on;
            else
                std::fprintf(stderr, "feetech_emulator: unknown command: %s\n", line.c_str());
        } else {
            std::fprintf(stderr, "feetech_emulator: unknown command or servo: %s\n", line.c_str());
        }
        std::printf("ok %s\n", line.c_str());
        std::fflush(stdout);
        return true;
    }

    std::string link;
    std::vector<Servo> servos;
    long baud;
    long returnDelayUs;
    int master = -1, slaveHold = -1;
    std::vector<uint8_t> input;
    bool garbage = false;
    bool trace;
    Clock::time_point lineFree{};
};

}  // namespace

int main(int argc, char** argv) {
    // Line pacing waits tens of microseconds at a time: wake on time, not up to 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    std::string link, ids;
    long baud = 0, delayUs = 0;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--trace") {
            trace = true;
        } else if ((arg == "--baud" || arg == "--delay-us") && i + 1 < argc) {
            (arg == "--baud" ? baud : delayUs) = std::atol(argv[++i]);
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (link.empty()) {
            link = arg;
        } else if (ids.empty()) {
            ids = arg;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    std::vector<Servo> servos;
    std::stringstream in(ids);
    for (std::string id; std::getline(in, id, ',');) {
        const int value = std::atoi(id.c_str());
        if (value < 0 || value > 253) {
            std::fprintf(stderr, "feetech_emulator: bad servo id '%s'\n", id.c_str());
            return 2;
        }
        Servo s;
        s.id = value;
        servos.push_back(s);
    }
    if (link.empty() || servos.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Emulator emulator(link, std::move(servos), baud, delayUs, trace);
    if (!emulator.OpenPty()) return 1;
    std::printf("ready %s\n", link.c_str());
    std::fflush(stdout);
    const int status = emulator.Run();
    emulator.ClosePty();
    unlink(link.c_str());
    return status;
}
