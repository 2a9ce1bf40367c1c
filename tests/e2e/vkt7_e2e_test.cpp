// The whole daemon reading a simulated VKT-7 over a pty: what the first pass
// leaves in the file tree, a restart that reads nothing twice, and a meter
// that falls silent and answers again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "drivers/vkt7/vkt7_meter_sim.h"
#include "tests/e2e/process.h"

namespace {

using kov::sim::CVKT7MeterSim;
using kovtest::Child;
using kovtest::ReadFile;
using kovtest::WaitFor;

// The simulated meter's value text of a counting type; digitsType is the type
// whose fraction-digit count scales it.
std::string Value(int type, int kind, time_t t, int size, int digitsType) {
    const double scale = std::pow(10.0, CVKT7MeterSim::Digits(digitsType));
    char b[64];
    snprintf(b, sizeof b, "%g", CVKT7MeterSim::Raw(type, kind, t, size) / scale);
    return b;
}

// Archive lines of T1 (type 0 of TV1, type 22 of TV2), one per step.
std::string Lines(int type, int kind, time_t from, time_t to, time_t step) {
    std::string s;
    for (time_t t = from; t <= to; t += step)
        s += std::to_string(t) + ",192," + Value(type, kind, t, 2, type ? 67 : 57) + "\n";
    return s;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class VKT7Daemon : public ::testing::Test {
protected:
    void SetUp() override {
        dir = kovtest::MakeTempDir("vkt7");
        root = dir + "/root";
        link = dir + "/ttyVKT7";
        std::filesystem::create_directories(root + "/tmp");
        std::ofstream(dir + "/config.json")
            << R"({"17": {"manufacturer": "vkt-7", "period_current": "5", "port_params": {"name": ")"
            << link << R"("}, "systems": {"system_1": "A", "system_2": "B"}}})";
        service = kovtest::StartConfigService(KOV_CONFIG_SERVICE_PATH, dir);
        ASSERT_TRUE(service) << ReadFile(dir + "/service.err");
    }
    void TearDown() override {
        meter.reset();
        service.reset();
        if (!HasFailure()) std::filesystem::remove_all(dir);  // kept for a look otherwise
    }
    void StartMeter(const std::string& faults) {
        if (meter) {  // stopped cleanly, it removes its link
            meter->Signal(SIGTERM);
            EXPECT_EQ(meter->Wait(5000), 0);
        }
        std::vector<std::string> argv{KOV_SIM_PATH, "--meter", "vkt-7", "--link", link};
        if (!faults.empty()) argv.insert(argv.end(), {"--faults", faults});
        meter = std::make_unique<Child>(argv, dir + "/sim.out", dir + "/sim.err");
        ASSERT_TRUE(WaitFor(5000, [&] { return access(link.c_str(), F_OK) == 0; }))
            << ReadFile(dir + "/sim.err");
    }
    void RunDaemon(const std::function<bool(const std::string& log)>& until) {
        errFile = dir + (errFile.empty() ? "/daemon1.err" : "/daemon2.err");
        Child daemon({KOV_MAIN_PATH, "--root", root, "-e", "-v", "7", "-i", "17"},
                     dir + "/daemon.out", errFile);
        ASSERT_TRUE(WaitFor(150000, [&] { return !daemon.running() || until(Log()); })) << Log();
        ASSERT_TRUE(daemon.running()) << Log();
        daemon.Signal(SIGTERM);
        ASSERT_EQ(daemon.Wait(20000), 0);
    }
    std::string Log() { return ReadFile(errFile); }
    std::string File(const std::string& abs) { return ReadFile(root + abs); }

    std::string dir, root, link, errFile;
    std::unique_ptr<Child> service, meter;
};

TEST_F(VKT7Daemon, CatchUpRestartAndSilence) {
    StartMeter("");
    // The second pass begins once the first (with both archives) is over.
    ASSERT_NO_FATAL_FAILURE(RunDaemon([&](const std::string& log) {
        return Count(log, "functionThread begin all current values.") >= 2 &&
               File("/tmp/17/1/zr_items/Connected") == "1\n";
    }));
    const time_t newestHour = std::stol(File("/mnt/storage/17/timestamp_max_hourly"));
    const time_t newestDay = std::stol(File("/mnt/storage/17/timestamp_max_daily"));
    const time_t now = time(nullptr);
    EXPECT_NEAR(newestHour, now - now % 3600 - 5400, 1800);  // the last complete hour
    EXPECT_NEAR(now - newestDay, 1.5 * 86400, 43200);        // yesterday
    EXPECT_NEAR(std::stol(File("/tmp/17/timestamp_VKT7")), now, 300);

    // Archives as deep as the meter keeps them (36 hours, 35 days); the monthly
    // archive closes on the last day of a month (reporting day 31).
    const time_t firstHour = newestHour - 36 * 3600, firstDay = newestDay - 35 * 86400L;
    EXPECT_EQ(File("/mnt/storage/17/1/zr_archives/A20"), Lines(0, 0, firstHour, newestHour, 3600));
    EXPECT_EQ(File("/mnt/storage/17/2/zr_archives/A20"), Lines(22, 0, firstHour, newestHour, 3600));
    EXPECT_EQ(File("/mnt/storage/17/1/zr_archives/A48"), Lines(0, 1, firstDay, newestDay, 86400));
    std::string monthly;
    for (time_t t = firstDay; t <= newestDay; t += 86400) {
        struct tm next {};
        const time_t end = t + 86400;
        if (localtime_r(&end, &next)->tm_mday == 1)
            monthly += std::to_string(end) + ",192," + Value(12, 3, t, 4, 66) + "\n";
    }
    ASSERT_FALSE(monthly.empty());
    EXPECT_EQ(File("/mnt/storage/17/1/zr_tmp_archives/A29"), monthly);

    // Current and integral values of both systems, stamped with their time (the
    // file's time); the meter may have read them in the next hour.
    auto holds = [&](const std::string& file, int type, int kind, int size, int digits) {
        struct stat st {};
        const std::string v = File(file);
        return stat((root + file).c_str(), &st) == 0 &&
               (v == Value(type, kind, st.st_mtime, size, digits) + "\n" ||
                v == Value(type, kind, st.st_mtime + 3600, size, digits) + "\n");
    };
    EXPECT_TRUE(holds("/tmp/17/1/zr_items/T1", 0, 4, 2, 57));
    EXPECT_TRUE(holds("/tmp/17/1/zr_items/IQ1", 3, 5, 4, 59));
    EXPECT_TRUE(holds("/tmp/17/2/zr_items/T2", 23, 4, 2, 67));
    EXPECT_NEAR(std::stol(File("/tmp/17/1/zr_items/MDateTime")), now, 60);
    EXPECT_EQ(File("/tmp/17/1/zr_items/Firmware"), "2.7\n");
    EXPECT_EQ(File("/tmp/17/1/zr_items/MeterModel"), "ВКТ-7\n");
    EXPECT_EQ(File("/tmp/17/1/zr_items/TSType"), "0x3\n");

    // Restart, the meter falling silent for three requests of the first pass
    // (after 7 dialogue and 7 system requests): Connected goes 1, 0 and 1 again.
    StartMeter("16-18:silence");
    std::filesystem::remove(root + "/tmp/17/1/zr_items/Connected");
    int phase = 0;
    ASSERT_NO_FATAL_FAILURE(RunDaemon([&](const std::string& log) {
        if (phase < 3 && File("/tmp/17/1/zr_items/Connected") == (phase == 1 ? "0\n" : "1\n"))
            ++phase;
        return phase == 3 && Count(log, "functionThread begin all current values.") >= 3;
    }));
    EXPECT_EQ(Count(Log(), "CVKT7LowLevelConnector::Resend 2 time"), 1u);
    // Nothing read twice: only newer records are asked for, the archives go on.
    const time_t hourMax = std::stol(File("/mnt/storage/17/timestamp_max_hourly"));
    const time_t dayMax = std::stol(File("/mnt/storage/17/timestamp_max_daily"));
    EXPECT_EQ(Count(Log(), " - HOURLY"), static_cast<size_t>(hourMax - newestHour) / 3600);
    EXPECT_EQ(Count(Log(), " - DAILY"), static_cast<size_t>(dayMax - newestDay) / 86400);
    EXPECT_EQ(File("/mnt/storage/17/1/zr_archives/A20"), Lines(0, 0, firstHour, hourMax, 3600));
    EXPECT_EQ(File("/mnt/storage/17/1/zr_archives/A48"), Lines(0, 1, firstDay, dayMax, 86400));
}

}  // namespace
