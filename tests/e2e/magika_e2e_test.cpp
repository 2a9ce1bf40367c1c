// The whole daemon reads a simulated MAGIKA through libmodbus on a pty:
// identification, current values and the hourly and daily archives reach
// the file tree under their catalogue names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "drivers/magika/magika_meter_sim.h"
#include "sim/pty_link.h"
#include "tests/e2e/process.h"

namespace {

using kovtest::Child;
using kovtest::ReadFile;
using kovtest::WaitFor;

struct Line {
    long time;
    int quality;
    std::string value;
};

std::vector<Line> ArchiveLines(const std::string& path) {
    std::vector<Line> lines;
    std::istringstream in(ReadFile(path));
    std::string s;
    while (std::getline(in, s)) {
        const size_t a = s.find(','), b = s.find(',', a + 1);
        if (a == std::string::npos || b == std::string::npos) {
            ADD_FAILURE() << "bad archive line in " << path << ": " << s;
            continue;
        }
        lines.push_back(
            {std::stol(s.substr(0, a)), std::stoi(s.substr(a + 1, b - a - 1)), s.substr(b + 1)});
    }
    return lines;
}

long ReadLong(const std::string& path) {
    const std::string s = ReadFile(path);
    return s.empty() ? 0 : std::atol(s.c_str());
}

// Every line of an archive file: quality 192, times one step apart with no
// hole and no repetition, values as the meter's data for that time.
void CheckSeries(const std::string& path, long step, long shift,
                 const std::function<double(time_t)>& expected, size_t minLines) {
    SCOPED_TRACE(path);
    const auto lines = ArchiveLines(path);
    ASSERT_GE(lines.size(), minLines);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].quality, 192);
        if (i > 0) {
            const long gap = lines[i].time - lines[i - 1].time;
            // Daily steps are local days; the test zones have no daylight saving.
            EXPECT_EQ(gap, step) << "after " << lines[i - 1].time;
        }
        const double want = expected(lines[i].time - shift);
        EXPECT_NEAR(std::stod(lines[i].value), want, std::fabs(want) * 1e-6 + 1e-9)
            << "at " << lines[i].time;
    }
}

TEST(MagikaDaemon, CurrentValuesAndArchivesReachTheFileTree) {
    const std::string dir = kovtest::MakeTempDir("e2e-magika");
    const std::string root = dir + "/root";
    for (const char* p : {"", "/proc", "/proc/leds"}) mkdir((root + p).c_str(), 0755);

    kov::sim::PtyLink port;
    CMagikaMeterSim meter(port.MasterFd(), 7);
    meter.SetDepth(24 * 60, 120);
    meter.Start();

    std::ofstream(dir + "/config.json")
        << R"({"m1": {"manufacturer": "magika-axxx",
        "period_current": 3600, "serial": "7", "port_params": {"name": ")"
        << port.SlavePath() << R"(", "protocol": "modbus", "speed": "9600"},
        "systems": {"system_1": "Heating"}}})";
    Child service({KOV_CONFIG_SERVICE_PATH, "--config", dir + "/config.json"}, dir + "/service.out",
                  dir + "/service.err");
    ASSERT_TRUE(WaitFor(5000, [&] {
        return ReadFile(dir + "/service.out").find("listening") != std::string::npos;
    }));
    const time_t started = time(nullptr);
    Child daemon({KOV_MAIN_PATH, "--root", root, "-e", "-v", "6", "-i", "m1"}, dir + "/daemon.out",
                 dir + "/daemon.err");

    const std::string storage = root + "/mnt/storage/m1/";
    const std::string items = root + "/tmp/m1/1/zr_items/";
    // The hourly catch-up ends with the last complete hour (the pass began
    // after `started`, so that hour began no earlier than started's one).
    ASSERT_TRUE(WaitFor(120000, [&] {
        return ReadLong(storage + "timestamp_max_hourly") >= started - started % 3600 - 3600 &&
               ReadLong(storage + "timestamp_max_daily") > 0 && !ReadFile(items + "IT1").empty();
    })) << ReadFile(dir + "/daemon.err");
    daemon.Signal(SIGTERM);
    EXPECT_EQ(0, daemon.Wait(10000));

    // Identification and current values.
    EXPECT_EQ(ReadFile(items + "SerialNumber"), "0012345\n");
    EXPECT_EQ(ReadFile(items + "MeterModel"), "MAGIKA A2\n");
    EXPECT_EQ(ReadFile(items + "SC"), "2\n");
    EXPECT_EQ(ReadFile(items + "Q1"), "12.5\n");
    EXPECT_EQ(ReadFile(items + "T2"), "45.25\n");
    EXPECT_EQ(ReadFile(items + "P1"), "6.5\n");
    EXPECT_EQ(ReadFile(items + "IM1"), "123456.5\n");
    EXPECT_EQ(ReadFile(items + "IE1"), "2345.125\n");
    EXPECT_EQ(ReadFile(items + "IT1"), "1500\n");
    EXPECT_EQ(ReadFile(items + "IQ2"), "50000.75\n");
    const long mdt = std::atol(ReadFile(items + "MDateTime").c_str());
    EXPECT_LE(std::labs(mdt - static_cast<long>(time(nullptr))), 300);

    // Hourly archive: 889 hours back from the meter's hour at most, every hour
    // once, up to the stored newest time.
    const std::string arch = storage + "1/zr_archives/";
    const auto t1 = ArchiveLines(arch + "A20");
    ASSERT_FALSE(t1.empty());
    EXPECT_EQ(t1.back().time, ReadLong(storage + "timestamp_max_hourly"));
    EXPECT_GE(t1.front().time, t1.back().time - 3200400);
    using Sim = CMagikaMeterSim;
    CheckSeries(
        arch + "A20", 3600, 0, [](time_t t) { return Sim::Hourly(t).t1; }, 24 * 30);
    CheckSeries(
        arch + "A21", 3600, 0, [](time_t t) { return Sim::Hourly(t).t2; }, 24 * 30);
    CheckSeries(
        arch + "A17", 3600, 0, [](time_t t) { return Sim::Hourly(t).p1 / 0.967836; }, 24 * 30);
    CheckSeries(
        arch + "A5", 3600, 0, [](time_t t) { return Sim::Hourly(t).v1; }, 24 * 30);
    CheckSeries(
        arch + "A11", 3600, 0, [](time_t t) { return Sim::Hourly(t).m1; }, 24 * 30);
    CheckSeries(
        arch + "A2", 3600, 0, [](time_t t) { return Sim::Hourly(t).q; }, 24 * 30);
    CheckSeries(
        arch + "A3", 3600, 0, [](time_t t) { return Sim::Hourly(t).tn / 60.0; }, 24 * 30);
    // Status: meter bit 1 is the common 0x2.
    CheckSeries(
        arch + "A28", 3600, 0, [](time_t t) { return Sim::Hourly(t).err ? 2.0 : 0.0; }, 24 * 30);

    // Daily archive: values per day; the totals (kind 2) are stored with the
    // end of their day.
    const auto d1 = ArchiveLines(arch + "A48");
    ASSERT_FALSE(d1.empty());
    EXPECT_EQ(d1.back().time, ReadLong(storage + "timestamp_max_daily"));
    CheckSeries(
        arch + "A48", 86400, 0, [](time_t t) { return Sim::Daily(t).t1; }, 60);
    CheckSeries(
        arch + "A39", 86400, 0, [](time_t t) { return Sim::Daily(t).m1; }, 60);
    CheckSeries(
        arch + "A30", 86400, 0, [](time_t t) { return Sim::Daily(t).q; }, 60);
    CheckSeries(
        arch + "A31", 86400, 0, [](time_t t) { return Sim::Daily(t).tn / 60.0; }, 60);
    CheckSeries(
        arch + "A56", 86400, 0, [](time_t t) { return Sim::Daily(t).err ? 32772.0 : 0.0; },
        60);  // 0x8000 | 0x4
    CheckSeries(
        arch + "A32", 86400, 86400, [](time_t t) { return Sim::Daily(t).stn / 60.0; }, 60);
    CheckSeries(
        arch + "A40", 86400, 86400, [](time_t t) { return Sim::Daily(t).sm1; }, 60);
    CheckSeries(
        arch + "A29", 86400, 86400, [](time_t t) { return Sim::Daily(t).sq; }, 60);
    meter.Stop();
}

}  // namespace
