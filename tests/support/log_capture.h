#pragma once

// Collects what the process-wide logger writes while a capture lives, for assertions on log
// lines. The capturing sink is installed once, by the test entry point before any library
// thread runs (InstallLogCapture), so captures can come and go while threads log.

#include <memory>
#include <string>

namespace testsupport {

void InstallLogCapture();

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string Text() const;  // everything logged since this capture began
    size_t Count(const std::string& needle) const;
    // The same lines, each behind the name of the function that logged it and a blank.
    std::string Sites() const;

private:
    size_t start;
    size_t sitesStart;
};

}  // namespace testsupport
