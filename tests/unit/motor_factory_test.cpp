// The configuration factory's key table, in-process.

#include "jointbus/common/motor_factory.h"
#include "jointbus/common/motor_config.h"

#include <gtest/gtest.h>

#include <cstring>

#include "jointbus/common/bus_counters.h"
#include "jointbus/common/motor_limits.h"
#include "jointbus/common/result_codes.h"
#include "jointbus/common/virtual_motor.h"
#include "log_capture.h"

using testsupport::LogCapture;

namespace {
std::shared_ptr<CtrlMotorInterface> Allocate(const std::string& yaml) {
    return MotorAllocate(YAML::Load(yaml));
}
}  // namespace

TEST(MotorFactory, VendorAloneGivesTheDefaults) {
    LogCapture log;
    auto motor = Allocate("vendor: damiao");
    ASSERT_TRUE(motor);
    auto* m = dynamic_cast<damiaoMotor*>(motor.get());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->model, 4340);
    EXPECT_EQ(m->motor_id, 0u);
    EXPECT_EQ(m->mode, 0u);
    EXPECT_EQ(m->master_id, 0u);
    EXPECT_EQ(m->dev_name, "");
    EXPECT_FALSE(m->inverse);
    EXPECT_EQ(m->kp, 15.0f);
    EXPECT_EQ(m->kd, 1.0f);
    // Line numbers depend on what the process logged before; the texts are exact.
    EXPECT_EQ(log.Count("Allocate Motor: damiao\n"), 1u);
    EXPECT_EQ(log.Count("id: 0X0; master_id: 0X0; mode: 0; strdev: , inverse: false\r\n"), 1u);
    EXPECT_EQ(log.Count("motor_model: 4340\r\n"), 1u);
}

TEST(MotorFactory, AllKeysAreRead) {
    auto motor = Allocate(
        "{vendor: DaMiao, id: 1, master_id: 0x11, dev_name: can1, mode: 256, kp: 40, kd: 2.5,"
        " motor_model: 6006, inverse: true, baudrate: 9600}");
    auto* m = dynamic_cast<damiaoMotor*>(motor.get());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->motor_id, 1u);
    EXPECT_EQ(m->master_id, 0x11u);
    EXPECT_EQ(m->dev_name, "can1");
    EXPECT_EQ(m->mode, 256u);
    EXPECT_EQ(m->kp, 40.0f);
    EXPECT_EQ(m->kd, 2.5f);
    EXPECT_EQ(m->model, 6006);
    EXPECT_TRUE(m->inverse);
}

TEST(MotorFactory, LenientKeysFallBackQuietly) {
    LogCapture log;
    auto motor = Allocate("{vendor: damiao, kp: fast, kd: ~, motor_model: big, inverse: maybe}");
    auto* m = dynamic_cast<damiaoMotor*>(motor.get());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->kp, 15.0f);
    EXPECT_EQ(m->kd, 1.0f);
    EXPECT_EQ(m->model, 4340);
    EXPECT_FALSE(m->inverse);
    EXPECT_EQ(log.Count("[ERROR]"), 0u);
}

TEST(MotorFactory, StrictKeysThrowTheReadersError) {
    EXPECT_THROW(Allocate("{vendor: damiao, id: one}"), YAML::Exception);
    EXPECT_THROW(Allocate("{vendor: damiao, id: ~}"), YAML::Exception);  // null counts as present
    EXPECT_THROW(Allocate("{vendor: damiao, mode: fast}"), YAML::Exception);
    EXPECT_THROW(Allocate("{vendor: damiao, master_id: [1]}"), YAML::Exception);
    EXPECT_THROW(Allocate("{vendor: [damiao]}"), YAML::Exception);
    EXPECT_THROW(Allocate("just a scalar"), YAML::Exception);
}

TEST(MotorFactory, EntriesThatGiveNoMotor) {
    LogCapture log;
    EXPECT_FALSE(MotorAllocate(YAML::Node(YAML::NodeType::Null)));
    EXPECT_EQ(log.Text(), "");
    EXPECT_FALSE(Allocate("{id: 3}"));
    EXPECT_EQ(log.Count("[ERROR] Must specify motor vendor name!!!\r\n"), 1u);
    EXPECT_FALSE(Allocate("[1, 2]"));  // a sequence has no vendor either
    EXPECT_EQ(log.Count("Must specify motor vendor name!!!"), 2u);
    EXPECT_FALSE(Allocate("{vendor: Stepper}"));
    EXPECT_EQ(log.Count("Allocate Motor: stepper\n"), 1u);
    EXPECT_FALSE(Allocate("{vendor: ~}"));  // a null vendor reads as the text "null"
    EXPECT_EQ(log.Count("Allocate Motor: null\n"), 1u);
    EXPECT_EQ(log.Count("Allocate Motor: \n"), 0u);
}

TEST(MotorFactory, SequenceWithANullEntryGivesTwoMotorsInOrder) {
    const YAML::Node list = YAML::Load("[{vendor: damiao, id: 1}, ~, {vendor: damiao, id: 2}]");
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    for (const auto& entry : list)
        if (auto m = MotorAllocate(entry)) motors.push_back(m);
    ASSERT_EQ(motors.size(), 2u);
    EXPECT_EQ(motors[0]->motor_id, 1u);
    EXPECT_EQ(motors[1]->motor_id, 2u);
}

TEST(MotorFactory, FeetechEntries) {
    LogCapture log;
    auto motor = Allocate("vendor: Feetech");
    auto* s = dynamic_cast<feetechMotor*>(motor.get());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->motor_id, 0u);
    EXPECT_EQ(s->uartBaud, 115200u);
    EXPECT_EQ(s->uartDevice, "");
    EXPECT_FALSE(s->inverse);
    EXPECT_EQ(log.Count("Allocate Motor: feetech\n"), 1u);
    EXPECT_EQ(log.Count("id: 0X0; baud: 115200; device name: ; inverse: false\r\n"), 1u);

    motor = Allocate(
        "{vendor: feetech, id: 7, baudrate: fast, kp: 3, dev_name: /dev/ttyUSB0, inverse: true}");
    s = dynamic_cast<feetechMotor*>(motor.get());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->motor_id, 7u);
    EXPECT_EQ(s->uartBaud, 115200u);
    EXPECT_EQ(s->uartDevice, "/dev/ttyUSB0");
    EXPECT_TRUE(s->inverse);
    EXPECT_EQ(Allocate("{vendor: feetech, baudrate: 1000000}")->motor_id, 0u);
}

TEST(MotorFactory, MixedListInFileOrder) {
    const YAML::Node list = YAML::Load("[{vendor: damiao, id: 1}, {vendor: feetech, id: 2}]");
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    for (const auto& entry : list) motors.push_back(MotorAllocate(entry));
    ASSERT_EQ(motors.size(), 2u);
    EXPECT_NE(dynamic_cast<damiaoMotor*>(motors[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<feetechMotor*>(motors[1].get()), nullptr);
}

// Two arms reuse their ids on two buses; only one vendor's id twice on one bus is the same
// motor, and that stops the whole list with both entries named.
TEST(MotorFactory, AnIdMayRepeatOnlyOnAnotherBus) {
    LogCapture log;
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    std::string error;
    ASSERT_TRUE(BuildConfiguredMotors(YAML::Load("motor_init_para:\n"
                                                 "  - {vendor: damiao, id: 1, dev_name: can0}\n"
                                                 "  - {vendor: damiao, id: 1, dev_name: can1}\n"
                                                 "  - {vendor: feetech, id: 1, dev_name: can0}\n"
                                                 "  - {vendor: feetech, id: 1, dev_name: /dev/a}\n"
                                                 "  - {vendor: feetech, id: 1, dev_name: /dev/b}\n"),
                                      "two.yaml", motors, error))
        << error;
    ASSERT_EQ(motors.size(), 5u);
    EXPECT_EQ(MotorBus(*motors[0]), "can0");
    EXPECT_EQ(MotorBus(*motors[1]), "can1");
    EXPECT_EQ(MotorBus(*motors[4]), "/dev/b");

    EXPECT_FALSE(BuildConfiguredMotors(YAML::Load("motor_init_para:\n"
                                                  "  - {vendor: feetech, id: 3, dev_name: /dev/a}\n"
                                                  "  - ~\n"
                                                  "  - {vendor: damiao, id: 3, dev_name: /dev/a}\n"
                                                  "  - {vendor: Feetech, id: 3, dev_name: /dev/a}\n"),
                                       "two.yaml", motors, error));
    EXPECT_TRUE(motors.empty());
    EXPECT_EQ(error,
              "config file two.yaml: entries 1 and 4 are the same motor (feetech id 3 on /dev/a)");
}

// Every family of the table builds a motor it recognises, and only that family claims it:
// the questions the tool asks (keys, slow homing, feedback age) follow from the entry.
TEST(MotorFactory, EveryFamilyOfTheTableOwnsWhatItBuilds) {
    LogCapture log;
    for (const auto& family : MotorFamilies()) {
        auto motor = Allocate(std::string("{vendor: ") + family.vendor + ", id: 3}");
        ASSERT_TRUE(motor) << family.vendor;
        EXPECT_EQ(MotorFamilyOf(*motor), &family) << family.vendor;
        EXPECT_EQ(FindMotorFamily(family.vendor), &family);
        const auto keys = MotorEntryKeys(YAML::Load(std::string("vendor: ") + family.vendor));
        // Every entry shares vendor, id, dev_name, inverse, name and safety.
        EXPECT_EQ(keys.size(), 6 + family.keys.size()) << family.vendor;
        double age = 0;
        EXPECT_NE(MotorFeedbackAge(*motor, age), 0) << "no feedback yet: " << family.vendor;
    }
    EXPECT_EQ(FindMotorFamily("maxon"), nullptr);
    EXPECT_TRUE(MotorEntryKeys(YAML::Load("vendor: maxon")).empty());
}

TEST(MotorFactory, OnlyServosHomeSlowly) {
    LogCapture log;
    EXPECT_FALSE(MotorHomesSlowly(*Allocate("{vendor: damiao, id: 1}")));
    EXPECT_TRUE(MotorHomesSlowly(*Allocate("{vendor: feetech, id: 1}")));
    VirtualMotor plain;
    EXPECT_FALSE(MotorHomesSlowly(plain));
    EXPECT_EQ(MotorFamilyOf(plain), nullptr);
    double age = 0;
    EXPECT_EQ(MotorFeedbackAge(plain, age), -1);
}

// A motor whose bus is not there (no such CAN interface, no such serial port): init reports it
// with the offline code instead of success, and its ERROR line names the bus and the system's
// reason, which BusOpenError keeps for callers (the Python module's message).
TEST(MotorFactory, InitOnABusThatIsNotThereReportsItWithTheReason) {
    for (const char* entry :
         {"{vendor: damiao, id: 1, master_id: 0x11, dev_name: jbabsent0, motor_model: 4310}",
          "{vendor: feetech, id: 1, dev_name: /nonexistent/jbabsent, baudrate: 1000000}"}) {
        auto motor = Allocate(entry);
        ASSERT_TRUE(motor) << entry;
        LogCapture log;
        EXPECT_EQ(motor->init(), jointbus::kOffline) << entry;
        const std::string bus = MotorBus(*motor);
        const int err = jointbus::BusOpenError(bus);
        EXPECT_NE(err, 0) << entry;
        EXPECT_EQ(log.Count(" on " + bus + ": " +
                            (bus[0] == '/' ? "the port" : "no answer, the interface") +
                            " cannot be opened: " + std::strerror(err) + "\r\n"),
                  1u)
            << log.Text();
    }
}

// Typos in entries, found for the tools' WARN lines and refusals: an unknown vendor (the entry
// is skipped) and keys no family reads, with the nearest known word where one is near.
TEST(MotorFactory, EntryTyposNameTheEntryAndTheNearestWord) {
    const auto typos = FindEntryTypos(YAML::Load(
        "motor_init_para:\n"
        "  - {vendor: damiao, id: 1, motor_modle: 4310, masterid: 0x11, colour: red}\n"
        "  - ~\n"
        "  - {vendor: Damaio, id: 2}\n"
        "  - {vendor: feetech, id: 3, baud: 1000000, kp: 2}\n"
        "  - {vendor: stepper, id: 4}\n"
        "  - {id: 5}\n"));
    std::vector<std::string> texts;
    for (const auto& typo : typos) texts.push_back(typo.Text());
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "motor_init_para entry 1: unknown key \"motor_modle\" (did you mean "
                         "\"motor_model\"?), not read",
                         "motor_init_para entry 1: unknown key \"masterid\" (did you mean "
                         "\"master_id\"?), not read",
                         "motor_init_para entry 1: unknown key \"colour\", not read",
                         "motor_init_para entry 3: unknown vendor \"Damaio\" (did you mean "
                         "\"damiao\"?), the entry is skipped",
                         "motor_init_para entry 4: unknown key \"baud\", not read",
                         "motor_init_para entry 4: unknown key \"kp\", not read",
                         "motor_init_para entry 5: unknown vendor \"stepper\", the entry is "
                         "skipped"}));
}

// An entry's limits: set on the motor it builds, or refused with the key that is wrong before
// any motor is built.
TEST(MotorFactory, LimitsAreReadAndCheckedAgainstTheModel) {
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    std::string error;
    ASSERT_TRUE(BuildConfiguredMotors(
        YAML::Load("motor_init_para:\n"
                   "  - {vendor: damiao, id: 1, motor_model: 4310, limits: {position: [-1.5, "
                   "1.5], velocity: 3.0, torque: 4.0, step: 0.2}}\n"
                   "  - {vendor: feetech, id: 2, dev_name: /dev/x, limits: {step: 0.1}}\n"),
        "m.yaml", motors, error))
        << error;
    const jointbus::MotorLimits joint = jointbus::GetMotorLimits(motors[0].get());
    EXPECT_EQ(joint.positionMin, -1.5);
    EXPECT_EQ(joint.positionMax, 1.5);
    EXPECT_EQ(joint.velocity, 3.0);
    EXPECT_EQ(joint.torque, 4.0);
    EXPECT_EQ(joint.step, 0.2);
    EXPECT_EQ(jointbus::GetMotorLimits(motors[1].get()).step, 0.1);
    EXPECT_TRUE(FindEntryTypos(YAML::Load("motor_init_para:\n"
                                          "  - {vendor: damiao, limits: {step: 1}}\n"))
                    .empty());

    const struct {
        const char* limits;
        const char* vendor;
        const char* message;
    } bad[] = {
        {"{position: [-13, 1]}", "damiao", "position is beyond the model's range of +-12.5 rad"},
        {"{velocity: 31}", "damiao", "velocity 31 is beyond the model's 30 rad/s"},
        {"{torque: 11}", "damiao", "torque 11 is beyond the model's 10 N·m"},
        {"{position: [1, -1]}", "damiao", "position: the minimum 1 is above the maximum -1"},
        {"{position: 1}", "damiao", "position must be [min, max]"},
        {"{step: 0}", "damiao", "step must be above 0, not 0"},
        {"{speed: 1}", "damiao", "unknown key \"speed\" (position, velocity, torque, step)"},
        {"[1, 2]", "damiao", "must be a map of position, velocity, torque and step"},
        {"{torque: 1}", "feetech", "limits of Feetech servo 1: a servo takes no torque limit"},
        {"{velocity: fast}", "feetech", "bad conversion"},
    };
    for (const auto& c : bad) {
        const std::string text = std::string("motor_init_para:\n  - {vendor: ") + c.vendor +
                                 ", id: 1, motor_model: 4310, limits: " + c.limits + "}\n";
        EXPECT_FALSE(BuildConfiguredMotors(YAML::Load(text), "m.yaml", motors, error)) << text;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_TRUE(motors.empty());
    }
}

// The root's safety map reaches every motor, and an entry's own map overrides it key by key;
// a bad key or value is refused, naming it, before any motor is built.
TEST(MotorFactory, SafetyMapsSetTheWatchdogTheExitPolicyAndTheFaultWatch) {
    std::vector<std::shared_ptr<CtrlMotorInterface>> motors;
    std::string error;
    ASSERT_TRUE(BuildConfiguredMotors(
        YAML::Load("safety: {command_timeout_ms: 200, on_command_timeout: disable}\n"
                   "motor_init_para:\n"
                   "  - {vendor: damiao, id: 1, motor_model: 4310}\n"
                   "  - {vendor: feetech, id: 2, dev_name: /dev/x,"
                   " safety: {on_command_timeout: hold}}\n"
                   "  - {vendor: feetech, id: 3, dev_name: /dev/x,"
                   " safety: {command_timeout_ms: 0}}\n"),
        "m.yaml", motors, error))
        << error;
    const jointbus::CommandWatchdog joint = jointbus::GetCommandWatchdog(motors[0].get());
    const jointbus::CommandWatchdog servo = jointbus::GetCommandWatchdog(motors[1].get());
    EXPECT_EQ(joint.timeoutMs, 200);
    EXPECT_EQ(joint.policy, jointbus::OnCommandTimeout::kDisable);
    EXPECT_EQ(servo.timeoutMs, 200);
    EXPECT_EQ(servo.policy, jointbus::OnCommandTimeout::kHold);
    EXPECT_EQ(jointbus::GetCommandWatchdog(motors[2].get()).timeoutMs, 0) << "switched off";

    ASSERT_TRUE(BuildConfiguredMotors(
        YAML::Load("safety: {on_exit: damp_then_disable, damp_kd: 2.5}\n"
                   "motor_init_para:\n"
                   "  - {vendor: damiao, id: 1, limits: {torque: 4},"
                   " safety: {on_command_timeout: damp, command_timeout_ms: 100, damp_ms: 300,"
                   " stall_ms: 300, max_temperature: 70, on_fault: hold, bumpless_enable: true}}\n"
                   "  - {vendor: feetech, id: 2, dev_name: /dev/x}\n"),
        "m.yaml", motors, error))
        << error;
    const jointbus::ExitPolicy exit = jointbus::GetExitPolicy(motors[0].get());
    EXPECT_EQ(exit.onExit, jointbus::OnExit::kDampThenDisable);
    EXPECT_EQ(exit.dampMs, 300);
    EXPECT_EQ(exit.dampKd, 2.5);
    EXPECT_EQ(jointbus::GetCommandWatchdog(motors[0].get()).policy,
              jointbus::OnCommandTimeout::kDamp);
    const jointbus::FaultWatch faults = jointbus::GetFaultWatch(motors[0].get());
    EXPECT_EQ(faults.stallMs, 300);
    EXPECT_EQ(faults.maxTemperature, 70);
    EXPECT_EQ(faults.onFault, jointbus::OnCommandTimeout::kHold);
    EXPECT_TRUE(jointbus::GetBumplessEnable(motors[0].get()));
    EXPECT_FALSE(jointbus::GetBumplessEnable(motors[1].get()));
    EXPECT_EQ(jointbus::GetExitPolicy(motors[1].get()).onExit, jointbus::OnExit::kDampThenDisable)
        << "a servo takes the policy and holds instead";
    const std::string servoDamp =
        "motor_init_para:\n  - {vendor: feetech, id: 2, dev_name: /dev/x,"
        " safety: {on_command_timeout: damp}}\n";
    EXPECT_FALSE(BuildConfiguredMotors(YAML::Load(servoDamp), "m.yaml", motors, error));
    EXPECT_NE(error.find("only a Damiao motor in MIT mode can damp"), std::string::npos) << error;

    const struct {
        const char* root;
        const char* own;
        const char* message;
    } bad[] = {
        {"{command_timeout_ms: -1}", "~", "safety: command_timeout_ms must be a whole number"},
        {"{command_timeout_ms: 1.5}", "~", "bad conversion"},
        {"~", "{on_command_timeout: stop}",
         "safety of Damiao motor 1: on_command_timeout must be hold, disable or damp, not \"stop\""},
        {"{on_exit: drop}", "~", "safety: on_exit must be hold_then_disable or damp_then_disable"},
        {"{damp_ms: 0}", "~", "safety: damp_ms must be a whole number from 1 to 60000"},
        {"{damp_kd: 9}", "~", "safety of Damiao motor 1: damp_kd 9 is beyond the model's kd range"},
        {"{stall_ms: 300}", "~", "stall_ms needs a torque limit"},
        {"{on_fault: stop}", "~", "on_fault must be hold, disable or damp, not \"stop\""},
        {"{timeout: 5}", "~", "safety: unknown key \"timeout\""},
        {"[1]", "~", "safety: must be a map"},
    };
    for (const auto& c : bad) {
        const std::string text = std::string("safety: ") + c.root +
                                 "\nmotor_init_para:\n  - {vendor: damiao, id: 1, safety: " +
                                 c.own + "}\n";
        EXPECT_FALSE(BuildConfiguredMotors(YAML::Load(text), "m.yaml", motors, error)) << text;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_TRUE(motors.empty());
    }
}
