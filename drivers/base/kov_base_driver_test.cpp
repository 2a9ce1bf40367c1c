#include "drivers/base/kov_base_driver.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <vector>

#include "drivers/base/clock.h"
#include "service/jsonrpc_connector.h"
#include "service/path_root.h"
#include "sim/test_support.h"

namespace {

using namespace std::chrono_literals;

// 2026-01-14 10:20:34 UTC: mid-hour, so hour and day boundaries are visible.
constexpr time_t kStart = 1768386034;
// Start of the hour before kStart's hour, worked out by hand.
constexpr int32_t kPrevHour = kStart - 1234 - 3600;

struct ArchRequest {
    int type;
    int32_t from;
    int32_t to;
    bool operator==(const ArchRequest&) const = default;
};

std::ostream& operator<<(std::ostream& os, const ArchRequest& r) {
    return os << "(" << r.type << ", " << r.from << ", " << r.to << ")";
}

// A daily request for [from, to], then the hourly catch-up from `hourFrom`
// to kPrevHour in requests of one day each.
std::vector<ArchRequest> CatchUp(int32_t from, int32_t to, int32_t hourFrom) {
    std::vector<ArchRequest> out{{5, from, to}};
    for (; hourFrom <= kPrevHour; hourFrom += 86400)
        out.push_back({4, hourFrom, std::min(hourFrom + 82800, kPrevHour)});
    return out;
}

// A meter driver whose answers the test scripts; it counts every call.
class ScriptedDriver : public CKovBaseDriver {
public:
    ~ScriptedDriver() override { Stop(); }

    // archiveKind: kind of the returned records; 0: the asked type.
    std::atomic<int> inits{0}, systemReads{0}, currentReads{0}, timestampCalls{0}, archiveKind{0};
    std::atomic<bool> timestampsOk{true}, emptySystem{false}, throwCurrentOnce{false};
    int32_t hourlyLower = 0, dailyLower = 0;

    std::vector<ArchRequest> Requests() {
        std::lock_guard<std::mutex> g(m);
        return requests;
    }

    void SaveConnector(CConnector*) override {}
    bool init() override { return ++inits, true; }
    ValueList get_all_system_values() override {
        ++systemReads;
        if (emptySystem) return {};
        return {ValueRecord(31, 7, "Scripted", "", 192, 0, 0, static_cast<int>(kov::Now()))};
    }
    ValueList get_all_curtime_cur_integ_values() override {
        ++currentReads;
        if (throwCurrentOnce.exchange(false)) throw std::runtime_error("link down");
        return {ValueRecord(6, 0, "65.5", "C", 192, 0, 0, static_cast<int>(kov::Now()))};
    }
    bool GetTimestamps(ArchiveBounds& b) override {
        ++timestampCalls;
        if (!timestampsOk) return false;
        b = {hourlyLower, dailyLower, static_cast<int32_t>(kov::Now())};
        return true;
    }
    int get_arch_values(int type, int32_t from, int32_t to, ValueList& out) override {
        std::lock_guard<std::mutex> g(m);
        requests.push_back({type, from, to});
        // One record at the end of the range: enough to move the stored time.
        out.push_back(ValueRecord(17, archiveKind ? archiveKind.load() : type, "1.5", "", 192, 0, 0, to));
        return 1;
    }

private:
    std::mutex m;
    std::vector<ArchRequest> requests;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

class PollingCycle : public ::testing::Test {
protected:
    void SetUp() override {
        // Archive storage syncs every file; memory-backed folders keep this fast.
        std::string tmpl = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/kov_cycle.XXXXXX";
        root = mkdtemp(tmpl.data());
        kov::SetPathRoot(root);
        kov::SetClock(&clock);
        client = new CJSONRPCConnector("7", 0);
        logStart = readFile(kov::sim::LogFile::Path()).size();
    }
    void TearDown() override {
        driver.reset();  // drivers go before their service link
        delete client;
        kov::SetClock(nullptr);
        kov::SetPathRoot("");
        std::filesystem::remove_all(root);
    }

    ScriptedDriver& Make(const std::string& manufacturer, ParamMap params) {
        driver = std::make_unique<ScriptedDriver>();
        driver->SetServiceLink(client);
        driver->ApplyPortOptions(params);
        driver->Start(manufacturer);  // it waits for the first request
        return *driver;
    }
    // One supervision handshake, as the main thread does it.
    bool Pass(int timeoutMs = 5000) {
        driver->RequestCheck();
        return driver->WaitCheckDone({}, timeoutMs);
    }
    std::string Log() { return readFile(kov::sim::LogFile::Path()).substr(logStart); }
    bool InLog(const std::string& text) { return Log().find(text) != std::string::npos; }
    std::string Connected() { return readFile(root + "/tmp/7/1/zr_items/Connected"); }
    void Touch(const std::string& abs) { std::ofstream(kov::RootedPath(abs)) << "x"; }
    bool Exists(const std::string& abs) { return access(kov::RootedPath(abs).c_str(), F_OK) == 0; }

    std::string root;
    kov::TestClock clock{kStart};
    CJSONRPCConnector* client = nullptr;
    std::unique_ptr<ScriptedDriver> driver;
    size_t logStart = 0;
};

TEST(PortOptions, LedIndicationAndPortAlias) {
    struct Case {
        ParamMap params;
        bool led, listed;
    } cases[] = {
        {{}, true, false}, {{{"led_indication", "0"}}, false, false},
        {{{"led_indication", "2"}}, true, false}, {{{"led_indication", "-1"}}, true, false},
        {{{"led_indication", "on"}}, false, false}, {{{"port_alias", "serial232.0"}}, true, true},
        {{{"port_alias", "serial232.D"}}, true, true}, {{{"port_alias", "serial485.4"}}, true, true},
        {{{"port_alias", "serial485.1"}}, true, true}, {{{"port_alias", "serial485.2"}}, true, true},
        {{{"port_alias", "serial485.3"}}, true, false}, {{{"port_alias", "Serial485.2"}}, true, false},
        {{{"port_alias", "serial232.d"}}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.params));
        ScriptedDriver d;
        d.ApplyPortOptions(c.params);
        EXPECT_EQ(c.led, d.LedIndication());
        EXPECT_EQ(c.listed, d.PortAliasListed());
        // Listed ports never count as current for the supervisor.
        EXPECT_EQ(c.listed ? 0 : 1, d.ArchiveStatus());
        EXPECT_EQ(c.params, d.Params());
    }
}

TEST_F(PollingCycle, LongPeriodCatchesUpAtOnceThenSleepsUntilForcedOrAnHourLater) {
    clock.SetAuto(false);
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}});
    ASSERT_TRUE(Pass());
    EXPECT_EQ(1, d.inits);
    EXPECT_EQ(1, d.currentReads);
    EXPECT_EQ("1\n", Connected());
    EXPECT_EQ("65.5\n", readFile(root + "/tmp/7/1/zr_items/T1"));
    // The previous day starts at a local midnight one to two days back.
    const time_t day = CKovBaseDriver::PrevDayStart(kStart);
    struct tm tm;
    localtime_r(&day, &tm);
    EXPECT_EQ(0, tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
    EXPECT_TRUE(day < kStart - 86400 && day >= kStart - 2 * 86400) << day;
    // Daily first, then hourly from 90 days back up to the previous hour.
    const auto requests = d.Requests();
    EXPECT_EQ(CatchUp(day - 7776000, day, kPrevHour - 7776000), requests);
    EXPECT_EQ(92u, requests.size());
    EXPECT_EQ(ArchRequest({4, kPrevHour, kPrevHour}), requests.back());
    EXPECT_TRUE(InLog("Info: CKovBaseDriver::ReadHourlyArch readed all hourly values."));
    EXPECT_TRUE(InLog("Info: CKovBaseDriver::ReadDailyArch readed all daily values."));
    EXPECT_TRUE(d.ArchivesCurrent());

    // Asleep for an hour: a request waits until a forced update ends the
    // sleep and is consumed.
    ASSERT_TRUE(clock.AwaitSleepers(1));
    d.RequestCheck();
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(d.IsCheckRequested());
    auto begin = std::chrono::steady_clock::now();
    Touch("/tmp/tqm_force_update_7");
    ASSERT_TRUE(d.WaitCheckDone({}, 2000));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 100ms);
    EXPECT_FALSE(Exists("/tmp/tqm_force_update_7"));
    EXPECT_EQ(2, d.currentReads);

    // Without one, the next pass comes exactly an hour later.
    ASSERT_TRUE(clock.AwaitSleepers(1));
    d.RequestCheck();
    clock.Advance(3599);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(d.IsCheckRequested());
    clock.Advance(1);
    ASSERT_TRUE(d.WaitCheckDone({}, 2000));
    EXPECT_EQ(3, d.currentReads);
    EXPECT_EQ(1, d.inits);
}

TEST_F(PollingCycle, ShortPeriodReadsArchivesFirstAfterTenMinutes) {
    ScriptedDriver& d = Make("scripted", {{"period_current", "300"}});
    ASSERT_TRUE(Pass());  // start
    ASSERT_TRUE(Pass());  // +300 s
    EXPECT_EQ(2, d.currentReads);
    EXPECT_TRUE(d.Requests().empty());
    EXPECT_FALSE(d.ArchivesCurrent());  // nothing stored yet: lagging
    EXPECT_EQ(2, d.timestampCalls);     // the lag test alone
    ASSERT_TRUE(Pass());                // +600 s
    ASSERT_GT(d.Requests().size(), 1u);
    EXPECT_EQ(5, d.Requests().front().type);
    EXPECT_TRUE(d.ArchivesCurrent());
}

TEST_F(PollingCycle, CatchUpStartsAtTheModelLimitTheLowerBoundOrAfterTheStoredTime) {
    clock.SetAuto(false);  // every case sees kStart
    const int32_t day = static_cast<int32_t>(CKovBaseDriver::PrevDayStart(kStart));
    const int32_t lower = kPrevHour - 2 * 86400 + 1800;  // mid-hour, under two days back
    struct Case {
        const char* maker;
        int32_t hourlyLower, dailyLower, storedHourly, storedDaily;
        std::vector<ArchRequest> expected;
    } cases[] = {
        {"omega-tr", 0, 0, 0, 0, CatchUp(day - 5184000, day, kPrevHour - 5184000)},
        {"scripted", lower, day - 864000, 0, 0,
         {{5, day - 864000, day}, {4, lower, lower + 82800}, {4, lower + 86400, kPrevHour - 1800}}},
        {"scripted", 0, 0, kPrevHour - 7200, day - 86400, {{5, day, day}, {4, kPrevHour - 3600, kPrevHour}}},
        {"scripted", 0, 0, kPrevHour, day, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.maker << " lower " << c.hourlyLower << " stored " << c.storedHourly);
        client->WriteMaxTimestamp(4, c.storedHourly);
        client->WriteMaxTimestamp(5, c.storedDaily);
        ScriptedDriver& d = Make(c.maker, {{"period_current", "3600"}});
        d.hourlyLower = c.hourlyLower;
        d.dailyLower = c.dailyLower;
        ASSERT_TRUE(Pass());
        EXPECT_EQ(c.expected, d.Requests());
        EXPECT_EQ(1, d.currentReads);
        EXPECT_TRUE(d.ArchivesCurrent());
    }
}

TEST_F(PollingCycle, PauseTqmSkipsUnlistedMetersButTheLagTestAndSleepStillRun) {
    clock.SetAuto(false);
    for (const char* alias : {"serial485.3", "serial485.1"}) {
        const bool listed = alias == std::string("serial485.1");
        ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}, {"port_alias", alias}});
        ASSERT_TRUE(Pass());
        const size_t requests = d.Requests().size();
        const int stamps = d.timestampCalls;
        Touch("/tmp/pause_tqm");
        ASSERT_TRUE(clock.AwaitSleepers(1));
        d.RequestCheck();
        clock.Advance(3600);  // archives are due again
        ASSERT_TRUE(d.WaitCheckDone({}, 2000));
        EXPECT_EQ(listed ? 2 : 1, d.currentReads) << alias;
        EXPECT_EQ(listed, d.Requests().size() > requests) << alias;
        EXPECT_EQ(stamps + (listed ? 3 : 1), d.timestampCalls) << alias;  // the lag test still asks
        EXPECT_EQ("1\n", Connected());
        EXPECT_TRUE(clock.AwaitSleepers(1)) << "the period sleep still runs";
        unlink(kov::RootedPath("/tmp/pause_tqm").c_str());
        d.RequestCheck();
        clock.Advance(3600);
        ASSERT_TRUE(d.WaitCheckDone({}, 2000));
        EXPECT_EQ(listed ? 3 : 2, d.currentReads);  // the file is looked at anew
    }
}

TEST_F(PollingCycle, PauseAllHoldsTheConnectStepAndTheMainThread) {
    client->WriteMaxTimestamp(4, kPrevHour);  // no catch-up to wait for
    client->WriteMaxTimestamp(5, static_cast<int>(CKovBaseDriver::PrevDayStart(kStart)));
    Touch("/tmp/pause_tqm_all");
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}, {"port_alias", "serial485.2"}});
    d.RequestCheck();
    EXPECT_FALSE(d.WaitCheckDone({}, 150));
    EXPECT_TRUE(d.IsCheckRequested());
    EXPECT_EQ(0, d.inits);
    EXPECT_EQ("0\n", Connected());
    // A stop request ends the main thread's wait at once.
    auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(d.WaitCheckDone([] { return true; }));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 50ms);
    // Removing the file lets the connect step go on right away.
    unlink(kov::RootedPath("/tmp/pause_tqm_all").c_str());
    begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(d.WaitCheckDone({}, 2000));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 100ms);
    EXPECT_EQ(1, d.inits);
    EXPECT_EQ(1, d.currentReads);
    EXPECT_EQ("1\n", Connected());
}

TEST_F(PollingCycle, EmptySystemDataReachesThePassLoopAndAnExceptionConnectsAnew) {
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}});
    d.emptySystem = true;
    d.throwCurrentOnce = true;
    ASSERT_TRUE(Pass());
    EXPECT_FALSE(d.IsCheckRequested());
    EXPECT_EQ("0\n", Connected());
    EXPECT_TRUE(d.Requests().empty());
    // In this order: the Warning does not stop the connect step.
    size_t at = Log().find("Info: CKovBaseDriver::functionThread begin execute thread.");
    for (const char* line : {"Warning: CKovBaseDriver::functionThread system info is absent.",
                             "Debug: CKovBaseDriver::functionThread - connecting to controller registered.",
                             "Info: CKovBaseDriver::functionThread begin all current values.",
                             "Debug: CKovBaseDriver::functionThread - disconnecting from controller registered."}) {
        ASSERT_NE(std::string::npos, at) << line;
        at = Log().find(line, at);
    }
    EXPECT_NE(std::string::npos, at);
    ASSERT_TRUE(Pass());
    EXPECT_EQ(2, d.inits);
    EXPECT_EQ(2, d.systemReads);
    EXPECT_EQ(2, d.currentReads);
    EXPECT_EQ("1\n", Connected());
}

TEST_F(PollingCycle, FailedBoundsRetryArchivesTenSecondsLater) {
    ScriptedDriver& d = Make("scripted", {});  // period 0: no sleeps
    d.timestampsOk = false;
    ASSERT_TRUE(Pass());
    EXPECT_EQ(1, d.timestampCalls);  // lag test only: archives wait 600 s
    EXPECT_TRUE(d.ArchivesCurrent());
    clock.Advance(600);
    ASSERT_TRUE(Pass());
    EXPECT_EQ(4, d.timestampCalls);  // daily, hourly, lag
    clock.Advance(9);
    ASSERT_TRUE(Pass());
    EXPECT_EQ(5, d.timestampCalls);
    clock.Advance(1);
    ASSERT_TRUE(Pass());
    EXPECT_EQ(8, d.timestampCalls);
    EXPECT_TRUE(d.Requests().empty());
}

TEST_F(PollingCycle, Vkt7WaitsOutItsPeriodAfterARestartUnlessAnArchiveIsDaysBehind) {
    for (bool behind : {true, false}) {
        driver.reset();  // the clock stands still from here
        const time_t now = clock.Now();
        std::ofstream(root + "/tmp/7/timestamp_VKT7") << (now - 100);
        client->WriteMaxTimestamp(4, static_cast<int>(now - 86400));
        client->WriteMaxTimestamp(5, static_cast<int>(now - (behind ? 259201 : 259200)));
        ScriptedDriver& d = Make("vkt-7", {{"period_current", "3600"}});
        ASSERT_TRUE(Pass());
        EXPECT_EQ(1, d.currentReads);
        // Slept (auto clock) before serving the first request.
        if (!behind) { EXPECT_GE(clock.Now(), now + 3500); }
        EXPECT_EQ(!behind, InLog("Info: CKovBaseDriver::WaitVKT7 sleeping 3500 seconds")) << behind;
    }
}

TEST_F(PollingCycle, Vkt7ReadsArchivesOnEveryPassIntoTheTemporaryFolder) {
    ScriptedDriver& d = Make("vkt-7", {});  // period 0: others would wait 600 s
    d.archiveKind = 3;                      // end-of-hour records
    ASSERT_TRUE(Pass());
    EXPECT_EQ(92u, d.Requests().size());
    EXPECT_EQ(3, d.timestampCalls);
    EXPECT_FALSE(readFile(root + "/mnt/storage/7/1/zr_tmp_archives/A1").empty());
    EXPECT_TRUE(readFile(root + "/mnt/storage/7/1/zr_archives/A1").empty());
    ASSERT_TRUE(Pass());
    EXPECT_EQ(6, d.timestampCalls);  // both archive passes again, then the lag test
    EXPECT_EQ(2, d.currentReads);
}

TEST_F(PollingCycle, DestructionCancelsASleepingOrWaitingDriverQuickly) {
    kov::SetClock(nullptr);  // a real hour-long sleep
    for (bool served : {true, false}) {
        ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}});
        d.timestampsOk = false;
        // Served once it sleeps; never asked it waits in the handshake.
        if (served) { ASSERT_TRUE(Pass()); }
        std::this_thread::sleep_for(20ms);
        auto begin = std::chrono::steady_clock::now();
        driver.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 100ms) << served;
    }
}

TEST(Clocks, RealWaitEndsAtTheWallDeadlineTheBoundOrOnTheDescriptor) {
    kov::RealClock real;
    const time_t deadline = real.Now() + 1;
    auto begin = std::chrono::steady_clock::now();
    while (real.Now() < deadline) EXPECT_FALSE(real.WaitReadable(-1, deadline, LONG_MAX));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1100ms);

    int fd = eventfd(1, EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(real.WaitReadable(fd, real.Now() + 3600, LONG_MAX));
    EXPECT_FALSE(real.WaitReadable(-1, real.Now() + 3600, 2000));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 50ms);
    close(fd);
}

}  // namespace
