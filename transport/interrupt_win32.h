// Windows: a console handler runs on a thread of its own, while the main thread
// may sit for seconds in a synchronous read or write of a link that looks at no
// flag. The links mark such calls; the handler cancels the marked call
// (CancelSynchronousIo) for as long as it lasts, and a call that would begin
// after the interrupt is not made at all.
#pragma once

// Marks one blocking call of a link for its lifetime.
class InterruptibleCall {
public:
    InterruptibleCall();
    ~InterruptibleCall();
    InterruptibleCall(const InterruptibleCall&) = delete;
    InterruptibleCall& operator=(const InterruptibleCall&) = delete;

    // True when the run was interrupted first: the call must not be made.
    bool Interrupted() const;
};

// For the console handler, after RequestInterrupt(): returns once no marked
// call is running any more, having cancelled it while it ran, or after
// limitMs at the latest (a call that cannot be cancelled runs to its own end).
void CancelInterruptibleCall(unsigned long limitMs = 0xFFFFFFFFul);
