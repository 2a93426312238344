// The Feetech packet codec byte for byte: every builder, the SYNC WRITE split, reply checks
// and the feedback block. No port, no threads.

#include "jointbus/Feetech/feetech_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hex.h"

using testsupport::Hex;

namespace {

std::string Packet(const uint8_t* buf, int length) {
    return length > 0 ? Hex(buf, length) : "refused";
}

}  // namespace

TEST(FeetechCodec, AddressedPacketsByteForByte) {
    uint8_t buf[Feetech::kMaxPacket] = {};
    EXPECT_EQ(Packet(buf, Feetech::MakePing(buf, sizeof buf, 1)), "FF FF 01 02 01 FB");
    EXPECT_EQ(Packet(buf, Feetech::MakeRead(buf, sizeof buf, 1, 56, 2)), "FF FF 01 04 02 38 02 BE");
    const uint8_t word[2] = {0x64, 0x80};
    EXPECT_EQ(Packet(buf, Feetech::MakeWrite(buf, sizeof buf, 3, 46, word, 2)),
              "FF FF 03 05 03 2E 64 80 E2");
    EXPECT_EQ(Packet(buf, Feetech::MakeAction(buf, sizeof buf)), "FF FF FE 02 05 FA");
    // acc 10, position -100, time 0, speed 500: the block of registers 41 to 47.
    EXPECT_EQ(Packet(buf, Feetech::MakePositionWrite(buf, sizeof buf, Feetech::kWrite, 1, -100, 500,
                                                     10, 0)),
              "FF FF 01 0A 03 29 0A 64 80 00 00 F4 01 E5");
    EXPECT_EQ(
        Packet(buf, Feetech::MakePositionWrite(buf, sizeof buf, Feetech::kRegWrite, 1, 0, 0, 0, 0)),
        "FF FF 01 0A 04 29 00 00 00 00 00 00 00 C7");
}

TEST(FeetechCodec, BuildersNeverWritePastTheBuffer) {
    uint8_t buf[16];
    std::fill(std::begin(buf), std::end(buf), 0xAA);
    EXPECT_EQ(Feetech::MakeRead(buf, 7, 1, 56, 2), -1);
    EXPECT_EQ(Feetech::MakePositionWrite(buf, 13, Feetech::kWrite, 1, 0, 0, 0, 0), -1);
    EXPECT_EQ(Feetech::MakeRead(nullptr, 64, 1, 56, 2), -1);
    EXPECT_EQ(Feetech::MakeWrite(buf, sizeof buf, 1, 40, nullptr, 1), -1);
    const int ids[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(Feetech::MakeSyncRead(buf, sizeof buf, 56, 15, ids, 9), -1);  // 17 bytes
    EXPECT_EQ(Feetech::Finish(buf, 16, sizeof buf), 0);
    for (uint8_t b : buf) EXPECT_EQ(b, 0xAA);  // a refused build leaves the buffer alone
    EXPECT_EQ(Packet(buf, Feetech::MakeSyncRead(buf, sizeof buf, 56, 15, ids, 8)),
              "FF FF FE 0C 82 38 0F 01 02 03 04 05 06 07 08 08");
}

TEST(FeetechCodec, SignMagnitudeRoundTripsAndBitTenLoad) {
    for (int v : {0, 1, -1, 4095, -4095, 32767, -32767}) {
        EXPECT_EQ(Feetech::DecodeSigned(Feetech::EncodeSigned(int16_t(v))), v) << v;
    }
    EXPECT_EQ(Feetech::EncodeSigned(-32768), 0x8000);  // no magnitude left: reads back as 0
    EXPECT_EQ(Feetech::DecodeSigned(0x0464, 10), -100);
    EXPECT_EQ(Feetech::DecodeSigned(0x0064, 10), 100);
}

// 16 servos of 7 bytes: 15 fit one packet, the 16th goes in a second, in order.
TEST(FeetechCodec, SyncWriteSplitsIntoWholePacketsInIdOrder) {
    std::vector<int> ids;
    for (int id = 1; id <= 16; ++id) ids.push_back(id);
    std::vector<std::string> sent;
    const int result = Feetech::SyncWrite(
        Feetech::kAcceleration, Feetech::kPositionBlock, ids.data(), ids.size(),
        [](size_t k, uint8_t* block) { Feetech::PutPositionBlock(block, 0, int16_t(k), 0, 0); },
        [&](uint8_t* packet, int length) {
            sent.push_back(Hex(packet, length));
            return length;
        });
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(result, 16);  // the last packet's length
    EXPECT_EQ(sent[0].size(), (8u + 15 * 8) * 3 - 1);
    EXPECT_EQ(sent[0].substr(0, 44), "FF FF FE 7C 83 29 07 01 00 00 00 00 00 00 00");
    EXPECT_EQ(sent[1], "FF FF FE 0C 83 29 07 10 00 0F 00 00 00 00 00 23");

    // A failed send ends the run: nothing after it goes out.
    int sends = 0;
    EXPECT_EQ(Feetech::SyncWrite(
                  Feetech::kAcceleration, Feetech::kPositionBlock, ids.data(), ids.size(),
                  [](size_t, uint8_t*) {},
                  [&](uint8_t*, int) {
                      ++sends;
                      return -1;
                  }),
              -1);
    EXPECT_EQ(sends, 1);
    EXPECT_EQ(Feetech::SyncWrite(
                  40, 1, ids.data(), 0, [](size_t, uint8_t*) {}, [](uint8_t*, int) { return 1; }),
              0);
    EXPECT_EQ(Feetech::SyncWrite(
                  40, 200, ids.data(), 1, [](size_t, uint8_t*) {}, [](uint8_t*, int) { return 1; }),
              -1);  // one servo's data does not fit a packet
}

TEST(FeetechCodec, ReplyChecksNameTheFault) {
    using Feetech::ReplyFault;
    const uint8_t good[] = {0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC};
    EXPECT_EQ(Feetech::CheckReply(good, 6, 6, 1), ReplyFault::kNone);
    EXPECT_EQ(Feetech::CheckReply(good, 6, 6, -1), ReplyFault::kNone);
    EXPECT_EQ(Feetech::CheckReply(good, 6, 6, 2), ReplyFault::kHeaderOrId);
    const uint8_t noHeader[] = {0xFF, 0x00, 0x01, 0x02, 0x00, 0xFC};
    EXPECT_EQ(Feetech::CheckReply(noHeader, 6, 6, -1), ReplyFault::kHeaderOrId);
    EXPECT_EQ(Feetech::CheckReply(good, 5, 6, 1), ReplyFault::kLength);
    EXPECT_EQ(Feetech::CheckReply(good, 2, 6, 1), ReplyFault::kLength);
    const uint8_t badLength[] = {0xFF, 0xFF, 0x01, 0x03, 0x00, 0xFB};
    EXPECT_EQ(Feetech::CheckReply(badLength, 6, 6, 1), ReplyFault::kLength);
    const uint8_t badSum[] = {0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFD};
    EXPECT_EQ(Feetech::CheckReply(badSum, 6, 6, 1), ReplyFault::kChecksum);

    const uint8_t noisy[] = {0x00, 0xFF, 0x12, 0xFF, 0xFF, 0x01};
    EXPECT_EQ(Feetech::FindHeader(noisy, 6), 3);
    EXPECT_EQ(Feetech::FindHeader(noisy, 6, 4), -1);
    EXPECT_EQ(Feetech::FindHeader(noisy, 4), -1);  // a lone FF at the end is no header
}

TEST(FeetechCodec, FeedbackBlockDecodesEveryField) {
    // position 2048, speed -100, load -100 (bit 10), 12.0 V, 41 °C, status 0x20, moving,
    // current -3.
    const uint8_t reply[Feetech::kFeedbackReply] = {0xFF, 0xFF, 0x01, 0x11, 0x00, 0x00, 0x08,
                                                    0x64, 0x80, 0x64, 0x04, 0x78, 0x29, 0x00,
                                                    0x20, 0x01, 0x00, 0x00, 0x03, 0x80, 0x00};
    const Feetech::Feedback fb = Feetech::ParseFeedback(reply);
    EXPECT_EQ(fb.position, 2048);
    EXPECT_EQ(fb.speed, -100);
    EXPECT_EQ(fb.load, -100);
    EXPECT_EQ(fb.voltage, 120);
    EXPECT_EQ(fb.temperature, 41);
    EXPECT_EQ(fb.servoStatus, 0x20);
    EXPECT_EQ(fb.moving, 1);
    EXPECT_EQ(fb.current, -3);
}
