#pragma once

// A long-running child process (an emulator, the bench tool) with its standard input,
// output and error connected to the test.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env = {});
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool running() const { return pid > 0; }
    void WriteLine(const std::string& line);
    void CloseInput();
    void Signal(int sig);
    // Exit status (or 128 + signal); -1 when the child did not end within `limit`. Once the
    // child has ended, Out() and Err() hold all it wrote.
    int Wait(std::chrono::milliseconds limit);

    std::string Out();  // everything the child wrote to standard output so far
    std::string Err();
    // Waits until standard output contains `needle` after byte `from`; returns its offset
    // or npos on time-out.
    size_t WaitForOutput(const std::string& needle, std::chrono::milliseconds limit,
                         size_t from = 0);
    // Writes `line` and returns what the child printed in answer, up to `end` (not included);
    // "" when `end` did not come within 5 s.
    std::string Query(const std::string& line, const std::string& end);

private:
    void Reader(int fd, std::string* sink);

    pid_t pid = -1;
    int exitStatus = -1;
    int inFd = -1;
    std::mutex m;
    std::string out, err;
    std::thread outReader, errReader;
};

}  // namespace testsupport
