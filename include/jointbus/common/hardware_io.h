#pragma once

#include "jointbus/common/export.h"

// Abstract transport that a device class talks through.
class JOINTBUS_API HardwareIO {
public:
    virtual ~HardwareIO() = default;
    virtual int Open() = 0;   // 0 on success, -1 on failure
    virtual int Close() = 0;  // closes the device if open
    virtual bool IsOpen() = 0;
    virtual int Read(unsigned char* buf, int size) = 0;         // count read, or -1
    virtual int Write(const unsigned char* data, int len) = 0;  // count written, or -1
};
