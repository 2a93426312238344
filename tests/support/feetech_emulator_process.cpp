#include "feetech_emulator_process.h"

#include <cstdio>
#include <sstream>

#include "subprocess.h"

namespace testsupport {

namespace {
std::vector<std::string> Args(const std::string& link, const std::string& ids, long baud,
                              long delayUs) {
    return {SelfDir() + "/../bin/feetech_emulator",
            link,
            ids,
            "--baud",
            std::to_string(baud),
            "--delay-us",
            std::to_string(delayUs)};
}
}  // namespace

FeetechEmulatorProcess::FeetechEmulatorProcess(const std::string& link, const std::string& ids,
                                               long baud, long delayUs)
    : child(Args(link, ids, baud, delayUs)) {
    isReady = child.WaitForOutput("ready", std::chrono::seconds(10)) != std::string::npos;
}

void FeetechEmulatorProcess::Command(const std::string& line) {
    const size_t from = child.Out().size();
    child.WriteLine(line);
    child.WaitForOutput("ok " + line + "\n", std::chrono::seconds(5), from);
}

EmulatedServo FeetechEmulatorProcess::Status(int id) {
    std::istringstream in(child.Query("status", "end\n"));
    EmulatedServo s;

    for (std::string line; std::getline(in, line);) {
        int got = -1;
        EmulatedServo v;
        if (std::sscanf(line.c_str(),
                        "servo %d pos=%d goal=%d torque=%d mode=%d speed=%d requests=%llu "
                        "answered=%llu",
                        &got, &v.pos, &v.goal, &v.torque, &v.mode, &v.speed, &v.requests,
                        &v.answered) == 8 &&
            got == id)
            return v;
    }
    return s;
}

ServoEeprom FeetechEmulatorProcess::Eeprom(int id) {
    std::istringstream in(child.Query("eeprom", "end\n"));

    for (std::string line; std::getline(in, line);) {
        int got = -1;
        ServoEeprom e;
        if (std::sscanf(line.c_str(),
                        "eeprom %d baud=%d delay=%d offset=%d mode=%d lock=%d writes=%llu", &got,
                        &e.baud, &e.delay, &e.offset, &e.mode, &e.lock, &e.writes) == 7 &&
            got == id)
            return e;
    }
    return {};
}

}  // namespace testsupport
