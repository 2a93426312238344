// Damiao frames byte for byte.

#include "jointbus/DaMiao/damiao_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "hex.h"

using namespace Damiao;
using testsupport::Hex;

namespace {

Ranges Model(int model) {
    Ranges r;
    EXPECT_TRUE(RangesForModel(model, r));
    return r;
}

}  // namespace

TEST(DamiaoCodec, PackingEdges) {
    EXPECT_EQ(FloatToUint(0, -12.5, 12.5, 16), 32767u);
    EXPECT_EQ(FloatToUint(12.5, -12.5, 12.5, 16), 65535u);
    EXPECT_EQ(FloatToUint(-12.5, -12.5, 12.5, 16), 0u);
    EXPECT_NEAR(UintToFloat(2048, -30, 30, 12), 0.00733f, 1e-5);
    EXPECT_NEAR(UintToFloat(2047, -30, 30, 12), -0.00733f, 1e-5);
}

// A value just past one end must not wrap to the other end of the range.
TEST(DamiaoCodec, PackingSaturates) {
    EXPECT_EQ(FloatToUint(12.6f, -12.5, 12.5, 16), 65535u);
    EXPECT_EQ(FloatToUint(-13.0f, -12.5, 12.5, 16), 0u);
    EXPECT_EQ(FloatToUint(std::numeric_limits<float>::infinity(), -30, 30, 12), 4095u);
    EXPECT_EQ(FloatToUint(-std::numeric_limits<float>::infinity(), -30, 30, 12), 0u);
    EXPECT_EQ(FloatToUint(std::nanf(""), -30, 30, 12), 0u);
    EXPECT_EQ(FloatToUint(1.0f, 0, 0, 12), 0u);  // unknown model: no division by zero
    EXPECT_EQ(FloatToUint(600.0f, 0, 500, 12), 4095u);
}

TEST(DamiaoCodec, MitFrames) {
    const Ranges r = Model(4310);
    uint8_t f[8];
    EncodeMit(r, 0, 0, 0, 0, 0, f);
    EXPECT_EQ(Hex(f, 8), "7F FF 7F F0 00 00 07 FF");
    EncodeMit(r, 1.0f, 0, 15, 1, 0, f);
    EXPECT_EQ(Hex(f, 8), "8A 3C 7F F0 7A 33 37 FF");
    const MitCommand back = DecodeMit(r, f);
    EXPECT_NEAR(back.p, 1.0f, 1e-3);
    EXPECT_NEAR(back.kp, 15.0f, 0.2);
    EncodeMit(r, 13.0f, 31.0f, 501, 6, 11, f);  // all past their maxima
    EXPECT_EQ(Hex(f, 8), "FF FF FF FF FF FF FF FF");
}

TEST(DamiaoCodec, FloatFrames) {
    const Ranges r = Model(4310);
    uint8_t f[8] = {};
    EncodeSpeed(r, 1.0f, f);
    EXPECT_EQ(Hex(f, 4), "00 00 80 3F");
    EncodePosSpeed(r, 1.0f, -1.0f, f);
    EXPECT_EQ(Hex(f, 8), "00 00 80 3F 00 00 80 BF");
    EncodeSpeed(r, 100.0f, f);  // saturated to V_MAX 30
    EXPECT_EQ(GetFloatLE(f), 30.0f);
    EncodeSpeed(r, std::nanf(""), f);
    EXPECT_EQ(GetFloatLE(f), 0.0f);
}

TEST(DamiaoCodec, SpecialFrames) {
    uint8_t f[8];
    EncodeSpecial(kEnable, f);
    EXPECT_EQ(Hex(f, 8), "FF FF FF FF FF FF FF FC");
    EncodeSpecial(kDisable, f);
    EXPECT_EQ(f[7], 0xFD);
    EncodeSpecial(kSaveZero, f);
    EXPECT_EQ(f[7], 0xFE);
    EncodeSpecial(kClearError, f);
    EXPECT_EQ(f[7], 0xFB);
}

TEST(DamiaoCodec, FeedbackDecoding) {
    const Ranges r = Model(4310);
    const uint8_t d[8] = {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x23};
    const Feedback fb = DecodeFeedback(r, d);
    EXPECT_EQ(fb.state, 1);
    EXPECT_NEAR(fb.position, -0.00019f, 1e-5);
    EXPECT_NEAR(fb.velocity, -0.00733f, 1e-5);
    EXPECT_NEAR(fb.torque, -0.00244f, 1e-5);
    EXPECT_EQ(fb.temperature, 35);
    EXPECT_FALSE(IsPowerLoss(d));

    uint8_t out[8];
    EncodeFeedback(r, 9, 1.5f, -2.0f, 3.0f, 40, out);
    const Feedback again = DecodeFeedback(r, out);
    EXPECT_EQ(again.state, 9);
    EXPECT_NEAR(again.position, 1.5f, 1e-3);
    EXPECT_NEAR(again.velocity, -2.0f, 0.02);
    EXPECT_NEAR(again.torque, 3.0f, 0.01);
    EXPECT_EQ(again.temperature, 40);
}

TEST(DamiaoCodec, PowerLossPattern) {
    const uint8_t lost[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const uint8_t enabled[8] = {0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const uint8_t almost[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
    EXPECT_TRUE(IsPowerLoss(lost));
    EXPECT_FALSE(IsPowerLoss(enabled));
    EXPECT_FALSE(IsPowerLoss(almost));
}

TEST(DamiaoCodec, ModelRanges) {
    Ranges r;
    ASSERT_TRUE(RangesForModel(4340, r));
    EXPECT_EQ(r.V_MAX, 10);
    EXPECT_EQ(r.T_MAX, 28);
    EXPECT_EQ(r.maxSpeed, 3.768);
    ASSERT_TRUE(RangesForModel(6006, r));
    EXPECT_EQ(r.V_MAX, 45);
    EXPECT_FALSE(RangesForModel(4311, r));
    EXPECT_EQ(r.P_MAX, 0);
}

TEST(DamiaoCodec, RegisterFrames) {
    uint8_t d[8];
    EncodeRegisterRequest(0x102, kRegisterWrite, 9, 0x00001388, d);
    EXPECT_EQ(Hex(d, 8), "02 01 55 09 88 13 00 00");
    EncodeRegisterRequest(3, kRegisterRead, 10, 0, d);
    EXPECT_EQ(Hex(d, 8), "03 00 33 0A 00 00 00 00");
    EncodeRegisterStore(3, d);
    EXPECT_EQ(Hex(d, 8), "03 00 AA 01 00 00 00 00");

    const uint8_t answer[8] = {0x03, 0x00, 0x33, 0x15, 0x00, 0x00, 0x48, 0x41};  // PMAX 12.5
    EXPECT_TRUE(IsRegisterReply(answer, 3, kRegisterRead, 0x15));
    EXPECT_FALSE(IsRegisterReply(answer, 4, kRegisterRead, 0x15)) << "another motor's";
    EXPECT_FALSE(IsRegisterReply(answer, 3, kRegisterRead, 0x16)) << "another register";
    EXPECT_FALSE(IsRegisterReply(answer, 3, kRegisterWrite, 0x15)) << "a write's echo";
    EXPECT_TRUE(IsAnyRegisterReply(answer, 3));
    EXPECT_EQ(RegisterValue(answer), 0x41480000u);
    EXPECT_EQ(GetFloatLE(answer + 4), 12.5f);

    uint32_t offset = 7;
    EXPECT_EQ(ModeRegisterOf(kMit), 1u);
    EXPECT_EQ(ModeRegisterOf(kSpeed), 3u);
    EXPECT_EQ(ModeRegisterOf(0x300), 4u);
    EXPECT_EQ(ModeRegisterOf(0x180), 0u);
    EXPECT_TRUE(ModeOffsetOf(2, offset));
    EXPECT_EQ(offset, uint32_t(kPosSpeed));
    EXPECT_FALSE(ModeOffsetOf(0, offset));
    EXPECT_FALSE(ModeOffsetOf(5, offset));
}
