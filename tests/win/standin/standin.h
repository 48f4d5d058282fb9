// What the stand-in vendor DLLs (FTD2XX.dll, SiUSBXp.dll) share: their setup
// from the environment, the record of every call, calls made to fail on
// request, and a USB-to-serial converter with the simulated target on the far
// side of its line.
//
// Environment (Wine passes it through; paths as Windows paths, Z:\...):
//   STANDIN_LOG       file that gets one line per call, with its arguments
//   STANDIN_DEVICES   product descriptions of the attached devices, separated by '|'
//   STANDIN_FAIL      calls that fail, comma-separated: Name, Name#n (only the
//                     n-th call, from 1), either with =status (the status returned)
//   STANDIN_TARGET    the target's behaviour, space-separated: reject=N[@B],
//                     reject-all, silent-from=B, vanish-after=K, stale=N, preload=N
//   STANDIN_RECEIVED  file that gets every byte the target received
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "target/sim_target.h"

namespace standin {

using Clock = std::chrono::steady_clock;

// Appends one line to the call record.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when this call of the function is to fail; the status to return is
// stored when the request names one.
bool ShouldFail(const char* function, int* status);

// The attached devices' descriptions, in index order.
const std::vector<std::string>& Descriptions();

// Waits until the time given. Nothing ends the wait early: CancelSynchronousIo
// does not reach the vendor libraries' waits. Current SiUSBXp runs over
// WinUSB, whose transfers the library makes as overlapped I/O and waits for,
// and CancelSynchronousIo cancels synchronous I/O only (Microsoft,
// "CancelSynchronousIo function"); FTDI's D2XX Programmer's Guide says nothing
// about cancelling. The stand-ins take the case where it does not work.
void WaitUntil(Clock::time_point when);

// How a converter chip passes bytes between USB and its line.
struct ChipModel {
    uint32_t transmitBuffer;  // bytes from the host the chip holds before its line sends them
    std::chrono::milliseconds defaultLatency;  // a received byte waits this long before it goes to the host
};

// One converter with the simulated target on its line.
class Chip {
public:
    explicit Chip(const ChipModel& model);

    void SetLine(uint32_t baudRate, int bitsPerByte);
    void SetLatency(std::chrono::milliseconds latency) { latency_ = latency; }
    // Pending bytes in either direction are dropped.
    void Purge(bool transmit, bool receive);

    // Bytes from the host: the call returns once the chip has taken them all
    // into its transmit buffer, or the driver into its transmit queue of
    // hostQueue bytes in front of the chip, or at the deadline. The buffer
    // empties at the line's pace. Returns how many it took.
    void Write(const uint8_t* bytes, uint32_t count, const Clock::time_point* deadline, uint32_t hostQueue,
               uint32_t* taken);

    // Bytes given to Write that the line has not sent yet (in the chip's
    // buffer or in the driver's queue in front of it).
    uint32_t Unsent() const;
    uint32_t TransmitBuffer() const { return model_.transmitBuffer; }
    // Bytes for the host that have arrived by now.
    uint32_t Arrived() const;

    // The Win32 read time-outs: a total of multiplier * wanted + constant from
    // the start, and the interval after each byte (0: none).
    struct ReadLimits {
        bool total = false;
        Clock::time_point end;
        std::chrono::milliseconds interval{0};
    };
    // Bytes for the host that have arrived by now or arrive before a limit.
    void Read(uint8_t* buffer, uint32_t wanted, const ReadLimits& limits, uint32_t* got);

    // The target went away (a cable pulled): every transfer fails from now on.
    bool Gone() const { return target_.Vanished(); }

private:
    ChipModel model_;
    SimTarget target_;
    Clock::duration byteTime_{0};
    std::chrono::milliseconds latency_;
    Clock::time_point lineFree_;  // when the line has sent all it was given
    struct Arrival {
        Clock::time_point when;
        uint8_t byte;
    };
    std::deque<Arrival> toHost_;
};

}  // namespace standin
