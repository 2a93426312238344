#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) return;
    std::vector<std::string> argCopy(argv);
    std::vector<char*> args;
    for (auto& a : argCopy) args.push_back(a.data());
    args.push_back(nullptr);
    // The environment is built before fork: only async-signal-safe calls may follow it.
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : env) merged[name] = value;
    std::vector<std::string> envStrings;
    for (const auto& [name, value] : merged) envStrings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        // A test run in the background has SIGINT ignored; the child gets the defaults.
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    inFd = inPipe[1];
    signal(SIGPIPE, SIG_IGN);
    outReader = std::thread(&ChildProcess::Reader, this, outPipe[0], &out);
    errReader = std::thread(&ChildProcess::Reader, this, errPipe[0], &err);
}

ChildProcess::~ChildProcess() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        Wait(std::chrono::milliseconds(5000));
    }
    CloseInput();
    if (outReader.joinable()) outReader.join();
    if (errReader.joinable()) errReader.join();
}

void ChildProcess::Reader(int fd, std::string* sink) {
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
        std::lock_guard<std::mutex> lock(m);
        sink->append(buf, size_t(n));
    }
    close(fd);
}

void ChildProcess::WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    if (inFd >= 0 && write(inFd, text.data(), text.size()) < 0) {
        // The child has gone; its status tells the test.
    }
}

void ChildProcess::CloseInput() {
    if (inFd >= 0) close(inFd);
    inFd = -1;
}

void ChildProcess::Signal(int sig) {
    if (pid > 0) kill(pid, sig);
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (pid <= 0) return exitStatus;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // Everything the child wrote is collected before the caller looks at it.
            if (outReader.joinable()) outReader.join();
            if (errReader.joinable()) errReader.join();
            return exitStatus;
        }
        if (std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ChildProcess::Out() {
    std::lock_guard<std::mutex> lock(m);
    return out;
}

std::string ChildProcess::Err() {
    std::lock_guard<std::mutex> lock(m);
    return err;
}

std::string ChildProcess::Query(const std::string& line, const std::string& end) {
    const size_t from = Out().size();
    WriteLine(line);
    const size_t at = WaitForOutput(end, std::chrono::seconds(5), from);
    return at == std::string::npos ? "" : Out().substr(from, at - from);
}

size_t ChildProcess::WaitForOutput(const std::string& needle, std::chrono::milliseconds limit,
                                   size_t from) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        {
            std::lock_guard<std::mutex> lock(m);
            const size_t at = out.find(needle, from);
            if (at != std::string::npos) return at;
        }
        if (std::chrono::steady_clock::now() > deadline) return std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace testsupport
