// Fault soak and crash safety: the whole daemon against a simulated meter
// that garbles about one reply in ten, and the same with the daemon killed
// (SIGKILL) again and again during its archive catch-up.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "tests/e2e/archive_tree.h"
#include "tests/e2e/process.h"

namespace {

using kovtest::Child;
using kovtest::ReadFile;
using kovtest::WaitFor;

struct Family {
    const char* name;
    const char* simMeter;      // kov-sim --meter
    const char* manufacturer;  // configuration "manufacturer"
    const char* portParams;    // members of "port_params" besides the name
    const char* faults;        // kov-sim --faults
    const char* period;        // "period_current": a long one reads the archives on every pass
    const char* multiValued;   // an archive holding several lines per record time ("" none)
    // The daemon resumes an earlier catch-up a day before the meter's oldest
    // record, so the faults meet records rather than empty days.
    bool resume = false;
    // The simulated meter answers at the line's pace (kov-sim --baud).
    const char* baud = "0";
};

// At the start of the run faults at random from a fixed seed (one request in
// ten; in twenty over Modbus, where a broken archive string fails the whole
// day); the faults that cost a port timeout (10 s on a UART, one and two
// minutes under libmodbus) once each, silence not at all under libmodbus.
// Then the line is clean, and the catch-up must complete.
const Family kFamilies[] = {
    {"vkt7", "vkt-7", "vkt-7", "\"speed\": 9600",
     "random:0.1:2026:badcheck+noise+function+address+echo+error,40:silence,90:truncate,251-100250:none",
     "2", ""},
    {"vkt9", "vkt-9", "vkt-9", "\"speed\": 9600",
     "random:0.1:2026:badcheck+noise+function+address+echo+error,40:silence,90:truncate,251-100250:none",
     "3600", "_A57"},
    {"magika", "magika-axxx", "magika-axxx", "\"protocol\": \"modbus\", \"speed\": \"9600\"",
     "random:0.05:2026:badcheck+noise+function+address+echo+error,300:truncate,801-100250:none", "3600", "",
     true, "9600"},
};
constexpr int kArchiveDays = 2;

void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

std::string Join(const std::vector<std::string>& v) {
    std::string s;
    for (size_t i = 0; i < v.size() && i < 20; ++i) s += "  " + v[i] + "\n";
    if (v.size() > 20) s += "  ... " + std::to_string(v.size() - 20) + " more\n";
    return s;
}

// Local starts of the previous hour and of the previous day, as the
// polling cycle computes them.
long PrevHourStart(time_t t) {
    struct tm l {};
    localtime_r(&t, &l);
    l.tm_min = l.tm_sec = 0;
    l.tm_isdst = -1;
    return static_cast<long>(mktime(&l)) - 3600;
}
long PrevDayStart(time_t t) {
    struct tm l {};
    localtime_r(&t, &l);
    l.tm_hour = l.tm_min = l.tm_sec = 0;
    l.tm_mday -= 1;
    l.tm_isdst = -1;
    return static_cast<long>(mktime(&l));
}

class Soak : public ::testing::TestWithParam<Family> {
protected:
    void SetUp() override {
        dir = kovtest::MakeTempDir("soak");
        root = dir + "/root";
        mkdir(root.c_str(), 0755);
        mkdir((root + "/dev").c_str(), 0755);
        t0 = time(nullptr);
    }

    void StartMeter(const std::string& faults) {
        const Family& f = GetParam();
        link = root + "/dev/tty" + f.name;
        meter = std::make_unique<Child>(
            std::vector<std::string>{KOV_SIM_PATH, "--meter", f.simMeter, "--link", link,
                                     "--archive-days", std::to_string(kArchiveDays), "--faults",
                                     faults, "--baud", f.baud},
            dir + "/sim.out", dir + "/sim.err");
        ASSERT_TRUE(WaitFor(5000, [&] { return access(link.c_str(), F_OK) == 0; }))
            << ReadFile(dir + "/sim.err");
    }

    void StartService() {
        const Family& f = GetParam();
        std::ofstream(dir + "/config.json")
            << "{\"" << kId << "\": {\"manufacturer\": \"" << f.manufacturer
            << "\", \"period_current\": " << f.period << ", \"serial\": \"1\", \"port_params\": {\"name\": \"" << link
            << "\", "
            << f.portParams << "}, \"systems\": {\"system_1\": \"Heating\"}}}";
        // Another program on the port (outside this suite's resource lock) is
        // waited out for a while.
        for (int attempt = 0; attempt < 240; ++attempt) {
            service = kovtest::StartConfigService(KOV_CONFIG_SERVICE_PATH, dir);
            if (service) return;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        FAIL() << "the data service did not start: " << ReadFile(dir + "/service.err");
    }

    void Resume() {
        const std::string storage = root + "/mnt/storage/" + kId + "/";
        std::filesystem::create_directories(storage);
        const long hourly = PrevHourStart(t0) - (kArchiveDays * 24 + 24) * 3600L;
        const long daily = PrevDayStart(t0) - (kArchiveDays + 1) * 86400L;
        std::ofstream(storage + "timestamp_max_hourly") << hourly;
        std::ofstream(storage + "timestamp_max_daily") << daily;
        resumedAt = {hourly, daily};
    }

    std::unique_ptr<Child> StartDaemon(int run) {
        if (run == 0 && GetParam().resume) Resume();
        return std::make_unique<Child>(
            std::vector<std::string>{KOV_MAIN_PATH, "--root", root, "-e", "-v", "7", "-i", kId},
            dir + "/daemon" + std::to_string(run) + ".out",
            dir + "/daemon" + std::to_string(run) + ".err");
    }

    kovtest::TreeSnapshot Scan() { return kovtest::ScanTree(root, kId, GetParam().multiValued); }

    // Both archives hold the meter's newest complete records. Asking for a
    // forced update each time cuts a long period short, so a pass that
    // failed is retried at once.
    bool CaughtUp() {
        std::ofstream(root + "/tmp/tqm_force_update_" + kId) << "";
        long hourly = 0, daily = 0;
        kovtest::ReadBookkeeping(root, kId, hourly, daily);
        return hourly >= PrevHourStart(t0) && daily >= PrevDayStart(t0);
    }

    // Records the daemon gave up on (a link failure at the same record on
    // three passes in a row) are absent by design; their times, from the logs.
    std::set<long> GivenUp(int runs) {
        std::set<long> out = resumedAt;
        static const std::regex given("failed on [^,]*passes");
        static const std::regex number("[0-9]{9,}");
        for (int run = 0; run < runs; ++run) {
            std::istringstream in(ReadFile(dir + "/daemon" + std::to_string(run) + ".err"));
            std::string line;
            while (std::getline(in, line)) {
                if (!std::regex_search(line, given)) continue;
                for (std::sregex_iterator it(line.begin(), line.end(), number), end; it != end; ++it)
                    out.insert(atol(it->str().c_str()));
            }
        }
        return out;
    }

    void CheckFinal(const kovtest::TreeSnapshot& tree, bool allowDuplicates, int runs) {
        auto problems = kovtest::CheckTree(tree, tree, allowDuplicates, GivenUp(runs));
        // The meter keeps kArchiveDays of records; allow the hour the run may straddle.
        auto coverage = kovtest::CheckCoverage(
            tree, PrevHourStart(t0) - (kArchiveDays * 24 - 1) * 3600L, PrevHourStart(t0),
            PrevDayStart(t0) - (kArchiveDays - 1) * 86400L, PrevDayStart(t0));
        problems.insert(problems.end(), coverage.begin(), coverage.end());
        EXPECT_TRUE(problems.empty()) << Join(problems);
    }

    static constexpr const char* kId = "21";
    std::string dir, root, link;
    time_t t0 = 0;
    std::set<long> resumedAt;  // the bookkeeping times set before the run
    std::unique_ptr<Child> meter, service;
};

TEST_P(Soak, CatchesUpThroughRandomFaults) {
    ASSERT_NO_FATAL_FAILURE(StartMeter(GetParam().faults));
    ASSERT_NO_FATAL_FAILURE(StartService());
    auto daemon = StartDaemon(0);
    const bool caughtUp = WaitFor(150000, [&] { return CaughtUp() || !daemon->running(); });
    ASSERT_TRUE(daemon->running()) << "the daemon died: " << ReadFile(dir + "/daemon0.err");
    ASSERT_TRUE(caughtUp) << "no catch-up within 150 s; bookkeeping " << Scan().maxHourly << " / "
                          << Scan().maxDaily;
    daemon->Signal(SIGTERM);
    EXPECT_EQ(0, daemon->Wait(5000));
    meter->Signal(SIGTERM);
    meter->Wait(2000);
    // The faults did happen, and the daemon saw them.
    const std::string log = ReadFile(dir + "/daemon0.err");
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t p = log.find(what); p != std::string::npos; p = log.find(what, p + 1)) ++n;
        return n;
    };
    const size_t failures = count("disconnecting from controller registered");
    const size_t timeouts = count("Timeout receiving data") + count("Connection timed out");
    const std::string faults = GetParam().faults;
    if (faults.find("silence") != std::string::npos || faults.find("truncate") != std::string::npos) {
        EXPECT_GT(timeouts, 0u);
    }
    EXPECT_GT(failures, 0u);
    const std::string sim = ReadFile(dir + "/sim.out");
    const size_t after = sim.find(" after ");
    printf("faults seen: %zu link failures ended a pass, %zu timeouts, %zu records given up; %ld requests\n",
           failures, timeouts, GivenUp(1).size() - resumedAt.size(),
           after == std::string::npos ? 0L : atol(sim.c_str() + after + 7));
    CheckFinal(Scan(), false, 1);
}

TEST_P(Soak, SurvivesKillsDuringCatchUp) {
    ASSERT_NO_FATAL_FAILURE(StartMeter(GetParam().faults));
    ASSERT_NO_FATAL_FAILURE(StartService());
    std::mt19937 rng(4711);
    std::vector<kovtest::TreeSnapshot> atKill;
    int run = 0;
    // Half the kills come at a random moment, half right after the archives
    // grew (inside an archive write, where a late bookkeeping update matters).
    for (; run < 12 && !CaughtUp(); ++run) {
        auto daemon = StartDaemon(run);
        if (run % 2 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200 + rng() % 2500));
        } else {
            // Sizes only, looked at every 200 us: the writes of one call take milliseconds.
            const long before = kovtest::ArchiveBytes(root, kId);
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
            while (kovtest::ArchiveBytes(root, kId) == before && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        }
        ASSERT_TRUE(daemon->running()) << "the daemon died: "
                                       << ReadFile(dir + "/daemon" + std::to_string(run) + ".err");
        daemon->Signal(SIGKILL);
        daemon->Wait(2000);
        atKill.push_back(Scan());
    }
    // The last life catches up in peace. It is stopped only once it polls:
    // a SIGTERM during start-up is absorbed.
    auto daemon = StartDaemon(run);
    const std::string log = dir + "/daemon" + std::to_string(run) + ".err";
    ASSERT_TRUE(WaitFor(60000, [&] {
        return (CaughtUp() && ReadFile(log).find("begin all current values") != std::string::npos) ||
               !daemon->running();
    }));
    ASSERT_TRUE(daemon->running());
    daemon->Signal(SIGTERM);
    EXPECT_EQ(0, daemon->Wait(5000));
    const auto final = Scan();
    for (size_t i = 0; i < atKill.size(); ++i) {
        auto problems = kovtest::CheckTree(atKill[i], final, true, GivenUp(run + 1));
        EXPECT_TRUE(problems.empty()) << "after kill " << i + 1 << ":\n" << Join(problems);
    }
    // Killed between its lines and its bookkeeping, the daemon stores a record twice; nothing else.
    CheckFinal(final, true, run + 1);
    int twice = 0;
    for (auto& [p, f] : final.archives) twice += f.duplicates;
    printf("%zu kills during the catch-up; %d archive lines stored twice\n", atKill.size(), twice);
    EXPECT_GE(atKill.size(), 4u) << "too few kills during the catch-up";
}

INSTANTIATE_TEST_SUITE_P(Families, Soak, ::testing::ValuesIn(kFamilies),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
