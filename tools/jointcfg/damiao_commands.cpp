// jointcfg's Damiao family: motors on a CAN interface (-i), through Damiao::RegisterBus, and
// the CAN interfaces of a configuration file.

#include <fmt/format.h>
#include <linux/can.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "common/json_text.h"
#include "jointbus/DaMiao/damiao_codec.h"
#include "jointbus/DaMiao/damiao_register_bus.h"
#include "jointbus/DaMiao/damiao_registers.h"
#include "jointbus/common/motor_config.h"
#include "jointbus/common/result_codes.h"
#include "jointcfg.h"

namespace jointcfg {

namespace {

using jointbus::RegisterInfo;
using jointbus_detail::JsonText;

static_assert(Damiao::RegisterBus::kAnyFeedbackId == -1, "Options::master's default");

const char* const kModes[] = {"mit", "pos-speed", "speed", "force-pos"};

std::string ModeName(uint32_t reg) {
    return reg >= 1 && reg <= 4 ? kModes[reg - 1] : fmt::format("unknown ({})", reg);
}

std::string StateName(int state) {
    if (state == 0) return "disabled";
    if (state == 1) return "enabled";
    return fmt::format("fault {}", state);
}

int WaitMs(const Options& o) {
    return o.waitMs > 0 ? o.waitMs : Damiao::RegisterBus::kDefaultWaitMs;
}

struct MotorInfo {
    uint32_t id = 0, master = 0, mode = 0, swVersion = 0, timeout = 0, canRate = 0;
    float pmax = 0, vmax = 0, tmax = 0;
    int state = -1;  // -1 when the motor did not say
};

// Reads what scan and check show; kNoReply when the motor does not answer.
int ReadMotor(Damiao::RegisterBus& bus, uint32_t id, int master, int waitMs, MotorInfo& info) {
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

class DamiaoBus : public FamilyBus {
public:
    explicit DamiaoBus(const std::string& iface) : bus(iface) {}
    Damiao::RegisterBus bus;

    const char* Device() const override { return "motor"; }
    const char* BusOption() const override { return "-i IFACE"; }
    const std::string& Name(const Options& o) const override { return o.iface; }
    const RegisterInfo* Find(const std::string& name) const override {
        return jointbus::FindRegister(Damiao::kRegisters, name);
    }
    void ListRegisters() const override {
        for (const auto& r : Damiao::kRegisters)
            std::printf("%3d  %-15s %s\n", r.address, r.name, r.meaning);
    }
    int CheckId(const Options& o) const override {
        if (o.id < 1 || o.id > 0x7FF)
            return Usage(fmt::format("--id {}: a Damiao command id is 1 to 0x7FF", o.id));
        return kExitOk;
    }

    int Scan(const Options& o) override;

    int Read(const Options& o, const RegisterInfo& r, uint32_t& raw) override {
        return bus.Read(uint32_t(o.id), int(o.master), uint8_t(r.address), raw, WaitMs(o));
    }

    int RequireDisabled(const Options& o, int& master) override {
        int state = -1;
        const int result = bus.ReadState(uint32_t(o.id), master, state, WaitMs(o));
        if (result != jointbus::kOk)
            return Failed(fmt::format("Damiao motor {} on {} does not answer: {} (nothing written)",
                                      o.id, o.iface, ResultText(result)));
        if (state == 1)
            return Failed(fmt::format(
                "Damiao motor {} is enabled: disable it first (nothing written)", o.id));
        if (master == Damiao::RegisterBus::kAnyFeedbackId) {
            uint32_t value = 0;
            if (bus.Read(uint32_t(o.id), master, Damiao::kRegMasterId, value, WaitMs(o)) ==
                jointbus::kOk)
                master = int(value);
        }
        return kExitOk;
    }

    int Write(const Options& o, int master, const RegisterInfo& r, uint32_t raw) override {
        int result = bus.Write(uint32_t(o.id), master, uint8_t(r.address), raw, WaitMs(o));
        if (result == jointbus::kOk && o.store) {
            // A new id or feedback id is where the motor answers from now on.
            const uint32_t id = r.address == Damiao::kRegEscId ? raw : uint32_t(o.id);
            const int now = r.address == Damiao::kRegMasterId ? int(raw) : master;
            result = bus.Store(id, now, std::max(Damiao::RegisterBus::kStoreWaitMs, WaitMs(o)));
        }
        return result;
    }

    long FirstId() const override { return 1; }
    long LastId() const override { return 0x7FF; }
    bool Answers(const Options& o, long id) override {
        uint32_t ignored = 0;
        return bus.Read(uint32_t(id), Damiao::RegisterBus::kAnyFeedbackId, Damiao::kRegCtrlMode,
                        ignored, WaitMs(o)) == jointbus::kOk;
    }
    const char* IdRegister() const override { return "ESC_ID"; }
    const char* const* ModeNames() const override { return kModes; }
    int FirstModeValue() const override { return 1; }
    const char* ModeRegister() const override { return "CTRL_MODE"; }

    bool HasTimeout() const override { return true; }
    std::string TimeoutValue(double ms) const override {
        return std::to_string(std::lround(ms * 1000.0 / Damiao::kTimeoutUnitUs));
    }

    int BaudCode(long rate) const override { return Damiao::CanRateCode(rate); }
    const char* BaudRegister() const override { return "can_br"; }
    // The write itself travels at the interface's present rate; the motor then moves to the
    // new one, and everything after it (the read-back included) needs the interface moved too.
    void BeforeBaud(const Options& o, long rate) const override {
        std::fprintf(stderr,
                     "jointcfg: warning: the change of rate is made on %s's present bit rate; "
                     "once motor %ld takes %ld bit/s it answers only there\n",
                     o.iface.c_str(), o.id, rate);
    }
    void AfterBaud(const Options& o, long rate) const override {
        std::printf(
            "the motor uses %ld bit/s once it restarts: bring %s to that rate too\n"
            "  (ip link set %s down; ip link set %s type can bitrate %ld; ip link set %s up)\n",
            rate, o.iface.c_str(), o.iface.c_str(), o.iface.c_str(), rate, o.iface.c_str());
    }

    int SetZero(const Options& o, int master) override {
        return bus.SetZero(uint32_t(o.id), master, WaitMs(o));
    }
};

int DamiaoBus::Scan(const Options& o) {
    if (o.allBauds) return Usage("--all-bauds applies to a serial port (-p)");
    long first = 1, last = 32;
    if (!o.idRange.empty() && (!ParseRange(o.idRange, first, last) || first < 1 || last > 0x7FF))
        return Usage("--ids " + o.idRange + ": a range of command ids within 1-0x7FF, e.g. 1-32");
    std::vector<MotorInfo> found;
    for (long id = first; id <= last; ++id) {
        Progress(fmt::format("scanning {}: id {} of {}-{}", o.iface, id, first, last));
        MotorInfo info;
        if (ReadMotor(bus, uint32_t(id), int(o.master), WaitMs(o), info) == jointbus::kOk)
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
                k ? "," : "", m.id, m.master, JsonText(ModeName(m.mode)).c_str(), m.state,
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
                    ModeName(m.mode).c_str(), m.state < 0 ? "?" : StateName(m.state).c_str(),
                    m.swVersion, m.pmax, m.vmax, m.tmax,
                    m.timeout
                        ? fmt::format("{} ms", m.timeout * Damiao::kTimeoutUnitUs / 1000.0).c_str()
                        : "off");
    std::printf("%zu motor(s) on %s\n", found.size(), o.iface.c_str());
    return kExitOk;
}

// The configured motor is read from the file by the library's factory, as spinbench reads it.
CheckLine CheckMotor(const damiaoMotor& motor, const Options& o,
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
    MotorInfo info;
    if (ReadMotor(*bus, uint32_t(id), Damiao::RegisterBus::kAnyFeedbackId, WaitMs(o), info) !=
        jointbus::kOk) {
        line.detail = "missing: no answer";
        return line;
    }
    std::vector<std::string> wrong;
    const uint32_t wantMode = Damiao::ModeRegisterOf(offset);
    if (info.mode != wantMode)
        wrong.push_back(
            fmt::format("mode {}, configured {}", ModeName(info.mode), ModeName(wantMode)));
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
                                        ModeName(info.mode), Hex(info.master), model)
                          : fmt::format("{}", fmt::join(wrong, "; "));
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

}  // namespace

Family DamiaoFamily() {
    return {
        "-i IFACE (Damiao)",
        [](const Options& o) { return !o.iface.empty(); },
        [](const Options& o, std::unique_ptr<FamilyBus>& out) {
            auto bus = std::make_unique<DamiaoBus>(o.iface);
            if (bus->bus.status() != jointbus::kOk)
                return Usage("cannot open CAN interface " + o.iface + ": " + bus->bus.error());
            out = std::move(bus);
            return kExitOk;
        },
        [](const Options& o) -> MotorCheck {
            auto buses =
                std::make_shared<std::map<std::string, std::unique_ptr<Damiao::RegisterBus>>>();
            return [o, buses](const CtrlMotorInterface& motor, CheckLine& line) {
                const auto* joint = dynamic_cast<const damiaoMotor*>(&motor);
                if (joint != nullptr) line = CheckMotor(*joint, o, *buses);
                return joint != nullptr;
            };
        },
        [](const YAML::Node& config, const std::string& path,
           std::vector<std::pair<std::string, CheckLine>>& lines) {
            std::vector<std::pair<std::string, jointbus::CanInterfaceSettings>> interfaces;
            std::string error;
            ReadCanInterfaces(config, path, interfaces, error);  // read without fault before
            for (const auto& entry : interfaces)
                lines.emplace_back(entry.first, CheckInterface(entry.first, entry.second));
        },
    };
}

}  // namespace jointcfg
