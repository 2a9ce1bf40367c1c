#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/test_support.h"
#include "transport/modbus_connector.h"

extern char** environ;

namespace {

using namespace std::chrono;

pid_t spawn(std::vector<std::string> args) {
    args.insert(args.begin(), KOV_SIM_BINARY);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool waitForPath(const std::string& p) {
    struct stat st;
    for (int i = 0; i < 300; ++i) {
        if (lstat(p.c_str(), &st) == 0) return true;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
}

TEST(KovSimTool, ServesARegisteredMeterUntilSigterm) {
    kov::sim::TestRoot root;
    kov::sim::LogFile::Path();
    std::string link = root.Dir() + "/ttySim";
    pid_t pid = spawn({"--meter", "modbus-slave", "--link", link, "--address", "3", "--faults",
                       "2:silence", "--baud", "19200"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForPath(link));
    {
        CModbusConnectorItself con({{"protocol", "modbus"}, {"name", link}});
        con.SetTimeout(200);
        uint16_t r[3] = {};
        ASSERT_EQ(3, con.ReadHoldingRegisters(3, 10, 3, r, 0));
        EXPECT_EQ(10, r[0]);
        EXPECT_EQ(12, r[2]);
        EXPECT_EQ(-1, con.ReadInputRegisters(3, 0, 1, r, 0));  // request 2 is not answered
        ASSERT_EQ(1, con.ReadInputRegisters(3, 5, 1, r, 0));
        EXPECT_EQ(1005, r[0]);
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(0, waitExit(pid));
    struct stat st;
    EXPECT_NE(0, lstat(link.c_str(), &st));  // the link is gone with the simulator
}

TEST(KovSimTool, RejectsBadArguments) {
    kov::sim::TestRoot root;
    std::string link = root.Dir() + "/ttyBad";
    EXPECT_EQ(2, waitExit(spawn({"--meter", "no-such-meter", "--link", link})));
    EXPECT_EQ(2,
              waitExit(spawn({"--meter", "modbus-slave", "--link", link, "--faults", "1:loud"})));
    EXPECT_EQ(2, waitExit(spawn({"--meter", "modbus-slave"})));
    EXPECT_EQ(2, waitExit(spawn({"--meter", "modbus-slave", "--link", link, "--address", "300"})));
    EXPECT_EQ(0, waitExit(spawn({"--help"})));
}

}  // namespace
