#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace testsupport {

Pty::Pty(const std::string& linkPath) {
    masterFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd < 0 || grantpt(masterFd) != 0 || unlockpt(masterFd) != 0)
        throw std::runtime_error("posix_openpt failed");
    char name[128];
    if (ptsname_r(masterFd, name, sizeof name) != 0) throw std::runtime_error("ptsname_r failed");
    slave = name;
    // Raw on the line discipline, so bytes pass unchanged in both directions.
    termios t{};
    tcgetattr(masterFd, &t);
    cfmakeraw(&t);
    tcsetattr(masterFd, TCSANOW, &t);
    if (!linkPath.empty()) {
        const std::string tmp = linkPath + ".new";
        unlink(tmp.c_str());
        if (symlink(slave.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), linkPath.c_str()) != 0)
            throw std::runtime_error("symlink failed");
        link = linkPath;
        ownsLink = true;
    } else {
        link = slave;
    }
}

Pty::~Pty() {
    CloseMaster();
}

void Pty::CloseMaster() {
    if (masterFd >= 0) close(masterFd);
    masterFd = -1;
}

std::string Pty::ReadMaster(size_t max, int timeoutMs) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < max) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd p{masterFd, POLLIN, 0};
        if (poll(&p, 1, int(left)) <= 0) break;
        char buf[256];
        const ssize_t n = read(masterFd, buf, std::min(sizeof buf, max - out.size()));
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

void Pty::WriteMaster(const std::string& bytes) {
    if (write(masterFd, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        throw std::runtime_error("pty write failed");
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/jointbus-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
}

TempDir::~TempDir() {
    const std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) std::perror("rm");
}

}  // namespace testsupport
