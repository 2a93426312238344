// The bench tool as a user meets it: options, help, version, configuration errors, and runs
// on the host (servos on pseudo-terminals) stopped by a signal.

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <tuple>

#include "child_process.h"
#include "feetech_emulator_process.h"
#include "pty.h"
#include "subprocess.h"

using testsupport::ChildProcess;
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
    // -h is the short help as it always was; --help-all names every option.
    EXPECT_EQ(help.out.find("--record"), std::string::npos);
    auto all = RunTool({"--help-all"});
    EXPECT_EQ(all.status, 0);
    for (const char* option : {"--inverse", "--mode", "--pos", "--speed", "--freq", "--config",
                               "--version", "--help", "--help-all", "--record", "--feedback-age",
                               "--bus", "--view", "--view-control", "--view-address"})
        EXPECT_NE(all.out.find(std::string(option) + " "), std::string::npos) << option;

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
        {"motor_init_para:\n  - {vendor: damiao, id: 1, feedback_timeout_ms: -1}\n",
         "feedback_timeout_ms must be a whole number from 0 to 60000"},
        {"motor_init_para:\n  - {vendor: damiao, id: 1, feedback_timeout_ms: 60001}\n",
         "feedback_timeout_ms must be a whole number from 0 to 60000"},
        {"motor_init_para:\n  - {vendor: damiao, id: 1, feedback_timeout_ms: .nan}\n",
         "feedback_timeout_ms is NaN or inf"},
        {"motor_init_para:\n  - {vendor: damiao, id: 1, feedback_timeout_ms: fast}\n",
         "bad conversion"},
        {"motor_init_para:\n  - {vendor: damiao, id: 1, feedback_timeout_ms: 2.5}\n",
         "bad conversion"},
        {"motor_init_para:\n  - {vendor: damiao, id: 2, dev_name: can0}\n"
         "  - {vendor: damiao, id: 2, dev_name: can1}\n"
         "  - {vendor: DAMIAO, id: 2, dev_name: can0}\n",
         "entries 1 and 3 are the same motor (damiao id 2 on can0)"},
        {"can_interfaces: {can0: {tick_us: 499}}\nmotor_init_para:\n  - {vendor: damiao}\n",
         "can_interfaces: can0: tick_us must be from 500 to 5000"},
        {"can_interfaces: {can0: {tick_us: 0}}\nmotor_init_para:\n  - {vendor: damiao}\n",
         "can_interfaces: can0: tick_us must be from 500 to 5000 (leave it out for the 5 ms "
         "timer), not 0"},
        {"can_interfaces: {can0: {frame_gap_us: 1001}}\nmotor_init_para:\n  - {vendor: damiao}\n",
         "can_interfaces: can0: frame_gap_us must be from 0 to 1000, not 1001"},
        {"can_interfaces: {can0: {tick_us: 1e3}}\nmotor_init_para:\n  - {vendor: damiao}\n",
         "can_interfaces: can0: tick_us must be a whole number"},
        {"can_interfaces: {can0: {can_fd: maybe}}\nmotor_init_para:\n  - {vendor: damiao}\n",
         "can_interfaces: can0: can_fd must be true or false"},
        {"can_interfaces: {can0: {tick: 1000}}\nmotor_init_para:\n  - {vendor: damiao}\n",
         "can_interfaces: can0: unknown key \"tick\" (tick_us, frame_gap_us, can_fd)"},
        {"can_interfaces: [can0]\nmotor_init_para:\n  - {vendor: damiao}\n",
         "can_interfaces must map each interface's name to its settings"},
        {"can_interfaces: {can0: 1000}\nmotor_init_para:\n  - {vendor: damiao}\n",
         "can_interfaces: can0 must be a map of tick_us, frame_gap_us and can_fd"},
        {"realtime: {priority: 100}\nmotor_init_para:\n  - {vendor: damiao}\n",
         "realtime: priority must be from 1 to 99"},
        {"realtime: {cpus: [0, 100000]}\nmotor_init_para:\n  - {vendor: damiao}\n",
         "realtime: cpus: this machine has CPUs 0 to"},
    };
    auto check = [&](const std::string& text, const char* expect) {
        const auto path = Write(dir, "m.yaml", text);
        auto r = RunTool({"-c", path});
        EXPECT_EQ(r.status, 255) << text.substr(0, 80);
        EXPECT_NE(r.out.find(expect), std::string::npos) << text.substr(0, 80) << r.out;
        // No motor was initialised (a WARN line may name the file's motor_init_para).
        std::string out = r.out;
        for (size_t at; (at = out.find("motor_init_para")) != std::string::npos;) out.erase(at, 15);
        EXPECT_EQ(out.find("init"), std::string::npos) << r.out;
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

// A run of the tool as a child process, stopped by SIGINT once `ready` shows in its output:
// it must end with status 0, having logged the signal and its exit.
void RunUntilSignal(const std::vector<std::string>& args, const std::string& ready,
                    std::string& out) {
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), Tool());
    ChildProcess tool(argv, kEnv);
    ASSERT_NE(tool.WaitForOutput(ready, std::chrono::seconds(60)), std::string::npos)
        << tool.Out();
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(std::chrono::seconds(60)), 0) << tool.Out();
    out = tool.Out();
    const auto signal = out.find("Get exit signal...\r\n");
    EXPECT_NE(signal, std::string::npos) << out;
    EXPECT_LT(signal, out.find("program exit...\r\n")) << out;
}

// NaN and infinities are refused only where the factory uses the value: an unknown key, an
// entry of an unknown vendor and a Damiao gain in a Feetech entry are ignored whatever they
// hold.
TEST(Spinbench, NonFiniteValuesInIgnoredKeysAreIgnored) {
    TempDir dir;
    const std::string a = Write(dir, "a.yaml",
                                "motor_init_para:\n  - {vendor: stepper, id: 2, kp: .inf, x: .nan}\n");
    auto none = RunTool({"-c", a});
    EXPECT_EQ(none.out.find("is NaN or inf"), std::string::npos) << none.out;
    EXPECT_NE(none.out.find("No motors defined"), std::string::npos) << none.out;
    // Skipped, as ever, but said: once, with what was likely meant where something is near.
    EXPECT_NE(none.out.find("[WARN] " + a + ": motor_init_para entry 1: unknown vendor "
                            "\"stepper\", the entry is skipped\r\n"),
              std::string::npos)
        << none.out;
    testsupport::Pty silent;
    for (const std::string& entry :
         {std::string("{vendor: damiao, id: 1, note: .nan, dev_name: nonexistent0, "
                      "feedback_timeout_ms: 0}"),
          "{vendor: feetech, id: 1, kp: .nan, dev_name: " + silent.path() + "}"}) {
        std::string out;
        RunUntilSignal({"-m", "3", "-c", Write(dir, "b.yaml", "motor_init_para:\n  - " + entry + "\n")},
                       "Allocate Motor", out);
        EXPECT_EQ(out.find("is NaN or inf"), std::string::npos) << entry << out;
        const char* unread = entry.find("damiao") != std::string::npos ? "note" : "kp";
        EXPECT_NE(out.find(std::string("entry 1: unknown key \"") + unread + "\""),
                  std::string::npos)
            << out;
        if (entry.find("damiao") != std::string::npos) {
            EXPECT_NE(out.find("feedback_timeout_ms: 0, the feedback watch is off\r\n"),
                      std::string::npos)
                << out;
        }
    }
}

// A stop signal while a servo homes (here one that never answers, so setHome would wait its
// 200 s) ends the wait: the tool says what it waits for once the wait is long, runs its stop
// sequence and exits 0.
TEST(Spinbench, SignalWhileAServoHomesStopsTheTool) {
    TempDir dir;
    testsupport::Pty silent;
    const auto path = Write(dir, "m.yaml",
                            "motor_init_para:\n  - {vendor: feetech, id: 3, baudrate: 1000000, "
                            "dev_name: " + silent.path() + "}\n");
    std::string out;
    RunUntilSignal({"-m", "3", "-c", path}, "waiting up to 200 s for Feetech servo 3", out);
    EXPECT_NE(out.find("The servo 3 setHome aborted.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Feetech motor 3 setEnableStatus: false."), std::string::npos) << out;
}

// The loop sleeps the whole period: the status lines of a run are never closer together on
// average than 1 / frequency (their stamps are whole milliseconds, hence the 1 ms slack).
TEST(Spinbench, LoopPeriodIsNeverShorterThanAsked) {
    TempDir dir;
    const std::string link = dir.File("ttyGRIP");
    testsupport::FeetechEmulatorProcess servo(link, "1", 1000000);
    ASSERT_TRUE(servo.ready());
    const auto path = Write(dir, "m.yaml",
                            "motor_init_para:\n  - {vendor: feetech, id: 1, baudrate: 1000000, "
                            "dev_name: " + link + "}\n");
    for (const auto& [freq, periodMs, lines] :
         {std::tuple<const char*, double, int>{"400", 2.5, 200}, {"10", 100.0, 6}}) {
        const bool extras = periodMs < 10;  // the first run asks for the extra status lines
        std::vector<std::string> argv = {Tool(), "-m", "3", "-f", freq, "-c", path};
        if (extras) argv.insert(argv.end(), {"--feedback-age", "--bus"});
        ChildProcess tool(argv, kEnv);
        size_t from = 0;
        for (int n = 0; n < lines && from != std::string::npos; ++n) {
            from = tool.WaitForOutput("motor ID: 1, curpos", std::chrono::seconds(60), from);
            if (from != std::string::npos) ++from;
        }
        tool.Signal(SIGINT);
        EXPECT_EQ(tool.Wait(std::chrono::seconds(60)), 0);
        // Status lines: "<n> [INFO] [<ms>] motor ID: 1, curpos: ...".
        std::vector<long long> stamps;
        const std::string out = tool.Out();
        const std::string tail = "] motor ID: 1, curpos";
        for (size_t at = out.find(tail); at != std::string::npos; at = out.find(tail, at + 1)) {
            const size_t open = out.rfind('[', at);
            if (open != std::string::npos) stamps.push_back(std::stoll(out.substr(open + 1)));
        }
        ASSERT_GE(stamps.size(), size_t(lines)) << freq;
        // With --feedback-age and --bus, mode 3 adds the age of each motor's feedback (a fresh
        // one: 0.xxx s) and its bus; by default the status lines are the status line, the
        // set-position line and the line ending alone.
        const size_t age = out.find("[INFO] , feedback age: 0.");
        const size_t bus = out.find("[INFO] , bus: " + link + "\n");
        if (extras) {
            ASSERT_NE(age, std::string::npos) << out.substr(0, 2000);
            EXPECT_EQ(out.substr(age + 28, 3), " s\n") << out.substr(age, 40);
            EXPECT_NE(bus, std::string::npos) << out.substr(0, 2000);
        } else {
            EXPECT_EQ(out.find("feedback age"), std::string::npos);
            EXPECT_EQ(bus, std::string::npos);
            const size_t status = out.find("] motor ID: 1, curpos");
            ASSERT_NE(status, std::string::npos);
            const size_t lineEnd = out.find('\n', status);
            const size_t next = out.find('\n', lineEnd + 1);
            const size_t last = out.find('\n', next + 1);
            EXPECT_NE(out.substr(lineEnd + 1, next - lineEnd).find("[INFO] , set pos: "),
                      std::string::npos);
            EXPECT_NE(out.substr(next + 1, last - next).find("[INFO] \r\n"), std::string::npos)
                << out.substr(status, 200);
        }
        // The servo homes at once: no line about a long wait.
        EXPECT_EQ(out.find("to finish homing"), std::string::npos) << out.substr(0, 2000);
        const double spanMs = double(stamps.back() - stamps.front());
        EXPECT_GE(spanMs + 1.0, periodMs * double(stamps.size() - 1)) << freq;
    }
}

// --view: bad values stop the tool with 255 before any motor is touched; a good one serves
// the page for the run, and the run ends as always on a signal.
TEST(Spinbench, LiveViewOptions) {
    TempDir dir;
    const std::string link = dir.File("ttyGRIP");
    testsupport::FeetechEmulatorProcess servo(link, "1", 1000000);
    ASSERT_TRUE(servo.ready());
    const auto path = Write(dir, "m.yaml",
                            "motor_init_para:\n  - {vendor: feetech, id: 1, baudrate: 1000000, "
                            "dev_name: " + link + "}\n");
    const struct {
        std::vector<std::string> args;
        const char* expect;
    } bad[] = {
        {{"--view", "http"}, "--view: the port must be a number from 0 to 65535, not \"http\""},
        {{"--view", "65536"}, "--view: the port must be a number from 0 to 65535, not \"65536\""},
        {{"--view", "-1"}, "--view: the port must be a number from 0 to 65535, not \"-1\""},
        {{"--view", "80x"}, "--view: the port must be a number from 0 to 65535, not \"80x\""},
        {{"--view-control"}, "--view-control and --view-address need --view PORT"},
        {{"--view", "0", "--view-address", "localhost"},
         "--view-address: \"localhost\" is not an IPv4 or IPv6 address"},
    };
    for (const auto& c : bad) {
        auto args = c.args;
        args.insert(args.end(), {"-m", "3", "-c", path});
        auto r = RunTool(args);
        EXPECT_EQ(r.status, 255) << c.expect;
        EXPECT_NE(r.out.find(c.expect), std::string::npos) << c.expect << "\n" << r.out;
        EXPECT_EQ(r.out.find("Allocate Motor"), std::string::npos) << "no motor was touched";
    }
    std::string out;
    RunUntilSignal({"--view", "0", "--view-control", "-m", "3", "-c", path},
                   "motor ID: 1, curpos", out);
    EXPECT_NE(out.find("live view: http://127.0.0.1:"), std::string::npos) << out;
    EXPECT_NE(out.find("(control allowed)"), std::string::npos) << out;
    EXPECT_LT(out.find("live view: http://"), out.find("motor ID: 1, curpos")) << out;
}
