// The trace recorder on the host: Damiao motors over the socket-pair transport double and a
// Feetech servo against the emulator on a pseudo-terminal.

#include "jointbus/common/trace_recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "feetech_emulator_process.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/common/virtual_motor.h"
#include "log_capture.h"
#include "paired_can.h"
#include "pty.h"
#include "servo_bus.h"
#include "wait.h"

using namespace std::chrono;
using testsupport::LogCapture;
using testsupport::PairedMotor;
using testsupport::Responder;
using testsupport::ServoBus;
using testsupport::TempDir;
using testsupport::WaitFor;

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Row {
    double t = 0, target = NAN, position = 0, age = NAN;
    unsigned id = 0;
    std::string family, bus;
    int enabled = 0, code = 0;
};

struct Trace {
    std::string header, trailer;
    std::vector<Row> rows;
    std::map<unsigned, std::vector<Row>> byId;
};

double Field(const std::string& text) {
    return text.empty() ? NAN : std::stod(text);
}

Trace ReadCsv(const std::string& path) {
    Trace trace;
    std::ifstream in(path);
    std::getline(in, trace.header);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#", 0) == 0) {
            trace.trailer = line;
            continue;
        }
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string cell; std::getline(fields, cell, ',');) f.push_back(cell);
        if (line.back() == ',') f.push_back("");
        EXPECT_EQ(f.size(), 12u) << line;
        if (f.size() != 12) continue;
        Row r;
        r.t = std::stod(f[0]);
        r.id = unsigned(std::stoul(f[1]));
        r.family = f[2];
        r.target = Field(f[3]);
        r.position = std::stod(f[4]);
        r.enabled = std::stoi(f[8]);
        r.code = std::stoi(f[9]);
        r.age = Field(f[10]);
        r.bus = f[11];
        trace.rows.push_back(r);
        trace.byId[r.id].push_back(r);
    }
    return trace;
}

bool Enabled(CtrlMotorInterface& m) {
    bool on = false;
    return m.getEnableStatus(on) == 0 && on;
}

// A disk that cannot keep up: every write takes a while.
class SlowDiskRecorder : public TraceRecorder {
public:
    using TraceRecorder::TraceRecorder;
    ~SlowDiskRecorder() override { stop(); }
    std::atomic<int> writes{0};

protected:
    bool WriteOut(const char* data, size_t size) override {
        ++writes;
        std::this_thread::sleep_for(milliseconds(100));
        return TraceRecorder::WriteOut(data, size);
    }
};

}  // namespace

// Two Damiao joints and a servo recorded while they move: a row per motor per round, at no
// more than the rate asked for, and the positions in the file follow the motion.
TEST(TraceRecorder, RecordsEveryMotorAndFollowsTheMotion) {
    ServoBus bus("2");
    auto& emu = bus.emu;
    ASSERT_TRUE(emu.ready());
    Responder responder;
    PairedMotor a(1, responder), b(3, responder);
    feetechMotor servo(2, 1000000, bus.device, false);
    for (CtrlMotorInterface* m : std::vector<CtrlMotorInterface*>{&a, &b, &servo}) {
        ASSERT_EQ(m->init(), 0);
        if (m == &servo) {
            // The emulated servo's goal register starts at 0: post its middle together with
            // the torque, so that the tick which turns the torque on also writes the goal. A
            // goal posted apart is dropped by a tick that comes before the enable, and the
            // servo would run off towards 0 first.
            ASSERT_TRUE(WaitFor([&] { return servo.setMotorPosition(0.0, 0.0, 0.0) == 0; },
                                milliseconds(3000)));
        }
        m->setEnableStatus(true);
    }
    for (CtrlMotorInterface* m : std::vector<CtrlMotorInterface*>{&a, &b, &servo})
        ASSERT_TRUE(WaitFor([&] { return Enabled(*m); }, milliseconds(3000)));

    TraceRecorder recorder;
    for (CtrlMotorInterface* m : std::vector<CtrlMotorInterface*>{&a, &b, &servo})
        ASSERT_EQ(recorder.addMotor(m), 0);
    const std::string path = bus.dir.File("trace.csv");
    const auto t0 = steady_clock::now();
    ASSERT_EQ(recorder.start(path, 100.0), 0);
    EXPECT_EQ(recorder.addMotor(&a), -1) << "not while recording";
    // Stream joint 1 to 0.3 rad and the servo 10 degrees, in small steps.
    for (int i = 1; i <= 60; ++i) {
        a.setMotorPosition(0.005 * i);
        servo.setMotorPosition(i / 6 * kPi / 180);
        std::this_thread::sleep_for(milliseconds(5));
    }
    double pos = 0;
    EXPECT_TRUE(WaitFor([&] { return a.getMotorPosition(pos) == 0 && std::fabs(pos - 0.3) < 0.01; },
                        milliseconds(3000)));
    EXPECT_TRUE(WaitFor([&] { return emu.Status(2).pos > 2048 + 100; }, milliseconds(3000)));
    int last = -1, same = 0;  // at rest: the same position five polls in a row
    EXPECT_TRUE(WaitFor(
        [&] {
            const int now = emu.Status(2).pos;
            same = now == last ? same + 1 : 0;
            last = now;
            return same >= 5;
        },
        milliseconds(3000)));
    recorder.stop();
    const double seconds = duration<double>(steady_clock::now() - t0).count();
    EXPECT_FALSE(recorder.recording());

    const Trace trace = ReadCsv(path);
    EXPECT_EQ(trace.header,
              "t,id,family,target,position,velocity,torque,temperature,enabled,code,age,bus");
    EXPECT_EQ(trace.trailer, "# samples " + std::to_string(recorder.samples()) + ", dropped 0");
    EXPECT_EQ(trace.rows.size(), recorder.samples());
    ASSERT_EQ(trace.byId.size(), 3u);
    const size_t rounds = trace.byId.at(1).size();
    // Never faster than the rate; a loaded machine may be slower, but not stalled.
    EXPECT_LE(double(rounds), seconds * 100.0 + 2) << seconds;
    EXPECT_GE(rounds, 10u);
    for (const auto& [id, rows] : trace.byId) {
        EXPECT_EQ(rows.size(), rounds) << id;
        for (size_t i = 1; i < rows.size(); ++i) ASSERT_GT(rows[i].t, rows[i - 1].t) << id;
        EXPECT_EQ(rows.back().code, 0) << id;
        EXPECT_EQ(rows.back().enabled, 1) << id;
        EXPECT_FALSE(std::isnan(rows.back().age)) << id;
    }
    EXPECT_EQ(trace.byId.at(1).front().family, "damiao");
    EXPECT_EQ(trace.byId.at(2).front().family, "feetech");
    EXPECT_EQ(trace.byId.at(2).front().bus, servo.uartDevice);
    // The joint's recorded position follows its target up to 0.3 rad and never runs ahead.
    const auto& joint = trace.byId.at(1);
    EXPECT_NEAR(joint.back().position, 0.3, 0.01);
    EXPECT_NEAR(joint.back().target, 0.3, 1e-6);
    double highest = 0;
    for (const Row& r : joint) {
        EXPECT_LE(r.position, highest + 0.04) << r.t;  // at most one ramp step past the last
        highest = std::max(highest, r.target);
    }
    // The servo's last recorded position is the emulator's, in the same units.
    const double emulated = (emu.Status(2).pos * 0.088 - 180.0) * kPi / 180.0;
    EXPECT_NEAR(trace.byId.at(2).back().position, emulated, 0.01);
    EXPECT_NEAR(trace.byId.at(2).back().target, 10 * kPi / 180, 0.01);
}

// A writer that cannot keep up costs samples, counted, never the sampler's pace or a hang.
TEST(TraceRecorder, ASlowDiskDropsAndCountsInsteadOfBlocking) {
    TempDir dir;
    Responder responder;
    std::vector<std::unique_ptr<PairedMotor>> motors;
    SlowDiskRecorder recorder(16);
    for (unsigned id = 1; id <= 4; ++id) {
        motors.push_back(std::make_unique<PairedMotor>(id, responder));
        ASSERT_EQ(recorder.addMotor(motors.back().get()), 0);
    }
    const std::string path = dir.File("slow.csv");
    ASSERT_EQ(recorder.start(path, 1000.0), 0);
    ASSERT_TRUE(WaitFor([&] { return recorder.dropped() > 100 && recorder.writes > 3; },
                        milliseconds(5000)));
    recorder.stop();
    EXPECT_GT(recorder.dropped(), 0u);
    const Trace trace = ReadCsv(path);
    EXPECT_EQ(trace.rows.size(), recorder.samples());
    EXPECT_EQ(trace.trailer, "# samples " + std::to_string(recorder.samples()) + ", dropped " +
                                 std::to_string(recorder.dropped()));
    // The sampler went on while the writer slept: the rows written span several writes.
    ASSERT_FALSE(trace.rows.empty());
    EXPECT_GT(trace.rows.back().t - trace.rows.front().t, 0.1);
}

// Destroyed while it samples: both threads end, and the file is complete.
TEST(TraceRecorder, DestroyedWhileSampling) {
    TempDir dir;
    Responder responder;
    PairedMotor m(1, responder);
    for (int round = 0; round < 10; ++round) {
        const std::string path = dir.File("r" + std::to_string(round) + ".csv");
        {
            TraceRecorder recorder;
            recorder.addMotor(&m);
            ASSERT_EQ(recorder.start(path, 1000.0, round % 2 == 1), 0);
            std::this_thread::sleep_for(milliseconds(round));
        }
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (round % 2 == 0) {
            EXPECT_EQ(text.rfind("t,id,family,", 0), 0u);
            EXPECT_NE(text.find("# samples "), std::string::npos) << text;
        } else {
            EXPECT_NE(text.find("{\"samples\": "), std::string::npos) << text;
        }
    }
}

// JSON lines: one object a sample, null where a value is unknown, the counts at the end. A bus
// name is escaped for each format.
TEST(TraceRecorder, JsonLines) {
    TempDir dir;
    std::string device = dir.File("tty\"NO,NE");
    feetechMotor servo(5, 1000000, device, false);  // never started: no age, no target
    TraceRecorder recorder;
    recorder.addMotor(&servo);
    const std::string path = dir.File("t.jsonl");
    ASSERT_EQ(recorder.start(path, 200.0, true), 0);
    ASSERT_TRUE(WaitFor([&] { return recorder.samples() >= 3; }, milliseconds(3000)));
    recorder.stop();
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("{\"t\": ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("\"id\": 5, \"family\": \"feetech\", \"target\": null"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("\"code\": 5004, \"age\": null, \"bus\": \"" + dir.path() +
                            "/tty\\\"NO,NE\"}"),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(lines.back(),
              "{\"samples\": " + std::to_string(recorder.samples()) + ", \"dropped\": 0}");

    const std::string csv = dir.File("t.csv");
    ASSERT_EQ(recorder.start(csv, 200.0), 0);
    ASSERT_TRUE(WaitFor([&] { return recorder.samples() >= 1; }, milliseconds(3000)));
    recorder.stop();
    std::ifstream csvIn(csv);
    std::string header, row;
    std::getline(csvIn, header);
    std::getline(csvIn, row);
    const std::string quoted = ",5004,,\"" + dir.path() + "/tty\"\"NO,NE\"";
    ASSERT_GE(row.size(), quoted.size());
    EXPECT_EQ(row.substr(row.size() - quoted.size()), quoted) << row;
}

TEST(TraceRecorder, RefusesWhatItCannotRecord) {
    TempDir dir;
    LogCapture log;
    TraceRecorder recorder;
    EXPECT_EQ(recorder.addMotor(nullptr), -1);
    EXPECT_EQ(recorder.start(dir.File("a.csv")), -1);
    EXPECT_EQ(log.Count("[ERROR] trace: no motor to record\r\n"), 1u);
    Responder responder;
    PairedMotor m(1, responder);
    recorder.addMotor(&m);
    for (double bad : {0.0, -5.0, 5000.0, double(NAN)})
        EXPECT_EQ(recorder.start(dir.File("a.csv"), bad), -1);
    EXPECT_EQ(log.Count("Hz is outside 0.1 to 1000 Hz"), 4u);
    EXPECT_EQ(recorder.start(dir.File("no/such/folder/a.csv")), -1);
    EXPECT_EQ(log.Count("[ERROR] trace: cannot create " + dir.File("no/such/folder/a.csv") +
                        ": No such file or directory\r\n"),
              1u);
    EXPECT_FALSE(recorder.recording());
    ASSERT_EQ(recorder.start(dir.File("b.csv")), 0);
    EXPECT_EQ(recorder.start(dir.File("c.csv")), -1);
    EXPECT_EQ(log.Count("[ERROR] trace: already recording to " + dir.File("b.csv")), 1u);
    recorder.stop();
    recorder.stop();  // twice: nothing to do
}

// A virtual motor's position read advances its simulation; the recorder only looks.
TEST(TraceRecorder, AVirtualMotorIsReadWithoutAdvancingIt) {
    TempDir dir;
    VirtualMotor vm(4, false);
    vm.setVelocity(1.0);
    TraceRecorder recorder;
    recorder.addMotor(&vm);
    const std::string path = dir.File("v.csv");
    ASSERT_EQ(recorder.start(path, 500.0), 0);
    ASSERT_TRUE(WaitFor([&] { return recorder.samples() >= 5; }, milliseconds(3000)));
    recorder.stop();
    EXPECT_EQ(vm.position, 0.0);
    const Trace trace = ReadCsv(path);
    ASSERT_FALSE(trace.rows.empty());
    EXPECT_EQ(trace.rows.front().family, "virtual");
    EXPECT_EQ(trace.rows.front().enabled, 0);
}
