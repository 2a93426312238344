#include "jointbus/common/private_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include "subprocess.h"

using namespace std::chrono;

// Bounds are generous: the machine running the tests is shared and noisy.
TEST(PrivateTimer, RunsEveryIntervalUntilStopped) {
    PrivateTimer timer;
    std::atomic<int> runs{0};
    timer.start(5, [&] { runs.fetch_add(1); });
    std::this_thread::sleep_for(milliseconds(300));
    timer.stop();
    const int seen = runs.load();
    EXPECT_GE(seen, 10);  // about 60 expected
    EXPECT_LE(seen, 80);  // never faster than the interval
    EXPECT_FALSE(timer.running.load());
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(runs.load(), seen) << "task ran after stop";
}

TEST(PrivateTimer, StopWaitsForTheRunInProgress) {
    PrivateTimer timer;
    std::atomic<bool> inside{false}, finished{false};
    timer.start(5, [&] {
        inside = true;
        std::this_thread::sleep_for(milliseconds(50));
        finished = true;
    });
    while (!inside) std::this_thread::sleep_for(milliseconds(1));
    timer.stop();
    EXPECT_TRUE(finished.load());
}

TEST(PrivateTimer, StopCutsTheSleepShort) {
    PrivateTimer timer;
    timer.start(2000, [] {});
    std::this_thread::sleep_for(milliseconds(20));
    const auto t0 = steady_clock::now();
    timer.stop();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(1000));
}

TEST(PrivateTimer, CanBeStartedAgainAndNeverRunsTwice) {
    PrivateTimer timer;
    std::atomic<int> concurrent{0}, maxConcurrent{0}, runs{0};
    auto task = [&] {
        int now = ++concurrent;
        if (now > maxConcurrent) maxConcurrent = now;
        std::this_thread::sleep_for(milliseconds(1));
        --concurrent;
        ++runs;
    };
    timer.start(5, task);
    timer.start(5, task);  // already running: ignored
    std::this_thread::sleep_for(milliseconds(50));
    timer.stop();
    const int first = runs.load();
    timer.start(5, task);
    std::this_thread::sleep_for(milliseconds(50));
    timer.stop();
    EXPECT_GT(runs.load(), first);
    EXPECT_EQ(maxConcurrent.load(), 1);
}

TEST(PrivateTimer, StopFromTheTaskEndsTheLoop) {
    PrivateTimer timer;
    std::atomic<int> runs{0};
    timer.start(1, [&] {
        if (++runs == 3) timer.stop();
    });
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(runs.load(), 3);
}

TEST(PrivateTimer, GapFollowsTheRunTime) {
    PrivateTimer timer;
    std::vector<steady_clock::time_point> starts;
    std::mutex m;
    timer.start(5, [&] {
        {
            std::lock_guard<std::mutex> lock(m);
            starts.push_back(steady_clock::now());
        }
        std::this_thread::sleep_for(microseconds(1700));
    });
    std::this_thread::sleep_for(milliseconds(400));
    timer.stop();
    std::lock_guard<std::mutex> lock(m);
    ASSERT_GE(starts.size(), 10u);
    const double meanMs = duration<double, std::milli>(starts.back() - starts.front()).count() /
                          double(starts.size() - 1);
    EXPECT_GE(meanMs, 5.0);  // 1.7 ms run + 4 ms sleep: about 5.7 ms
    EXPECT_LT(meanMs, 20.0);
}

// The overrun warning is seen in a child process, where the logger prints to the console.
TEST(PrivateTimer, OverrunsAreReportedWithTheirDuration) {
    auto r = testsupport::RunProcess(
        {testsupport::SelfDir() + "/log_probe", "overrun"},
        {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}});
    std::istringstream in(r.out);
    int warnings = 0;
    for (std::string line; std::getline(in, line);) {
        double ms = 0;
        char tail[8] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "%*d [WARN] Duration: %lfms%7s", &ms, tail), 1) << line;
        EXPECT_GE(ms, 6.0);
        EXPECT_NE(line.find("ms\r"), std::string::npos);
        const auto dot = line.find('.');
        EXPECT_EQ(line.substr(dot + 3, 2), "ms");  // two decimals
        ++warnings;
        std::getline(in, line);  // the logger's own line feed after the message's \r\n
    }
    EXPECT_GE(warnings, 2);
    EXPECT_LE(warnings, 3);
}
