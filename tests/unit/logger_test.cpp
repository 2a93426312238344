// The logger reads its environment once per process, so every case runs the probe program
// in a child process with the environment under test.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "subprocess.h"

using testsupport::RunProcess;

namespace {

const char* kNotSetAll =
    "environment variable SPDLOG_STDOUT is not set, and set true\n"
    "environment variable SPDLOG_SYSTEMD is not set, and set false\n"
    "environment variable SPDLOG_LEVEL is not set, and set default level\n";

std::string Probe() {
    return testsupport::SelfDir() + "/log_probe";
}

testsupport::ProcessResult RunProbe(const std::map<std::string, std::string>& env,
                                    std::vector<std::string> lines) {
    lines.insert(lines.begin(), Probe());
    return RunProcess(lines, env);
}

const std::map<std::string, std::string> kQuiet = {
    {"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}};

// True when a journald listens on its socket; a socket file left behind by a journald that is
// gone refuses the connection.
bool JournaldListens() {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", "/run/systemd/journal/socket");
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

}  // namespace

TEST(Logger, NothingSetGivesThreeNoticesAndInfoLines) {
    auto r = RunProbe({}, {"info:hello", "debug:hidden", "error:bad"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(kNotSetAll) + "  1 [INFO] hello\n  2 [ERROR] bad\n");
}

TEST(Logger, NoNoticeBeforeTheFirstLine) {
    auto r = RunProbe({}, {});
    EXPECT_EQ(r.out, "");
}

TEST(Logger, ValidValuesGiveNoNotice) {
    auto r = RunProbe(kQuiet, {"warn:w"});
    EXPECT_EQ(r.out, "  1 [WARN] w\n");
}

TEST(Logger, WarningLevelDropsInfoWithoutAdvancingTheCounter) {
    auto env = kQuiet;
    env["SPDLOG_LEVEL"] = "warning";
    auto r = RunProbe(env, {"info:a", "debug:b", "warn:c", "info:d", "error:e"});
    EXPECT_EQ(r.out, "  1 [WARN] c\n  2 [ERROR] e\n");
}

TEST(Logger, DebugLevelShowsDebugLines) {
    auto env = kQuiet;
    env["SPDLOG_LEVEL"] = "debug";
    auto r = RunProbe(env, {"debug:d"});
    EXPECT_EQ(r.out, "  1 [DEBUG] d\n");
}

TEST(Logger, InvalidLevelNamesFallBackToInfo) {
    for (const char* value : {"warn", "WARNING", "err", "off", ""}) {
        auto env = kQuiet;
        env["SPDLOG_LEVEL"] = value;
        auto r = RunProbe(env, {"debug:x", "info:y"});
        EXPECT_EQ(r.out,
                  "environment variable SPDLOG_LEVEL is invalid, and set default level\n"
                  "  1 [INFO] y\n")
            << "SPDLOG_LEVEL=" << value;
    }
}

TEST(Logger, InvalidSinkSwitchesGiveNoticesInOrder) {
    auto r =
        RunProbe({{"SPDLOG_STDOUT", "yes"}, {"SPDLOG_SYSTEMD", "maybe"}, {"SPDLOG_LEVEL", "info"}},
                 {"info:z"});
    EXPECT_EQ(r.out,
              "environment variable SPDLOG_STDOUT is invalid, and set true\n"
              "environment variable SPDLOG_SYSTEMD is invalid, and set false\n"
              "  1 [INFO] z\n");
}

TEST(Logger, StdoutFalseSilencesTheConsole) {
    auto env = kQuiet;
    env["SPDLOG_STDOUT"] = "false";
    auto r = RunProbe(env, {"error:gone"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

TEST(Logger, CounterWrapsAtSevenBits) {
    auto r = RunProbe(kQuiet, {"repeat:129:info:x"});
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 129u);
    EXPECT_EQ(lines[0], "  1 [INFO] x");
    EXPECT_EQ(lines[126], "127 [INFO] x");
    EXPECT_EQ(lines[127], "  0 [INFO] x");
    EXPECT_EQ(lines[128], "  1 [INFO] x");
}

TEST(Logger, MessageLineEndingsAreKept) {
    auto r = RunProbe(kQuiet, {"info:crlf\r\n", "info:plain"});
    EXPECT_EQ(r.out, "  1 [INFO] crlf\r\n\n  2 [INFO] plain\n");
}

TEST(Logger, LibraryAndProgramShareOneCounter) {
    auto r = RunProbe(kQuiet, {"info:before", "lib", "info:after"});
    EXPECT_EQ(r.out,
              "  1 [INFO] before\n"
              "  2 [INFO] Uart /nonexistent/jointbus-probe already opened, reuse it.\r\n\n"
              "  3 [INFO] after\n");
}

// The journal sink against the real journal: skipped where no journald listens.
TEST(Logger, SystemdSinkWritesToTheJournal) {
    if (!JournaldListens()) GTEST_SKIP() << "no journald listens on /run/systemd/journal/socket";
    const std::string tag =
        "journal-check-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    auto r =
        RunProbe({{"SPDLOG_STDOUT", "false"}, {"SPDLOG_SYSTEMD", "true"}, {"SPDLOG_LEVEL", "info"}},
                 {"info:" + tag, "lib"});
    EXPECT_EQ(r.out, "");
    std::string seen;
    const std::string library = "CODE_FILE=driver/driver_uart/driver_uart.cpp";
    for (int i = 0; i < 50 && (seen.find(tag) == std::string::npos ||
                               seen.find(library, seen.find(tag)) == std::string::npos);
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        seen = RunProcess({"/usr/bin/journalctl", "-t", "spdlog", "-o", "verbose", "--no-pager",
                           "-n", "50"},
                          {})
                   .out;
    }
    const auto at = seen.find(tag);
    ASSERT_NE(at, std::string::npos) << seen;
    EXPECT_NE(seen.find("CODE_FUNC=LogOne"), std::string::npos);
    EXPECT_NE(seen.find("CODE_FILE="), std::string::npos);
    // The library's records name their source relative to the library root.
    EXPECT_NE(seen.find(library, at), std::string::npos) << seen;
    EXPECT_NE(seen.find("CODE_FUNC=GetUart"), std::string::npos);
}
