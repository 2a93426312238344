// Motors kept in static storage are destroyed after main returns, when the process tears
// down; the library's bus threads and services must still be there for them, and the
// process must end cleanly.

#include <gtest/gtest.h>

#include "pty.h"
#include "subprocess.h"

using testsupport::RunProcess;

namespace {

const std::map<std::string, std::string> kEnv = {
    {"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}};

testsupport::ProcessResult Probe(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testsupport::SelfDir() + "/static_motor_probe"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, kEnv, 60);
}

}  // namespace

TEST(StaticStorage, FeetechServoDestroyedAfterMain) {
    testsupport::Pty pty;
    const auto r = Probe({"feetech", pty.path()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("init 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("servo id:1 remove..."), std::string::npos) << "logged at exit";
}

TEST(StaticStorage, DamiaoMotorDestroyedAfterMain) {
    const auto r = Probe({"damiao"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("init 0\n"), std::string::npos) << r.out;
}
