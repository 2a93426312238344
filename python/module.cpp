// The jointbus library from Python: the motor interface, the configuration factory, bulk calls
// for a control loop and the trace recorder. Every call that can wait on a bus or a clock
// releases the GIL; the library's own threads never call into Python.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/common/bus_counters.h"
#include "jointbus/common/can_settings.h"
#include "jointbus/common/control_cycle.h"
#include "jointbus/common/motor_config.h"
#include "jointbus/common/command_watchdog.h"
#include "jointbus/common/fatal_policy.h"
#include "jointbus/common/impedance.h"
#include "jointbus/common/motor_limits.h"
#include "jointbus/common/realtime.h"
#include "jointbus/common/result_codes.h"
#include "jointbus/common/stop_sequence.h"
#include "jointbus/common/trace_recorder.h"
#include "jointbus/common/version.h"

namespace py = pybind11;

namespace {


using MotorPtr = std::shared_ptr<CtrlMotorInterface>;
using MotorList = std::vector<MotorPtr>;

// The cycle keeps its motors alive: the library's cycle borrows them.
struct Cycle {
    MotorList motors;
    std::unique_ptr<jointbus::ControlCycle> cycle;
    void Start() {
        if (cycle->start() != 0) throw py::value_error("control cycle: " + cycle->error());
    }
};

// "hold", "disable" or "damp", for the command watchdog and the fault watch.
jointbus::OnCommandTimeout PolicyNamed(const std::string& what, const std::string& name) {
    if (name == "hold") return jointbus::OnCommandTimeout::kHold;
    if (name == "disable") return jointbus::OnCommandTimeout::kDisable;
    if (name == "damp") return jointbus::OnCommandTimeout::kDamp;
    throw py::value_error(what + " must be \"hold\", \"disable\" or \"damp\", not \"" + name +
                          "\"");
}

std::string MeaningOf(int code) {
    const char* meaning = jointbus::ResultCodeMeaning(code);
    return meaning != nullptr ? meaning : "operation failed";
}

// Raises jointbus.MotorError(code, message), the exception class of the package.
[[noreturn]] void RaiseMotorError(int code, const std::string& what) {
    py::object type = py::module_::import("jointbus").attr("MotorError");
    PyErr_SetObject(type.ptr(), py::make_tuple(code, what).ptr());
    throw py::error_already_set();
}

// The message names the motor by id and, where it has one, its bus, and why the bus could not
// be opened where that is so.
void Check(int code, const CtrlMotorInterface& motor, const char* operation) {
    if (code == 0) return;
    const std::string bus = MotorBus(motor);
    const int openError = bus.empty() ? 0 : jointbus::BusOpenError(bus);
    RaiseMotorError(code, std::string(operation) + " on motor " + std::to_string(motor.motor_id) +
                              (bus.empty() ? "" : " (" + bus + ")") + ": " + MeaningOf(code) +
                              (openError != 0 ? std::string("; ") + bus + " cannot be opened: " +
                                                    std::strerror(openError)
                                              : ""));
}

// Runs a motor operation without the GIL and raises for a non-zero result.
template <typename Op>
void Call(CtrlMotorInterface& motor, const char* operation, Op op) {
    int code;
    {
        py::gil_scoped_release unlocked;
        code = op(motor);
    }
    Check(code, motor, operation);
}

// The last value a getter reports; a fault's result code is not a reason to raise here.
template <typename T, int (CtrlMotorInterface::*Get)(T&)>
T Last(CtrlMotorInterface& m) {
    T v{};
    (m.*Get)(v);
    return v;
}
constexpr auto Position = &Last<double, &CtrlMotorInterface::getMotorPosition>;
constexpr auto Velocity = &Last<double, &CtrlMotorInterface::getVelocity>;
constexpr auto Torque = &Last<double, &CtrlMotorInterface::getTorque>;
constexpr auto Temperature = &Last<int, &CtrlMotorInterface::getMotorTemperature>;
bool Enabled(CtrlMotorInterface& m) {
    bool on = false;
    return m.getEnableStatus(on) == 0 && on;
}

MotorList LoadConfig(const std::string& path) {
    YAML::Node config;
    std::string error;
    MotorList motors;
    if (!ReadMotorConfig(path, config, error)) throw py::value_error(error);
    // A program is told of a typo at once: a motor left undriven or at a default is a fault.
    const std::vector<EntryTypo> typos = FindEntryTypos(config);
    if (!typos.empty()) throw py::value_error("config file " + path + ": " + typos.front().Text());
    if (!BuildConfiguredMotors(config, path, motors, error)) throw py::value_error(error);
    if (motors.empty()) throw py::value_error("config file " + path + ": no motors defined");
    return motors;
}

// Recording of motors owned by Python: keeps them alive while registered.
struct Recorder {
    explicit Recorder(unsigned ringSamples) : recorder(ringSamples) {}
    TraceRecorder recorder;
    MotorList motors;
};

}  // namespace

PYBIND11_MODULE(_jointbus, m) {
    m.doc() = "Damiao CAN joint motors and Feetech serial servos, driven by the library's threads.";
    m.def("version", &get_lib_version, "The library's version line.");

    py::class_<CtrlMotorInterface, MotorPtr>(m, "Motor", R"doc(
A motor of any family. Units: rad, rad/s, N·m. Setters and init() raise jointbus.MotorError on a
non-zero result; properties never raise, they give the last value the motor reported.)doc")
        .def_property_readonly(
            "id", [](const CtrlMotorInterface& self) { return self.motor_id; },
            "Id on the bus (CAN id, servo id).")
        .def_property_readonly(
            "bus", [](const CtrlMotorInterface& self) { return MotorBus(self); },
            "Its CAN interface or serial port: with the id, which motor it is (two arms reuse "
            "their ids on two buses).")
        .def_property_readonly(
            "inverse", [](const CtrlMotorInterface& self) { return self.inverse; },
            "Whether values change sign between caller and motor.")
        .def(
            "init",
            [](CtrlMotorInterface& self) {
                Call(self, "init", [](CtrlMotorInterface& x) { return x.init(); });
            },
            "Opens the bus and registers the motor with its sender (may wait 0.5 s).")
        .def(
            "enable",
            [](CtrlMotorInterface& self) {
                Call(self, "enable", [](CtrlMotorInterface& x) { return x.setEnableStatus(true); });
            },
            "Asks the motor to enable; enabled shows when it has.")
        .def(
            "disable",
            [](CtrlMotorInterface& self) {
                Call(self, "disable",
                     [](CtrlMotorInterface& x) { return x.setEnableStatus(false); });
            },
            "Asks the motor to disable.")
        .def(
            "set_position",
            [](CtrlMotorInterface& self, double pos, std::optional<double> speed,
               std::optional<double> torque) {
                if (torque && !speed) throw py::value_error("torque needs a speed as well");
                Call(self, "set_position", [&](CtrlMotorInterface& x) {
                    if (torque) return x.setMotorPosition(pos, *speed, *torque);
                    if (speed) return x.setMotorPosition(pos, *speed);
                    return x.setMotorPosition(pos);
                });
            },
            py::arg("pos"), py::arg("speed") = py::none(), py::arg("torque") = py::none(),
            "Sets the position target (rad); speed (rad/s) and torque (N·m) where the mode uses "
            "them.")
        .def(
            "set_velocity",
            [](CtrlMotorInterface& self, double v) {
                Call(self, "set_velocity", [v](CtrlMotorInterface& x) { return x.setVelocity(v); });
            },
            py::arg("v"), "Sets the velocity target (rad/s).")
        .def(
            "set_home",
            [](CtrlMotorInterface& self, unsigned timeoutMs) {
                // A servo's limit is in whole seconds (a homing servo moves for a while).
                const unsigned limit = MotorHomesSlowly(self)
                                           ? (timeoutMs + 999) / 1000
                                           : timeoutMs;
                Call(self, "set_home", [limit](CtrlMotorInterface& x) { return x.setHome(limit); });
            },
            py::arg("timeout_ms"),
            "Makes the present position zero; waits up to timeout_ms for the motor to confirm "
            "(a servo: whole seconds, rounded up; 0 does not wait). Raises MotorError 3006 when "
            "it was not confirmed in time.")
        .def(
            "set_limits",
            [](CtrlMotorInterface& self, std::optional<std::pair<double, double>> position,
               std::optional<double> velocity, std::optional<double> torque,
               std::optional<double> step) {
                jointbus::MotorLimits limits;
                if (position) std::tie(limits.positionMin, limits.positionMax) = *position;
                if (velocity) limits.velocity = *velocity;
                if (torque) limits.torque = *torque;
                if (step) limits.step = *step;
                const std::string wrong = jointbus::CheckMotorLimits(limits);
                if (!wrong.empty()) throw py::value_error("set_limits: " + wrong);
                jointbus::SetMotorLimits(&self, limits);
            },
            py::kw_only(), py::arg("position") = py::none(), py::arg("velocity") = py::none(),
            py::arg("torque") = py::none(), py::arg("step") = py::none(),
            "Limits beyond the model's ranges: position (min, max) rad, velocity rad/s, torque "
            "N·m, step rad per command. A command beyond one is clamped, with one WARN per "
            "episode; None leaves that limit off, and no argument clears them all.")
        .def_property_readonly(
            "limits",
            [](const CtrlMotorInterface& self) {
                const jointbus::MotorLimits l = jointbus::GetMotorLimits(&self);
                auto opt = [](double v) -> py::object {
                    return std::isinf(v) ? py::none() : py::object(py::float_(v));
                };
                py::dict d;
                d["position"] = std::isinf(l.positionMin) && std::isinf(l.positionMax)
                                    ? py::object(py::none())
                                    : py::object(py::make_tuple(l.positionMin, l.positionMax));
                d["velocity"] = opt(l.velocity);
                d["torque"] = opt(l.torque);
                d["step"] = opt(l.step);
                return d;
            },
            "The limits set_limits (or the configuration's limits:) set; None where there is none.")
        .def_property_readonly(
            "limit_hits", [](const CtrlMotorInterface& self) { return jointbus::MotorLimitHits(&self); },
            "Commands clamped by a limit so far.")
        .def(
            "set_command_watchdog",
            [](CtrlMotorInterface& self, int timeoutMs, const std::string& onTimeout) {
                jointbus::CommandWatchdog w;
                w.timeoutMs = timeoutMs;
                if (timeoutMs < 0 || timeoutMs > jointbus::CommandWatchdog::kMaxTimeoutMs)
                    throw py::value_error(
                        "set_command_watchdog: timeout_ms must be from 0 to " +
                        std::to_string(jointbus::CommandWatchdog::kMaxTimeoutMs) + ", not " +
                        std::to_string(timeoutMs));
                w.policy = PolicyNamed("set_command_watchdog: on_timeout", onTimeout);
                if (jointbus::SetCommandWatchdog(&self, w) != 0)
                    throw py::value_error("set_command_watchdog: motor " +
                                          std::to_string(self.motor_id) +
                                          " cannot damp: only a Damiao motor in MIT mode can");
            },
            py::arg("timeout_ms"), py::arg("on_timeout") = "hold",
            "When the enabled motor gets no command for timeout_ms, its bus holds it where it "
            "stands (\"hold\", until the next command), disables it (\"disable\"), or damps "
            "it for the exit policy's damp_ms and then disables it (\"damp\", Damiao MIT "
            "mode), with one WARN. 0 switches the watchdog off.")
        .def(
            "set_fault_watch",
            [](CtrlMotorInterface& self, int stallMs, int maxTemperature,
               const std::string& onFault) {
                const jointbus::FaultWatch f{stallMs, maxTemperature,
                                             PolicyNamed("set_fault_watch: on_fault", onFault)};
                const std::string wrong = jointbus::CheckFaultWatch(&self, f);
                if (!wrong.empty()) throw py::value_error("set_fault_watch: " + wrong);
                jointbus::SetFaultWatch(&self, f);
            },
            py::kw_only(), py::arg("stall_ms") = 0, py::arg("max_temperature") = 0,
            py::arg("on_fault") = "disable",
            "Latches a fault when the torque stays at the torque limit for stall_ms, or the "
            "temperature reaches max_temperature (°C); on_fault (\"hold\", \"disable\" or "
            "\"damp\") applies once. The fault's code (4007, 4008) stays until clear_fault().")
        .def_property_readonly(
            "latched_fault",
            [](const CtrlMotorInterface& self) { return jointbus::LatchedFault(&self); },
            "The latched fault's code, or 0.")
        .def(
            "clear_fault", [](CtrlMotorInterface& self) { jointbus::ClearLatchedFault(&self); },
            "Clears a latched fault.")
        .def(
            "set_bumpless_enable",
            [](CtrlMotorInterface& self, bool on) { jointbus::SetBumplessEnable(&self, on); },
            py::arg("on") = true,
            "From an enable until the first command the motor holds where it stands; a target "
            "set before the enable is brought within the limits' step of there.")
        .def(
            "set_impedance",
            [](CtrlMotorInterface& self, double pos, double speed, double kp, double kd,
               double torque) {
                const jointbus::ImpedanceCommand c{pos, speed, kp, kd, torque};
                const std::string wrong = jointbus::CheckImpedance(&self, c);
                if (!wrong.empty()) throw py::value_error("set_impedance: " + wrong);
                Call(self, "set_impedance",
                     [&](CtrlMotorInterface& x) { return jointbus::SetImpedance(&x, c); });
            },
            py::arg("pos"), py::arg("speed") = 0.0, py::kw_only(), py::arg("kp"), py::arg("kd"),
            py::arg("torque") = 0.0,
            "A Damiao MIT-mode command with its own gains: position (rad), speed (rad/s), kp, kd "
            "and torque (N·m), within the motor's limits. Kept until the next set_position or "
            "set_velocity, which go back to the motor's own gains.")
        .def(
            "set_torque",
            [](CtrlMotorInterface& self, double torque) {
                const std::string wrong = jointbus::CheckImpedance(&self, {});
                if (!wrong.empty()) throw py::value_error("set_torque: " + wrong);
                Call(self, "set_torque", [&](CtrlMotorInterface& x) {
                    return jointbus::SetTorqueCommand(&x, torque);
                });
            },
            py::arg("torque"),
            "A torque-only command (N·m; kp = kd = 0) for a Damiao motor in MIT mode, within the "
            "motor's torque limit.")
        .def(
            "set_exit_policy",
            [](CtrlMotorInterface& self, const std::string& onExit, int dampMs,
               std::optional<double> dampKd) {
                jointbus::ExitPolicy p;
                if (onExit == "damp_then_disable")
                    p.onExit = jointbus::OnExit::kDampThenDisable;
                else if (onExit != "hold_then_disable")
                    throw py::value_error("set_exit_policy: on_exit must be \"hold_then_disable\" "
                                          "or \"damp_then_disable\", not \"" + onExit + "\"");
                p.dampMs = dampMs;
                if (dampKd) p.dampKd = *dampKd;
                const std::string wrong = jointbus::CheckExitPolicy(&self, p);
                if (!wrong.empty()) throw py::value_error("set_exit_policy: " + wrong);
                jointbus::SetExitPolicy(&self, p);
            },
            py::arg("on_exit"), py::arg("damp_ms") = 500, py::arg("damp_kd") = py::none(),
            "How the library stops the motor at the end (an Arm's close, a signal): "
            "\"hold_then_disable\", or \"damp_then_disable\": a Damiao motor in MIT mode damps "
            "for damp_ms with kp 0 and damp_kd (default: its own kd), then is disabled; other "
            "motors hold, then are disabled.")
        .def_property_readonly(
            "command_timeouts",
            [](const CtrlMotorInterface& self) { return jointbus::CommandTimeouts(&self); },
            "How many times the command watchdog applied its policy.")
        .def_property_readonly("position", Position, "Position (rad), last reported.")
        .def_property_readonly("velocity", Velocity, "Velocity (rad/s), last reported.")
        .def_property_readonly("torque", Torque, "Torque (N·m), last reported.")
        .def_property_readonly("temperature", Temperature, "Temperature (°C), last reported.")
        .def_property_readonly("enabled", &Enabled,
                               "True when the motor reports enabled and no fault.")
        .def_property_readonly(
            "feedback_age",
            [](CtrlMotorInterface& self) -> std::optional<double> {
                double seconds = 0;
                if (MotorFeedbackAge(self, seconds) != 0) return std::nullopt;
                return seconds;
            },
            "Seconds since the last feedback, or None before the first.")
        .def(
            "status",
            [](CtrlMotorInterface& self) {
                bool on = false;
                const int code = self.getEnableStatus(on);
                return py::make_tuple(code,
                                      code == 0 ? (on ? "enabled" : "disabled") : MeaningOf(code));
            },
            "(code, text): 0 with 'enabled' or 'disabled', or a fault's or offline's code.");

    py::class_<damiaoMotor, CtrlMotorInterface, std::shared_ptr<damiaoMotor>>(
        m, "DamiaoMotor", "A Damiao joint motor on a CAN interface.")
        .def(py::init([](int model, unsigned id, unsigned masterId, const std::string& interface,
                         unsigned mode, bool inverse, float kp, float kd,
                         std::optional<unsigned> feedbackTimeoutMs) {
                 auto motor = std::make_shared<damiaoMotor>(model, id, mode, masterId, interface,
                                                            inverse, kp, kd);
                 if (feedbackTimeoutMs) motor->setFeedbackTimeout(*feedbackTimeoutMs);
                 return motor;
             }),
             py::kw_only(), py::arg("model"), py::arg("id"), py::arg("master_id"),
             py::arg("interface"), py::arg("mode") = 0, py::arg("inverse") = false,
             py::arg("kp") = 15.0f, py::arg("kd") = 1.0f,
             py::arg("feedback_timeout_ms") = py::none(),
             "model 4310/4340/6006; mode 0 MIT, 0x100 position-speed, 0x200 speed.")
        .def_property(
            "feedback_timeout_ms",
            [](const damiaoMotor& self) { return self.getFeedbackTimeout(); },
            [](damiaoMotor& self, unsigned ms) { self.setFeedbackTimeout(ms); },
            "Feedback watch time-out (ms); 0 switches the watch off.");

    py::class_<feetechMotor, CtrlMotorInterface, std::shared_ptr<feetechMotor>>(
        m, "FeetechServo", "A Feetech SMS/STS servo on a serial port.")
        .def(py::init([](unsigned id, const std::string& port, unsigned baud, bool inverse) {
                 std::string device = port;
                 return std::make_shared<feetechMotor>(id, baud, device, inverse);
             }),
             py::kw_only(), py::arg("id"), py::arg("port"), py::arg("baud") = 1000000,
             py::arg("inverse") = false)
        .def(
            "abort_home", [](feetechMotor& self) { self.abortHome(); },
            "Cuts a set_home waiting in another thread short.");

    m.def("load_config", &LoadConfig, py::arg("path"), R"doc(
The motors of a configuration file, in file order, not yet initialised. Raises ValueError with
the tool's message for a missing or unusable file.)doc");

    m.def(
        "set_can_interface",
        [](const std::string& interface, int tickUs, int frameGapUs, bool canFd) {
            jointbus::CanInterfaceSettings settings;
            settings.tickUs = tickUs;
            settings.frameGapUs = frameGapUs;
            settings.canFd = canFd;
            if (interface.empty()) throw py::value_error("set_can_interface: no interface name");
            const std::string problem = jointbus::CheckCanInterfaceSettings(settings);
            if (!problem.empty())
                throw py::value_error("set_can_interface " + interface + ": " + problem);
            jointbus::SetCanInterfaceSettings(interface, settings);
        },
        py::arg("interface"), py::kw_only(), py::arg("tick_us") = 0,
        py::arg("frame_gap_us") = jointbus::CanInterfaceSettings::kDefaultFrameGapUs,
        py::arg("can_fd") = false, R"doc(
Sets a CAN interface's sender tick (tick_us 500 to 5000 on a fixed-rate schedule; 0, the
default, the 5 ms timer), the pause after each frame (frame_gap_us 0 to 1000) and CAN-FD
frames (can_fd). Call it before the first motor on the interface is initialised. Raises
ValueError for a value out of range, and changes nothing then.)doc");
    m.def(
        "can_interface",
        [](const std::string& interface) {
            const auto s = jointbus::GetCanInterfaceSettings(interface);
            py::dict out;
            out["tick_us"] = s.tickUs;
            out["frame_gap_us"] = s.frameGapUs;
            out["can_fd"] = s.canFd;
            return out;
        },
        py::arg("interface"),
        "The settings of a CAN interface, as a dict of set_can_interface's keywords.");
    m.def(
        "set_realtime",
        [](int priority, const std::vector<int>& cpus, bool lockMemory) {
            jointbus::RealtimeSettings settings;
            settings.priority = priority;
            settings.cpus = cpus;
            settings.lockMemory = lockMemory;
            const std::string problem = jointbus::CheckRealtimeSettings(settings);
            if (!problem.empty()) throw py::value_error("set_realtime: " + problem);
            py::gil_scoped_release unlocked;  // mlockall can take a while on a large process
            jointbus::SetRealtime(settings);
        },
        py::kw_only(), py::arg("priority") = 0, py::arg("cpus") = std::vector<int>(),
        py::arg("lock_memory") = false, R"doc(
Real-time options for the library's bus threads started from now on: SCHED_FIFO at priority
1 to 99 (0: the normal scheduler), the CPUs they may run on, and mlockall at once. What is not
permitted is logged as a WARN line and the run goes on. Raises ValueError for a value out of
range.)doc");

    m.def(
        "read_all",
        [](const MotorList& motors) {
            std::vector<std::tuple<double, double, double>> rows(motors.size());
            {
                py::gil_scoped_release unlocked;
                for (size_t i = 0; i < motors.size(); ++i)
                    rows[i] = {Position(*motors[i]), Velocity(*motors[i]), Torque(*motors[i])};
            }
            return rows;
        },
        py::arg("motors"), "[(position, velocity, torque), ...] of every motor.");
    m.def(
        "command_all",
        [](const MotorList& motors, const std::vector<double>& positions) {
            if (positions.size() != motors.size())
                throw py::value_error("command_all: " + std::to_string(positions.size()) +
                                      " positions for " + std::to_string(motors.size()) +
                                      " motors");
            int code = 0;
            size_t failed = 0;
            {
                py::gil_scoped_release unlocked;
                for (size_t i = 0; i < motors.size(); ++i) {
                    const int rc = motors[i]->setMotorPosition(positions[i]);
                    if (rc != 0 && code == 0) code = rc, failed = i;
                }
            }
            if (code != 0) Check(code, *motors[failed], "command_all");
        },
        py::arg("motors"), py::arg("positions"),
        "Sets every motor's position target; raises MotorError for the first refusal after "
        "all were sent.");
    m.def(
        "hold_and_disable",
        [](const MotorList& motors) {
            py::gil_scoped_release unlocked;
            return HoldAndDisable(motors);
        },
        py::arg("motors"),
        "Holds each motor where it stands, disables it and waits (3 s at most each); returns how "
        "many still report enabled.");

    m.def(
        "set_fatal_policy",
        [](const std::string& policy) {
            if (policy == "exit")
                jointbus::SetFatalPolicy(jointbus::OnFatal::kExitProcess);
            else if (policy == "disable_bus")
                jointbus::SetFatalPolicy(jointbus::OnFatal::kDisableBus);
            else
                throw py::value_error("set_fatal_policy: \"" + policy +
                                      "\" is not a policy: use \"exit\" or \"disable_bus\"");
        },
        py::arg("policy"),
        "What a Damiao motor's power loss or a lost CAN heartbeat does: \"exit\" (the default) "
        "ends the process at once; \"disable_bus\" disables every motor on that bus, latches "
        "4009 on a motor whose power was lost, and carries on.");
    m.def("fatal_policy", [] {
        return jointbus::GetFatalPolicy() == jointbus::OnFatal::kDisableBus ? "disable_bus"
                                                                            : "exit";
    });

    py::class_<Cycle>(m, "ControlCycle", R"doc(
A cycle that your control loop drives, in place of the buses' own ticks: set targets, then
call cycle(); every motor's frame leaves at once and the call returns when every motor has
answered or the deadline has passed, so the getters then read this cycle's feedback. Every
motor on the listed motors' buses is driven. If the loop stops calling for longer than
watchdog_ms, the buses tick on their own again and the motors hold where they stand.

    with jointbus.ControlCycle(motors) as c:
        while running:
            motor.set_position(target)
            c.cycle()
)doc")
        .def(py::init([](MotorList motors, int watchdogMs, int deadlineUs, int periodUs) {
                 auto cycle = std::make_unique<Cycle>();
                 std::vector<CtrlMotorInterface*> raw;
                 for (const auto& motor : motors) raw.push_back(motor.get());
                 jointbus::ControlCycleOptions options;
                 options.watchdogMs = watchdogMs;
                 options.deadlineUs = deadlineUs;
                 options.periodUs = periodUs;
                 cycle->motors = std::move(motors);
                 cycle->cycle = std::make_unique<jointbus::ControlCycle>(std::move(raw), options);
                 return cycle;
             }),
             py::arg("motors"), py::arg("watchdog_ms") = 50, py::arg("deadline_us") = 500,
             py::arg("period_us") = 1000)
        .def("start", &Cycle::Start, "Takes the buses' ticks; raises ValueError with the reason.")
        .def("stop", [](Cycle& self) { self.cycle->stop(); }, "Hands the ticks back.")
        .def("__enter__", [](Cycle& self) -> Cycle& { self.Start(); return self; })
        .def("__exit__", [](Cycle& self, py::args) { self.cycle->stop(); })
        .def(
            "cycle",
            [](Cycle& self) {
                int silent;
                {
                    py::gil_scoped_release unlocked;
                    silent = self.cycle->cycle();
                }
                if (silent < 0) throw py::value_error("cycle: the control cycle is not started");
                return silent;
            },
            "One cycle; returns how many motors did not answer (see silent).")
        .def_property_readonly(
            "silent",
            [](const Cycle& self) {
                MotorList out;
                for (CtrlMotorInterface* quiet : self.cycle->silent())
                    for (const auto& motor : self.motors)
                        if (motor.get() == quiet) out.push_back(motor);
                return out;
            },
            "The listed motors that did not answer in the last cycle.")
        .def_property_readonly("cycles", [](const Cycle& self) { return self.cycle->cycles(); });

    py::class_<Recorder>(m, "TraceRecorder", "Records every added motor to a CSV file.")
        .def(py::init<unsigned>(), py::arg("ring_samples") = TraceRecorder::kDefaultRingSamples)
        .def(
            "add_motor",
            [](Recorder& self, MotorPtr motor) {
                if (!motor || self.recorder.addMotor(motor.get()) != 0)
                    throw py::value_error("add_motor: no motor, or a recording runs");
                self.motors.push_back(std::move(motor));
            },
            py::arg("motor"))
        .def(
            "start",
            [](Recorder& self, const std::string& path, double rateHz, bool jsonLines) {
                if (self.recorder.start(path, rateHz, jsonLines) != 0)
                    throw py::value_error("cannot start recording to " + path +
                                          " (see the log for why)");
            },
            py::arg("path"), py::arg("rate_hz") = TraceRecorder::kDefaultRateHz,
            py::arg("json_lines") = false)
        .def("stop",
             [](Recorder& self) {
                 py::gil_scoped_release unlocked;
                 self.recorder.stop();
             })
        .def_property_readonly("recording",
                               [](const Recorder& self) { return self.recorder.recording(); })
        .def_property_readonly("samples",
                               [](const Recorder& self) { return self.recorder.samples(); })
        .def_property_readonly("dropped",
                               [](const Recorder& self) { return self.recorder.dropped(); });
}
