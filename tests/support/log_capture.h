#pragma once

// Collects what the process-wide logger writes while it lives, for assertions on log lines.

#include <memory>
#include <string>

namespace testsupport {

class CaptureSink;

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string Text() const;  // everything captured so far
    size_t Count(const std::string& needle) const;

private:
    std::shared_ptr<CaptureSink> sink;
};

}  // namespace testsupport
