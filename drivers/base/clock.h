#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

// The one seam through which the polling cycle and the drivers read the
// clock and sleep, so tests can run hours of cycle time in milliseconds.
namespace kov {

class Clock {
public:
    virtual ~Clock() = default;
    // Unix time in seconds.
    virtual time_t Now() = 0;
    // Sleeps (or, for a test clock, advances time by) the given microseconds.
    virtual void SleepMicros(long micros) = 0;
    // Waits until fd (ignored when negative) becomes readable, until Now()
    // reaches deadline, or until maxMicros of this clock's time have passed,
    // whichever comes first. True when fd is readable. May return early
    // (signals); callers re-check their condition in a loop.
    virtual bool WaitReadable(int fd, time_t deadline, long maxMicros) = 0;
};

// Wall clock. A wait for a deadline sleeps on a wall-clock timer that also
// fires when the clock is set (NTP after boot), so the wait ends at the new
// time like the 2 ms polling it replaces would, without waking in between.
class RealClock : public Clock {
public:
    time_t Now() override;
    void SleepMicros(long micros) override;
    bool WaitReadable(int fd, time_t deadline, long maxMicros) override;
};

// Virtual time for tests. In auto mode every sleep and wait moves the clock
// forward at once (a wait on an fd first gives it a millisecond of real time);
// in manual mode sleepers block until the test calls Advance().
class TestClock : public Clock {
public:
    explicit TestClock(time_t start, bool autoAdvance = true);

    time_t Now() override;
    void SleepMicros(long micros) override;
    bool WaitReadable(int fd, time_t deadline, long maxMicros) override;

    void Advance(long seconds) { AdvanceMicros(static_cast<int64_t>(seconds) * 1000000); }
    void AdvanceMicros(int64_t micros);
    void SetAuto(bool on) { autoAdvance_ = on; }
    // Threads currently inside SleepMicros or WaitReadable.
    int Sleepers() const { return sleepers_.load(); }
    // Waits (real time) until at least n threads sleep; false on timeout.
    bool AwaitSleepers(int n, int timeoutMs = 5000) const;

private:
    int64_t nowMicros();

    std::mutex mutex_;
    int64_t now_;  // microseconds
    std::atomic<bool> autoAdvance_;
    std::atomic<int> sleepers_{0};
};

// The clock in force: the real clock unless a test installed another one.
Clock& GetClock();
// Installs a clock (null restores the real one). Tests only; not thread-safe
// against running drivers.
void SetClock(Clock* clock);

inline time_t Now() { return GetClock().Now(); }

}  // namespace kov
