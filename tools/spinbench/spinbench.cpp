// spinbench: bench-tests the motors listed in a YAML configuration file.
//
//   spinbench -c motor.yaml -m 2 -p 1.0 -s 0.5 -f 20
//   spinbench -c motor.yaml -m 1 --record run.csv      (then: scripts/plot_trace.py run.csv)
//
// Creates every motor of the file, homes and enables it, then at the chosen frequency sends a
// position command of the run mode and logs each motor's position and velocity, until
// SIGINT or SIGTERM; then holds, disables and waits for every motor before it exits. With
// --record FILE (a long option only, so the short options stay as they are), every motor is
// recorded into FILE at 200 Hz from the first enable to the end of the stop sequence. Two more
// long options add a line to each motor's status: --feedback-age (mode 3: seconds since the
// motor's last feedback) and --bus (the CAN interface or serial port, which tells two motors
// with one id on two buses apart). --view PORT serves a live view of every motor on
// http://127.0.0.1:PORT/ for the whole run (--view-address ADDR binds another address;
// --view-control lets the page enable, disable and move single motors).

#include <getopt.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "jointbus/common/live_view.h"
#include "jointbus/common/logger.h"
#include "jointbus/common/motor_config.h"
#include "jointbus/common/stop_sequence.h"
#include "jointbus/common/trace_recorder.h"
#include "jointbus/common/version.h"
#include "motor_run.h"

namespace {

using jointbus_tools::CatchStopSignals;
using jointbus_tools::SleepUs;
using jointbus_tools::StartMotors;
using jointbus_tools::StopRequested;

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 6.283185307179586;

struct Settings {
    std::string config = "motor.yaml";
    int mode = 3;
    float targetPos = 458.0f;
    float speed = 2.0f;
    float freq = 10.0f;
    bool inverse = false;
    std::string record;         // --record: the trace file, or empty
    bool feedbackAge = false;   // --feedback-age: mode 3 adds each motor's feedback age
    bool bus = false;           // --bus: each motor's lines name its bus
    std::string viewPort;       // --view: the live view's port, or empty for none
    std::string viewAddress = jointbus::LiveView::kDefaultAddress;  // --view-address
    bool viewControl = false;   // --view-control
} settings;

// Long options without a short form, so that the short options and the help stay as they are.
constexpr int kRecordOption = 0x100;
constexpr int kFeedbackAgeOption = 0x101;
constexpr int kBusOption = 0x102;
constexpr int kViewOption = 0x103;
constexpr int kViewControlOption = 0x104;
constexpr int kViewAddressOption = 0x105;
constexpr int kHelpAllOption = 0x106;


void print_help() {
    LOG_INFO("\r\n{}\r\n",
             "-i/--inverse\t\t\tinverse motor direction\r\n"
             "-m/--mode <0,1,2,3>\t\tset run mode: 0, close loop; 1, open loop; 2, targetpos, 3, "
             "read status\r\n"
             "-p/--pos <double value>\t\ttarget pos\r\n"
             "-s/--speed <double value>\trun speed, speed*pi rad/s\r\n"
             "-f/--freq <double value>\tset update frequency, integer 0.1~400.0\r\n"
             "-c/--config <string value>\tset config file name, in yaml format\r\n"
             "-v/--version\t\t\tprint version info\r\n"
             "-h/--help\t\t\tthis help\r\n");
}

// Every option: the help above, then the long options that came after it. On standard output,
// as a help is read, not logged.
void print_help_all() {
    std::fputs(
        "usage: spinbench [options]\n"
        "  -i, --inverse              inverse motor direction\n"
        "  -m, --mode <0,1,2,3>       run mode: 0, close loop; 1, open loop; 2, target position;\n"
        "                             3, read status (homes and enables every motor, then sends\n"
        "                             no position; jointcfg reads without touching a motor)\n"
        "  -p, --pos <value>          target position, rad (mode 2)\n"
        "  -s, --speed <value>        run speed, speed*pi rad/s\n"
        "  -f, --freq <value>         update frequency, 0.1 to 400 Hz\n"
        "  -c, --config <file>        the motor configuration file (YAML)\n"
        "  -v, --version              print version info\n"
        "  -h, --help                 the short help\n"
        "      --help-all             this help\n"
        "      --record <file>        record every motor to a CSV trace (scripts/plot_trace.py)\n"
        "      --feedback-age         add each motor's feedback age to the status lines\n"
        "      --bus                  add each motor's bus to the status lines\n"
        "      --view <port>          serve a live view of every motor on 127.0.0.1:<port>\n"
        "                             (0: a free port, logged)\n"
        "      --view-control         let the live view's page enable, disable and move motors\n"
        "      --view-address <addr>  bind the live view to another address\n",
        stdout);
}

void parse_option(int argc, char** argv) {
    static const option longOptions[] = {{"inverse", no_argument, nullptr, 'i'},
                                         {"mode", required_argument, nullptr, 'm'},
                                         {"pos", required_argument, nullptr, 'p'},
                                         {"speed", required_argument, nullptr, 's'},
                                         {"freq", required_argument, nullptr, 'f'},
                                         {"config", required_argument, nullptr, 'c'},
                                         {"version", no_argument, nullptr, 'v'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {"record", required_argument, nullptr, kRecordOption},
                                         {"feedback-age", no_argument, nullptr, kFeedbackAgeOption},
                                         {"bus", no_argument, nullptr, kBusOption},
                                         {"view", required_argument, nullptr, kViewOption},
                                         {"view-control", no_argument, nullptr, kViewControlOption},
                                         {"view-address", required_argument, nullptr,
                                          kViewAddressOption},
                                         {"help-all", no_argument, nullptr, kHelpAllOption},
                                         {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "im:p:s:f:hvc:", longOptions, nullptr)) != -1) {
        switch (opt) {
            case 'i':
                settings.inverse = true;
                break;
            case 'm':
                settings.mode = int(std::strtol(optarg, nullptr, 10));
                break;
            case 'p':
                settings.targetPos = std::min(float(std::atof(optarg)), 480.0f);
                break;
            case 's':
                settings.speed = std::min(float(std::atof(optarg)), 14.0f);
                break;
            case 'f':
                settings.freq = std::clamp(float(std::strtol(optarg, nullptr, 10)), 0.1f, 400.0f);
                break;
            case 'c':
                settings.config = optarg;
                break;
            case kRecordOption:
                settings.record = optarg;
                break;
            case kFeedbackAgeOption:
                settings.feedbackAge = true;
                break;
            case kBusOption:
                settings.bus = true;
                break;
            case kViewOption:
                settings.viewPort = optarg;
                break;
            case kViewControlOption:
                settings.viewControl = true;
                break;
            case kViewAddressOption:
                settings.viewAddress = optarg;
                break;
            case 'h':
                print_help();
                std::exit(0);
            case kHelpAllOption:
                print_help_all();
                std::exit(0);
            case 'v':
                LOG_INFO("{}\r\n", get_lib_version());
                std::exit(0);
            default:
                break;  // getopt has reported it; go on
        }
    }
}

// Reads the configuration file; false (logged) when it is missing or not YAML.
bool ReadConfig(YAML::Node& config) {
    std::string error;
    if (!ReadMotorConfig(settings.config, config, error)) {
        LOG_ERROR("{}\r\n", error);
        return false;
    }
    LOG_INFO("jointbus lib: {}\r\n", get_lib_version());
    return true;
}

// Logs the run's settings and returns the position step per loop (rad).
double LogSettings() {
    LOG_INFO("run mode {}\n", settings.mode);
    LOG_INFO("inverse: {}\n", settings.inverse);
    if (settings.mode == 2) LOG_INFO("target pos {:.3f}\n", settings.targetPos);
    const double step = double(settings.speed) * kPi / double(settings.freq);
    LOG_INFO("step: {:.3f}, speed :{:.3f} rad/s\n", step, double(settings.speed) * kPi);
    return step;
}

// Builds every motor of the file before any reaches a bus; false (logged) when an entry is
// unusable or there is none. An unknown vendor or key is not read, as ever, but no longer
// without a word: a WARN line says what was skipped and what was likely meant.
bool BuildMotors(const YAML::Node& config,
                 std::vector<std::shared_ptr<CtrlMotorInterface>>& motors) {
    for (const EntryTypo& typo : FindEntryTypos(config))
        LOG_WARN("{}: {}\r\n", settings.config, typo.Text());
    std::string error;
    if (!BuildConfiguredMotors(config, settings.config, motors, error)) {
        LOG_ERROR("{}\r\n", error);
        return false;
    }
    if (motors.empty()) {
        LOG_INFO("No motors defined, exit...\r\n");
        return false;
    }
    return true;
}

// With --record, creates the trace file now, so that a path that cannot be written stops the
// tool before anything reaches a bus; the recording itself starts at the first enable.
bool PrepareRecording(TraceRecorder& recorder,
                      const std::vector<std::shared_ptr<CtrlMotorInterface>>& motors) {
    if (settings.record.empty()) return true;
    std::FILE* probe = std::fopen(settings.record.c_str(), "we");
    if (probe == nullptr) {
        LOG_ERROR("cannot create the trace file {}: {}\r\n", settings.record, strerror(errno));
        return false;
    }
    std::fclose(probe);
    for (const auto& motor : motors) recorder.addMotor(motor.get());
    return true;
}

// Checks the --view options before anything is built; false (logged) when they are wrong.
bool CheckViewOptions(int& port) {
    if (settings.viewPort.empty()) {
        if (!settings.viewControl && settings.viewAddress == jointbus::LiveView::kDefaultAddress)
            return true;
        LOG_ERROR("--view-control and --view-address need --view PORT\r\n");
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(settings.viewPort.c_str(), &end, 10);
    if (errno != 0 || end == settings.viewPort.c_str() || *end != '\0' || value < 0 ||
        value > 65535) {
        LOG_ERROR("--view: the port must be a number from 0 to 65535, not \"{}\"\r\n",
                  settings.viewPort);
        return false;
    }
    jointbus::LiveView probe;
    if (probe.setAddress(settings.viewAddress) != 0) {
        LOG_ERROR("--view-address: \"{}\" is not an IPv4 or IPv6 address\r\n",
                  settings.viewAddress);
        return false;
    }
    port = int(value);
    return true;
}

// With --view, starts the live view of every motor before any reaches a bus, so that homing
// can be watched; false (logged) when it cannot serve.
bool StartView(jointbus::LiveView& view, int port,
               const std::vector<std::shared_ptr<CtrlMotorInterface>>& motors) {
    if (settings.viewPort.empty()) return true;
    view.setAddress(settings.viewAddress);
    view.allowControl(settings.viewControl);
    for (const auto& motor : motors) view.addMotor(motor.get());
    return view.start(port) == 0;
}

// Until a stop signal: moves the target by `step` per loop as the run mode says, sends it
// (except in mode 3) and logs every motor's state.
void RunLoop(const std::vector<std::shared_ptr<CtrlMotorInterface>>& motors, double step) {
    double P = 0.0;
    const long sleepUs = long(1000000.0f / settings.freq);
    while (!StopRequested()) {
        if (settings.mode == 0) {
            if (P > kTwoPi || P < -kTwoPi) {
                step = -step;
                SleepUs(5000000);
            }
            P += step;
        } else if (settings.mode == 2) {
            if (std::fabs(settings.targetPos) > std::fabs(P)) P += step;
        } else {
            P += step;
        }
        const long long T = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        for (const auto& motor : motors) {
            double curpos = 0, curvel = 0;
            motor->getMotorPosition(curpos);
            motor->getVelocity(curvel);
            LOG_INFO("[{}] motor ID: {}, curpos:  {:.2f}, curvel: {:.3f}", T, motor->motor_id,
                     curpos, curvel);
            LOG_INFO(", set pos: {:.3f}", P);
            if (settings.mode != 3) {
                LOG_INFO(", set pos: {:.3f}", P);
                motor->setMotorPosition(P);
            } else if (settings.feedbackAge) {
                double age = 0;
                if (MotorFeedbackAge(*motor, age) == 0)
                    LOG_INFO(", feedback age: {:.3f} s", age);
                else
                    LOG_INFO(", feedback age: none");
            }
            if (settings.bus) LOG_INFO(", bus: {}", MotorBus(*motor));
            LOG_INFO("\r\n");
        }
        SleepUs(sleepUs);
    }
}

// Holds and disables every motor, then closes the recording.
void Stop(const std::vector<std::shared_ptr<CtrlMotorInterface>>& motors, TraceRecorder& recorder) {
    HoldAndDisable(motors);
    StopRequested();
    if (recorder.recording()) {
        recorder.stop();
        LOG_INFO("recorded {} samples ({} dropped) to {}\r\n", recorder.samples(),
                 recorder.dropped(), settings.record);
    } else if (!settings.record.empty()) {
        LOG_INFO("no motor was enabled: nothing recorded to {}\r\n", settings.record);
    }
}

}  // namespace

int main(int argc, char** argv) {
    parse_option(argc, argv);
    YAML::Node config;
    int viewPort = 0;
    if (!ReadConfig(config) || !CheckViewOptions(viewPort) || !CatchStopSignals()) return -1;
    const double step = LogSettings();
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    if (!BuildMotors(config, motors)) return -1;
    TraceRecorder recorder;
    if (!PrepareRecording(recorder, motors)) return -1;
    jointbus::LiveView view;
    if (!StartView(view, viewPort, motors)) return -1;
    StartMotors(motors, [&recorder] {
        if (!settings.record.empty() && !recorder.recording() &&
            recorder.start(settings.record) == 0)
            LOG_INFO("recording every motor to {}\r\n", settings.record);
    });
    RunLoop(motors, settings.inverse ? -step : step);
    Stop(motors, recorder);
    LOG_INFO("program exit...\r\n");
    return 0;
}
