#pragma once

// Runs a task periodically on a thread of its own, keeping a minimum gap between runs: after
// each run it sleeps the interval minus the run time (in whole milliseconds) and warns about
// runs that took the whole interval or longer; startEvery runs it on a fixed-rate schedule in
// microseconds instead. Times are taken from the steady clock, so a step of the wall clock
// cannot stall the loop.

#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "jointbus/common/logger.h"

class PrivateTimer {
public:
    PrivateTimer() = default;
    PrivateTimer(const PrivateTimer&) = delete;
    PrivateTimer& operator=(const PrivateTimer&) = delete;
    ~PrivateTimer() { stop(); }

    // Starts the loop with `interval` in milliseconds. Does nothing while a loop is running,
    // so the task never runs concurrently with itself. Returns at once.
    template <class F>
    void start(int interval, F task) {
        std::lock_guard<std::mutex> control(controlMutex);
        if (running.load(std::memory_order_relaxed)) return;
        JoinLocked();
        running.store(true, std::memory_order_relaxed);
        worker = std::thread([this, interval, task]() mutable { Loop(interval, task); });
    }

    // Starts the loop on a fixed-rate schedule: a run every `period`, each due a period after
    // the last was due, whatever the runs take. A run that ends after the next was due is
    // followed at once by the next, and the schedule goes on from there: missed runs are not
    // made up. Late runs are counted and reported at most once a second. Does nothing while a
    // loop is running. Returns at once.
    template <class F>
    void startEvery(std::chrono::microseconds period, F task) {
        std::lock_guard<std::mutex> control(controlMutex);
        if (running.load(std::memory_order_relaxed)) return;
        JoinLocked();
        running.store(true, std::memory_order_relaxed);
        worker = std::thread([this, period, task]() mutable { LoopEvery(period, task); });
    }

    // Clears `running`; the loop ends after the run in progress and the task is not run
    // again. Called from any thread but the timer's own, it also waits for that run to end.
    // Called from the task itself it only clears the flag, without taking controlMutex: an
    // outside stop() may hold that lock while it joins this very thread.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(sleepMutex);
            running.store(false, std::memory_order_relaxed);
            wake.notify_all();
        }
        if (workerId.load() == std::this_thread::get_id()) return;
        std::lock_guard<std::mutex> control(controlMutex);
        JoinLocked();
    }

    std::atomic<bool> running{false};

private:
    template <class F>
    void Loop(int interval, F& task) {
        using namespace std::chrono;
        workerId.store(std::this_thread::get_id());
        // Tasks pause for about 100 µs between frames; under the default timer slack (50 µs)
        // such a pause lasts 150 µs or more, and every tick with it. This thread wakes within
        // a few µs of each deadline instead.
        prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
        while (running.load(std::memory_order_relaxed)) {
            const auto t0 = steady_clock::now();
            task();
            const long long elapsedNs =
                duration_cast<nanoseconds>(steady_clock::now() - t0).count();
            const long long elapsedMs = elapsedNs / 1000000;
            if (elapsedMs >= interval) {
                LOG_WARN("Duration: {:.02f}ms\r\n", static_cast<double>(elapsedNs / 1000) / 1000.0);
                continue;
            }
            std::unique_lock<std::mutex> lock(sleepMutex);
            wake.wait_for(lock, milliseconds(interval - elapsedMs),
                          [this] { return !running.load(std::memory_order_relaxed); });
        }
    }

    template <class F>
    void LoopEvery(std::chrono::microseconds period, F& task) {
        using namespace std::chrono;
        workerId.store(std::this_thread::get_id());
        prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
        auto due = steady_clock::now();
        auto reported = due;
        long long late = 0;
        while (running.load(std::memory_order_relaxed)) {
            task();
            due += period;
            const auto now = steady_clock::now();
            if (now >= due) {
                due = now;
                ++late;
                if (now - reported >= seconds(1)) {
                    LOG_WARN("{} runs late in {:.1f} s at a period of {} us\r\n", late,
                             duration<double>(now - reported).count(), period.count());
                    late = 0;
                    reported = now;
                }
                continue;
            }
            std::unique_lock<std::mutex> lock(sleepMutex);
            wake.wait_until(lock, due, [this] { return !running.load(std::memory_order_relaxed); });
        }
    }

    void JoinLocked() {
        if (!worker.joinable()) return;
        worker.join();
        workerId.store(std::thread::id());  // a later thread may be given the same id
    }

    static constexpr unsigned long kTimerSlackNs = 2000;
    std::mutex controlMutex;  // guards `worker`
    std::mutex sleepMutex;    // lets stop() cut a sleep short
    std::condition_variable wake;
    std::thread worker;
    std::atomic<std::thread::id> workerId{};  // set by the loop thread before its first run
};
