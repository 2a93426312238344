#include "log_capture.h"

#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <mutex>

#include "jointbus/common/logger.h"

namespace testsupport {

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::string Text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        text.append(msg.payload.data(), msg.payload.size());
        text.push_back('\n');
    }
    void flush_() override {}

private:
    std::string text;
};

// Sinks are added and removed only while no library thread logs: tests create the capture
// before they start the objects under test and destroy it after stopping them.
LogCapture::LogCapture() : sink(std::make_shared<CaptureSink>()) {
    vantrel::Logger::Instance().logger->sinks().push_back(sink);
}

LogCapture::~LogCapture() {
    auto& sinks = vantrel::Logger::Instance().logger->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
}

std::string LogCapture::Text() const { return sink->Text(); }

size_t LogCapture::Count(const std::string& needle) const {
    const std::string text = Text();
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

}  // namespace testsupport
