// Feetech packets byte for byte: the builders, sign encodings and the bytes every operation
// puts on the line (read back from the other end of a pseudo-terminal).

#include <gtest/gtest.h>

#include <thread>

#include "hex.h"
#include "jointbus/Feetech/FeetechDrvImpl.h"
#include "jointbus/Feetech/SMS_STS_THREAD.h"
#include "jointbus/driver/driver_uart.h"
#include "log_capture.h"
#include "pty.h"

using testsupport::LogCapture;
using testsupport::Pty;

using testsupport::Bytes;
using testsupport::Hex;
namespace {

// An engine on a pseudo-terminal whose far end the test reads and answers.
struct Line {
    Line() : port(std::make_shared<DriverUart>(pty.path(), 1000000)), drv(port, 1, 0) {
        port->Open();
        port->ioTimeoutMs = 30;  // nothing answers most requests here
    }
    std::string Sent(size_t n) { return Hex(pty.ReadMaster(n, 500)); }
    Pty pty;
    std::shared_ptr<DriverUart> port;
    FeetechDrvImpl drv;
};

}  // namespace

TEST(FeetechPacket, BuildersAndTheirBounds) {
    unsigned char buf[128] = {};
    EXPECT_EQ(FeetechDrvImpl::initCmdData(nullptr, 128, 2, 1), -1);
    EXPECT_EQ(FeetechDrvImpl::initCmdData(buf, 5, 2, 1), -1);
    EXPECT_EQ(FeetechDrvImpl::initCmdData(buf, 6, 2, 1), 5);
    unsigned char src[3] = {1, 2, 3};
    EXPECT_EQ(FeetechDrvImpl::appendCmdData(buf, 2, src, 3), -1);
    EXPECT_EQ(FeetechDrvImpl::appendCmdData(buf, 3, src, 3), 3);
    EXPECT_EQ(FeetechDrvImpl::appendCmdData(buf, 3, nullptr, 3), -1);
    EXPECT_EQ(FeetechDrvImpl::calcChecksum(buf, 0), 0xFF);
    unsigned char params[2] = {0x38, 0x02};
    EXPECT_EQ(FeetechDrvImpl::genCmdData(buf, 128, 0x02, 1, params, 2), 8);
    EXPECT_EQ(Hex(buf, 8), "FF FF 01 04 02 38 02 BE");
    EXPECT_EQ(FeetechDrvImpl::genCmdData(buf, 7, 0x02, 1, params, 2), -1);
    EXPECT_EQ(FeetechDrvImpl::genCmdData(buf, 128, 0x05, 0xFE, nullptr, 0), 6);
    EXPECT_EQ(Hex(buf, 6), "FF FF FE 02 05 FA");
    EXPECT_EQ(FeetechDrvImpl::finalizeCmdData(buf, 4), 0);
    EXPECT_EQ(FeetechDrvImpl::finalizeCmdData(nullptr, 8), 0);
    EXPECT_EQ(FeetechDrvImpl::finalizeCmdData(buf, 128), 0);  // would write past the buffer
}

TEST(FeetechPacket, SignEncodings) {
    EXPECT_EQ(FeetechDrvImpl::EncodeSigned(-100), 0x8064);
    EXPECT_EQ(FeetechDrvImpl::EncodeSigned(-32768), 0x8000);
    EXPECT_EQ(FeetechDrvImpl::EncodeSigned(500), 500);
    EXPECT_EQ(FeetechDrvImpl::DecodeSigned(0x8064), -100);
    EXPECT_EQ(FeetechDrvImpl::DecodeSigned(0x0464, 10), -100);
    EXPECT_EQ(FeetechDrvImpl::DecodeSigned(0x0064, 10), 100);
}

TEST(FeetechPacket, OperationBytesOnTheLine) {
    Line line;
    line.drv.WritePosEx(-100, 500, 50, 0);
    EXPECT_EQ(line.Sent(14), "FF FF 01 0A 03 29 32 64 80 00 00 F4 01 BD");
    line.drv.PositionMode();
    EXPECT_EQ(line.Sent(8), "FF FF 01 04 03 21 00 D6");
    line.drv.EnableTorque(1);
    EXPECT_EQ(line.Sent(8).substr(0, 20), "FF FF 01 04 03 28 01");
    line.drv.CalibrationOfs();
    EXPECT_EQ(line.Sent(8).substr(0, 20), "FF FF 01 04 03 28 80");
    line.drv.ReadPos(1);
    EXPECT_EQ(line.Sent(8), "FF FF 01 04 02 38 02 BE");
    line.drv.FeedBack(1);
    EXPECT_EQ(line.Sent(8), "FF FF 01 04 02 38 0F B1");
    line.drv.RegWriteAction();
    EXPECT_EQ(line.Sent(6), "FF FF FE 02 05 FA");
    line.drv.syncRead(std::vector<int>{1, 2}, 0x38, 0x0F);
    EXPECT_EQ(line.Sent(10), "FF FF FE 06 82 38 0F 01 02 2F");
}

TEST(FeetechPacket, SyncWritesAndTheirLimits) {
    Line line;
    LogCapture log;
    EXPECT_EQ(line.drv.syncWritePos({}, {}, {}, {}, {}), 0);
    EXPECT_EQ(line.drv.syncWritePos({1, 2}, {100, -100}, {}, {}, {}), 24);
    EXPECT_EQ(line.Sent(24),
              "FF FF FE 14 83 29 07 01 00 64 00 00 00 00 00 02 00 64 80 00 00 00 00 " +
                  Hex(Bytes({0xFF & ~(0xFE + 0x14 + 0x83 + 0x29 + 0x07 + 0x01 + 0x64 + 0x02 + 0x64 +
                                      0x80)})));
    EXPECT_EQ(line.drv.syncWritePos({1, 2}, {}, {5}, {}, {}), -1);
    EXPECT_EQ(log.Count("[ERROR] PVA parameter mismatch with IDs.\r\n"), 1u);
    // 20 servos do not fit one packet: two packets, 15 and 5 servos, nothing lost.
    std::vector<int> ids;
    for (int i = 1; i <= 20; ++i) ids.push_back(i);
    EXPECT_GT(line.drv.syncWritePos(ids, std::vector<short>(20, 2048), {}, {}, {}), 0);
    const std::string first = line.pty.ReadMaster(8 + 15 * 8, 500);
    const std::string second = line.pty.ReadMaster(8 + 5 * 8, 500);
    EXPECT_EQ(first.size(), 128u);
    EXPECT_EQ(Hex(first.substr(0, 5)), "FF FF FE 7C 83");
    EXPECT_EQ(Hex(second.substr(0, 5)), "FF FF FE 2C 83");
    EXPECT_EQ(static_cast<unsigned char>(second[7]), 16);
    // A SYNC READ of more ids than one packet holds is refused, not overrun.
    std::vector<int> many(121, 1);
    EXPECT_EQ(line.drv.syncRead(many, 0x38, 15), -1);
    EXPECT_EQ(log.Count("SYNC READ of 121 ids refused"), 1u);
    // No data for a non-empty block is refused; an empty block needs none.
    EXPECT_EQ(line.drv.syncWrite({1, 2}, 0x2A, 2, nullptr), -1);
    EXPECT_EQ(line.drv.syncWrite({1}, 0x2A, 0, nullptr), 9);
    EXPECT_EQ(line.Sent(9), "FF FF FE 05 83 2A 00 01 " +
                                Hex(Bytes({0xFF & ~(0xFE + 0x05 + 0x83 + 0x2A + 0x01)})));
}

TEST(FeetechPacket, RepliesAreCheckedBeforeUse) {
    Line line;
    line.port->ioTimeoutMs = 200;
    LogCapture log;
    const std::string good = Bytes({0xFF, 0xFF, 0x01, 0x04, 0x00, 0x64, 0x80, 0x16});
    auto answer = [&](const std::string& reply) {
        std::thread servo([&] {
            line.pty.ReadMaster(8, 1000);
            line.pty.WriteMaster(reply);
        });
        const int value = line.drv.ReadPos(1);
        servo.join();
        return value;
    };
    EXPECT_EQ(answer(good), -100);
    EXPECT_EQ(line.drv.ReadPos(-1), -100);
    std::string badSum = good;
    badSum[7] ^= 1;
    EXPECT_EQ(answer(badSum), -1);
    EXPECT_EQ(log.Count("checksum"), 1u);
    std::string wrongId = good;
    wrongId[2] = 2;
    EXPECT_EQ(answer(wrongId), -1);
    EXPECT_EQ(log.Count("[ERROR] nodeID mismatch, msg: 2, , node: 1\r\n"), 1u);
    EXPECT_EQ(answer(good.substr(0, 6)), -1);  // truncated
    EXPECT_EQ(log.Count("reply of 6 bytes rejected: expected 8"), 1u);
    std::string badLength = good;  // the right size, but its length byte says otherwise
    badLength[3] = 3;
    EXPECT_EQ(answer(badLength), -1);
    EXPECT_EQ(log.Count("reply of 8 bytes rejected: its length byte says 3, expected 4\r\n"), 1u);
    EXPECT_EQ(line.drv.ReadPos(-1), -100) << "the cache is unchanged";
}

TEST(FeetechPacket, WithoutAPortOnlyTheCacheAnswers) {
    FeetechDrvImpl drv(nullptr, 1, 0);
    EXPECT_EQ(drv.ReadPos(-1), 0);
    EXPECT_EQ(drv.ReadPos(1), -1);
    EXPECT_EQ(drv.FeedBack(1), -1);
    EXPECT_EQ(drv.WritePosEx(1, 1, 1, 1), -1);
    EXPECT_EQ(drv.syncRead(std::vector<int>{1}, 56, 15), -1);
    EXPECT_EQ(drv.syncRead(std::vector<int>{}, 56, 15), 0);
    drv.Start(nullptr);
}

TEST(FeetechScheduler, ConsumeWalksPackets) {
    servo::SMS_STS_THREAD& scheduler = *servo::SMS_STS_THREAD::getInstance();
    LogCapture log;
    unsigned char ok[] = {0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC, 0xFF};
    scheduler.Consume(ok, sizeof ok);
    EXPECT_EQ(log.Count("invalid consume data size"), 0u);
    unsigned char cut[] = {0xFF, 0xFF, 0x01, 0x09, 0x00};
    scheduler.Consume(cut, sizeof cut);
    EXPECT_EQ(log.Count("[ERROR] SMS_STS_THREAD invalid consume data size..\r\n"), 1u);
    unsigned char header[] = {0x00, 0xFF, 0xFF, 0x01};
    scheduler.Consume(header, sizeof header);
    EXPECT_EQ(log.Count("invalid consume data size"), 2u);
    scheduler.Consume(nullptr, 3);
    scheduler.Consume(ok, 0);
}
