// The whole daemon against a simulated VKT-9 on a pseudo-terminal: current
// values, hourly, daily and integral-daily archives reach the file tree, the
// bookkeeping advances, and a restart does not read stored hours again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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

constexpr int kHours = 30;
constexpr int kDays = 3;

struct Line {
    long time;
    int quality;
    double value;
};

std::vector<Line> Lines(const std::string& path) {
    std::vector<Line> out;
    std::istringstream in(ReadFile(path));
    std::string s;
    while (std::getline(in, s)) {
        Line l{};
        char* end = nullptr;
        l.time = std::strtol(s.c_str(), &end, 10);
        l.quality = static_cast<int>(std::strtol(end + 1, &end, 10));
        l.value = std::strtod(end + 1, nullptr);
        out.push_back(l);
    }
    return out;
}

double Number(const std::string& text) {
    return text.empty() ? NAN : std::strtod(text.c_str(), nullptr);
}

// 0x41 reads of whole pages (all parts), by page number.
std::multiset<int> PageReads(const std::vector<kov::sim::Bytes>& requests, size_t from) {
    std::multiset<int> pages;
    for (size_t i = from; i < requests.size(); ++i) {
        const auto& r = requests[i];
        if (r.size() >= 7 && r[1] == 0x41 && r[3] == 0x38) pages.insert(r[4] | (r[5] << 8));
    }
    return pages;
}

size_t ArchiveTableReads(const std::vector<kov::sim::Bytes>& requests) {
    size_t n = 0;
    for (const auto& r : requests)
        if (r.size() >= 6 && r[1] == 0x04 && r[2] == 0x00 && r[3] == 0x07) ++n;
    return n;
}

class Vkt9Daemon : public ::testing::Test {
protected:
    void SetUp() override {
        dir = kovtest::MakeTempDir("vkt9");
        root = dir + "/root";
        mkdir(root.c_str(), 0755);
        pty = std::make_unique<kov::sim::PtyLink>(dir + "/ttyVKT9");
        sim = std::make_unique<CVKT9MeterSim>(pty->MasterFd(), 1);
        sim->SetDepth(kHours, kDays);
        sim->SetQUnits(1);
        sim->Start();
        std::ofstream(dir + "/config.json")
            << R"({"41": {"manufacturer": "vkt-9", "period_current": "3600",
            "serial": "1", "port_params": {"name": ")" +
                   pty->SlavePath() + R"(", "speed": 9600},
            "systems": {"system_1": "TS1", "system_2": "TS2"}}})";
        // The port may be held for a while by the tests of another tree on a
        // shared machine.
        for (int attempt = 0; attempt < 120; ++attempt) {
            service = std::make_unique<Child>(
                std::vector<std::string>{KOV_CONFIG_SERVICE_PATH, "--config", dir + "/config.json"},
                dir + "/service.out", dir + "/service.err");
            WaitFor(5000, [&] {
                return ReadFile(dir + "/service.out").find("listening") != std::string::npos ||
                       ReadFile(dir + "/service.err").find("busy") != std::string::npos;
            });
            if (ReadFile(dir + "/service.out").find("listening") != std::string::npos) return;
            service.reset();
            usleep(2000000);
        }
        FAIL() << ReadFile(dir + "/service.err");
    }
    void TearDown() override {
        daemon.reset();
        service.reset();
        sim->Stop();
    }
    void StartDaemon() {
        // Another data service on the same port (tests of other trees on a
        // shared machine) can answer first; such a run is started again.
        for (int attempt = 0; attempt < 20; ++attempt) {
            ++runs;
            errFile = dir + "/daemon" + std::to_string(runs) + ".err";
            const std::string outFile = dir + "/daemon" + std::to_string(runs) + ".out";
            daemon = std::make_unique<Child>(std::vector<std::string>{KOV_MAIN_PATH, "--root", root,
                                                                      "-e", "-v", "7", "-i", "41"},
                                             outFile, errFile);
            WaitFor(10000,
                    [&] { return ReadFile(outFile).find("result JSONRPC") != std::string::npos; });
            if (ReadFile(outFile).find("\"vkt-9\"") != std::string::npos) return;
            daemon->Signal(SIGTERM);
            daemon->Wait(10000);
        }
        FAIL() << "the daemon never got this test's configuration";
    }
    void StopDaemon() {
        daemon->Signal(SIGTERM);
        EXPECT_EQ(daemon->Wait(10000), 0);
        daemon.reset();
    }
    std::string Storage(const std::string& rel) { return root + "/mnt/storage/41/" + rel; }
    std::string Items(const std::string& rel) { return root + "/tmp/41/" + rel; }

    std::string dir, root, errFile;
    int runs = 0;
    std::unique_ptr<kov::sim::PtyLink> pty;
    std::unique_ptr<CVKT9MeterSim> sim;
    std::unique_ptr<Child> service;
    std::unique_ptr<Child> daemon;
};

TEST_F(Vkt9Daemon, ValuesAndArchivesReachTheFileTree) {
    StartDaemon();
    // One pass: identification, current values, both archives, lag test.
    ASSERT_TRUE(WaitFor(60000, [&] { return ArchiveTableReads(sim->Requests()) >= 3; }))
        << ReadFile(errFile);
    const time_t lastHour = sim->LastHour();
    const time_t lastDay = sim->LastDay();
    ASSERT_TRUE(WaitFor(5000, [&] { return !ReadFile(Storage("timestamp_max_daily")).empty(); }));

    EXPECT_EQ(ReadFile(Items("1/zr_items/Connected")), "1\n");
    EXPECT_EQ(ReadFile(Items("2/zr_items/Connected")), "1\n");
    EXPECT_FALSE(ReadFile(Items("timestamp_VKT9")).empty());

    // Current values: constant flows, and values of the meter's current hour.
    EXPECT_EQ(ReadFile(Items("1/zr_items/Q1")), "2.25\n");
    EXPECT_EQ(ReadFile(Items("2/zr_items/Q1")), "3.25\n");
    EXPECT_EQ(ReadFile(Items("1/zr_items/M1")), "1.5\n");
    const long k = static_cast<long>(lastHour / 3600) + 1;
    const double t1 = Number(ReadFile(Items("1/zr_items/T1")));
    EXPECT_TRUE(t1 == CVKT9MeterSim::SystemSample(k, 0).t[0] ||
                t1 == CVKT9MeterSim::SystemSample(k - 1, 0).t[0])
        << t1;
    // Heat energy in GJ uploaded in Gcal.
    const double qo = Number(ReadFile(Items("2/zr_items/IE1")));
    EXPECT_TRUE(std::fabs(qo - CVKT9MeterSim::SystemSample(k, 1).qo / 4.1868) < 1e-6 ||
                std::fabs(qo - CVKT9MeterSim::SystemSample(k - 1, 1).qo / 4.1868) < 1e-6)
        << qo;

    // Hourly heat energy (A2) and mass (A11) of every hour the meter holds.
    EXPECT_EQ(ReadFile(Storage("timestamp_max_hourly")), std::to_string(lastHour));
    for (int sys = 0; sys < 2; ++sys) {
        const std::string base = std::to_string(sys + 1) + "/zr_archives/";
        std::vector<Line> qoLines = Lines(Storage(base + "A2"));
        std::vector<Line> mLines = Lines(Storage(base + "A11"));
        ASSERT_EQ(qoLines.size(), static_cast<size_t>(kHours)) << sys;
        ASSERT_EQ(mLines.size(), static_cast<size_t>(kHours)) << sys;
        for (int i = 0; i < kHours; ++i) {
            const time_t t = lastHour - (kHours - 1 - i) * 3600;
            const vkt9::Sample s = CVKT9MeterSim::SystemSample(static_cast<long>(t / 3600), sys);
            EXPECT_EQ(qoLines[i].time, t);
            EXPECT_EQ(qoLines[i].quality, 192);
            EXPECT_NEAR(qoLines[i].value, s.qo / 4.1868, 1e-6);
            EXPECT_EQ(mLines[i].value, s.m[0]);
        }
    }

    // Daily (A33, at the day's start) and integral-daily (A34, at its end).
    EXPECT_EQ(ReadFile(Storage("timestamp_max_daily")), std::to_string(lastDay));
    std::vector<Line> daily = Lines(Storage("1/zr_archives/A33"));
    std::vector<Line> integral = Lines(Storage("1/zr_archives/A34"));
    ASSERT_EQ(daily.size(), static_cast<size_t>(kDays));
    ASSERT_EQ(integral.size(), static_cast<size_t>(kDays));
    for (int i = 0; i < kDays; ++i) {
        EXPECT_EQ(daily[i].time + 86400 * (kDays - 1 - i), lastDay) << i;
        EXPECT_EQ(integral[i].time, daily[i].time + 86400);
        // Both are the meter's day record; day index from the local date.
        struct tm d {};
        const time_t t = daily[i].time;
        localtime_r(&t, &d);
        struct tm u {};
        u.tm_year = d.tm_year;
        u.tm_mon = d.tm_mon;
        u.tm_mday = d.tm_mday;
        const long day = static_cast<long>(timegm(&u) / 86400);
        EXPECT_EQ(daily[i].value, CVKT9MeterSim::SystemSample(day, 0).v[0]);
        EXPECT_NEAR(integral[i].value, CVKT9MeterSim::SystemSample(day, 0).v[0], 1e-9);
    }

    // A restart reads no stored hour again.
    const std::multiset<int> firstRun = PageReads(sim->Requests(), 0);
    EXPECT_FALSE(firstRun.empty());
    StopDaemon();
    const size_t before = sim->Requests().size();
    StartDaemon();
    ASSERT_TRUE(WaitFor(60000, [&] {
        auto r = sim->Requests();
        return ArchiveTableReads(std::vector<kov::sim::Bytes>(r.begin() + static_cast<long>(before),
                                                              r.end())) >= 3;
    })) << ReadFile(errFile);
    const std::multiset<int> secondRun = PageReads(sim->Requests(), before);
    for (int i = 0; i < kHours; ++i) {
        const long hour = static_cast<long>(lastHour / 3600) - i;
        EXPECT_EQ(secondRun.count(CVKT9MeterSim::PageOf(hour)), 0u) << i;
    }
    const std::vector<Line> after = Lines(Storage("1/zr_archives/A2"));
    ASSERT_GE(after.size(), static_cast<size_t>(kHours));
    for (size_t i = 1; i < after.size(); ++i)
        EXPECT_EQ(after[i].time, after[i - 1].time + 3600) << i;
    StopDaemon();
}

}  // namespace
