#pragma once

#include <ctime>

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
};

// The clock in force: the real clock unless a test installed another one.
Clock& GetClock();
// Installs a clock (null restores the real one). Tests only; not thread-safe
// against running drivers.
void SetClock(Clock* clock);

inline time_t Now() { return GetClock().Now(); }

}  // namespace kov
