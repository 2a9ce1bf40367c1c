#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/fault_plan.h"

namespace kov::sim {

using Bytes = std::vector<uint8_t>;

// Base of every simulated meter: a thread that reads request frames from the
// meter's end of a link, asks Handle() for the reply, applies the fault plan
// and writes the reply (optionally paced at the line's baud rate).
//
// A family fills in Handle() and, when its requests can be sized from their
// first bytes, RequestLength(); otherwise a pause on the line (the gap) ends
// a request. Fault injection needs to know where the address, function and
// check bytes of a reply sit, and how to recompute the check (Reseal()).
//
// Derived classes must call Stop() in their destructor: the thread calls
// their virtual functions.
class CSimMeter {
public:
    // RequestLength() results besides a positive total length.
    static constexpr long kNeedMore = 0;   // the frame's size is not known yet
    static constexpr long kUseGap = -1;    // unknown framing: a pause ends the frame
    static constexpr long kSkipByte = -2;  // the first byte starts no frame: drop it

    explicit CSimMeter(int fd);  // fd: the meter's end of the link, not owned
    virtual ~CSimMeter();
    CSimMeter(const CSimMeter&) = delete;
    CSimMeter& operator=(const CSimMeter&) = delete;

    void Start();
    void Stop();  // idempotent; returns once the thread has ended

    void SetFaults(const FaultPlan& plan);
    // Gives the next `count` requests the fault `kind` (before the plan).
    void InjectNext(FaultKind kind, int count = 1);
    // Paces replies at 10 bits per byte; 0 writes them at once.
    void SetBaud(int baud);
    // Pause that ends a request of unknown size (default 20 ms).
    void SetGapMs(int ms);

    // Requests seen so far (complete frames as handed to Handle()), the
    // newest 10000 at most.
    uint64_t RequestCount() const;
    std::vector<Bytes> Requests() const;
    // Waits until at least n requests have been answered (or dropped).
    bool WaitForRequests(uint64_t n, int timeoutMs) const;

protected:
    // The total length of the request that starts at data[0], or one of the
    // constants above. Called again whenever more bytes arrive.
    virtual long RequestLength(const uint8_t* data, size_t len);
    // Fills the reply to a complete request; false means the meter stays
    // silent (wrong address, corrupt request...).
    virtual bool Handle(const Bytes& request, Bytes& reply) = 0;

    // Reply layout used by the faults.
    virtual size_t AddressOffset() const { return 0; }
    virtual size_t FunctionOffset() const { return 1; }
    virtual size_t CheckLength() const { return 2; }  // check bytes at the end
    // Recomputes the check bytes after a fault changed the address or function.
    virtual void Reseal(Bytes& reply);
    // Turns a good reply into the family's error answer, with a code that
    // means a failure of the meter rather than "no data". A family without
    // error answers leaves the reply as it is.
    virtual void MakeErrorAnswer(Bytes& reply) { (void)reply; }

private:
    void run();
    void serve(const Bytes& request);
    bool sendPaced(const uint8_t* data, size_t len);
    bool pause(int ms);  // false when asked to stop meanwhile

    int fd_;
    int stopFd_;
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable served_;
    FaultChooser chooser_;
    std::deque<FaultKind> injected_;
    int baud_ = 0;
    int gapMs_ = 20;
    uint64_t count_ = 0;  // requests taken in
    uint64_t done_ = 0;   // requests answered (or left unanswered on purpose)
    std::deque<Bytes> log_;
    uint32_t noiseState_ = 0x2545F491u;
};

}  // namespace kov::sim
