#include "damiao_emulator_process.h"

#include <cstdio>
#include <sstream>

#include "subprocess.h"

namespace testsupport {

std::string EmulatorPath() {
    return SelfDir() + "/../bin/damiao_emulator";
}

namespace {
std::vector<std::string> Args(const std::string& ifname, const std::vector<std::string>& motors,
                              bool trace, unsigned traceOnly) {
    std::vector<std::string> args{EmulatorPath(), ifname};
    args.insert(args.end(), motors.begin(), motors.end());
    if (traceOnly > 0)
        args.insert(args.end(), {"--trace-id", std::to_string(traceOnly)});
    else if (trace)
        args.push_back("--trace");
    return args;
}
}  // namespace

DamiaoEmulatorProcess::DamiaoEmulatorProcess(const std::string& ifname,
                                             const std::vector<std::string>& motors, bool trace,
                                             unsigned traceOnly)
    : child(Args(ifname, motors, trace, traceOnly)) {
    isReady = child.WaitForOutput("ready", std::chrono::seconds(10)) != std::string::npos;
}

EmulatedMotor DamiaoEmulatorProcess::Status(unsigned id) {
    std::istringstream in(child.Query("status", "end\n"));
    EmulatedMotor m;

    for (std::string line; std::getline(in, line);) {
        unsigned got = 0;
        int enabled = 0;
        if (std::sscanf(line.c_str(),
                        "motor %u state=%d enabled=%d pos=%lf vel=%lf torque=%lf received=%llu "
                        "answered=%llu",
                        &got, &m.state, &enabled, &m.pos, &m.vel, &m.torque, &m.received,
                        &m.answered) == 8 &&
            got == id) {
            m.enabled = enabled != 0;
            return m;
        }
    }
    return EmulatedMotor{};
}

EmulatedRegisters DamiaoEmulatorProcess::Registers(unsigned id) {
    std::istringstream in(child.Query("regs", "end\n"));

    for (std::string line; std::getline(in, line);) {
        EmulatedRegisters r;
        if (std::sscanf(line.c_str(),
                        "regs %u master=%u timeout=%u mode=%u pmax=%f vmax=%f tmax=%f can_br=%u "
                        "stores=%llu requests=%llu",
                        &r.id, &r.master, &r.timeout, &r.mode, &r.pmax, &r.vmax, &r.tmax,
                        &r.canRate, &r.stores, &r.requests) == 10 &&
            r.id == id)
            return r;
    }
    return {};
}

std::vector<std::string> DamiaoEmulatorProcess::Frames() {
    std::vector<std::string> frames;
    std::istringstream in(child.Out());
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("rx ", 0) != 0) continue;
        const auto afterTime = line.find(' ', 3);
        frames.push_back(line.substr(afterTime + 1));
    }
    return frames;
}

}  // namespace testsupport
