// Test entry point: the logger is quiet on the console (set JOINTBUS_TEST_VERBOSE=1 to see
// it), shows DEBUG lines, and gets its capturing sink before any library thread runs.

#include <gtest/gtest.h>

#include <cstdlib>

#include "log_capture.h"

int main(int argc, char** argv) {
    setenv("SPDLOG_LEVEL", "debug", 0);
    setenv("SPDLOG_SYSTEMD", "false", 0);
    setenv("SPDLOG_STDOUT", std::getenv("JOINTBUS_TEST_VERBOSE") ? "true" : "false", 0);
    testsupport::InstallLogCapture();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
