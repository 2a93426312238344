// The two parameter-file readers, fed the input as the file's contents.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/Feetech/FeetechMotor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = [] {
        char name[] = "/tmp/jointbus-fuzz-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        return std::string(name);
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    static damiaoMotor damiao(4310, 3, 0, 0x13, "", false, 15.0f, 1.0f);
    damiao.function_get_para(3, path);
    static feetechMotor feetech(1, false);
    feetech.function_get_para(1, path);
    return 0;
}
