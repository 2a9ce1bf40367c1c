#include "drivers/base/clock.h"

#include <poll.h>
#include <pthread.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace kov {
namespace {

std::atomic<Clock*> installed{nullptr};

RealClock& realClock() {
    static RealClock clock;
    return clock;
}

// One poll on fd (or a plain sleep when fd < 0); true when fd is readable.
bool pollFor(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, fd >= 0 ? 1 : 0, timeoutMs);
    return n > 0 && (p.revents & POLLIN);
}

// Keeps the sleeper count right even when the thread is cancelled inside.
struct SleeperMark {
    explicit SleeperMark(std::atomic<int>& c) : count(c) { ++count; }
    ~SleeperMark() { --count; }
    std::atomic<int>& count;
};

constexpr int64_t kMicros = 1000000;
// Without a wall-clock timer, long waits are cut into pieces this long.
constexpr int64_t kUntimedPieceMicros = 1000000;

// A descriptor closed however the scope is left (cancellation included).
// close() is a cancellation point; a destructor must not be left by one.
struct Fd {
    int fd;
    ~Fd() {
        if (fd < 0) return;
        int old;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
        close(fd);
        pthread_setcancelstate(old, nullptr);
    }
};

// Waits for fd or the wall-clock deadline; false when the timer is not available.
bool waitWallDeadline(int fd, time_t deadline, bool& readable) {
    Fd timer{timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC)};
    if (timer.fd < 0) return false;
    itimerspec at{};
    at.it_value.tv_sec = deadline;
    if (timerfd_settime(timer.fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &at, nullptr) != 0)
        return false;
    pollfd p[2] = {{timer.fd, POLLIN, 0}, {fd, POLLIN, 0}};
    int n = poll(p, fd >= 0 ? 2 : 1, -1);
    readable = n > 0 && (p[1].revents & POLLIN);
    return true;
}

}  // namespace

Clock& GetClock() {
    Clock* c = installed.load(std::memory_order_acquire);
    return c ? *c : realClock();
}

void SetClock(Clock* clock) { installed.store(clock, std::memory_order_release); }

time_t RealClock::Now() { return time(nullptr); }

void RealClock::SleepMicros(long micros) {
    if (micros <= 0) return;
    timespec ts{micros / 1000000, (micros % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

bool RealClock::WaitReadable(int fd, time_t deadline, long maxMicros) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t nowUs = static_cast<int64_t>(now.tv_sec) * kMicros + now.tv_nsec / 1000;
    int64_t waitUs = std::max<long>(maxMicros, 0);
    // A deadline far ahead must not overflow the subtraction.
    if (deadline - now.tv_sec < 1000000000) {
        const int64_t untilDeadline = static_cast<int64_t>(deadline) * kMicros - nowUs;
        if (untilDeadline <= 0) return pollFor(fd, 0);
        if (untilDeadline <= waitUs) {
            bool readable = false;
            if (waitWallDeadline(fd, deadline, readable)) return readable;
            waitUs = std::min(untilDeadline, kUntimedPieceMicros);
        }
    }
    waitUs = std::min(waitUs, kUntimedPieceMicros);
    return pollFor(fd, static_cast<int>((waitUs + 999) / 1000));
}

TestClock::TestClock(time_t start, bool autoAdvance)
    : now_(static_cast<int64_t>(start) * kMicros), autoAdvance_(autoAdvance) {}

int64_t TestClock::nowMicros() {
    std::lock_guard<std::mutex> g(mutex_);
    return now_;
}

time_t TestClock::Now() { return static_cast<time_t>(nowMicros() / kMicros); }

void TestClock::AdvanceMicros(int64_t micros) {
    std::lock_guard<std::mutex> g(mutex_);
    now_ += micros;
}

void TestClock::SleepMicros(long micros) {
    SleeperMark mark(sleepers_);
    if (autoAdvance_) {
        AdvanceMicros(micros);
        return;
    }
    const int64_t until = nowMicros() + micros;
    while (nowMicros() < until) pollFor(-1, 1);
}

bool TestClock::WaitReadable(int fd, time_t deadline, long maxMicros) {
    SleeperMark mark(sleepers_);
    const int64_t start = nowMicros();
    int64_t until = maxMicros > INT64_MAX - start ? INT64_MAX : start + maxMicros;
    if (deadline - start / kMicros < 1000000000)
        until = std::min<int64_t>(until, static_cast<int64_t>(deadline) * kMicros);
    if (autoAdvance_) {
        if (fd >= 0 && pollFor(fd, 1)) return true;
        std::lock_guard<std::mutex> g(mutex_);
        now_ = std::max(now_, until);
        return false;
    }
    // Manual: real-time polling is fine for tests; the test moves time.
    for (;;) {
        if (pollFor(fd, 1)) return true;
        if (nowMicros() >= until) return false;
    }
}

bool TestClock::AwaitSleepers(int n, int timeoutMs) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (sleepers_.load() < n) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace kov
