#include "motor_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "jointbus/common/logger.h"
#include "jointbus/common/motor_factory.h"

namespace jointbus_tools {
namespace {

// Signals: the handler only counts them and wakes the main thread's sleep; the main thread
// does the logging.
std::atomic<int> signalsReceived{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be lock-free");
int wakePipe[2] = {-1, -1};
int signalsLogged = 0;
// The motor whose homing the main thread waits for, if any: a stop signal cuts that wait
// short (a family's abortHome only stores a lock-free flag, so the handler may call it). The
// wait is filled in before it is published.
struct HomingWait {
    void (*abort)(CtrlMotorInterface*) = nullptr;
    CtrlMotorInterface* motor = nullptr;
} homingWait;
std::atomic<const HomingWait*> homing{nullptr};
static_assert(std::atomic<const HomingWait*>::is_always_lock_free, "the handler reads it");

void sig_handler(int sig) {
    if (sig != SIGINT && sig != SIGTERM) return;
    signalsReceived.fetch_add(1);
    if (const HomingWait* wait = homing.load()) wait->abort(wait->motor);
    const char byte = 1;
    if (write(wakePipe[1], &byte, 1) < 0) {
        // The pipe is full: the main thread is awake already.
    }
}

}  // namespace

bool StopRequested() {
    const int received = signalsReceived.load();
    while (signalsLogged < received) {
        LOG_INFO("Get exit signal...\r\n");
        ++signalsLogged;
    }
    return received > 0;
}

void SleepUs(long us) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    while (!StopRequested()) {
        const long long leftNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     deadline - std::chrono::steady_clock::now())
                                     .count();
        if (leftNs <= 0) return;
        const timespec left{time_t(leftNs / 1000000000), long(leftNs % 1000000000)};
        pollfd p{wakePipe[0], POLLIN, 0};
        if (ppoll(&p, 1, &left, nullptr) > 0) {
            char drain[16];
            if (read(wakePipe[0], drain, sizeof drain) < 0) {
                // Non-blocking and already drained.
            }
        }
    }
}

bool CatchStopSignals() {
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        LOG_ERROR("pipe2: {}\r\n", strerror(errno));
        return false;
    }
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
}

namespace {

// Says what the tool waits for while a motor homes slowly, on a thread of its own for as long
// as the object lives: nothing for a homing that ends within a second, so that a normal run's
// output is what it always was; then one line, and a progress line every 5 s.
class HomingProgress {
public:
    HomingProgress(const MotorFamily* family, unsigned id)
        : worker([this, family, id] { Report(family->name, id); }) {}
    ~HomingProgress() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        wake.notify_all();
        worker.join();
    }
    HomingProgress(const HomingProgress&) = delete;
    HomingProgress& operator=(const HomingProgress&) = delete;

private:
    void Report(const char* name, unsigned id) {
        std::unique_lock<std::mutex> lock(mutex);
        auto ended = [this] { return done; };
        if (wake.wait_for(lock, std::chrono::seconds(1), ended)) return;
        LOG_INFO("waiting up to 200 s for {} {} to finish homing\r\n", name, id);
        for (int waited = 1; !wake.wait_for(lock, std::chrono::seconds(5), ended);) {
            waited += 5;
            LOG_INFO("still waiting for {} {} to finish homing: {} s so far\r\n", name, id,
                     waited);
        }
    }
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::thread worker;  // last: starts once the rest is built
};

}  // namespace

void StartMotors(const std::vector<std::shared_ptr<CtrlMotorInterface>>& motors,
                 const std::function<void()>& beforeEnable) {
    for (const auto& motor : motors) {
        if (StopRequested()) break;
        motor->init();
        if (StopRequested()) break;
        // A motor that homes slowly (a servo: up to 200 s) does so before setHome returns:
        // say what the tool waits for once the wait is long, and let a stop signal cut it
        // short.
        const MotorFamily* family = MotorFamilyOf(*motor);
        std::unique_ptr<HomingProgress> progress;
        if (MotorHomesSlowly(*motor)) {
            progress = std::make_unique<HomingProgress>(family, motor->motor_id);
            homingWait = {family->abortHome, motor.get()};
            homing.store(&homingWait);
            if (StopRequested()) homingWait.abort(motor.get());  // a signal just before
        }
        motor->setHome(200);
        homing.store(nullptr);
        progress.reset();
        if (StopRequested()) break;
        if (beforeEnable) beforeEnable();
        motor->setEnableStatus(true);
    }
}


}  // namespace jointbus_tools
