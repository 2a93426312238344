// Test entry point: the logger is quiet on the console (set JOINTBUS_TEST_VERBOSE=1 to see
// it) and shows DEBUG lines so that captures can assert on them.

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("SPDLOG_LEVEL", "debug", 0);
    setenv("SPDLOG_SYSTEMD", "false", 0);
    setenv("SPDLOG_STDOUT", std::getenv("JOINTBUS_TEST_VERBOSE") ? "true" : "false", 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
