#include "jointbus/common/live_view.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <fmt/format.h>
#include <httplib.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "common/json_text.h"
#include "jointbus/common/bus_counters.h"
#include "jointbus/common/logger.h"
#include "jointbus/common/motor_limits.h"
#include "jointbus/common/motor_reading.h"
#include "jointbus/common/result_codes.h"
#include "live_view_page.h"

namespace jointbus {

namespace {

using Clock = std::chrono::steady_clock;
using jointbus_detail::JsonText;

constexpr double kMinRateHz = 1.0;
constexpr double kMaxRateHz = 50.0;
constexpr double kWindowSeconds = 10.0;  // the charts' span, and what a new page is sent
constexpr int kMaxStreams = 4;            // open event streams; more get 503
constexpr int kWorkers = kMaxStreams + 4;  // so that streams never starve the other requests
constexpr size_t kMaxRequestBytes = 4096;
constexpr auto kKeepAlive = std::chrono::seconds(1);  // a comment on an idle stream
constexpr int kDisableWaitMs = 3000;   // STOP: how long every motor gets to report disabled
constexpr double kMaxTargetRad = 100.0;  // beyond it a target is a typo, not a position
// A target from the page is approached at this speed, a step each sample, never in one jump:
// a jump would be a torque step on a joint, and a servo ignores one of more than 10 degrees.
constexpr double kRampRadPerSecond = 1.0;
constexpr const char* kDefaultAssetDir = "/usr/share/javascript/dygraphs";

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return bool(in) || in.eof();
}

std::string MakeToken() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    std::string token;
    for (size_t i = 0; i < sizeof bytes; ++i) {
        // Should the kernel's source fail, the clock still makes the token unguessable
        // enough for a bench tool, and never empty.
        const unsigned char b =
            i < got ? bytes[i]
                    : (unsigned char)(Clock::now().time_since_epoch().count() >> (i % 8));
        token += fmt::format("{:02x}", b);
    }
    return token;
}

// 127.0.0.0/8, ::1 and IPv4-mapped loopback.
bool IsLoopback(const std::string& address) {
    std::string a = address;
    if (a.rfind("::ffff:", 0) == 0) a = a.substr(7);
    in_addr v4{};
    if (inet_pton(AF_INET, a.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, a.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

bool IsAddress(const std::string& address) {
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, address.c_str(), &v4) == 1 ||
           inet_pton(AF_INET6, address.c_str(), &v6) == 1;
}

// The host part of a Host header: "[::1]:80" gives "::1", "localhost:80" gives "localhost".
std::string HostOf(const std::string& header) {
    if (!header.empty() && header[0] == '[') {
        const size_t close = header.find(']');
        return close == std::string::npos ? std::string() : header.substr(1, close - 1);
    }
    return header.substr(0, header.find(':'));
}

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= (unsigned char)(a[i] ^ b[i]);
    return diff == 0;
}

// A whole string as a finite number, or false.
bool ParseNumber(const std::string& text, double& out) {
    if (text.empty() || text.size() > 32) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(out);
}

void Reply(httplib::Response& res, int status, const std::string& json) {
    res.status = status;
    res.set_content(json + "\n", "application/json");
}

void Refuse(httplib::Response& res, int status, const std::string& why) {
    Reply(res, status, fmt::format("{{\"error\": {}}}", JsonText(why)));
}

std::string FormatValue(bool has, double value) {
    return has ? fmt::format("{:.4f}", value) : std::string("null");
}

}  // namespace

struct LiveView::Impl {
    // Set before start, read-only while serving.
    std::vector<ObservedMotor> motors;
    std::vector<std::string> buses;      // each bus once, in the order of the motors
    std::string address = kDefaultAddress;
    bool control = false;
    double rateHz = kDefaultRateHz;
    std::string assetDir = kDefaultAssetDir;
    std::string dygraphJs, dygraphCss, meta, tokenText;
    bool loopbackOnly = true;
    std::atomic<int> boundPort{0};

    std::unique_ptr<httplib::Server> server;
    std::thread listener, sampler;
    std::atomic<bool> running{false};
    std::atomic<bool> listening{false};  // until the listening thread returns
    std::atomic<int> openStreams{0};
    std::atomic<unsigned long long> sampleCount{0};

    // The samples of the last kWindowSeconds, as JSON, the newest numbered `lastSeq`.
    std::mutex ringMutex;
    std::condition_variable ringWake;
    std::deque<std::string> ring;
    size_t ringCapacity = 0;
    unsigned long long lastSeq = 0;

    std::mutex controlMutex;  // one motor action at a time: STOP never interleaves with one
    // Held for every call on a motor from the view's threads (a sampling round, each step of
    // an action), so that a motor without locks of its own is never used from two at once.
    std::mutex motorsMutex;
    // Targets from the page on their way, one per motor (under motorsMutex).
    struct Ramp {
        bool active = false;
        double at = 0, goal = 0;
    };
    std::vector<Ramp> ramps;

    std::string MetaJson() const;
    void Sample(Clock::time_point t0);
    std::string SampleJson(double t, std::vector<BusCounters>& prev,
                           std::vector<double>& framesPerSecond, double& rateT) const;
    void StepRamps();
    void Route();
    bool Authorized(const httplib::Request& req, httplib::Response& res) const;
    void Stream(httplib::Response& res);
    void Stop(httplib::Response& res);
    void Act(const httplib::Request& req, httplib::Response& res);
};

std::string LiveView::Impl::MetaJson() const {
    fmt::memory_buffer out;
    auto to = std::back_inserter(out);
    fmt::format_to(to, "{{\"motors\": [");
    for (size_t i = 0; i < motors.size(); ++i) {
        const auto& m = motors[i];
        const size_t bus = size_t(std::find(buses.begin(), buses.end(), m.bus) - buses.begin());
        fmt::format_to(to, "{}{{\"family\": \"{}\", \"bus\": {}, \"busIndex\": {}, \"id\": {}}}",
                       i ? ", " : "", m.FamilyName(), JsonText(m.bus),
                       bus, m.motor->motor_id);
    }
    fmt::format_to(to, "], \"buses\": [");
    for (size_t i = 0; i < buses.size(); ++i)
        fmt::format_to(to, "{}{}", i ? ", " : "", JsonText(buses[i]));
    fmt::format_to(to, "], \"control\": {}, \"rate\": {}, \"window\": {}, \"codes\": {{",
                   control ? "true" : "false", rateHz, kWindowSeconds);
    bool first = true;
    for (const auto& entry : kResultCodes) {
        if (entry.code == 0) continue;
        fmt::format_to(to, "{}\"{}\": {}", first ? "" : ", ", entry.code,
                       JsonText(entry.meaning));
        first = false;
    }
    fmt::format_to(to, "}}}}");
    return fmt::to_string(out);
}

// One round: every motor as [position, target, velocity, torque, enabled, code, age,
// temperature, commands clamped by its limits], every bus as [frames sent per second, write
// failures, offline episodes].
std::string LiveView::Impl::SampleJson(double t, std::vector<BusCounters>& prev,
                                       std::vector<double>& framesPerSecond,
                                       double& rateT) const {
    fmt::memory_buffer out;
    auto to = std::back_inserter(out);
    fmt::format_to(to, "{{\"t\": {:.3f}, \"m\": [", t);
    for (size_t i = 0; i < motors.size(); ++i) {
        MotorReading r;
        ReadMotor(motors[i], r);
        MakeFinite(r);
        fmt::format_to(to, "{}[{:.4f}, {}, {:.4f}, {:.4f}, {}, {}, {}, {}, {}]", i ? ", " : "",
                       r.position, FormatValue(r.hasTarget, r.target), r.velocity, r.torque,
                       r.enabled ? 1 : 0, r.code,
                       r.hasAge ? fmt::format("{:.3f}", r.age) : std::string("null"),
                       r.temperature, MotorLimitHits(motors[i].motor));
    }
    // Frames per second over the last second or so, not per sample: a 25 Hz count of a
    // 200 Hz bus would jitter by whole frames.
    const bool newRate = t - rateT >= 1.0;
    fmt::format_to(to, "], \"b\": [");
    for (size_t i = 0; i < buses.size(); ++i) {
        const BusCounters now = ReadBusCounters(buses[i]);
        if (newRate) {
            framesPerSecond[i] = double(now.framesSent - prev[i].framesSent) / (t - rateT);
            prev[i] = now;
        }
        fmt::format_to(to, "{}[{:.0f}, {}, {}]", i ? ", " : "", framesPerSecond[i],
                       now.writeFailures, now.offlineEpisodes);
    }
    if (newRate) rateT = t;
    fmt::format_to(to, "]}}");
    return fmt::to_string(out);
}

// The sampler: a round of every motor each period into the ring; late rounds are not caught
// up. Sampler thread.
void LiveView::Impl::Sample(Clock::time_point t0) {
    std::vector<BusCounters> prev(buses.size());
    for (size_t i = 0; i < buses.size(); ++i) prev[i] = ReadBusCounters(buses[i]);
    std::vector<double> framesPerSecond(buses.size(), 0.0);
    double rateT = 0;
    const auto period = std::chrono::nanoseconds(static_cast<long long>(1e9 / rateHz));
    auto next = t0;
    while (running.load()) {
        const auto now = Clock::now();
        const double t = std::chrono::duration<double>(now - t0).count();
        std::string json;
        {
            std::lock_guard<std::mutex> lock(motorsMutex);
            StepRamps();
            json = SampleJson(t, prev, framesPerSecond, rateT);
        }
        {
            std::lock_guard<std::mutex> lock(ringMutex);
            ring.push_back(std::move(json));
            if (ring.size() > ringCapacity) ring.pop_front();
            ++lastSeq;
        }
        sampleCount.fetch_add(1);
        ringWake.notify_all();
        next += period;
        if (next < now) next = now + period;
        std::unique_lock<std::mutex> lock(ringMutex);
        ringWake.wait_until(lock, next, [this] { return !running.load(); });
    }
}

// Moves each target from the page one step closer to its goal. Sampler thread, under
// motorsMutex.
void LiveView::Impl::StepRamps() {
    const double step = kRampRadPerSecond / rateHz;
    for (size_t i = 0; i < ramps.size(); ++i) {
        Ramp& r = ramps[i];
        if (!r.active) continue;
        r.at += std::clamp(r.goal - r.at, -step, step);
        if (r.at == r.goal) r.active = false;
        motors[i].motor->setMotorPosition(r.at);
    }
}

// Requests that act on motors carry the token; the page served to a loopback client has it.
bool LiveView::Impl::Authorized(const httplib::Request& req, httplib::Response& res) const {
    if (SameText(req.get_header_value("X-Jointbus-Token"), tokenText)) return true;
    Refuse(res, 403, "this request needs the live view's token (X-Jointbus-Token)");
    return false;
}

// An event stream: the motors first (event "meta"), then the samples of the last window, then
// each new sample as it is taken. A worker thread per stream, until the browser goes or the
// view stops.
void LiveView::Impl::Stream(httplib::Response& res) {
    if (openStreams.fetch_add(1) >= kMaxStreams) {
        openStreams.fetch_sub(1);
        Refuse(res, 503, fmt::format("at most {} pages may watch at once", kMaxStreams));
        return;
    }
    res.set_header("Cache-Control", "no-store");
    struct Cursor {
        bool metaSent = false;
        unsigned long long seq = 0;
    };
    auto cursor = std::make_shared<Cursor>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, cursor](size_t, httplib::DataSink& sink) {
            std::string out;
            if (!cursor->metaSent) {
                out = "event: meta\ndata: " + meta + "\n\n";
                cursor->metaSent = true;
            }
            {
                std::unique_lock<std::mutex> lock(ringMutex);
                ringWake.wait_for(lock, kKeepAlive, [&] {
                    return !running.load() || lastSeq > cursor->seq || !out.empty();
                });
                if (!running.load()) return false;
                const unsigned long long first = lastSeq - ring.size() + 1;
                for (unsigned long long s = std::max(cursor->seq + 1, first); s <= lastSeq; ++s) {
                    out += "data: ";
                    out += ring[size_t(s - first)];
                    out += "\n\n";
                }
                cursor->seq = lastSeq;
            }
            if (out.empty()) out = ": idle\n\n";  // finds a browser that has gone
            return sink.write(out.data(), out.size());
        },
        [this](bool) { openStreams.fetch_sub(1); });
}

// STOP: holds every motor where it stands, disables them all, and waits (3 s in all) until
// each reports disabled. Every motor gets its frames before any wait begins.
void LiveView::Impl::Stop(httplib::Response& res) {
    std::lock_guard<std::mutex> lock(controlMutex);
    LOG_WARN("live view: STOP, holding and disabling {} motors\r\n", motors.size());
    {
        std::lock_guard<std::mutex> motorsLock(motorsMutex);
        for (auto& r : ramps) r.active = false;
        for (const auto& m : motors) {
            MotorReading r;
            ReadMotor(m, r);
            if (std::isfinite(r.position)) m.motor->setMotorPosition(r.position);
            m.motor->setEnableStatus(false);
        }
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kDisableWaitMs);
    std::vector<size_t> enabled;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        enabled.clear();
        std::lock_guard<std::mutex> motorsLock(motorsMutex);
        for (size_t i = 0; i < motors.size(); ++i) {
            MotorReading r;
            ReadMotor(motors[i], r);
            if (r.enabled) enabled.push_back(i);
        }
    } while (!enabled.empty() && Clock::now() < deadline);
    for (size_t i : enabled)
        LOG_ERROR("live view: {} motor {} on {} still reports enabled after STOP\r\n",
                  motors[i].FamilyName(), motors[i].motor->motor_id,
                  motors[i].bus);
    Reply(res, 200,
          fmt::format("{{\"stopped\": {}, \"stillEnabled\": [{}]}}", motors.size(),
                      fmt::join(enabled, ", ")));
}

// POST /api/motor/N/enable, /disable, /target?value=RAD. Only with control allowed.
void LiveView::Impl::Act(const httplib::Request& req, httplib::Response& res) {
    if (!control) {
        Refuse(res, 403, "control was not allowed when the view started");
        return;
    }
    if (!Authorized(req, res)) return;
    const std::string indexText = req.matches[1].str();
    const std::string action = req.matches[2].str();
    if (indexText.size() > 6) {
        Refuse(res, 404, "no such motor");
        return;
    }
    const size_t index = size_t(std::strtoul(indexText.c_str(), nullptr, 10));
    if (index >= motors.size()) {
        Refuse(res, 404, "no such motor");
        return;
    }
    CtrlMotorInterface* motor = motors[index].motor;
    double value = 0;
    if (action == "target") {
        const std::string text =
            req.has_param("value") ? req.get_param_value("value") : std::string();
        if (!ParseNumber(text, value) || std::fabs(value) > kMaxTargetRad) {
            Refuse(res, 400,
                   fmt::format("value must be a number of radians within ±{}", kMaxTargetRad));
            return;
        }
    }
    int result = 0;
    {
        std::lock_guard<std::mutex> lock(controlMutex);
        std::lock_guard<std::mutex> motorsLock(motorsMutex);
        Ramp& ramp = ramps[index];
        if (action == "target") {
            // From where the motor is told to be now: its target, else its position.
            MotorReading r;
            ReadMotor(motors[index], r);
            if (!ramp.active) ramp.at = r.hasTarget ? r.target : r.position;
            ramp.goal = value;
            ramp.active = std::isfinite(ramp.at);
            result = ramp.active ? 0 : -1;
        } else {
            ramp.active = false;
            result = motor->setEnableStatus(action == "enable");
        }
    }
    LOG_INFO("live view: {} motor {} on {}: {} gives {}\r\n",
             motors[index].FamilyName(), motor->motor_id,
             motors[index].bus, action, result);
    Reply(res, 200, fmt::format("{{\"result\": {}}}", result));
}

void LiveView::Impl::Route() {
    httplib::Server& s = *server;
    s.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    s.set_payload_max_length(kMaxRequestBytes);
    // The library's default also shares the port (SO_REUSEPORT): a second view on a port in
    // use must fail, not split the browsers between two processes.
    s.set_socket_options([](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    s.set_read_timeout(2, 0);
    s.set_write_timeout(2, 0);
    s.set_keep_alive_timeout(2);
    s.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                           {"Referrer-Policy", "no-referrer"},
                           {"Cache-Control", "no-store"}});
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                               std::exception_ptr) { Refuse(res, 500, "internal error"); });
    // Bound to loopback, the view answers only requests that name a loopback host, so that a
    // web page elsewhere cannot reach it through a name of its own that resolves here.
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (!loopbackOnly) return httplib::Server::HandlerResponse::Unhandled;
        const std::string host = HostOf(req.get_header_value("Host"));
        if (host == "localhost" || IsLoopback(host))
            return httplib::Server::HandlerResponse::Unhandled;
        Refuse(res, 403, "this view answers loopback host names only");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
        // The page carries the token to a loopback client, or to one that already has it.
        const bool trusted =
            IsLoopback(req.remote_addr) ||
            (req.has_param("token") && SameText(req.get_param_value("token"), tokenText));
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'self'; style-src 'self' "
                       "'unsafe-inline'; connect-src 'self'; img-src 'self' data:; "
                       "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
        res.set_header("X-Frame-Options", "DENY");
        res.set_content(jointbus_detail::LiveViewPage(trusted ? tokenText : std::string()),
                        "text/html; charset=utf-8");
    });
    s.Get("/app.js", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(jointbus_detail::kLiveViewScript, "text/javascript; charset=utf-8");
    });
    s.Get("/app.css", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(jointbus_detail::kLiveViewStyle, "text/css; charset=utf-8");
    });
    s.Get("/dygraph.min.js", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(dygraphJs, "text/javascript; charset=utf-8");
    });
    s.Get("/dygraph.min.css", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(dygraphCss, "text/css; charset=utf-8");
    });
    s.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    s.Get("/events", [this](const httplib::Request&, httplib::Response& res) { Stream(res); });
    s.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
        std::string latest;
        {
            std::lock_guard<std::mutex> lock(ringMutex);
            latest = ring.empty() ? "null" : ring.back();
        }
        Reply(res, 200, fmt::format("{{\"meta\": {}, \"sample\": {}}}", meta, latest));
    });
    s.Post("/api/stop", [this](const httplib::Request& req, httplib::Response& res) {
        if (Authorized(req, res)) Stop(res);
    });
    s.Post(R"(/api/motor/(\d+)/(enable|disable|target))",
           [this](const httplib::Request& req, httplib::Response& res) { Act(req, res); });
}

LiveView::LiveView() : impl(std::make_unique<Impl>()) {}

LiveView::~LiveView() {
    stop();
}

int LiveView::addMotor(CtrlMotorInterface* motor) {
    if (motor == nullptr || serving()) return -1;
    impl->motors.push_back(ObserveMotor(motor));
    const std::string& bus = impl->motors.back().bus;
    if (std::find(impl->buses.begin(), impl->buses.end(), bus) == impl->buses.end() &&
        !bus.empty())
        impl->buses.push_back(bus);
    return 0;
}

int LiveView::setAddress(const std::string& address) {
    if (serving() || !IsAddress(address)) return -1;
    impl->address = address;
    return 0;
}

int LiveView::allowControl(bool allow) {
    if (serving()) return -1;
    impl->control = allow;
    return 0;
}

int LiveView::setRate(double hz) {
    if (serving() || !(hz >= kMinRateHz && hz <= kMaxRateHz)) return -1;
    impl->rateHz = hz;
    return 0;
}

int LiveView::setAssetDir(const std::string& dir) {
    if (serving()) return -1;
    impl->assetDir = dir;
    return 0;
}

int LiveView::start(int port) {
    Impl& d = *impl;
    if (serving()) {
        LOG_ERROR("live view: already serving on port {}\r\n", d.boundPort);
        return -1;
    }
    if (d.motors.empty()) {
        LOG_ERROR("live view: no motor to show\r\n");
        return -1;
    }
    if (port < 0 || port > 65535) {
        LOG_ERROR("live view: port {} is outside 0 to 65535\r\n", port);
        return -1;
    }
    const std::pair<const char*, std::string*> assets[] = {{"dygraph.min.js", &d.dygraphJs},
                                                           {"dygraph.min.css", &d.dygraphCss}};
    for (const auto& asset : assets) {
        const std::string path = d.assetDir + "/" + asset.first;
        if (!ReadFile(path, *asset.second)) {
            LOG_ERROR("live view: cannot read {} (Debian package libjs-dygraphs)\r\n", path);
            return -1;
        }
    }
    d.loopbackOnly = IsLoopback(d.address);
    d.tokenText = MakeToken();
    d.meta = d.MetaJson();
    d.ringCapacity = size_t(std::ceil(d.rateHz * kWindowSeconds)) + 1;
    d.ramps.assign(d.motors.size(), Impl::Ramp());
    d.ring.clear();
    d.lastSeq = 0;
    d.sampleCount = 0;
    d.server = std::make_unique<httplib::Server>();
    d.Route();
    bool bound = false;
    if (port == 0) {
        d.boundPort = d.server->bind_to_any_port(d.address);
        bound = d.boundPort > 0;
    } else {
        bound = d.server->bind_to_port(d.address, port);
    }
    if (!bound) {
        LOG_ERROR("live view: cannot listen on {} port {}: {}\r\n", d.address, port,
                  std::strerror(errno));
        d.server.reset();
        d.boundPort = 0;
        return -1;
    }
    if (port != 0) d.boundPort = port;
    d.running = true;
    const auto t0 = Clock::now();
    d.sampler = std::thread([&d, t0] { d.Sample(t0); });
    d.listening = true;
    d.listener = std::thread([&d] {
        d.server->listen_after_bind();
        d.listening = false;
    });
    // stop() is only heard by a server that listens: wait for it (it starts at once).
    while (!d.server->is_running() && d.listening.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    LOG_INFO("live view: {}{}\r\n", url(), d.control ? " (control allowed)" : "");
    return 0;
}

void LiveView::stop() {
    Impl& d = *impl;
    {
        std::lock_guard<std::mutex> lock(d.ringMutex);
        if (!d.running.exchange(false)) return;
    }
    d.ringWake.notify_all();
    d.server->stop();
    if (d.listener.joinable()) d.listener.join();  // its workers end with it
    if (d.sampler.joinable()) d.sampler.join();
    d.server.reset();
    d.boundPort = 0;
}

bool LiveView::serving() const {
    return impl->running.load();
}

int LiveView::port() const {
    return serving() ? impl->boundPort.load() : 0;
}

std::string LiveView::url() const {
    const Impl& d = *impl;
    const bool v6 = d.address.find(':') != std::string::npos;
    std::string u = fmt::format("http://{}{}{}:{}/", v6 ? "[" : "", d.address, v6 ? "]" : "",
                                port());
    if (!d.loopbackOnly) u += "?token=" + d.tokenText;
    return u;
}

std::string LiveView::token() const {
    return impl->tokenText;
}

unsigned long long LiveView::samples() const {
    return impl->sampleCount.load();
}

int LiveView::streams() const {
    return impl->openStreams.load();
}

}  // namespace jointbus
