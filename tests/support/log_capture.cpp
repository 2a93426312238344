#include "log_capture.h"

#include <spdlog/sinks/base_sink.h>

#include <mutex>

#include "jointbus/common/logger.h"

namespace testsupport {

namespace {

// Records lines while at least one capture is active.
class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    size_t Begin() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++active;
        return text.size();
    }
    void End() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--active == 0) {
            text.clear();
            sites.clear();
        }
    }
    std::string Since(size_t start) {
        std::lock_guard<std::mutex> lock(mutex_);
        return start < text.size() ? text.substr(start) : std::string();
    }
    std::string SitesSince(size_t start) {
        std::lock_guard<std::mutex> lock(mutex_);
        return start < sites.size() ? sites.substr(start) : std::string();
    }
    size_t SitesSize() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sites.size();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (active == 0) return;
        text.append(msg.payload.data(), msg.payload.size());
        text.push_back('\n');
        sites.append(msg.source.funcname != nullptr ? msg.source.funcname : "");
        sites.push_back(' ');
        sites.append(msg.payload.data(), msg.payload.size());
        sites.push_back('\n');
    }
    void flush_() override {}

private:
    std::string text;
    std::string sites;  // each line again, behind the name of the function that logged it
    int active = 0;
};

std::shared_ptr<CaptureSink>& Sink() {
    static std::shared_ptr<CaptureSink> sink;
    return sink;
}

}  // namespace

void InstallLogCapture() {
    if (Sink()) return;
    Sink() = std::make_shared<CaptureSink>();
    auto& logger = vantrel::Logger::Instance().logger;
    if (logger) logger->sinks().push_back(Sink());
}

LogCapture::LogCapture() {
    InstallLogCapture();  // no-op after the entry point's call
    start = Sink()->Begin();
    sitesStart = Sink()->SitesSize();
}

LogCapture::~LogCapture() {
    Sink()->End();
}

std::string LogCapture::Text() const {
    return Sink()->Since(start);
}

std::string LogCapture::Sites() const {
    return Sink()->SitesSince(sitesStart);
}

size_t LogCapture::Count(const std::string& needle) const {
    const std::string text = Text();
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

}  // namespace testsupport
