#include "jointbus/common/trace_recorder.h"

#include <fmt/format.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/json_text.h"
#include "jointbus/common/logger.h"
#include "jointbus/common/motor_reading.h"

namespace {

using Clock = std::chrono::steady_clock;

using Reading = jointbus::MotorReading;

constexpr double kMinRateHz = 0.1;
constexpr double kMaxRateHz = 1000.0;
constexpr auto kWriterPause = std::chrono::milliseconds(100);
constexpr unsigned long long kFlushRows = 512;  // rows per write of the file

// One row of the file. Plain data, copied into the ring by value.
struct Sample {
    double t;
    uint32_t id;
    const char* family;  // a static name
    Reading r;
    const char* busCsv;   // the motor's bus as a CSV field and as a JSON string (Motor's own)
    const char* busJson;
};

struct Motor {
    jointbus::ObservedMotor seen;
    std::string busCsv, busJson;  // its bus, escaped once for each format
};

// A field as CSV writes it: quoted (with quotes doubled) when it holds a comma, a quote or a
// line break.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// Reads one motor, through getters that never wait on a bus. Sampler thread.
void Read(const Motor& m, Sample& s) {
    s.id = m.seen.motor->motor_id;
    s.family = m.seen.FamilyName();
    s.busCsv = m.busCsv.c_str();
    s.busJson = m.busJson.c_str();
    jointbus::ReadMotor(m.seen, s.r);
}

void AppendCsv(fmt::memory_buffer& out, const Sample& s) {
    auto to = std::back_inserter(out);
    fmt::format_to(to, "{:.6f},{},{},", s.t, s.id, s.family);
    if (s.r.hasTarget) fmt::format_to(to, "{:.6f}", s.r.target);
    fmt::format_to(to, ",{:.6f},{:.6f},{:.6f},{},{},{},", s.r.position, s.r.velocity, s.r.torque,
                   s.r.temperature, s.r.enabled ? 1 : 0, s.r.code);
    if (s.r.hasAge) fmt::format_to(to, "{:.6f}", s.r.age);
    fmt::format_to(to, ",{}\n", s.busCsv);
}

void AppendJson(fmt::memory_buffer& out, const Sample& s) {
    auto to = std::back_inserter(out);
    fmt::format_to(to, "{{\"t\": {:.6f}, \"id\": {}, \"family\": \"{}\", \"target\": ", s.t,
                   s.id, s.family);
    if (s.r.hasTarget)
        fmt::format_to(to, "{:.6f}", s.r.target);
    else
        fmt::format_to(to, "null");
    fmt::format_to(to,
                   ", \"position\": {:.6f}, \"velocity\": {:.6f}, \"torque\": {:.6f}, "
                   "\"temperature\": {}, \"enabled\": {}, \"code\": {}, \"age\": ",
                   s.r.position, s.r.velocity, s.r.torque, s.r.temperature, s.r.enabled ? 1 : 0, s.r.code);
    if (s.r.hasAge)
        fmt::format_to(to, "{:.6f}", s.r.age);
    else
        fmt::format_to(to, "null");
    fmt::format_to(to, ", \"bus\": {}}}\n", s.busJson);
}

}  // namespace

struct TraceRecorder::Impl {
    explicit Impl(unsigned ringSamples) : ring(std::max(2u, ringSamples)) {}

    std::vector<Motor> motors;
    std::vector<Sample> ring;  // allocated once; one producer (sampler), one consumer (writer)
    std::atomic<unsigned long long> head{0}, tail{0};
    std::atomic<unsigned long long> written{0}, lost{0};
    std::atomic<bool> running{false};
    std::atomic<int> samplerTid{0};
    std::FILE* file = nullptr;  // writer thread while recording
    bool json = false;
    bool writeFailed = false;  // writer thread
    std::string filePath;
    std::chrono::nanoseconds period{};
    Clock::time_point t0;
    std::thread sampler, writer;
    std::mutex wakeMutex;
    std::condition_variable wake;

    // Waits until `until` or a stop; false on a stop.
    bool SleepUntil(Clock::time_point until) {
        std::unique_lock<std::mutex> lock(wakeMutex);
        return !wake.wait_until(lock, until, [this] { return !running.load(); });
    }
};

TraceRecorder::TraceRecorder(unsigned ringSamples) : impl(std::make_unique<Impl>(ringSamples)) {}

TraceRecorder::~TraceRecorder() {
    stop();
}

int TraceRecorder::addMotor(CtrlMotorInterface* motor) {
    if (motor == nullptr || recording()) return -1;
    Motor m{jointbus::ObserveMotor(motor), {}, {}};
    m.busCsv = CsvField(m.seen.bus);
    m.busJson = jointbus_detail::JsonText(m.seen.bus);
    impl->motors.push_back(std::move(m));
    return 0;
}

int TraceRecorder::start(const std::string& path, double rateHz, bool jsonLines) {
    if (recording()) {
        LOG_ERROR("trace: already recording to {}\r\n", impl->filePath);
        return -1;
    }
    if (impl->motors.empty()) {
        LOG_ERROR("trace: no motor to record\r\n");
        return -1;
    }
    if (!(rateHz >= kMinRateHz && rateHz <= kMaxRateHz)) {
        LOG_ERROR("trace: rate {} Hz is outside {} to {} Hz\r\n", rateHz, kMinRateHz, kMaxRateHz);
        return -1;
    }
    std::FILE* file = std::fopen(path.c_str(), "we");
    if (file == nullptr) {
        LOG_ERROR("trace: cannot create {}: {}\r\n", path, std::strerror(errno));
        return -1;
    }
    Impl& d = *impl;
    d.file = file;
    d.filePath = path;
    d.json = jsonLines;
    d.writeFailed = false;
    d.head = d.tail = d.written = d.lost = 0;
    d.period = std::chrono::nanoseconds(static_cast<long long>(1e9 / rateHz));
    if (!jsonLines) {
        static const char kHeader[] =
            "t,id,family,target,position,velocity,torque,temperature,enabled,code,age,bus\n";
        if (!WriteOut(kHeader, sizeof kHeader - 1)) d.writeFailed = true;
    }
    d.t0 = Clock::now();
    d.running = true;
    // The sampler: one round of every motor each period, into the ring. It allocates
    // nothing and never waits on the writer: a full ring drops the sample.
    d.sampler = std::thread([&d] {
        d.samplerTid = int(syscall(SYS_gettid));
        auto next = d.t0;
        while (d.running.load()) {
            const auto now = Clock::now();
            const double t = std::chrono::duration<double>(now - d.t0).count();
            for (const Motor& m : d.motors) {
                const unsigned long long head = d.head.load(std::memory_order_relaxed);
                if (head - d.tail.load(std::memory_order_acquire) >= d.ring.size()) {
                    d.lost.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                Sample& s = d.ring[head % d.ring.size()];
                Read(m, s);
                s.t = t;
                d.head.store(head + 1, std::memory_order_release);
            }
            next += d.period;
            if (next < now) next = now + d.period;  // late (a stalled machine): no catching up
            if (!d.SleepUntil(next)) break;
        }
        d.samplerTid = 0;
    });
    // The writer: empties the ring into the file every 100 ms.
    d.writer = std::thread([this, &d] {
        fmt::memory_buffer out;
        unsigned long long rows = 0;  // rows in `out`
        auto flush = [&] {
            if (rows == 0) return;
            if (WriteOut(out.data(), out.size())) {
                d.written.fetch_add(rows);
            } else {
                d.lost.fetch_add(rows);
                if (!d.writeFailed) LOG_ERROR("trace: writing {} failed\r\n", d.filePath);
                d.writeFailed = true;
            }
            out.clear();
            rows = 0;
        };
        auto drain = [&] {
            const unsigned long long head = d.head.load(std::memory_order_acquire);
            for (unsigned long long tail = d.tail.load(std::memory_order_relaxed); tail != head;
                 ++tail) {
                Sample s = d.ring[tail % d.ring.size()];
                d.tail.store(tail + 1, std::memory_order_release);
                if (d.json) {
                    jointbus::MakeFinite(s.r);
                    AppendJson(out, s);
                } else {
                    AppendCsv(out, s);
                }
                if (++rows >= kFlushRows) flush();
            }
            flush();
        };
        while (d.SleepUntil(Clock::now() + kWriterPause)) drain();
        if (d.sampler.joinable()) d.sampler.join();  // its last samples land before the count
        drain();
        fmt::memory_buffer end;
        if (d.json)
            fmt::format_to(std::back_inserter(end), "{{\"samples\": {}, \"dropped\": {}}}\n",
                           d.written.load(), d.lost.load());
        else
            fmt::format_to(std::back_inserter(end), "# samples {}, dropped {}\n",
                           d.written.load(), d.lost.load());
        WriteOut(end.data(), end.size());
    });
    return 0;
}

void TraceRecorder::stop() {
    Impl& d = *impl;
    {
        std::lock_guard<std::mutex> lock(d.wakeMutex);
        if (!d.running.exchange(false)) return;
        d.wake.notify_all();
    }
    if (d.writer.joinable()) d.writer.join();  // the writer joins the sampler first
    if (d.sampler.joinable()) d.sampler.join();
    if (d.file != nullptr) {
        if (std::fclose(d.file) != 0) LOG_ERROR("trace: closing {} failed\r\n", d.filePath);
        d.file = nullptr;
    }
}

bool TraceRecorder::recording() const {
    return impl->running.load();
}

unsigned long long TraceRecorder::samples() const {
    return impl->written.load();
}

unsigned long long TraceRecorder::dropped() const {
    return impl->lost.load();
}

const std::string& TraceRecorder::path() const {
    return impl->filePath;
}

int TraceRecorder::samplerThreadId() const {
    return impl->samplerTid.load();
}

bool TraceRecorder::WriteOut(const char* data, size_t size) {
    return std::fwrite(data, 1, size, impl->file) == size && std::fflush(impl->file) == 0;
}
