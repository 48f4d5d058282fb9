#pragma once

#include "com.h"

class ComFTDI : public Com {
public:
    bool Escape(uint32_t) override { return false; }
    bool Read(void*, uint32_t, uint32_t*) override { return false; }
    bool Write(const void*, uint32_t) override { return false; }
    bool Close() override { return true; }
    bool Purge() override { return false; }
    bool SetTimeout(uint32_t) override { return false; }
    bool GetTimeout(uint32_t* ms) override { *ms = 0; return false; }
    bool Open(const char*, uint32_t, uint32_t) override { return false; }
    bool IsOpen() override { return false; }
};
