// jointcfg: finds, checks and configures Damiao motors on a CAN interface and Feetech servos
// on a serial port, before an arm moves.
//
//   jointcfg scan -i can0                     which Damiao command ids answer (1 to 32)
//   jointcfg scan -p /dev/ttyUSB0 --all-bauds which servo ids answer, at every baud
//   jointcfg set-mode -i can0 --id 1 mit --store
//   jointcfg check -c motor.yaml              do the motors match the configuration?
//
// Every command talks through the library's register API (Damiao::RegisterBus,
// Feetech::RegisterPort), each family in a file of its own (damiao_commands.cpp,
// feetech_commands.cpp); this file is the command line and what every family shares. A write
// goes to RAM and is read back; only --store keeps it over a power cycle (Damiao flash,
// Feetech EEPROM), because both endure a limited number of writes.
// Exit status: 0 done (check: everything matches), 1 a device did not answer or does not
// match, 2 bad usage or input (nothing written).

#include <fmt/format.h>
#include <getopt.h>
#include <strings.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <cctype>
#include <cerrno>
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
#include "jointbus/common/motor_config.h"
#include "jointbus/common/result_codes.h"
#include "jointcfg.h"

namespace jointcfg {

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

bool ParseRange(const std::string& text, long& first, long& last) {
    const auto dash = text.find('-');
    if (dash == std::string::npos) return ParseLong(text.c_str(), first) && (last = first, true);
    return ParseLong(text.substr(0, dash).c_str(), first) &&
           ParseLong(text.substr(dash + 1).c_str(), last) && first <= last;
}

void Progress(const std::string& text) {
    static const bool terminal = isatty(STDERR_FILENO) == 1;
    if (terminal) std::fprintf(stderr, "\r\033[K%s", text.c_str());
}

std::string JsonNumber(double v) {
    return std::isfinite(v) ? fmt::format("{:g}", v) : "null";
}

const char* ResultText(int code) {
    const char* meaning = jointbus::ResultCodeMeaning(code);
    return meaning ? meaning : "failed";
}

std::string Hex(long v) {
    return fmt::format("0x{:X}", v);
}

const std::vector<Family>& Families() {
    static const std::vector<Family> families = {DamiaoFamily(), FeetechFamily()};
    return families;
}

namespace {

using jointbus::RegisterInfo;
using jointbus_detail::JsonText;

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

// ---- The bus a command talks to -----------------------------------------------------------

// Opens the bus of the options: exactly one family's. Returns kExitOk or the exit status.
int OpenBus(const Options& o, std::unique_ptr<FamilyBus>& bus) {
    const Family* named = nullptr;
    int count = 0;
    std::string choices;
    for (const auto& family : Families()) {
        choices += (choices.empty() ? "" : " or ") + std::string(family.busUsage);
        if (family.named(o)) {
            named = &family;
            ++count;
        }
    }
    if (count != 1) return Usage(o.command + ": give one bus: " + choices);
    return named->open(o, bus);
}

int RequireId(const Options& o, const FamilyBus& bus) {
    if (o.id < 0) return Usage(o.command + ": --id N is required");
    return bus.CheckId(o);
}

// Writes one register of the motor or servo of the options and reports it.
int WriteRegister(const Options& o, FamilyBus& bus, int master, const RegisterInfo& r,
                  uint32_t raw) {
    const int result = bus.Write(o, master, r, raw);
    if (result != jointbus::kOk)
        return Failed(
            fmt::format("writing {} of {} {}: {}", r.name, bus.Device(), o.id, ResultText(result)));
    std::printf("%s %ld: %s = %s%s\n", bus.Device(), o.id, r.name,
                jointbus::FormatRegisterValue(r, raw).c_str(),
                o.store ? " (stored)"
                        : (r.persistent ? " (in RAM until power-off; --store keeps it)" : ""));
    return kExitOk;
}

// ---- Commands ------------------------------------------------------------------------------

int Scan(const Options& o, FamilyBus& bus) {
    return bus.Scan(o);
}

int Registers(const Options&, FamilyBus& bus) {
    bus.ListRegisters();
    return kExitOk;
}

int Get(const Options& o, FamilyBus& bus) {
    if (o.args.size() != 1) return Usage("get: give one register, e.g. get CTRL_MODE");
    const RegisterInfo* r = bus.Find(o.args[0]);
    if (r == nullptr)
        return Usage("unknown register '" + o.args[0] + "' (jointcfg registers " +
                     bus.BusOption() + " lists them)");
    uint32_t raw = 0;
    const int result = bus.Read(o, *r, raw);
    if (result != jointbus::kOk)
        return Failed(fmt::format("reading {} of {} {}: {}", r->name, bus.Device(), o.id,
                                  ResultText(result)));
    std::printf("%s\n", jointbus::FormatRegisterValue(*r, raw).c_str());
    return kExitOk;
}

// Checks a register and value given as text; writes it when the motor is disabled.
int SetNamed(const Options& o, FamilyBus& bus, const std::string& name, const std::string& value) {
    const RegisterInfo* r = bus.Find(name);
    if (r == nullptr) return Usage("unknown register '" + name + "'");
    if (!r->writable) return Usage(std::string(r->name) + " is read only (nothing written)");
    uint32_t raw = 0;
    std::string error;
    if (!jointbus::ParseRegisterValue(*r, value, raw, error))
        return Usage(error + " (nothing written)");
    int master = int(o.master);
    if (!bus.Unguarded(*r, raw)) {
        if (const int status = bus.RequireDisabled(o, master)) return status;
    }
    return WriteRegister(o, bus, master, *r, raw);
}

int Set(const Options& o, FamilyBus& bus) {
    if (o.args.size() != 2) return Usage("set: give a register and a value, e.g. set TIMEOUT 2000");
    return SetNamed(o, bus, o.args[0], o.args[1]);
}

// The one argument of a set-... command.
int OneArgument(const Options& o, const char* what) {
    if (o.args.size() != 1) return Usage(o.command + ": give " + what);
    return kExitOk;
}

int SetId(const Options& o, FamilyBus& bus) {
    if (const int status = OneArgument(o, "the new id")) return status;
    long newId = 0;
    if (!ParseLong(o.args[0].c_str(), newId) || newId < bus.FirstId() || newId > bus.LastId())
        return Usage(fmt::format("new id '{}' is out of range ({} to {}; nothing written)",
                                 o.args[0], bus.FirstId(), bus.LastId()));
    // Refuse an id that something on the bus already answers to.
    if (bus.Answers(o, newId) && newId != o.id)
        return Failed(fmt::format("id {} is already taken on {} (nothing written)", newId,
                                  bus.Name(o)));
    return SetNamed(o, bus, bus.IdRegister(), o.args[0]);
}

int SetMode(const Options& o, FamilyBus& bus) {
    if (const int status = OneArgument(o, "the mode")) return status;
    std::string value = o.args[0];
    const char* const* names = bus.ModeNames();
    for (int k = 0; k < 4; ++k)
        if (strcasecmp(names[k], value.c_str()) == 0)
            value = std::to_string(bus.FirstModeValue() + k);
    return SetNamed(o, bus, bus.ModeRegister(), value);
}

int SetTimeout(const Options& o, FamilyBus& bus) {
    if (!bus.HasTimeout()) return Usage("set-timeout applies to Damiao motors (-i IFACE)");
    if (const int status = OneArgument(o, "the time-out in ms (0 off)")) return status;
    char* end = nullptr;
    const double ms = std::strtod(o.args[0].c_str(), &end);
    if (o.args[0].empty() || *end != '\0' || !(ms >= 0 && ms <= 200000))
        return Usage("time-out '" + o.args[0] + "' must be 0 to 200000 ms (nothing written)");
    return SetNamed(o, bus, "TIMEOUT", bus.TimeoutValue(ms));
}

int SetBaud(const Options& o, FamilyBus& bus) {
    if (const int status = OneArgument(o, "the rate")) return status;
    long rate = 0;
    const int code = !ParseLong(o.args[0].c_str(), rate) ? -1 : bus.BaudCode(rate);
    if (code < 0)
        return Usage("rate '" + o.args[0] + "' is not one the " + bus.Device() +
                     " knows (see jointcfg set-baud -h)");
    bus.BeforeBaud(o, rate);
    const int status = SetNamed(o, bus, bus.BaudRegister(), std::to_string(code));
    if (status != kExitOk) return status;
    bus.AfterBaud(o, rate);
    return kExitOk;
}

int SetZero(const Options& o, FamilyBus& bus) {
    if (!o.args.empty()) return Usage("set-zero takes no value");
    int master = int(o.master);
    if (const int status = bus.RequireDisabled(o, master)) return status;
    const int result = bus.SetZero(o, master);
    if (result != jointbus::kOk)
        return Failed(
            fmt::format("set-zero of {} {}: {}", bus.Device(), o.id, ResultText(result)));
    std::printf("%s %ld: the present position is now zero\n", bus.Device(), o.id);
    return kExitOk;
}

// ---- check ---------------------------------------------------------------------------------

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
    std::vector<std::pair<std::string, CheckLine>> buses;
    std::vector<MotorCheck> checks;
    for (const auto& family : Families()) {
        if (family.busLines != nullptr) family.busLines(config, o.config, buses);
        checks.push_back(family.checker(o));
    }
    std::vector<CheckLine> interfaceLines;
    for (const auto& bus : buses) interfaceLines.push_back(bus.second);
    std::vector<CheckLine> lines;
    for (const auto& motor : motors) {
        CheckLine line;
        for (const auto& check : checks) {
            if (check(*motor, line)) {
                lines.push_back(line);
                break;
            }
        }
    }
    checks.clear();  // closes what the checks opened
    if (unbuilt > 0)
        lines.push_back({false, fmt::format("{} entr{}", unbuilt, unbuilt == 1 ? "y" : "ies"),
                         "not a motor the library builds (vendor?)"});
    // Keys that no family reads (an unknown vendor is the line above): lines of their own,
    // after the motors', which fail the check but are no motor.
    std::vector<CheckLine> keyLines;
    for (const EntryTypo& typo : FindEntryTypos(config))
        if (!typo.vendor)
            keyLines.push_back({false, fmt::format("entry {}", typo.entry),
                                typo.Text().substr(typo.Text().find(": ") + 2)});
    size_t good = 0;
    for (const auto& l : lines) good += l.ok ? 1 : 0;
    bool interfacesOk = true;
    for (const auto& l : interfaceLines) interfacesOk = interfacesOk && l.ok;
    const bool allOk = good == lines.size() && interfacesOk && keyLines.empty();
    if (o.json) {
        std::printf("{\"config\": %s, \"ok\": %s, ", JsonText(o.config).c_str(),
                    allOk ? "true" : "false");
        if (!interfaceLines.empty()) {
            PrintJsonLines("interfaces", "interface", interfaceLines,
                           [&](size_t k) { return buses[k].first; });
            std::printf(", ");
        }
        PrintJsonLines("motors", "motor", lines, [&](size_t k) { return lines[k].what; });
        if (!keyLines.empty()) {
            std::printf(", ");
            PrintJsonLines("entries", "entry", keyLines,
                           [&](size_t k) { return keyLines[k].what; });
        }
        std::printf("}\n");
    } else {
        for (const auto* group : {&interfaceLines, &lines, &keyLines})
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
    if (o.master > 0x7FF)
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

}  // namespace jointcfg

int main(int argc, char** argv) {
    using namespace jointcfg;
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
    using Handler = int (*)(const Options&, FamilyBus&);
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
        std::unique_ptr<FamilyBus> bus;
        if (const int status = OpenBus(o, bus)) return status;
        if (o.command != "scan" && o.command != "registers") {
            if (const int status = RequireId(o, *bus)) return status;
        }
        return handler->second(o, *bus);
    } catch (const std::exception& e) {
        return Failed(e.what());
    }
}
