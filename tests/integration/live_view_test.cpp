// The live view on the host: Damiao motors over the socket-pair transport double, a virtual
// motor and a Feetech servo on the emulator, read through real HTTP requests on loopback.

#include "jointbus/common/live_view.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/common/bus_counters.h"
#include "jointbus/common/motor_limits.h"
#include "jointbus/common/virtual_motor.h"
#include "paired_can.h"
#include "servo_bus.h"
#include "wait.h"

using namespace std::chrono;
using jointbus::LiveView;
using testsupport::PairedMotor;
using testsupport::Responder;
using testsupport::ServoBus;
using testsupport::WaitFor;

namespace {

const std::string kAssets = "/usr/share/javascript/dygraphs";

bool Enabled(CtrlMotorInterface& m) {
    bool on = false;
    return m.getEnableStatus(on) == 0 && on;
}

// A connected TCP socket to the view, or -1.
int Connect(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    // A server that never answers fails the test instead of hanging it. Generous: requests
    // that stop short wait out the server's read time-out, a few workers at a time.
    timeval tv{60, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return s;
}

// Sends raw bytes on a new connection, which it returns (-1 when the connection failed).
int Send(int port, const std::string& bytes) {
    const int s = Connect(port);
    if (s < 0) return -1;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may close mid-request: that is an answer too
        sent += size_t(n);
    }
    return s;
}

// The status code of the answer on `s`, which it closes: 0 when the server closed without
// one, -1 when it neither answered nor closed in time.
int StatusOf(int s) {
    std::string reply;
    char buf[4096];
    ssize_t n = 0;
    while (reply.find("\r\n") == std::string::npos && (n = recv(s, buf, sizeof buf, 0)) > 0)
        reply.append(buf, size_t(n));
    const bool timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    close(s);
    if (reply.rfind("HTTP/1.1 ", 0) == 0) return std::atoi(reply.c_str() + 9);
    return timedOut ? -1 : 0;
}

int RawStatus(int port, const std::string& bytes) {
    const int s = Send(port, bytes);
    return s < 0 ? -2 : StatusOf(s);
}

struct Rig {
    Responder responder;
    PairedMotor a{1, responder, "lv0"}, b{2, responder, "lv0"};
    VirtualMotor virt;
    LiveView view;

    Rig() {
        a.init();
        b.init();
        virt.init();
        for (CtrlMotorInterface* m : std::vector<CtrlMotorInterface*>{&a, &b, &virt})
            view.addMotor(m);
        view.setAssetDir(kAssets);
    }
    std::unique_ptr<httplib::Client> Client() const {
        auto c = std::make_unique<httplib::Client>("127.0.0.1", view.port());
        c->set_read_timeout(10, 0);
        return c;
    }
    httplib::Headers WithToken() const { return {{"X-Jointbus-Token", view.token()}}; }
};

}  // namespace

// The page, its scripts, the chart library, the state and the event stream, on loopback.
TEST(LiveView, ServesThePageAndStreamsSamples) {
    Rig rig;
    jointbus::MotorLimits limits;
    limits.positionMax = 0.1;
    ASSERT_EQ(jointbus::SetMotorLimits(&rig.a, limits), 0);
    rig.a.setMotorPosition(0.5);  // clamped twice: the card counts both
    rig.a.setMotorPosition(0.6);
    ASSERT_EQ(rig.view.start(0), 0);
    ASSERT_GT(rig.view.port(), 0);
    EXPECT_EQ(rig.view.url(), "http://127.0.0.1:" + std::to_string(rig.view.port()) + "/");
    EXPECT_EQ(rig.view.token().size(), 32u);
    EXPECT_EQ(rig.view.addMotor(&rig.a), -1) << "not while serving";
    auto client = rig.Client();

    auto page = client->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("content=\"" + rig.view.token() + "\""), std::string::npos)
        << "a loopback client gets the token";
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"),
              std::string::npos);
    EXPECT_FALSE(page->has_header("Access-Control-Allow-Origin"));
    for (const char* path : {"/app.js", "/app.css", "/dygraph.min.js", "/dygraph.min.css"}) {
        auto r = client->Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 200) << path;
        EXPECT_GT(r->body.size(), 100u) << path;
    }

    ASSERT_TRUE(WaitFor([&] { return rig.view.samples() >= 3; }, milliseconds(5000)));
    auto state = client->Get("/api/state");
    ASSERT_TRUE(state);
    EXPECT_NE(state->body.find("{\"family\": \"damiao\", \"bus\": \"lv0\", \"busIndex\": 0, "
                               "\"id\": 1}"),
              std::string::npos)
        << state->body;
    EXPECT_NE(state->body.find("{\"family\": \"virtual\", \"bus\": \"\""), std::string::npos);
    EXPECT_NE(state->body.find("\"buses\": [\"lv0\"]"), std::string::npos);
    EXPECT_NE(state->body.find("\"control\": false"), std::string::npos);
    EXPECT_NE(state->body.find("\"5004\": \"no feedback yet, or offline"), std::string::npos);
    // Each motor's sample ends with its clamped commands: 2 for the first, none for the others.
    EXPECT_NE(state->body.find(", 2], ["), std::string::npos) << state->body;
    EXPECT_NE(state->body.find(", 0]]"), std::string::npos) << state->body;

    // The stream: the motors first, then the window so far, then new samples as they come.
    std::string stream;
    int events = 0;
    auto r = client->Get("/events", [&](const char* data, size_t size) {
        stream.append(data, size);
        events = 0;
        for (size_t at = 0; (at = stream.find("data: {\"t\"", at)) != std::string::npos; ++at)
            ++events;
        return events < 5;  // then the client closes
    });
    EXPECT_EQ(stream.rfind("event: meta\ndata: {\"motors\": [", 0), 0u) << stream.substr(0, 80);
    EXPECT_GE(events, 5);
    EXPECT_NE(stream.find("\"m\": [["), std::string::npos);
    // The closed stream is let go.
    EXPECT_TRUE(WaitFor([&] { return rig.view.streams() == 0; }, milliseconds(5000)));
    rig.view.stop();
    EXPECT_FALSE(rig.view.serving());
    EXPECT_EQ(rig.view.port(), 0);
}

// Without control only STOP acts, and only with the token; with control the page's
// requests reach the motors and bad values are refused.
TEST(LiveView, ControlNeedsPermissionAndTheToken) {
    Rig rig;
    rig.virt.setEnableStatus(true);  // the virtual motor has no locks: not while it is viewed
    ASSERT_EQ(rig.view.start(0), 0);
    auto client = rig.Client();
    auto refused = client->Post("/api/motor/0/enable", rig.WithToken(), "", "text/plain");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);
    EXPECT_NE(refused->body.find("control was not allowed"), std::string::npos);
    EXPECT_FALSE(Enabled(rig.a));

    rig.a.setEnableStatus(true);
    ASSERT_TRUE(WaitFor([&] { return Enabled(rig.a); }, milliseconds(3000)));
    auto noToken = client->Post("/api/stop", "", "text/plain");
    ASSERT_TRUE(noToken);
    EXPECT_EQ(noToken->status, 403);
    auto wrongToken =
        client->Post("/api/stop", {{"X-Jointbus-Token", std::string(32, '0')}}, "", "text/plain");
    ASSERT_TRUE(wrongToken);
    EXPECT_EQ(wrongToken->status, 403);
    EXPECT_TRUE(Enabled(rig.a));

    auto stop = client->Post("/api/stop", rig.WithToken(), "", "text/plain");
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->status, 200);
    EXPECT_EQ(stop->body, "{\"stopped\": 3, \"stillEnabled\": []}\n");
    EXPECT_FALSE(Enabled(rig.a));
    rig.view.stop();
    EXPECT_FALSE(Enabled(rig.virt));

    ASSERT_EQ(rig.view.allowControl(true), 0);
    ASSERT_EQ(rig.view.start(0), 0);
    EXPECT_EQ(rig.view.allowControl(false), -1) << "not while serving";
    auto controlling = rig.Client();
    auto on = controlling->Post("/api/motor/1/enable", rig.WithToken(), "", "text/plain");
    ASSERT_TRUE(on);
    EXPECT_EQ(on->status, 200);
    EXPECT_EQ(on->body, "{\"result\": 0}\n");
    EXPECT_TRUE(WaitFor([&] { return Enabled(rig.b); }, milliseconds(3000)));
    auto target = controlling->Post("/api/motor/1/target?value=0.25", rig.WithToken(), "", "text/plain");
    ASSERT_TRUE(target);
    EXPECT_EQ(target->status, 200);
    // The target is approached a step each sample, and arrives.
    double t = 0;
    EXPECT_TRUE(WaitFor([&] { return rig.b.getTargetPosition(t) == 0 && std::fabs(t - 0.25) < 1e-9; },
                        milliseconds(5000)))
        << t;
    for (const char* bad : {"nan", "inf", "abc", "1e999", "101", "0.5x", ""}) {
        auto r = controlling->Post(std::string("/api/motor/1/target?value=") + bad, rig.WithToken(), "",
                             "text/plain");
        ASSERT_TRUE(r) << bad;
        EXPECT_EQ(r->status, 400) << bad;
    }
    EXPECT_EQ(rig.b.getTargetPosition(t), 0);
    EXPECT_NEAR(t, 0.25, 1e-6) << "a refused value changes nothing";
    auto missing = controlling->Post("/api/motor/3/enable", rig.WithToken(), "", "text/plain");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
    auto huge = controlling->Post("/api/motor/99999999999999999999/enable", rig.WithToken(), "",
                            "text/plain");
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->status, 404);
    auto noTokenAct = controlling->Post("/api/motor/1/disable", "", "text/plain");
    ASSERT_TRUE(noTokenAct);
    EXPECT_EQ(noTokenAct->status, 403);
    EXPECT_TRUE(Enabled(rig.b));

    // STOP ends a target on its way: the motor stays where STOP held it.
    auto far = controlling->Post("/api/motor/1/target?value=50", rig.WithToken(), "", "text/plain");
    ASSERT_TRUE(far);
    EXPECT_EQ(far->status, 200);
    auto stopped = controlling->Post("/api/stop", rig.WithToken(), "", "text/plain");
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->status, 200);
    EXPECT_FALSE(Enabled(rig.b));
    double held = 0;
    ASSERT_EQ(rig.b.getTargetPosition(held), 0);
    const unsigned long long samples = rig.view.samples();
    ASSERT_TRUE(WaitFor([&] { return rig.view.samples() >= samples + 5; }, milliseconds(5000)));
    EXPECT_EQ(rig.b.getTargetPosition(t), 0);
    EXPECT_EQ(t, held) << "no step after STOP";
    EXPECT_LT(held, 50.0);
}

// Garbage of every kind gets a 4xx or a closed connection, never a crash or a stall, and the
// server goes on serving.
TEST(LiveView, MalformedRequestsLeaveTheServerServing) {
    Rig rig;
    ASSERT_EQ(rig.view.start(0), 0);
    const int port = rig.view.port();
    const std::string host = "Host: 127.0.0.1\r\n";
    const std::vector<std::string> kinds = {
        "GARBAGE\r\n\r\n",
        "GET\r\n\r\n",
        "GET / HTTP/9.9\r\n" + host + "\r\n",
        "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n" + host + "\r\n",
        "GET / HTTP/1.1\r\n" + host + "X: " + std::string(20000, 'b') + "\r\n\r\n",
        "POST /api/stop HTTP/1.1\r\n" + host + "Content-Length: 100000\r\n\r\nxx",
        "POST /api/stop HTTP/1.1\r\n" + host + "Content-Length: -5\r\n\r\n",
        "POST /api/stop HTTP/1.1\r\n" + host + "Content-Length: banana\r\n\r\n",
        "POST /api/stop HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\nzz\r\n",
        "GET /nowhere HTTP/1.1\r\n" + host + "\r\n",
        "GET / HTTP/1.1\r\nHost: attacker.example\r\n\r\n",
        "POST /api/motor/0/target?value=%ff%00 HTTP/1.1\r\n" + host + "\r\n",
        "GET /%00%ff%fe HTTP/1.1\r\n" + host + "\r\n",
        std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),  // a TLS hello
        "GET / HTTP/1.1\r\n" + host,  // cut short
    };
    // All at once, as a hostile client would, and so that the requests that stop short wait
    // out the read time-out together.
    std::vector<int> sockets;
    for (int i = 0; i < 100; ++i) {
        sockets.push_back(Send(port, kinds[size_t(i) % kinds.size()]));
        ASSERT_GE(sockets.back(), 0) << "refused connection after " << i << " requests";
    }
    int answered = 0, closed = 0;
    for (int i = 0; i < 100; ++i) {
        const int status = StatusOf(sockets[size_t(i)]);
        ASSERT_NE(status, -1) << "no answer and no close, kind " << i % kinds.size();
        if (status == 0) {
            ++closed;
        } else {
            ++answered;
            EXPECT_GE(status, 400) << "kind " << i % kinds.size();
            EXPECT_LT(status, 500) << "kind " << i % kinds.size();
        }
    }
    EXPECT_GT(answered, 50);
    EXPECT_EQ(RawStatus(port, "GET / HTTP/1.1\r\nHost: attacker.example\r\n\r\n"), 403)
        << "a name that is not loopback is refused";
    auto page = rig.Client()->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
}

// A browser that stops reading, or one that is gone, never holds up the stop.
TEST(LiveView, StopsWithStreamsOpen) {
    Rig rig;
    ASSERT_EQ(rig.view.start(0), 0);
    const int port = rig.view.port();
    std::vector<int> idle;
    for (int i = 0; i < 3; ++i) {
        const int s = Connect(port);
        ASSERT_GE(s, 0);
        const std::string get = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        ASSERT_EQ(send(s, get.data(), get.size(), MSG_NOSIGNAL), ssize_t(get.size()));
        idle.push_back(s);  // never read
    }
    ASSERT_TRUE(WaitFor([&] { return rig.view.streams() == 3; }, milliseconds(5000)));
    // More pages than the view serves at once are told so.
    const int fourth = Connect(port);
    const std::string get = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    send(fourth, get.data(), get.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(WaitFor([&] { return rig.view.streams() == 4; }, milliseconds(5000)));
    const int fifth = RawStatus(port, get);
    EXPECT_EQ(fifth, 503);
    close(fourth);
    rig.view.stop();
    EXPECT_EQ(rig.view.streams(), 0);
    for (int s : idle) close(s);
    // And it starts again on the same object.
    ASSERT_EQ(rig.view.start(0), 0);
    auto page = rig.Client()->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
}

TEST(LiveView, RefusesWhatItCannotServe) {
    VirtualMotor virt;  // outlives the views that read it
    LiveView empty;
    empty.setAssetDir(kAssets);
    EXPECT_EQ(empty.start(0), -1) << "no motor";
    EXPECT_EQ(empty.addMotor(nullptr), -1);
    ASSERT_EQ(empty.addMotor(&virt), 0);
    EXPECT_EQ(empty.setRate(0.5), -1);
    EXPECT_EQ(empty.setRate(51), -1);
    EXPECT_EQ(empty.setRate(NAN), -1);
    EXPECT_EQ(empty.setAddress("not an address"), -1);
    EXPECT_EQ(empty.start(70000), -1);
    ASSERT_EQ(empty.setAssetDir("/nonexistent"), 0);
    EXPECT_EQ(empty.start(0), -1) << "no chart library";
    ASSERT_EQ(empty.setAssetDir(kAssets), 0);
    ASSERT_EQ(empty.start(0), 0);
    LiveView second;
    second.setAssetDir(kAssets);
    second.addMotor(&virt);
    EXPECT_EQ(second.start(empty.port()), -1) << "port in use";
    EXPECT_FALSE(second.serving());
}

// The bus rows count what the buses did: frames sent, and a servo going silent is one offline
// episode on its port.
TEST(LiveView, BusCountersCountFramesAndOfflineEpisodes) {
    ServoBus bus("4");
    ASSERT_TRUE(bus.emu.ready());
    feetechMotor servo(4, 1000000, bus.device, false);
    ASSERT_EQ(servo.init(), 0);
    ASSERT_TRUE(WaitFor([&] { return servo.setMotorPosition(0.0) == 0; }, milliseconds(3000)));
    const auto before = jointbus::ReadBusCounters(bus.device);
    EXPECT_GT(before.framesSent, 0u);
    EXPECT_EQ(before.offlineEpisodes, 0u);
    bus.emu.Command("silent 4 on");
    ASSERT_TRUE(WaitFor([&] { return jointbus::ReadBusCounters(bus.device).offlineEpisodes == 1; },
                        milliseconds(5000)));
    bus.emu.Command("silent 4 off");
    ASSERT_TRUE(WaitFor([&] { return servo.setMotorPosition(0.0) == 0; }, milliseconds(5000)));
    EXPECT_EQ(jointbus::ReadBusCounters(bus.device).offlineEpisodes, 1u)
        << "one silence, one episode";
    EXPECT_GT(jointbus::ReadBusCounters(bus.device).framesSent, before.framesSent);
    EXPECT_EQ(jointbus::ReadBusCounters("never-used").framesSent, 0u);
}
