#include "drivers/base/kov_base_driver.h"

#include <cxxabi.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <limits>

#include "drivers/base/clock.h"
#include "log/logger.h"
#include "service/jsonrpc_connector.h"
#include "service/path_root.h"

namespace {

constexpr int kHourlyArchive = 4;
constexpr int kDailyArchive = 5;
constexpr int32_t kCatchUpDays90 = 7776000;
constexpr int32_t kCatchUpDays60 = 5184000;
// Hourly records are asked for 24 at a time: [from, from + 23 h].
constexpr int32_t kChunkSpan = 82800;
constexpr int32_t kChunkStep = 86400;
// Older than this an archive counts as lagging.
constexpr int64_t kLagLimit = 7200;
// WaitVKT7 gives way when an archive is three days behind.
constexpr int64_t kVkt7FreshLimit = 259201;
// With inotify the waits need no polling; a paused driver still looks at the
// files once a second in case an event was lost.
constexpr long kPauseWatchedMicros = 1000000;
constexpr long kUntilDeadline = std::numeric_limits<long>::max();
// Documented polling steps, used when inotify is not available.
constexpr long kForceUpdatePollMicros = 2000;
constexpr long kPausePollMicros = 1000;
constexpr int kHandshakePollMs = 5;
// How long the main thread waits on a driver before it looks at its stop flag
// again: a signal that the main thread catches ends its wait at once, one
// caught by another thread is seen within this time.
constexpr int kStopCheckMs = 500;

const char* const kListedAliases[] = {"serial232.0", "serial232.D", "serial485.4", "serial485.1",
                                      "serial485.2"};

void notify(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    ssize_t r = write(fd, &one, sizeof one);
    (void)r;
}

void consume(int fd) {
    uint64_t v;
    ssize_t r = read(fd, &v, sizeof v);
    (void)r;
}

}  // namespace

CKovBaseDriver::CKovBaseDriver() {
    requestFd = eventfd(0, EFD_CLOEXEC);
    doneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CKovBaseDriver::~CKovBaseDriver() {
    // The thread uses the descriptors below until it is joined.
    Stop();
    if (requestFd >= 0) close(requestFd);
    if (doneFd >= 0) close(doneFd);
}

void CKovBaseDriver::ApplyPortOptions(const ParamMap& p) {
    params = p;
    auto led = params.find("led_indication");
    ledIndication = (led == params.end() || atoi(led->second.c_str()) != 0) ? 1 : 0;
    uint8_t listed = 0;
    auto alias = params.find("port_alias");
    if (alias != params.end()) {
        for (const char* a : kListedAliases)
            if (alias->second == a) listed = 1;
    }
    portAliasListed = listed;
}

void CKovBaseDriver::RequestCheck() {
    checkRequested = 1;
    notify(requestFd);
}

bool CKovBaseDriver::WaitCheckDone(const std::function<bool()>& stop, int timeoutMs) {
    using SteadyClock = std::chrono::steady_clock;
    const auto end = SteadyClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    while (checkRequested.load()) {
        if (stop && stop()) return false;
        int waitMs = doneFd >= 0 ? kStopCheckMs : kHandshakePollMs;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now())
                            .count();
            if (left <= 0) return !checkRequested.load();
            waitMs = static_cast<int>(std::min<long long>(waitMs, left));
        }
        pollfd p{doneFd, POLLIN, 0};
        if (poll(&p, doneFd >= 0 ? 1 : 0, waitMs) > 0) consume(doneFd);
    }
    return true;
}

void CKovBaseDriver::WaitForRequest() {
    while (!checkRequested.load()) {
        if (requestFd >= 0)
            consume(requestFd);  // blocks; a cancellation point
        else
            poll(nullptr, 0, kHandshakePollMs);
    }
}

void CKovBaseDriver::FinishRequest() {
    checkRequested = 0;
    notify(doneFd);
}

time_t CKovBaseDriver::PrevHourStart(time_t t) { return t - (t % 3600) - 3600; }

time_t CKovBaseDriver::PrevDayStart(time_t t) {
    struct tm tmv;
    localtime_r(&t, &tmv);
    tmv.tm_hour = 0;
    tmv.tm_min = 0;
    tmv.tm_sec = 0;
    return mktime(&tmv) - 86400;
}

bool CKovBaseDriver::MayRun() const {
    if (!portAliasListed && access(pausePath.c_str(), F_OK) == 0) return false;
    return access(pauseAllPath.c_str(), F_OK) != 0;
}

void CKovBaseDriver::WaitWhilePaused() {
    kov::Clock& clock = kov::GetClock();
    const time_t never = std::numeric_limits<time_t>::max();
    // Watch first, then test, so a file removed in between is not missed.
    controlWatch.Open(controlDir);
    while (!MayRun()) {
        int fd = controlWatch.fd();
        clock.WaitReadable(fd, never, fd >= 0 ? kPauseWatchedMicros : kPausePollMicros);
        controlWatch.Drain();
    }
}

void CKovBaseDriver::InterruptibleSleep(int seconds) {
    if (seconds <= 1) return;
    kov::Clock& clock = kov::GetClock();
    const time_t deadline = clock.Now() + seconds;
    controlWatch.Open(controlDir);
    controlWatch.Drain();
    bool look = true;  // the request may be there already
    for (;;) {
        const int fd = controlWatch.fd();
        if (fd < 0) {
            clock.WaitReadable(-1, deadline, kForceUpdatePollMicros);
            if (clock.Now() >= deadline || service->CheckForceUpdate()) return;
            continue;
        }
        if (look && service->CheckForceUpdate()) return;
        if (clock.Now() >= deadline) return;
        look = clock.WaitReadable(fd, deadline, kUntilDeadline);
        if (look) look = controlWatch.Drain();
    }
}

void CKovBaseDriver::WaitVKT7(int period) {
    const int64_t last = service->ReadVKT7Timestamp();
    const int64_t now = kov::Now();
    if (now - service->ReadMaxTimestamp(kHourlyArchive) < kVkt7FreshLimit &&
        now - service->ReadMaxTimestamp(kDailyArchive) < kVkt7FreshLimit && last < now &&
        now - last < period) {
        const int wait = static_cast<int>(last - now + period);
        klog::info("CKovBaseDriver::WaitVKT7 sleeping %d seconds", wait);
        InterruptibleSleep(wait);
    }
}

time_t CKovBaseDriver::ReadHourlyArch() {
    ArchiveBounds bounds;
    if (!GetTimestamps(bounds)) return kov::Now() + 10;
    const time_t now = kov::Now();
    const time_t next =
        now + static_cast<time_t>(GetHourlyArchInterval()) * 3600 - bounds.meterClock % 3600 + 60;
    const int64_t to = PrevHourStart(bounds.meterClock);
    int64_t from = to - (IsModel("omega-tr") ? kCatchUpDays60 : kCatchUpDays90);
    from = std::max<int64_t>(from, bounds.hourlyLower);
    from = std::max<int64_t>(from, static_cast<int64_t>(service->ReadMaxTimestamp(kHourlyArchive)) + 3600);
    const bool temporary = IsModel("vkt-7");
    for (; from <= to; from += kChunkStep) {
        const int64_t chunkEnd = std::min<int64_t>(from + kChunkSpan, to);
        ValueList records;
        get_arch_values(kHourlyArchive, static_cast<int32_t>(from), static_cast<int32_t>(chunkEnd),
                        records);
        if (!records.empty()) {
            klog::info("CKovBaseDriver::ReadHourlyArch readed all hourly values.");
            service->ArchiveRecords(records, kHourlyArchive, temporary);
        } else {
            klog::warning("CKovBaseDriver::ReadHourlyArch archieve hourly info is absent.");
        }
    }
    return next;
}

time_t CKovBaseDriver::ReadDailyArch() {
    ArchiveBounds bounds;
    if (!GetTimestamps(bounds)) return kov::Now() + 10;
    const time_t now = kov::Now();
    const time_t next = now + 3600 - bounds.meterClock % 3600 + 60;
    const int64_t to = PrevDayStart(bounds.meterClock);
    int64_t from = to - (IsModel("omega-tr") ? kCatchUpDays60 : kCatchUpDays90);
    from = std::max<int64_t>(from, bounds.dailyLower);
    from = std::max<int64_t>(from, static_cast<int64_t>(service->ReadMaxTimestamp(kDailyArchive)) + 86400);
    if (to >= from) {
        ValueList records;
        get_arch_values(kDailyArchive, static_cast<int32_t>(from), static_cast<int32_t>(to), records);
        if (!records.empty()) {
            klog::info("CKovBaseDriver::ReadDailyArch readed all daily values.");
            service->ArchiveRecords(records, kDailyArchive, IsModel("vkt-7"));
        } else {
            klog::warning("CKovBaseDriver::ReadDailyArch archieve daily info is absent.");
        }
    }
    return next;
}

bool CKovBaseDriver::ArchivesLag() {
    ArchiveBounds bounds;
    if (!GetTimestamps(bounds)) return false;
    return PrevHourStart(bounds.meterClock) - service->ReadMaxTimestamp(kHourlyArchive) > kLagLimit ||
           PrevDayStart(bounds.meterClock) - service->ReadMaxTimestamp(kDailyArchive) > kLagLimit;
}

// Cancellation is caught as abi::__forced_unwind&, a reference to an
// exception without an object; the undefined-behaviour sanitizer's null
// check would take that binding for a fault.
__attribute__((no_sanitize("null"))) void* CKovBaseDriver::functionThread(void*) {
    const bool vkt7 = IsModel("vkt-7");
    const bool vkt9 = IsModel("vkt-9");
    pausePath = kov::RootedPath("/tmp/pause_tqm");
    pauseAllPath = kov::RootedPath("/tmp/pause_tqm_all");
    controlDir = kov::RootedPath("/tmp");
    klog::info("CKovBaseDriver::functionThread begin execute thread.");

    auto found = params.find("period_current");
    const int period = found == params.end() ? 0 : atoi(found->second.c_str());
    if (vkt7) WaitVKT7(period);

    // With short periods the first archive pass comes ten minutes after start.
    time_t nextHourly = period <= 600 ? kov::Now() + 600 : kov::Now();
    time_t nextDaily = nextHourly;

    for (;;) {
        WaitForRequest();
        service->WriteConnected(false);
        klog::debug("CKovBaseDriver::functionThread - the original state of the connection controller.");
        try {
            WaitWhilePaused();
            init();
            ValueList system = get_all_system_values();
            if (!system.empty())
                service->WriteItems(system);
            else
                klog::warning("CKovBaseDriver::functionThread system info is absent.");
            service->WriteConnected(true);
            if (vkt7)
                service->WriteVKT7Timestamp();
            else if (vkt9)
                service->WriteVKT9Timestamp();
            klog::debug("CKovBaseDriver::functionThread - connecting to controller registered.");

            for (;;) {
                WaitForRequest();
                if (MayRun()) {
                    klog::info("CKovBaseDriver::functionThread begin all current values.");
                    service->WriteItems(get_all_curtime_cur_integ_values());
                    klog::info("CKovBaseDriver::functionThread end all current values.");
                }
                if ((vkt7 || kov::Now() >= nextHourly) && MayRun()) {
                    if ((vkt7 || kov::Now() >= nextDaily) && MayRun()) nextDaily = ReadDailyArch();
                    nextHourly = ReadHourlyArch();
                }
                archivesCurrent = ArchivesLag() ? 0 : 1;
                FinishRequest();
                InterruptibleSleep(period);
            }
        } catch (abi::__forced_unwind&) {
            throw;  // thread cancellation must unwind to the end
        } catch (...) {
            if (MayRun()) {
                service->WriteConnected(false);
                klog::debug("CKovBaseDriver::functionThread - disconnecting from controller registered.");
                kov::GetClock().SleepMicros(2000);
            }
            FinishRequest();
        }
    }
    return nullptr;
}
