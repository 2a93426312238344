// jointcfg's Feetech family: servos on a serial port (-p), through Feetech::RegisterPort.

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/json_text.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/Feetech/feetech_register_port.h"
#include "jointbus/Feetech/feetech_registers.h"
#include "jointbus/common/result_codes.h"
#include "jointcfg.h"

namespace jointcfg {

namespace {

using jointbus::RegisterInfo;
using jointbus_detail::JsonText;

const char* const kModes[] = {"position", "speed", "pwm", "step"};

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

class FeetechBus : public FamilyBus {
public:
    FeetechBus(const std::string& tty, int baud) : port(tty, baud) {}
    Feetech::RegisterPort port;

    const char* Device() const override { return "servo"; }
    const char* BusOption() const override { return "-p TTY"; }
    const std::string& Name(const Options& o) const override { return o.tty; }
    const RegisterInfo* Find(const std::string& name) const override {
        return jointbus::FindRegister(Feetech::kServoRegisters, name);
    }
    void ListRegisters() const override {
        for (const auto& r : Feetech::kServoRegisters)
            std::printf("%3d  %-15s %s\n", r.address, r.name, r.meaning);
    }
    int CheckId(const Options& o) const override {
        if (o.id > Feetech::kMaxServoId)
            return Usage(fmt::format("--id {}: a servo id is 0 to {}", o.id, Feetech::kMaxServoId));
        return kExitOk;
    }

    int Scan(const Options& o) override;

    int Read(const Options& o, const RegisterInfo& r, uint32_t& raw) override {
        return port.ReadValue(int(o.id), r, raw, o.waitMs);
    }

    int RequireDisabled(const Options& o, int&) override {
        uint8_t torque = 0;
        const int result = port.Read(int(o.id), Feetech::kTorqueEnable, 1, &torque, o.waitMs);
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
    bool Unguarded(const RegisterInfo& r, uint32_t raw) const override {
        return r.address == Feetech::kTorqueEnable && raw == 0;
    }
    int Write(const Options& o, int, const RegisterInfo& r, uint32_t raw) override {
        return port.WriteValue(int(o.id), r, raw, o.store, o.waitMs);
    }

    long FirstId() const override { return 0; }
    long LastId() const override { return Feetech::kMaxServoId; }
    bool Answers(const Options& o, long id) override {
        return port.Ping(int(id), o.waitMs) == jointbus::kOk;
    }
    const char* IdRegister() const override { return "id"; }
    const char* const* ModeNames() const override { return kModes; }
    int FirstModeValue() const override { return 0; }
    const char* ModeRegister() const override { return "mode"; }

    int BaudCode(long rate) const override { return Feetech::ServoBaudCode(rate); }
    const char* BaudRegister() const override { return "baud"; }
    void AfterBaud(const Options& o, long rate) const override {
        std::printf(
            "servo %ld now answers at %ld baud: reach it with -b %ld (baudrate: %ld in "
            "the configuration)\n",
            o.id, rate, rate, rate);
    }

    int SetZero(const Options& o, int) override {
        const uint8_t calibrate = Feetech::kCalibrate;
        return port.Write(int(o.id), Feetech::kTorqueEnable, &calibrate, 1, o.waitMs);
    }
};

int FeetechBus::Scan(const Options& o) {
    long first = 0, last = Feetech::kMaxServoId;
    if (!o.idRange.empty() &&
        (!ParseRange(o.idRange, first, last) || first < 0 || last > Feetech::kMaxServoId))
        return Usage("--ids " + o.idRange + ": a range of servo ids within 0-253, e.g. 0-20");
    std::vector<int> bauds = {o.baud};
    if (o.allBauds) bauds.assign(std::begin(Feetech::kServoBauds), std::end(Feetech::kServoBauds));
    std::vector<ServoInfo> found;
    for (int baud : bauds) {
        if (port.SetBaudRate(baud) != jointbus::kOk)
            return Failed(fmt::format("{}: cannot set {} baud", o.tty, baud));
        for (long id = first; id <= last; ++id) {
            Progress(fmt::format("scanning {} at {} baud: id {} of {}-{}", o.tty, baud, id, first,
                                 last));
            ServoInfo info;
            if (port.Ping(int(id), o.waitMs) == jointbus::kOk &&
                ReadServo(port, int(id), o.waitMs, info) == jointbus::kOk)
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
                    s.mode <= 3 ? kModes[s.mode] : "?", s.torque ? "on" : "off");
    std::printf("%zu servo(s) on %s\n", found.size(), o.tty.c_str());
    return kExitOk;
}

CheckLine CheckServo(const feetechMotor& servo, const Options& o) {
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

}  // namespace

Family FeetechFamily() {
    return {
        "-p TTY (Feetech)",
        [](const Options& o) { return !o.tty.empty(); },
        [](const Options& o, std::unique_ptr<FamilyBus>& out) {
            if (access(o.tty.c_str(), R_OK | W_OK) != 0)
                return Usage(
                    fmt::format("cannot open serial port {}: {}", o.tty, std::strerror(errno)));
            if (Feetech::ServoBaudCode(o.baud) < 0)
                return Usage(fmt::format("-b {}: not a servo line speed", o.baud));
            auto bus = std::make_unique<FeetechBus>(o.tty, o.baud);
            if (bus->port.status() != jointbus::kOk)
                return Usage("cannot open serial port " + o.tty);
            out = std::move(bus);
            return kExitOk;
        },
        [](const Options& o) -> MotorCheck {
            return [o](const CtrlMotorInterface& motor, CheckLine& line) {
                const auto* servo = dynamic_cast<const feetechMotor*>(&motor);
                if (servo != nullptr) line = CheckServo(*servo, o);
                return servo != nullptr;
            };
        },
        nullptr,
    };
}

}  // namespace jointcfg
