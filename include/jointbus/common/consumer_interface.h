#pragma once

#include "jointbus/common/can_frame.h"
#include "jointbus/common/export.h"

// Receiver of what a transport's background thread reads. Both operations run on that thread
// and do nothing by default, so a receiver overrides only the kind of data it handles.
class JOINTBUS_API ConsumerInterface {
public:
    virtual ~ConsumerInterface() = default;
    virtual void Consume(CanFrame& frame) { (void)frame; }
    virtual void Consume(unsigned char* data, unsigned int len) {
        (void)data;
        (void)len;
    }
};
