#pragma once

// A pseudo-terminal pair published under a symbolic link, so that a test can make the device
// vanish (close the master) and reappear (point the link at a new pair).

#include <string>

namespace testsupport {

class Pty {
public:
    explicit Pty(const std::string& linkPath = "");
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return masterFd; }
    const std::string& slavePath() const { return slave; }
    const std::string& path() const { return link; }  // the link, or the slave when none

    void CloseMaster();
    // Reads what is available from the master within timeoutMs, up to `max` bytes.
    std::string ReadMaster(size_t max, int timeoutMs);
    void WriteMaster(const std::string& bytes);

private:
    int masterFd = -1;
    std::string slave;
    std::string link;
    bool ownsLink = false;
};

// A fresh temporary directory, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return dir; }
    std::string File(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

}  // namespace testsupport
