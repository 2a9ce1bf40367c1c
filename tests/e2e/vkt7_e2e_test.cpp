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
#include <set>
#include <sstream>
#include <string>

#include "drivers/vkt7/vkt7_meter_sim.h"
#include "tests/e2e/process.h"

namespace {

using kov::sim::CVKT7MeterSim;
using kovtest::Child;
using kovtest::ReadFile;
using kovtest::WaitFor;

std::string G(double v) {
    char b[64];
    snprintf(b, sizeof b, "%g", v);
    return b;
}

// The simulated meter's value text of an integer-valued type; digitsType is
// the type whose fraction-digit count scales it.
std::string Value(int type, int kind, time_t t, int size, int digitsType) {
    const uint32_t raw = CVKT7MeterSim::Raw(static_cast<uint8_t>(type), static_cast<uint8_t>(kind),
                                            t, static_cast<uint16_t>(size));
    return G(raw / std::pow(10.0, CVKT7MeterSim::Digits(digitsType)));
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
        mkdir(root.c_str(), 0755);
        mkdir((root + "/tmp").c_str(), 0755);
        std::ofstream(dir + "/config.json")
            << R"({"17": {"manufacturer": "vkt-7", "period_current": "5", "port_params": {"name": ")"
            << link << R"("}, "systems": {"system_1": "A", "system_2": "B"}}})";
        service = std::make_unique<Child>(
            std::vector<std::string>{KOV_CONFIG_SERVICE_PATH, "--config", dir + "/config.json"},
            dir + "/service.out", dir + "/service.err");
        ASSERT_TRUE(WaitFor(5000, [&] {
            return ReadFile(dir + "/service.out").find("listening") != std::string::npos;
        })) << ReadFile(dir + "/service.err");
    }

    void TearDown() override {
        meter.reset();
        service.reset();
        // Kept for a look when the test failed.
        if (!HasFailure()) std::filesystem::remove_all(dir);
    }

    void StartMeter(const std::string& faults) {
        std::vector<std::string> argv{KOV_SIM_PATH, "--meter", "vkt-7", "--link", link};
        if (!faults.empty()) argv.insert(argv.end(), {"--faults", faults});
        meter = std::make_unique<Child>(argv, dir + "/sim.out", dir + "/sim.err");
        ASSERT_TRUE(WaitFor(5000, [&] { return access(link.c_str(), F_OK) == 0; }))
            << ReadFile(dir + "/sim.err");
    }
    void StopMeter() {
        meter->Signal(SIGTERM);
        EXPECT_EQ(meter->Wait(5000), 0);
        meter.reset();
    }
    std::unique_ptr<Child> StartDaemon() {
        errFile = dir + "/daemon" + std::to_string(++runs) + ".err";
        return std::make_unique<Child>(
            std::vector<std::string>{KOV_MAIN_PATH, "--root", root, "-e", "-v", "7", "-i", "17"},
            dir + "/daemon" + std::to_string(runs) + ".out", errFile);
    }
    std::string Log() { return ReadFile(errFile); }
    std::string File(const std::string& abs) { return ReadFile(root + abs); }

    std::string dir, root, link, errFile;
    int runs = 0;
    std::unique_ptr<Child> service, meter;
};

TEST_F(VKT7Daemon, CatchUpRestartAndSilence) {
    StartMeter("");
    auto daemon = StartDaemon();
    // The second pass begins once the first (with both archives) is over.
    ASSERT_TRUE(WaitFor(150000, [&] {
        return !daemon->running() || Count(Log(), "functionThread begin all current values.") >= 2;
    })) << Log();

    const time_t newestHour = std::stol(File("/mnt/storage/17/timestamp_max_hourly"));
    const time_t newestDay = std::stol(File("/mnt/storage/17/timestamp_max_daily"));
    const time_t now = time(nullptr);
    EXPECT_LE(now - now % 3600 - newestHour, 2 * 3600);
    EXPECT_GE(now - now % 3600 - newestHour, 3600);
    EXPECT_LE(now - newestDay, 2 * 86400);

    // Hourly and daily archives of both systems: T1 of TV1 (type 0) and of TV2 (type 22).
    std::string hourly1, hourly2, daily1, monthly;
    for (time_t t = newestHour - 36 * 3600; t <= newestHour; t += 3600) {
        hourly1 += std::to_string(t) + ",192," + Value(0, 0, t, 2, 57) + "\n";
        hourly2 += std::to_string(t) + ",192," + Value(22, 0, t, 2, 67) + "\n";
    }
    for (int d = 35; d >= 0; --d) {
        struct tm day {};
        const time_t guess = newestDay - d * 86400L + 43200;
        localtime_r(&guess, &day);
        const time_t t =
            CVKT7MeterSim::LocalDate(day.tm_mday, day.tm_mon + 1, day.tm_year - 100, 0);
        daily1 += std::to_string(t) + ",192," + Value(0, 1, t, 2, 57) + "\n";
        // The monthly archive closes on the last day of a month (reporting day 31).
        const time_t next = t + 86400 + 43200;
        struct tm nd {};
        localtime_r(&next, &nd);
        if (nd.tm_mday == 1)
            monthly += std::to_string(t + 86400) + ",192," + Value(12, 3, t, 4, 66) + "\n";
    }
    EXPECT_EQ(File("/mnt/storage/17/1/zr_archives/A20"), hourly1);
    EXPECT_EQ(File("/mnt/storage/17/2/zr_archives/A20"), hourly2);
    EXPECT_EQ(File("/mnt/storage/17/1/zr_archives/A48"), daily1);
    ASSERT_FALSE(monthly.empty());
    EXPECT_EQ(File("/mnt/storage/17/1/zr_tmp_archives/A29"), monthly);

    // Current values and meter data.
    struct stat st {};
    ASSERT_EQ(stat((root + "/tmp/17/1/zr_items/T1").c_str(), &st), 0);
    const std::string t1 = File("/tmp/17/1/zr_items/T1");
    EXPECT_TRUE(t1 == Value(0, 4, st.st_mtime, 2, 57) + "\n" ||
                t1 == Value(0, 4, st.st_mtime - 3600, 2, 57) + "\n")
        << t1;
    EXPECT_NEAR(std::stol(File("/tmp/17/1/zr_items/MDateTime")), now, 60);
    EXPECT_EQ(File("/tmp/17/1/zr_items/Connected"), "1\n");
    EXPECT_EQ(File("/tmp/17/1/zr_items/Firmware"), "2.7\n");
    EXPECT_EQ(File("/tmp/17/1/zr_items/MeterModel"), "ВКТ-7\n");
    EXPECT_EQ(File("/tmp/17/1/zr_items/TSType"), "0x3\n");
    EXPECT_NEAR(std::stol(File("/tmp/17/timestamp_VKT7")), now, 300);

    daemon->Signal(SIGTERM);
    ASSERT_EQ(daemon->Wait(20000), 0);

    // Restart, with the meter falling silent for three requests during the
    // first pass (after connect: 7 dialogue and 7 system requests).
    StopMeter();
    StartMeter("16-18:silence");
    daemon = StartDaemon();
    ASSERT_TRUE(WaitFor(120000, [&] {
        const std::string log = Log();
        if (!daemon->running()) return true;
        return Count(log, "disconnecting from controller registered") >= 1 &&
               Count(log, "connecting to controller registered.") >= 2 &&
               Count(log, "functionThread begin all current values.") >= 2;
    })) << Log();
    ASSERT_TRUE(daemon->running()) << Log();
    EXPECT_EQ(Count(Log(), "CVKT7LowLevelConnector::Resend 2 time"), 1u);
    EXPECT_EQ(File("/tmp/17/1/zr_items/Connected"), "1\n");
    daemon->Signal(SIGTERM);
    ASSERT_EQ(daemon->Wait(20000), 0);

    // Nothing read twice: each archive time once, in order, old lines untouched.
    const std::string after = File("/mnt/storage/17/1/zr_archives/A20");
    EXPECT_EQ(after.compare(0, hourly1.size(), hourly1), 0);
    std::istringstream lines(after);
    std::string line;
    long last = 0;
    while (std::getline(lines, line)) {
        const long t = std::stol(line);
        EXPECT_GT(t, last) << line;
        last = t;
    }
    EXPECT_EQ(File("/mnt/storage/17/1/zr_archives/A48").compare(0, daily1.size(), daily1), 0);
    EXPECT_EQ(Count(File("/mnt/storage/17/1/zr_archives/A48"), "\n"),
              Count(daily1, "\n") +
                  (std::stol(File("/mnt/storage/17/timestamp_max_daily")) - newestDay) / 86400);
    StopMeter();
}

}  // namespace
