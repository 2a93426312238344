#pragma once

// A virtual CAN interface of the test's own, so that tests running side by side on the bench
// never share a bus. Needs root and a kernel with vcan (the bench provides both).

#include <linux/can.h>

#include <string>

namespace testsupport {

class Vcan {
public:
    Vcan();
    ~Vcan();
    Vcan(const Vcan&) = delete;
    Vcan& operator=(const Vcan&) = delete;

    const std::string& name() const { return ifname; }
    bool Add();
    bool Delete();
    bool Up();
    bool Down();
    bool IsUp() const;  // administratively up
    // Deletes and re-adds (up) the interface `times` times in a row, as fast as the kernel goes.
    bool DeleteAndAddAgain(int times);
    // Drains the transmit side at about `kbit` kbit/s (1 Mbit/s by default) through a queue
    // of `frames` frames, as a real CAN controller behind its default queue does: writes on a
    // full queue fail with ENOBUFS. A second call replaces the first.
    bool LimitToBusSpeed(int frames, int kbit = 1000);
    // Sets the MTU (CAN_MTU classic, CANFD_MTU for CAN-FD, which a new vcan has), taking the
    // interface down for it.
    bool SetMtu(int mtu);

private:
    std::string ifname;
    bool exists = false;
};

// A raw socket on an interface for the test's side of the bus.
class CanPeer {
public:
    explicit CanPeer(const std::string& ifname, bool receiveErrors = false);
    ~CanPeer();
    CanPeer(const CanPeer&) = delete;
    CanPeer& operator=(const CanPeer&) = delete;

    bool ok() const { return fd >= 0; }
    bool Send(uint32_t id, const std::string& bytes);
    bool Send(const can_frame& frame);
    // The next frame within timeoutMs; false on time-out.
    bool Receive(can_frame& frame, int timeoutMs);

    // CAN-FD: lets the socket take and send FD frames (false where the kernel cannot), sends
    // one, and receives the next frame of either format (`isFd` tells which).
    bool EnableFd();
    bool SendFd(const canfd_frame& frame);
    bool ReceiveAny(canfd_frame& frame, bool& isFd, int timeoutMs);

private:
    int fd = -1;
};

}  // namespace testsupport
