// The whole daemon against the data-service stand-in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "tests/e2e/process.h"

namespace {

using kovtest::Child;
using kovtest::ReadFile;
using kovtest::WaitFor;

bool exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

class Daemon : public ::testing::Test {
protected:
    void SetUp() override {
        dir = kovtest::MakeTempDir("e2e");
        root = dir + "/root";
        mkdir(root.c_str(), 0755);
    }

    void StartService(const std::string& json) {
        std::ofstream(dir + "/config.json") << json;
        service = kovtest::StartConfigService(KOV_CONFIG_SERVICE_PATH, dir);
        ASSERT_TRUE(service) << ReadFile(dir + "/service.err");
    }

    std::unique_ptr<Child> StartDaemon(const std::vector<std::string>& ids) {
        std::vector<std::string> argv = {KOV_MAIN_PATH, "--root", root, "-e", "-v", "7"};
        for (const auto& id : ids) {
            argv.push_back("-i");
            argv.push_back(id);
        }
        return std::make_unique<Child>(argv, dir + "/daemon.out", dir + "/daemon.err");
    }

    std::string dir, root;
    std::unique_ptr<Child> service;
};

TEST_F(Daemon, FetchesConfigurationPreparesSystemsAndStopsOnSigterm) {
    StartService(R"({"17": {"manufacturer": "none", "port_params": {"name": "/dev/null"},
                   "systems": {"system_1": "N1", "system_3": "N3", "system_2": ""}}})");
    // A stale pause file from an earlier run: with every meter current it must go.
    mkdir((root + "/tmp").c_str(), 0755);
    std::ofstream(root + "/tmp/auxsv_pause") << "7200";

    auto d = StartDaemon({"17"});
    ASSERT_TRUE(WaitFor(5000, [&] { return !exists(root + "/tmp/auxsv_pause"); }))
        << ReadFile(dir + "/daemon.err");

    // Exactly the request text, and the two lines on standard output.
    EXPECT_EQ("kov-config-service: listening on 127.0.0.1:8082\n"
              "{\"id\":1,\"jsonrpc\":\"2.0\",\"method\":\"get_config\",\"params\":{\"heat_meter\":"
              "\"17\"}}\n",
              ReadFile(dir + "/service.out"));
    std::string out = ReadFile(dir + "/daemon.out");
    EXPECT_NE(std::string::npos,
              out.find("CJSONRPCConnector::ExecJSONRPCFunc query is {\"id\":1,\"jsonrpc\":\"2.0\","
                       "\"method\":\"get_config\",\"params\":{\"heat_meter\":\"17\"}}\n\n"));
    EXPECT_NE(std::string::npos, out.find("result JSONRPC{"));

    for (const char* p : {"/tmp/17/1/zr_items", "/tmp/17/3/zr_items", "/mnt/storage/17/1/zr_archives",
                          "/mnt/storage/17/3/zr_archives"})
        EXPECT_TRUE(exists(root + p)) << p;
    EXPECT_FALSE(exists(root + "/tmp/17/2")) << "a system without a name gets no directory";
    char link[256] = {};
    ASSERT_GT(readlink((root + "/tmp/17/default").c_str(), link, sizeof link - 1), 0);
    EXPECT_EQ(root + "/tmp/17/1", link);

    // Still running; SIGTERM ends it with status 0 within a second.
    ASSERT_TRUE(d->running());
    auto t0 = std::chrono::steady_clock::now();
    d->Signal(SIGTERM);
    EXPECT_EQ(0, d->Wait(1000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    std::string err = ReadFile(dir + "/daemon.err");
    EXPECT_NE(std::string::npos,
              err.find("Crit: \033[1;31mSystem signal number 15 (Terminated) is received from "
                       "address "));
}

TEST_F(Daemon, TwoIdentifiersAreServedInOrder) {
    StartService(R"({"1": {"manufacturer": "x", "port_params": {"name": "/dev/null"}},
                     "2": {"manufacturer": "y"}})");
    auto d = StartDaemon({"1", "2"});
    ASSERT_TRUE(WaitFor(5000, [&] {
        return ReadFile(dir + "/service.out").find("\"heat_meter\":\"2\"") != std::string::npos;
    }));
    std::string req = ReadFile(dir + "/service.out");
    EXPECT_LT(req.find("\"heat_meter\":\"1\""), req.find("\"heat_meter\":\"2\""));
    // Each client numbers its own requests from 1.
    EXPECT_EQ(std::string::npos, req.find("\"id\":2"));
    // The first installation's (empty) driver connects once supervision runs;
    // a SIGQUIT before that would be absorbed by start-up.
    ASSERT_TRUE(WaitFor(5000, [&] { return ReadFile(root + "/tmp/1/1/zr_items/Connected") == "1\n"; }));
    EXPECT_FALSE(exists(root + "/tmp/2/1")) << "an installation without a port gets no driver";
    d->Signal(SIGQUIT);
    EXPECT_EQ(0, d->Wait(2000));
}

TEST_F(Daemon, SigintWhileServiceUnreachableExitsWithOne) {
    auto d = StartDaemon({"5"});
    ASSERT_TRUE(WaitFor(5000, [&] {
        return ReadFile(dir + "/daemon.err").find("Error while sending data! retry!!! wait 5 sec") !=
               std::string::npos;
    }));
    // A SIGTERM during start-up is absorbed ...
    d->Signal(SIGTERM);
    usleep(200000);
    EXPECT_TRUE(d->running());
    // ... a SIGINT ends the process at once.
    d->Signal(SIGINT);
    EXPECT_EQ(1, d->Wait(1000));
    EXPECT_NE(std::string::npos,
              ReadFile(dir + "/daemon.err").find("Application done due to SIGINT. Immediate exit!"));
}


TEST_F(Daemon, DaemonModeDetachesAndLogsToItsFile) {
    // The parent returns 0 at once; the detached child goes on logging to the file.
    std::string log = dir + "/daemon.log";
    auto r = kovtest::Run({KOV_MAIN_PATH, "-d", "--root", root, "-l", log, "-v", "3", "-i", "77"},
                          3000);
    // Find the detached process by its unique root; it is ended on every path.
    int pid = -1;
    WaitFor(2000, [&] { return (pid = kovtest::FindProcess("--root " + root + " ")) > 1; });
    std::unique_ptr<int, void (*)(int*)> reaper(&pid, [](int* p) {
        if (*p > 1) kill(*p, SIGKILL);
    });
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out) << "the child's output goes to /dev/null";
    ASSERT_GT(pid, 1);
    ASSERT_TRUE(WaitFor(5000, [&] {
        return ReadFile(log).find("Err: CJSONRPCConnector::SendParameters - Error while sending "
                                  "data! retry!!! wait 5 sec.") != std::string::npos;
    })) << ReadFile(log);
    EXPECT_TRUE(exists(root + "/tmp/77"));
    kill(pid, SIGINT);
    // Gone, or a zombie left for a parent that does not reap.
    EXPECT_TRUE(WaitFor(2000, [&] {
        std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        return stat.empty() || (close != std::string::npos && stat.compare(close + 2, 1, "Z") == 0);
    }));
}

}  // namespace
