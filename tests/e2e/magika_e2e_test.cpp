// The whole daemon reads a simulated MAGIKA through libmodbus on a pty:
// identification, current values and the hourly and daily archives reach
// the file tree under their catalogue names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "drivers/magika/magika_meter_sim.h"
#include "sim/pty_link.h"
#include "tests/e2e/process.h"

namespace {

using kovtest::ReadFile;
using Sim = CMagikaMeterSim;

struct Line {
    long time = 0;
    int quality = 0;
    double value = 0;
};

std::vector<Line> ArchiveLines(const std::string& path) {
    std::vector<Line> lines;
    std::istringstream in(ReadFile(path));
    std::string s;
    while (std::getline(in, s)) {
        Line l;
        if (std::sscanf(s.c_str(), "%ld,%d,%lf", &l.time, &l.quality, &l.value) == 3)
            lines.push_back(l);
        else
            ADD_FAILURE() << "bad archive line in " << path << ": " << s;
    }
    return lines;
}

long ReadLong(const std::string& path) { return std::atol(ReadFile(path).c_str()); }

TEST(MagikaDaemon, CurrentValuesAndArchivesReachTheFileTree) {
    const std::string dir = kovtest::MakeTempDir("e2e-magika");
    const std::string root = dir + "/root";
    for (const char* p : {"", "/proc", "/proc/leds"}) mkdir((root + p).c_str(), 0755);

    kov::sim::PtyLink port;
    Sim meter(port.MasterFd(), 7);
    meter.SetDepth(24 * 60, 120);
    meter.Start();

    std::ofstream(dir + "/config.json")
        << R"({"m1": {"manufacturer": "magika-axxx",
        "period_current": 3600, "serial": "7", "port_params": {"name": ")"
        << port.SlavePath() << R"(", "protocol": "modbus", "speed": "9600"},
        "systems": {"system_1": "Heating"}}})";
    auto service = kovtest::StartConfigService(KOV_CONFIG_SERVICE_PATH, dir);
    ASSERT_TRUE(service) << ReadFile(dir + "/service.err");
    const time_t started = time(nullptr);
    kovtest::Child daemon({KOV_MAIN_PATH, "--root", root, "-e", "-v", "6", "-i", "m1"},
                          dir + "/daemon.out", dir + "/daemon.err");

    const std::string storage = root + "/mnt/storage/m1/";
    const std::string items = root + "/tmp/m1/1/zr_items/";
    // The hourly catch-up ends with the last complete hour (the pass began
    // after `started`, so that hour began no earlier than started's one).
    ASSERT_TRUE(kovtest::WaitFor(120000, [&] {
        return ReadLong(storage + "timestamp_max_hourly") >= started - started % 3600 - 3600 &&
               ReadLong(storage + "timestamp_max_daily") > 0 && !ReadFile(items + "IT1").empty();
    })) << ReadFile(dir + "/daemon.err");
    daemon.Signal(SIGTERM);
    EXPECT_EQ(0, daemon.Wait(10000));

    const std::pair<const char*, const char*> current[] = {{"SerialNumber", "0012345"},
                                                           {"MeterModel", "MAGIKA A2"},
                                                           {"SC", "2"},
                                                           {"Q1", "12.5"},
                                                           {"T2", "45.25"},
                                                           {"P1", "6.5"},
                                                           {"IM1", "123456.5"},
                                                           {"IE1", "2345.125"},
                                                           {"IT1", "1500"},
                                                           {"IQ2", "50000.75"}};
    for (const auto& [item, value] : current)
        EXPECT_EQ(ReadFile(items + item), std::string(value) + "\n") << item;
    EXPECT_LE(std::labs(ReadLong(items + "MDateTime") - static_cast<long>(time(nullptr))), 300);

    // Every line of each archive file (file, step, shift of the stored time,
    // value): quality 192, times one step apart with no hole and no repetition,
    // values as the meter's data for that time. Daily totals (kind 2) are stored
    // with the end of their day; the test zones have no daylight saving.
    const std::tuple<const char*, long, long, std::function<double(time_t)>> series[] = {
        {"A20", 3600, 0, [](time_t t) { return Sim::Hourly(t).t1; }},
        {"A21", 3600, 0, [](time_t t) { return Sim::Hourly(t).t2; }},
        {"A17", 3600, 0, [](time_t t) { return Sim::Hourly(t).p1 / 0.967836; }},
        {"A5", 3600, 0, [](time_t t) { return Sim::Hourly(t).v1; }},
        {"A11", 3600, 0, [](time_t t) { return Sim::Hourly(t).m1; }},
        {"A2", 3600, 0, [](time_t t) { return Sim::Hourly(t).q; }},
        {"A3", 3600, 0, [](time_t t) { return Sim::Hourly(t).tn / 60.0; }},
        {"A28", 3600, 0, [](time_t t) { return Sim::Hourly(t).err ? 2.0 : 0.0; }},  // bit 1: 0x2
        {"A48", 86400, 0, [](time_t t) { return Sim::Daily(t).t1; }},
        {"A39", 86400, 0, [](time_t t) { return Sim::Daily(t).m1; }},
        {"A30", 86400, 0, [](time_t t) { return Sim::Daily(t).q; }},
        {"A31", 86400, 0, [](time_t t) { return Sim::Daily(t).tn / 60.0; }},
        {"A56", 86400, 0, [](time_t t) { return Sim::Daily(t).err ? 32772.0 : 0.0; }},  // 0x8004
        {"A32", 86400, 86400, [](time_t t) { return Sim::Daily(t).stn / 60.0; }},
        {"A40", 86400, 86400, [](time_t t) { return Sim::Daily(t).sm1; }},
        {"A29", 86400, 86400, [](time_t t) { return Sim::Daily(t).sq; }},
    };
    const std::string arch = storage + "1/zr_archives/";
    for (const auto& [file, step, shift, value] : series) {
        SCOPED_TRACE(file);
        const auto lines = ArchiveLines(arch + file);
        ASSERT_GE(lines.size(), step == 3600 ? 24u * 30 : 60u);
        for (size_t i = 0; i < lines.size(); ++i) {
            const Line& l = lines[i];
            EXPECT_EQ(l.quality, 192);
            const long previous = i > 0 ? lines[i - 1].time : l.time - step;
            EXPECT_EQ(l.time - previous, step) << "at " << l.time;
            const double want = value(l.time - shift);
            EXPECT_NEAR(l.value, want, std::fabs(want) * 1e-6 + 1e-9) << "at " << l.time;
        }
        if (shift != 0) continue;
        // Up to the stored newest time, no further back than the meter's bounds
        // (889 hours, 370 days).
        const bool hourly = step == 3600;
        EXPECT_EQ(lines.back().time,
                  ReadLong(storage + (hourly ? "timestamp_max_hourly" : "timestamp_max_daily")));
        EXPECT_GE(lines.front().time, lines.back().time - (hourly ? 3200400 : 31968000));
    }
    meter.Stop();
}

}  // namespace
