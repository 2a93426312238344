// Register lookup and value conversion of the commissioning tables.

#include "jointbus/common/register_info.h"

#include <gtest/gtest.h>

#include "jointbus/DaMiao/damiao_registers.h"
#include "jointbus/Feetech/feetech_registers.h"

using jointbus::FindRegister;
using jointbus::FormatRegisterValue;
using jointbus::ParseRegisterValue;

TEST(RegisterInfo, LookupByNameOrNumber) {
    EXPECT_EQ(FindRegister(Damiao::kRegisters, "ctrl_mode")->address, 10);
    EXPECT_EQ(FindRegister(Damiao::kRegisters, "0x23")->address, 35);
    EXPECT_EQ(FindRegister(Feetech::kServoRegisters, "ID")->address, 5);
    EXPECT_EQ(FindRegister(Feetech::kServoRegisters, "33")->address, 33);
    for (const char* unknown : {"", "MODE ", "99", "10x", "-1"})
        EXPECT_EQ(FindRegister(Damiao::kRegisters, unknown), nullptr) << unknown;
}

TEST(RegisterInfo, ValuesAreCheckedAndConverted) {
    std::string error;
    uint32_t raw = 0;
    const auto& pmax = *FindRegister(Damiao::kRegisters, "PMAX");
    ASSERT_TRUE(ParseRegisterValue(pmax, "12.5", raw, error)) << error;
    EXPECT_EQ(raw, 0x41480000u);
    EXPECT_EQ(FormatRegisterValue(pmax, raw), "12.5");

    const auto& offset = *FindRegister(Feetech::kServoRegisters, "offset");
    ASSERT_TRUE(ParseRegisterValue(offset, "-300", raw, error)) << error;
    EXPECT_EQ(raw, 300u | 0x800u) << "sign in bit 11";
    EXPECT_EQ(FormatRegisterValue(offset, raw), "-300");

    const auto& id = *FindRegister(Damiao::kRegisters, "ESC_ID");
    ASSERT_TRUE(ParseRegisterValue(id, "0x7FF", raw, error)) << error;
    EXPECT_EQ(raw, 0x7FFu);
    const struct {
        const char* text;
        const char* message;
    } bad[] = {{"0x800", "0x800 is out of range for ESC_ID (1 to 2047)"},
               {"0", "0 is out of range for ESC_ID"},
               {"1.5", "'1.5' is not a whole-number value for ESC_ID"},
               {"", "'' is not a whole-number value"},
               {"nan", "'nan' is not a whole-number value"}};
    for (const auto& b : bad) {
        raw = 12345;
        EXPECT_FALSE(ParseRegisterValue(id, b.text, raw, error)) << b.text;
        EXPECT_NE(error.find(b.message), std::string::npos) << error;
        EXPECT_EQ(raw, 12345u) << "nothing converted";
    }
    EXPECT_FALSE(ParseRegisterValue(pmax, "inf", raw, error));
    EXPECT_FALSE(ParseRegisterValue(pmax, "-1", raw, error));
}
