// The whole daemon against a simulated VKT-9 on a pseudo-terminal: current
// values, hourly, daily and integral-daily archives reach the file tree, the
// bookkeeping advances, and a restart does not read stored hours again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "drivers/vkt9/vkt9_meter_sim.h"
#include "sim/pty_link.h"
#include "tests/e2e/process.h"

namespace {

using kovtest::Child;
using kovtest::ReadFile;
using kovtest::WaitFor;
using vkt9::CVKT9MeterSim;

constexpr int kHours = 30, kDays = 3;

struct Line {
    long time;
    int quality;
    double value;
};

// An archive file: one "time,quality,value" line per record.
std::vector<Line> Lines(const std::string& path) {
    std::vector<Line> out;
    std::istringstream in(ReadFile(path));
    Line l{};
    for (char comma; in >> l.time >> comma >> l.quality >> comma >> l.value;) out.push_back(l);
    return out;
}

// Requests from index `from` on: whole-page reads (0x41, all parts) by page
// number, and archive-table reads (one per pass and archive) under -1.
std::multiset<int> Reads(const std::vector<kov::sim::Bytes>& requests, size_t from) {
    std::multiset<int> reads;
    for (size_t i = from; i < requests.size(); ++i) {
        const auto& r = requests[i];
        if (r.size() >= 7 && r[1] == 0x41 && r[3] == 0x38) reads.insert(r[4] | (r[5] << 8));
        if (r.size() >= 6 && r[1] == 0x04 && r[2] == 0x00 && r[3] == 0x07) reads.insert(-1);
    }
    return reads;
}

class Vkt9Daemon : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(root.c_str(), 0755);
        sim.SetDepth(kHours, kDays);
        sim.SetQUnits(1);
        sim.Start();
        std::ofstream(dir + "/config.json")
            << R"({"41": {"manufacturer": "vkt-9", "period_current": "3600", "serial": "1",
            "port_params": {"name": ")" +
                   pty.SlavePath() + R"(", "speed": 9600},
            "systems": {"system_1": "TS1", "system_2": "TS2"}}})";
        service = kovtest::StartConfigService(KOV_CONFIG_SERVICE_PATH, dir);
        ASSERT_TRUE(service) << ReadFile(dir + "/service.err");
    }
    void TearDown() override {
        daemon.reset();
        service.reset();
        sim.Stop();
    }
    // Returns once the run has read the archive table three times (a whole pass).
    void RunDaemon() {
        const size_t from = sim.Requests().size();
        const std::string run = dir + "/daemon" + std::to_string(++runs);
        errFile = run + ".err";
        daemon = std::make_unique<Child>(
            std::vector<std::string>{KOV_MAIN_PATH, "--root", root, "-e", "-v", "7", "-i", "41"},
            run + ".out", errFile);
        ASSERT_TRUE(WaitFor(60000, [&] { return Reads(sim.Requests(), from).count(-1) >= 3; }))
            << ReadFile(errFile);
    }
    void StopDaemon() {
        daemon->Signal(SIGTERM);
        EXPECT_EQ(daemon->Wait(10000), 0);
        daemon.reset();
    }
    std::string Storage(const std::string& rel) { return root + "/mnt/storage/41/" + rel; }
    std::string Items(const std::string& rel) { return root + "/tmp/41/" + rel; }

    const std::string dir = kovtest::MakeTempDir("vkt9"), root = dir + "/root";
    std::string errFile;
    int runs = 0;
    kov::sim::PtyLink pty;
    CVKT9MeterSim sim{pty.MasterFd(), 1};
    std::unique_ptr<Child> service;
    std::unique_ptr<Child> daemon;
};

TEST_F(Vkt9Daemon, ValuesAndArchivesReachTheFileTree) {
    ASSERT_NO_FATAL_FAILURE(RunDaemon());
    const time_t lastHour = sim.LastHour(), lastDay = sim.LastDay();
    ASSERT_TRUE(WaitFor(5000, [&] { return !ReadFile(Storage("timestamp_max_daily")).empty(); }));

    EXPECT_EQ(ReadFile(Items("1/zr_items/Connected")), "1\n");
    EXPECT_EQ(ReadFile(Items("2/zr_items/Connected")), "1\n");
    EXPECT_FALSE(ReadFile(Items("timestamp_VKT9")).empty());
    // Current values: constant flows, and heat energy of the meter's current
    // hour, in GJ uploaded in Gcal.
    EXPECT_EQ(ReadFile(Items("1/zr_items/Q1")), "2.25\n");
    EXPECT_EQ(ReadFile(Items("2/zr_items/Q1")), "3.25\n");
    EXPECT_EQ(ReadFile(Items("1/zr_items/M1")), "1.5\n");
    const long k = static_cast<long>(lastHour / 3600) + 1;
    const double qo = std::strtod(ReadFile(Items("2/zr_items/IE1")).c_str(), nullptr);
    EXPECT_TRUE(std::fabs(qo - CVKT9MeterSim::SystemSample(k, 1).qo / 4.1868) < 1e-6 ||
                std::fabs(qo - CVKT9MeterSim::SystemSample(k - 1, 1).qo / 4.1868) < 1e-6)
        << qo;

    // Hourly heat energy (A2) and mass (A11) of every hour the meter holds.
    EXPECT_EQ(ReadFile(Storage("timestamp_max_hourly")), std::to_string(lastHour));
    for (int sys = 0; sys < 2; ++sys) {
        const std::string base = std::to_string(sys + 1) + "/zr_archives/";
        const std::vector<Line> qoLines = Lines(Storage(base + "A2")),
                                mLines = Lines(Storage(base + "A11"));
        ASSERT_TRUE(qoLines.size() == kHours && mLines.size() == kHours) << sys;
        for (int i = 0; i < kHours; ++i) {
            const time_t t = lastHour - (kHours - 1 - i) * 3600;
            const vkt9::Sample s = CVKT9MeterSim::SystemSample(static_cast<long>(t / 3600), sys);
            EXPECT_EQ(qoLines[i].time, t);
            EXPECT_EQ(qoLines[i].quality, 192);
            EXPECT_NEAR(qoLines[i].value, s.qo / 4.1868, 1e-6);
            EXPECT_EQ(mLines[i].value, s.m[0]);
        }
    }

    // Daily (A33, at the day's start) and integral-daily (A34, at its end),
    // both the meter's record of that local date.
    EXPECT_EQ(ReadFile(Storage("timestamp_max_daily")), std::to_string(lastDay));
    const std::vector<Line> daily = Lines(Storage("1/zr_archives/A33")),
                            integral = Lines(Storage("1/zr_archives/A34"));
    ASSERT_TRUE(daily.size() == kDays && integral.size() == kDays) << daily.size();
    for (int i = 0; i < kDays; ++i) {
        EXPECT_EQ(daily[i].time + 86400 * (kDays - 1 - i), lastDay) << i;
        EXPECT_EQ(integral[i].time, daily[i].time + 86400);
        const double v = CVKT9MeterSim::SystemSample((daily[i].time + 43200) / 86400, 0).v[0];
        EXPECT_EQ(daily[i].value, v);
        EXPECT_NEAR(integral[i].value, v, 1e-9);
    }

    // A restart reads no stored hour again.
    EXPECT_GT(Reads(sim.Requests(), 0).size(), 3u);
    StopDaemon();
    const size_t before = sim.Requests().size();
    ASSERT_NO_FATAL_FAILURE(RunDaemon());
    const std::multiset<int> secondRun = Reads(sim.Requests(), before);
    for (int i = 0; i < kHours; ++i)
        EXPECT_EQ(secondRun.count(CVKT9MeterSim::PageOf(lastHour / 3600 - i)), 0u) << i;
    const std::vector<Line> after = Lines(Storage("1/zr_archives/A2"));
    ASSERT_GE(after.size(), static_cast<size_t>(kHours));
    for (size_t i = 1; i < after.size(); ++i)
        EXPECT_EQ(after[i].time, after[i - 1].time + 3600) << i;
    StopDaemon();
}

}  // namespace
