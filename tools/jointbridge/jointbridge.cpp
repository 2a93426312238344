// jointbridge: the motors of a configuration file as ROS 2 joints over DDS.
//
//   jointbridge -c motor.yaml [--domain N] [--rate HZ] [--states-topic T] [--commands-topic T]
//               [--array-topic T] [--frame-id ID] [--view PORT]
//
// Builds, homes and enables every motor of the file as spinbench does, then publishes their
// state on /joint_states and takes commands from /joint_commands and
// /forward_position_controller/commands until SIGINT or SIGTERM; then stops publishing, holds
// and disables every motor and exits. ROS_DOMAIN_ID gives the domain when --domain does not.
// A bad option exits with 2 before anything is built; an unusable file or joint name, or a
// bridge DDS refuses, exits with 255.

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "jointbus/common/live_view.h"
#include "jointbus/common/logger.h"
#include "jointbus/common/motor_config.h"
#include "jointbus/common/stop_sequence.h"
#include "jointbus/common/version.h"
#include "jointbus/dds/joint_bridge.h"
#include "motor_run.h"

namespace {

constexpr int kBadOption = 2;
constexpr int kUnusable = 255;

struct Settings {
    std::string config = "motor.yaml";
    jointbus::JointBridgeOptions bridge;
    int viewPort = -1;  // --view, or -1 for none
};

void PrintHelp() {
    std::fputs(
        "usage: jointbridge -c motor.yaml [options]\n"
        "  -c, --config <file>         the motor configuration file (YAML)\n"
        "      --domain <n>            DDS domain, 0 to 232 (default: ROS_DOMAIN_ID, else 0)\n"
        "      --rate <hz>             /joint_states rate, 1 to 10000 Hz (default 100)\n"
        "      --states-topic <t>      default /joint_states\n"
        "      --commands-topic <t>    sensor_msgs/JointState commands, by joint name\n"
        "                              (default /joint_commands)\n"
        "      --array-topic <t>       std_msgs/Float64MultiArray positions, in file order\n"
        "                              (default /forward_position_controller/commands)\n"
        "      --frame-id <id>         the states' header frame_id (default empty)\n"
        "      --view <port>           serve a live view on 127.0.0.1:<port> (0: a free port)\n"
        "  -v, --version               print version info\n"
        "  -h, --help                  this help\n",
        stdout);
}

// A whole number from `low` to `high`; false (with a line on stderr) otherwise.
bool WholeNumber(const char* option, const char* text, long low, long high, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    if (errno == 0 && end != text && *end == '\0' && value >= low && value <= high) return true;
    std::fprintf(stderr, "jointbridge: %s must be a whole number from %ld to %ld, not \"%s\"\n",
                 option, low, high, text);
    return false;
}

bool TopicOption(const char* option, const char* text, std::string& topic) {
    if (!jointbus::DdsTopicName(text).empty()) {
        topic = text;
        return true;
    }
    std::fprintf(stderr, "jointbridge: %s: \"%s\" is not a ROS topic name\n", option, text);
    return false;
}

// Reads the options; exits with 0 after the help or version, with 2 on a bad option.
Settings ParseOptions(int argc, char** argv) {
    enum { kDomain = 0x100, kRate, kStates, kCommands, kArray, kFrameId, kView };
    static const option longOptions[] = {{"config", required_argument, nullptr, 'c'},
                                         {"domain", required_argument, nullptr, kDomain},
                                         {"rate", required_argument, nullptr, kRate},
                                         {"states-topic", required_argument, nullptr, kStates},
                                         {"commands-topic", required_argument, nullptr, kCommands},
                                         {"array-topic", required_argument, nullptr, kArray},
                                         {"frame-id", required_argument, nullptr, kFrameId},
                                         {"view", required_argument, nullptr, kView},
                                         {"version", no_argument, nullptr, 'v'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    Settings settings;
    bool ok = true;
    long value = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, "c:vh", longOptions, nullptr)) != -1) {
        switch (opt) {
            case 'c':
                settings.config = optarg;
                break;
            case kDomain:
                ok = WholeNumber("--domain", optarg, 0, 232, value) && ok;
                settings.bridge.domain = int(value);
                break;
            case kRate: {
                char* end = nullptr;
                const double hz = std::strtod(optarg, &end);
                if (end == optarg || *end != '\0' || !(hz >= 1.0 && hz <= 10000.0)) {
                    std::fprintf(stderr,
                                 "jointbridge: --rate must be 1 to 10000 Hz, not \"%s\"\n", optarg);
                    ok = false;
                }
                settings.bridge.rate_hz = hz;
                break;
            }
            case kStates:
                ok = TopicOption("--states-topic", optarg, settings.bridge.states_topic) && ok;
                break;
            case kCommands:
                ok = TopicOption("--commands-topic", optarg, settings.bridge.commands_topic) && ok;
                break;
            case kArray:
                ok = TopicOption("--array-topic", optarg, settings.bridge.array_topic) && ok;
                break;
            case kFrameId:
                settings.bridge.frame_id = optarg;
                break;
            case kView:
                ok = WholeNumber("--view", optarg, 0, 65535, value) && ok;
                settings.viewPort = int(value);
                break;
            case 'v':
                LOG_INFO("{}\r\n", get_lib_version());
                std::exit(0);
            case 'h':
                PrintHelp();
                std::exit(0);
            default:
                ok = false;  // getopt has named it
                break;
        }
    }
    const jointbus::JointBridgeOptions& b = settings.bridge;
    const std::string states = jointbus::DdsTopicName(b.states_topic);
    if (states == jointbus::DdsTopicName(b.commands_topic) ||
        states == jointbus::DdsTopicName(b.array_topic) ||
        jointbus::DdsTopicName(b.commands_topic) == jointbus::DdsTopicName(b.array_topic)) {
        std::fputs("jointbridge: the states, commands and array topics must differ\n", stderr);
        ok = false;
    }
    if (optind < argc) {
        std::fprintf(stderr, "jointbridge: unexpected argument \"%s\"\n", argv[optind]);
        ok = false;
    }
    if (settings.bridge.domain == -1 && std::getenv("ROS_DOMAIN_ID") != nullptr &&
        *std::getenv("ROS_DOMAIN_ID") != '\0')
        ok = WholeNumber("ROS_DOMAIN_ID", std::getenv("ROS_DOMAIN_ID"), 0, 232, value) && ok;
    if (!ok) {
        std::fputs("jointbridge: see jointbridge --help\n", stderr);
        std::exit(kBadOption);
    }
    return settings;
}

// Builds every motor of the file and names its joint; false (logged) when the file, an entry
// or a name is unusable, or there is no motor.
bool BuildJoints(const Settings& settings, std::vector<std::shared_ptr<CtrlMotorInterface>>& motors,
                 std::vector<std::string>& names) {
    YAML::Node config;
    std::string error;
    if (!ReadMotorConfig(settings.config, config, error)) {
        LOG_ERROR("{}\r\n", error);
        return false;
    }
    LOG_INFO("jointbus lib: {}\r\n", get_lib_version());
    for (const EntryTypo& typo : FindEntryTypos(config))
        LOG_WARN("{}: {}\r\n", settings.config, typo.Text());
    std::vector<size_t> entries;
    if (!BuildConfiguredMotors(config, settings.config, motors, error, &entries)) {
        LOG_ERROR("{}\r\n", error);
        return false;
    }
    if (motors.empty()) {
        LOG_INFO("No motors defined, exit...\r\n");
        return false;
    }
    if (!jointbus::JointNames(config, entries, motors, names, error)) {
        LOG_ERROR("config file {}: {}\r\n", settings.config, error);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const Settings settings = ParseOptions(argc, argv);
    if (!jointbus_tools::CatchStopSignals()) return kUnusable;
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    std::vector<std::string> names;
    if (!BuildJoints(settings, motors, names)) return kUnusable;
    jointbus::JointBridge bridge;
    for (size_t i = 0; i < motors.size(); ++i) bridge.addJoint(names[i], motors[i].get());
    jointbus::LiveView view;
    if (settings.viewPort >= 0) {
        for (const auto& motor : motors) view.addMotor(motor.get());
        if (view.start(settings.viewPort) != 0) return kUnusable;
    }
    // Commands are taken only once every motor is enabled: a command that came earlier would
    // wait in a motor that is not yet homed.
    jointbus_tools::StartMotors(motors);
    int status = 0;
    if (!jointbus_tools::StopRequested()) {
        if (bridge.start(settings.bridge) != 0) {
            status = kUnusable;
        } else {
            while (!jointbus_tools::StopRequested()) jointbus_tools::SleepUs(100000);
            bridge.stop();
            LOG_INFO("jointbridge: published {} states, applied {} commands, refused {}\r\n",
                     bridge.published(), bridge.commandsApplied(), bridge.commandsRefused());
        }
    }
    HoldAndDisable(motors);
    jointbus_tools::StopRequested();
    LOG_INFO("program exit...\r\n");
    return status;
}
