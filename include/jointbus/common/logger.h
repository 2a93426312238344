#pragma once

// The one process-wide logger, shared by the library and every program that links it.
//
// Both modules compile this header, but Instance() and its static have default visibility,
// so the dynamic linker binds the library's uses to the program's copy: one logger and one
// line counter per process. Never build the library with -Bsymbolic.

#include <spdlog/logger.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/sinks/systemd_sink.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace vantrel {

class __attribute__((visibility("default"))) Logger {
public:
    // spdlog level numbers used by the entry points.
    enum : int { kDebug = 1, kInfo = 2, kWarn = 3, kError = 4 };

    // Never destroyed: objects that outlive main (a motor in a global, say) still log from
    // their destructors at exit. The sinks write through at every line, so nothing is lost.
    static Logger& Instance();

    // One log call: advance the counter if the level is shown, then hand prefix and body to
    // spdlog with the call site. A suppressed line is not formatted at all.
    template <typename... Args>
    void Log(int lvl, const char* prefix, const spdlog::source_loc& where,
             fmt::format_string<Args...> format, Args&&... args) {
        if (lvl < level) return;
        const auto seq = static_cast<uint8_t>(sequence.fetch_add(1, std::memory_order_relaxed) + 1);
        if (!logger) return;
        try {
            fmt::memory_buffer line;
            fmt::format_to(std::back_inserter(line), fmt::runtime(prefix), seq & 0x7F);
            fmt::format_to(std::back_inserter(line), format, std::forward<Args>(args)...);
            logger->log(where, static_cast<spdlog::level::level_enum>(lvl),
                        spdlog::string_view_t(line.data(), line.size()));
        } catch (...) {
            // Logging never fails towards the caller.
        }
    }

    std::shared_ptr<spdlog::logger> logger;
    std::atomic<uint8_t> sequence{0};
    int level = kInfo;  // written once, in the constructor, before the instance is published

private:
    explicit Logger(const char* name) {
        try {
            std::vector<spdlog::sink_ptr> sinks;
            const char* out = std::getenv("SPDLOG_STDOUT");
            if (out == nullptr) {
                Notice("environment variable SPDLOG_STDOUT is not set, and set true\n");
            } else if (std::strcmp(out, "true") != 0 && std::strcmp(out, "false") != 0) {
                Notice("environment variable SPDLOG_STDOUT is invalid, and set true\n");
            }
            if (out == nullptr || std::strcmp(out, "false") != 0) {
                sinks.push_back(
                    std::make_shared<
                        spdlog::sinks::ansicolor_stdout_sink<spdlog::details::console_mutex>>());
            }
            const char* journal = std::getenv("SPDLOG_SYSTEMD");
            if (journal == nullptr) {
                Notice("environment variable SPDLOG_SYSTEMD is not set, and set false\n");
            } else if (std::strcmp(journal, "true") == 0) {
                sinks.push_back(std::make_shared<spdlog::sinks::systemd_sink<std::mutex>>());
            } else if (std::strcmp(journal, "false") != 0) {
                Notice("environment variable SPDLOG_SYSTEMD is invalid, and set false\n");
            }
            logger = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
            level = LevelFromEnvironment();
            logger->set_level(static_cast<spdlog::level::level_enum>(level));
            logger->set_pattern("%v");
        } catch (const spdlog::spdlog_ex&) {
            // Keep whatever was set up before the error.
        }
    }

    static void Notice(const char* text) {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }

    static int LevelFromEnvironment() {
        static const char* const names[] = {"trace",   "debug", "info",
                                            "warning", "error", "critical"};
        const char* value = std::getenv("SPDLOG_LEVEL");
        if (value == nullptr) {
            Notice("environment variable SPDLOG_LEVEL is not set, and set default level\n");
            return kInfo;
        }
        for (int i = 0; i < 6; ++i) {
            if (std::strcmp(value, names[i]) == 0) return i;
        }
        Notice("environment variable SPDLOG_LEVEL is invalid, and set default level\n");
        return kInfo;
    }
};

namespace logger_detail {
// The instance's storage. Its symbol is the one a function-local `static Logger instance` of
// Instance() has, an object of type Logger, which the library has always exported; building
// the logger in place here instead means no exit handler ever destroys it. A namespace-scope
// variable does not take the class's visibility: it is marked itself, or the library (built
// with hidden visibility) keeps it local and every module gets a logger of its own.
alignas(Logger) inline __attribute__((visibility("default"))) unsigned char
    storage[sizeof(Logger)] __asm__("_ZZN7vantrel6Logger8InstanceEvE8instance");
}  // namespace logger_detail

inline Logger& Logger::Instance() {
    static Logger* const built = ::new (static_cast<void*>(logger_detail::storage)) Logger("spdlog");
    return *built;
}

}  // namespace vantrel

#define JOINTBUS_LOG_AT(lvl, prefix, ...) \
    ::vantrel::Logger::Instance().Log(    \
        lvl, prefix, spdlog::source_loc{__FILE__, __LINE__, __func__}, __VA_ARGS__)

// syslog.h (pulled in by the journal sink) names its priorities LOG_DEBUG and LOG_INFO; the
// log entry points take those names here.
#undef LOG_DEBUG
#undef LOG_INFO
#define LOG_DEBUG(...) JOINTBUS_LOG_AT(::vantrel::Logger::kDebug, "{0:3d} [DEBUG] ", __VA_ARGS__)
#define LOG_INFO(...) JOINTBUS_LOG_AT(::vantrel::Logger::kInfo, "{0:3d} [INFO] ", __VA_ARGS__)
#define LOG_WARN(...) JOINTBUS_LOG_AT(::vantrel::Logger::kWarn, "{0:3d} [WARN] ", __VA_ARGS__)
#define LOG_ERROR(...) JOINTBUS_LOG_AT(::vantrel::Logger::kError, "{0:3d} [ERROR] ", __VA_ARGS__)
