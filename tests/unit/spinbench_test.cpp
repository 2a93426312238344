// The bench tool's start-up as a user meets it: options, help, version and configuration
// errors. None of these cases touches a bus.

#include <gtest/gtest.h>

#include <fstream>

#include "pty.h"
#include "subprocess.h"

using testsupport::RunProcess;
using testsupport::TempDir;

namespace {

const std::map<std::string, std::string> kEnv = {
    {"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}};

std::string Tool() {
    return testsupport::SelfDir() + "/../bin/spinbench";
}

testsupport::ProcessResult RunTool(std::vector<std::string> args,
                                   const std::map<std::string, std::string>& env = kEnv) {
    args.insert(args.begin(), Tool());
    return RunProcess(args, env);
}

std::string Write(const TempDir& dir, const std::string& name, const std::string& text) {
    const std::string path = dir.File(name);
    std::ofstream(path) << text;
    return path;
}

}  // namespace

TEST(Spinbench, HelpAndVersionExitWithoutTouchingAMotor) {
    auto help = RunTool({"-m", "2", "-h", "-v"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("  1 [INFO] \r\n-i/--inverse\t\t\tinverse motor direction\r\n", 0), 0u)
        << help.out;
    EXPECT_NE(help.out.find("-h/--help\t\t\tthis help\r\n\r\n\n"), std::string::npos);
    EXPECT_EQ(help.out.find("version:"), std::string::npos) << "options after -h are ignored";

    auto version = RunTool({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("  1 [INFO] jointbus version: 1.0.0.", 0), 0u) << version.out;
}

TEST(Spinbench, MissingConfigurationFile) {
    TempDir dir;
    auto r =
        RunProcess({"/bin/sh", "-c", "cd '" + dir.path() + "' && exec '" + Tool() + "'"}, kEnv);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "  1 [ERROR] config file motor.yaml not found, exit...\r\n\n");
    auto quiet = kEnv;
    quiet["SPDLOG_LEVEL"] = "warning";
    auto q = RunTool({"-c", dir.File("none.yaml"), "-h"}, quiet);
    EXPECT_EQ(q.out, "");  // the help text is an INFO line
}

TEST(Spinbench, UnusableConfigurationsStopWith255) {
    TempDir dir;
    const struct {
        const char* text;
        const char* expect;
    } cases[] = {
        {"motor_init_para: [\n", "[ERROR] config file"},             // not YAML
        {"other: 1\n", "No motors defined, exit...\r\n"},            // no motor list
        {"motor_init_para: 5\n", "No motors defined, exit...\r\n"},  // not a sequence
        {"motor_init_para:\n  - ~\n  - vendor: stepper\n", "Allocate Motor: stepper"},
        {"motor_init_para:\n  - id: 1\n", "Must specify motor vendor name!!!"},
        {"motor_init_para:\n  - vendor: damiao\n    id: one\n", "bad conversion"},
        {"motor_init_para:\n  - plain\n", "[ERROR] config file"},
        {"[1, 2]\n", "No motors defined"},
        {"motor_init_para:\n  - {vendor: damiao, id: 99999999999}\n", "bad conversion"},
        {"motor_init_para:\n  - {vendor: damiao, id: 1, kp: .nan}\n", "kp is NaN or inf"},
        {"motor_init_para:\n  - {vendor: damiao, id: 1, kd: -.inf}\n", "kd is NaN or inf"},
        {"motor_init_para:\n  - {vendor: feetech, id: .inf}\n", "id is NaN or inf"},
    };
    auto check = [&](const std::string& text, const char* expect) {
        const auto path = Write(dir, "m.yaml", text);
        auto r = RunTool({"-c", path});
        EXPECT_EQ(r.status, 255) << text.substr(0, 80);
        EXPECT_NE(r.out.find(expect), std::string::npos) << text.substr(0, 80) << r.out;
        EXPECT_EQ(r.out.find("init"), std::string::npos);
    };
    for (const auto& c : cases) check(c.text, c.expect);
    // Nesting deep enough to exhaust a recursive reader's stack.
    check("motor_init_para: " + std::string(100000, '[') + std::string(100000, ']') + "\n",
          "[ERROR] config file");
}

TEST(Spinbench, OptionLimitsAndLenientNumbers) {
    TempDir dir;
    const auto empty = Write(dir, "empty.yaml", "motor_init_para: []\n");
    const struct {
        std::vector<std::string> args;
        const char* expect;
    } cases[] = {
        {{"-p", "1000", "-m", "2"}, "target pos 480.000\n"},
        {{"-p", "-1000", "-m", "2"}, "target pos -1000.000\n"},
        {{"-s", "100"}, "step: 4.398, speed :43.982 rad/s\n"},
        {{"-f", "0"}, "step: 62.832, speed :6.283 rad/s\n"},
        {{"-f", "0.5"}, "step: 62.832, speed :6.283 rad/s\n"},
        {{"-f", "1000"}, "step: 0.016, speed :6.283 rad/s\n"},
        {{"-m", "abc"}, "run mode 0\n"},
        {{"-m", "7", "-i"}, "run mode 7\n"},
        {{"-i"}, "inverse: true\n"},
        {{"-s", "x"}, "step: 0.000, speed :0.000 rad/s\n"},
        {{"--bogus", "-m", "1"}, "run mode 1\n"},
    };
    for (const auto& c : cases) {
        auto args = c.args;
        args.push_back("-c");
        args.push_back(empty);
        auto r = RunTool(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.out.find(c.expect), std::string::npos) << c.expect << "\n" << r.out;
    }
}
