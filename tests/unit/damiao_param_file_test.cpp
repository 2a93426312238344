// Damiao motors from the library's parameter file, with files the tests write themselves.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "log_capture.h"
#include "pty.h"

using testsupport::LogCapture;
using testsupport::TempDir;

namespace {

std::string Write(const TempDir& dir, const std::string& text) {
    const std::string path = dir.File("motor_.yaml");
    std::ofstream(path) << text;
    return path;
}

damiaoMotor Blank() {
    return damiaoMotor(4310, 3, 0, 0x13, "", false, 15.0f, 1.0f);
}

}  // namespace

TEST(DamiaoParamFile, ReadsDeviceAndMode) {
    TempDir dir;
    std::string path =
        Write(dir, "damiaomotor3:\n  device: can1\n  mode: 512\nfeetechmotor1:\n  device: x\n");
    auto m = Blank();
    LogCapture log;
    EXPECT_EQ(m.function_get_para(3, path), 0);
    EXPECT_EQ(m.para.dev_name, "can1");
    EXPECT_EQ(m.para.mode, 512u);
    EXPECT_EQ(log.Count("[INFO] The motor can device is can1\r\n"), 1u);
    EXPECT_EQ(log.Count("[INFO] Load motor yamlfile success\r\n!"), 1u);
}

TEST(DamiaoParamFile, MissingEntryStoresNothing) {
    TempDir dir;
    std::string path = Write(dir, "damiaomotor3:\n  device: can1\n  mode: 512\n");
    auto m = Blank();
    LogCapture log;
    EXPECT_EQ(m.function_get_para(4, path), -1);
    EXPECT_EQ(m.para.dev_name, "");
    EXPECT_EQ(log.Count("[ERROR] YAML Error:  "), 1u);
    EXPECT_EQ(log.Count("invalid node"), 1u);
}

TEST(DamiaoParamFile, ValueConversions) {
    TempDir dir;
    auto m = Blank();
    std::string hex = Write(dir, "damiaomotor3: {device: can2, mode: 0x100}\n");
    EXPECT_EQ(m.function_get_para(3, hex), 0);
    EXPECT_EQ(m.para.mode, 256u);

    std::string empty = Write(dir, "damiaomotor3: {device: , mode: 0}\n");
    EXPECT_EQ(m.function_get_para(3, empty), 0);
    EXPECT_EQ(m.para.dev_name, "null");

    LogCapture log;
    std::string word = Write(dir, "damiaomotor3: {device: can5, mode: fast}\n");
    EXPECT_EQ(m.function_get_para(3, word), -1);
    EXPECT_EQ(m.para.dev_name, "can5");  // stored and logged before the failure
    EXPECT_EQ(log.Count("The motor can device is can5"), 1u);
    EXPECT_EQ(log.Count("bad conversion"), 1u);
    // Both lines name the device's own reader as their source, the device line first.
    std::istringstream sites(log.Sites());
    std::vector<std::string> lines;
    for (std::string line; std::getline(sites, line);)
        if (line.find("[") != std::string::npos) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u) << log.Sites();
    for (const auto& line : lines) EXPECT_EQ(line.rfind("function_get_para ", 0), 0u) << line;
    EXPECT_NE(lines[0].find("The motor can device is can5"), std::string::npos);
    EXPECT_NE(lines[1].find("[ERROR] YAML Error:  "), std::string::npos);

    std::string negative = Write(dir, "damiaomotor3: {device: can5, mode: -1}\n");
    EXPECT_EQ(m.function_get_para(3, negative), 0);
    EXPECT_EQ(m.para.mode, 0xFFFFFFFFu);
}

TEST(DamiaoParamFile, MissingOrBrokenFile) {
    TempDir dir;
    auto m = Blank();
    LogCapture log;
    std::string missing = dir.File("none.yaml");
    EXPECT_EQ(m.function_get_para(3, missing), -1);
    EXPECT_EQ(log.Count("bad file"), 1u);
    std::string broken = Write(dir, "damiaomotor3: [\n");
    EXPECT_EQ(m.function_get_para(3, broken), -1);
    std::string list = Write(dir, "- 1\n- 2\n");
    EXPECT_EQ(m.function_get_para(3, list), -1);
    EXPECT_EQ(log.Count("[ERROR] YAML Error:  "), 3u);
}

// The four-argument constructor reads the compiled-in default file; where it is missing the
// motor keeps defined settings: MIT mode, no interface.
TEST(DamiaoParamFile, ConstructorWithoutAFileKeepsDefinedSettings) {
    damiaoMotor m(4340, 7, 0x17, true);
    EXPECT_EQ(m.motor_id, 7u);
    EXPECT_EQ(m.master_id, 0x17u);
    EXPECT_TRUE(m.inverse);
    EXPECT_EQ(m.mode, 0u);
    EXPECT_EQ(m.kp, 15.0f);
    EXPECT_EQ(m.kd, 1.0f);
    EXPECT_EQ(m.T_MAX, 28);
}

// The optional feedback time-out: absent keeps 100 ms; a value is taken; a negative or
// textual value fails the read like any bad value.
TEST(DamiaoParamFile, FeedbackTimeout) {
    TempDir dir;
    auto m = Blank();
    EXPECT_EQ(m.getFeedbackTimeout(), 100u);
    std::string absent = Write(dir, "damiaomotor3: {device: can2, mode: 0}\n");
    EXPECT_EQ(m.function_get_para(3, absent), 0);
    EXPECT_EQ(m.para.feedbackTimeoutMs, 100u);
    std::string set = Write(dir, "damiaomotor3: {device: can2, mode: 0, feedback_timeout_ms: 0}\n");
    EXPECT_EQ(m.function_get_para(3, set), 0);
    EXPECT_EQ(m.para.feedbackTimeoutMs, 0u);
    for (const char* bad : {"-5", "soon", "1.5"}) {
        LogCapture log;
        std::string path = Write(dir, std::string("damiaomotor3: {device: can2, mode: 0, "
                                                  "feedback_timeout_ms: ") +
                                          bad + "}\n");
        EXPECT_EQ(m.function_get_para(3, path), -1) << bad;
        EXPECT_EQ(log.Count("[ERROR] YAML Error:  "), 1u) << bad;
    }
    m.setFeedbackTimeout(250);
    EXPECT_EQ(m.getFeedbackTimeout(), 250u);
    double age = 7;
    EXPECT_EQ(m.getFeedbackAge(age), 5004) << "no feedback yet";
    EXPECT_EQ(age, 7);
}
