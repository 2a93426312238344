#include "jointbus/common/private_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "subprocess.h"
#include "wait.h"

using namespace std::chrono;
using testsupport::WaitFor;

// No check here depends on how fast the machine is: waits are bounded generously and
// assertions are about counts and orders, or about bounds that follow from measured time.
TEST(PrivateTimer, RunsEveryIntervalUntilStopped) {
    PrivateTimer timer;
    std::atomic<int> runs{0};
    const auto t0 = steady_clock::now();
    timer.start(5, [&] { runs.fetch_add(1); });
    ASSERT_TRUE(WaitFor([&] { return runs.load() >= 10; }, milliseconds(30000)));
    timer.stop();
    const auto elapsedMs = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    const int seen = runs.load();
    EXPECT_LE(seen, elapsedMs / 5 + 1) << "ran faster than the interval";
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

// A stop that waited out the sleep would take a minute.
TEST(PrivateTimer, StopCutsTheSleepShort) {
    PrivateTimer timer;
    std::atomic<bool> ran{false};
    timer.start(60000, [&] { ran = true; });
    ASSERT_TRUE(WaitFor([&] { return ran.load(); }, milliseconds(30000)));
    const auto t0 = steady_clock::now();
    timer.stop();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(30000));
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
    ASSERT_TRUE(WaitFor([&] { return runs.load() >= 5; }, milliseconds(30000)));
    timer.stop();
    const int first = runs.load();
    timer.start(5, task);
    EXPECT_TRUE(WaitFor([&] { return runs.load() >= first + 5; }, milliseconds(30000)));
    timer.stop();
    EXPECT_EQ(maxConcurrent.load(), 1);
}

TEST(PrivateTimer, StopFromTheTaskEndsTheLoop) {
    PrivateTimer timer;
    std::atomic<int> runs{0};
    timer.start(1, [&] {
        if (++runs == 3) timer.stop();
    });
    ASSERT_TRUE(WaitFor([&] { return !timer.running.load(); }, milliseconds(30000)));
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(runs.load(), 3);
}

// The task stops its own timer while another thread is inside stop(), joining that very
// thread: both calls return and the loop ends after the run in progress.
TEST(PrivateTimer, StopFromTheTaskWhileAnotherThreadStops) {
    for (int round = 0; round < 20; ++round) {
        PrivateTimer timer;
        std::atomic<bool> inside{false}, outsideStopping{false};
        std::atomic<int> runs{0};
        timer.start(1, [&] {
            ++runs;
            inside = true;
            while (!outsideStopping) std::this_thread::sleep_for(microseconds(100));
            // Give the outside caller time to reach the join; the check holds either way.
            std::this_thread::sleep_for(milliseconds(round % 3));
            timer.stop();
        });
        ASSERT_TRUE(WaitFor([&] { return inside.load(); }, milliseconds(30000)));
        auto outside = std::async(std::launch::async, [&] {
            outsideStopping = true;
            timer.stop();
        });
        if (outside.wait_for(seconds(60)) != std::future_status::ready) {
            std::fprintf(stderr, "deadlock: stop() from the task and from outside\n");
            std::_Exit(1);
        }
        EXPECT_EQ(runs.load(), 1);
        EXPECT_FALSE(timer.running.load());
    }
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
    ASSERT_TRUE(WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(m);
            return starts.size() >= 10;
        },
        milliseconds(30000)));
    timer.stop();
    std::lock_guard<std::mutex> lock(m);
    const double meanMs = duration<double, std::milli>(starts.back() - starts.front()).count() /
                          double(starts.size() - 1);
    EXPECT_GE(meanMs, 5.0);  // 1.7 ms run + 4 ms sleep: about 5.7 ms, never less than 5
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

// The fixed-rate schedule never runs ahead of its period, and a run that overruns is followed
// by one run at once and then the schedule again: the runs it missed are not made up in a
// burst. Only lower bounds on time are asserted: a sleep may end late, never early.
TEST(PrivateTimer, FixedRateNeverRunsAheadAndDoesNotMakeUpMissedRuns) {
    PrivateTimer timer;
    constexpr auto kPeriod = microseconds(2000);
    std::mutex m;
    std::vector<steady_clock::time_point> starts;
    steady_clock::time_point overrunEnd;
    const auto t0 = steady_clock::now();  // the schedule starts after this
    timer.startEvery(kPeriod, [&] {
        size_t n;
        {
            std::lock_guard<std::mutex> lock(m);
            starts.push_back(steady_clock::now());
            n = starts.size();
        }
        if (n == 5) {
            std::this_thread::sleep_for(milliseconds(30));  // 15 periods
            std::lock_guard<std::mutex> lock(m);
            overrunEnd = steady_clock::now();
        }
    });
    ASSERT_TRUE(WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(m);
            return starts.size() >= 12;
        },
        milliseconds(30000)));
    const auto t1 = steady_clock::now();
    timer.stop();
    std::lock_guard<std::mutex> lock(m);
    // Runs 1-5 are on the schedule: run k+1 no earlier than k periods after the start.
    for (size_t k = 1; k < 5; ++k) EXPECT_GE(starts[k] - t0, kPeriod * int(k)) << k;
    // Run 6 follows the overrun at once; run 7 waits a whole period after that.
    EXPECT_GE(starts[6] - overrunEnd, kPeriod);
    // Never more runs than periods elapsed since the overrun, plus the one at once.
    const auto sinceOverrun = duration_cast<microseconds>(t1 - overrunEnd);
    size_t after = 0;
    for (const auto& s : starts) after += s >= overrunEnd ? 1 : 0;
    EXPECT_LE(after, size_t(sinceOverrun / kPeriod) + 2);
    EXPECT_FALSE(timer.running.load());
}
