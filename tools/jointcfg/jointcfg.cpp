// jointcfg: finds, checks and configures Damiao motors on a CAN interface and Feetech servos
// on a serial port, before an arm moves.
//
//   jointcfg scan -i can0                     which Damiao command ids answer (1 to 32)
//   jointcfg scan -p /dev/ttyUSB0 --all-bauds which servo ids answer, at every baud
//   jointcfg set-mode -i can0 --id 1 mit --store
//   jointcfg check -c motor.yaml              do the motors match the configuration?
//
// Every command talks through the library's register API (Damiao::RegisterBus,
// Feetech::RegisterPort). A write goes to RAM and is read back; only --store keeps it over a
// power cycle (Damiao flash, Feetech EEPROM), because both endure a limited number of writes.
// Exit status: 0 done (check: everything matches), 1 a device did not answer or does not
// match, 2 bad usage or input (nothing written).

#include <fmt/format.h>
#include <getopt.h>
#include <linux/can.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/json_text.h"
#include "jointbus/DaMiao/damiao_codec.h"
#include "jointbus/DaMiao/damiao_register_bus.h"
#include "jointbus/DaMiao/damiao_registers.h"
#include "jointbus/Feetech/feetech_register_port.h"
#include "jointbus/Feetech/feetech_registers.h"
#include "jointbus/common/motor_config.h"
#include "jointbus/common/result_codes.h"

namespace {

using jointbus::RegisterInfo;

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

const char* kUsage =
    "usage: jointcfg COMMAND (-i IFACE | -p TTY) [options]\n"
    "       jointcfg check -c motor.yaml\n"
    "Finds, checks and configures Damiao motors (CAN, -i) and Feetech servos (serial, -p).\n"
    "\n"
    "commands:\n"
    "  scan         list the motors or servos that answer\n"
    "  get REG      read one register (a name or a number)\n"
    "  set REG VAL  write one register\n"
    "  set-id NEW   give the motor or servo a new id\n"
    "  set-mode M   Damiao: mit, pos-speed, speed, force-pos; Feetech: position, speed, pwm,\n"
    "               step (or the register's number)\n"
    "  set-zero     make the present position the zero\n"
    "  set-timeout MS  Damiao: disable the motor after MS ms without a frame (0 off)\n"
    "  set-baud RATE   Damiao CAN bit rate, or Feetech line speed\n"
    "  check        compare the motors on the buses with a configuration file\n"
    "  registers    list the registers of a family (-i or -p)\n"
    "\n"
    "Writes go to RAM and are read back; they last until power-off. Only --store keeps\n"
    "them: a Damiao motor copies all its registers to flash, a Feetech servo keeps an EEPROM\n"
    "register. Flash and EEPROM endure a limited number of writes (a Damiao motor's flash\n"
    "about 10,000): store once, when the values are right. A setter refuses an enabled motor.\n"
    "Run 'jointcfg COMMAND -h' for a command's options.\n"
    "  e.g. jointcfg scan -i vcan0\n"
    "       jointcfg set-mode -i vcan0 --id 2 mit --store\n"
    "       jointcfg scan -p /tmp/ttyGRIP --all-bauds\n";

const char* kBusOptions =
    "  -i IFACE      CAN interface with Damiao motors (e.g. can0, vcan0)\n"
    "  -p TTY        serial port with Feetech servos (e.g. /dev/ttyUSB0)\n"
    "  -b BAUD       the servos' line speed (default 1000000)\n"
    "  --id N        Damiao command id (ESC_ID) or servo id\n"
    "  --master N    Damiao feedback id (MST_ID); found from the motor when not given\n"
    "  --wait-ms N   how long to wait for each answer (default: 50 on CAN, by line speed on\n"
    "                serial)\n";

struct CommandHelp {
    const char* name;
    const char* synopsis;
    const char* text;
};

const CommandHelp kHelp[] = {
    {"scan", "scan (-i IFACE | -p TTY) [--ids A-B] [--all-bauds] [--json]",
     "Lists every motor or servo that answers, one line each.\n"
     "  --ids A-B     the ids to try (default 1-32 on CAN, 0-253 on serial)\n"
     "  --all-bauds   serial: try every line speed a servo can use\n"
     "  --json        one JSON document instead of the table\n"},
    {"get", "get (-i IFACE | -p TTY) --id N REG", "Reads one register (name or number).\n"},
    {"set", "set (-i IFACE | -p TTY) --id N REG VALUE [--store]",
     "Writes one register and reads it back. Refused while the motor is enabled.\n"
     "  --store       keep it over a power cycle (Damiao flash / Feetech EEPROM)\n"},
    {"set-id", "set-id (-i IFACE | -p TTY) --id N NEW [--store]",
     "Gives the motor or servo a new id; refused when NEW already answers on the bus.\n"},
    {"set-mode", "set-mode (-i IFACE | -p TTY) --id N MODE [--store]",
     "Sets the control mode. Damiao: mit, pos-speed, speed, force-pos (1 to 4); a motor in\n"
     "another mode than its configuration ignores the frames it is sent. Feetech: position,\n"
     "speed, pwm, step (0 to 3).\n"},
    {"set-zero", "set-zero (-i IFACE | -p TTY) --id N",
     "Makes the present position the zero. Refused while the motor is enabled.\n"},
    {"set-timeout", "set-timeout -i IFACE --id N MS [--store]",
     "Damiao: the motor disables itself after MS ms without a frame (state 13); 0 is off.\n"},
    {"set-baud", "set-baud (-i IFACE | -p TTY) --id N RATE [--store]",
     "Damiao: CAN bit rate 125000, 200000, 250000, 500000 or 1000000. Feetech: 1000000,\n"
     "500000, 250000, 128000, 115200, 76800, 57600 or 38400. Says how to reach the device\n"
     "afterwards. Damiao: the write goes out at the interface's present rate, and the tool\n"
     "warns so; CAN-FD data rates above 1 Mbit/s are not among the rates it knows.\n"},
    {"check", "check -c motor.yaml [--json]",
     "For every motor of the file: is it there, do its mode, feedback id and mapping ranges\n"
     "(Damiao) or its line speed (Feetech) match? One line per motor and a summary; exit\n"
     "status 0 only when everything matches. Run it before spinbench. An interface of the\n"
     "file's can_interfaces gets a line of its own: its MTU, CAN-FD or classic, against\n"
     "can_fd.\n"},
    {"registers", "registers (-i IFACE | -p TTY)", "Lists the registers get and set know.\n"},
};

struct Options {
    std::string command, iface, tty, config, idRange;
    int baud = 1000000;
    long id = -1;
    long master = Damiao::RegisterBus::kAnyFeedbackId;
    int waitMs = 0;
    bool json = false, allBauds = false, store = false, help = false;
    std::vector<std::string> args;
};

// Reports bad input; the caller exits with kExitUsage.
int Usage(const std::string& message) {
    std::fprintf(stderr, "jointcfg: %s\n", message.c_str());
    return kExitUsage;
}

int Failed(const std::string& message) {
    std::fprintf(stderr, "jointcfg: %s\n", message.c_str());
    return kExitFailed;
}

bool ParseLong(const char* text, long& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 0);
    if (*text == '\0' || errno != 0 || *end != '\0') return false;
    out = value;
    return true;
}

// A JSON string: quoted, with quotes, backslashes and control characters escaped (paths and
// messages may hold any of them).
using jointbus_detail::JsonText;

// A JSON number; null for NaN or an infinity (a register can hold any bits).
std::string JsonNumber(double v) {
    return std::isfinite(v) ? fmt::format("{:g}", v) : "null";
}

const char* ResultText(int code) {
    const char* meaning = jointbus::ResultCodeMeaning(code);
    return meaning ? meaning : "failed";
}

// ---- Damiao -------------------------------------------------------------------------------

const char* const kDamiaoModes[] = {"mit", "pos-speed", "speed", "force-pos"};
const char* const kServoModes[] = {"position", "speed", "pwm", "step"};

std::string DamiaoModeName(uint32_t reg) {
    return reg >= 1 && reg <= 4 ? kDamiaoModes[reg - 1] : fmt::format("unknown ({})", reg);
}

std::string StateName(int state) {
    if (state == 0) return "disabled";
    if (state == 1) return "enabled";
    return fmt::format("fault {}", state);
}

struct DamiaoMotorInfo {
    uint32_t id = 0, master = 0, mode = 0, swVersion = 0, timeout = 0, canRate = 0;
    float pmax = 0, vmax = 0, tmax = 0;
    int state = -1;  // -1 when the motor did not say
};

// Reads what scan and check show; kNoReply when the motor does not answer.
int ReadDamiao(Damiao::RegisterBus& bus, uint32_t id, int master, int waitMs,
               DamiaoMotorInfo& info) {
    info.id = id;
    int result = bus.Read(id, master, Damiao::kRegMasterId, info.master, waitMs);
    if (result != jointbus::kOk) return result;
    struct {
        uint8_t rid;
        uint32_t* out;
    } reads[] = {{Damiao::kRegCtrlMode, &info.mode},
                 {Damiao::kRegSwVersion, &info.swVersion},
                 {Damiao::kRegTimeout, &info.timeout},
                 {Damiao::kRegCanRate, &info.canRate}};
    for (auto& r : reads) {
        result = bus.Read(id, int(info.master), r.rid, *r.out, waitMs);
        if (result != jointbus::kOk) return result;
    }
    float* ranges[] = {&info.pmax, &info.vmax, &info.tmax};
    const uint8_t rangeIds[] = {Damiao::kRegPmax, Damiao::kRegVmax, Damiao::kRegTmax};
    for (int k = 0; k < 3; ++k) {
        uint32_t raw = 0;
        result = bus.Read(id, int(info.master), rangeIds[k], raw, waitMs);
        if (result != jointbus::kOk) return result;
        std::memcpy(ranges[k], &raw, sizeof raw);  // the ranges travel as IEEE singles
    }
    int state = -1;
    if (bus.ReadState(id, int(info.master), state, waitMs) == jointbus::kOk) info.state = state;
    return jointbus::kOk;
}

// ---- Feetech ------------------------------------------------------------------------------

struct ServoInfo {
    int id = 0, baud = 0, model = 0, firmwareMajor = 0, firmwareMinor = 0, mode = 0;
    int torque = 0;
};

int ReadServo(Feetech::RegisterPort& port, int id, int waitMs, ServoInfo& info) {
    info.id = id;
    info.baud = port.baudRate();
    uint8_t regs[Feetech::kMode + 1] = {};
    int result = port.Read(id, 0, sizeof regs, regs, waitMs);
    if (result != jointbus::kOk) return result;
    info.firmwareMajor = regs[Feetech::kFirmwareMajor];
    info.firmwareMinor = regs[Feetech::kFirmwareMinor];
    info.model = regs[Feetech::kModel] | regs[Feetech::kModel + 1] << 8;
    info.mode = regs[Feetech::kMode];
    uint8_t torque = 0;
    result = port.Read(id, Feetech::kTorqueEnable, 1, &torque, waitMs);
    info.torque = torque;
    return result;
}

// ---- The bus a command talks to -----------------------------------------------------------

// Opens the bus of the options: exactly one of -i and -p. Returns kExitOk or the exit status.
struct Bus {
    std::unique_ptr<Damiao::RegisterBus> can;
    std::unique_ptr<Feetech::RegisterPort> serial;
    const jointbus::RegisterInfo* Find(const std::string& name) const {
        return can ? jointbus::FindRegister(Damiao::kRegisters, name)
                   : jointbus::FindRegister(Feetech::kServoRegisters, name);
    }
};

int OpenBus(const Options& o, Bus& bus) {
    if (o.iface.empty() == o.tty.empty())
        return Usage(o.command + ": give one bus: -i IFACE (Damiao) or -p TTY (Feetech)");
    if (!o.iface.empty()) {
        bus.can = std::make_unique<Damiao::RegisterBus>(o.iface);
        if (bus.can->status() != jointbus::kOk)
            return Usage("cannot open CAN interface " + o.iface + ": " + bus.can->error());
        return kExitOk;
    }
    if (access(o.tty.c_str(), R_OK | W_OK) != 0)
        return Usage(fmt::format("cannot open serial port {}: {}", o.tty, std::strerror(errno)));
    if (Feetech::ServoBaudCode(o.baud) < 0)
        return Usage(fmt::format("-b {}: not a servo line speed", o.baud));
    bus.serial = std::make_unique<Feetech::RegisterPort>(o.tty, o.baud);
    if (bus.serial->status() != jointbus::kOk) return Usage("cannot open serial port " + o.tty);
    return kExitOk;
}

int RequireId(const Options& o) {
    if (o.id < 0) return Usage(o.command + ": --id N is required");
    if (!o.iface.empty() && (o.id < 1 || o.id > 0x7FF))
        return Usage(fmt::format("--id {}: a Damiao command id is 1 to 0x7FF", o.id));
    if (!o.tty.empty() && o.id > Feetech::kMaxServoId)
        return Usage(fmt::format("--id {}: a servo id is 0 to {}", o.id, Feetech::kMaxServoId));
    return kExitOk;
}

int DamiaoWait(const Options& o) {
    return o.waitMs > 0 ? o.waitMs : Damiao::RegisterBus::kDefaultWaitMs;
}

// A setter's guard: the motor must answer and be disabled. Fills in the Damiao feedback id.
int RequireDisabled(const Options& o, Bus& bus, int& master) {
    if (bus.can) {
        int state = -1;
        const int result = bus.can->ReadState(uint32_t(o.id), master, state, DamiaoWait(o));
        if (result != jointbus::kOk)
            return Failed(fmt::format("Damiao motor {} on {} does not answer: {} (nothing written)",
                                      o.id, o.iface, ResultText(result)));
        if (state == 1)
            return Failed(fmt::format(
                "Damiao motor {} is enabled: disable it first (nothing written)", o.id));
        if (master == Damiao::RegisterBus::kAnyFeedbackId) {
            uint32_t value = 0;
            if (bus.can->Read(uint32_t(o.id), master, Damiao::kRegMasterId, value, DamiaoWait(o)) ==
                jointbus::kOk)
                master = int(value);
        }
        return kExitOk;
    }
    uint8_t torque = 0;
    const int result = bus.serial->Read(int(o.id), Feetech::kTorqueEnable, 1, &torque, o.waitMs);
    if (result != jointbus::kOk)
        return Failed(fmt::format("servo {} on {} at {} baud does not answer (nothing written)",
                                  o.id, o.tty, o.baud));
    if (torque != 0)
        return Failed(
            fmt::format("servo {} has its torque on: switch it off first "
                        "(set torque_enable 0; nothing written)",
                        o.id));
    return kExitOk;
}

// Writes one register of the motor or servo of the options and reports it.
int WriteRegister(const Options& o, Bus& bus, int master, const RegisterInfo& r, uint32_t raw) {
    int result;
    if (bus.can) {
        result = bus.can->Write(uint32_t(o.id), master, uint8_t(r.address), raw, DamiaoWait(o));
        if (result == jointbus::kOk && o.store) {
            const uint32_t id = r.address == Damiao::kRegEscId ? raw : uint32_t(o.id);
            const int now = r.address == Damiao::kRegMasterId ? int(raw) : master;
            result = bus.can->Store(id, now,
                                    std::max(Damiao::RegisterBus::kStoreWaitMs, DamiaoWait(o)));
        }
    } else {
        result = bus.serial->WriteValue(int(o.id), r, raw, o.store, o.waitMs);
    }
    if (result != jointbus::kOk)
        return Failed(fmt::format("writing {} of {} {}: {}", r.name, bus.can ? "motor" : "servo",
                                  o.id, ResultText(result)));
    std::printf("%s %ld: %s = %s%s\n", bus.can ? "motor" : "servo", o.id, r.name,
                jointbus::FormatRegisterValue(r, raw).c_str(),
                o.store ? " (stored)"
                        : (r.persistent ? " (in RAM until power-off; --store keeps it)" : ""));
    return kExitOk;
}

// ---- Commands ------------------------------------------------------------------------------

// A progress line on a terminal, rewritten in place; "" clears it.
void Progress(const std::string& text) {
    static const bool terminal = isatty(STDERR_FILENO) == 1;
    if (terminal) std::fprintf(stderr, "\r\033[K%s", text.c_str());
}

bool ParseRange(const std::string& text, long& first, long& last) {
    const auto dash = text.find('-');
    if (dash == std::string::npos) return ParseLong(text.c_str(), first) && (last = first, true);
    return ParseLong(text.substr(0, dash).c_str(), first) &&
           ParseLong(text.substr(dash + 1).c_str(), last) && first <= last;
}

int ScanDamiao(const Options& o, Bus& bus) {
    long first = 1, last = 32;
    if (!o.idRange.empty() && (!ParseRange(o.idRange, first, last) || first < 1 || last > 0x7FF))
        return Usage("--ids " + o.idRange + ": a range of command ids within 1-0x7FF, e.g. 1-32");
    std::vector<DamiaoMotorInfo> found;
    for (long id = first; id <= last; ++id) {
        Progress(fmt::format("scanning {}: id {} of {}-{}", o.iface, id, first, last));
        DamiaoMotorInfo info;
        if (ReadDamiao(*bus.can, uint32_t(id), int(o.master), DamiaoWait(o), info) == jointbus::kOk)
            found.push_back(info);
    }
    Progress("");
    if (o.json) {
        std::printf("{\"interface\": %s, \"motors\": [", JsonText(o.iface).c_str());
        for (size_t k = 0; k < found.size(); ++k) {
            const auto& m = found[k];
            std::printf(
                "%s\n  {\"id\": %u, \"master_id\": %u, \"mode\": %s, \"state\": %d, "
                "\"sw_ver\": %u, \"pmax\": %s, \"vmax\": %s, \"tmax\": %s, \"timeout\": %u, "
                "\"can_br\": %u}",
                k ? "," : "", m.id, m.master, JsonText(DamiaoModeName(m.mode)).c_str(), m.state,
                m.swVersion, JsonNumber(m.pmax).c_str(), JsonNumber(m.vmax).c_str(),
                JsonNumber(m.tmax).c_str(), m.timeout, m.canRate);
        }
        std::printf("\n]}\n");
        return kExitOk;
    }
    std::printf("%-6s %-7s %-10s %-9s %-7s %-6s %-6s %-6s %s\n", "id", "master", "mode", "state",
                "sw_ver", "PMAX", "VMAX", "TMAX", "timeout");
    for (const auto& m : found)
        std::printf("0x%-4X 0x%-5X %-10s %-9s %-7u %-6g %-6g %-6g %s\n", m.id, m.master,
                    DamiaoModeName(m.mode).c_str(), m.state < 0 ? "?" : StateName(m.state).c_str(),
                    m.swVersion, m.pmax, m.vmax, m.tmax,
                    m.timeout
                        ? fmt::format("{} ms", m.timeout * Damiao::kTimeoutUnitUs / 1000.0).c_str()
                        : "off");
    std::printf("%zu motor(s) on %s\n", found.size(), o.iface.c_str());
    return kExitOk;
}

int ScanFeetech(const Options& o, Bus& bus) {
    long first = 0, last = Feetech::kMaxServoId;
    if (!o.idRange.empty() &&
        (!ParseRange(o.idRange, first, last) || first < 0 || last > Feetech::kMaxServoId))
        return Usage("--ids " + o.idRange + ": a range of servo ids within 0-253, e.g. 0-20");
    std::vector<int> bauds = {o.baud};
    if (o.allBauds) bauds.assign(std::begin(Feetech::kServoBauds), std::end(Feetech::kServoBauds));
    std::vector<ServoInfo> found;
    for (int baud : bauds) {
        if (bus.serial->SetBaudRate(baud) != jointbus::kOk)
            return Failed(fmt::format("{}: cannot set {} baud", o.tty, baud));
        for (long id = first; id <= last; ++id) {
            Progress(fmt::format("scanning {} at {} baud: id {} of {}-{}", o.tty, baud, id, first,
                                 last));
            ServoInfo info;
            if (bus.serial->Ping(int(id), o.waitMs) == jointbus::kOk &&
                ReadServo(*bus.serial, int(id), o.waitMs, info) == jointbus::kOk)
                found.push_back(info);
        }
    }
    Progress("");
    if (o.json) {
        std::printf("{\"port\": %s, \"servos\": [", JsonText(o.tty).c_str());
        for (size_t k = 0; k < found.size(); ++k) {
            const auto& s = found[k];
            std::printf(
                "%s\n  {\"id\": %d, \"baud\": %d, \"model\": %d, \"firmware\": \"%d.%d\", "
                "\"mode\": %d, \"torque\": %d}",
                k ? "," : "", s.id, s.baud, s.model, s.firmwareMajor, s.firmwareMinor, s.mode,
                s.torque);
        }
        std::printf("\n]}\n");
        return kExitOk;
    }
    std::printf("%-4s %-8s %-6s %-9s %-9s %s\n", "id", "baud", "model", "firmware", "mode",
                "torque");
    for (const auto& s : found)
        std::printf("%-4d %-8d %-6d %-9s %-9s %s\n", s.id, s.baud, s.model,
                    fmt::format("{}.{}", s.firmwareMajor, s.firmwareMinor).c_str(),
                    s.mode <= 3 ? kServoModes[s.mode] : "?", s.torque ? "on" : "off");
    std::printf("%zu servo(s) on %s\n", found.size(), o.tty.c_str());
    return kExitOk;
}

int Scan(const Options& o, Bus& bus) {
    if (bus.serial == nullptr && o.allBauds)
        return Usage("--all-bauds applies to a serial port (-p)");
    return bus.can ? ScanDamiao(o, bus) : ScanFeetech(o, bus);
}

int Registers(const Options&, Bus& bus) {
    auto list = [](const auto& table) {
        for (const auto& r : table)
            std::printf("%3d  %-15s %s%s\n", r.address, r.name, r.meaning, r.writable ? "" : "");
    };
    if (bus.can)
        list(Damiao::kRegisters);
    else
        list(Feetech::kServoRegisters);
    return kExitOk;
}

int Get(const Options& o, Bus& bus) {
    if (o.args.size() != 1) return Usage("get: give one register, e.g. get CTRL_MODE");
    const RegisterInfo* r = bus.Find(o.args[0]);
    if (r == nullptr)
        return Usage("unknown register '" + o.args[0] + "' (jointcfg registers " +
                     (bus.can ? "-i IFACE" : "-p TTY") + " lists them)");
    uint32_t raw = 0;
    const int result = bus.can ? bus.can->Read(uint32_t(o.id), int(o.master), uint8_t(r->address),
                                               raw, DamiaoWait(o))
                               : bus.serial->ReadValue(int(o.id), *r, raw, o.waitMs);
    if (result != jointbus::kOk)
        return Failed(fmt::format("reading {} of {} {}: {}", r->name, bus.can ? "motor" : "servo",
                                  o.id, ResultText(result)));
    std::printf("%s\n", jointbus::FormatRegisterValue(*r, raw).c_str());
    return kExitOk;
}

// Checks a register and value given as text; writes it when the motor is disabled.
int SetNamed(const Options& o, Bus& bus, const std::string& name, const std::string& value) {
    const RegisterInfo* r = bus.Find(name);
    if (r == nullptr) return Usage("unknown register '" + name + "'");
    if (!r->writable) return Usage(std::string(r->name) + " is read only (nothing written)");
    uint32_t raw = 0;
    std::string error;
    if (!jointbus::ParseRegisterValue(*r, value, raw, error))
        return Usage(error + " (nothing written)");
    int master = int(o.master);
    // Switching a servo's torque off is how it gets disabled: that one is always allowed.
    const bool torqueOff = bus.serial && r->address == Feetech::kTorqueEnable && raw == 0;
    if (!torqueOff) {
        if (const int status = RequireDisabled(o, bus, master)) return status;
    }
    return WriteRegister(o, bus, master, *r, raw);
}

int Set(const Options& o, Bus& bus) {
    if (o.args.size() != 2) return Usage("set: give a register and a value, e.g. set TIMEOUT 2000");
    return SetNamed(o, bus, o.args[0], o.args[1]);
}

// The one argument of a set-... command.
int OneArgument(const Options& o, const char* what) {
    if (o.args.size() != 1) return Usage(o.command + ": give " + what);
    return kExitOk;
}

int SetId(const Options& o, Bus& bus) {
    if (const int status = OneArgument(o, "the new id")) return status;
    long newId = 0;
    const long top = bus.can ? 0x7FF : Feetech::kMaxServoId;
    if (!ParseLong(o.args[0].c_str(), newId) || newId < (bus.can ? 1 : 0) || newId > top)
        return Usage(fmt::format("new id '{}' is out of range ({} to {}; nothing written)",
                                 o.args[0], bus.can ? 1 : 0, top));
    // Refuse an id that something on the bus already answers to.
    uint32_t ignored = 0;
    const bool taken =
        bus.can ? bus.can->Read(uint32_t(newId), Damiao::RegisterBus::kAnyFeedbackId,
                                Damiao::kRegCtrlMode, ignored, DamiaoWait(o)) == jointbus::kOk
                : bus.serial->Ping(int(newId), o.waitMs) == jointbus::kOk;
    if (taken && newId != o.id)
        return Failed(fmt::format("id {} is already taken on {} (nothing written)", newId,
                                  bus.can ? o.iface : o.tty));
    return SetNamed(o, bus, bus.can ? "ESC_ID" : "id", o.args[0]);
}

int SetMode(const Options& o, Bus& bus) {
    if (const int status = OneArgument(o, "the mode")) return status;
    std::string value = o.args[0];
    const auto& names = bus.can ? kDamiaoModes : kServoModes;
    for (int k = 0; k < 4; ++k)
        if (strcasecmp(names[k], value.c_str()) == 0) value = std::to_string(bus.can ? k + 1 : k);
    return SetNamed(o, bus, bus.can ? "CTRL_MODE" : "mode", value);
}

int SetTimeout(const Options& o, Bus& bus) {
    if (!bus.can) return Usage("set-timeout applies to Damiao motors (-i IFACE)");
    if (const int status = OneArgument(o, "the time-out in ms (0 off)")) return status;
    char* end = nullptr;
    const double ms = std::strtod(o.args[0].c_str(), &end);
    if (o.args[0].empty() || *end != '\0' || !(ms >= 0 && ms <= 200000))
        return Usage("time-out '" + o.args[0] + "' must be 0 to 200000 ms (nothing written)");
    const long units = std::lround(ms * 1000.0 / Damiao::kTimeoutUnitUs);
    return SetNamed(o, bus, "TIMEOUT", std::to_string(units));
}

int SetBaud(const Options& o, Bus& bus) {
    if (const int status = OneArgument(o, "the rate")) return status;
    long rate = 0;
    const int code = !ParseLong(o.args[0].c_str(), rate)
                         ? -1
                         : (bus.can ? Damiao::CanRateCode(rate) : Feetech::ServoBaudCode(rate));
    if (code < 0)
        return Usage("rate '" + o.args[0] + "' is not one the " + (bus.can ? "motor" : "servo") +
                     " knows (see jointcfg set-baud -h)");
    // The write itself travels at the interface's present rate; the motor then moves to the
    // new one, and everything after it (the read-back included) needs the interface moved too.
    if (bus.can)
        std::fprintf(stderr,
                     "jointcfg: warning: the change of rate is made on %s's present bit rate; "
                     "once motor %ld takes %ld bit/s it answers only there\n",
                     o.iface.c_str(), o.id, rate);
    const int status = SetNamed(o, bus, bus.can ? "can_br" : "baud", std::to_string(code));
    if (status != kExitOk) return status;
    if (bus.can)
        std::printf(
            "the motor uses %ld bit/s once it restarts: bring %s to that rate too\n"
            "  (ip link set %s down; ip link set %s type can bitrate %ld; ip link set %s up)\n",
            rate, o.iface.c_str(), o.iface.c_str(), o.iface.c_str(), rate, o.iface.c_str());
    else
        std::printf(
            "servo %ld now answers at %ld baud: reach it with -b %ld (baudrate: %ld in "
            "the configuration)\n",
            o.id, rate, rate, rate);
    return kExitOk;
}

int SetZero(const Options& o, Bus& bus) {
    if (!o.args.empty()) return Usage("set-zero takes no value");
    int master = int(o.master);
    if (const int status = RequireDisabled(o, bus, master)) return status;
    int result;
    if (bus.can) {
        result = bus.can->SetZero(uint32_t(o.id), master, DamiaoWait(o));
    } else {
        const uint8_t calibrate = Feetech::kCalibrate;
        result = bus.serial->Write(int(o.id), Feetech::kTorqueEnable, &calibrate, 1, o.waitMs);
    }
    if (result != jointbus::kOk)
        return Failed(fmt::format("set-zero of {} {}: {}", bus.can ? "motor" : "servo", o.id,
                                  ResultText(result)));
    std::printf("%s %ld: the present position is now zero\n", bus.can ? "motor" : "servo", o.id);
    return kExitOk;
}

// ---- check ---------------------------------------------------------------------------------

struct CheckLine {
    bool ok;
    std::string what, detail;
};

// `"array": [` with one {"key": name, "ok": ..., "detail": ...} line per check line and `]`;
// `name(k)` names line k.
template <class NameOf>
void PrintJsonLines(const char* array, const char* key, const std::vector<CheckLine>& lines,
                    NameOf name) {
    std::printf("\"%s\": [", array);
    for (size_t k = 0; k < lines.size(); ++k)
        std::printf("%s\n  {\"%s\": %s, \"ok\": %s, \"detail\": %s}", k ? "," : "", key,
                    JsonText(name(k)).c_str(), lines[k].ok ? "true" : "false",
                    JsonText(lines[k].detail).c_str());
    std::printf("\n]");
}

std::string Hex(long v) {
    return fmt::format("0x{:X}", v);
}

// The configured motor is read from the file by the library's factory, as spinbench reads it.
CheckLine CheckDamiao(const damiaoMotor& motor, const Options& o,
                      std::map<std::string, std::unique_ptr<Damiao::RegisterBus>>& buses) {
    const long id = motor.motor_id, master = motor.master_id;
    const std::string& dev = motor.dev_name;
    const uint32_t offset = motor.mode;
    const int model = motor.model;
    CheckLine line{false, fmt::format("damiao {} on {}", Hex(id), dev), ""};
    auto& bus = buses[dev];
    if (!bus) bus = std::make_unique<Damiao::RegisterBus>(dev);
    if (bus->status() != jointbus::kOk) {
        line.detail = "interface missing: " + bus->error();
        return line;
    }
    DamiaoMotorInfo info;
    if (ReadDamiao(*bus, uint32_t(id), Damiao::RegisterBus::kAnyFeedbackId, DamiaoWait(o), info) !=
        jointbus::kOk) {
        line.detail = "missing: no answer";
        return line;
    }
    std::vector<std::string> wrong;
    const uint32_t wantMode = Damiao::ModeRegisterOf(offset);
    if (info.mode != wantMode)
        wrong.push_back(fmt::format("mode {}, configured {}", DamiaoModeName(info.mode),
                                    DamiaoModeName(wantMode)));
    if (long(info.master) != master)
        wrong.push_back(
            fmt::format("feedback id {}, configured {}", Hex(info.master), Hex(master)));
    Damiao::Ranges r;
    if (!Damiao::RangesForModel(model, r)) {
        wrong.push_back(fmt::format("motor_model {} unknown", model));
    } else {
        auto near = [](float a, double b) {
            return std::fabs(double(a) - b) < 1e-3 * (1 + std::fabs(b));
        };
        if (!near(info.pmax, r.P_MAX) || !near(info.vmax, r.V_MAX) || !near(info.tmax, r.T_MAX))
            wrong.push_back(
                fmt::format("ranges PMAX {:g} VMAX {:g} TMAX {:g}, model {} has "
                            "{:g} {:g} {:g}",
                            info.pmax, info.vmax, info.tmax, model, r.P_MAX, r.V_MAX, r.T_MAX));
    }
    if (info.state > 1) wrong.push_back("reports " + StateName(info.state));
    line.ok = wrong.empty();
    line.detail = line.ok ? fmt::format("mode {}, feedback id {}, model {} ranges",
                                        DamiaoModeName(info.mode), Hex(info.master), model)
                          : fmt::format("{}", fmt::join(wrong, "; "));
    return line;
}

CheckLine CheckFeetech(const feetechMotor& servo, const Options& o) {
    const int id = int(servo.motor_id), baud = int(servo.uartBaud);
    const std::string& dev = servo.uartDevice;
    CheckLine line{false, fmt::format("feetech {} on {}", id, dev), ""};
    if (access(dev.c_str(), R_OK | W_OK) != 0) {
        line.detail = fmt::format("serial port missing: {}", std::strerror(errno));
        return line;
    }
    if (Feetech::ServoBaudCode(baud) < 0) {
        line.detail = fmt::format("baudrate {} is not a servo line speed", baud);
        return line;
    }
    Feetech::RegisterPort port(dev, baud);
    ServoInfo info;
    if (port.Ping(id, o.waitMs) == jointbus::kOk &&
        ReadServo(port, id, o.waitMs, info) == jointbus::kOk) {
        line.ok = true;
        line.detail = fmt::format("answers at {} baud, model {}, firmware {}.{}", baud, info.model,
                                  info.firmwareMajor, info.firmwareMinor);
        return line;
    }
    for (int other : Feetech::kServoBauds) {
        if (other == baud || port.SetBaudRate(other) != jointbus::kOk) continue;
        if (port.Ping(id, o.waitMs) == jointbus::kOk) {
            line.detail = fmt::format("answers at {} baud, configured {}", other, baud);
            return line;
        }
    }
    line.detail = "missing: no answer at any baud";
    return line;
}

// An interface with settings in the file's can_interfaces: its MTU (16 classic, 72 CAN-FD)
// against can_fd. A classic interface cannot carry the CAN-FD frames that can_fd sends; an
// interface set up for CAN-FD carries classic frames too.
CheckLine CheckInterface(const std::string& name, const jointbus::CanInterfaceSettings& s) {
    CheckLine line{false, "interface " + name, ""};
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name.c_str());
    const bool known = sock >= 0 && name.size() < IFNAMSIZ && ioctl(sock, SIOCGIFMTU, &ifr) == 0;
    const int err = errno;
    if (sock >= 0) close(sock);
    if (!known) {
        line.detail = fmt::format("interface missing: {}", std::strerror(err));
        return line;
    }
    const int mtu = ifr.ifr_mtu;
    const char* mode = mtu == int(CANFD_MTU) ? "CAN-FD"
                       : mtu == int(CAN_MTU) ? "classic"
                                             : "not CAN";
    line.ok = s.canFd ? mtu == int(CANFD_MTU) : (mtu == int(CAN_MTU) || mtu == int(CANFD_MTU));
    line.detail = fmt::format("{} (MTU {}), configured can_fd {}", mode, mtu, s.canFd);
    if (!line.ok && s.canFd)
        line.detail +=
            fmt::format(": ip link set {} type can bitrate 1000000 dbitrate 5000000 fd on", name);
    return line;
}

int Check(const Options& o) {
    if (o.config.empty()) return Usage("check: give the configuration file: -c motor.yaml");
    YAML::Node config;
    std::string error;
    if (!ReadMotorConfig(o.config, config, error)) return Usage(error);
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    if (!BuildConfiguredMotors(config, o.config, motors, error)) return Usage(error);
    if (motors.empty()) return Usage("config file " + o.config + " defines no motors");
    const YAML::Node list = config["motor_init_para"];
    const size_t unbuilt =
        list.IsSequence() && list.size() > motors.size() ? list.size() - motors.size() : 0;
    std::vector<std::pair<std::string, jointbus::CanInterfaceSettings>> interfaces;
    ReadCanInterfaces(config, o.config, interfaces, error);  // read without fault just before
    std::vector<CheckLine> interfaceLines;
    for (const auto& entry : interfaces)
        interfaceLines.push_back(CheckInterface(entry.first, entry.second));
    std::map<std::string, std::unique_ptr<Damiao::RegisterBus>> buses;
    std::vector<CheckLine> lines;
    for (const auto& motor : motors) {
        const MotorFamily* family = MotorFamilyOf(*motor);
        if (family && std::strcmp(family->vendor, "damiao") == 0)
            lines.push_back(CheckDamiao(static_cast<const damiaoMotor&>(*motor), o, buses));
        else if (family && std::strcmp(family->vendor, "feetech") == 0)
            lines.push_back(CheckFeetech(static_cast<const feetechMotor&>(*motor), o));
    }
    if (unbuilt > 0)
        lines.push_back({false, fmt::format("{} entr{}", unbuilt, unbuilt == 1 ? "y" : "ies"),
                         "not a motor the library builds (vendor?)"});
    size_t good = 0;
    for (const auto& l : lines) good += l.ok ? 1 : 0;
    bool interfacesOk = true;
    for (const auto& l : interfaceLines) interfacesOk = interfacesOk && l.ok;
    const bool allOk = good == lines.size() && interfacesOk;
    if (o.json) {
        std::printf("{\"config\": %s, \"ok\": %s, ", JsonText(o.config).c_str(),
                    allOk ? "true" : "false");
        if (!interfaceLines.empty()) {
            PrintJsonLines("interfaces", "interface", interfaceLines,
                           [&](size_t k) { return interfaces[k].first; });
            std::printf(", ");
        }
        PrintJsonLines("motors", "motor", lines, [&](size_t k) { return lines[k].what; });
        std::printf("}\n");
    } else {
        for (const auto* group : {&interfaceLines, &lines})
            for (const auto& l : *group)
                std::printf("%s %-28s %s\n", l.ok ? "[ ok ]" : "[FAIL]", l.what.c_str(),
                            l.detail.c_str());
        std::printf("%zu of %zu motor(s) match %s\n", good, lines.size(), o.config.c_str());
    }
    return allOk ? kExitOk : kExitFailed;
}

// ---- main ----------------------------------------------------------------------------------

int ParseOptions(int argc, char** argv, Options& o) {
    enum { kId = 0x100, kMaster, kWait, kJson, kAllBauds, kStore, kIds };
    static const option longOptions[] = {{"id", required_argument, nullptr, kId},
                                         {"master", required_argument, nullptr, kMaster},
                                         {"wait-ms", required_argument, nullptr, kWait},
                                         {"json", no_argument, nullptr, kJson},
                                         {"all-bauds", no_argument, nullptr, kAllBauds},
                                         {"store", no_argument, nullptr, kStore},
                                         {"ids", required_argument, nullptr, kIds},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    // Options may follow the values; a negative value (an offset of -300) is a value, not an
    // option, so it is kept from the option reader.
    auto negative = [](const char* w) {
        return w[0] == '-' && (std::isdigit(static_cast<unsigned char>(w[1])) || w[1] == '.');
    };
    std::vector<char*> words;
    for (int k = 0; k < argc; ++k)
        if (k == 0 || !negative(argv[k])) words.push_back(argv[k]);
    optind = 1;
    long number = 0;
    const int count = int(words.size());
    char** v = words.data();
    for (int c; (c = getopt_long(count, v, "i:p:b:c:h", longOptions, nullptr)) != -1;) {
        switch (c) {
            case 'i':
                o.iface = optarg;
                break;
            case 'p':
                o.tty = optarg;
                break;
            case 'c':
                o.config = optarg;
                break;
            case 'h':
                o.help = true;
                break;
            case kJson:
                o.json = true;
                break;
            case kAllBauds:
                o.allBauds = true;
                break;
            case kStore:
                o.store = true;
                break;
            case kIds:
                o.idRange = optarg;
                break;
            case 'b':
            case kId:
            case kMaster:
            case kWait:
                if (!ParseLong(optarg, number) || number < 0 || number > 100000000)
                    return Usage(fmt::format("'{}' is not a valid number", optarg));
                if (c == 'b') o.baud = int(number);
                if (c == kId) o.id = number;
                if (c == kMaster) o.master = number;
                if (c == kWait) o.waitMs = int(number);
                break;
            default:
                return kExitUsage;  // getopt has said what is wrong
        }
    }
    // The values in the order given: the option reader moved its non-options to the end
    // (the same strings, so they are found by address).
    const std::set<const char*> values(v + optind, v + count);
    for (int k = 1; k < argc; ++k)
        if (negative(argv[k]) || values.count(argv[k])) o.args.push_back(argv[k]);
    if (o.master != Damiao::RegisterBus::kAnyFeedbackId && o.master > 0x7FF)
        return Usage("--master: a feedback id is 0 to 0x7FF");
    return kExitOk;
}

void PrintHelp(const std::string& command) {
    for (const auto& h : kHelp) {
        if (command != h.name) continue;
        std::printf("usage: jointcfg %s\n%s", h.synopsis, h.text);
        if (command != "check") std::fputs(kBusOptions, stdout);
        return;
    }
    std::fputs(kUsage, stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // The library's log lines would break up the tool's tables: they are off unless the
    // environment asks for them.
    setenv("SPDLOG_STDOUT", "false", 0);
    setenv("SPDLOG_SYSTEMD", "false", 0);
    setenv("SPDLOG_LEVEL", "error", 0);
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    Options o;
    o.command = argv[1];
    if (o.command == "-h" || o.command == "--help" || o.command == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    using Handler = int (*)(const Options&, Bus&);
    const std::map<std::string, Handler> handlers = {{"scan", Scan},
                                                     {"get", Get},
                                                     {"set", Set},
                                                     {"set-id", SetId},
                                                     {"set-mode", SetMode},
                                                     {"set-zero", SetZero},
                                                     {"set-timeout", SetTimeout},
                                                     {"set-baud", SetBaud},
                                                     {"registers", Registers}};
    const auto handler = handlers.find(o.command);
    if (handler == handlers.end() && o.command != "check") {
        Usage("unknown command '" + o.command + "'");
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (const int status = ParseOptions(argc - 1, argv + 1, o)) return status;
    if (o.help) {
        PrintHelp(o.command);
        return kExitOk;
    }
    try {
        if (o.command == "check") return Check(o);
        Bus bus;
        if (const int status = OpenBus(o, bus)) return status;
        if (o.command != "scan" && o.command != "registers") {
            if (const int status = RequireId(o)) return status;
        }
        return handler->second(o, bus);
    } catch (const std::exception& e) {
        return Failed(e.what());
    }
}
