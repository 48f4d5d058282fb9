// The byte-stream link between the update driver and the target.
#pragma once

#include <cstdint>

class Com {
public:
    // Order matters: it is the order of the virtual table that all links share.
    virtual bool Escape(uint32_t code) = 0;
    virtual bool Read(void* buffer, uint32_t wanted, uint32_t* received) = 0;
    virtual bool Write(const void* buffer, uint32_t count) = 0;
    virtual bool Close() = 0;
    virtual bool Purge() = 0;
    virtual bool SetTimeout(uint32_t milliseconds) = 0;
    virtual bool GetTimeout(uint32_t* milliseconds) = 0;
    virtual bool Open(const char* name, uint32_t baudRate, uint32_t milliseconds) = 0;
    virtual bool IsOpen() = 0;
    virtual ~Com() {}
};
