// The whole daemon with meters it has no driver for: the empty drivers run
// the polling cycle without meter traffic, under the real supervision.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/e2e/process.h"

namespace {

using kovtest::Child;
using kovtest::ReadFile;
using kovtest::WaitFor;
using namespace std::chrono_literals;

// Two installations, two systems each; no manufacturer the daemon knows
// (one differs from a known one only in case). Drivers sleep an hour
// between passes.
constexpr const char* kConfig = R"({
  "31": {"manufacturer": "unknown-meter", "period_current": "3600",
         "port_params": {"name": "/dev/null"}, "systems": {"system_1": "A", "system_2": "B"}},
  "32": {"manufacturer": "VKT-7", "period_current": "3600",
         "port_params": {"name": "/dev/null"}, "systems": {"system_1": "C", "system_2": "D"}}
})";

const char* const kConnectedFiles[] = {"/tmp/31/1/zr_items/Connected", "/tmp/31/2/zr_items/Connected",
                                       "/tmp/32/1/zr_items/Connected", "/tmp/32/2/zr_items/Connected"};

using std::filesystem::exists;

class EmptyDrivers : public ::testing::Test {
protected:
    void SetUp() override {
        dir = kovtest::MakeTempDir("empty-drivers");
        root = dir + "/root";
        std::filesystem::create_directories(root + "/tmp");
        std::ofstream(dir + "/config.json") << kConfig;
        service = kovtest::StartConfigService(KOV_CONFIG_SERVICE_PATH, dir);
        ASSERT_TRUE(service) << ReadFile(dir + "/service.err");
    }

    std::unique_ptr<Child> StartDaemon() {
        ++runs;
        errFile = dir + "/daemon" + std::to_string(runs) + ".err";
        return std::make_unique<Child>(
            std::vector<std::string>{KOV_MAIN_PATH, "--root", root, "-e", "-v", "7", "-i", "31", "-i", "32"},
            dir + "/daemon" + std::to_string(runs) + ".out", errFile);
    }
    std::string Log() { return ReadFile(errFile); }
    bool AllConnected() {
        for (const char* f : kConnectedFiles)
            if (ReadFile(root + f) != "1\n") return false;
        return true;
    }
    // The first driver holds in its connect step; the supervisor never gets
    // to raise the second one's request.
    bool FirstHeld() {
        return ReadFile(root + kConnectedFiles[0]) == "0\n" && ReadFile(root + kConnectedFiles[1]) == "0\n" &&
               !exists(root + kConnectedFiles[2]) && !exists(root + kConnectedFiles[3]);
    }
    void Touch(const std::string& abs) { std::ofstream(root + abs) << "x"; }

    std::string dir, root, errFile;
    int runs = 0;
    std::unique_ptr<Child> service;
};

TEST_F(EmptyDrivers, PauseAllHoldsEveryDriverThenAllRunAndSigtermStopsThemAsleep) {
    Touch("/tmp/pause_tqm_all");
    Touch("/tmp/auxsv_pause");  // stale: empty drivers are always current
    auto d = StartDaemon();
    ASSERT_TRUE(WaitFor(5000, [&] { return FirstHeld(); })) << Log();
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(FirstHeld());
    EXPECT_EQ(std::string::npos, Log().find("connecting to controller registered")) << Log();
    EXPECT_TRUE(exists(root + "/tmp/auxsv_pause")) << "the supervisor still waits for the first pass";

    unlink((root + "/tmp/pause_tqm_all").c_str());
    ASSERT_TRUE(WaitFor(3000, [&] { return AllConnected(); })) << Log();
    ASSERT_TRUE(WaitFor(3000, [&] { return !exists(root + "/tmp/auxsv_pause"); })) << Log();
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("A new thread \"unknown-meter\" has been STARTED"));
    EXPECT_NE(std::string::npos, log.find("A new thread \"VKT-7\" has been STARTED"));
    EXPECT_NE(std::string::npos, log.find("Warning: CKovBaseDriver::functionThread system info is absent."));
    // The case variant is no VKT-7: it does not wait out a VKT-7 period.
    EXPECT_EQ(std::string::npos, log.find("WaitVKT7"));

    // Both drivers are now in their hour-long sleep; the stop does not wait for it.
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(d->running());
    auto t0 = std::chrono::steady_clock::now();
    d->Signal(SIGTERM);
    EXPECT_EQ(0, d->Wait(1000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

TEST_F(EmptyDrivers, SigtermEndsTheWaitOfAPausedConnect) {
    Touch("/tmp/pause_tqm_all");
    auto d = StartDaemon();
    ASSERT_TRUE(WaitFor(5000, [&] { return FirstHeld(); })) << Log();
    auto t0 = std::chrono::steady_clock::now();
    d->Signal(SIGTERM);
    EXPECT_EQ(0, d->Wait(1000)) << Log();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

// The newest thread of pid: a driver thread (the LED threads come first).
pid_t workerThread(pid_t pid) {
    pid_t newest = -1;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
        if (pid_t tid = std::stoi(e.path().filename()); tid != pid) newest = std::max(newest, tid);
    return newest;
}

TEST_F(EmptyDrivers, SecondSigintExitsAtOnceWithStatusOne) {
    // The first SIGINT goes to a driver thread, so the main thread notices it
    // only at its next look at the stop flag; the second one, sent as soon as
    // the first is logged, must end the process with status 1. Should the
    // main thread win that race and stop normally (status 0), try again.
    int status = -1;
    for (int attempt = 0; attempt < 3 && status != 1; ++attempt) {
        auto d = StartDaemon();
        ASSERT_TRUE(WaitFor(5000, [&] { return AllConnected(); })) << Log();
        pid_t tid = workerThread(d->pid());
        ASSERT_GT(tid, 0);
        const std::string handled =
            "Crit: \033[1;31mSystem signal number 2 (Interrupt) is received from address ";
        ASSERT_EQ(0, syscall(SYS_tgkill, d->pid(), tid, SIGINT));
        // The separator after the message means the flag is set.
        auto flagged = [&] {
            std::string log = Log();
            size_t at = log.find(handled);
            return at != std::string::npos && log.find("-----\033[0m", at) != std::string::npos;
        };
        for (auto end = std::chrono::steady_clock::now() + 2s; !flagged(); std::this_thread::sleep_for(200us))
            ASSERT_LT(std::chrono::steady_clock::now(), end) << Log();
        kill(d->pid(), SIGINT);
        status = d->Wait(1000);
        for (const char* f : kConnectedFiles) unlink((root + f).c_str());
    }
    EXPECT_EQ(1, status);
    EXPECT_NE(std::string::npos, Log().find("Application done due to SIGINT. Immediate exit!"));
}

}  // namespace
