// Plays one or more Feetech SMS/STS bus servos on a pseudo-terminal, for tests and the
// simulated bench. The slave side is published under a symbolic link given on the command
// line; the library opens that path like a real serial device.
//
// Replies are paced like a real line: each request's and reply's bytes take 10 bits at the
// baud rate, plus the servo's return delay. Faults are injected through commands on
// standard input.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Set by SIGTERM, SIGINT and SIGHUP: the emulator ends as after "quit", removing its link, so
// that no stale link is left pointing at a pseudo-terminal some other program gets later.
volatile sig_atomic_t stopSignal = 0;

void OnStopSignal(int) {
    stopSignal = 1;
}

const char* kUsage =
    "usage: feetech_emulator LINK ID[:BAUD][,ID[:BAUD]...] [--baud N] [--delay-us N]\n"
    "                        [--state FILE] [--trace]\n"
    "  e.g. feetech_emulator /tmp/ttyGRIP 1,2 --baud 1000000\n"
    "       feetech_emulator /tmp/ttyGRIP 1:115200,7:1000000\n"
    "  A servo hears only requests sent at the line speed of its baud register, as a real one:\n"
    "  its BAUD, else --baud's, else 1000000. --baud paces the line.\n"
    "  --state FILE keeps each servo's EEPROM: read at start when it exists, written on\n"
    "  every EEPROM write made with the lock open\n"
    "  stdin: silent|badsum|wrongid|truncate|trickle ID on|off | garbage on|off |\n"
    "         vanish | reappear | status | eeprom | powercycle | quit |\n"
    "         hand ID AMPLITUDE PERIOD_MS | hand ID off\n"
    "  hand: a hand moves the servo (while its torque is off) in a sine of AMPLITUDE ticks\n"
    "  about where it stands, one cycle every PERIOD_MS, as a leader arm is moved\n";

using Clock = std::chrono::steady_clock;

enum : uint8_t {
    kPing = 0x01,
    kRead = 0x02,
    kWrite = 0x03,
    kRegWrite = 0x04,
    kAction = 0x05,
    kSyncRead = 0x82,
    kSyncWrite = 0x83,
    kBroadcast = 0xFE
};
enum : uint8_t {
    kRegFirmwareMajor = 0,
    kRegFirmwareMinor = 1,
    kRegModel = 3,
    kRegId = 5,
    kRegBaud = 6,
    kRegReturnDelay = 7,
    kRegMinAngle = 9,
    kRegMaxAngle = 11,
    kRegOffset = 31,
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
    kRegLock = 55,
    kRegCurrent = 69
};
constexpr int kEepromEnd = 40;  // registers below this one are kept in EEPROM
constexpr uint16_t kModelNumber = 777;

// Line speeds of the baud register's codes 0 to 7.
constexpr long kBauds[] = {1000000, 500000, 250000, 128000, 115200, 76800, 57600, 38400};

int BaudCode(long baud) {
    for (int k = 0; k < 8; ++k)
        if (kBauds[k] == baud) return k;
    return -1;
}

// The rate the pseudo-terminal's other end was set to, in bits per second; 0 when unknown.
long LineSpeed(int fd) {
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) return 0;
    switch (cfgetispeed(&t)) {
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        case B500000:
            return 500000;
        case B1000000:
            return 1000000;
        default:
            return 0;
    }
}

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

// The position offset is sign-magnitude with the sign in bit 11.
int OffsetOf(const uint8_t* regs) {
    const int w = Word(regs, kRegOffset);
    return (w & 0x800) ? -(w & 0x7FF) : (w & 0x7FF);
}

struct Servo {
    int id = 1;
    uint8_t regs[256] = {};
    double pos = 2048;                  // ticks
    std::vector<uint8_t> pendingWrite;  // REG WRITE: start register, data
    uint8_t eeprom[kEepromEnd] = {};    // what survives a power cycle
    unsigned long long eepromWrites = 0;
    bool silent = false, badsum = false, wrongid = false, truncate = false, trickle = false;
    unsigned long long requests = 0, answered = 0;  // packets that want a reply, replies sent
    unsigned long long calibrations = 0;            // torque register written with 128
    // A scripted hand: while the torque is off, the position follows
    // handCentre + handAmplitude * sin(2 pi handTime / handPeriod).
    bool hand = false;
    double handCentre = 0, handAmplitude = 0, handPeriod = 1, handTime = 0;

    Servo() {
        regs[kRegFirmwareMajor] = 3;
        regs[kRegFirmwareMinor] = 10;
        regs[kRegModel] = uint8_t(kModelNumber);
        regs[kRegModel + 1] = uint8_t(kModelNumber >> 8);
        regs[kRegReturnDelay] = 0;
        regs[kRegMaxAngle] = uint8_t(4095);
        regs[kRegMaxAngle + 1] = uint8_t(4095 >> 8);
        regs[kRegLock] = 1;
        regs[kRegVoltage] = 120;
        regs[kRegTemperature] = 30;
        Sync(0);
    }

    void Keep() { std::memcpy(eeprom, regs, sizeof eeprom); }

    // Power off and on: EEPROM comes back, RAM starts afresh with the torque off.
    void PowerCycle() {
        std::memcpy(regs, eeprom, sizeof eeprom);
        id = regs[kRegId];
        regs[kRegTorque] = 0;
        regs[kRegLock] = 1;
        Sync(0);
    }

    bool Hears(long lineSpeed) const {
        return lineSpeed == 0 || lineSpeed == kBauds[std::min<int>(regs[kRegBaud], 7)];
    }

    // Moves the rotor towards the goal (position mode) or at the goal speed (wheel mode).
    void Step(double dt) {
        double speed = 0;
        if (hand && regs[kRegTorque] != 1) {
            handTime += dt;
            const double to = handCentre + handAmplitude * std::sin(2 * M_PI * handTime / handPeriod);
            speed = (to - pos) / std::max(dt, 1e-6);
        } else if (regs[kRegTorque] == 1) {
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

    // Writes registers; an EEPROM register written while the lock is open is also kept.
    // Returns true when EEPROM was kept.
    bool Write(int start, const uint8_t* data, int n) {
        bool kept = false;
        for (int i = 0; i < n && start + i < 256; ++i) {
            const int reg = start + i;
            if (reg == kRegModel || reg == kRegModel + 1 || reg < kRegModel) continue;  // read only
            if (reg == kRegBaud && data[i] > 7) continue;
            if (reg == kRegId) id = data[i];
            if (reg < kEepromEnd && regs[kRegLock] == 0) {
                eeprom[reg] = data[i];
                kept = true;
            }
            if (reg == kRegTorque && data[i] == 128) {
                ++calibrations;
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
        if (kept) ++eepromWrites;
        return kept;
    }
};

class Emulator {
public:
    Emulator(std::string linkPath, std::vector<Servo> played, long baudRate, long delayUs,
             bool traceOn, std::string statePath)
        : link(std::move(linkPath)),
          servos(std::move(played)),
          baud(baudRate),
          returnDelayUs(delayUs),
          trace(traceOn),
          state(std::move(statePath)) {}

    // The state file: one line per servo, in command-line order, its EEPROM as hex bytes.
    void LoadState() {
        std::ifstream in(state);
        for (auto& s : servos) {
            std::string line;
            if (!std::getline(in, line)) return;
            std::istringstream bytes(line);
            std::string word;
            bytes >> word;
            if (word != "servo") return;
            for (int reg = 0; reg < kEepromEnd && bytes >> std::hex >> word; ++reg)
                s.eeprom[reg] = uint8_t(std::stoul(word, nullptr, 16));
            s.PowerCycle();
        }
    }

    void SaveState() const {
        if (state.empty()) return;
        std::ofstream out(state + ".new");
        for (const auto& s : servos) {
            out << "servo";
            char hex[4];
            for (int reg = 0; reg < kEepromEnd; ++reg) {
                std::snprintf(hex, sizeof hex, " %02x", s.eeprom[reg]);
                out << hex;
            }
            out << "\n";
        }
        out.close();
        if (std::rename((state + ".new").c_str(), state.c_str()) != 0)
            perror("feetech_emulator: state file");
    }

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
        while (stopSignal == 0) {
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
        return 0;
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
        const long speed = LineSpeed(master);
        const int id = p[2];
        const uint8_t instruction = p[4];
        const uint8_t* params = p.data() + 5;
        const int n = int(p.size()) - 6;
        if (instruction == kSyncRead && id == kBroadcast && n >= 2) {
            for (int k = 2; k < n; ++k) {
                Servo* s = Find(params[k]);
                if (s && s->Hears(speed)) Reply(*s, s->regs + params[0], params[1]);
            }
            return;
        }
        if (instruction == kSyncWrite && id == kBroadcast && n >= 2) {
            const int len = params[1];
            for (int k = 2; k + len < n + 1 && k + 1 + len <= n; k += len + 1) {
                Servo* s = Find(params[k]);
                if (s && s->Hears(speed)) s->Write(params[0], params + k + 1, len);
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
        if (s == nullptr || !s->Hears(speed)) return;
        if (instruction == kPing && n == 0) {
            Reply(*s, nullptr, 0);
        } else if (instruction == kRead && n == 2) {
            Reply(*s, s->regs + params[0], params[1]);
        } else if (instruction == kWrite && n >= 1) {
            // The status packet leaves under the id and at the speed the request reached.
            Servo before = *s;
            const bool kept = s->Write(params[0], params + 1, n - 1);
            before.requests = s->requests, before.answered = s->answered;
            Reply(before, nullptr, 0);
            s->requests = before.requests, s->answered = before.answered;
            if (kept) SaveState();
        } else if (instruction == kRegWrite && n >= 1) {
            s->pendingWrite.assign(params, params + n);
            Reply(*s, nullptr, 0);
        }
    }

    bool Command(const std::string& line) {
        std::istringstream in(line);
        std::string verb, a, b, c;
        in >> verb >> a >> b >> c;
        if (verb == "quit") return false;
        if (verb == "status") {
            for (auto& s : servos)
                std::printf(
                    "servo %d pos=%d goal=%d torque=%d mode=%d speed=%d requests=%llu "
                    "answered=%llu calibrations=%llu\n",
                    s.id, SignedWord(s.regs, kRegPosition), Word(s.regs, kRegGoal),
                    s.regs[kRegTorque], s.regs[kRegMode], SignedWord(s.regs, kRegSpeed), s.requests,
                    s.answered, s.calibrations);
            std::printf("end\n");
            std::fflush(stdout);
            return true;
        }
        if (verb == "eeprom") {
            for (auto& s : servos)
                std::printf("eeprom %d baud=%d delay=%d offset=%d mode=%d lock=%d writes=%llu\n",
                            s.eeprom[kRegId], s.eeprom[kRegBaud], s.eeprom[kRegReturnDelay],
                            OffsetOf(s.eeprom), s.eeprom[kRegMode], s.regs[kRegLock],
                            s.eepromWrites);
            std::printf("end\n");
            std::fflush(stdout);
            return true;
        }
        if (verb == "powercycle") {
            for (auto& s : servos) s.PowerCycle();
        } else if (verb == "garbage") {
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
            else if (verb == "hand" && b == "off")
                s->hand = false;
            else if (verb == "hand" && std::atof(c.c_str()) > 0) {
                s->hand = true;
                s->handCentre = s->pos;
                s->handAmplitude = std::atof(b.c_str());
                s->handPeriod = std::atof(c.c_str()) / 1000.0;
                s->handTime = 0;
            }
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
    std::string state;
    Clock::time_point lineFree{};
};

}  // namespace

int main(int argc, char** argv) {
    // Line pacing waits tens of microseconds at a time: wake on time, not up to 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;  // no SA_RESTART: the poll returns at once
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &stop, nullptr);
    std::string link, ids, state;
    long baud = 0, delayUs = 0;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--trace") {
            trace = true;
        } else if (arg == "--state" && i + 1 < argc) {
            state = argv[++i];
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
        const auto colon = id.find(':');
        const int code = colon == std::string::npos ? (baud > 0 ? std::max(0, BaudCode(baud)) : 0)
                                                    : BaudCode(std::atol(id.c_str() + colon + 1));
        if (value < 0 || value > 253 || code < 0) {
            std::fprintf(stderr, "feetech_emulator: bad servo '%s'\n", id.c_str());
            return 2;
        }
        Servo s;
        s.id = value;
        s.regs[kRegId] = uint8_t(value);
        s.regs[kRegBaud] = uint8_t(code);
        s.Keep();
        servos.push_back(s);
    }
    if (link.empty() || servos.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Emulator emulator(link, std::move(servos), baud, delayUs, trace, state);
    if (!state.empty()) emulator.LoadState();
    if (!emulator.OpenPty()) return 1;
    std::printf("ready %s\n", link.c_str());
    std::fflush(stdout);
    const int status = emulator.Run();
    emulator.ClosePty();
    unlink(link.c_str());
    return status;
}
