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
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "drivers/base/clock.h"
#include "log/logger.h"
#include "service/jsonrpc_connector.h"
#include "service/path_root.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// 2026-01-14 10:20:34 UTC: mid-hour, so hour and day boundaries are visible.
constexpr time_t kStart = 1768386034;

struct ArchRequest {
    int type;
    int32_t from;
    int32_t to;
    bool operator==(const ArchRequest&) const = default;
};

std::ostream& operator<<(std::ostream& os, const ArchRequest& r) {
    return os << "(" << r.type << ", " << r.from << ", " << r.to << ")";
}

// A meter driver whose answers the test scripts; it counts every call.
class ScriptedDriver : public CKovBaseDriver {
public:
    ~ScriptedDriver() override { Stop(); }

    std::atomic<int> inits{0}, systemReads{0}, currentReads{0}, timestampCalls{0};
    std::atomic<bool> timestampsOk{true};
    std::atomic<bool> emptySystem{false};
    std::atomic<bool> throwCurrentOnce{false};
    std::atomic<int> archiveKind{0};  // kind of the returned records; 0: the asked type
    int32_t hourlyLower = 0;
    int32_t dailyLower = 0;

    std::vector<ArchRequest> Requests() {
        std::lock_guard<std::mutex> g(m);
        return requests;
    }
    std::vector<ArchRequest> Requests(int type) {
        std::vector<ArchRequest> out;
        for (const auto& r : Requests())
            if (r.type == type) out.push_back(r);
        return out;
    }

    void SaveConnector(CConnector*) override {}
    bool init() override {
        ++inits;
        return true;
    }
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
        b.hourlyLower = hourlyLower;
        b.dailyLower = dailyLower;
        b.meterClock = static_cast<int32_t>(kov::Now());
        return true;
    }
    int get_arch_values(int type, int32_t from, int32_t to, ValueList& out) override {
        {
            std::lock_guard<std::mutex> g(m);
            requests.push_back({type, from, to});
        }
        // One record at the end of the range: enough to move the stored time.
        int kind = archiveKind ? archiveKind.load() : type;
        out.push_back(ValueRecord(17, kind, "1.5", "", 192, 0, 0, to));
        return 1;
    }

private:
    std::mutex m;
    std::vector<ArchRequest> requests;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class PollingCycle : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/kov_cycle_log.XXXXXX";
        logDir = mkdtemp(tmpl);
        logger::getInstance((logDir + "/log.txt").c_str(), false)->setLevel(7);
    }
    static void TearDownTestSuite() { fs::remove_all(logDir); }

    void SetUp() override {
        // Archive storage syncs every file; memory-backed folders keep this fast.
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/kov_cycle.XXXXXX";
        root = mkdtemp(tmpl.data());
        kov::SetPathRoot(root);
        kov::SetClock(&clock);
        client = new CJSONRPCConnector("7", 0);
        logStart = readFile(logDir + "/log.txt").size();
    }
    void TearDown() override {
        driver.reset();  // drivers go before their service link
        delete client;
        kov::SetClock(nullptr);
        kov::SetPathRoot("");
        fs::remove_all(root);
    }

    ScriptedDriver& Make(const std::string& manufacturer, ParamMap params) {
        driver = std::make_unique<ScriptedDriver>();
        driver->SetServiceLink(client);
        driver->ApplyPortOptions(params);
        starter = [this, manufacturer] { driver->Start(manufacturer); };
        return *driver;
    }
    void Start() { starter(); }
    // One supervision handshake, as the main thread does it.
    bool Pass(int timeoutMs = 5000) {
        driver->RequestCheck();
        return driver->WaitCheckDone({}, timeoutMs);
    }
    // Archives stored up to the previous hour and day: no catch-up to do.
    void Fresh() {
        client->WriteMaxTimestamp(4, static_cast<int>(CKovBaseDriver::PrevHourStart(kStart)));
        client->WriteMaxTimestamp(5, static_cast<int>(CKovBaseDriver::PrevDayStart(kStart)));
    }
    std::string Log() { return readFile(logDir + "/log.txt").substr(logStart); }
    std::string Connected() { return readFile(root + "/tmp/7/1/zr_items/Connected"); }
    void Touch(const std::string& abs) { std::ofstream(kov::RootedPath(abs)) << "x"; }
    bool Exists(const std::string& abs) { return access(kov::RootedPath(abs).c_str(), F_OK) == 0; }

    static std::string logDir;
    std::string root;
    kov::TestClock clock{kStart};
    CJSONRPCConnector* client = nullptr;
    std::unique_ptr<ScriptedDriver> driver;
    std::function<void()> starter;
    size_t logStart = 0;
};
std::string PollingCycle::logDir;

TEST(PortOptions, LedIndicationAndPortAlias) {
    struct Case {
        ParamMap params;
        bool led;
        bool listed;
    } cases[] = {
        {{}, true, false},
        {{{"led_indication", "0"}}, false, false},
        {{{"led_indication", "2"}}, true, false},
        {{{"led_indication", "-1"}}, true, false},
        {{{"led_indication", "on"}}, false, false},
        {{{"port_alias", "serial232.0"}}, true, true},
        {{{"port_alias", "serial232.D"}}, true, true},
        {{{"port_alias", "serial485.4"}}, true, true},
        {{{"port_alias", "serial485.1"}}, true, true},
        {{{"port_alias", "serial485.2"}}, true, true},
        {{{"port_alias", "serial485.3"}}, true, false},
        {{{"port_alias", "Serial485.2"}}, true, false},
        {{{"port_alias", "serial232.d"}}, true, false},
    };
    for (const Case& c : cases) {
        ScriptedDriver d;
        d.ApplyPortOptions(c.params);
        EXPECT_EQ(c.led, d.LedIndication()) << testing::PrintToString(c.params);
        EXPECT_EQ(c.listed, d.PortAliasListed()) << testing::PrintToString(c.params);
        // Listed ports never count as current for the supervisor.
        EXPECT_EQ(c.listed ? 0 : 1, d.ArchiveStatus());
        EXPECT_EQ(c.params, d.Params());
    }
}

TEST(TimeFunctions, PreviousHourAndLocalPreviousDay) {
    EXPECT_EQ(kStart - 1234 - 3600, CKovBaseDriver::PrevHourStart(kStart));
    EXPECT_EQ(kStart - 1234 - 3600, CKovBaseDriver::PrevHourStart(kStart - 1234));
    time_t day = CKovBaseDriver::PrevDayStart(kStart);
    struct tm a, b;
    localtime_r(&day, &a);
    time_t t = kStart;
    localtime_r(&t, &b);
    EXPECT_EQ(0, a.tm_hour);
    EXPECT_EQ(0, a.tm_min);
    EXPECT_EQ(0, a.tm_sec);
    EXPECT_LT(day, kStart - 86400);
    EXPECT_GE(day, kStart - 2 * 86400);
}

TEST_F(PollingCycle, LongPeriodReadsAllAtOnceAndForceUpdateEndsTheSleep) {
    clock.SetAuto(false);
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}});
    Start();
    ASSERT_TRUE(Pass());
    EXPECT_EQ(1, d.inits);
    EXPECT_EQ(1, d.systemReads);
    EXPECT_EQ(1, d.currentReads);
    EXPECT_EQ("1\n", Connected());
    EXPECT_EQ("65.5\n", readFile(root + "/tmp/7/1/zr_items/T1"));
    EXPECT_EQ(1u, d.Requests(5).size());
    EXPECT_EQ(91u, d.Requests(4).size());
    EXPECT_TRUE(d.ArchivesCurrent());

    // Asleep for an hour: a request waits...
    ASSERT_TRUE(clock.AwaitSleepers(1));
    d.RequestCheck();
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(d.IsCheckRequested());
    // ...until a forced update ends the sleep and is consumed.
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
    Start();
    ASSERT_TRUE(Pass());  // start
    ASSERT_TRUE(Pass());  // +300 s
    EXPECT_EQ(2, d.currentReads);
    EXPECT_TRUE(d.Requests().empty());
    EXPECT_FALSE(d.ArchivesCurrent());  // nothing stored yet: lagging
    EXPECT_EQ(2, d.timestampCalls);     // the lag test alone
    ASSERT_TRUE(Pass());                // +600 s
    EXPECT_EQ(1u, d.Requests(5).size());
    EXPECT_FALSE(d.Requests(4).empty());
    EXPECT_TRUE(d.ArchivesCurrent());
}

TEST_F(PollingCycle, HourlyCatchUpStartsNinetyDaysBackInDayChunks) {
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}});
    Start();
    ASSERT_TRUE(Pass());
    const int32_t to = static_cast<int32_t>(CKovBaseDriver::PrevHourStart(kStart));
    std::vector<ArchRequest> expected;
    for (int32_t from = to - 7776000; from <= to; from += 86400)
        expected.push_back({4, from, std::min(from + 82800, to)});
    EXPECT_EQ(expected, d.Requests(4));
    EXPECT_EQ(ArchRequest({4, to, to}), d.Requests(4).back());
    const int32_t day = static_cast<int32_t>(CKovBaseDriver::PrevDayStart(kStart));
    EXPECT_EQ(std::vector<ArchRequest>({{5, day - 7776000, day}}), d.Requests(5));
    // Daily first, then hourly.
    EXPECT_EQ(5, d.Requests().front().type);
    EXPECT_EQ(to, client->ReadMaxTimestamp(4));
    EXPECT_EQ(day, client->ReadMaxTimestamp(5));
    EXPECT_NE(std::string::npos, Log().find("Info: CKovBaseDriver::ReadHourlyArch readed all hourly values."));
    EXPECT_NE(std::string::npos, Log().find("Info: CKovBaseDriver::ReadDailyArch readed all daily values."));
}

TEST_F(PollingCycle, CatchUpRespectsLowerBoundsAndStoredTimes) {
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}});
    const int32_t to = static_cast<int32_t>(CKovBaseDriver::PrevHourStart(kStart));
    const int32_t day = static_cast<int32_t>(CKovBaseDriver::PrevDayStart(kStart));
    // Lower bound in the middle of an hour, less than two days back.
    const int32_t lower = to - 2 * 86400 + 1800;
    d.hourlyLower = lower;
    d.dailyLower = day - 10 * 86400;
    Start();
    ASSERT_TRUE(Pass());
    EXPECT_EQ(std::vector<ArchRequest>({{4, lower, lower + 82800}, {4, lower + 86400, to - 1800}}),
              d.Requests(4));
    EXPECT_EQ(std::vector<ArchRequest>({{5, day - 10 * 86400, day}}), d.Requests(5));
}

TEST_F(PollingCycle, NothingAskedWhenStoredTimesAreTheLatest) {
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}});
    Fresh();
    Start();
    ASSERT_TRUE(Pass());
    EXPECT_TRUE(d.Requests().empty());
    EXPECT_TRUE(d.ArchivesCurrent());
    EXPECT_EQ(1, d.currentReads);
}

TEST_F(PollingCycle, OmegaCatchUpIsLimitedToSixtyDays) {
    ScriptedDriver& d = Make("omega-tr", {{"period_current", "3600"}});
    Start();
    ASSERT_TRUE(Pass());
    const int32_t to = static_cast<int32_t>(CKovBaseDriver::PrevHourStart(kStart));
    const int32_t day = static_cast<int32_t>(CKovBaseDriver::PrevDayStart(kStart));
    ASSERT_EQ(61u, d.Requests(4).size());
    EXPECT_EQ(ArchRequest({4, to - 5184000, to - 5184000 + 82800}), d.Requests(4).front());
    EXPECT_EQ(std::vector<ArchRequest>({{5, day - 5184000, day}}), d.Requests(5));
}

TEST_F(PollingCycle, ListedAliasIgnoresPauseTqm) {
    Touch("/tmp/pause_tqm");
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}, {"port_alias", "serial485.1"}});
    Start();
    ASSERT_TRUE(Pass());
    ASSERT_TRUE(Pass());
    EXPECT_EQ(2, d.currentReads);
    EXPECT_FALSE(d.Requests().empty());
    EXPECT_EQ(0, d.ArchiveStatus());
}

TEST_F(PollingCycle, PausedPassSkipsMeterButRunsLagTestAndSleeps) {
    clock.SetAuto(false);
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}, {"port_alias", "serial485.3"}});
    Start();
    ASSERT_TRUE(Pass());
    const size_t requests = d.Requests().size();
    const int stamps = d.timestampCalls;
    Touch("/tmp/pause_tqm");
    ASSERT_TRUE(clock.AwaitSleepers(1));
    d.RequestCheck();
    clock.Advance(3600);  // archives would be due again
    ASSERT_TRUE(d.WaitCheckDone({}, 2000));
    EXPECT_EQ(1, d.currentReads);
    EXPECT_EQ(requests, d.Requests().size());
    EXPECT_EQ(stamps + 1, d.timestampCalls);  // the lag test still asks
    EXPECT_EQ("1\n", Connected());
    EXPECT_TRUE(clock.AwaitSleepers(1)) << "the period sleep still runs";
    unlink(kov::RootedPath("/tmp/pause_tqm").c_str());
    d.RequestCheck();
    clock.Advance(3600);
    ASSERT_TRUE(d.WaitCheckDone({}, 2000));
    EXPECT_EQ(2, d.currentReads);
    EXPECT_GT(d.Requests().size(), requests);
}

TEST_F(PollingCycle, PauseAllHoldsTheConnectStepAndTheMainThread) {
    Fresh();
    Touch("/tmp/pause_tqm_all");
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}, {"port_alias", "serial485.2"}});
    Start();
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

TEST_F(PollingCycle, ExceptionDisconnectsAndNextRequestConnectsAnew) {
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}});
    d.throwCurrentOnce = true;
    Start();
    ASSERT_TRUE(Pass());
    EXPECT_FALSE(d.IsCheckRequested());
    EXPECT_EQ("0\n", Connected());
    EXPECT_EQ(1, d.inits);
    EXPECT_TRUE(d.Requests().empty());
    std::string log = Log();
    EXPECT_NE(std::string::npos,
              log.find("Debug: CKovBaseDriver::functionThread - disconnecting from controller registered."));
    ASSERT_TRUE(Pass());
    EXPECT_EQ(2, d.inits);
    EXPECT_EQ(2, d.systemReads);
    EXPECT_EQ(2, d.currentReads);
    EXPECT_EQ("1\n", Connected());
}

TEST_F(PollingCycle, EmptySystemDataStillReachesThePassLoop) {
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}});
    d.emptySystem = true;
    Start();
    ASSERT_TRUE(Pass());
    EXPECT_EQ(1, d.currentReads);
    EXPECT_EQ("1\n", Connected());
    std::string log = Log();
    size_t warn = log.find("Warning: CKovBaseDriver::functionThread system info is absent.");
    size_t registered = log.find("Debug: CKovBaseDriver::functionThread - connecting to controller registered.");
    size_t begin = log.find("Info: CKovBaseDriver::functionThread begin all current values.");
    ASSERT_NE(std::string::npos, warn);
    ASSERT_NE(std::string::npos, registered);
    ASSERT_NE(std::string::npos, begin);
    EXPECT_LT(warn, registered);
    EXPECT_LT(registered, begin);
    EXPECT_NE(std::string::npos, log.find("Info: CKovBaseDriver::functionThread begin execute thread."));
}

TEST_F(PollingCycle, FailedBoundsRetryArchivesTenSecondsLater) {
    ScriptedDriver& d = Make("scripted", {});  // period 0: no sleeps
    d.timestampsOk = false;
    Start();
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
    EXPECT_TRUE(d.ArchivesCurrent());
}

TEST_F(PollingCycle, Vkt7WaitsOutItsPeriodAfterARestart) {
    std::ofstream(root + "/tmp/7/timestamp_VKT7") << (kStart - 100);
    client->WriteMaxTimestamp(4, static_cast<int>(kStart - 86400));
    client->WriteMaxTimestamp(5, static_cast<int>(CKovBaseDriver::PrevDayStart(kStart) - 86400));
    ScriptedDriver& d = Make("vkt-7", {{"period_current", "3600"}});
    Start();
    ASSERT_TRUE(Pass());
    EXPECT_EQ(1, d.currentReads);
    // Slept before serving the first request; no period sleep since (auto clock).
    EXPECT_GE(clock.Now(), kStart + 3500);
    EXPECT_NE(std::string::npos, Log().find("Info: CKovBaseDriver::WaitVKT7 sleeping 3500 seconds"));
}

TEST_F(PollingCycle, Vkt7ReadsArchivesOnEveryPassIntoTheTemporaryFolder) {
    ScriptedDriver& d = Make("vkt-7", {});  // period 0: others would wait 600 s
    d.archiveKind = 3;                      // end-of-hour records
    Start();
    ASSERT_TRUE(Pass());
    EXPECT_EQ(1u, d.Requests(5).size());
    EXPECT_EQ(91u, d.Requests(4).size());
    EXPECT_EQ(3, d.timestampCalls);
    EXPECT_FALSE(readFile(root + "/mnt/storage/7/1/zr_tmp_archives/A1").empty());
    EXPECT_TRUE(readFile(root + "/mnt/storage/7/1/zr_archives/A1").empty());
    ASSERT_TRUE(Pass());
    EXPECT_EQ(6, d.timestampCalls);  // both archive passes again, then the lag test
    EXPECT_EQ(2, d.currentReads);
}

TEST_F(PollingCycle, Vkt7DoesNotWaitWhenAnArchiveIsDaysBehind) {
    std::ofstream(root + "/tmp/7/timestamp_VKT7") << (kStart - 100);
    client->WriteMaxTimestamp(4, static_cast<int>(kStart - 86400));
    client->WriteMaxTimestamp(5, static_cast<int>(kStart - 259201));
    ScriptedDriver& d = Make("vkt-7", {{"period_current", "3600"}});
    Start();
    ASSERT_TRUE(Pass());
    EXPECT_EQ(std::string::npos, Log().find("WaitVKT7"));
    EXPECT_EQ(1, d.currentReads);
}

TEST_F(PollingCycle, DestructionCancelsASleepingOrWaitingDriverQuickly) {
    kov::SetClock(nullptr);  // a real hour-long sleep
    ScriptedDriver& d = Make("scripted", {{"period_current", "3600"}});
    d.timestampsOk = false;
    Start();
    ASSERT_TRUE(Pass());
    std::this_thread::sleep_for(20ms);
    auto begin = std::chrono::steady_clock::now();
    driver.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 100ms);
    // One that never got a request is blocked in the handshake.
    Make("scripted", {});
    Start();
    std::this_thread::sleep_for(20ms);
    begin = std::chrono::steady_clock::now();
    driver.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 100ms);
}

}  // namespace

namespace {

TEST(Clocks, RealWaitEndsAtTheWallDeadlineOrOnTheDescriptor) {
    kov::RealClock real;
    const time_t deadline = real.Now() + 1;
    auto begin = std::chrono::steady_clock::now();
    while (real.Now() < deadline) EXPECT_FALSE(real.WaitReadable(-1, deadline, LONG_MAX));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1100ms);

    int fd = eventfd(1, EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(real.WaitReadable(fd, real.Now() + 3600, LONG_MAX));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 50ms);
    close(fd);
    // A short bound ends the wait long before the deadline.
    begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(real.WaitReadable(-1, real.Now() + 3600, 2000));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 50ms);
}

TEST(Clocks, TestClockJumpsInAutoModeAndWaitsForAdvanceInManualMode) {
    kov::TestClock c(kStart);
    EXPECT_FALSE(c.WaitReadable(-1, kStart + 3600, LONG_MAX));
    EXPECT_EQ(kStart + 3600, c.Now());
    EXPECT_FALSE(c.WaitReadable(-1, std::numeric_limits<time_t>::max(), 1000000));
    EXPECT_EQ(kStart + 3601, c.Now());
    c.SleepMicros(999999);
    EXPECT_EQ(kStart + 3601, c.Now());
    c.SleepMicros(1);
    EXPECT_EQ(kStart + 3602, c.Now());

    c.SetAuto(false);
    std::atomic<bool> done{false};
    std::thread t([&] {
        c.WaitReadable(-1, kStart + 3700, LONG_MAX);
        done = true;
    });
    ASSERT_TRUE(c.AwaitSleepers(1));
    c.Advance(97);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(done);
    c.Advance(1);
    t.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(0, c.Sleepers());
}

}  // namespace
