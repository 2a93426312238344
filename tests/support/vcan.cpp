#include "vcan.h"

#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {
bool Ip(const std::string& args) {
    const std::string cmd = "ip link " + args + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}
}  // namespace

Vcan::Vcan() {
    static std::atomic<int> serial{0};
    ifname = "jb" + std::to_string(getpid() % 100000) + "x" + std::to_string(serial++);
    Add();
}

Vcan::~Vcan() {
    if (exists) Delete();
}

// A vcan of its own MTU, CAN-FD's: that is what a vcan starts with on older kernels, while
// newer ones start it with CAN XL's, which the library does not take for CAN-FD.
const char* const kVcanType = " mtu 72 type vcan";

bool Vcan::Add() {
    exists = Ip("add dev " + ifname + kVcanType) && Up();
    return exists;
}

bool Vcan::Delete() {
    exists = false;
    return Ip("del dev " + ifname);
}

namespace {
// Sets the interface up or down with one ioctl: no child process, so a test can keep a bus
// down for a short, known time.
bool SetUp(const std::string& ifname, bool up) {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags = short(up ? (ifr.ifr_flags | IFF_UP) : (ifr.ifr_flags & ~IFF_UP));
        ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    close(s);
    return ok;
}
}  // namespace

bool Vcan::Up() {
    return SetUp(ifname, true);
}

bool Vcan::IsUp() const {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    const bool up = ioctl(s, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_UP);
    close(s);
    return up;
}

bool Vcan::Down() {
    return SetUp(ifname, false);
}

bool Vcan::DeleteAndAddAgain(int times) {
    std::string batch;
    for (int i = 0; i < times; ++i) {
        batch += "link del dev " + ifname + "\n";
        batch += "link add dev " + ifname + kVcanType + "\n";
        batch += "link set " + ifname + " up\n";
    }
    FILE* ip = popen("ip -batch - >/dev/null 2>&1", "w");
    if (ip == nullptr) return false;
    std::fputs(batch.c_str(), ip);
    return pclose(ip) == 0;
}

bool Vcan::LimitToBusSpeed(int frames, int kbit) {
    const std::string cmd = "tc qdisc replace dev " + ifname + " root tbf rate " +
                            std::to_string(kbit) + "kbit burst " +
                            std::to_string(sizeof(can_frame)) + " limit " +
                            std::to_string(frames * sizeof(can_frame)) + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

bool Vcan::SetMtu(int mtu) {
    return Down() && Ip("set dev " + ifname + " mtu " + std::to_string(mtu)) && Up();
}

CanPeer::CanPeer(const std::string& ifname, bool receiveErrors) {
    fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) return;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    if (ioctl(fd, SIOCGIFINDEX, &ifr) == 0) addr.can_ifindex = ifr.ifr_ifindex;
    if (receiveErrors) {
        const can_err_mask_t all = CAN_ERR_MASK;
        setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &all, sizeof all);
    }
    if (addr.can_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        fd = -1;
    }
}

CanPeer::~CanPeer() {
    if (fd >= 0) close(fd);
}

bool CanPeer::Send(const can_frame& frame) {
    return fd >= 0 && write(fd, &frame, sizeof frame) == ssize_t(sizeof frame);
}

bool CanPeer::Send(uint32_t id, const std::string& bytes) {
    can_frame frame{};
    frame.can_id = id;
    frame.can_dlc = uint8_t(bytes.size() > 8 ? 8 : bytes.size());
    std::memcpy(frame.data, bytes.data(), frame.can_dlc);
    return Send(frame);
}

bool CanPeer::Receive(can_frame& frame, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || poll(&p, 1, timeoutMs) <= 0) return false;
    return read(fd, &frame, sizeof frame) == ssize_t(sizeof frame);
}

bool CanPeer::EnableFd() {
    const int one = 1;
    return fd >= 0 && setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &one, sizeof one) == 0;
}

bool CanPeer::SendFd(const canfd_frame& frame) {
    return fd >= 0 && write(fd, &frame, sizeof frame) == ssize_t(sizeof frame);
}

bool CanPeer::ReceiveAny(canfd_frame& frame, bool& isFd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || poll(&p, 1, timeoutMs) <= 0) return false;
    frame = canfd_frame{};
    const ssize_t n = read(fd, &frame, sizeof frame);
    isFd = n == ssize_t(CANFD_MTU);
    return n == ssize_t(CAN_MTU) || isFd;
}

}  // namespace testsupport
