#pragma once

// What jointcfg's command-line frame (jointcfg.cpp) and its motor families share. A family is
// one file: its bus (FamilyBus) and its entry of Families(), which the frame walks to find the
// bus an option names and to check the configured motors of that family.

#include <yaml-cpp/yaml.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/register_info.h"

namespace jointcfg {

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

struct Options {
    std::string command, iface, tty, config, idRange;
    int baud = 1000000;
    long id = -1;
    long master = -1;  // Damiao feedback id; -1 finds it from the motor
    int waitMs = 0;
    bool json = false, allBauds = false, store = false, help = false;
    std::vector<std::string> args;
};

// Report on stderr; the caller exits with the status they return.
int Usage(const std::string& message);   // bad usage or input: kExitUsage
int Failed(const std::string& message);  // a device did not answer or refused: kExitFailed

bool ParseLong(const char* text, long& out);  // any base strtol reads, whole text
bool ParseRange(const std::string& text, long& first, long& last);  // "A-B" or "A"
void Progress(const std::string& text);  // a line on a terminal, rewritten in place; "" clears
std::string JsonNumber(double v);        // null for NaN or an infinity
const char* ResultText(int code);        // a result code's meaning
std::string Hex(long v);                 // 0x1F

// The bus of one family that a command talks to, opened from the options: how the family
// does each step that differs between families. The frame does the rest, with the same
// messages for all.
class FamilyBus {
public:
    virtual ~FamilyBus() = default;
    virtual const char* Device() const = 0;                       // "motor" or "servo"
    virtual const char* BusOption() const = 0;                    // "-i IFACE" or "-p TTY"
    virtual const std::string& Name(const Options& o) const = 0;  // the interface or port
    virtual const jointbus::RegisterInfo* Find(const std::string& name) const = 0;
    virtual void ListRegisters() const = 0;
    // The family's range for --id: kExitOk, or the reported status.
    virtual int CheckId(const Options& o) const = 0;

    virtual int Scan(const Options& o) = 0;
    virtual int Read(const Options& o, const jointbus::RegisterInfo& r, uint32_t& raw) = 0;
    // A setter's guard: the device must answer and be disabled. May fill in `master`.
    virtual int RequireDisabled(const Options& o, int& master) = 0;
    // A write that needs no guard (switching a servo's torque off is how it is disabled).
    virtual bool Unguarded(const jointbus::RegisterInfo&, uint32_t) const { return false; }
    // Writes, and with --store keeps, one register: a result code.
    virtual int Write(const Options& o, int master, const jointbus::RegisterInfo& r,
                      uint32_t raw) = 0;

    // set-id
    virtual long FirstId() const = 0;
    virtual long LastId() const = 0;
    virtual bool Answers(const Options& o, long id) = 0;
    virtual const char* IdRegister() const = 0;
    // set-mode: the four mode names, the register value of the first, the register
    virtual const char* const* ModeNames() const = 0;
    virtual int FirstModeValue() const = 0;
    virtual const char* ModeRegister() const = 0;
    // set-timeout, for the families that have one: the register's raw value as text, or the
    // reported status.
    virtual bool HasTimeout() const { return false; }
    virtual std::string TimeoutValue(double) const { return {}; }
    // set-baud: the rate's register code (-1 when unknown), the register, and what is said
    // before the write and after it
    virtual int BaudCode(long rate) const = 0;
    virtual const char* BaudRegister() const = 0;
    virtual void BeforeBaud(const Options&, long) const {}
    virtual void AfterBaud(const Options& o, long rate) const = 0;
    // set-zero: a result code
    virtual int SetZero(const Options& o, int master) = 0;
};

// One line of check's report.
struct CheckLine {
    bool ok;
    std::string what, detail;
};

// Checks the configured motors of one family for one run of check, keeping what it opened
// (buses, ports) until it is destroyed. False when the motor is of another family.
using MotorCheck = std::function<bool(const CtrlMotorInterface& motor, CheckLine& line)>;

struct Family {
    const char* busUsage;  // the option that names its bus, for messages: "-i IFACE (Damiao)"
    bool (*named)(const Options& o);  // whether the options name this family's bus
    // Opens the named bus: kExitOk with `bus` set, or the reported status.
    int (*open)(const Options& o, std::unique_ptr<FamilyBus>& bus);
    MotorCheck (*checker)(const Options& o);
    // Lines about the file's buses themselves, before the motors' (null: none), each with the
    // bus's name.
    void (*busLines)(const YAML::Node& config, const std::string& path,
                     std::vector<std::pair<std::string, CheckLine>>& lines);
};

const std::vector<Family>& Families();

// The families, one file each.
Family DamiaoFamily();
Family FeetechFamily();

}  // namespace jointcfg
