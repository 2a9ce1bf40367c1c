#include "sim/sim_meter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace kov::sim {

namespace {
// The newest requests kept for inspection; a long-running simulator keeps
// only these.
constexpr size_t kLogLimit = 10000;
}

CSimMeter::CSimMeter(int fd) : fd_(fd) {
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    if (stopFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

CSimMeter::~CSimMeter() {
    Stop();
    close(stopFd_);
}

void CSimMeter::Start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { run(); });
}

void CSimMeter::Stop() {
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    ssize_t w = write(stopFd_, &one, sizeof one);
    (void)w;
    thread_.join();
    uint64_t drain;
    ssize_t r = read(stopFd_, &drain, sizeof drain);
    (void)r;
}

void CSimMeter::SetFaults(const FaultPlan& plan) {
    std::lock_guard<std::mutex> g(mutex_);
    chooser_.Reset(plan);
}

void CSimMeter::InjectNext(FaultKind kind, int count) {
    std::lock_guard<std::mutex> g(mutex_);
    for (int i = 0; i < count; ++i) injected_.push_back(kind);
}

void CSimMeter::SetBaud(int baud) {
    std::lock_guard<std::mutex> g(mutex_);
    baud_ = baud > 0 ? baud : 0;
}

void CSimMeter::SetGapMs(int ms) {
    std::lock_guard<std::mutex> g(mutex_);
    gapMs_ = ms > 0 ? ms : 1;
}

uint64_t CSimMeter::RequestCount() const {
    std::lock_guard<std::mutex> g(mutex_);
    return count_;
}

std::vector<Bytes> CSimMeter::Requests() const {
    std::lock_guard<std::mutex> g(mutex_);
    return std::vector<Bytes>(log_.begin(), log_.end());
}

bool CSimMeter::WaitForRequests(uint64_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> g(mutex_);
    return served_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return done_ >= n; });
}

long CSimMeter::RequestLength(const uint8_t*, size_t) { return kUseGap; }

void CSimMeter::Reseal(Bytes&) {}

bool CSimMeter::pause(int ms) {
    pollfd p{stopFd_, POLLIN, 0};
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        until - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return true;
        int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0) return false;
    }
}

bool CSimMeter::sendPaced(const uint8_t* data, size_t len) {
    int baud;
    {
        std::lock_guard<std::mutex> g(mutex_);
        baud = baud_;
    }
    // Paced output goes out in slices of about 5 ms of wire time.
    size_t slice = len;
    if (baud > 0) slice = std::max<size_t>(1, static_cast<size_t>(baud) / 10 / 200);
    size_t off = 0;
    while (off < len) {
        size_t n = std::min(slice, len - off);
        size_t done = 0;
        while (done < n) {
            ssize_t w = write(fd_, data + off + done, n - done);
            if (w < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += static_cast<size_t>(w);
        }
        off += n;
        if (baud > 0) {
            auto wire = std::chrono::microseconds(static_cast<long long>(n) * 10 * 1000000 / baud);
            auto until = std::chrono::steady_clock::now() + wire;
            // Sub-millisecond remainders are slept plainly; longer waits watch Stop().
            if (wire >= std::chrono::milliseconds(1)) {
                if (!pause(static_cast<int>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(wire).count())))
                    return false;
            }
            std::this_thread::sleep_until(until);
        }
    }
    return true;
}

void CSimMeter::serve(const Bytes& request) {
    Bytes reply;
    bool answer = Handle(request, reply);

    FaultKind kind;
    struct {
        int delayMs, noiseBytes, truncateTo;
    } knobs;
    {
        std::lock_guard<std::mutex> g(mutex_);
        ++count_;
        log_.push_back(request);
        if (log_.size() > kLogLimit) log_.pop_front();
        // The plan is consulted for every request, so an injected fault does
        // not shift the seeded random sequence.
        kind = chooser_.ForRequest(count_);
        if (!injected_.empty()) {
            kind = injected_.front();
            injected_.pop_front();
        }
        // The knobs only: a plan's request table can be large.
        const FaultPlan& plan = chooser_.Plan();
        knobs = {plan.delayMs, plan.noiseBytes, plan.truncateTo};
    }

    if (kind == FaultKind::Echo) sendPaced(request.data(), request.size());
    if (answer && !reply.empty()) {
        switch (kind) {
            case FaultKind::Silence:
                reply.clear();
                break;
            case FaultKind::Truncate: {
                size_t keep = knobs.truncateTo >= 0 ? static_cast<size_t>(knobs.truncateTo)
                                                    : std::max<size_t>(1, reply.size() / 2);
                if (keep < reply.size()) reply.resize(keep);
                break;
            }
            case FaultKind::BadCheck: {
                size_t n = std::min(CheckLength(), reply.size());
                for (size_t i = reply.size() - n; i < reply.size(); ++i) reply[i] ^= 0x5A;
                break;
            }
            case FaultKind::WrongAddress:
                if (AddressOffset() < reply.size()) {
                    reply[AddressOffset()] = static_cast<uint8_t>(reply[AddressOffset()] + 1);
                    Reseal(reply);
                }
                break;
            case FaultKind::WrongFunction:
                if (FunctionOffset() < reply.size()) {
                    reply[FunctionOffset()] ^= 0x20;
                    Reseal(reply);
                }
                break;
            case FaultKind::Noise: {
                Bytes noise(static_cast<size_t>(knobs.noiseBytes));
                for (auto& b : noise) {
                    // xorshift: cheap, deterministic noise
                    noiseState_ ^= noiseState_ << 13;
                    noiseState_ ^= noiseState_ >> 17;
                    noiseState_ ^= noiseState_ << 5;
                    b = static_cast<uint8_t>(noiseState_);
                }
                reply.insert(reply.begin(), noise.begin(), noise.end());
                break;
            }
            case FaultKind::Delay:
                if (!pause(knobs.delayMs)) return;
                break;
            case FaultKind::ErrorAnswer:
                MakeErrorAnswer(reply);
                break;
            default:
                break;
        }
        if (!reply.empty()) sendPaced(reply.data(), reply.size());
    }
    {
        std::lock_guard<std::mutex> g(mutex_);
        ++done_;
    }
    served_.notify_all();
}

void CSimMeter::run() {
    Bytes pending;
    long lastVerdict = kUseGap;
    uint8_t chunk[512];
    for (;;) {
        int gap;
        {
            std::lock_guard<std::mutex> g(mutex_);
            gap = gapMs_;
        }
        pollfd p[2] = {{stopFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        int r = poll(p, 2, pending.empty() ? -1 : gap);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[0].revents) return;
        if (r == 0) {
            // The line fell silent: a frame of unknown size is complete; a
            // frame that still expects bytes is dropped as a real meter would.
            if (lastVerdict == kUseGap) serve(pending);
            pending.clear();
            lastVerdict = kUseGap;
            continue;
        }
        ssize_t n = read(fd_, chunk, sizeof chunk);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            // Nobody on the other end: wait a little instead of spinning.
            if (!pause(10)) return;
            continue;
        }
        pending.insert(pending.end(), chunk, chunk + n);
        while (!pending.empty()) {
            long v = RequestLength(pending.data(), pending.size());
            lastVerdict = v;
            if (v == kSkipByte) {
                pending.erase(pending.begin());
                continue;
            }
            if (v > 0 && pending.size() >= static_cast<size_t>(v)) {
                Bytes frame(pending.begin(), pending.begin() + v);
                pending.erase(pending.begin(), pending.begin() + v);
                lastVerdict = kUseGap;
                serve(frame);
                continue;
            }
            break;
        }
    }
}

}  // namespace kov::sim
