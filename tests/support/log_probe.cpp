// Logs the lines named on its command line, so that tests can run the logger in a fresh
// process with a chosen environment. Each argument is LEVEL:TEXT with LEVEL one of debug,
// info, warn, error; "repeat:N:LEVEL:TEXT" logs N lines; "lib" makes the library log once;
// "overrun" runs a timer whose task overruns its interval three times.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "jointbus/common/logger.h"
#include "jointbus/common/private_timer.h"
#include "jointbus/driver/driver_uart.h"

static void LogOne(const std::string& level, const std::string& text) {
    if (level == "debug") LOG_DEBUG("{}", text);
    if (level == "info") LOG_INFO("{}", text);
    if (level == "warn") LOG_WARN("{}", text);
    if (level == "error") LOG_ERROR("{}", text);
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "overrun") {
            // Three runs of a 5 ms timer whose task takes 6 ms.
            std::atomic<int> runs{0};
            PrivateTimer timer;
            timer.start(5, [&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(6));
                if (++runs == 3) timer.stop();
            });
            while (runs < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            timer.stop();
            continue;
        }
        if (arg == "lib") {
            // The second request for a port logs its reuse from inside the library.
            DriverUart::GetUart("/nonexistent/jointbus-probe", 115200);
            DriverUart::GetUart("/nonexistent/jointbus-probe", 115200);
            continue;
        }
        int count = 1;
        if (arg.rfind("repeat:", 0) == 0) {
            arg = arg.substr(7);
            count = std::atoi(arg.c_str());
            arg = arg.substr(arg.find(':') + 1);
        }
        const auto colon = arg.find(':');
        for (int n = 0; n < count; ++n) LogOne(arg.substr(0, colon), arg.substr(colon + 1));
    }
    return 0;
}
